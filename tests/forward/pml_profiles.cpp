// Convolutional absorbing-layer profiles (complex-frequency-shifted stretch).
//
// In the layer the normal derivative d/dn is replaced by (1/s) d/dn with
//   s(omega) = kappa + sigma/(alpha + j*omega*eps0).
// Its inverse transform is delta(t)/kappa + zeta(t), with
//   zeta(t) = -(sigma/(eps0*kappa^2)) * exp(-(sigma/kappa + alpha)*t/eps0) * u(t),
// and a piecewise-constant recursive convolution over steps of dt gives the
// memory psi of one curl term:
//   psi_new = b*psi_old + a*d,   F += c*(d/kappa + psi_new),
//   b = exp(-(sigma/kappa + alpha)*dt/eps0),
//   a = sigma/(sigma*kappa + kappa^2*alpha) * (b - 1)   (a = 0 where sigma = 0).
// The interior update has already added c*d, so the layer adds
//   c*((1/kappa + a - 1)*d + b*psi_old) and then stores b*psi_old + a*d,
// which is the library's recursion with
//   r0 = 1/kappa + a,  r1 = b,  r2 = b,  r3 = -a.
//
// Depths. Take the layer across cells [0, w] of depth, 0 at its inner edge.
// A tangential E node at normal coordinate q is corrected with the backward
// difference of H, centred on the E node itself; a tangential H node at q sits
// at q + 1/2 and is corrected with the forward difference of E, centred on it.
// Low face (wall at q = 0, inner edge at q = w): the E entry p = w - q lies at
// depth w - q = p, the H entry p = w - 1 - q at depth w - (q + 1/2) = p + 1/2.
// High face (inner edge at q = n-1-w, wall at n-1): p = q - (n-1-w) gives E
// depth p and H depth p + 1/2 as well. So E entries are graded at p, H
// entries at p + 1/2, and one pair of arrays serves both faces. The E node on
// the inner edge (p = 0) has sigma = 0 and so no memory drive, as it must.
// The half-cell offset matters: grading both sides at the same depth raises
// the echo of a 10-cell layer from about -93 dB to about -30 dB.
#include "tests/forward/pml_profiles.hpp"

#include <cmath>

namespace norvane_test {

namespace {

constexpr double k_eps0 = 8.8541878128e-12;
constexpr double k_mu0 = 1.25663706212e-6;

struct recursion_rows {
  double r0, r1, r2, r3;
};

recursion_rows rows_at(double rho, double h, double dt, const cpml_params& prm) {
  const double m = prm.grading;
  const double smax = prm.sigma_max < 0 ? cpml_default_sigma_max(m, h) : prm.sigma_max;
  const double sigma = smax * std::pow(rho, m);
  const double kappa = 1.0 + (prm.kappa_max - 1.0) * std::pow(rho, m);
  const double alpha = prm.alpha_max * std::pow(1.0 - rho, prm.alpha_grading);
  const double b = std::exp(-(sigma / kappa + alpha) * dt / k_eps0);
  const double a = sigma > 0 ? sigma / (sigma * kappa + kappa * kappa * alpha) * (b - 1.0) : 0.0;
  return {1.0 / kappa + a, b, b, -a};
}

void fill(std::vector<float>& prof, int w, double depth_offset, double h, double dt,
          const cpml_params& prm) {
  prof.assign(size_t(4) * w, 0.0f);
  for (int p = 0; p < w; ++p) {
    const recursion_rows r = rows_at((p + depth_offset) / w, h, dt, prm);
    prof[p] = float(r.r0);
    prof[w + p] = float(r.r1);
    prof[2 * w + p] = float(r.r2);
    prof[3 * w + p] = float(r.r3);
  }
}

}  // namespace

double cpml_default_sigma_max(double grading, double h) {
  const double eta0 = std::sqrt(k_mu0 / k_eps0);
  return 0.8 * (grading + 1.0) / (eta0 * h);
}

cpml_face_profiles cpml_profiles(int width, double h, double dt, const cpml_params& params) {
  cpml_face_profiles out;
  fill(out.e, width, 0.0, h, dt, params);
  fill(out.h, width, 0.5, h, dt, params);
  return out;
}

}  // namespace norvane_test
