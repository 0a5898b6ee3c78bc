// Material grids -> per-node update coefficients (see update_coeffs.hpp).
// The loop runs over whole rows so the division of the node index into
// (i, j, k) happens once per row; each node's arithmetic is the scalar
// sequence below in that exact order of operations.
#include "lib/kernels/update_coeffs.hpp"

namespace norvane::kernels {

void build_update_coeffs_cpu(const int64_t& n_nodes, const int64_t& plane, const int& nz,
                             const int& nx, const int& ny, const float* mu_r, const float& dt,
                             float* ca_h, float* cb_h, const float& dx, float* cs_h,
                             const float* sigma, float* ca_e, float* cb_e, float* cs_e,
                             const float* eps_r) {
  if (n_nodes < 1 || nx < 2 || ny < 2 || nz < 2) return;
  const int64_t rows = static_cast<int64_t>(nx - 1) * (ny - 1);
  const float inv_dx = 1.0f / dx;
#pragma omp for schedule(static)
  for (int64_t r = 0; r < rows; ++r) {
    const int64_t i = r / (ny - 1);
    const int64_t j = r - i * (ny - 1);
    const int64_t base = i * plane + j * nz;
    for (int64_t n = base; n < base + nz - 1; ++n) {
      float m = mu_r[n] * mu0;
      m = m / dt;
      ca_h[n] = 1.0f;
      cb_h[n] = inv_dx / m;
      cs_h[n] = 1.0f / m;
      const float s = sigma[n];
      if (s > pec_sigma) {
        ca_e[n] = 0.0f;
        cb_e[n] = 0.0f;
        cs_e[n] = 0.0f;
      } else {
        float e = eps_r[n] * eps0;
        e = e / dt;
        const float h = s * 0.5f;
        const float d = h + e;
        ca_e[n] = (e - h) / d;
        cb_e[n] = inv_dx / d;
        cs_e[n] = 1.0f / d;
      }
    }
  }
}

}  // namespace norvane::kernels
