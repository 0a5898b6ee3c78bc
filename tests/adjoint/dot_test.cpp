// Adjointness, the property the gradient rests on: every phase of the
// adjoint step must be the exact transpose of one forward phase, so that for
// any forward state x and adjoint state y, <y, L x> = <x, T y> up to float32
// rounding (sums in double).
//
// Per phase the forward step is taken as a linear map of the whole state
// (six fields and 24 layer memories): the interior H update against its
// transpose, the interior E update likewise, each layer correction against
// its transpose, source injection (wavelet -> E) against the wavelet
// gradient and receiver sampling against residual injection. Each forward
// phase leaves most of the state as it is, and the adjoint phases likewise,
// so both sides compare the change instead, (L - I) against (T - I): the
// identity parts are transposes of each other and would otherwise drown the
// terms under test. Fields and memories get physical scales (E ~ 1,
// H ~ E/377, memories ~ the normal derivative that drives them) and the
// adjoint state the reciprocal scales, so every term weighs about the same.
//
// The whole pass: with zero initial fields and memories the forward pass is
// linear in the wavelets, and backward's wavelet gradient for residuals r is
// its transpose applied to r.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

#include "tests/common/sim_case.hpp"
#include "tests/reference/reference.hpp"

namespace nt = norvane_test;

namespace {

double rel_mismatch(double a, double b) {
  const double s = std::max(std::fabs(a), std::fabs(b));
  return s > 0 ? std::fabs(a - b) / s : 0.0;
}

// ---- per-phase tests on the scalar reference ------------------------------

// Six fields (ex ey ez hx hy hz) and the 24 layer memories, in the order of
// norvane_ref::fields.
struct state {
  std::vector<float> v[30];

  norvane_ref::fields view() {
    norvane_ref::fields f{v[0].data(), v[1].data(), v[2].data(), v[3].data(),
                          v[4].data(), v[5].data(), {}};
    for (int m = 0; m < 24; ++m) f.psi[m] = v[6 + m].empty() ? nullptr : v[6 + m].data();
    return f;
  }
};

// Scale of array a in the forward state: E, H ~ E/377, E-side memories
// ~ dH/dn ~ H/h, H-side memories ~ dE/dn ~ E/h (h ~ 1 cm).
double forward_scale(int a) {
  if (a < 3) return 1.0;
  if (a < 6) return 3e-3;
  return (a - 6) % 4 < 2 ? 0.3 : 100.0;
}

state random_state(const nt::sim_case& c, std::mt19937& rng, bool adjoint) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  state s;
  const size_t nf = size_t(c.n_shots) * size_t(c.n_nodes());
  for (int a = 0; a < 30; ++a) {
    const size_t n =
        a < 6 ? nf : size_t(c.pml[(a - 6) / 4] ? c.psi_size((a - 6) / 4, (a - 6) % 4) : 0);
    const float scale = float(adjoint ? 1.0 / forward_scale(a) : forward_scale(a));
    s.v[a].resize(n);
    for (auto& x : s.v[a]) x = scale * u(rng);
  }
  return s;
}

// Sum over all arrays of (after - before) * other, in double, and the root
// sum of squares of the terms: with random signs that is the typical size of
// the sum, and the size the float32 rounding of `after` is measured against
// (one draw can cancel to a much smaller sum; its rounding does not shrink).
struct dot_result {
  double sum = 0, rss = 0;
};

dot_result dot_change(const state& after, const state& before, const state& other) {
  dot_result r;
  for (int a = 0; a < 30; ++a)
    for (size_t i = 0; i < before.v[a].size(); ++i) {
      const double t = (double(after.v[a][i]) - before.v[a][i]) * other.v[a][i];
      r.sum += t;
      r.rss += t * t;
    }
  r.rss = std::sqrt(r.rss);
  return r;
}

