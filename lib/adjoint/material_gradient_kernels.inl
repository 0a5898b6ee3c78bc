// Phase C, compiled once per instruction set (see material_gradient.hpp).
#include "lib/adjoint/material_gradient.hpp"

#include <cmath>

#include "lib/kernels/update_coeffs.hpp"
#include "lib/storage/formats.hpp"

namespace norvane::adjoint::NORVANE_ISA_NS {

void material_gradients(const backward_args& a, int t) {
  const grid_dims& g = a.g;
  const snapshot_args& sn = a.snap;
  const int64_t nx1 = g.nx - 1, ny1 = g.ny - 1, nz1 = g.nz - 1;
  const int64_t n_int = nx1 > 0 && ny1 > 0 && nz1 > 0 ? nx1 * ny1 * nz1 : 0;
  const int slot = t / sn.interval;
  const float steps_covered =
      static_cast<float>(int64_t{sn.interval} + t > a.nt ? a.nt - t : sn.interval);
  const int n_comp = sn.components == 3 ? 3 : 1;
  const int first_comp = sn.components == 3 ? 0 : 2;
  const int64_t comp_stride = sn.component_stride();
  const int64_t slot_base = static_cast<int64_t>(slot) * sn.n_cells;
  const auto& w = a.faces;
  const float eps0 = kernels::eps0;
#pragma omp for schedule(static)
  for (int64_t c = 0; c < n_int; ++c) {
    const int64_t i = c / (ny1 * nz1);
    const int64_t rem = c - i * ny1 * nz1;
    const int64_t j = rem / nz1;
    const int64_t k = rem - j * nz1;
    if ((w[0].width >= 1 && i < w[0].width) || (w[1].width >= 1 && i >= nx1 - w[1].width) ||
        (w[2].width >= 1 && j < w[2].width) || (w[3].width >= 1 && j >= ny1 - w[3].width) ||
        (w[4].width >= 1 && k < w[4].width) || (w[5].width >= 1 && k >= nz1 - w[5].width))
      continue;
    float g_eps = 0.0f, g_sig = 0.0f;
    if (a.n_shots >= 1) {
      const int64_t n = (i * g.ny + j) * g.nz + k;
      const float ca = a.c.ca_e[n], q = a.c.cs_e[n], sg = a.sigma[n];
      const float d_ca_eps = (q * ((1.0f - ca) * eps0)) / g.dt;
      const float d_cs_eps = (q * (q * -eps0)) / g.dt;
      const float d_ca_sig = q * ((ca + 1.0f) * -0.5f);
      const float d_cs_sig = q * (q * -0.5f);
      for (int64_t s = 0; s < a.n_shots && !(sg > kernels::pec_sigma); ++s) {
        for (int m = 0; m < n_comp; ++m) {
          const float l = a.e[first_comp + m][s * g.n_nodes + n];
          const int64_t at = m * comp_stride + slot_base + s * n_int + c;
          const float e = storage::load_wavefield_value(sn.e_store, at, sn.format);
          const float r = storage::load_wavefield_value(sn.rhs_store, at, sn.format);
          const float pe = (l * e) * steps_covered;
          const float pr = (l * r) * steps_covered;
          g_eps = g_eps + std::fma(pe, d_ca_eps, d_cs_eps * pr);
          g_sig = g_sig + std::fma(pe, d_ca_sig, d_cs_sig * pr);
        }
      }
    }
    if (a.want_grad_eps_r == 1) a.grad_eps_r[c] = a.grad_eps_r[c] + g_eps;
    if (a.want_grad_sigma == 1) a.grad_sigma[c] = a.grad_sigma[c] + g_sig;
  }
}

}  // namespace norvane::adjoint::NORVANE_ISA_NS
