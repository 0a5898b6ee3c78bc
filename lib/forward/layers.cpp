// The face table of the absorbing layers (the recursion is derived in
// layers.hpp): per face its normal axis, layer range and the two terms with
// their components, signs, memories and memory extents.
#include "lib/forward/layers.hpp"


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
  return t;
}

}  // namespace norvane::forward