// A grid with layers on all six faces, dx != dy != dz, random materials with
// some perfect-conductor nodes, two shots, and profile rows drawn
// independently (so that a swapped row cannot hide behind equal values).
struct phase_setup {
  nt::sim_case c;
  norvane_ref::grid g;
  norvane_ref::coeffs cf;
  norvane_ref::layers L;
};

void make_setup(phase_setup& s, int order, const int (&n)[3], const int (&pml)[6],
                std::mt19937& rng) {
  nt::sim_case& c = s.c;
  c.nx = n[0];
  c.ny = n[1];
  c.nz = n[2];
  c.n_shots = 2;
  c.nt = 5;
  c.dx = 0.01f;
  c.dy = 0.013f;
  c.dz = 0.008f;
  c.set_stable_dt(order, 0.9f);
  std::copy(pml, pml + 6, c.pml);
  c.randomize_materials(rng, true);
  c.allocate();
  std::uniform_real_distribution<float> r0(0.5f, 1.5f), r(-1.0f, 1.0f);
  for (int f = 0; f < 6; ++f)
    for (auto* prof : {&c.prof_e[f], &c.prof_h[f]})
      for (int p = 0; p < 4 * c.pml[f]; ++p) (*prof)[p] = p < c.pml[f] ? r0(rng) : r(rng);
  norvane_ref::build_coeffs(c.eps_r.data(), c.sigma.data(), c.mu_r.data(), c.dt, c.dx, c.nx, c.ny,
                            c.nz, c.coeff[0].data(), c.coeff[1].data(), c.coeff[2].data(),
                            c.coeff[3].data(), c.coeff[4].data(), c.coeff[5].data());
  s.g = {c.nx, c.ny, c.nz, c.n_shots, c.nt, c.dt, c.dx, c.dy, c.dz, order};
  s.cf = {c.coeff[0].data(), c.coeff[1].data(), c.coeff[2].data(),
          c.coeff[3].data(), c.coeff[4].data(), c.coeff[5].data()};
  for (int f = 0; f < 6; ++f) {
    s.L.width[f] = c.pml[f];
    s.L.prof_e[f] = c.prof_e[f].data();
    s.L.prof_h[f] = c.prof_h[f].data();
  }
}

using phase_fn = std::function<void(norvane_ref::fields&)>;

class PhaseDotTest : public ::testing::TestWithParam<int> {};

