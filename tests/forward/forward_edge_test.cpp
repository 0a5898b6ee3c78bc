// Call-frame edge cases of both passes: what runs and what is left alone
// for nt = 0, snapshots switched off or impossible (bit 26, an interval
// below 1, an unknown element code), positions outside the grid, null
// pointers where nothing may be read, and thread-count independence.
#include <gtest/gtest.h>
#include <omp.h>

#include "tests/common/sim_case.hpp"
#include "tests/reference/reference.hpp"

namespace nt = norvane_test;

namespace {

nt::sim_case small_case(int order = 2) {
  nt::sim_case c;
  c.nx = 11;
  c.ny = 9;
  c.nz = 10;
  c.nt = 10;
  c.n_shots = 2;
  c.n_src = 2;
  c.n_rec = 3;
  c.src_pos = {5, 4, 5, 3, 3, 3, 6, 4, 4, 5, 5, 5};
  c.rec_pos = {2, 2, 2, 8, 6, 7, 5, 4, 5, 3, 3, 3, 7, 5, 6, 2, 6, 3};
  c.wavelet.resize(c.n_src * c.nt);
  for (size_t t = 0; t < c.wavelet.size(); ++t) c.wavelet[t] = float(t % 7) - 3.0f;
  c.set_stable_dt(order, 0.9f);
  c.interval = 4;
  c.format = 1;
  c.save_rhs = 1;
  c.allocate();
  return c;
}

TEST(ForwardFrame, ZeroStepsOnlyBuildsCoefficients) {
  nt::sim_case c = small_case();
  c.nt = 0;
  c.allocate();
  for (auto& v : c.e[2]) v = 0.25f;
  const nt::sim_case before = c;
  c.run_forward(&::forward);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(nt::bit_mismatches(c.e[k], before.e[k]), 0);
    EXPECT_EQ(nt::bit_mismatches(c.h[k], before.h[k]), 0);
  }
  EXPECT_EQ(c.e_store, before.e_store);
  EXPECT_GT(nt::bit_mismatches(c.coeff[1], before.coeff[1]), 0) << "cb_e not built";
}

// Snapshots are off, or cannot be laid out safely: the stores are never
// touched (they may even be null) and the fields are those of a run with
// snapshots switched off explicitly.
TEST(ForwardFrame, SnapshotsOffLeaveStoresAlone) {
  nt::sim_case off = small_case();
  off.format = 0x4000000 | 1;
  off.run_forward(&::forward);
  struct variant {
    int interval, format;
  };
  for (const variant v : {variant{0, 1}, variant{-2, 0}, variant{4, 3}, variant{4, 0x4000002}}) {
    nt::sim_case c = small_case();
    c.interval = v.interval;
    c.format = v.format;
    const std::vector<uint8_t> e_before = c.e_store, r_before = c.rhs_store;
    c.run_forward(&::forward);
    EXPECT_EQ(c.e_store, e_before) << "interval " << v.interval << " format " << v.format;
    EXPECT_EQ(c.rhs_store, r_before) << "interval " << v.interval << " format " << v.format;
    for (int k = 0; k < 3; ++k) EXPECT_EQ(nt::bit_mismatches(c.e[k], off.e[k]), 0);
    EXPECT_EQ(nt::bit_mismatches(c.rec_out, off.rec_out), 0);
  }
  // With bit 26 the stores may be null.
  nt::sim_case c = small_case();
  c.format = 0x4000000;
  c.e_store.clear();
  c.rhs_store.clear();
  c.run_forward(&::forward);
  EXPECT_EQ(nt::bit_mismatches(c.e[2], off.e[2]), 0);
}

// Sources and receivers outside the grid are skipped: the fields equal those
// of a run without them, and such a receiver records zeros.
TEST(ForwardFrame, PositionsOutsideTheGridAreSkipped) {
  nt::sim_case base = small_case();
  base.src_pos = {5, 4, 5, 5, 4, 5, 6, 4, 4, 6, 4, 4};
  base.wavelet.assign(base.n_src * base.nt, 0.0f);
  for (int t = 0; t < base.nt; ++t) base.wavelet[t] = float(t) - 4.0f;  // source 1 silent
  base.run_forward(&::forward);

  nt::sim_case c = small_case();
  c.wavelet = base.wavelet;
  for (int t = 0; t < c.nt; ++t) c.wavelet[c.nt + t] = 1e3f;  // loud, but off the grid
  c.src_pos = {5, 4, 5, -1, 4, 5, 6, 4, 4, 6, 4, 10};
  c.rec_pos[3] = 11;   // shot 0, receiver 1: i = nx
  c.rec_pos[17] = -3;  // shot 1, receiver 2: k < 0
  c.run_forward(&::forward);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(nt::bit_mismatches(c.e[k], base.e[k]), 0);
  for (int s = 0; s < 2; ++s)
    for (int t = 0; t < c.nt; ++t) {
      const int r = s == 0 ? 1 : 2;
      EXPECT_EQ(c.rec_out[(s * c.nt + t) * c.n_rec + r], 0.0f);
    }
}

