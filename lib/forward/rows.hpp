// Row decomposition shared by the phases that sweep the grid: rows (s, i, j)
// of all shots, split among the threads by a static schedule (one contiguous
// block each, with the implicit barrier of the worksharing loop at the end).
// Must be called by every thread of the team.
#pragma once

#include <algorithm>
#include <cstdint>

#include "lib/interface/args.hpp"

namespace norvane::forward {

// See the prefetch helpers below.
inline constexpr int64_t rows_ahead = 4;

// The rows of all shots.
inline int64_t row_count(const pass_args& a) {
  const int64_t rows_per_shot = static_cast<int64_t>(a.g.nx) * a.g.ny;
  return rows_per_shot > 0 ? static_cast<int64_t>(a.n_shots) * rows_per_shot : 0;
}

// Each thread's positions of a static schedule are consecutive: the first
// one is found by divisions, each next one by stepping from the last. (The
// divisions, three a row in the tiled order, held 3 % of the forward's
// samples with layers on 96^3. Stepping made the forward without layers
// 13 % faster at order 2 on 64^3 and 10 % on 96^3, 3-8 % at order 4; with
// layers 1-6 %, and the backward with layers 2-7 %.) The plain order steps
// here without the tiled order's `ahead`, which these callers do not need:
// through tile_order the layered backward measured 1-3 % slower.
template <class RowFn>
inline void for_each_row(const pass_args& a, RowFn row) {
  const int64_t rows = row_count(a);
  const int64_t nx = a.g.nx, ny = a.g.ny;
  int64_t s = 0, i = 0, j = 0, next = -1;
#pragma omp for schedule(static)
  for (int64_t r = 0; r < rows; ++r) {
    if (r != next) {
      s = r / (nx * ny);
      i = (r - s * nx * ny) / ny;
      j = r - (s * nx + i) * ny;
    }
    next = r + 1;
    row(s, i, j);
    if (++j == ny) {
      j = 0;
      if (++i == nx) i = 0, ++s;
    }
  }
}

// The rows in tiles of `cols` columns j (cols >= ny: one tile, the plain
// order): position r of the sweep is row (s, i, j) of tile t, every row
// (s, i, j) of a tile, i outer, before the next tile (the last tile may be
// narrower).
struct tile_order {
  int64_t nx, ny, cols, rows_per_shot, rows;

  tile_order(const pass_args& a, int64_t c) : tile_order(a.g.nx, a.g.ny, a.n_shots, c) {}

  // The same order over an nx x ny grid of rows per shot.
  tile_order(int64_t nx_, int64_t ny_, int64_t shots, int64_t c)
      : nx(nx_), ny(ny_), cols(std::max<int64_t>(1, std::min<int64_t>(c, ny_))),
        rows_per_shot(nx_ * ny_), rows(rows_per_shot > 0 ? shots * rows_per_shot : 0) {}

  // Row (s, i, j) at position r, which lies in a tile of `width` columns
  // from column t0.
  void at(int64_t r, int64_t& s, int64_t& i, int64_t& j, int64_t& t0, int64_t& width) const {
    s = r / rows_per_shot;
    const int64_t q = r - s * rows_per_shot;
    const int64_t per_tile = nx * cols;
    const int64_t t = q / per_tile;
    const int64_t in_tile = q - t * per_tile;
    t0 = t * cols;
    width = std::min<int64_t>(cols, ny - t0);
    i = in_tile / width;
    j = t0 + in_tile - i * width;
  }

  // A position as at gives it, stepped along the order by advance.
  struct cursor {
    int64_t s = 0, i = 0, j = 0, t0 = 0, width = 0;
  };
  cursor cursor_at(int64_t r) const {
    cursor c;
    at(r, c.s, c.i, c.j, c.t0, c.width);
    return c;
  }
  void advance(cursor& c) const {
    if (++c.j < c.t0 + c.width) return;
    if (++c.i < nx) {
      c.j = c.t0;
      return;
    }
    c.i = 0;
    c.t0 += cols;
    if (c.t0 >= ny) c.t0 = 0, ++c.s;
    c.width = std::min<int64_t>(cols, ny - c.t0);
    c.j = c.t0;
  }

  // Calls row(s, i, j, ahead) for position r (at cursor c), where `ahead`
  // is the distance in memory, in rows, from this row to the one the sweep
  // takes rows_ahead positions later: the rows the kernels ask the caches
  // for. In the plain order that is rows_ahead; in a tile it is that too,
  // or the step to the next plane's first columns near the tile's edge.
  template <class RowFn>
  void visit(int64_t r, const cursor& c, RowFn& row) const {
    const int64_t s = c.s, i = c.i, j = c.j, t0 = c.t0, width = c.width;
    int64_t ahead = rows_ahead;
    if (j - t0 + rows_ahead >= width) {
      if (width >= rows_ahead && i + 1 < nx) {
        ahead = ny - width + rows_ahead;
      } else if (r + rows_ahead < rows) {  // the next tile, or narrow tiles
        int64_t s2, i2, j2, t2, w2;
        at(r + rows_ahead, s2, i2, j2, t2, w2);
        ahead = ((s2 - s) * nx + (i2 - i)) * ny + (j2 - j);
      }
    }
    row(s, i, j, ahead);
  }
};

// The rows two planes at a time: position r of the sweep is the pair of
// rows (s, i, j) and, where two, (s, i + 1, j), for even i, in the tiled
// order of the pairs (tiles of `cols` columns, pairs of planes outer).
struct pair_order {
  tile_order pairs;
  int64_t nx, ny, rows;

  pair_order(const pass_args& a, int64_t cols)
      : pairs((a.g.nx + 1) / 2, a.g.ny, a.n_shots, cols), nx(a.g.nx), ny(a.g.ny),
        rows(pairs.rows) {}

