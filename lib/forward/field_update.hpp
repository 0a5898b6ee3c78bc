// Interior field updates (leapfrog curl steps) of the forward pass:
//   H <- ca_h H - cb (curl E),   E <- ca_e E + cb (curl H)
// with the curl factor cb scaled per axis (cb_y = (dx*cb)/dy unless dy == dx).
// Each component is written only inside its update region: H not on its own
// axis's first and last node nor on the last node of the other two axes; E
// not on its own axis's last node nor on the outer faces where it is
// tangential, which therefore act as electric walls.
//
// The loops run row by row: rows (s, i, j) are shared among the threads and
// the k axis is the inner, vectorised loop, evaluated with the full stencil
// where it fits and with the reduced stencils at the few end positions. The
// row kernels exist once per instruction set, all computing identical bits.
#pragma once

#include <cstdint>

#include "lib/forward/layers.hpp"
#include "lib/kernels/isa.hpp"
#include "lib/interface/args.hpp"

namespace norvane::forward {

struct row_kernels {
  const char* name;
  kernels::isa_level level;
  // One row (s, i, j) of the H update (phase A) or E update (phase C);
  // `ahead`: the distance in memory, in rows, to the row the sweep takes
  // rows_ahead rows later, which the kernels ask the caches for (at order
  // 8, and for the z layer faces of the layered rows).
  void (*h_row)(const pass_args& a, int64_t s, int64_t i, int64_t j, int64_t ahead);
  void (*e_row)(const pass_args& a, int64_t s, int64_t i, int64_t j, int64_t ahead);
  // One row of the H (phases A+B) or E update (C+D) followed by its
  // absorbing-layer corrections.
  void (*h_layered_row)(const pass_args& a, const layer_table& t, int64_t s, int64_t i, int64_t j,
                        int64_t ahead);
  void (*e_layered_row)(const pass_args& a, const layer_table& t, int64_t s, int64_t i, int64_t j,
                        int64_t ahead);
};

// Kernels of each instruction set (null where the build or the CPU lacks it).
const row_kernels* row_kernels_generic();
const row_kernels* row_kernels_avx2();
const row_kernels* row_kernels_avx512();

// The widest set this CPU runs, or the one named by NORVANE_SIMD
// ("generic", "avx2", "avx512") when that is set and available.
const row_kernels& active_row_kernels();
const char* simd_backend_name();

// Work a sweep does around each row's update while the row's fields are in
// cache (the snapshot writers): before(s, i, j) right before the row is
// updated, after(s, i, j) right after, both on the thread updating it.
struct row_hook {
  virtual void before(int64_t, int64_t, int64_t) const {}
  virtual void after(int64_t, int64_t, int64_t) const {}

 protected:
  ~row_hook() = default;
};

// Worksharing phases over all rows of all shots (implicit closing barrier),
// in tiles of columns j when the x planes overflow the L2 (see rows.hpp);
// `hook` null: none.
void update_h(const pass_args& a, const row_kernels& k, const row_hook* hook);
void update_e(const pass_args& a, const row_kernels& k, const row_hook* hook);
// The same with each row's absorbing-layer corrections applied right after
// its update (phases A+B and C+D).
void update_h_with_layers(const pass_args& a, const layer_table& t, const row_kernels& k,
                          const row_hook* hook);
void update_e_with_layers(const pass_args& a, const layer_table& t, const row_kernels& k,
                          const row_hook* hook);

}  // namespace norvane::forward
