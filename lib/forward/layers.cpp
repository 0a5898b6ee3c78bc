// The face table of the absorbing layers (the recursion is derived in
// layers.hpp): per face its normal axis, layer range and the two terms with
// their components, signs, memories and memory extents.
#include "lib/forward/layers.hpp"

#include <algorithm>

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
    d.h_spacing = g.spacing(d.axis);
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
  // The z layers correct hx, hy (k from 0) or ex, ey (k from 1), up to
  // k = nz-2 in both cases; the row kernels take the low face from the first
  // of those nodes and the high one up to the last.
  t.fusable = g.nx >= 3 && g.ny >= 3 && g.nz >= 3;
  for (int h = 0; h < 2; ++h) {
    const layer_face_desc& d = t.face[4 + h];
    if (d.w == 0) continue;
    const int64_t first = e_side ? 1 : 0;
    if (d.q_lo < first || d.q_hi > g.nz - 2 || (h == 0 ? d.q_lo != first : d.q_hi != g.nz - 2))
      t.fusable = false;
    z_layer& z = t.z[h];
    z.k0 = d.q_lo;
    z.n = d.q_hi - d.q_lo + 1;
    z.p0 = d.position(d.q_lo, e_side);
    z.r.resize(4 * z.n);
    for (int64_t o = 0; o < z.n; ++o) {
      const int64_t p = d.position(d.q_lo + o, e_side);
      z.r[o] = d.prof[p] - 1.0f;
      for (int c = 1; c < 4; ++c) z.r[c * z.n + o] = d.prof[c * d.w + p];
    }
  }
  if (t.z[0].n > 0 && t.z[1].n > 0 && t.face[4].q_hi >= t.face[5].q_lo) t.fusable = false;
  // The rows with the nominal x and y stencils off the outer rows (an
  // interval per axis; empty where none).
  const int M = kernels::half_width(a.order);
  for (int ax = 0; ax < 2; ++ax) {
    const int64_t n = g.extent(ax);
    t.regular_lo[ax] = n;
    t.regular_hi[ax] = -1;
    for (int64_t q = 1; q <= n - 2; ++q) {
      const int m = e_side ? kernels::fit_backward(a.order, q, n) : kernels::fit_forward(a.order, q, n);
      if (m != M) continue;
      t.regular_lo[ax] = std::min(t.regular_lo[ax], q);
      t.regular_hi[ax] = q;
    }
  }
  return t;
}

void prefetch_low_y_memories(const pass_args& a, const layer_table& t, int64_t s, int64_t i,
                             int64_t j) {
  const layer_face_desc& d = t.face[2];
  if (d.w == 0 || j < d.q_lo || j > d.q_hi) return;
  const int64_t c[3] = {i, j, 0};
  const int64_t p = d.position(j, t.e_side);
  for (const layer_term& term : d.term) {
    const float* psi = term.psi + memory_index(term, 1, s, c, p);
    for (int64_t k = 0; k < a.g.nz; k += 16) __builtin_prefetch(psi + k, 1);
  }
}

row_mode make_row_layers(const pass_args& a, const layer_table& t, int64_t s, int64_t i, int64_t j,
                         row_layers& r) {
  const int64_t c[3] = {i, j, 0};
  // The x and y face holding the row, per axis (-1: none). An unlined
  // face's range is empty.
  int in[2] = {-1, -1};
  for (int axis = 0; axis < 2; ++axis) {
    for (int f = 2 * axis; f < 2 * axis + 2; ++f) {
      const layer_face_desc& d = t.face[f];
      if (c[axis] < d.q_lo || c[axis] > d.q_hi) continue;
      if (in[axis] >= 0) return row_mode::general;  // inside both faces of the axis
      in[axis] = f;
    }
  }
  r.in_x = in[0] >= 0;
  r.in_y = in[1] >= 0;
  if (!r.in_x && !r.in_y && t.z[0].n == 0 && t.z[1].n == 0) return row_mode::plain;
  if (!t.fusable || i < t.regular_lo[0] || i > t.regular_hi[0] || j < t.regular_lo[1] ||
      j > t.regular_hi[1])
    return row_mode::general;
  for (int axis = 0; axis < 2; ++axis) {
    if (in[axis] < 0) continue;
    const layer_face_desc& d = t.face[in[axis]];
    const int64_t p = d.position(c[axis], t.e_side);
    for (const layer_term& term : d.term) {
      row_layers::plane_term& pt = (axis == 0 ? r.x : r.y)[term.target];
      pt.psi = term.psi + memory_index(term, axis, s, c, p);
      pt.h = d.h_spacing;
      pt.r0m1 = d.prof[p] - 1.0f;
      pt.r1 = d.prof[d.w + p];
      pt.r2 = d.prof[2 * d.w + p];
      pt.r3 = d.prof[3 * d.w + p];
    }
  }
  const grid_dims& g = a.g;
  r.cs = (t.e_side ? a.c.cs_e : a.c.cs_h) + i * g.plane + j * g.nz;
  r.dz = g.dz;
  // The z faces, which the kernels take at the row's end (see layered_row).
  for (int h = 0; h < 2; ++h) {
    const z_layer& z = t.z[h];
    row_layers::z_face& f = r.z[h];
    f.n = z.n;
    f.r = z.r.data();
    for (int m = 0; m < 2; ++m) {
      const layer_term& term = t.face[4 + h].term[m];
      f.psi[m] = z.n > 0 ? term.psi + memory_index(term, 2, s, c, 0) + z.p0 : nullptr;
    }
    f.psi_stride = t.face[4 + h].term[0].ext[2];
  }
  return row_mode::regular;
}

}  // namespace norvane::forward
