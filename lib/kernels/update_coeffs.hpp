// Per-node update coefficients from the material grids (SI units):
//   H: ca_h = 1, cb_h = (1/dx)/(mu/dt), cs_h = 1/(mu/dt)
//   E: ca_e = (eps/dt - sigma/2)/(eps/dt + sigma/2), cb_e = (1/dx)/(eps/dt + sigma/2),
//      cs_e = 1/(eps/dt + sigma/2); all three 0 where sigma > 100 (perfect conductor).
// Only nodes with i < nx-1, j < ny-1, k < nz-1 are written; the last plane of
// every axis keeps the caller's values. Called inside a parallel region.
#pragma once

#include <cstdint>

namespace norvane::kernels {

// Vacuum constants as the nearest float32 of their decimal values.
constexpr float mu0 = 1.256637e-6f;
constexpr float eps0 = 8.854188e-12f;
constexpr float pec_sigma = 100.0f;

// One run of n nodes along k: the material values and the six coefficient
// arrays, each pointing at the run's first node.
struct coeff_row {
  const float *mu_r, *sigma, *eps_r;
  float *ca_h, *cb_h, *cs_h, *ca_e, *cb_e, *cs_e;
  float dt, inv_dx;
};

// The run loop of each instruction set (see update_coeffs_kernels.inl).
namespace generic { void coeff_run(const coeff_row& r, int64_t n); }
namespace avx2 { void coeff_run(const coeff_row& r, int64_t n); }
namespace avx512 { void coeff_run(const coeff_row& r, int64_t n); }

// Worksharing loop (static schedule) over all nodes; must be called by every
// thread of the enclosing team. Runs the loop of the active instruction set.
void build_update_coeffs_cpu(const int64_t& n_nodes, const int64_t& plane, const int& nz,
                             const int& nx, const int& ny, const float* mu_r, const float& dt,
                             float* ca_h, float* cb_h, const float& dx, float* cs_h,
                             const float* sigma, float* ca_e, float* cb_e, float* cs_e,
                             const float* eps_r);

}  // namespace norvane::kernels
