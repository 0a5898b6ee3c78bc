// Physics of the forward pass that no second implementation can vouch for:
// the radiated field of a point current against the closed-form field of a
// Hertzian dipole, the echo of the convolutional absorbing layers against a
// box too large to echo within the window, and the energy of the lossless
// leapfrog in a closed cavity below and above the stability limit.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "tests/common/sim_case.hpp"
#include "tests/forward/pml_profiles.hpp"

namespace norvane_test {
namespace {

// Vacuum constants as the library rounds them to float.
const double k_eps0 = double(8.854188e-12f);
const double k_mu0 = double(1.256637e-6f);
const double k_c0 = 1.0 / std::sqrt(k_eps0 * k_mu0);
const double k_pi = 3.14159265358979323846;
constexpr int k_no_snapshots = 0x4000000;

// The order is a process-wide setting; every test leaves it at 2.
struct order_scope {
  explicit order_scope(int order) { set_fdtd_order(order); }
  ~order_scope() { set_fdtd_order(2); }
};

// g(t) = exp(-(pi*f0*(t - t0))^2) and its first three derivatives.
struct gaussian {
  double f0, t0;
  std::array<double, 4> at(double t) const {
    const double a2 = k_pi * f0 * k_pi * f0, u = t - t0, g = std::exp(-a2 * u * u);
    return {g, -2 * a2 * u * g, (4 * a2 * a2 * u * u - 2 * a2) * g,
            (12 * a2 * a2 * u - 8 * a2 * a2 * a2 * u * u * u) * g};
  }
};

// One z-directed point current in vacuum at the centre node of an n^3 cubic
// box, Ez recorded at node offsets from it, optionally with absorbing layers
// of `width` cells on all six faces.
struct dipole_setup {
  int n = 41, width = 0, nt = 100;
  float h = 0.01f, dt = 0.0f;
  std::vector<std::array<int, 3>> offsets;
  std::vector<float> wavelet;  // the current a of each step
  cpml_params layer;
};

float stable_dt(int order, float h, float fraction) {
  sim_case probe;
  probe.dx = probe.dy = probe.dz = h;
  probe.set_stable_dt(order, fraction);
  return probe.dt;
}

// Traces of Ez, [nt][n_rec].
std::vector<float> run_dipole(const dipole_setup& d) {
  sim_case c;
  c.nx = c.ny = c.nz = d.n;
  c.dx = c.dy = c.dz = d.h;
  c.dt = d.dt;
  c.nt = d.nt;
  c.n_src = 1;
  c.src_comp = c.rec_comp = 2;
  const int s0 = (d.n - 1) / 2;
  c.src_pos = {s0, s0, s0};
  c.n_rec = int(d.offsets.size());
  for (const auto& o : d.offsets)
    for (int a = 0; a < 3; ++a) c.rec_pos.push_back(s0 + o[a]);
  c.wavelet = d.wavelet;
  c.interval = d.nt;  // one slot, never written: keeps the unused stores small
  c.components = 1;
  c.format = k_no_snapshots;
  c.save_rhs = 0;
  if (d.width > 0) {
    const cpml_face_profiles p = cpml_profiles(d.width, d.h, d.dt, d.layer);
    for (int f = 0; f < 6; ++f) {
      c.pml[f] = d.width;
      c.prof_e[f] = p.e;
      c.prof_h[f] = p.h;
    }
  }
  c.allocate();
  c.run_forward(&::forward);
  return c.rec_out;
}

// ---------------------------------------------------------------------------
// Radiation of a point current.
//
// The source subtracts (dt/eps0)*a*h/(dx*dy*dz) from the Ez edge it sits on:
// a current density a*h/V filling one cell, i.e. a current element I*l = a*dz.
// The E update integrates J over (t*dt, (t+1)*dt), so wavelet sample t acts
// at (t + 1/2)*dt, and trace row t holds E at (t + 1)*dt. With the dipole
// moment p = dz*Q, Q' = a, the field of a Hertzian dipole at distance r and
// polar angle theta, at retarded time tau = t - r/c, is
//   Ez = [ (3cos^2 - 1)*(p/r^3 + p'/(c r^2)) + (cos^2 - 1)*p''/(c^2 r) ] / (4 pi eps0):
// static-charge, induction and radiation terms. Receiver and source Ez both
// sit half a cell up in z, so their separation is the node offset times h.
double dipole_ez(const gaussian& q, double dz, double x, double y, double z, double t) {
  const double r = std::sqrt(x * x + y * y + z * z), cos2 = z * z / (r * r);
  const auto g = q.at(t - r / k_c0);
  const double near = (3 * cos2 - 1) * (g[0] / (r * r * r) + g[1] / (k_c0 * r * r));
  const double far = (cos2 - 1) * g[2] / (k_c0 * k_c0 * r);
  return dz * (near + far) / (4 * k_pi * k_eps0);
}

TEST(ForwardPhysics, PointCurrentRadiatesTheHertzianDipoleField) {
  // The dipole moment is a Gaussian, the current its derivative, so the
  // radiated field is a Ricker pulse peaking at f0: 20 cells per wavelength.
  const float h = 0.01f;
  const double f0 = k_c0 / (20 * h);
  const gaussian q{f0, 1.3 / f0};
  const double amp = 1e-12;  // keeps the fields of order one
  dipole_setup d;
  d.n = 91;  // walls 45 cells out: the first image returns after >= 80 cells
  d.h = h;
  d.dt = stable_dt(8, h, 0.95f);  // one dt for both orders: same time error
  // Broadside, on the axis (induction only), at the magic angle cos^2 = 1/3
  // (radiation only), and two oblique points, 6 to 10 cells out.
  d.offsets = {{8, 0, 0}, {0, -6, 0}, {0, 0, 8}, {5, 5, 5}, {3, -6, 4}, {-10, 0, 3}};
  const double window = 2.6 / f0 + 10.5 * h / k_c0;  // the whole pulse at every receiver
  d.nt = int(std::ceil(window / d.dt));
  for (int t = 0; t < d.nt; ++t) d.wavelet.push_back(float(amp * q.at((t + 0.5) * d.dt)[1]));

  const size_t nr = d.offsets.size();
  auto l2_errors = [&](int order) {
    order_scope scope(order);
    const std::vector<float> rec = run_dipole(d);
    std::vector<double> err;
    for (size_t r = 0; r < nr; ++r) {
      const auto& o = d.offsets[r];
      double num = 0, den = 0;
      for (int t = 0; t < d.nt; ++t) {
        const double ana = amp * dipole_ez(q, h, o[0] * h, o[1] * h, o[2] * h, (t + 1) * d.dt);
        num += (rec[t * nr + r] - ana) * (rec[t * nr + r] - ana);
        den += ana * ana;
      }
      err.push_back(std::sqrt(num / den));
    }
    return err;
  };
  const std::vector<double> e2 = l2_errors(2), e8 = l2_errors(8);
  std::printf("Hertzian dipole, 20 cells per wavelength, dt 0.95 x order-8 limit, %d steps\n",
              d.nt);
  for (size_t r = 0; r < nr; ++r)
    std::printf("  offset (%3d,%3d,%3d): relative L2 error order 2 %.2f%%, order 8 %.2f%%\n",
                d.offsets[r][0], d.offsets[r][1], d.offsets[r][2], 100 * e2[r], 100 * e8[r]);
  const double worst2 = *std::max_element(e2.begin(), e2.end());
  const double worst8 = *std::max_element(e8.begin(), e8.end());
  std::printf("  worst: order 2 %.2f%%, order 8 %.2f%%, ratio %.1f\n", 100 * worst2, 100 * worst8,
              worst2 / worst8);
  EXPECT_LT(worst8, 0.02) << "order 8 departs from the dipole field";
  EXPECT_LT(worst2, 0.10) << "order 2 departs from the dipole field";
  EXPECT_GT(worst2 / worst8, 4.0) << "order 8 should beat order 2 on the same grid";
}

// ---------------------------------------------------------------------------
// Absorbing layers.
//
// A box lined on all faces and a box whose walls are too far to echo within
// the window run the same source through the same interior stencils, so
// their traces agree bit for bit until the layers make a difference; the
// difference is what the layers send back. The source is 15 cells from every
// inner edge, the receivers 4 cells in front of the edges: facing a face,
// an edge and a corner of the box, and on the dipole axis.
constexpr int k_gap = 15;

struct echo_case {
  int order;
  float h = 0.01f, dt;
  double f0;
  dipole_setup run;              // geometry without layers, box size unset
  std::vector<float> reference;  // traces of the far-walled box
};

echo_case make_echo_case(int order) {
  echo_case ec;
  ec.order = order;
  ec.dt = stable_dt(order, ec.h, 0.95f);
  // A Ricker current (second derivative of a Gaussian) moves no net charge,
  // so no static field is left standing in front of the layers.
  ec.f0 = k_c0 / (20 * ec.h);
  const gaussian g{ec.f0, 1.2 / ec.f0};
  dipole_setup& d = ec.run;
  d.h = ec.h;
  d.dt = ec.dt;
  // The direct pulse and the first echo from the nearest faces pass every
  // receiver within 80 cells of travel.
  d.nt = int(std::ceil(80 * ec.h / k_c0 / ec.dt));
  for (int t = 0; t < d.nt; ++t)
    d.wavelet.push_back(float(-1e-2 * g.at((t + 0.5) * ec.dt)[2] / (ec.f0 * ec.f0)));
  const int r = k_gap - 4;
  d.offsets = {{-r, 0, 0},   {r, 0, 0},  {0, -r, 0}, {-r, -r, 0},
               {-r, -r, -r}, {-r, 0, r}, {0, 0, -r}};
  // Walls 48 cells out: their echo reaches a receiver after 85 cells.
  order_scope scope(order);
  dipole_setup far = d;
  far.n = 2 * 48 + 1;
  ec.reference = run_dipole(far);
  return ec;
}

struct echo_level {
  double overall_db;  // max |E - E_ref| over max |E_ref|, all receivers together
  double worst_db;    // the same ratio receiver by receiver, the worst one
};

echo_level measure_echo(const echo_case& ec, int width, const cpml_params& prm) {
  order_scope scope(ec.order);
  dipole_setup lined = ec.run;
  lined.n = 2 * (width + k_gap) + 1;
  lined.width = width;
  lined.layer = prm;
  const std::vector<float> rec = run_dipole(lined);
  const size_t nr = lined.offsets.size();
  double d_all = 0, r_all = 0, worst = 0;
  for (size_t r = 0; r < nr; ++r) {
    double d_max = 0, r_max = 0;
    for (size_t t = 0; t < size_t(lined.nt); ++t) {
      d_max = std::max(d_max, double(std::fabs(rec[t * nr + r] - ec.reference[t * nr + r])));
      r_max = std::max(r_max, double(std::fabs(ec.reference[t * nr + r])));
    }
    d_all = std::max(d_all, d_max);
    r_all = std::max(r_all, r_max);
    worst = std::max(worst, d_max / r_max);
  }
  return {20 * std::log10(d_all / r_all), 20 * std::log10(worst)};
}

TEST(ForwardPhysics, AbsorbingLayersEchoFallsWithThickness) {
  // Cubic grading with sigma_max at 0.7 of the usual optimum 0.8*(m+1)/(eta0*h)
  // balances the echo of the discretised grading against what survives the
  // round trip to the wall; kappa > 1 coarsens the stretched grid and only
  // adds echo at this resolution (about -82 dB at kappa_max 2, -55 dB at 8);
  // the frequency shift alpha, largest at the inner edge, bounds the memories'
  // response to slow fields and moves the echo of this pulse by under 1 dB.
  for (int order : {2, 8}) {
    const echo_case ec = make_echo_case(order);
    cpml_params prm;
    prm.grading = 3;
    prm.sigma_max = 0.7 * cpml_default_sigma_max(prm.grading, ec.h);
    prm.kappa_max = 1;
    prm.alpha_max = 2 * k_pi * ec.f0 * k_eps0;
    const echo_level thin = measure_echo(ec, 5, prm), thick = measure_echo(ec, 10, prm);
    std::printf(
        "order %d, Ricker current, 20 cells per peak wavelength: echo 5 cells %.1f dB (worst "
        "receiver %.1f dB), 10 cells %.1f dB (worst receiver %.1f dB)\n",
        order, thin.overall_db, thin.worst_db, thick.overall_db, thick.worst_db);
    EXPECT_LT(thick.worst_db, -80.0) << "order " << order << ": 10-cell layer echoes";
    EXPECT_LT(thick.overall_db, thin.overall_db - 20.0)
        << "order " << order << ": echo does not fall with layer thickness";
  }
}

// ---------------------------------------------------------------------------
// Energy of the lossless leapfrog.
//
// Without sources, loss or layers the electric walls close the box. With E
// at step n and H half a step later, the stored energy
//   0.5*sum(eps*|E^n|^2 + mu*|H^(n+1/2)|^2)
// oscillates (the fields are not simultaneous) but stays bounded below the
// stability limit; the time-centred form
//   0.5*sum(eps*|E^n|^2 + mu*H^(n-1/2).H^(n+1/2))
// is conserved exactly when the discrete curls of E and H are transposes of
// each other: true at order 2, and in the interior at orders 4 and 8, whose
// lowered stencils next to the walls break it slightly. Above the limit the
// shortest waves grow by a fixed factor every step.
struct cavity_energy {
  double stored_ratio = 0;   // max/min of the stored energy over the run
  double centred_ratio = 0;  // max/min of the time-centred energy
  int growth_step = -1;      // first step with stored energy above 1e6 x initial
};

// Random E, box-smoothed along each axis to weaken grid-scale modes, zero
// where the update never writes (tangential on the walls, last position along
// the component's own axis) so the walls hold no charge and drive nothing.
void fill_smooth_random_e(sim_case& c, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  const int n[3] = {c.nx, c.ny, c.nz};
  const int64_t stride[3] = {int64_t(c.ny) * c.nz, c.nz, 1};
  for (int comp = 0; comp < 3; ++comp) {
    std::vector<float>& e = c.e[comp];
    for (auto& v : e) v = u(rng);
    for (int axis = 0; axis < 3; ++axis) {
      const std::vector<float> src = e;
      for (int64_t l = 0; l < c.n_nodes(); ++l) {
        const int q = int(l / stride[axis] % n[axis]);
        const int lo = q > 0 ? -1 : 0, hi = q < n[axis] - 1 ? 1 : 0;
        float sum = 0;
        for (int dq = lo; dq <= hi; ++dq) sum += src[l + dq * stride[axis]];
        e[l] = sum / float(hi - lo + 1);
      }
    }
    for (int64_t l = 0; l < c.n_nodes(); ++l)
      for (int axis = 0; axis < 3; ++axis) {
        const int q = int(l / stride[axis] % n[axis]);
        if (q > n[axis] - 2 || (axis != comp && q < 1)) e[l] = 0.0f;
      }
  }
}

double energy(const std::vector<float> (&e)[3], const std::vector<float> (&h0)[3],
              const std::vector<float> (&h1)[3]) {
  double w = 0;
  for (int comp = 0; comp < 3; ++comp)
    for (size_t l = 0; l < e[comp].size(); ++l)
      w += k_eps0 * double(e[comp][l]) * e[comp][l] + k_mu0 * double(h0[comp][l]) * h1[comp][l];
  return 0.5 * w;
}

cavity_energy run_cavity(int order, float cfl_fraction, int steps) {
  order_scope scope(order);
  sim_case c;
  c.nx = c.ny = c.nz = 12;
  c.set_stable_dt(order, cfl_fraction);
  c.nt = 1;  // one step per call, to read the energies after every step
  c.components = 1;
  c.format = k_no_snapshots;
  c.save_rhs = 0;
  c.allocate();
  fill_smooth_random_e(c, 2024u);
  const double w0 = energy(c.e, c.h, c.h);
  cavity_energy out;
  double lo = w0, hi = w0, c_lo = INFINITY, c_hi = 0;
  for (int t = 0; t < steps; ++t) {
    const sim_case before = c;
    c.run_forward(&::forward);
    const double w = energy(c.e, c.h, c.h), centred = energy(before.e, before.h, c.h);
    if (!(w < 1e6 * w0)) {
      out.growth_step = t;
      break;
    }
    lo = std::min(lo, w);
    hi = std::max(hi, w);
    c_lo = std::min(c_lo, centred);
    c_hi = std::max(c_hi, centred);
  }
  out.stored_ratio = hi / lo;
  out.centred_ratio = c_hi / c_lo;
  return out;
}

TEST(ForwardPhysics, CavityEnergyBoundedBelowStabilityLimit) {
  // A 12^3 cavity is too small to share out: one thread spares the run
  // thousands of team barriers, and the result does not depend on it.
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  for (int order : {2, 4, 8}) {
    const cavity_energy below = run_cavity(order, 0.99f, 2000);
    const cavity_energy above = run_cavity(order, 1.05f, 2000);
    std::printf(
        "order %d, 0.99 x limit, 2000 steps: stored energy max/min %.4f, time-centred "
        "max/min %.7f; 1.05 x limit: energy x1e6 at step %d\n",
        order, below.stored_ratio, below.centred_ratio, above.growth_step);
    EXPECT_EQ(below.growth_step, -1) << "order " << order;
    EXPECT_LT(below.stored_ratio, 1.5) << "order " << order;
    EXPECT_LT(below.centred_ratio, order == 2 ? 1.0 + 1e-5 : 1.1) << "order " << order;
    EXPECT_GE(above.growth_step, 0) << "order " << order << ": no growth above the limit";
  }
  omp_set_num_threads(threads);
}

}  // namespace
}  // namespace norvane_test
