// Gather plans of the interior-update transposes (phases E and G).
//
// The transposed curl is a sum: each adjoint element receives a fixed set of
// contributions +-c * (cb * v) from the source nodes within a stencil's
// reach along two axes, and a scatter sweep in increasing node order adds
// them in one fixed order. A plan lists, for one target row, exactly those
// contributions in exactly that order:
//   outer-axis sources behind the target, inner-axis sources behind,
//   the inner-axis source at the target node, the outer-axis one there,
//   inner-axis sources ahead, outer-axis sources ahead
// (outer = the larger stride; at a shared node the component earlier in
// x, y, z order scatters first, which is always the inner-axis one).
//
// The row is swept in blocks of 16 targets, placed on vector boundaries of
// the target array (so a plan is built per phase a row can start at): runs
// of blocks whose targets all receive the same ordered terms share one list,
// and the blocks at the row ends, where the sources' stencils shrink and the
// first vector boundary falls, carry per-lane coefficients (rows
// that cannot use blocks are cut into segments of targets with equal terms
// instead). Rows differ only within a stencil's reach of the x and y faces,
// so the rows of a component fall into a few classes per axis. Rows that
// receive the same ordered terms (of any class or component) and are alike
// in being a shot's first or last row or not share one plan, built once per
// phase and call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/interface/args.hpp"

namespace norvane::adjoint {

// Update region of a component: lo..hi per axis (inclusive, hi relative to n-1).
struct update_region {
  int lo[3];
  int hi_from_end[3];  // hi = n - 1 - hi_from_end

  bool contains(int axis, int64_t q, int64_t n) const {
    return q >= lo[axis] && q <= n - 1 - hi_from_end[axis];
  }
};

// H components are not updated on their own axis's first and last node nor
// on the last node of the others; E components not on their own axis's last
// node nor on the outer faces of the other two.
inline constexpr update_region h_region[3] = {
    {{1, 0, 0}, {1, 1, 1}}, {{0, 1, 0}, {1, 1, 1}}, {{0, 0, 1}, {1, 1, 1}}};
inline constexpr update_region e_region[3] = {
    {{0, 1, 1}, {1, 1, 1}}, {{1, 0, 1}, {1, 1, 1}}, {{1, 1, 0}, {1, 1, 1}}};

// One contribution to the target at k: the source element lies `offset`
// elements from the target in component `comp` of the same shot, and adds
// (cbs * v) * coef. cbs is cb at the source node, rescaled to (dx*cb)/h on a
// y or z scatter axis whose spacing h differs from dx (scale = that axis).
// The sign of the scatter (gain or loss, and the curl's sign) is folded into
// coef, which is exact: a + (-p) is a - p and (-x)*c is -(x*c).
struct gather_term {
  int64_t offset;
  float coef;
  int comp;
  int scale;
};

// Targets k0..k1 of a row, all receiving terms[first .. first+count).
struct gather_segment {
  int64_t k0, k1;
  int first, count;
};

// Rows are swept in blocks of `block_lanes` targets; the last block of a
// row ends at the row's end and may overlap the one before it.
inline constexpr int block_lanes = 16;

// A term of a block whose lanes differ: lane l adds (cbs * v) * coef[l]
// where coef[l] is set and keeps its value where coef[l] is 0 (a stencil
// coefficient is never 0, so the coefficients are the lane mask too: a
// separate mask made each lane term half as large again, and the row-end
// blocks load their lane terms for every row). Lanes outside the mask may
// read elements beyond the row's ends, never beyond its neighbour rows.
struct lane_term {
  int64_t offset;
  int comp;
  int scale;
  alignas(64) float coef[block_lanes];
};

// n_blocks consecutive blocks from target k. A uniform piece gives every
// lane of every block terms[first .. first+count); a mixed piece is one
// block with lane_terms[first .. first+count).
struct gather_piece {
  int64_t k;
  int64_t n_blocks;
  bool uniform;
  int first, count;
};

// A row runs either as blocks (pieces) or, where a block's lanes could read
// outside the arrays (the first and last row of a shot's grid) or the row is
// shorter than a block, as segments.
struct row_plan {
  bool blocked;
  int first, count;  // pieces or segments
};

struct gather_plan {
  // h_transpose: phase G (adjoint H -> adjoint E, transposed forward
  // differences); otherwise phase E (adjoint E -> adjoint H).
  gather_plan(const pass_args& a, bool h_transpose);

  // Position of p within its vector of block_lanes floats.
  static int phase_of(const float* p) {
    return static_cast<int>(reinterpret_cast<uintptr_t>(p) / sizeof(float) % block_lanes);
  }

  // Plan of the target row (i, j) of component `comp` whose node 0 lies at
  // `start`. The plans of every phase add the same terms in the same order;
  // the phase only places the blocks on vector boundaries.
  const row_plan& row(int comp, int64_t i, int64_t j, const float* start) const {
    return rows[slot[phase_of(start)] * per_phase +
                (static_cast<std::size_t>(comp) * x.count + x.of(i)) * y.count + y.of(j)];
  }

  std::vector<gather_term> terms;
  std::vector<lane_term> lane_terms;
  std::vector<gather_segment> segments;
  std::vector<gather_piece> pieces;
  bool any_scaled = false;  // some term has scale != 0

 private:
  // Positions on an axis within `margin` of either end are classes of their
  // own; the rest share one class (their plans are identical).
  struct axis_classes {
    int64_t n = 0;
    int count = 0;
    static constexpr int margin = 9;
    explicit axis_classes(int64_t len);
    int of(int64_t q) const {  // (inline: the sweeps ask it for every row)
      if (n <= 2 * margin + 1 || q < margin) return static_cast<int>(q);
      if (q > n - 1 - margin) return static_cast<int>(q - (n - 1 - margin)) + margin;
      return margin;
    }
    int64_t representative(int cls) const;
  };
  axis_classes x, y;
  // Plans by phase slot, component and row class; slot[p] is the slot of
  // phase p (0 for phases no target row starts at).
  std::array<int, block_lanes> slot{};
  std::size_t per_phase = 0;
  std::vector<row_plan> rows;
};

}  // namespace norvane::adjoint
