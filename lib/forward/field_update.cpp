// Phases A and C of the forward step and the choice of instruction set.
// The rows (s, i, j) of all shots are shared among the threads with a static
// schedule; each row's nodes write only their own elements and read only the
// other field type, so neither the partition nor the order of the rows can
// change any result.
#include "lib/forward/field_update.hpp"

#include "lib/forward/rows.hpp"
#include "lib/kernels/isa.hpp"

namespace norvane::forward {

const row_kernels& active_row_kernels() {
  return *kernels::by_active_isa(row_kernels_generic(), row_kernels_avx2(), row_kernels_avx512());
}

const char* simd_backend_name() { return active_row_kernels().name; }

namespace {

template <class RowFn>
void sweep(const pass_args& a, const row_hook* hook, RowFn update) {
  for_each_row_tiled(a, tile_columns(a), [&](int64_t s, int64_t i, int64_t j, int64_t ahead) {
    if (hook) hook->before(s, i, j);
    update(s, i, j, ahead);
    if (hook) hook->after(s, i, j);
  });
}

}  // namespace

void update_h(const pass_args& a, const row_kernels& k, const row_hook* hook) {
  sweep(a, hook, [&](int64_t s, int64_t i, int64_t j, int64_t ahead) { k.h_row(a, s, i, j, ahead); });
}

void update_e(const pass_args& a, const row_kernels& k, const row_hook* hook) {
  sweep(a, hook, [&](int64_t s, int64_t i, int64_t j, int64_t ahead) { k.e_row(a, s, i, j, ahead); });
}

// The layer corrections of a row read only the other field type, which the
// update of this field leaves alone, and touch only the row's own nodes; so
// each row is corrected together with its update, with the same per-node
// sequence of operations as two separate sweeps. Rows that meet no x or y
// layer still carry the z layers at both ends.
void update_h_with_layers(const pass_args& a, const layer_table& t, const row_kernels& k,
                          const row_hook* hook) {
  sweep(a, hook, [&](int64_t s, int64_t i, int64_t j, int64_t ahead) {
    k.h_layered_row(a, t, s, i, j, ahead);
  });
}

void update_e_with_layers(const pass_args& a, const layer_table& t, const row_kernels& k,
                          const row_hook* hook) {
  sweep(a, hook, [&](int64_t s, int64_t i, int64_t j, int64_t ahead) {
    k.e_layered_row(a, t, s, i, j, ahead);
  });
}

}  // namespace norvane::forward
