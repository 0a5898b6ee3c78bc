// Material grids -> per-node update coefficients (see update_coeffs.hpp).
// The loop runs over whole rows so the division of the node index into
// (i, j, k) happens once per row; each row is one run of the vector loop of
// the active instruction set (update_coeffs_kernels.inl).
#include "lib/kernels/update_coeffs.hpp"

#include "lib/kernels/isa.hpp"

namespace norvane::kernels {

void build_update_coeffs_cpu(const int64_t& n_nodes, const int64_t& plane, const int& nz,
                             const int& nx, const int& ny, const float* mu_r, const float& dt,
                             float* ca_h, float* cb_h, const float& dx, float* cs_h,
                             const float* sigma, float* ca_e, float* cb_e, float* cs_e,
                             const float* eps_r) {
  if (n_nodes < 1 || nx < 2 || ny < 2 || nz < 2) return;
  const int64_t rows = static_cast<int64_t>(nx - 1) * (ny - 1);
  const float inv_dx = 1.0f / dx;
  const auto run = by_active_isa(&generic::coeff_run, &avx2::coeff_run, &avx512::coeff_run);
#pragma omp for schedule(static)
  for (int64_t r = 0; r < rows; ++r) {
    const int64_t i = r / (ny - 1);
    const int64_t j = r - i * (ny - 1);
    const int64_t n = i * plane + j * nz;
    run({mu_r + n, sigma + n, eps_r + n, ca_h + n, cb_h + n, cs_h + n, ca_e + n, cb_e + n,
         cs_e + n, dt, inv_dx},
        nz - 1);
  }
}

}  // namespace norvane::kernels
