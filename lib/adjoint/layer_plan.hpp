// Plans of the absorbing-layer transposes (phases D and F): where each row's
// layer terms come from, formed once per side and call (see
// layers_adjoint_kernels.inl for how the rows use them).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "lib/forward/layers.hpp"
#include "lib/interface/args.hpp"

namespace norvane::adjoint {

// Nodes of a face's layer along its axis (0 for a face without one).
inline int64_t face_nodes(const forward::layer_face_desc& fd) {
  return fd.w > 0 ? std::max<int64_t>(fd.q_hi - fd.q_lo + 1, 0) : 0;
}

// One z-face displacement d over an end range [k0, k1): the range's node
// x takes v_h(k0 + x + d) * w[x] where keep[x] is all ones (the source
// reaches it), and is left as it is where keep[x] is 0.
struct z_slot {
  int h, d;
  const float* w;
  const uint32_t* keep;
};

// An end range with its slots in order (d, then the low face first), the
// first n_behind of them with d < 0.
struct z_range {
  int64_t k0 = 0, k1 = 0;
  int first = 0, n_behind = 0, n = 0;
};

// A source along axis x or y of a target row: its face, its coordinate qs
// along the axis, its profile position p there with the profile values
// r0 - 1 and -r3, and the signed stencil weight w.
struct xy_entry {
  int f;
  int64_t qs, p;
  float r0m1, nr3, w;
};

// The sources along one axis of the rows whose coordinate there is qt:
// entries [first, first + n) of the plan's list, in order of displacement,
// low face first; the first n_behind lie behind the row, the next n_own at
// it.
struct xy_span {
  int first = 0, n = 0, n_behind = 0, n_own = 0;
};

// Everything that depends on the side and the grid only, formed by every
// thread for itself once per backward call (the source value rows v are the
// thread's own scratch), not once per step.
struct side_plan {
  side_plan(const pass_args& a, const forward::layer_table& t, bool e_side);
  side_plan(const side_plan&) = delete;  // v points into pool
  side_plan& operator=(const side_plan&) = delete;

  const pass_args& a;
  const forward::layer_table& t;
  bool e_side;
  float* const* read;  // adjoint of the corrected components
  float* const* into;  // adjoint of the differenced components (gathered)
  const float* K;      // cs_e or cs_h
  float inv_h[3];
  int M;               // nominal half-width
  int d_lo, d_hi;      // displacements q_source - q_target a stencil spans
  // z faces: profile rows by node of the layer (index k - q_lo), the source
  // values of the current row per component 0, 1 (index k + M, zero off the
  // layer), the end ranges with their slots, and the middle [k_a, k_b) they
  // leave.
  const float *r0m1[2] = {}, *nr3[2] = {}, *r1[2] = {}, *r2[2] = {};
  float* v[2][2] = {};
  z_slot slot[32] = {};
  z_range range[2];
  int n_ranges = 0;
  int64_t k_a = 0, k_b = 0;
  std::vector<float> pool;
  std::vector<uint32_t> keep_pool;
  // x and y faces: the sources of every target coordinate along each axis.
  std::vector<xy_span> span[2];
  std::vector<xy_entry> entries;
};

}  // namespace norvane::adjoint
