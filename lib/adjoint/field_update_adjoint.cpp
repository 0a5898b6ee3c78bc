// Phases E and G, node by node in increasing flat index. Neighbouring nodes
// scatter into shared adjoint elements: with one thread the additions are
// plain and land in index order; with several they are atomic compare-and-
// swap additions, and only their order (hence the last-bit rounding) varies.
#include "lib/adjoint/field_update_adjoint.hpp"

#include <omp.h>

#include "lib/forward/rows.hpp"
#include "lib/kernels/staggered_adjoint.hpp"

namespace norvane::adjoint {
namespace {

using kernels::fit_backward;
using kernels::fit_forward;
using kernels::scatter_backward_with;
using kernels::scatter_forward_with;

struct curl_factors {
  float x, y, z;
};

inline curl_factors scaled_factors(float cb, const grid_dims& g) {
  return {cb, g.dy == g.dx ? cb : (g.dx * cb) / g.dy, g.dz == g.dx ? cb : (g.dx * cb) / g.dz};
}

template <class Adder>
void e_row(const pass_args& a, int64_t s, int64_t i, int64_t j) {
  const grid_dims& g = a.g;
  const int64_t nz = g.nz, node0 = (i * g.ny + j) * nz, e0 = s * g.n_nodes + node0;
  const bool i_in = i <= g.nx - 2, j_in = j <= g.ny - 2;
  const bool ex_row = i_in && j >= 1 && j_in;
  const bool ey_row = i >= 1 && i_in && j_in;
  const bool ez_row = i >= 1 && i_in && j >= 1 && j_in;
  if (!ex_row && !ey_row) return;  // ez_row implies both
  const int my = fit_backward(a.order, j, g.ny), mx = fit_backward(a.order, i, g.nx);
  for (int64_t k = 0; k <= nz - 2; ++k) {
    const int64_t e = e0 + k, n = node0 + k;
    const curl_factors cb = scaled_factors(a.c.cb_e[n], g);
    const bool k_in = k >= 1;
    if (ex_row && k_in) {
      const float v = a.e[0][e];
      scatter_backward_with<Adder>(my, a.h[2] + e, nz, cb.y * v);
      scatter_backward_with<Adder>(fit_backward(a.order, k, nz), a.h[1] + e, 1, -(cb.z * v));
      a.e[0][e] = v * a.c.ca_e[n];
    }
    if (ey_row && k_in) {
      const float v = a.e[1][e];
      scatter_backward_with<Adder>(fit_backward(a.order, k, nz), a.h[0] + e, 1, cb.z * v);
      scatter_backward_with<Adder>(mx, a.h[2] + e, g.plane, -(cb.x * v));
      a.e[1][e] = v * a.c.ca_e[n];
    }
    if (ez_row) {
      const float v = a.e[2][e];
      scatter_backward_with<Adder>(mx, a.h[1] + e, g.plane, cb.x * v);
      scatter_backward_with<Adder>(my, a.h[0] + e, nz, -(cb.y * v));
      a.e[2][e] = v * a.c.ca_e[n];
    }
  }
}

template <class Adder>
void h_row(const pass_args& a, int64_t s, int64_t i, int64_t j) {
  const grid_dims& g = a.g;
  const int64_t nz = g.nz, node0 = (i * g.ny + j) * nz, e0 = s * g.n_nodes + node0;
  const bool i_in = i <= g.nx - 2, j_in = j <= g.ny - 2;
  const bool hx_row = i >= 1 && i_in && j_in;
  const bool hy_row = i_in && j >= 1 && j_in;
  const bool hz_row = i_in && j_in;
  if (!hz_row) return;  // the other two imply it
  const int my = fit_forward(a.order, j, g.ny), mx = fit_forward(a.order, i, g.nx);
  for (int64_t k = 0; k <= nz - 2; ++k) {
    const int64_t e = e0 + k, n = node0 + k;
    const curl_factors cb = scaled_factors(a.c.cb_h[n], g);
    if (hx_row) {
      const float v = a.h[0][e];
      scatter_forward_with<Adder>(my, a.e[2] + e, nz, -(cb.y * v));
      scatter_forward_with<Adder>(fit_forward(a.order, k, nz), a.e[1] + e, 1, cb.z * v);
      a.h[0][e] = v * a.c.ca_h[n];
    }
    if (hy_row) {
      const float v = a.h[1][e];
      scatter_forward_with<Adder>(fit_forward(a.order, k, nz), a.e[0] + e, 1, -(cb.z * v));
      scatter_forward_with<Adder>(mx, a.e[2] + e, g.plane, cb.x * v);
      a.h[1][e] = v * a.c.ca_h[n];
    }
    if (k >= 1) {
      const float v = a.h[2][e];
      scatter_forward_with<Adder>(mx, a.e[1] + e, g.plane, -(cb.x * v));
      scatter_forward_with<Adder>(my, a.e[0] + e, nz, cb.y * v);
      a.h[2][e] = v * a.c.ca_h[n];
    }
  }
}

template <template <class> class Row>
void sweep(const pass_args& a) {
  if (omp_get_num_threads() == 1) {
    forward::for_each_row(a, [&](int64_t s, int64_t i, int64_t j) {
      Row<kernels::plain_adder>::run(a, s, i, j);
    });
  } else {
    forward::for_each_row(a, [&](int64_t s, int64_t i, int64_t j) {
      Row<kernels::atomic_adder>::run(a, s, i, j);
    });
  }
}

template <class Adder>
struct e_rows {
  static void run(const pass_args& a, int64_t s, int64_t i, int64_t j) { e_row<Adder>(a, s, i, j); }
};
template <class Adder>
struct h_rows {
  static void run(const pass_args& a, int64_t s, int64_t i, int64_t j) { h_row<Adder>(a, s, i, j); }
};

}  // namespace

void e_update_adjoint(const pass_args& a) { sweep<e_rows>(a); }
void h_update_adjoint(const pass_args& a) { sweep<h_rows>(a); }

}  // namespace norvane::adjoint
