// Absorbing layers in recursive-memory form. On each lined face, a tangential
// field component F at a layer node with profile position p gets, after the
// interior update,
//   d     = D / h                       (D: staggered difference across the face)
//   F    += sign * c * ((r0 - 1) d + r1 psi)
//   psi   = r2 psi - r3 d
// with c = cs_h (H side) or cs_e (E side), r0..r3 the face's profile rows at
// p, and the old psi used in both lines. A standard convolutional layer has
// r0 = 1/kappa + a, r1 = r2 = b, r3 = -a. The E-side layer of a low face is
// shifted one node inwards from the H-side one (1 <= q <= w instead of
// 0 <= q <= w-1), matching the half-cell stagger of the two fields.
//
// The face table below is shared by the forward corrections and their
// adjoint: for every face, its two terms in the order they are applied.
#pragma once

#include <cstdint>

#include "lib/interface/args.hpp"

namespace norvane::forward {

struct layer_term {
  int target;     // component corrected (E components on the E side, H on the H side)
  int source;     // component of the other field differenced across the face
  float sign;     // sign of that difference in the curl
  int cond_axis;  // the node's coordinate along this axis must be <= n-2
  float* psi;     // memory array of this face and component
  int64_t ext[3]; // memory extents along x, y, z (along the normal: the slab count)
};

struct layer_face_desc {
  int axis = 0;        // normal axis
  bool high = false;
  int w = 0;           // width; 0 = face not lined
  const float* prof = nullptr;
  int64_t n = 0;       // extent of the normal axis
  float h_spacing = 0; // grid spacing along the normal
  int64_t q_lo = 0, q_hi = -1;  // layer range along the normal
  layer_term term[2];

  // Profile position of normal coordinate q (inner edge 0, outer face w-1).
  int64_t position(int64_t q, bool e_side) const {
    if (high) return q - (n - 1 - w);
    return e_side ? w - q : w - 1 - q;
  }
};

struct layer_table {
  bool e_side = false;
  layer_face_desc face[6];
};

layer_table make_layer_table(const pass_args& a, bool e_side);

// Memory element of shot s at node coordinates c (c[axis] replaced by p).
inline int64_t memory_index(const layer_term& t, int axis, int64_t s, const int64_t (&c)[3],
                            int64_t p) {
  int64_t q[3] = {c[0], c[1], c[2]};
  q[axis] = p;
  return ((s * t.ext[0] + q[0]) * t.ext[1] + q[1]) * t.ext[2] + q[2];
}


}  // namespace norvane::forward
