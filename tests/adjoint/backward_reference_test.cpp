// The backward pass against the literal scalar reference (a one-thread
// scatter sweep) on the randomised cases of the forward comparison: bit for
// bit with one thread and with two, since every adjoint phase gathers its
// contributions in the serial order.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>

#include "lib/kernels/isa.hpp"
#include "tests/common/isa_loop.hpp"
#include "tests/common/sim_case.hpp"
#include "tests/common/tile_loop.hpp"
#include "tests/reference/reference.hpp"

namespace nt = norvane_test;

namespace {

using norvane_test::for_each_isa;

// A forward run filled the stores; random residuals drive the adjoint.
void prepare(std::mt19937& rng, int order, nt::sim_case& c, nt::adjoint_state& adj,
             const nt::extent_bounds& b) {
  c = nt::random_case(rng, order, b);
  c.run_forward(&::forward);
  adj.allocate(c);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (auto& r : adj.residual) r = u(rng);
  std::uniform_int_distribution<int> sw(0, 5);
  adj.want_wavelet = sw(rng) == 0 ? 2 : 1;
  adj.want_eps = sw(rng) == 0 ? 0 : 1;
  adj.want_sigma = sw(rng) == 0 ? 2 : 1;
}

// `count` random cases against the reference, bit for bit, with the given
// thread count and the current instruction set.
void compare_cases(int order, int threads, unsigned seed, int count, const char* label,
                   const nt::extent_bounds& b = {}) {
  omp_set_num_threads(threads);
  std::mt19937 rng(seed);
  for (int n = 0; n < count; ++n) {
    nt::sim_case c;
    nt::adjoint_state ref;
    prepare(rng, order, c, ref, b);
    nt::adjoint_state lib = ref;
    ref.run_backward(c, &norvane_ref::backward);
    lib.run_backward(c, &::backward);
    ASSERT_EQ(nt::compare_backward(lib, ref), "")
        << label << ", " << threads << " threads, case " << n << ": grid " << c.nx << "x" << c.ny
        << "x" << c.nz << ", shots " << c.n_shots << ", nt " << c.nt << ", pml " << c.pml[0]
        << c.pml[1] << c.pml[2] << c.pml[3] << c.pml[4] << c.pml[5] << ", format " << c.format
        << ", interval " << c.interval << ", components " << c.components;
  }
}

class BackwardVsReference : public ::testing::TestWithParam<int> {};

TEST_P(BackwardVsReference, OneThreadBitExact) {
  nt::order_guard guard(GetParam());
  compare_cases(GetParam(), 1, 1000 + GetParam(), 40, "default set");
}

TEST_P(BackwardVsReference, TwoThreadsBitExact) {
  nt::order_guard guard(GetParam());
  compare_cases(GetParam(), 2, 2000 + GetParam(), 20, "default set");
}

// Every instruction set this CPU runs gives the reference's bits.
TEST_P(BackwardVsReference, EveryInstructionSet) {
  nt::order_guard guard(GetParam());
  for_each_isa([&](norvane::kernels::isa_level isa) {
    compare_cases(GetParam(), 2, 3000 + GetParam(), 8, norvane::kernels::isa_name(isa));
  });
}

// Rows long enough for the blocked sweeps: whole blocks, a last block that
// overlaps the one before, runs of uniform blocks, and the x/y faces'
// classes around an interior class (extents past 19); then rows of 150 to
// 200 nodes, whose uniform runs take the widest steps (eight native vectors
// of targets) and every narrower one after them.
TEST_P(BackwardVsReference, LongRowsEveryInstructionSet) {
  nt::order_guard guard(GetParam());
  nt::extent_bounds b;
  b.lo[0] = 14, b.hi[0] = 26;
  b.lo[1] = 2, b.hi[1] = 22;
  b.lo[2] = 15, b.hi[2] = 75;
  nt::extent_bounds very_long;
  very_long.lo[0] = very_long.lo[1] = 3, very_long.hi[0] = very_long.hi[1] = 12;
  very_long.lo[2] = 150, very_long.hi[2] = 200;
  for_each_isa([&](norvane::kernels::isa_level isa) {
    compare_cases(GetParam(), 2, 4000 + GetParam(), 4, norvane::kernels::isa_name(isa), b);
    compare_cases(GetParam(), 2, 4100 + GetParam(), 3, norvane::kernels::isa_name(isa), very_long);
  });
}

// Large grids take the rows of the transposes in tiles of columns j (and
// with layers, their runs of rows along the tiles); the order of the rows
// must not change a bit. Forced narrow tiles on the random cases, with 1,
// 2 and 3 threads.
TEST_P(BackwardVsReference, RowTilesGiveTheSameBits) {
  nt::order_guard guard(GetParam());
  nt::for_each_forced_tiling([&](int cols, int threads) {
    compare_cases(GetParam(), threads, 5000 + 10 * GetParam() + cols + 3 * threads, 3,
                  "forced tiles");
  });
}

// Without layers, large order-2 grids take the transposes' rows two planes
// at a time, interleaving the two rows' pieces. Forced at every order, with
// and without tiles, on odd and even plane counts and rows long enough for
// every kind of piece, the pairs must not change a bit.
TEST_P(BackwardVsReference, PairedPlanesGiveTheSameBits) {
  nt::order_guard guard(GetParam());
  nt::extent_bounds b;
  b.lo[0] = 3, b.hi[0] = 24;
  b.lo[2] = 15, b.hi[2] = 60;
  nt::for_each_forced_pairing([&](int cols, int threads) {
    compare_cases(GetParam(), threads, 6000 + 10 * GetParam() + cols + 3 * threads, 4,
                  "paired planes", b);
  });
}

INSTANTIATE_TEST_SUITE_P(Orders, BackwardVsReference, ::testing::Values(2, 4, 8));

// Layer geometries the small random cases do not reach: rows long enough
// for a middle between the two z layers, a single z layer, the two layers
// of an axis overlapping, width-0 faces, axes of three nodes, rows longer
// than the material-gradient phase's blocks, and layers wide enough that
// rows with the nominal order-8 stencils lie inside them (and rows that no
// x or y source reaches), at equal and unequal z widths.
struct layer_geometry {
  int nx, ny, nz;
  int pml[6];
};

constexpr layer_geometry k_layer_geometries[] = {
    {11, 9, 67, {3, 2, 0, 4, 5, 3}},    // long rows, an unlined y face
    {7, 9, 45, {0, 2, 3, 0, 0, 9}},     // high z layer only
    {9, 6, 40, {5, 5, 4, 3, 20, 21}},   // every axis's layers overlap
    {3, 4, 3, {1, 1, 2, 0, 1, 1}},      // three-node axes
    {4, 3, 530, {1, 0, 0, 1, 2, 3}},    // rows of several material-gradient blocks
    {24, 22, 40, {6, 7, 5, 6, 7, 7}},   // wide layers, equal z widths
    {26, 21, 30, {5, 5, 5, 5, 4, 6}},   // a middle no x or y source reaches
};

// A random case on the given geometry, with the adjoint state (fields and
// memories) random from the start, some elements -0, so that every layer
// term carries a value in the first step and a stray +0 would show.
void prepare_geometry(std::mt19937& rng, int order, const layer_geometry& q, nt::sim_case& c,
                      nt::adjoint_state& adj) {
  c = nt::random_case(rng, order);
  c.nx = q.nx, c.ny = q.ny, c.nz = q.nz, c.nt = 3;
  std::copy(q.pml, q.pml + 6, c.pml);
  std::uniform_int_distribution<int> px(0, q.nx - 1), py(0, q.ny - 1), pz(0, q.nz - 1);
  for (auto* pos : {&c.src_pos, &c.rec_pos})
    for (size_t n = 0; n < pos->size(); n += 3)
      (*pos)[n] = px(rng), (*pos)[n + 1] = py(rng), (*pos)[n + 2] = pz(rng);
  c.eps_r.clear();
  c.randomize_materials(rng, true);
  c.wavelet.assign(size_t(c.n_src) * c.nt, 0.5f);
  for (int f = 0; f < 6; ++f) c.prof_e[f].clear(), c.prof_h[f].clear();
  c.allocate();
  c.randomize_profiles(rng);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int k = 0; k < 3; ++k)
    for (auto& v : c.e[k]) v = u(rng);
  c.run_forward(&::forward);
  adj.allocate(c);
  auto fill = [&](std::vector<float>& v) {
    for (auto& x : v) x = u(rng) < -0.9f ? -0.0f : u(rng);
  };
  for (int k = 0; k < 3; ++k) fill(adj.e[k]), fill(adj.h[k]);
  for (auto& m : adj.psi) fill(m);
  fill(adj.residual);
}

