// The forward pass against the literal scalar reference, bit for bit, on
// randomised small cases: every order, unequal spacings, random layers and
// profiles, several sources and receivers (two sharing a node), all snapshot
// formats and component counts, intervals 1-4, perfect-conductor nodes;
// with 1 and 2 threads and with every instruction set this CPU runs.
#include <gtest/gtest.h>
#include <omp.h>

#include <vector>

#include "lib/forward/field_update.hpp"
#include "lib/forward/rows.hpp"
#include "tests/common/sim_case.hpp"
#include "tests/common/tile_loop.hpp"
#include "tests/reference/reference.hpp"

namespace nt = norvane_test;
using norvane::forward::row_kernels;

namespace {

void compare_random_cases(int order, int threads, const row_kernels* kernels, int count,
                          unsigned seed) {
  nt::order_guard guard(order);
  norvane::kernels::force_isa(kernels ? kernels->level : -1);
  omp_set_num_threads(threads);
  std::mt19937 rng(seed);
  for (int n = 0; n < count; ++n) {
    nt::sim_case ref = nt::random_case(rng, order);
    nt::sim_case lib = ref;
    ref.run_forward(&norvane_ref::forward);
    lib.run_forward(&::forward);
    const std::string diff = nt::compare_forward(lib, ref);
    ASSERT_EQ(diff, "") << "case " << n << ": grid " << ref.nx << "x" << ref.ny << "x" << ref.nz
                        << ", shots " << ref.n_shots << ", nt " << ref.nt << ", pml "
                        << ref.pml[0] << ref.pml[1] << ref.pml[2] << ref.pml[3] << ref.pml[4]
                        << ref.pml[5] << ", format " << ref.format << ", interval "
                        << ref.interval << ", components " << ref.components << ", save_rhs "
                        << ref.save_rhs << ", backend "
                        << norvane::forward::simd_backend_name();
  }
}

// Materials, a unit wavelet, the arrays, layer profiles and a random
// initial E for a case whose geometry is set.
void fill_randomly(nt::sim_case& c, std::mt19937& rng, bool with_pec) {
  c.eps_r.clear();
  c.randomize_materials(rng, with_pec);
  c.wavelet.assign(c.nt, 1.0f);
  c.allocate();
  c.randomize_profiles(rng);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int m = 0; m < 3; ++m)
    for (auto& v : c.e[m]) v = u(rng);
}

class ForwardVsReference : public ::testing::TestWithParam<int> {};

TEST_P(ForwardVsReference, OneThreadDefaultBackend) { compare_random_cases(GetParam(), 1, nullptr, 40, 11u * GetParam()); }

TEST_P(ForwardVsReference, TwoThreads) { compare_random_cases(GetParam(), 2, nullptr, 25, 13u * GetParam()); }

TEST_P(ForwardVsReference, EveryInstructionSet) {
  for (const row_kernels* k : {norvane::forward::row_kernels_generic(),
                               norvane::forward::row_kernels_avx2(),
                               norvane::forward::row_kernels_avx512()}) {
    if (!norvane::kernels::cpu_runs(k->level)) {
      std::printf("instruction set %s not available here, skipped\n", k->name);
      continue;
    }
    compare_random_cases(GetParam(), 2, k, 12, 17u * GetParam());
  }
}

// Large grids take their rows in tiles of columns j; the order of the rows
// must not change a bit. Forced narrow tiles (a narrower last tile, tiles
// that split the layers and the thread blocks) on the random cases, with
// 1, 2 and 3 threads.
TEST_P(ForwardVsReference, RowTilesGiveTheSameBits) {
  norvane_test::for_each_forced_tiling([&](int cols, int threads) {
    compare_random_cases(GetParam(), threads, nullptr, 6, 19u * GetParam() + cols + 7u * threads);
  });
}

INSTANTIATE_TEST_SUITE_P(Orders, ForwardVsReference, ::testing::Values(2, 4, 8));

