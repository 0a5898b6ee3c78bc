// Phases E and G as gathers. The transposed curl is a sum: each adjoint
// element receives a fixed set of contributions c * (+-cb * v) from the
// source nodes within a stencil's reach along two axes, and a scatter sweep
// in increasing node order would add them in one fixed order. Here every
// target row (s, i, j) of every component is owned by one thread, which adds
// exactly those contributions in exactly that order:
//   outer-axis sources behind the target, inner-axis sources behind,
//   the inner-axis source at the target node, the outer-axis one there,
//   inner-axis sources ahead, outer-axis sources ahead
// (outer = the larger stride; at a shared node the component earlier in
// x, y, z order scatters first, which is always the inner-axis one). Each
// contribution is one vector pass over the k range of targets it reaches, so
// the result is the one-thread scatter's, bit for bit, for any thread count.
// The sources are read before any of them is rescaled: the rescaling by
// ca_e or ca_h is a second sweep after a barrier.
#include "lib/adjoint/field_update_adjoint.hpp"

#include <algorithm>

#include "lib/forward/rows.hpp"
#include "lib/kernels/staggered_diff.hpp"

namespace norvane::adjoint::NORVANE_ISA_NS {
namespace {

using kernels::stencil_coeffs;

// Update region of a component: lo..hi per axis (inclusive, hi relative to n-1).
struct region {
  int lo[3];
  int hi_from_end[3];  // hi = n - 1 - hi_from_end
};

// H components are not updated on their own axis's first and last node nor
// on the last node of the others; E components not on their own axis's last
// node nor on the outer faces of the other two.
constexpr region h_region[3] = {{{1, 0, 0}, {1, 1, 1}}, {{0, 1, 0}, {1, 1, 1}}, {{0, 0, 1}, {1, 1, 1}}};
constexpr region e_region[3] = {{{0, 1, 1}, {1, 1, 1}}, {{1, 0, 1}, {1, 1, 1}}, {{1, 1, 0}, {1, 1, 1}}};

// A source of contributions to a target component: the component whose
// adjoint is scattered, the axis it is scattered along, and the sign of its
// scatter value (+-cb_axis * v).
struct source_desc {
  int comp;
  int axis;
  bool negative;
};

struct target_desc {
  source_desc outer, inner;
};

// Phase G (H-update transpose, adjoint H -> adjoint E), per target E component.
constexpr target_desc g_targets[3] = {
    {{2, 1, false}, {1, 2, true}},   // ex <- hz along y, hy along z
    {{2, 0, true}, {0, 2, false}},   // ey <- hz along x, hx along z
    {{1, 0, false}, {0, 1, true}},   // ez <- hy along x, hx along y
};
// Phase E (E-update transpose, adjoint E -> adjoint H), per target H component.
constexpr target_desc e_targets[3] = {
    {{2, 1, true}, {1, 2, false}},   // hx <- ez along y, ey along z
    {{2, 0, false}, {0, 2, true}},   // hy <- ez along x, ex along z
    {{1, 0, true}, {0, 1, false}},   // hz <- ey along x, ex along y
};

struct gather_ctx {
  const pass_args& a;
  bool forward_transpose;   // phase G: transposed forward difference
  const float* const* src;  // adjoint fields scattered (H for G, E for E)
  float* const* dst;        // adjoint fields receiving
  const float* cb;          // cb_h or cb_e
  const region* src_region;
};

// Coefficient with which a source at axis position qs, scattering with the
// fitted half-width, reaches the target at qt; false when it does not.
// `bare` is set for half-width 1, where the value itself is added.
inline bool reach(const gather_ctx& g, int64_t qs, int64_t qt, int64_t len, float& coef,
                  bool& gain, bool& bare) {
  const int order = g.a.order;
  const int64_t o = qt - qs;
  int m;
  int idx;
  if (g.forward_transpose) {
    m = kernels::fit_forward(order, qs, len);
    if (o >= 1 && o <= m) {
      gain = true;
      idx = static_cast<int>(o - 1);
    } else if (o <= 0 && o >= 1 - m) {
      gain = false;
      idx = static_cast<int>(-o);
    } else {
      return false;
    }
  } else {
    m = kernels::fit_backward(order, qs, len);
    if (o >= 0 && o <= m - 1) {
      gain = true;
      idx = static_cast<int>(o);
    } else if (o <= -1 && o >= -m) {
      gain = false;
      idx = static_cast<int>(-o - 1);
    } else {
      return false;
    }
  }
  bare = m == 1;
  coef = stencil_coeffs::c[m - 1][idx];
  return true;
}

inline bool in_range(const region& r, int axis, int64_t q, int64_t n) {
  return q >= r.lo[axis] && q <= n - 1 - r.hi_from_end[axis];
}

// acc[k] op= (+-scaled_cb(src node) * v(src node)) [* coef] for k in [k0, k1];
// the source element of target k lies `offset` elements away.
template <bool Gain, bool Bare, bool Negative, bool Scaled>
void pass_loop(float* __restrict acc, const float* __restrict v, const float* __restrict cb,
               int64_t k0, int64_t k1, float coef, float dx, float h) {
#pragma omp simd
  for (int64_t k = k0; k <= k1; ++k) {
    const float c = cb[k];
    const float scaled = Scaled ? (dx * c) / h : c;
    const float prod = scaled * v[k];
    const float value = Negative ? -prod : prod;
    const float p = Bare ? value : value * coef;
    acc[k] = Gain ? acc[k] + p : acc[k] - p;
  }
}

// The curl factor along y or z is cb itself when that spacing equals dx, so
// the per-element division exists only on non-cubic axes.
template <bool Gain, bool Bare, bool Negative, int ScaleAxis>
void pass(const gather_ctx& g, float* acc, const float* v, const float* cb, int64_t k0,
          int64_t k1, float coef) {
  const float dx = g.a.g.dx;
  const float h = ScaleAxis == 1 ? g.a.g.dy : g.a.g.dz;
  if (ScaleAxis == 0 || h == dx)
    pass_loop<Gain, Bare, Negative, false>(acc, v, cb, k0, k1, coef, dx, h);
  else
    pass_loop<Gain, Bare, Negative, true>(acc, v, cb, k0, k1, coef, dx, h);
}

using pass_fn = void (*)(const gather_ctx&, float*, const float*, const float*, int64_t, int64_t,
                         float);

template <bool Gain, bool Bare, bool Negative>
pass_fn pick_axis(int axis) {
  if (axis == 0) return &pass<Gain, Bare, Negative, 0>;
  if (axis == 1) return &pass<Gain, Bare, Negative, 1>;
  return &pass<Gain, Bare, Negative, 2>;
}

pass_fn pick_pass(bool gain, bool bare, bool negative, int axis) {
  if (gain) {
    if (bare) return negative ? pick_axis<true, true, true>(axis) : pick_axis<true, true, false>(axis);
    return negative ? pick_axis<true, false, true>(axis) : pick_axis<true, false, false>(axis);
  }
  if (bare) return negative ? pick_axis<false, true, true>(axis) : pick_axis<false, true, false>(axis);
  return negative ? pick_axis<false, false, true>(axis) : pick_axis<false, false, false>(axis);
}

// Contribution of the source `sd` displaced by d along its axis, for the
// target row (s, i, j) of length nz, in place on `row`.
void apply_source(const gather_ctx& g, const source_desc& sd, int d, float* row, int64_t s,
                  int64_t i, int64_t j) {
  const grid_dims& gd = g.a.g;
  const int64_t t[3] = {i, j, 0};
  const region& r = g.src_region[sd.comp];
  const int64_t nz = gd.nz;
  if (sd.axis < 2) {
    // Row-constant: the source row is (i, j) moved by d along x or y.
    const int64_t qt = t[sd.axis], qs = qt + d, len = gd.extent(sd.axis);
    if (qs < 0 || qs >= len) return;
    int64_t srow[3] = {i, j, 0};
    srow[sd.axis] = qs;
    for (int ax = 0; ax < 2; ++ax)
      if (!in_range(r, ax, srow[ax], gd.extent(ax))) return;
    float coef;
    bool gain, bare;
    if (!reach(g, qs, qt, len, coef, gain, bare)) return;
    const int64_t k0 = r.lo[2], k1 = nz - 1 - r.hi_from_end[2];
    if (k0 > k1) return;
    const int64_t node = (srow[0] * gd.ny + srow[1]) * nz;
    pick_pass(gain, bare, sd.negative, sd.axis)(g, row, g.src[sd.comp] + s * gd.n_nodes + node,
                                                g.cb + node, k0, k1, coef);
    return;
  }
  // Along k: the source of target k is k + d; the half-width it scatters
  // with changes only near the row ends, so the targets split into runs of
  // equal coefficient.
  for (int ax = 0; ax < 2; ++ax)
    if (!in_range(r, ax, t[ax], gd.extent(ax))) return;
  const int64_t ks_lo = std::max<int64_t>(r.lo[2], 0), ks_hi = nz - 1 - r.hi_from_end[2];
  const int64_t kt_lo = std::max<int64_t>(ks_lo - d, 0), kt_hi = std::min<int64_t>(ks_hi - d, nz - 1);
  const int64_t node = (i * gd.ny + j) * nz;
  const float* v = g.src[sd.comp] + s * gd.n_nodes + node + d;
  const float* cb = g.cb + node + d;
  // Sources with the nominal half-width form one run; the few with reduced
  // stencils near the row ends are taken one target at a time.
  const int M = kernels::half_width(g.a.order);
  const int64_t full_lo = (g.forward_transpose ? M - 1 : M) - d;
  const int64_t full_hi = (g.forward_transpose ? nz - 1 - M : nz - M) - d;
  const int64_t run_lo = std::max(kt_lo, full_lo), run_hi = std::min(kt_hi, full_hi);
  auto one = [&](int64_t k0, int64_t k1) {
    float coef;
    bool gain, bare;
    if (k0 <= k1 && reach(g, k0 + d, k0, nz, coef, gain, bare))
      pick_pass(gain, bare, sd.negative, 2)(g, row, v, cb, k0, k1, coef);
  };
  if (run_lo > run_hi) {
    for (int64_t k = kt_lo; k <= kt_hi; ++k) one(k, k);
    return;
  }
  for (int64_t k = kt_lo; k < run_lo; ++k) one(k, k);
  one(run_lo, run_hi);
  for (int64_t k = run_hi + 1; k <= kt_hi; ++k) one(k, k);
}

void gather_row(const gather_ctx& g, const target_desc& td, float* row, int64_t s, int64_t i,
                int64_t j) {
  // Offsets d = source - target, behind first.
  const int lo = g.forward_transpose ? -4 : -3, hi = g.forward_transpose ? 3 : 4;
  for (int d = lo; d <= -1; ++d) apply_source(g, td.outer, d, row, s, i, j);
  for (int d = lo; d <= -1; ++d) apply_source(g, td.inner, d, row, s, i, j);
  apply_source(g, td.inner, 0, row, s, i, j);
  apply_source(g, td.outer, 0, row, s, i, j);
  for (int d = 1; d <= hi; ++d) apply_source(g, td.inner, d, row, s, i, j);
  for (int d = 1; d <= hi; ++d) apply_source(g, td.outer, d, row, s, i, j);
}

void gather_phase(const gather_ctx& g, const target_desc (&targets)[3]) {
  const grid_dims& gd = g.a.g;
  forward::for_each_row(g.a, [&](int64_t s, int64_t i, int64_t j) {
    const int64_t base = s * gd.n_nodes + (i * gd.ny + j) * gd.nz;
    for (int c = 0; c < 3; ++c) gather_row(g, targets[c], g.dst[c] + base, s, i, j);
  });
}

// v <- v * ca over each component's update region.
void rescale(const pass_args& a, float* const* f, const float* ca, const region* reg) {
  const grid_dims& gd = a.g;
  forward::for_each_row(a, [&](int64_t s, int64_t i, int64_t j) {
    const int64_t node = (i * gd.ny + j) * gd.nz;
    for (int c = 0; c < 3; ++c) {
      const region& r = reg[c];
      if (!in_range(r, 0, i, gd.nx) || !in_range(r, 1, j, gd.ny)) continue;
      float* __restrict v = f[c] + s * gd.n_nodes + node;
      const float* __restrict w = ca + node;
      const int64_t k1 = gd.nz - 1 - r.hi_from_end[2];
#pragma omp simd
      for (int64_t k = r.lo[2]; k <= k1; ++k) v[k] = v[k] * w[k];
    }
  });
}

}  // namespace

void e_update_adjoint(const pass_args& a) {
  const gather_ctx g{a, false, a.e, a.h, a.c.cb_e, e_region};
  gather_phase(g, e_targets);
  rescale(a, a.e, a.c.ca_e, e_region);
}

void h_update_adjoint(const pass_args& a) {
  const gather_ctx g{a, true, a.h, a.e, a.c.cb_h, h_region};
  gather_phase(g, g_targets);
  rescale(a, a.h, a.c.ca_h, h_region);
}

}  // namespace norvane::adjoint::NORVANE_ISA_NS
