// The backward pass against the literal scalar reference (a one-thread
// scatter sweep) on the randomised cases of the forward comparison: bit for
// bit with one thread and with two, since every adjoint phase gathers its
// contributions in the serial order.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>

#include "lib/kernels/isa.hpp"
#include "tests/common/sim_case.hpp"
#include "tests/reference/reference.hpp"

namespace nt = norvane_test;

namespace {

// A forward run filled the stores; random residuals drive the adjoint.
void prepare(std::mt19937& rng, int order, nt::sim_case& c, nt::adjoint_state& adj) {
  c = nt::random_case(rng, order);
  c.run_forward(&::forward);
  adj.allocate(c);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (auto& r : adj.residual) r = u(rng);
  std::uniform_int_distribution<int> sw(0, 5);
  adj.want_wavelet = sw(rng) == 0 ? 2 : 1;
  adj.want_eps = sw(rng) == 0 ? 0 : 1;
  adj.want_sigma = sw(rng) == 0 ? 2 : 1;
}

double max_rel_diff(const std::vector<float>& a, const std::vector<float>& b) {
  double scale = 0, worst = 0;
  for (float v : b) scale = std::max(scale, std::fabs(double(v)));
  for (size_t i = 0; i < a.size(); ++i)
    worst = std::max(worst, std::fabs(double(a[i]) - b[i]) / (scale > 0 ? scale : 1));
  return worst;
}

class BackwardVsReference : public ::testing::TestWithParam<int> {};

TEST_P(BackwardVsReference, OneThreadBitExact) {
  const int order = GetParam();
  nt::order_guard guard(order);
  omp_set_num_threads(1);
  std::mt19937 rng(1000 + order);
  for (int n = 0; n < 40; ++n) {
    nt::sim_case c;
    nt::adjoint_state ref;
    prepare(rng, order, c, ref);
    nt::adjoint_state lib = ref;
    ref.run_backward(c, &norvane_ref::backward);
    lib.run_backward(c, &::backward);
    ASSERT_EQ(nt::compare_backward(lib, ref), "")
        << "case " << n << ": grid " << c.nx << "x" << c.ny << "x" << c.nz << ", shots "
        << c.n_shots << ", nt " << c.nt << ", pml " << c.pml[0] << c.pml[1] << c.pml[2]
        << c.pml[3] << c.pml[4] << c.pml[5] << ", format " << c.format << ", interval "
        << c.interval << ", components " << c.components;
  }
}

TEST_P(BackwardVsReference, TwoThreadsBitExact) {
  const int order = GetParam();
  nt::order_guard guard(order);
  omp_set_num_threads(2);
  std::mt19937 rng(2000 + order);
  double worst = 0;
  for (int n = 0; n < 20; ++n) {
    nt::sim_case c;
    nt::adjoint_state ref;
    prepare(rng, order, c, ref);
    nt::adjoint_state lib = ref;
    ref.run_backward(c, &norvane_ref::backward);
    lib.run_backward(c, &::backward);
    for (int k = 0; k < 3; ++k) {
      worst = std::max(worst, max_rel_diff(lib.e[k], ref.e[k]));
      worst = std::max(worst, max_rel_diff(lib.h[k], ref.h[k]));
    }
    worst = std::max(worst, max_rel_diff(lib.grad_wavelet, ref.grad_wavelet));
    worst = std::max(worst, max_rel_diff(lib.grad_eps_r, ref.grad_eps_r));
    ASSERT_EQ(nt::compare_backward(lib, ref), "") << "case " << n << ", largest relative difference " << worst;
  }
}

// Every instruction set this CPU runs gives the reference's bits.
TEST_P(BackwardVsReference, EveryInstructionSet) {
  const int order = GetParam();
  nt::order_guard guard(order);
  omp_set_num_threads(2);
  for (int level : {norvane::kernels::isa_generic, norvane::kernels::isa_avx2,
                    norvane::kernels::isa_avx512}) {
    const auto isa = static_cast<norvane::kernels::isa_level>(level);
    if (!norvane::kernels::cpu_runs(isa)) continue;
    norvane::kernels::force_isa(level);
    std::mt19937 rng(3000 + order);
    for (int n = 0; n < 8; ++n) {
      nt::sim_case c;
      nt::adjoint_state ref;
      prepare(rng, order, c, ref);
      nt::adjoint_state lib = ref;
      ref.run_backward(c, &norvane_ref::backward);
      lib.run_backward(c, &::backward);
      ASSERT_EQ(nt::compare_backward(lib, ref), "") << norvane::kernels::isa_name(isa) << " case " << n;
    }
  }
  norvane::kernels::force_isa(-1);
}

INSTANTIATE_TEST_SUITE_P(Orders, BackwardVsReference, ::testing::Values(2, 4, 8));

}  // namespace