// Larger grids, where the vector loop covers most of each row, on every
// instruction set, with 1 and 3 threads. The wider layers put rows with the nominal x and y
// stencils inside x and y layers at every order, which take their
// corrections inside the update loops; the z faces come with equal widths
// (their nodes paired in one loop) and unequal ones, and wider than a
// vector of 16 nodes.
TEST(ForwardVsReferenceLarge, LongRowsAndLayerRowsAllOrders) {
  struct geometry {
    int nx, ny, nz, pml[6];
  };
  const geometry geometries[] = {{14, 12, 67, {3, 2, 0, 4, 5, 3}},
                                 {24, 22, 40, {6, 7, 5, 6, 7, 7}},
                                 {20, 21, 30, {5, 5, 5, 5, 4, 6}},
                                 {12, 11, 58, {2, 3, 3, 2, 18, 21}}};
  for (const row_kernels* k : {norvane::forward::row_kernels_generic(),
                               norvane::forward::row_kernels_avx2(),
                               norvane::forward::row_kernels_avx512()}) {
    if (!norvane::kernels::cpu_runs(k->level)) continue;
    norvane::kernels::force_isa(k->level);
    for (const geometry& geo : geometries) {
      for (int order : {2, 4, 8}) {
        nt::order_guard guard(order);
        std::mt19937 rng(99 + order);
        nt::sim_case c = nt::random_case(rng, order);
        c.nx = geo.nx;
        c.ny = geo.ny;
        c.nz = geo.nz;
        c.nt = 6;
        for (int f = 0; f < 6; ++f) c.pml[f] = geo.pml[f];
        c.src_pos.clear();
        c.rec_pos.clear();
        c.n_src = 1;
        c.n_rec = 2;
        for (int f = 0; f < 6; ++f) c.prof_e[f].clear(), c.prof_h[f].clear();
        for (int s = 0; s < c.n_shots; ++s) {
          c.src_pos.insert(c.src_pos.end(), {7, 6, 20});
          c.rec_pos.insert(c.rec_pos.end(), {9, 5, 25, 2, 2, 28});
        }
        fill_randomly(c, rng, true);
        nt::sim_case ref = c;
        ref.run_forward(&norvane_ref::forward);
        // At order 2 the rows without layer terms run aligned on small
        // grids and plain on large ones: both, forced.
        for (int aligned : order == 2 ? std::vector<int>{0, 1} : std::vector<int>{-1}) {
          norvane::forward::force_aligned_order2(aligned);
          for (int threads : {1, 3}) {  // 3: blocks of rows that split the layers unevenly
            omp_set_num_threads(threads);
            nt::sim_case lib = c;
            lib.run_forward(&::forward);
            EXPECT_EQ(nt::compare_forward(lib, ref), "")
                << "order " << order << ", grid " << geo.nx << "x" << geo.ny << "x" << geo.nz
                << ", backend " << k->name << ", " << threads << " threads, aligned " << aligned;
          }
        }
        norvane::forward::force_aligned_order2(-1);
      }
    }
  }
  norvane::kernels::force_isa(-1);
}

