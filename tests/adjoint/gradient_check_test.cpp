// The material gradients against finite differences of the misfit
// J(m) = 0.5 ||d(m) - d_obs||^2, whose gradient backward returns when fed the
// residual d(m) - d_obs. A small heterogeneous model (eps_r ~ 4 with a blob,
// weak loss) is probed with data from a "true" model that differs.
//
// The E update is E_new = ca_e E_old + cs_e R, with ca_e and cs_e the only
// things that depend on eps_r and sigma at a node; so with a snapshot of
// E_old and R at every step, stored as float32, the adjoint gradient is the
// exact derivative of the discrete misfit up to float rounding, and central
// differences must agree to their own truncation and rounding error. Sparser
// snapshots (one stands for `interval` steps) and 16-bit snapshot formats
// trade accuracy for memory; their errors are measured and reported.
//
// Everything runs on one thread: the atomic sums then land in a fixed order,
// so the misfits of nearby models differ only by the perturbation.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tests/common/sim_case.hpp"

namespace nt = norvane_test;

namespace {

constexpr double k_eps0 = 8.854188e-12;
constexpr double k_c0 = 299792458.0;
constexpr int k_pml = 4;
constexpr int k_snapshots_off = 0x4000000;  // bit 26 of the format switches snapshots off

// Absorbing layer in recursive-convolution form with kappa = 1: the memory
// psi <- b psi + (b - 1) d with b = exp(-s dt / eps0) for a conductivity s
// growing as the cube of the depth, and the field corrected by psi_new. In
// the row form (F += c ((r0 - 1) d + r1 psi_old), psi <- r2 psi - r3 d) that
// is r0 = r1 = r2 = b, r3 = 1 - b.
void set_layer_profiles(nt::sim_case& c) {
  const double eta0 = 376.73;
  const double s_max = 0.8 * 4 / (eta0 * c.dx);
  for (int f = 0; f < 6; ++f) {
    const int w = c.pml[f];
    for (int side = 0; side < 2; ++side) {
      auto& prof = side == 0 ? c.prof_e[f] : c.prof_h[f];
      prof.assign(4 * w, 0.0f);
      for (int p = 0; p < w; ++p) {
        const double depth = (p + (side == 0 ? 0.5 : 1.0)) / w;
        const double b = std::exp(-s_max * depth * depth * depth * c.dt / k_eps0);
        prof[p] = prof[w + p] = prof[2 * w + p] = float(b);
        prof[3 * w + p] = float(1 - b);
      }
    }
  }
}

// eps_r = 4 with a Gaussian blob of height `bump` around (bi, bj, bk),
// sigma = 0.005 plus `sig_bump` in the same blob.
void set_model(nt::sim_case& c, double bump, double sig_bump, double bi, double bj, double bk) {
  c.eps_r.assign(c.n_nodes(), 4.0f);
  c.sigma.assign(c.n_nodes(), 0.005f);
  c.mu_r.assign(c.n_nodes(), 1.0f);
  for (int i = 0; i < c.nx; ++i)
    for (int j = 0; j < c.ny; ++j)
      for (int k = 0; k < c.nz; ++k) {
        const double r2 = (i - bi) * (i - bi) + (j - bj) * (j - bj) + (k - bk) * (k - bk);
        const double g = std::exp(-r2 / 8.0);
        const int64_t n = (int64_t(i) * c.ny + j) * c.nz + k;
        c.eps_r[n] = float(4.0 + bump * g);
        c.sigma[n] = float(0.005 + sig_bump * g);
      }
}

// 24x22x20 nodes, layers of 4 cells on every face, one z-directed source
// (Ricker, 2 GHz) and six receivers across the blob; about 2.2 ns of
// propagation.
nt::sim_case base_case(int order) {
  nt::sim_case c;
  c.nx = 24;
  c.ny = 22;
  c.nz = 20;
  c.dx = 0.01f;
  c.dy = 0.01f;
  c.dz = 0.012f;
  c.set_stable_dt(order, 0.9f);
  c.nt = int(std::ceil(2.2e-9 / c.dt));
  std::fill(c.pml, c.pml + 6, k_pml);
  c.n_src = 1;
  c.src_comp = 2;
  c.src_pos = {7, 11, 10};
  c.n_rec = 6;
  c.rec_comp = 2;
  c.rec_pos = {16, 8, 8, 16, 11, 10, 16, 14, 12, 14, 6, 10, 14, 16, 9, 11, 11, 15};
  const double f0 = 2e9, t0 = 1.2 / f0, pi = 3.14159265358979;
  c.wavelet.resize(c.nt);
  for (int t = 0; t < c.nt; ++t) {
    const double a = pi * f0 * (t * double(c.dt) - t0);
    c.wavelet[t] = float(1e-3 * (1 - 2 * a * a) * std::exp(-a * a));
  }
  set_model(c, 1.0, 0.0, 11.5, 11.0, 10.0);
  // Plain misfit runs keep no snapshots; gradient() asks for them.
  c.interval = c.nt;
  c.format = k_snapshots_off;
  c.save_rhs = 0;
  c.allocate();
  set_layer_profiles(c);
  return c;
}

double misfit(nt::sim_case c, const std::vector<float>& observed) {
  c.allocate();
  c.run_forward(&::forward);
  double j = 0;
  for (size_t i = 0; i < observed.size(); ++i) {
    const double r = double(c.rec_out[i]) - observed[i];
    j += 0.5 * r * r;
  }
  return j;
}

// Gradient of the misfit with snapshots every `interval` steps in `format`.
nt::adjoint_state gradient(nt::sim_case c, const std::vector<float>& observed, int interval,
                           int format) {
  c.interval = interval;
  c.format = format;
  c.components = 3;
  c.save_rhs = 1;
  c.allocate();
  c.run_forward(&::forward);
  nt::adjoint_state adj;
  adj.allocate(c);
  for (size_t i = 0; i < observed.size(); ++i) adj.residual[i] = c.rec_out[i] - observed[i];
  adj.want_wavelet = 0;
  adj.run_backward(c, &::backward);
  return adj;
}

struct problem {
  nt::sim_case c;
  std::vector<float> observed;
  int64_t node(int i, int j, int k) const { return (int64_t(i) * c.ny + j) * c.nz + k; }
  int64_t cell(int i, int j, int k) const { return (int64_t(i) * (c.ny - 1) + j) * (c.nz - 1) + k; }
  bool outside_layers(int i, int j, int k) const {
    return i >= k_pml && i < c.nx - 1 - k_pml && j >= k_pml && j < c.ny - 1 - k_pml && k >= k_pml &&
           k < c.nz - 1 - k_pml;
  }
};

problem make_problem(int order) {
  problem p;
  nt::sim_case truth = base_case(order);
  set_model(truth, 2.0, 0.01, 12.5, 10.0, 11.0);
  truth.run_forward(&::forward);
  p.observed = truth.rec_out;
  p.c = base_case(order);
  return p;
}

// Cells between the source and the receivers, in and beside the blob.
const int k_cells[][3] = {{10, 11, 10}, {12, 9, 11}, {13, 12, 9}, {11, 13, 11}, {14, 10, 8}};

struct fd_result {
  double eps[5], sig[5];
};

// Central differences of J at each probe cell: eps_r with a relative step,
// sigma with an absolute step (sigma enters through sigma/2 against
// eps0 eps_r/dt ~ 2 S/m, so 1e-3 S/m is a relative step of ~5e-4 there).
fd_result finite_differences(const problem& p) {
  fd_result r;
  for (int q = 0; q < 5; ++q) {
    const int64_t n = p.node(k_cells[q][0], k_cells[q][1], k_cells[q][2]);
    for (int param = 0; param < 2; ++param) {
      std::vector<float> nt::sim_case::*field =
          param == 0 ? &nt::sim_case::eps_r : &nt::sim_case::sigma;
      const float m0 = (p.c.*field)[n];
      const float step = param == 0 ? 1e-2f * m0 : 1e-3f;
      nt::sim_case plus = p.c, minus = p.c;
      (plus.*field)[n] = m0 + step;
      (minus.*field)[n] = m0 - step;
      // The step actually taken is the difference of the rounded values.
      const double h = double((plus.*field)[n]) - double((minus.*field)[n]);
      const double d = (misfit(plus, p.observed) - misfit(minus, p.observed)) / h;
      (param == 0 ? r.eps : r.sig)[q] = d;
    }
  }
  return r;
}

double rel_err(double g, double fd) { return std::fabs(g - fd) / std::fabs(fd); }

class GradientCheck : public ::testing::TestWithParam<int> {};

TEST_P(GradientCheck, MaterialGradientsMatchFiniteDifferences) {
  const int order = GetParam();
  nt::order_guard guard(order);
  const problem p = make_problem(order);
  for (const auto& cl : k_cells) ASSERT_TRUE(p.outside_layers(cl[0], cl[1], cl[2]));
  const fd_result fd = finite_differences(p);

  // Every-step float32 snapshots give the exact discrete derivative: 5% is
  // room for the finite differences alone. A sparse snapshot stands for
  // `interval` steps, a left Riemann sum of a product of forward and adjoint
  // fields that varies smoothly over a period of ~30 steps, and 16-bit values
  // carry 2^-11 (half) or 2^-8 (bfloat16) relative rounding that averages out
  // over the sum; both stay far below the loose 20% bound, which still fails
  // if one snapshot is not weighted by the steps it covers (50% or 75% off).
  struct config {
    int interval, format;
    double tol;
  } configs[] = {{1, 0, 0.05}, {2, 0, 0.2}, {4, 0, 0.2}, {1, 1, 0.2}, {1, 2, 0.2}};
  nt::adjoint_state exact;
  for (const config& cf : configs) {
    const nt::adjoint_state g = gradient(p.c, p.observed, cf.interval, cf.format);
    if (cf.interval == 1 && cf.format == 0) exact = g;
    double worst_eps = 0, worst_sig = 0;
    for (int q = 0; q < 5; ++q) {
      const int64_t c = p.cell(k_cells[q][0], k_cells[q][1], k_cells[q][2]);
      const double ee = rel_err(g.grad_eps_r[c], fd.eps[q]);
      const double es = rel_err(g.grad_sigma[c], fd.sig[q]);
      worst_eps = std::max(worst_eps, ee);
      worst_sig = std::max(worst_sig, es);
      if (cf.interval == 1 && cf.format == 0)
        std::printf(
            "order %d cell (%d,%d,%d): dJ/deps_r %+.6e fd %+.6e (%.2e)   "
            "dJ/dsigma %+.6e fd %+.6e (%.2e)\n",
            order, k_cells[q][0], k_cells[q][1], k_cells[q][2], g.grad_eps_r[c], fd.eps[q], ee,
            g.grad_sigma[c], fd.sig[q], es);
    }
    // Whole-field difference from the float32, every-step gradient.
    double num = 0, den = 0;
    for (size_t c = 0; c < g.grad_eps_r.size(); ++c) {
      num += std::pow(double(g.grad_eps_r[c]) - exact.grad_eps_r[c], 2);
      den += std::pow(double(exact.grad_eps_r[c]), 2);
    }
    std::printf(
        "order %d interval %d format %d: worst relative error vs finite differences "
        "eps_r %.2e sigma %.2e; eps_r gradient field vs interval 1 float32 %.2e\n",
        order, cf.interval, cf.format, worst_eps, worst_sig, std::sqrt(num / den));
    EXPECT_LT(worst_eps, cf.tol) << "interval " << cf.interval << ", format " << cf.format;
    EXPECT_LT(worst_sig, cf.tol) << "interval " << cf.interval << ", format " << cf.format;
  }
}

// Taylor remainders along a random direction dm of eps_r outside the layers:
// J(m + h dm) - J(m) is O(h), and J(m + h dm) - J(m) - h <g, dm> is O(h^2)
// only if g is the gradient.
TEST_P(GradientCheck, TaylorRemainderIsSecondOrder) {
  const int order = GetParam();
  nt::order_guard guard(order);
  const problem p = make_problem(order);
  const nt::adjoint_state g = gradient(p.c, p.observed, 1, 0);
  std::mt19937 rng(4242 + order);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> dm(p.c.n_nodes(), 0.0f);
  double g_dm = 0;
  for (int i = 0; i < p.c.nx - 1; ++i)
    for (int j = 0; j < p.c.ny - 1; ++j)
      for (int k = 0; k < p.c.nz - 1; ++k)
        if (p.outside_layers(i, j, k)) {
          dm[p.node(i, j, k)] = u(rng);
          g_dm += double(g.grad_eps_r[p.cell(i, j, k)]) * dm[p.node(i, j, k)];
        }
  const double j0 = misfit(p.c, p.observed);
  const double hs[] = {1e-1, 3e-2, 1e-2, 3e-3, 1e-3};
  double r1[5], r2[5];
  for (int q = 0; q < 5; ++q) {
    nt::sim_case c = p.c;
    for (size_t n = 0; n < dm.size(); ++n) c.eps_r[n] += float(hs[q]) * dm[n];
    const double jh = misfit(c, p.observed);
    r1[q] = std::fabs(jh - j0);
    r2[q] = std::fabs(jh - j0 - hs[q] * g_dm);
  }
  double slope1[4], slope2[4];
  for (int q = 0; q < 4; ++q) {
    const double lh = std::log(hs[q] / hs[q + 1]);
    slope1[q] = std::log(r1[q] / r1[q + 1]) / lh;
    slope2[q] = std::log(r2[q] / r2[q + 1]) / lh;
    std::printf(
        "order %d h %.0e -> %.0e: |J(m+h dm)-J(m)| %.3e -> %.3e slope %.2f;  "
        "|... - h<g,dm>| %.3e -> %.3e slope %.2f\n",
        order, hs[q], hs[q + 1], r1[q], r1[q + 1], slope1[q], r2[q], r2[q + 1], slope2[q]);
  }
  EXPECT_NEAR(slope1[1], 1.0, 0.2);
  EXPECT_GT(slope2[1], 1.5);
  EXPECT_GT(slope2[2], 1.5);
}

INSTANTIATE_TEST_SUITE_P(Orders, GradientCheck, ::testing::Values(2, 8));

}  // namespace
