// The coefficient row loop, compiled once per instruction set: the including
// file defines NORVANE_ISA_NS and the compiler flags. Seven divisions a node
// make the scalar loop cost about one time step of the passes; as a vector
// loop the node values are formed lane by lane with the same operations, and
// a perfect conductor's E factors are selected, not branched to, so every set
// gives the scalar bits (IEEE division and the select are exact per lane).
#include "lib/kernels/update_coeffs.hpp"

namespace norvane::kernels::NORVANE_ISA_NS {

void coeff_run(const coeff_row& r, int64_t n) {
  const float* mu_r = r.mu_r;
  const float* sigma = r.sigma;
  const float* eps_r = r.eps_r;
  float* ca_h = r.ca_h;
  float* cb_h = r.cb_h;
  float* cs_h = r.cs_h;
  float* ca_e = r.ca_e;
  float* cb_e = r.cb_e;
  float* cs_e = r.cs_e;
  const float dt = r.dt, inv_dx = r.inv_dx;
#pragma omp simd
  for (int64_t x = 0; x < n; ++x) {
    float m = mu_r[x] * mu0;
    m = m / dt;
    ca_h[x] = 1.0f;
    cb_h[x] = inv_dx / m;
    cs_h[x] = 1.0f / m;
    const float s = sigma[x];
    float e = eps_r[x] * eps0;
    e = e / dt;
    const float h = s * 0.5f;
    const float d = h + e;
    const float ca = (e - h) / d, cb = inv_dx / d, cs = 1.0f / d;
    const bool pec = s > pec_sigma;
    ca_e[x] = pec ? 0.0f : ca;
    cb_e[x] = pec ? 0.0f : cb;
    cs_e[x] = pec ? 0.0f : cs;
  }
}

}  // namespace norvane::kernels::NORVANE_ISA_NS
