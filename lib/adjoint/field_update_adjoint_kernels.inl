// Phases E and G as gathers (see gather_plan.hpp for the order of the
// contributions). Every target row (s, i, j) of every component is owned by
// one thread, which runs its plan: per segment, one vector loop over k that
// keeps the targets in registers and adds the segment's terms in order, so
// each target receives exactly the one-thread scatter's additions in its
// order, bit for bit, for any thread count.
// The sources are read before any of them is rescaled: the rescaling by
// ca_e or ca_h is a second sweep after a barrier.
#include "lib/adjoint/field_update_adjoint.hpp"

#include "lib/forward/rows.hpp"
#include "lib/kernels/cell.hpp"

namespace norvane::adjoint::NORVANE_ISA_NS {
namespace {

// W consecutive targets at acc: x <- x + (cbs * v) * coef for each term in
// order, x held in registers (W = 1 is the scalar tail).
template <int W, bool Scaled>
NORVANE_CELL void add_terms(float* acc, const float* const* src, const float* cb,
                            const gather_term* t, int n, const float* h) {
  if constexpr (W == 1) {
    float x = *acc;
    for (int q = 0; q < n; ++q) {
      float c = cb[t[q].offset];
      if (Scaled && t[q].scale != 0) c = (h[0] * c) / h[t[q].scale];
      x = x + (c * src[t[q].comp][t[q].offset]) * t[q].coef;
    }
    *acc = x;
  } else {
    typedef float vec __attribute__((vector_size(W * sizeof(float))));
    vec x;
    __builtin_memcpy(&x, acc, sizeof x);
    for (int q = 0; q < n; ++q) {
      vec c, v;
      __builtin_memcpy(&c, cb + t[q].offset, sizeof c);
      __builtin_memcpy(&v, src[t[q].comp] + t[q].offset, sizeof v);
      if (Scaled && t[q].scale != 0) c = (h[0] * c) / h[t[q].scale];
      x = x + (c * v) * t[q].coef;
    }
    __builtin_memcpy(acc, &x, sizeof x);
  }
}

template <bool Scaled>
void run_segment(float* acc, const float* const* src, const float* cb, const gather_segment& sg,
                 const gather_term* terms, const float* h) {
  const gather_term* t = terms + sg.first;
  const int n = sg.count;
  const float* s[3];
  int64_t k = sg.k0;
  auto at = [&](int64_t kk) {
    for (int c = 0; c < 3; ++c) s[c] = src[c] + kk;
  };
  for (; k + 32 <= sg.k1 + 1; k += 32) {
    at(k);
    add_terms<32, Scaled>(acc + k, s, cb + k, t, n, h);
  }
  if (k + 16 <= sg.k1 + 1) {
    at(k);
    add_terms<16, Scaled>(acc + k, s, cb + k, t, n, h);
    k += 16;
  }
  if (k + 8 <= sg.k1 + 1) {
    at(k);
    add_terms<8, Scaled>(acc + k, s, cb + k, t, n, h);
    k += 8;
  }
  if (k + 4 <= sg.k1 + 1) {
    at(k);
    add_terms<4, Scaled>(acc + k, s, cb + k, t, n, h);
    k += 4;
  }
  for (; k <= sg.k1; ++k) {
    at(k);
    add_terms<1, Scaled>(acc + k, s, cb + k, t, n, h);
  }
}

template <bool Scaled>
void gather_phase(const pass_args& a, const gather_plan& plan, const float* const* src,
                  float* const* dst, const float* cb) {
  const grid_dims& gd = a.g;
  const float h[3] = {gd.dx, gd.dy, gd.dz};
  forward::for_each_row(a, [&](int64_t s, int64_t i, int64_t j) {
    const int64_t node = (i * gd.ny + j) * gd.nz;
    const int64_t base = s * gd.n_nodes + node;
    const float* sb[3] = {src[0] + base, src[1] + base, src[2] + base};
    for (int c = 0; c < 3; ++c) {
      int n_seg;
      const gather_segment* seg = plan.row(c, i, j, n_seg);
      for (int q = 0; q < n_seg; ++q)
        run_segment<Scaled>(dst[c] + base, sb, cb + node, seg[q], plan.terms.data(), h);
    }
  });
}

void gather(const pass_args& a, const gather_plan& plan, const float* const* src,
            float* const* dst, const float* cb) {
  if (plan.any_scaled)
    gather_phase<true>(a, plan, src, dst, cb);
  else
    gather_phase<false>(a, plan, src, dst, cb);
}

// v <- v * ca over each component's update region.
void rescale(const pass_args& a, float* const* f, const float* ca, const update_region* reg) {
  const grid_dims& gd = a.g;
  forward::for_each_row(a, [&](int64_t s, int64_t i, int64_t j) {
    const int64_t node = (i * gd.ny + j) * gd.nz;
    for (int c = 0; c < 3; ++c) {
      const update_region& r = reg[c];
      if (!r.contains(0, i, gd.nx) || !r.contains(1, j, gd.ny)) continue;
      float* __restrict v = f[c] + s * gd.n_nodes + node;
      const float* __restrict w = ca + node;
      const int64_t k1 = gd.nz - 1 - r.hi_from_end[2];
#pragma omp simd
      for (int64_t k = r.lo[2]; k <= k1; ++k) v[k] = v[k] * w[k];
    }
  });
}

}  // namespace

void e_update_adjoint(const pass_args& a, const gather_plan& plan) {
  gather(a, plan, a.e, a.h, a.c.cb_e);
  rescale(a, a.e, a.c.ca_e, e_region);
}

void h_update_adjoint(const pass_args& a, const gather_plan& plan) {
  gather(a, plan, a.h, a.e, a.c.cb_h);
  rescale(a, a.h, a.c.ca_h, h_region);
}

}  // namespace norvane::adjoint::NORVANE_ISA_NS
