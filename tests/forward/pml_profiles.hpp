// Convolutional absorbing-layer profiles in the library's four-row form, for
// tests: graded conductivity sigma, real stretch kappa and frequency shift
// alpha turned into the rows r0..r3 of the layer recursion
//   F += sign*c*((r0 - 1)*d + r1*psi),   psi <- r2*psi - r3*d,   d = D/h.
// Both sides of a face come out of one call; the grading depth of each row
// entry is worked out in pml_profiles.cpp.
#pragma once

#include <vector>

namespace norvane_test {

// Grading laws across a layer of width w cells, with rho = depth/w in [0, 1]
// measured from the inner edge towards the outer wall:
//   sigma(rho) = sigma_max*rho^grading, kappa(rho) = 1 + (kappa_max - 1)*rho^grading,
//   alpha(rho) = alpha_max*(1 - rho)^alpha_grading.
struct cpml_params {
  double grading = 3.0;        // polynomial order m of sigma and kappa
  double sigma_max = -1.0;     // S/m; negative selects 0.8*(m + 1)/(eta0*h)
  double kappa_max = 1.0;      // >= 1
  double alpha_max = 0.0;      // S/m, the frequency shift at the inner edge
  double alpha_grading = 1.0;  // exponent of the alpha decay into the layer
};

struct cpml_face_profiles {
  std::vector<float> e;  // [4][w], rows r0..r3 of the E-side correction
  std::vector<float> h;  // [4][w], rows r0..r3 of the H-side correction
};

// sigma_max of the usual optimum, 0.8*(m + 1)/(eta0*h).
double cpml_default_sigma_max(double grading, double h);

// Profiles of one face of width `width` cells across a normal spacing h (m)
// for time step dt (s). Entry p (0 at the inner edge, width-1 at the outer
// wall) of the E side is graded at depth p cells, of the H side at depth
// p + 1/2 cells; this holds for low and high faces alike (see the .cpp), so
// the same arrays serve both faces of an axis.
cpml_face_profiles cpml_profiles(int width, double h, double dt, const cpml_params& params);

}  // namespace norvane_test
