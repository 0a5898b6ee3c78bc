// Row decomposition shared by the phases that sweep the grid: rows (s, i, j)
// of all shots, split among the threads by a static schedule (one contiguous
// block each, with the implicit barrier of the worksharing loop at the end).
// Must be called by every thread of the team.
#pragma once

#include <algorithm>
#include <cstdint>

#include "lib/interface/args.hpp"

namespace norvane::forward {

// The rows of all shots, and row r of them as (s, i, j).
inline int64_t row_count(const pass_args& a) {
  const int64_t rows_per_shot = static_cast<int64_t>(a.g.nx) * a.g.ny;
  return rows_per_shot > 0 ? static_cast<int64_t>(a.n_shots) * rows_per_shot : 0;
}

template <class RowFn>
inline void visit_row(const pass_args& a, int64_t r, RowFn& row) {
  const int64_t rows_per_shot = static_cast<int64_t>(a.g.nx) * a.g.ny;
  const int64_t s = r / rows_per_shot;
  const int64_t ij = r - s * rows_per_shot;
  const int64_t i = ij / a.g.ny;
  row(s, i, ij - i * a.g.ny);
}

template <class RowFn>
inline void for_each_row(const pass_args& a, RowFn row) {
  const int64_t rows = row_count(a);
#pragma omp for schedule(static)
  for (int64_t r = 0; r < rows; ++r) visit_row(a, r, row);
}

// The rows in tiles of `cols` columns j: every row (s, i, j) of a tile, i
// outer, before the next tile (the last tile may be narrower).
template <class RowFn>
inline void for_each_row_tiled(const pass_args& a, int64_t cols, RowFn row) {
  const int64_t rows = row_count(a);
  const int64_t rows_per_shot = static_cast<int64_t>(a.g.nx) * a.g.ny;
  const int64_t rows_per_tile = a.g.nx * cols;
#pragma omp for schedule(static)
  for (int64_t r = 0; r < rows; ++r) {
    const int64_t s = r / rows_per_shot;
    const int64_t q = r - s * rows_per_shot;
    const int64_t t = q / rows_per_tile;
    const int64_t in_tile = q - t * rows_per_tile;
    const int64_t width = std::min<int64_t>(cols, a.g.ny - t * cols);
    const int64_t i = in_tile / width;
    row(s, i, t * cols + in_tile - i * width);
  }
}

// Rows in runs of `run` consecutive rows, each run owned by one thread:
// `first` on every row of the run, then `second` on every row of it.
template <class FirstFn, class SecondFn>
inline void for_each_row_run(const pass_args& a, int64_t run, FirstFn first, SecondFn second) {
  const int64_t rows = row_count(a);
  const int64_t n_runs = (rows + run - 1) / run;
#pragma omp for schedule(static)
  for (int64_t b = 0; b < n_runs; ++b) {
    const int64_t r0 = b * run, r1 = std::min(rows, r0 + run);
    for (int64_t r = r0; r < r1; ++r) visit_row(a, r, first);
    for (int64_t r = r0; r < r1; ++r) visit_row(a, r, second);
  }
}

// Some sweeps first ask for the lines of the row `rows_ahead` further on.
// Order-8 rows read each difference along x from 8 planes (and the
// transposes gather from 8): with a row's own arrays that is more streams
// than the hardware prefetchers follow, and the loads from the newest plane
// and the streamed arrays miss. The adjoint sweeps are the first of a step
// to touch their targets, in loops too short to keep many misses in flight.
// (The forward rows of orders 2 and 4 and the order-2 curl transposes gain
// nothing: there the prefetchers keep up and the extra instructions cost.)
// A prefetch never faults, so addresses past an array's end are harmless.
// Both helpers are forced inline: called out of line from the row kernels,
// the order-8 passes measured 25-30 % slower.
inline constexpr int64_t rows_ahead = 4;

__attribute__((always_inline)) inline void prefetch_row(const float* p, int64_t n) {
  for (int64_t k = 0; k < n; k += 16) __builtin_prefetch(p + k);
}

// prefetch_row for each of several rows of n elements.
template <class... Rows>
__attribute__((always_inline)) inline void prefetch_rows(int64_t n, Rows... rows) {
  (prefetch_row(rows, n), ...);
}

}  // namespace norvane::forward
