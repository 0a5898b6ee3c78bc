// Phase C, compiled once per instruction set (see material_gradient.hpp for
// the derivatives). The cells outside the absorbing layers form a box, so the
// phase runs over its rows (i, j) with the k range fixed per call, one row per
// iteration of the worksharing loop; every cell's gradient elements are
// written only by the thread that owns its row. Along a row, in blocks of
// block_cells cells, the four derivative factors are formed per cell, the
// shots and stored components are added in the order s, then m, each as one
// vector pass over the block, a perfect conductor's sums are put back to the
// +0 it never leaves when it takes no shot, and the sums go into the gradient
// arrays. The snapshot decoders give the bits of the scalar ones.
#include "lib/adjoint/material_gradient.hpp"

#include <algorithm>
#include <cmath>

#include "lib/kernels/update_coeffs.hpp"
#include "lib/storage/formats.hpp"
#include "lib/storage/half_runs.inl"

namespace norvane::adjoint::NORVANE_ISA_NS {
namespace {

constexpr int64_t block_cells = 256;

#if defined(NORVANE_CELL_VECTORS)
// Where the instruction set has the masked cell loops (AVX-512, AVX2), each
// vector of cells is taken through every step with its factors and sums in
// registers, the last vector of the row masked: the blocks below leave a
// row's last cells (up to 15 on AVX-512, 7 on AVX2, with two divisions
// each) to scalar code. On AVX-512 this form made the backward on 96^3 11 %
// faster at order 2 and 5 % at order 8, on AVX2 (forced) 1-5 % at orders 2
// to 8. The cells' arithmetic, and the order in which the shots and
// components are added, are those of the blocks below; the masked lanes
// past the row compute on zeros and are not stored.
template <int Format>
void cell_run_t(const backward_args& a, int t, int64_t node, int64_t c, int64_t n) {
  using namespace storage::NORVANE_ISA_NS;
  const grid_dims& g = a.g;
  const snapshot_args& sn = a.snap;
  const int64_t n_int = int64_t(g.nx - 1) * (g.ny - 1) * (g.nz - 1);
  const float steps =
      static_cast<float>(int64_t{sn.interval} + t > a.nt ? a.nt - t : sn.interval);
  const int n_comp = sn.components == 3 ? 3 : 1;
  const int first_comp = sn.components == 3 ? 0 : 2;
  const int64_t slot_base = static_cast<int64_t>(t / sn.interval) * sn.n_cells;
  const cell_vec vsteps = cells_of(steps), dt = cells_of(g.dt), one = cells_of(1.0f);
  const cell_vec eps0 = cells_of(kernels::eps0), minus_eps0 = cells_of(-kernels::eps0);
  const cell_vec minus_half = cells_of(-0.5f);
  masked_chunks(n, [&](int64_t x, const cell_mask& m) __attribute__((always_inline)) {
    cell_vec g_eps = cells_of(0.0f), g_sig = cells_of(0.0f);
    if (a.n_shots >= 1) {
      const cell_vec ca = load_cells(m, a.c.ca_e + node + x);
      const cell_vec q = load_cells(m, a.c.cs_e + node + x);
      const cell_vec d_ca_eps = (q * ((one - ca) * eps0)) / dt;
      const cell_vec d_cs_eps = (q * (q * minus_eps0)) / dt;
      const cell_vec d_ca_sig = q * ((ca + one) * minus_half);
      const cell_vec d_cs_sig = q * (q * minus_half);
      for (int64_t s = 0; s < a.n_shots; ++s)
        for (int mc = 0; mc < n_comp; ++mc) {
          const int64_t at = mc * sn.component_stride() + slot_base + s * n_int + c + x;
          const cell_vec l = load_cells(m, a.e[first_comp + mc] + s * g.n_nodes + node + x);
          const cell_vec pe = (l * load_stored<Format>(sn.e_store, at, m)) * vsteps;
          const cell_vec pr = (l * load_stored<Format>(sn.rhs_store, at, m)) * vsteps;
          g_eps = g_eps + fma_cells(pe, d_ca_eps, d_cs_eps * pr);
          g_sig = g_sig + fma_cells(pe, d_ca_sig, d_cs_sig * pr);
        }
      // A perfect conductor takes no shot at all: its sums stay +0.
      const cell_vec sigma = load_cells(m, a.sigma + node + x);
      g_eps = zero_where_above(g_eps, sigma, kernels::pec_sigma);
      g_sig = zero_where_above(g_sig, sigma, kernels::pec_sigma);
    }
    if (a.want_grad_eps_r == 1) {
      float* out = a.grad_eps_r + c + x;
      store_cells(out, m, load_cells(m, out) + g_eps);
    }
    if (a.want_grad_sigma == 1) {
      float* out = a.grad_sigma + c + x;
      store_cells(out, m, load_cells(m, out) + g_sig);
    }
  });
}

void cell_run(const backward_args& a, int t, int64_t node, int64_t c, int64_t n) {
  if (a.snap.format == 1) return cell_run_t<1>(a, t, node, c, n);
  if (a.snap.format == 2) return cell_run_t<2>(a, t, node, c, n);
  cell_run_t<0>(a, t, node, c, n);
}
#else

// Cells of one block: the derivative factors and the sums.
struct cell_block {
  float d_ca_eps[block_cells], d_cs_eps[block_cells];
  float d_ca_sig[block_cells], d_cs_sig[block_cells];
  float g_eps[block_cells], g_sig[block_cells];
  float e[block_cells], rhs[block_cells];  // binary16 values, decoded
};

template <int Format>
NORVANE_CELL float stored(const void* store, int64_t at) {
  if constexpr (Format == 2)
    return storage::decode_bf16(static_cast<const uint16_t*>(store)[at]);
  else
    return static_cast<const float*>(store)[at];
}

// One shot and component over n cells: l the adjoint E at the cells' nodes,
// at the stored values' index of the first cell. Conductor cells are summed
// too and reset afterwards (a branch-free loop).
template <int Format>
void add_component(cell_block& b, const float* __restrict l, const void* e_store,
                   const void* rhs_store, int64_t at, float steps, int64_t n) {
#pragma omp simd
  for (int64_t x = 0; x < n; ++x) {
    const float e = stored<Format>(e_store, at + x);
    const float r = stored<Format>(rhs_store, at + x);
    const float pe = (l[x] * e) * steps;
    const float pr = (l[x] * r) * steps;
    b.g_eps[x] = b.g_eps[x] + std::fma(pe, b.d_ca_eps[x], b.d_cs_eps[x] * pr);
    b.g_sig[x] = b.g_sig[x] + std::fma(pe, b.d_ca_sig[x], b.d_cs_sig[x] * pr);
  }
}

// binary16 values are decoded a block at a time first, by the hardware
// conversion where the instruction set has it.
void add_component(int format, cell_block& b, const float* l, const snapshot_args& sn,
                   int64_t at, float steps, int64_t n) {
  if (format == 1) {
    storage::NORVANE_ISA_NS::decode_half_run(b.e, static_cast<const uint16_t*>(sn.e_store) + at, n);
    storage::NORVANE_ISA_NS::decode_half_run(b.rhs, static_cast<const uint16_t*>(sn.rhs_store) + at, n);
    add_component<0>(b, l, b.e, b.rhs, 0, steps, n);
  } else if (format == 2)
    add_component<2>(b, l, sn.e_store, sn.rhs_store, at, steps, n);
  else
    add_component<0>(b, l, sn.e_store, sn.rhs_store, at, steps, n);
}

// Cells [c, c + n) of the row whose first node is `node`.
void cell_run(const backward_args& a, int t, int64_t node, int64_t c, int64_t n) {
  const grid_dims& g = a.g;
  const snapshot_args& sn = a.snap;
  const int64_t n_int = int64_t(g.nx - 1) * (g.ny - 1) * (g.nz - 1);
  const float steps =
      static_cast<float>(int64_t{sn.interval} + t > a.nt ? a.nt - t : sn.interval);
  const int n_comp = sn.components == 3 ? 3 : 1;
  const int first_comp = sn.components == 3 ? 0 : 2;
  const int64_t slot_base = static_cast<int64_t>(t / sn.interval) * sn.n_cells;
  cell_block b;
  std::fill(b.g_eps, b.g_eps + n, 0.0f);
  std::fill(b.g_sig, b.g_sig + n, 0.0f);
  if (a.n_shots >= 1) {
    const float* __restrict ca_e = a.c.ca_e + node;
    const float* __restrict cs_e = a.c.cs_e + node;
    const float eps0 = kernels::eps0, dt = g.dt;
#pragma omp simd
    for (int64_t x = 0; x < n; ++x) {
      const float ca = ca_e[x], q = cs_e[x];
      b.d_ca_eps[x] = (q * ((1.0f - ca) * eps0)) / dt;
      b.d_cs_eps[x] = (q * (q * -eps0)) / dt;
      b.d_ca_sig[x] = q * ((ca + 1.0f) * -0.5f);
      b.d_cs_sig[x] = q * (q * -0.5f);
    }
    for (int64_t s = 0; s < a.n_shots; ++s)
      for (int m = 0; m < n_comp; ++m)
        add_component(sn.format, b, a.e[first_comp + m] + s * g.n_nodes + node, sn,
                      m * sn.component_stride() + slot_base + s * n_int + c, steps, n);
    // A perfect conductor takes no shot at all: its sums stay +0.
    const float* __restrict sg = a.sigma + node;
#pragma omp simd
    for (int64_t x = 0; x < n; ++x) {
      const bool conductor = sg[x] > kernels::pec_sigma;
      b.g_eps[x] = conductor ? 0.0f : b.g_eps[x];
      b.g_sig[x] = conductor ? 0.0f : b.g_sig[x];
    }
  }
  if (a.want_grad_eps_r == 1) {
    float* __restrict out = a.grad_eps_r + c;
#pragma omp simd
    for (int64_t x = 0; x < n; ++x) out[x] = out[x] + b.g_eps[x];
  }
  if (a.want_grad_sigma == 1) {
    float* __restrict out = a.grad_sigma + c;
#pragma omp simd
    for (int64_t x = 0; x < n; ++x) out[x] = out[x] + b.g_sig[x];
  }
}

#endif

}  // namespace

void material_gradients(const backward_args& a, int t) {
  const grid_dims& g = a.g;
  const int64_t nx1 = g.nx - 1, ny1 = g.ny - 1, nz1 = g.nz - 1;
  // The box of cells outside every lined face: cell q along an axis of n-1
  // cells is left out below a low width w (q < w) and from n-1-w on.
  const auto& w = a.faces;
  const int64_t lo[3] = {w[0].width >= 1 ? w[0].width : 0, w[2].width >= 1 ? w[2].width : 0,
                         w[4].width >= 1 ? w[4].width : 0};
  const int64_t hi[3] = {w[1].width >= 1 ? nx1 - w[1].width : nx1,
                         w[3].width >= 1 ? ny1 - w[3].width : ny1,
                         w[5].width >= 1 ? nz1 - w[5].width : nz1};
  const int64_t ni = hi[0] - lo[0], nj = hi[1] - lo[1];
  const int64_t rows = ni > 0 && nj > 0 && hi[2] > lo[2] ? ni * nj : 0;
#pragma omp for schedule(static)
  for (int64_t r = 0; r < rows; ++r) {
    const int64_t i = lo[0] + r / nj, j = lo[1] + r % nj;
    const int64_t node = (i * g.ny + j) * g.nz, c = (i * ny1 + j) * nz1;
    for (int64_t k = lo[2]; k < hi[2]; k += block_cells)
      cell_run(a, t, node + k, c + k, std::min(block_cells, hi[2] - k));
  }
}

}  // namespace norvane::adjoint::NORVANE_ISA_NS