  using cursor = tile_order::cursor;
  cursor cursor_at(int64_t r) const { return pairs.cursor_at(r); }
  void advance(cursor& c) const { pairs.advance(c); }

  // Calls pair(s, i, j, ahead, two) for position r (at cursor c), where
  // `ahead` is the distance in memory, in rows, from row (s, i, j) to the
  // first row of the pair the sweep takes rows_ahead positions later.
  template <class PairFn>
  void visit(int64_t r, const cursor& c, PairFn& pair) const {
    const int64_t s = c.s, ip = c.i, j = c.j, t0 = c.t0, width = c.width;
    int64_t ahead = rows_ahead;
    if (j - t0 + rows_ahead >= width) {
      if (width >= rows_ahead && ip + 1 < pairs.nx) {
        ahead = 2 * ny - width + rows_ahead;
      } else if (r + rows_ahead < rows) {
        int64_t s2, ip2, j2, t2, w2;
        pairs.at(r + rows_ahead, s2, ip2, j2, t2, w2);
        ahead = ((s2 - s) * nx + 2 * (ip2 - ip)) * ny + (j2 - j);
      }
    }
    pair(s, 2 * ip, j, ahead, 2 * ip + 1 < nx);
  }
};

// Every position of `order` (a tile_order or a pair_order), split among
// the threads by a static schedule.
template <class Order, class Fn>
inline void for_each_position(const Order& order, Fn fn) {
  typename Order::cursor c;
  int64_t next = -1;
#pragma omp for schedule(static)
  for (int64_t r = 0; r < order.rows; ++r) {
    if (r != next) c = order.cursor_at(r);
    next = r + 1;
    order.visit(r, c, fn);
    order.advance(c);
  }
}

template <class RowFn>
inline void for_each_row_tiled(const pass_args& a, int64_t cols, RowFn row) {
  for_each_position(tile_order(a, cols), row);
}

// Rows in runs of `run` consecutive positions of the tiled order, each run
// owned by one thread: `first` on every row of the run, then `second` on
// every row of it.
template <class FirstFn, class SecondFn>
inline void for_each_row_run(const pass_args& a, int64_t cols, int64_t run, FirstFn first,
                             SecondFn second) {
  const tile_order order(a, cols);
  const int64_t n_runs = (order.rows + run - 1) / run;
  tile_order::cursor c;
  int64_t next = -1;
#pragma omp for schedule(static)
  for (int64_t b = 0; b < n_runs; ++b) {
    const int64_t r0 = b * run, r1 = std::min(order.rows, r0 + run);
    if (r0 != next) c = order.cursor_at(r0);
    next = r1;
    const tile_order::cursor c0 = c;
    for (int64_t r = r0; r < r1; ++r, order.advance(c)) order.visit(r, c, first);
    c = c0;
    for (int64_t r = r0; r < r1; ++r, order.advance(c)) order.visit(r, c, second);
  }
}

// The columns per tile of the sweeps of the curl updates and their
// transposes (ny: untiled); see rows.cpp.
int64_t tile_columns(const pass_args& a);

// Whether the transposes without layers take their rows two planes at a
// time (pair_order); see rows.cpp.
bool pair_planes(const pass_args& a);

// Whether the CPU is one of Intel's. Two choices of the transposes measured
// the other way round on an AMD EPYC (Zen 5) than on a Xeon: the rows in
// pairs (pair_planes) and, at order 2, asking for the targets ahead.
bool intel_cpu();

// Whether eight planes of one array outgrow the share of L2 a tile may keep
// (128^3 and up on a 2 MB L2): below that a sweep finds most lines it
// returns to in the caches, and asking for them gains nothing.
bool large_planes(const pass_args& a);

// Makes those transposes pair their rows at every order, tiled or not
// (false: back to the automatic choice), for tests.
void force_pair_planes(bool on);

// Makes every sweep use tiles of `cols` columns (0: back to the automatic
// choice), for tests.
void force_tile_columns(int64_t cols);

// Makes the order-2 rows without layers run aligned (1) or plain (0) on any
// grid (-1: back to the choice by the arrays' size), for tests.
void force_aligned_order2(int mode);
int forced_aligned_order2();

// Some sweeps first ask for the lines of the row they take `rows_ahead` rows
// later (`ahead` rows further on in memory, see tile_order). Order-8 rows
// read each difference along x from 8 planes: with a row's own arrays that is
// more streams than the hardware prefetchers follow, and the loads from the
// newest plane miss; the forward rows ask for those. The adjoint sweeps are
// the first of a step to touch their targets, in loops too short to keep many
// misses in flight; they ask for the targets (and, between the layer terms at
// order 8, for the sources). Asking for more measured slower: a request to
// memory holds an L1 fill buffer until its line arrives, and the stencils'
// loads from L2 wait for a free one (asking for the forward's own arrays at
// order 8 cost up to 5 %, for the transposes' sources without layers 3-9 %).
// (The forward rows of orders 2 and 4 and the order-2 curl transposes gain
// nothing: there the prefetchers keep up and the extra instructions cost.)
// A prefetch never faults, so addresses past an array's end are harmless.
// Both helpers are forced inline: called out of line from the row kernels,
// the order-8 passes measured 25-30 % slower.
__attribute__((always_inline)) inline void prefetch_row(const float* p, int64_t n) {
  for (int64_t k = 0; k < n; k += 16) __builtin_prefetch(p + k);
}

// prefetch_row for each of several rows of n elements.
template <class... Rows>
__attribute__((always_inline)) inline void prefetch_rows(int64_t n, Rows... rows) {
  (prefetch_row(rows, n), ...);
}

}  // namespace norvane::forward
