// The backward pass against the literal scalar reference (a one-thread
// scatter sweep) on the randomised cases of the forward comparison: bit for
// bit with one thread and with two, since every adjoint phase gathers its
// contributions in the serial order.
#include <gtest/gtest.h>
#include <omp.h>

#include "lib/kernels/isa.hpp"
#include "tests/common/sim_case.hpp"
#include "tests/reference/reference.hpp"

namespace nt = norvane_test;

namespace {

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
  for (auto isa : {norvane::kernels::isa_generic, norvane::kernels::isa_avx2,
                   norvane::kernels::isa_avx512}) {
    if (!norvane::kernels::cpu_runs(isa)) continue;
    norvane::kernels::force_isa(isa);
    compare_cases(GetParam(), 2, 3000 + GetParam(), 8, norvane::kernels::isa_name(isa));
  }
}

// Rows long enough for the blocked sweeps: whole blocks, a last block that
// overlaps the one before, runs of uniform blocks, and the x/y faces'
// classes around an interior class (extents past 19).
TEST_P(BackwardVsReference, LongRowsEveryInstructionSet) {
  nt::order_guard guard(GetParam());
  nt::extent_bounds b;
  b.lo[0] = 14, b.hi[0] = 26;
  b.lo[1] = 2, b.hi[1] = 22;
  b.lo[2] = 15, b.hi[2] = 75;
  for (auto isa : {norvane::kernels::isa_generic, norvane::kernels::isa_avx2,
                   norvane::kernels::isa_avx512}) {
    if (!norvane::kernels::cpu_runs(isa)) continue;
    norvane::kernels::force_isa(isa);
    compare_cases(GetParam(), 2, 4000 + GetParam(), 4, norvane::kernels::isa_name(isa), b);
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, BackwardVsReference, ::testing::Values(2, 4, 8));

}  // namespace
