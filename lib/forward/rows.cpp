// The tile widths of the row sweeps.
#include "lib/forward/rows.hpp"

#include <unistd.h>

#include <algorithm>

namespace norvane::forward {
namespace {

int64_t g_forced_tile_columns = 0;
bool g_forced_pairs = false;
int g_forced_aligned_order2 = -1;

// Bytes of x planes a tile may keep in the core's L2: a quarter of it, so
// that the rows' own arrays and the y stencils' rows fit beside them (a
// half or an eighth measured 3-11 % slower at 256^3, orders 4 and 8).
int64_t tile_budget() {
  static const int64_t budget = [] {
    const long l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
    return l2 > 0 ? static_cast<int64_t>(l2) / 4 : int64_t{256} << 10;
  }();
  return budget;
}

}  // namespace

bool intel_cpu() {
  static const bool intel = [] {
    __builtin_cpu_init();
    return __builtin_cpu_is("intel") != 0;
  }();
  return intel;
}

// A row's x differences read two components of the other field at `order`
// planes around it. Swept plane after plane, a source row is read again by
// the next `order` - 1 planes; where those planes exceed the L2, every read
// comes from the next level. Tiles of columns j whose planes fit keep the
// rereads in L2. The transposes read the adjoint sources' two components
// and the curl factor there, and measured best at the same widths (tiles
// sized for three arrays lost 1-5 %).
//
// The tile widths are balanced and at least 8 columns, and a sweep is tiled
// only when it needs three tiles or more: two tiles (128^3 at order 8)
// measured within noise of none, in both passes.
//
// Tiling pays only because the kernels' prefetches follow the sweep's
// order across the tile edges (see tile_order): asking for the next row in
// memory there, the order-8 transposes lost 2-9 % against no tiles.
//
// The shots go one after the other, each reading the coefficient rows
// again. Taking row (i, j) of every shot in turn would read them once for
// all, but hold the x planes of every shot at once: on 96^3 with four shots
// the order-2 forward without layers gained 8 %, yet with layers it lost
// 16-30 % and the backward 19-20 %; at orders 4 and 8 the planes outgrow the
// L2 (untiled 10 % and up to 2.3 times slower, tiled for them 30 % slower).
int64_t tile_columns(const pass_args& a) {
  if (g_forced_tile_columns > 0) return g_forced_tile_columns;
  const int64_t column = int64_t{a.order} * 2 * a.g.nz * int64_t{sizeof(float)};
  const int64_t fit = std::max<int64_t>(8, tile_budget() / std::max<int64_t>(column, 1));
  const int64_t tiles = (a.g.ny + fit - 1) / fit;
  if (tiles < 3) return a.g.ny;
  return (a.g.ny + tiles - 1) / tiles;
}

// Untiled, the second-order transposes read each source plane again one
// plane later, after a whole plane of rows. Where the planes the rows read
// (three sources and the curl factor, two planes each) outgrow the share of
// L2 a tile may keep, the lines are gone by then, and taking the rows two
// planes at a time reads them while they are still in L1: 6-17 % faster
// from 128^3 to 256^3. Where they fit, pairing only doubles the streams
// the prefetchers follow (96^3 with four shots: 10 % slower). The wider
// stencils' tiles keep their planes in L2, and pairs there measured up to
// 12 % slower (orders 4 and 8 at 128^3 and 160^3, which are untiled).
// Those gains were a Xeon's. On an AMD EPYC (Zen 5: 48 KB L1d, 1 MB L2),
// where the second reads come back from L3 cheaply and the doubled streams
// cost more, the pairs were slower at every size: 4-8 % at 96^3 (11 % with
// four shots), 15-17 % at 128^3 and 160^3, 4-6 % at 192^3, 2 % at 256^3.
// So only Intel CPUs take them.
bool pair_planes(const pass_args& a) {
  if (g_forced_pairs) return true;
  if (a.order != 2 || tile_columns(a) < a.g.ny || !intel_cpu()) return false;
  return large_planes(a);
}

bool large_planes(const pass_args& a) {
  return 8 * a.g.plane * int64_t{sizeof(float)} >= tile_budget();
}

void force_tile_columns(int64_t cols) { g_forced_tile_columns = cols; }

void force_pair_planes(bool on) { g_forced_pairs = on; }

void force_aligned_order2(int mode) { g_forced_aligned_order2 = mode; }

int forced_aligned_order2() { return g_forced_aligned_order2; }

}  // namespace norvane::forward