TEST_P(BackwardVsReference, LayerGeometries) {
  nt::order_guard guard(GetParam());
  std::mt19937 rng(4000 + GetParam());
  for (const layer_geometry& q : k_layer_geometries) {
    nt::sim_case c;
    nt::adjoint_state start;
    prepare_geometry(rng, GetParam(), q, c, start);
    nt::adjoint_state ref = start;
    ref.run_backward(c, &norvane_ref::backward);
    for_each_isa([&](norvane::kernels::isa_level isa) {
      for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        nt::adjoint_state lib = start;
        lib.run_backward(c, &::backward);
        ASSERT_EQ(nt::compare_backward(lib, ref), "")
            << norvane::kernels::isa_name(isa) << ", " << threads << " threads, grid " << q.nx
            << "x" << q.ny << "x" << q.nz << ", pml " << q.pml[0] << q.pml[1] << q.pml[2]
            << q.pml[3] << q.pml[4] << q.pml[5];
      }
    });
  }
}

// The gathers place their blocks on cache-line boundaries of each target
// row (a plan per phase), so where the arrays start decides how a row splits,
// never what it computes: every offset from a line (each array at its own)
// gives the reference's bits, on every instruction set. Without layers the
// gathers also carry the deferred rescaling of their targets, partly inside
// the aligned blocks and partly ahead of them.
TEST(BackwardVsReferencePlacement, ArraysAtEveryOffsetFromACacheLine) {
  for (const layer_geometry& q : {layer_geometry{7, 6, 70, {2, 0, 0, 3, 3, 2}},
                                  layer_geometry{7, 6, 70, {0, 0, 0, 0, 0, 0}}}) {
    for (int order : {2, 8}) {
      nt::order_guard guard(order);
      std::mt19937 rng(600 + order);
      nt::sim_case c;
      nt::adjoint_state start;
      prepare_geometry(rng, order, q, c, start);
      nt::adjoint_state ref = start;
      ref.run_backward(c, &norvane_ref::backward);
      for_each_isa([&](norvane::kernels::isa_level isa) {
        for (int placement = 0; placement < 16; ++placement) {
          nt::adjoint_state lib = start;
          lib.placement = placement;
          lib.run_backward(c, &::backward);
          EXPECT_EQ(nt::compare_backward(lib, ref), "")
              << "order " << order << ", " << norvane::kernels::isa_name(isa) << ", placement "
              << placement << (q.pml[0] > 0 ? ", layers" : ", no layers");
        }
      });
    }
  }
}

}  // namespace