// The row loops run in vectors placed on cache-line boundaries of each target
// row, so where the arrays start decides how a row splits, never what it
// computes: every offset from a line (each array at its own) gives the
// reference's bits, on every instruction set, with and without layers.
TEST(ForwardVsReferenceLarge, ArraysAtEveryOffsetFromACacheLine) {
  for (int order : {2, 8}) {
    nt::order_guard guard(order);
    std::mt19937 rng(500 + order);
    nt::sim_case c = nt::random_case(rng, order);
    c.nx = 10, c.ny = 10, c.nz = 70, c.nt = 4, c.n_shots = 2;  // order-8 stencils fit on 9 rows
    const int pml[6] = {2, 0, 0, 3, 3, 2};
    std::copy(pml, pml + 6, c.pml);
    c.src_pos.clear();
    c.rec_pos.clear();
    c.n_src = 1;
    c.n_rec = 1;
    for (int s = 0; s < c.n_shots; ++s) {
      c.src_pos.insert(c.src_pos.end(), {3, 2, 30 + s});
      c.rec_pos.insert(c.rec_pos.end(), {4, 3, 40});
    }
    for (int f = 0; f < 6; ++f) c.prof_e[f].clear(), c.prof_h[f].clear();
    fill_randomly(c, rng, false);
    nt::sim_case ref = c;
    ref.run_forward(&norvane_ref::forward);
    for (const row_kernels* k : {norvane::forward::row_kernels_generic(),
                                 norvane::forward::row_kernels_avx2(),
                                 norvane::forward::row_kernels_avx512()}) {
      if (!norvane::kernels::cpu_runs(k->level)) continue;
      norvane::kernels::force_isa(k->level);
      for (int placement = 0; placement < 16; ++placement) {
        nt::sim_case lib = c;
        lib.placement = placement;
        lib.run_forward(&::forward);
        EXPECT_EQ(nt::compare_forward(lib, ref), "")
            << "order " << order << ", backend " << k->name << ", placement " << placement;
      }
    }
  }
}

// A 16-bit snapshot run whose float scratch spans several whole 2 MiB pages
// (the ones the library asks to have backed by huge pages): the right-hand
// sides still come from the unrounded field, bit for bit.
TEST(ForwardVsReferenceLarge, SixteenBitRightHandSidesFromAMultiPageScratch) {
  nt::order_guard guard(2);
  omp_set_num_threads(2);
  for (int format : {1, 2}) {
    std::mt19937 rng(7 + format);
    nt::sim_case c = nt::random_case(rng, 2);
    c.nx = c.ny = c.nz = 72;  // 71^3 cells, 3 components: 4.3 MiB of scratch
    c.n_shots = 1;
    c.nt = 3;
    c.interval = 1;
    c.components = 3;
    c.format = format;
    c.save_rhs = 1;
    for (int f = 0; f < 6; ++f) c.pml[f] = 4, c.prof_e[f].clear(), c.prof_h[f].clear();
    c.n_src = 1;
    c.n_rec = 1;
    c.src_pos = {30, 31, 32};
    c.rec_pos = {40, 41, 42};
    fill_randomly(c, rng, false);
    nt::sim_case ref = c, lib = c;
    ref.run_forward(&norvane_ref::forward);
    lib.run_forward(&::forward);
    EXPECT_EQ(nt::compare_forward(lib, ref), "") << "format " << format;
  }
}

// Planes of 256 x 256 nodes are large on any L2 up to 8 MiB, and there the
// order-2 rows' z loop asks ahead for its faces' coefficients and memories,
// across the plane and shot edges of the sweep (and past the arrays' ends
// on the last rows): still the reference's bits, with 1 and 2 threads.
TEST(ForwardVsReferenceLarge, OrderTwoLayersOnLargePlanes) {
  nt::order_guard guard(2);
  std::mt19937 rng(29);
  nt::sim_case c = nt::random_case(rng, 2);
  c.nx = 6;
  c.ny = c.nz = 256;
  c.n_shots = 2;
  c.nt = 3;
  const int widths[6] = {2, 2, 5, 6, 7, 4};
  for (int f = 0; f < 6; ++f) c.pml[f] = widths[f], c.prof_e[f].clear(), c.prof_h[f].clear();
  c.n_src = 1;
  c.n_rec = 1;
  c.src_pos.clear();
  c.rec_pos.clear();
  for (int s = 0; s < c.n_shots; ++s) {
    c.src_pos.insert(c.src_pos.end(), {3, 100, 120});
    c.rec_pos.insert(c.rec_pos.end(), {2, 90, 10});
  }
  fill_randomly(c, rng, false);
  nt::sim_case ref = c;
  ref.run_forward(&norvane_ref::forward);
  for (int threads : {1, 2}) {
    omp_set_num_threads(threads);
    nt::sim_case lib = c;
    lib.run_forward(&::forward);
    EXPECT_EQ(nt::compare_forward(lib, ref), "") << threads << " threads";
  }
}

}  // namespace
