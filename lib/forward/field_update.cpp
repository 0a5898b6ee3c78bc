// Phases A and C of the forward step and the choice of instruction set.
// The rows (s, i, j) of all shots are shared among the threads with a static
// schedule; each row's nodes write only their own elements and read only the
// other field type, so neither the partition nor the order of the rows can
// change any result.
#include "lib/forward/field_update.hpp"

#include <unistd.h>

#include <algorithm>

#include "lib/forward/rows.hpp"
#include "lib/kernels/isa.hpp"

namespace norvane::forward {

const row_kernels& active_row_kernels() {
  return *kernels::by_active_isa(row_kernels_generic(), row_kernels_avx2(), row_kernels_avx512());
}

const char* simd_backend_name() { return active_row_kernels().name; }

namespace {

int64_t g_forced_tile_columns = 0;

// Bytes of x planes a tile may keep in the core's L2: a quarter of it, so
// that the rows' own arrays and the y stencils' rows fit beside them.
int64_t tile_budget() {
  static const int64_t budget = [] {
    const long l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
    return l2 > 0 ? static_cast<int64_t>(l2) / 4 : int64_t{256} << 10;
  }();
  return budget;
}

// A row's x differences read the other field at `order` planes around it,
// two components each. Swept plane after plane, a source row is read again
// by the next `order` - 1 planes; where those planes exceed the L2, every
// read comes from the next level. Tiles of columns j whose planes fit keep
// the rereads in L2. The tile widths are balanced, at least 8 columns, and
// a sweep is tiled only when it needs three tiles or more: with two, runs
// measured up to 10 % slower, the rereads saved being fewer than the misses
// at each tile's edge, where the row kernels' prefetch of the row ahead in
// memory asks too late or for nothing. Returns the columns per tile (ny:
// untiled).
int64_t tile_columns(const pass_args& a) {
  if (g_forced_tile_columns > 0) return g_forced_tile_columns;
  const int64_t column = int64_t{a.order} * 2 * a.g.nz * int64_t{sizeof(float)};
  const int64_t fit = std::max<int64_t>(8, tile_budget() / std::max<int64_t>(column, 1));
  const int64_t tiles = (a.g.ny + fit - 1) / fit;
  if (tiles < 3) return a.g.ny;
  return (a.g.ny + tiles - 1) / tiles;
}

template <class RowFn>
void sweep(const pass_args& a, const row_hook* hook, RowFn update) {
  auto row = [&](int64_t s, int64_t i, int64_t j) {
    if (hook) hook->before(s, i, j);
    update(s, i, j);
    if (hook) hook->after(s, i, j);
  };
  const int64_t cols = tile_columns(a);
  if (cols < a.g.ny)
    for_each_row_tiled(a, cols, row);
  else
    for_each_row(a, row);
}

}  // namespace

void force_tile_columns(int64_t cols) { g_forced_tile_columns = cols; }

void update_h(const pass_args& a, const row_kernels& k, const row_hook* hook) {
  sweep(a, hook, [&](int64_t s, int64_t i, int64_t j) { k.h_row(a, s, i, j); });
}

void update_e(const pass_args& a, const row_kernels& k, const row_hook* hook) {
  sweep(a, hook, [&](int64_t s, int64_t i, int64_t j) { k.e_row(a, s, i, j); });
}

// The layer corrections of a row read only the other field type, which the
// update of this field leaves alone, and touch only the row's own nodes; so
// each row is corrected together with its update, with the same per-node
// sequence of operations as two separate sweeps. Rows that meet no x or y
// layer still carry the z layers at both ends.
void update_h_with_layers(const pass_args& a, const layer_table& t, const row_kernels& k,
                          const row_hook* hook) {
  sweep(a, hook, [&](int64_t s, int64_t i, int64_t j) { k.h_layered_row(a, t, s, i, j); });
}

void update_e_with_layers(const pass_args& a, const layer_table& t, const row_kernels& k,
                          const row_hook* hook) {
  sweep(a, hook, [&](int64_t s, int64_t i, int64_t j) { k.e_layered_row(a, t, s, i, j); });
}

}  // namespace norvane::forward
