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

#include <cmath>
#include <cstdint>
#include <vector>

#include "lib/interface/args.hpp"
#include "lib/kernels/cell.hpp"

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

// A lined z face as the row kernels use it: its nodes k0 .. k0+n-1 of
// every row, the profile values of each (r0-1, r1, r2, r3, n of each, in k
// order) and the memory position of node k0 (the low face's positions run
// down as k rises, the high face's up).
struct z_layer {
  int64_t k0 = 0, n = 0;
  int64_t p0 = 0;
  std::vector<float> r;
};

struct layer_table {
  bool e_side = false;
  layer_face_desc face[6];
  // Whether regular rows may carry their corrections (see row_layers): the z
  // layer ranges are disjoint and lie inside the k range of the components
  // they correct, and every axis has 3 or more nodes.
  bool fusable = false;
  z_layer z[2];  // low and high z face (n = 0: not lined)
  // Rows (i, j) with regular_lo[0] <= i <= regular_hi[0] and likewise j
  // lie off the grid's outer rows and take the nominal x and y stencils.
  int64_t regular_lo[2] = {0, 0}, regular_hi[2] = {-1, -1};
};

layer_table make_layer_table(const pass_args& a, bool e_side);

// One correction with its profile values r0-1, r1, r2, r3 at the node; D is
// the difference across the face, psi the node's memory (updated in place).
template <bool Plus>
NORVANE_CELL float layer_correct(float F, float c, float D, float h, float r0m1, float r1, float r2,
                                 float r3, float& psi) {
  const float d = D / h;
  const float p_old = psi;
  const float inner = std::fma(r0m1, d, r1 * p_old);
  psi = std::fma(r2, p_old, -(d * r3));
  return Plus ? std::fma(c, inner, F) : std::fma(-c, inner, F);
}

// The x and y corrections of a regular row (s, i, j), in the form the
// interior update carries them: 1 <= i <= nx-2, 1 <= j <= ny-2, nominal x
// and y stencils, and inside at most one face per axis. So every component's
// interior k range is the standard one and each component has at most one x
// and one y correction per node, which it takes in that order right after
// its update; the difference a correction needs is the one the curl has just
// formed, and it adds with the sign of that difference in the curl. The few
// nodes an x or y correction reaches outside the interior k range (k = 0 and
// nz-1 of hz, ex and ey) are corrected after the loop. The row kernels
// take the z corrections of the x and y components too, last: on a regular
// row the low z face's nodes start at the component's first node (k = 0 for
// H, 1 for E) and the high face's end at nz-2, its last one, and the face
// nodes of both components are corrected once the row's three components
// are updated (no component reads another of its own field), so every node
// still takes its corrections in the order x, y, z.
struct row_layers {
  struct plane_term {
    float* psi;  // memory at k = 0 of the row
    float h, r0m1, r1, r2, r3;
  };
  // A z face of the row (n = 0: not lined): the profile values of its n
  // nodes (as in z_layer) and the memory of the x and y component at its
  // first node; the low face's memory positions run down as k rises, the
  // high face's up.
  struct z_face {
    int64_t n;
    const float* r;
    float* psi[2];
    int64_t psi_stride;  // from one row's memories to the next one's
  };
  const float* cs;  // cs_h or cs_e at k = 0 of the row
  bool in_x, in_y;
  plane_term x[3], y[3];  // by corrected component (where the row is in the layer)
  z_face z[2];            // low, high
  float dz;

  template <bool Plus>
  NORVANE_CELL float plane(float F, const plane_term& t, float c, float D, int64_t k) {
    return layer_correct<Plus>(F, c, D, t.h, t.r0m1, t.r1, t.r2, t.r3, t.psi[k]);
  }
};

// How a row takes its corrections: none at all, by the regular row kernels
// (`r` filled), or by the general sweep after the update.
enum class row_mode { plain, regular, general };

// Asks for the low y face's memory rows of row (s, i, j), where it has
// them. The memories are stored by profile position, which on a low face
// runs down as the coordinate rises: the rows of a plane take that face's
// memory rows in falling order, each a short ascending run, which the
// hardware prefetchers do not follow, so each row's first loads of them
// missed. (The x faces' rows, and the high y face's, run up, and need no
// asking.) Asked for rows_ahead rows early, the forward with 10-cell
// layers on 96^3 ran 6-11 % faster at orders 2 to 8. Longer rows give the
// prefetchers time to catch up: on 128^3 and 160^3 asking measured within
// noise, and on 256^3 it cost order 8 2-4 %, so only rows of at most
// short_memory_row nodes ask.
inline constexpr int64_t short_memory_row = 128;
void prefetch_low_y_memories(const pass_args& a, const layer_table& t, int64_t s, int64_t i,
                             int64_t j);

row_mode make_row_layers(const pass_args& a, const layer_table& t, int64_t s, int64_t i, int64_t j,
                         row_layers& r);

// Memory element of shot s at node coordinates c (c[axis] replaced by p).
inline int64_t memory_index(const layer_term& t, int axis, int64_t s, const int64_t (&c)[3],
                            int64_t p) {
  // (Selects rather than a copy of c indexed by axis, which went through
  // the stack.)
  const int64_t q0 = axis == 0 ? p : c[0], q1 = axis == 1 ? p : c[1], q2 = axis == 2 ? p : c[2];
  return ((s * t.ext[0] + q0) * t.ext[1] + q1) * t.ext[2] + q2;
}


}  // namespace norvane::forward
