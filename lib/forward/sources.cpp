#include "lib/forward/sources.hpp"

namespace norvane::forward {

void inject_sources(const forward_args& a, int t) {
  const int64_t n_src = a.n_src;
  const int64_t total = static_cast<int64_t>(a.n_shots) * n_src;
  float* target = (a.src_comp >= 0 && a.src_comp <= 2) ? a.e[a.src_comp] : nullptr;
  if (total <= 0 || target == nullptr) {
#pragma omp barrier
    return;
  }
  const grid_dims& g = a.g;
  const float h = g.spacing(a.src_comp);
  const float volume = (g.dx * g.dy) * g.dz;
#pragma omp for schedule(static)
  for (int64_t s = 0; s < a.n_shots; ++s) {
    for (int64_t q = 0; q < n_src; ++q) {
      const int64_t node = position_node(g, a.src_pos + (s * n_src + q) * 3);
      if (node < 0) continue;
      const float amp = a.src_wavelet[q * a.nt + t];
      const float v = ((h * amp) / volume) * a.c.cs_e[node];
      float& e = target[s * g.n_nodes + node];
      e = e - v;
    }
  }
}

void record_receivers(const forward_args& a, int t) {
  const int64_t n_rec = a.n_rec;
  const int64_t total = static_cast<int64_t>(a.n_shots) * n_rec;
  if (total <= 0) {
#pragma omp barrier
    return;
  }
  const float* field = a.rec_comp == 0 ? a.e[0] : (a.rec_comp == 1 ? a.e[1] : a.e[2]);
  const grid_dims& g = a.g;
#pragma omp for schedule(static)
  for (int64_t l = 0; l < total; ++l) {
    const int64_t s = l / n_rec;
    const int64_t r = l - s * n_rec;
    const int64_t node = position_node(g, a.rec_pos + l * 3);
    a.rec_out[(s * a.nt + t) * n_rec + r] = node < 0 ? 0.0f : field[s * g.n_nodes + node];
  }
}

}  // namespace norvane::forward