TEST_P(PhaseDotTest, EveryFieldPhaseIsTheTransposeOfItsForwardPhase) {
  const int order = GetParam();
  nt::order_guard guard(order);
  std::mt19937 rng(500 + order);
  // A grid with separate layers, and a small one where the low and high
  // layers of the x and z axes overlap; every node near an axis end takes
  // part, so the order reduction there is exercised too.
  const int grids[2][3] = {{13, 11, 10}, {9, 8, 7}};
  const int widths[2][6] = {{3, 2, 2, 3, 3, 2}, {4, 4, 1, 3, 3, 3}};
  for (int gi = 0; gi < 2; ++gi) {
    phase_setup s;
    make_setup(s, order, grids[gi], widths[gi], rng);
    const auto& g = s.g;
    const auto& cf = s.cf;
    const auto& L = s.L;
    const struct {
      const char* name;
      phase_fn fwd, adj;
    } phases[] = {
        {"H update", [&](norvane_ref::fields& f) { norvane_ref::forward_h_update(g, cf, f); },
         [&](norvane_ref::fields& f) { norvane_ref::adjoint_h_update(g, cf, f); }},
        {"H layers", [&](norvane_ref::fields& f) { norvane_ref::forward_h_layers(g, cf, L, f); },
         [&](norvane_ref::fields& f) { norvane_ref::adjoint_h_layers(g, cf, L, f); }},
        {"E update", [&](norvane_ref::fields& f) { norvane_ref::forward_e_update(g, cf, f); },
         [&](norvane_ref::fields& f) { norvane_ref::adjoint_e_update(g, cf, f); }},
        {"E layers", [&](norvane_ref::fields& f) { norvane_ref::forward_e_layers(g, cf, L, f); },
         [&](norvane_ref::fields& f) { norvane_ref::adjoint_e_layers(g, cf, L, f); }},
    };
    for (const auto& ph : phases) {
      for (int trial = 0; trial < 2; ++trial) {
        const state x = random_state(s.c, rng, false), y = random_state(s.c, rng, true);
        state lx = x, ty = y;
        auto fx = lx.view(), fy = ty.view();
        ph.fwd(fx);
        ph.adj(fy);
        const dot_result ra = dot_change(lx, x, y);  // <y, (L - I) x>
        const dot_result rb = dot_change(ty, y, x);  // <x, (T - I) y>
        const double a = ra.sum, b = rb.sum;
        const double mis = rel_mismatch(a, b);
        const double mis_rss = std::fabs(a - b) / std::max({std::fabs(a), std::fabs(b), ra.rss});
        std::printf(
            "order %d grid %dx%dx%d %-8s: <y,(L-I)x> = %+.9e  <x,(T-I)y> = %+.9e  "
            "mismatch %.2e (%.2e of the term size)\n",
            order, s.c.nx, s.c.ny, s.c.nz, ph.name, a, b, mis, mis_rss);
        EXPECT_LT(mis_rss, 1e-5) << ph.name << ", order " << order << ", grid " << gi << ": " << a
                                 << " vs " << b << ", terms of size " << ra.rss;
        EXPECT_GT(ra.rss, 0.0) << ph.name << " changed nothing";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, PhaseDotTest, ::testing::Values(2, 4, 8));

// Source injection maps the wavelet samples of step t to an E change; the
// wavelet gradient is its transpose. Receiver sampling maps E to one row of
// traces; residual injection is its transpose. Two shots, nodes shared by two
// sources or receivers, nodes on the grid's last planes, all three components.
TEST(SourceReceiverDotTest, InjectionAndSamplingAreTransposes) {
  std::mt19937 rng(77);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  phase_setup s;
  make_setup(s, 2, {12, 9, 10}, {2, 2, 2, 2, 2, 2}, rng);
  nt::sim_case& c = s.c;
  const int n_pts = 5;
  std::vector<int32_t> pos;
  for (int sh = 0; sh < c.n_shots; ++sh)
    for (int q = 0; q < n_pts; ++q) {
      const int32_t p[3] = {int32_t(rng() % c.nx), int32_t(rng() % c.ny), int32_t(rng() % c.nz)};
      pos.insert(pos.end(), p, p + 3);
    }
  std::copy_n(&pos[0], 3, &pos[3]);                   // shared node, shot 0
  const int32_t corner[3] = {c.nx - 1, c.ny - 1, 0};  // last planes, shot 1
  std::copy_n(corner, 3, &pos[(n_pts + 1) * 3]);
  const size_t nf = size_t(c.n_shots) * size_t(c.n_nodes());
  for (int comp = 0; comp < 3; ++comp) {
    for (int t : {0, c.nt - 1}) {
      // Sources: x = wavelet, L x = E change (E starts at zero).
      std::vector<float> wavelet(size_t(n_pts) * c.nt), grad(wavelet.size(), 0.0f);
      for (auto& w : wavelet) w = u(rng);
      state e = random_state(c, rng, false), lam = random_state(c, rng, true);
      for (int k = 0; k < 3; ++k) std::fill(e.v[k].begin(), e.v[k].end(), 0.0f);
      auto fe = e.view(), fl = lam.view();
      norvane_ref::forward_sources(s.g, s.cf, {n_pts, pos.data(), wavelet.data(), comp}, fe, t);
      norvane_ref::adjoint_wavelet_grad(s.g, s.cf, {n_pts, pos.data(), nullptr, comp}, fl,
                                        grad.data(), t);
      double a = 0, b = 0;
      for (size_t i = 0; i < nf; ++i) a += double(e.v[comp][i]) * lam.v[comp][i];
      for (size_t i = 0; i < wavelet.size(); ++i) b += double(wavelet[i]) * grad[i];
      const double mis_src = rel_mismatch(a, b);
      EXPECT_LT(mis_src, 1e-6) << "sources, comp " << comp << ", t " << t << ": " << a << " vs "
                               << b;
      EXPECT_NE(a, 0.0);

      // Receivers: x = E, L x = one row of traces.
      const state x = random_state(c, rng, false);
      state adj = random_state(c, rng, true);
      for (int k = 0; k < 3; ++k) std::fill(adj.v[k].begin(), adj.v[k].end(), 0.0f);
      const state adj0 = adj;
      std::vector<float> rec_out(size_t(c.n_shots) * c.nt * n_pts, 0.0f), res(rec_out.size());
      for (auto& r : res) r = u(rng);
      state xc = x;
      auto fx = xc.view(), fa = adj.view();
      norvane_ref::forward_receivers(s.g, {n_pts, pos.data(), comp}, fx, rec_out.data(), t);
      norvane_ref::adjoint_residuals(s.g, {n_pts, pos.data(), comp}, res.data(), fa, t);
      double ra = 0;
      for (size_t i = 0; i < rec_out.size(); ++i) ra += double(rec_out[i]) * res[i];
      const double rb = dot_change(adj, adj0, x).sum;
      const double mis_rec = rel_mismatch(ra, rb);
      EXPECT_LT(mis_rec, 1e-6) << "receivers, comp " << comp << ", t " << t << ": " << ra << " vs "
                               << rb;
      std::printf("comp %d t %d: sources mismatch %.2e, receivers mismatch %.2e\n", comp, t,
                  mis_src, mis_rec);
    }
  }
}

// ---- the whole pass through the library ------------------------------------

// A wave case on 16x14x12 nodes with zero initial state, random wavelets and
// positions; with or without layers.
nt::sim_case wave_case(std::mt19937& rng, int order, bool layers, int n_shots, int n_t) {
  nt::sim_case c;
  c.nx = 16;
  c.ny = 14;
  c.nz = 12;
  c.n_shots = n_shots;
  c.nt = n_t;
  c.dx = 0.01f;
  c.dy = 0.012f;
  c.dz = 0.009f;
  c.set_stable_dt(order, 0.9f);
  if (layers) {
    const int w[6] = {3, 2, 3, 2, 2, 3};
    std::copy(w, w + 6, c.pml);
  }
  c.randomize_materials(rng, false);
  c.n_src = 2;
  c.n_rec = 5;
  c.src_comp = 2;
  c.rec_comp = 1;
  // Receivers anywhere off the outer planes, sources clear of the layers.
  auto pick = [&](int n) { return int32_t(1 + rng() % (n - 2)); };
  auto mid = [&](int n) { return int32_t(4 + rng() % (n - 8)); };
  for (int s = 0; s < n_shots; ++s) {
    for (int q = 0; q < c.n_src; ++q)
      c.src_pos.insert(c.src_pos.end(), {mid(c.nx), mid(c.ny), mid(c.nz)});
    for (int r = 0; r < c.n_rec; ++r)
      c.rec_pos.insert(c.rec_pos.end(), {pick(c.nx), pick(c.ny), pick(c.nz)});
  }
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  c.wavelet.resize(size_t(c.n_src) * c.nt);
  for (auto& w : c.wavelet) w = u(rng);
  c.allocate();
  if (layers) c.randomize_profiles(rng);
  return c;
}

class WholePassDotTest : public ::testing::TestWithParam<int> {};

TEST_P(WholePassDotTest, WaveletGradientIsTheTransposeOfTheForwardPass) {
  const int order = GetParam();
  nt::order_guard guard(order);
  std::mt19937 rng(900 + order);
  for (bool layers : {false, true}) {
    {
      const int n_shots = layers ? 3 : 2;
      nt::sim_case c = wave_case(rng, order, layers, n_shots, 32);
      c.save_rhs = 0;
      c.run_forward(&::forward);
      nt::adjoint_state adj;
      adj.allocate(c);
      std::uniform_real_distribution<float> u(-1.0f, 1.0f);
      for (auto& r : adj.residual) r = u(rng);
      adj.want_eps = adj.want_sigma = 0;
      adj.run_backward(c, &::backward);
      double a = 0, b = 0;
      for (size_t i = 0; i < c.rec_out.size(); ++i) a += double(c.rec_out[i]) * adj.residual[i];
      for (size_t i = 0; i < c.wavelet.size(); ++i) b += double(c.wavelet[i]) * adj.grad_wavelet[i];
      const double mis = rel_mismatch(a, b);
      std::printf(
          "order %d, layers %d, shots %d: <rec_out, r> = %+.9e  <w, grad_w> = %+.9e  "
          "mismatch %.2e\n",
          order, int(layers), n_shots, a, b, mis);
      EXPECT_LT(mis, 5e-5) << "order " << order << ", layers " << layers << ", shots " << n_shots;
      EXPECT_NE(a, 0.0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, WholePassDotTest, ::testing::Values(2, 4, 8));

// ---- gradient accumulation and the switches --------------------------------

// Runs backward again on fresh zero adjoint fields and memories, keeping the
// gradient arrays as they are.
void rerun_keeping_gradients(const nt::sim_case& c, nt::adjoint_state& adj) {
  const auto gw = adj.grad_wavelet, ge = adj.grad_eps_r, gs = adj.grad_sigma;
  adj.allocate(c);
  adj.grad_wavelet = gw;
  adj.grad_eps_r = ge;
  adj.grad_sigma = gs;
  adj.run_backward(c, &::backward);
}

std::vector<float> doubled(const std::vector<float>& v) {
  std::vector<float> d(v);
  for (auto& x : d) x += x;
  return d;
}

double max_rel_diff(const std::vector<float>& a, const std::vector<float>& b) {
  double scale = 0, worst = 0;
  for (float v : b) scale = std::max(scale, std::fabs(double(v)));
  for (size_t i = 0; i < a.size(); ++i)
    worst = std::max(worst, std::fabs(double(a[i]) - b[i]) / (scale > 0 ? scale : 1));
  return worst;
}

bool any_nonzero(const std::vector<float>& v) {
  return std::any_of(v.begin(), v.end(), [](float x) { return x != 0.0f; });
}

TEST(GradientAccumulation, SecondCallDoublesTheGradients) {
  nt::order_guard guard(4);
  std::mt19937 rng(31);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  // Exact case: one thread (no reordering of atomic sums), one shot and one
  // snapshot slot, so every gradient element receives a single addition per
  // call and g + g must equal 2g bit for bit.
  {
    omp_set_num_threads(1);
    nt::sim_case c = wave_case(rng, 4, true, 1, 24);
    c.interval = c.nt;
    c.allocate();
    c.run_forward(&::forward);
    nt::adjoint_state adj;
    adj.allocate(c);
    for (auto& r : adj.residual) r = u(rng);
    adj.run_backward(c, &::backward);
    const nt::adjoint_state once = adj;
    ASSERT_TRUE(any_nonzero(once.grad_wavelet) && any_nonzero(once.grad_eps_r) &&
                any_nonzero(once.grad_sigma));
    rerun_keeping_gradients(c, adj);
    EXPECT_EQ(nt::bit_mismatches(adj.grad_wavelet, doubled(once.grad_wavelet)), 0);
    EXPECT_EQ(nt::bit_mismatches(adj.grad_eps_r, doubled(once.grad_eps_r)), 0);
    EXPECT_EQ(nt::bit_mismatches(adj.grad_sigma, doubled(once.grad_sigma)), 0);
  }
  // Ordinary case: two threads, three shots, a snapshot every step. Each
  // element sums many contributions, so doubling holds to rounding.
  {
    omp_set_num_threads(2);
    nt::sim_case c = wave_case(rng, 4, true, 3, 16);
    c.run_forward(&::forward);
    nt::adjoint_state adj;
    adj.allocate(c);
    for (auto& r : adj.residual) r = u(rng);
    adj.run_backward(c, &::backward);
    const nt::adjoint_state once = adj;
    rerun_keeping_gradients(c, adj);
    const double dw = max_rel_diff(adj.grad_wavelet, doubled(once.grad_wavelet));
    const double de = max_rel_diff(adj.grad_eps_r, doubled(once.grad_eps_r));
    const double ds = max_rel_diff(adj.grad_sigma, doubled(once.grad_sigma));
    std::printf("second call vs doubled first: wavelet %.2e, eps_r %.2e, sigma %.2e\n", dw, de, ds);
    EXPECT_LT(std::max({dw, de, ds}), 1e-5);
  }
}

TEST(GradientAccumulation, SwitchesOffLeaveGradientArraysAlone) {
  nt::order_guard guard(8);
  omp_set_num_threads(1);
  std::mt19937 rng(32);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  nt::sim_case c = wave_case(rng, 8, true, 2, 16);
  c.run_forward(&::forward);
  nt::adjoint_state full;
  full.allocate(c);
  for (auto& r : full.residual) r = u(rng);
  nt::adjoint_state base = full;
  full.run_backward(c, &::backward);

  // All three switches off and all three arrays null: the adjoint fields are
  // still propagated through every step, exactly as with gradients on.
  {
    nt::adjoint_state off = base;
    std::vector<float>().swap(off.grad_wavelet);
    std::vector<float>().swap(off.grad_eps_r);
    std::vector<float>().swap(off.grad_sigma);
    ASSERT_EQ(off.grad_wavelet.data(), nullptr);
    ASSERT_EQ(off.grad_eps_r.data(), nullptr);
    ASSERT_EQ(off.grad_sigma.data(), nullptr);
    off.want_wavelet = off.want_eps = off.want_sigma = 0;
    off.run_backward(c, &::backward);
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(nt::bit_mismatches(off.e[k], full.e[k]), 0) << "adj E component " << k;
      EXPECT_EQ(nt::bit_mismatches(off.h[k], full.h[k]), 0) << "adj H component " << k;
    }
  }
  // Switches off (0) or not exactly 1 (2): arrays with sentinel contents are
  // neither cleared nor added to.
  for (int sw : {0, 2}) {
    nt::adjoint_state off = base;
    for (auto* g : {&off.grad_wavelet, &off.grad_eps_r, &off.grad_sigma})
      for (auto& x : *g) x = u(rng);
    const nt::adjoint_state before = off;
    off.want_wavelet = off.want_eps = off.want_sigma = sw;
    off.run_backward(c, &::backward);
    EXPECT_EQ(nt::bit_mismatches(off.grad_wavelet, before.grad_wavelet), 0) << "switch " << sw;
    EXPECT_EQ(nt::bit_mismatches(off.grad_eps_r, before.grad_eps_r), 0) << "switch " << sw;
    EXPECT_EQ(nt::bit_mismatches(off.grad_sigma, before.grad_sigma), 0) << "switch " << sw;
  }
  // Permittivity gradient alone, conductivity array null.
  {
    nt::adjoint_state eps_only = base;
    std::vector<float>().swap(eps_only.grad_sigma);
    ASSERT_EQ(eps_only.grad_sigma.data(), nullptr);
    eps_only.want_sigma = 0;
    eps_only.run_backward(c, &::backward);
    EXPECT_EQ(nt::bit_mismatches(eps_only.grad_eps_r, full.grad_eps_r), 0);
    EXPECT_EQ(nt::bit_mismatches(eps_only.grad_wavelet, full.grad_wavelet), 0);
  }
}

}  // namespace