// Faces of width 0 never read their profiles or memories: null pointers
// there are fine (the harness passes null for every unlined face), and the
// run matches the reference.
TEST(ForwardFrame, NullPointersForUnlinedFaces) {
  nt::sim_case c = small_case(4);
  c.pml[0] = 3;
  c.pml[5] = 2;
  c.allocate();
  for (int f : {1, 2, 3, 4}) {
    ASSERT_EQ(c.psi_ptr(f, 0), nullptr);
    ASSERT_EQ(c.prof_e[f].data(), nullptr);
  }
  nt::sim_case ref = c;
  set_fdtd_order(4);
  norvane_ref::set_fdtd_order(4);
  c.run_forward(&::forward);
  ref.run_forward(&norvane_ref::forward);
  set_fdtd_order(2);
  norvane_ref::set_fdtd_order(2);
  EXPECT_EQ(nt::compare_forward(c, ref), "");
}

// Every phase splits its work so that the thread count cannot change a bit,
// sources and receivers sharing a node included.
TEST(ForwardFrame, ThreadCountDoesNotChangeResults) {
  for (int order : {2, 8}) {
    set_fdtd_order(order);
    std::mt19937 rng(5 + order);
    for (int n = 0; n < 6; ++n) {
      nt::sim_case one = nt::random_case(rng, order);
      nt::sim_case two = one;
      omp_set_num_threads(1);
      one.run_forward(&::forward);
      omp_set_num_threads(2);
      two.run_forward(&::forward);
      EXPECT_EQ(nt::compare_forward(one, two), "") << "order " << order << " case " << n;
      nt::adjoint_state a1;
      a1.allocate(one);
      for (size_t i = 0; i < a1.residual.size(); ++i) a1.residual[i] = float(i % 5) - 2.0f;
      nt::adjoint_state a2 = a1;
      omp_set_num_threads(1);
      a1.run_backward(one, &::backward);
      omp_set_num_threads(2);
      a2.run_backward(one, &::backward);
      EXPECT_EQ(nt::compare_backward(a1, a2), "") << "order " << order << " case " << n;
    }
  }
  set_fdtd_order(2);
  omp_set_num_threads(omp_get_num_procs());
}

// Backward with an interval below 1 or an unknown element code adds no
// material gradient (and divides by nothing) but still propagates.
TEST(BackwardFrame, NoSnapshotsMeansNoMaterialGradient) {
  nt::sim_case c = small_case();
  c.run_forward(&::forward);
  nt::adjoint_state good;
  good.allocate(c);
  for (size_t i = 0; i < good.residual.size(); ++i) good.residual[i] = float(i % 3) - 1.0f;
  nt::adjoint_state bad = good;
  good.run_backward(c, &::backward);
  for (const int interval : {0, -3}) {
    nt::sim_case cb = c;
    cb.interval = interval;
    nt::adjoint_state b = bad;
    b.run_backward(cb, &::backward);
    for (float g : b.grad_eps_r) EXPECT_EQ(g, 0.0f);
    for (float g : b.grad_sigma) EXPECT_EQ(g, 0.0f);
    EXPECT_EQ(nt::bit_mismatches(b.e[2], good.e[2]), 0);
    EXPECT_EQ(nt::bit_mismatches(b.grad_wavelet, good.grad_wavelet), 0);
  }
  nt::sim_case cf = c;
  cf.format = 5;
  nt::adjoint_state b = bad;
  b.run_backward(cf, &::backward);
  for (float g : b.grad_eps_r) EXPECT_EQ(g, 0.0f);
  EXPECT_EQ(nt::bit_mismatches(b.h[0], good.h[0]), 0);
}

}  // namespace

namespace {

// An interval near the 32-bit limit still gives one slot per component
// (the ceiling of nt/interval is formed without overflow), so the three
// components land in three distinct regions of the stores.
TEST(ForwardFrame, HugeIntervalKeepsComponentRegionsApart) {
  nt::sim_case c = small_case();
  c.nt = 2;
  c.interval = 2147483647;
  c.format = 0;
  c.components = 3;
  c.allocate();
  for (int k = 0; k < 3; ++k)
    for (auto& v : c.e[k]) v = float(k + 1);
  c.run_forward(&::forward);
  ASSERT_EQ(c.n_snapshots(), 1);
  const int64_t n = c.n_cells();
  const float* store = reinterpret_cast<const float*>(c.e_store.data());
  for (int k = 0; k < 3; ++k) EXPECT_EQ(store[k * n], float(k + 1)) << "component " << k;
}

}  // namespace
