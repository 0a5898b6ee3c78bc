// The adjoint's point phases and material gradients at 64-bit indices, by the
// method of tests/forward/large_index_test.cpp: the same phase on a huge
// reserved-but-untouched grid or store and on a small one holding the same
// values at corresponding elements must give the same bits.
//
// Proven here: residual injection and the wavelet gradient address receiver
// and source nodes whose node index exceeds 2^31 and whose field element
// index exceeds 2^32; the material gradients read all three components of a
// snapshot slot whose store elements lie past 2^32 (component stride and slot
// offset both above 2^32), in every instruction-set build this CPU runs. The adjoint field phases
// sweep every row of a grid and cannot be confined to a window, so they are not covered.
#include <gtest/gtest.h>

#include "lib/adjoint/material_gradient.hpp"
#include "lib/adjoint/sources_adjoint.hpp"
#include "lib/kernels/isa.hpp"
#include "lib/storage/formats.hpp"
#include "tests/common/huge_grid.hpp"

namespace nt = norvane_test;
using norvane::kernels::isa_avx2;
using norvane::kernels::isa_avx512;
using norvane::kernels::isa_generic;

namespace {

TEST(LargeIndex, ResidualsAndWaveletGradientAtFarNodes) {
  constexpr int ny = 12, nz = 19, nx_huge = (1 << 24) + 1, nx_small = 13, n_time = 4, t = 2;
  const int none[6] = {0, 0, 0, 0, 0, 0};
  nt::huge_grid huge(nx_huge, ny, nz, 2, none), small(nx_small, ny, nz, 2, none);
  ASSERT_TRUE(huge.ok) << "the system refused a reservation without backing store";
  std::vector<float> residual(2 * n_time * 2);
  for (size_t q = 0; q < residual.size(); ++q) residual[q] = nt::pattern(q);
  std::vector<float> grad_huge(2 * n_time, 0.5f), grad_small = grad_huge;
  std::vector<float> got, want;
  for (nt::huge_grid* g : {&huge, &small}) {
    const int nx = g->a.g.nx;
    // Two positions per shot; the last lies outside the grid.
    const std::vector<int32_t> pos = {nx - 1, ny - 1, nz - 1, nx - 2, ny - 4, 4,
                                      nx - 1, ny - 1, nz - 1, nx,     0,      0};
    for (int s = 0; s < 2; ++s)
      for (int q = 0; q < 2; ++q) {
        const int32_t* p = &pos[(s * 2 + q) * 3];
        if (p[0] >= nx) continue;
        g->a.e[2][g->field_index(s, p[0], p[1], p[2])] = nt::pattern(100 + s * 2 + q);
        g->a.c.cs_e[g->field_index(0, p[0], p[1], p[2])] = 0.4f + 0.1f * nt::pattern(200 + q);
      }
    norvane::backward_args b;
    static_cast<norvane::pass_args&>(b) = g->a;
    b.nt = n_time;
    b.n_rec = b.n_src = 2;
    b.rec_pos = b.src_pos = pos.data();
    b.rec_comp = b.src_comp = 2;
    b.rec_residual = residual.data();
    b.grad_wavelet = g == &huge ? grad_huge.data() : grad_small.data();
    b.want_grad_wavelet = true;
    norvane::adjoint::inject_residuals(b, t);
    norvane::adjoint::wavelet_gradient(b, t);
    std::vector<float>& out = g == &huge ? got : want;
    for (int s = 0; s < 2; ++s)
      for (int q = 0; q < 2; ++q) {
        const int32_t* p = &pos[(s * 2 + q) * 3];
        if (p[0] < nx) out.push_back(g->a.e[2][g->field_index(s, p[0], p[1], p[2])]);
      }
  }
  EXPECT_EQ(nt::bit_mismatches(got, want), 0);
  EXPECT_EQ(nt::bit_mismatches(grad_huge, grad_small), 0);
  EXPECT_NE(grad_small[0 * n_time + t], 0.5f);
}

// Slot t of a store with 2^25 slots of 240 cells: every component region is
// 8e9 elements long and the slot starts 8e9 elements into it.
TEST(LargeIndex, MaterialGradientsAtFarSlots) {
  const int n_shots = 2, nx = 6, ny = 5, nz = 7;
  const int64_t n_nodes = int64_t(nx) * ny * nz;
  const int64_t n_int = int64_t(nx - 1) * (ny - 1) * (nz - 1), n_cells = n_shots * n_int;
  std::vector<float> adj[3], ca(n_nodes), cs(n_nodes), sigma(n_nodes, 0.01f);
  for (int c = 0; c < 3; ++c) {
    adj[c].resize(n_shots * n_nodes);
    for (size_t l = 0; l < adj[c].size(); ++l) adj[c][l] = nt::pattern(l + 1000 * c);
  }
  for (int64_t n = 0; n < n_nodes; ++n) {
    ca[n] = 0.8f + 0.1f * nt::pattern(n + 50000);
    cs[n] = 0.3f + 0.1f * nt::pattern(n + 60000);
  }
  sigma[n_nodes / 2] = 1e30f;  // one perfect conductor, which gets nothing

  struct store_case {
    int nt, t;
  };
  for (const auto isa : {isa_generic, isa_avx2, isa_avx512}) {
    if (!norvane::kernels::cpu_runs(isa)) continue;
    norvane::kernels::force_isa(isa);
    for (int format : {0, 1}) {
      std::vector<float> grads[2][2];
      int run = 0;
      for (const store_case sc : {store_case{1 << 25, (1 << 25) - 2}, store_case{2, 0}}) {
        norvane::backward_args b;
        b.g.nx = nx;
        b.g.ny = ny;
        b.g.nz = nz;
        b.g.plane = int64_t(ny) * nz;
        b.g.n_nodes = n_nodes;
        b.g.dt = 1e-11f;
        b.n_shots = n_shots;
        b.nt = sc.nt;
        for (int c = 0; c < 3; ++c) b.e[c] = adj[c].data();
        b.c.ca_e = ca.data();
        b.c.cs_e = cs.data();
        b.sigma = sigma.data();
        b.faces[0].width = 1;  // the cells of a lined face get nothing either
        b.snap.interval = 1;
        b.snap.components = 3;
        b.snap.format = format;
        b.snap.enabled = true;
        b.snap.n_snapshots = sc.nt;
        b.snap.n_cells = n_cells;
        const int64_t elements = 3 * b.snap.component_stride();
        nt::huge_array<uint8_t> e_store(elements * (format == 0 ? 4 : 2)),
            rhs_store(elements * (format == 0 ? 4 : 2));
        ASSERT_TRUE(e_store.data() && rhs_store.data());
        b.snap.e_store = e_store.data();
        b.snap.rhs_store = rhs_store.data();
        for (int m = 0; m < 3; ++m)
          for (int64_t q = 0; q < n_cells; ++q) {
            const int64_t at = m * b.snap.component_stride() + int64_t(sc.t) * n_cells + q;
            norvane::storage::store_wavefield_value(e_store.data(), at, format,
                                                    nt::pattern(70000 + m * n_cells + q));
            norvane::storage::store_wavefield_value(rhs_store.data(), at, format,
                                                    nt::pattern(90000 + m * n_cells + q));
          }
        std::vector<float>& ge = grads[run][0];
        std::vector<float>& gs = grads[run][1];
        ge.assign(n_int, 0.25f);
        gs.assign(n_int, -0.25f);
        b.grad_eps_r = ge.data();
        b.grad_sigma = gs.data();
        b.want_grad_eps_r = b.want_grad_sigma = 1;
        norvane::adjoint::material_gradients(b, sc.t);
        ++run;
      }
      ASSERT_GT(int64_t(1 << 25) * n_cells, int64_t(1) << 32);
      const char* name = norvane::kernels::isa_name(isa);
      EXPECT_EQ(nt::bit_mismatches(grads[0][0], grads[1][0]), 0) << name << ", format " << format;
      EXPECT_EQ(nt::bit_mismatches(grads[0][1], grads[1][1]), 0) << name << ", format " << format;
      EXPECT_GT(nt::bit_mismatches(grads[1][0], std::vector<float>(n_int, 0.25f)), n_int / 2);
    }
  }
  norvane::kernels::force_isa(-1);
}

}  // namespace
