#include "lib/adjoint/sources_adjoint.hpp"

namespace norvane::adjoint {

void inject_residuals(const backward_args& a, int t) {
  const int64_t n_rec = a.n_rec;
  float* target = (a.rec_comp >= 0 && a.rec_comp <= 2) ? a.e[a.rec_comp] : nullptr;
  if (static_cast<int64_t>(a.n_shots) * n_rec <= 0 || target == nullptr) {
#pragma omp barrier
    return;
  }
  const grid_dims& g = a.g;
#pragma omp for schedule(static)
  for (int64_t s = 0; s < a.n_shots; ++s) {
    for (int64_t r = 0; r < n_rec; ++r) {
      const int64_t node = position_node(g, a.rec_pos + (s * n_rec + r) * 3);
      if (node < 0) continue;
      float& e = target[s * g.n_nodes + node];
      e = e + a.rec_residual[(s * a.nt + t) * n_rec + r];
    }
  }
}

void wavelet_gradient(const backward_args& a, int t) {
  const int64_t n_src = a.n_src;
  if (static_cast<int64_t>(a.n_shots) * n_src <= 0) {
#pragma omp barrier
    return;
  }
  const grid_dims& g = a.g;
  const float h = a.src_comp == 0 ? g.dx : (a.src_comp == 1 ? g.dy : g.dz);
  const float w = h / ((g.dx * g.dy) * g.dz);
  const float* field = a.src_comp == 0 ? a.e[0] : (a.src_comp == 1 ? a.e[1] : a.e[2]);
#pragma omp for schedule(static)
  for (int64_t q = 0; q < n_src; ++q) {
    float& grad = a.grad_wavelet[q * a.nt + t];
    for (int64_t s = 0; s < a.n_shots; ++s) {
      const int64_t node = position_node(g, a.src_pos + (s * n_src + q) * 3);
      if (node < 0) continue;
      const float v = field[s * g.n_nodes + node];
      grad = grad + v * (-(a.c.cs_e[node] * w));
    }
  }
}

}  // namespace norvane::adjoint
