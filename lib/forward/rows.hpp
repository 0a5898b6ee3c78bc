// Row decomposition shared by the phases that sweep the grid: rows (s, i, j)
// of all shots, split among the threads by a static schedule (one contiguous
// block each, with the implicit barrier of the worksharing loop at the end).
// Must be called by every thread of the team.
//
// Every phase reads only arrays it does not write (or its own row), so the
// order of the rows is free; it is chosen for the caches. The x-axis
// stencils read the rows (i +- m, j), one plane apart when rows run i-major,
// so a sweep needs 2m planes of each source array to stay cached. Rows run
// instead in tiles of `tile` consecutive j, i-major within a tile: the planes
// of a tile are small enough to stay in the core's cache.
#pragma once

#include <algorithm>
#include <cstdint>

#include "lib/interface/args.hpp"

namespace norvane::forward {

// j-rows per tile: about 4096 elements per plane of a tile.
inline int64_t row_tile(const grid_dims& g) {
  return std::clamp<int64_t>(4096 / std::max(g.nz, 1), 4, std::max(g.ny, 1));
}

template <class RowFn>
inline void for_each_row(const pass_args& a, RowFn row) {
  const int64_t nx = a.g.nx, ny = a.g.ny;
  const int64_t rows_per_shot = nx * ny;
  const int64_t rows = rows_per_shot > 0 ? static_cast<int64_t>(a.n_shots) * rows_per_shot : 0;
  const int64_t tile = row_tile(a.g), rows_per_tile = nx * tile;
#pragma omp for schedule(static)
  for (int64_t r = 0; r < rows; ++r) {
    const int64_t s = r / rows_per_shot;
    const int64_t rem = r - s * rows_per_shot;
    const int64_t t = rem / rows_per_tile;
    const int64_t p = rem - t * rows_per_tile;
    const int64_t width = std::min(tile, ny - t * tile);
    const int64_t i = p / width;
    row(s, i, t * tile + (p - i * width));
  }
}

}  // namespace norvane::forward
