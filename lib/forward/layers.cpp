// Phases B and D of the forward step: the absorbing-layer corrections (the
// recursion is derived in layers.hpp). Each node applies the terms of every
// face whose layer holds it, faces in the order xlo, xhi, ylo, yhi, zlo, zhi,
// so edge and corner nodes accumulate the faces' corrections in a fixed
// order. A node touches only its own field and memory elements.
#include "lib/forward/layers.hpp"

#include <cmath>

#include "lib/forward/rows.hpp"
#include "lib/kernels/staggered_diff.hpp"

namespace norvane::forward {

layer_table make_layer_table(const pass_args& a, bool e_side) {
  // Per face axis, the two tangential components in x, y, z order, and the
  // sign each receives from the difference across the face in the H update;
  // the E update has the opposite signs.
  static const int tang[3][2] = {{1, 2}, {0, 2}, {0, 1}};
  static const float h_sign[3][2] = {{+1.f, -1.f}, {-1.f, +1.f}, {+1.f, -1.f}};
  layer_table t;
  t.e_side = e_side;
  const grid_dims& g = a.g;
  for (int f = 0; f < 6; ++f) {
    const layer_face& lf = a.faces[f];
    layer_face_desc& d = t.face[f];
    d.axis = f / 2;
    d.high = (f % 2) == 1;
    d.w = lf.width > 0 ? lf.width : 0;
    d.prof = e_side ? lf.prof_e : lf.prof_h;
    d.n = g.extent(d.axis);
    if (d.w == 0) continue;
    if (d.high) {
      d.q_lo = d.n - 1 - d.w;
      d.q_hi = d.n - 2;
      if (e_side && d.q_lo < 1) d.q_lo = 1;
    } else {
      d.q_lo = e_side ? 1 : 0;
      d.q_hi = e_side ? d.w : d.w - 1;
    }
    for (int m = 0; m < 2; ++m) {
      layer_term& term = d.term[m];
      const int b = tang[d.axis][m];
      const int c = tang[d.axis][1 - m];
      term.target = b;
      term.source = c;
      term.sign = e_side ? -h_sign[d.axis][m] : h_sign[d.axis][m];
      // E components stop one node short along their own axis; H components
      // along the other two axes.
      term.cond_axis = e_side ? b : c;
      term.psi = e_side ? lf.psi_e[m] : lf.psi_h[m];
      for (int ax = 0; ax < 3; ++ax) {
        const bool short_axis = e_side ? (ax == b) : (ax != b);
        term.ext[ax] = g.extent(ax) - (short_axis ? 1 : 0);
      }
      term.ext[d.axis] = e_side ? d.w + 1 : d.w;
    }
  }
  return t;
}

namespace {

// All corrections at node (s, i, j, k). `target` is the corrected field type,
// `source` the differenced one, `coef` cs_h or cs_e.
template <bool ESide>
void correct_node(const pass_args& a, const layer_table& t, float* const* target,
                  const float* const* source, const float* coef, int64_t s, int64_t i, int64_t j,
                  int64_t k) {
  const grid_dims& g = a.g;
  const int64_t c[3] = {i, j, k};
  const int64_t node = (i * g.ny + j) * g.nz + k;
  const int64_t l = s * g.n_nodes + node;
  for (int f = 0; f < 6; ++f) {
    const layer_face_desc& d = t.face[f];
    const int64_t q = c[d.axis];
    if (d.w == 0 || q < d.q_lo || q > d.q_hi) continue;
    const int64_t p = d.position(q, ESide);
    const float r0 = d.prof[p], r1 = d.prof[d.w + p], r2 = d.prof[2 * d.w + p],
                r3 = d.prof[3 * d.w + p];
    const int64_t stride = g.stride(d.axis);
    const float h = g.spacing(d.axis);
    for (const layer_term& term : d.term) {
      if (c[term.cond_axis] > g.extent(term.cond_axis) - 2) continue;
      const float D = ESide ? kernels::staggered_backward_diff(source[term.source], l, stride, q,
                                                               d.n, a.order)
                            : kernels::staggered_forward_diff(source[term.source], l, stride, q,
                                                              d.n, a.order);
      const float dd = D / h;
      float& psi = term.psi[memory_index(term, d.axis, s, c, p)];
      const float psi_old = psi;
      const float inner = std::fma(r0 - 1.0f, dd, r1 * psi_old);
      float& F = target[term.target][l];
      const float cn = coef[node];
      F = term.sign > 0 ? std::fma(cn, inner, F) : std::fma(-cn, inner, F);
      psi = std::fma(r2, psi_old, -(dd * r3));
    }
  }
}

template <bool ESide>
void apply_layers(const pass_args& a, const layer_table& t) {
  float* const* target = ESide ? a.e : a.h;
  const float* const src[3] = {ESide ? a.h[0] : a.e[0], ESide ? a.h[1] : a.e[1],
                               ESide ? a.h[2] : a.e[2]};
  const float* coef = ESide ? a.c.cs_e : a.c.cs_h;
  for_each_row(a, [&](int64_t s, int64_t i, int64_t j) {
    for_layer_ks(t, a.g, i, j,
                 [&](int64_t k) { correct_node<ESide>(a, t, target, src, coef, s, i, j, k); });
  });
}

}  // namespace

void apply_h_layers(const pass_args& a, const layer_table& t) { apply_layers<false>(a, t); }
void apply_e_layers(const pass_args& a, const layer_table& t) { apply_layers<true>(a, t); }

}  // namespace norvane::forward
