// Phases D and F: per layer node, the faces in the order xlo .. zhi and each
// face's two terms in table order, exactly mirroring the forward corrections.
#include "lib/adjoint/layers_adjoint.hpp"

#include <omp.h>

#include <cmath>

#include "lib/forward/rows.hpp"
#include "lib/kernels/staggered_adjoint.hpp"

namespace norvane::adjoint {
namespace {

using forward::layer_face_desc;
using forward::layer_table;
using forward::layer_term;

// ESide: adjoint E values scatter into adjoint H through the transposed
// backward difference; otherwise adjoint H into adjoint E through the
// transposed forward difference.
template <bool ESide, class Adder>
void node_terms(const pass_args& a, const layer_table& t, const float (&inv_h)[3], int64_t s,
                int64_t i, int64_t j, int64_t k) {
  const grid_dims& g = a.g;
  const int64_t c[3] = {i, j, k};
  const int64_t node = (i * g.ny + j) * g.nz + k;
  const int64_t e = s * g.n_nodes + node;
  float* const* read = ESide ? a.e : a.h;
  float* const* into = ESide ? a.h : a.e;
  const float K = (ESide ? a.c.cs_e : a.c.cs_h)[node];
  for (int f = 0; f < 6; ++f) {
    const layer_face_desc& d = t.face[f];
    const int64_t q = c[d.axis];
    if (d.w == 0 || q < d.q_lo || q > d.q_hi) continue;
    const int64_t p = d.position(q, ESide);
    const float r0 = d.prof[p], r1 = d.prof[d.w + p], r2 = d.prof[2 * d.w + p],
                r3 = d.prof[3 * d.w + p];
    const int64_t stride = g.stride(d.axis);
    for (const layer_term& term : d.term) {
      if (c[term.cond_axis] > g.extent(term.cond_axis) - 2) continue;
      const float sa = term.sign > 0 ? read[term.target][e] : -read[term.target][e];
      float& psi = term.psi[forward::memory_index(term, d.axis, s, c, p)];
      const float q_old = psi;
      const float t1 = K * (r0 - 1.0f);
      const float t2 = -(q_old * r3);
      const float v = inv_h[d.axis] * std::fma(sa, t1, t2);
      if (ESide)
        kernels::scatter_backward_with<Adder>(kernels::fit_backward(a.order, q, d.n),
                                              into[term.source] + e, stride, v);
      else
        kernels::scatter_forward_with<Adder>(kernels::fit_forward(a.order, q, d.n),
                                             into[term.source] + e, stride, v);
      psi = std::fma(sa, K * r1, r2 * q_old);
    }
  }
}

template <bool ESide, class Adder>
void sweep(const pass_args& a, const layer_table& t) {
  const float inv_h[3] = {1.0f / a.g.dx, 1.0f / a.g.dy, 1.0f / a.g.dz};
  forward::for_each_row(a, [&](int64_t s, int64_t i, int64_t j) {
    forward::for_layer_ks(t, a.g, i, j, [&](int64_t k) {
      node_terms<ESide, Adder>(a, t, inv_h, s, i, j, k);
    });
  });
}

template <bool ESide>
void run_side(const pass_args& a, const layer_table& t) {
  if (omp_get_num_threads() == 1)
    sweep<ESide, kernels::plain_adder>(a, t);
  else
    sweep<ESide, kernels::atomic_adder>(a, t);
}

}  // namespace

void e_layers_adjoint(const pass_args& a, const layer_table& t) { run_side<true>(a, t); }
void h_layers_adjoint(const pass_args& a, const layer_table& t) { run_side<false>(a, t); }

}  // namespace norvane::adjoint
