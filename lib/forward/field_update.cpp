// Phases A and C of the forward step and the choice of instruction set.
// The rows (s, i, j) of all shots are shared among the threads with a static
// schedule; each row's nodes write only their own elements and read only the
// other field type, so the partition cannot change any result.
#include "lib/forward/field_update.hpp"

#include "lib/forward/rows.hpp"
#include "lib/kernels/isa.hpp"

namespace norvane::forward {

const row_kernels& active_row_kernels() {
  switch (kernels::active_isa()) {
    case kernels::isa_avx512: return *row_kernels_avx512();
    case kernels::isa_avx2: return *row_kernels_avx2();
    default: return *row_kernels_generic();
  }
}

const char* simd_backend_name() { return active_row_kernels().name; }

void force_row_kernels(const row_kernels* k) {
  if (k == nullptr) kernels::force_isa(-1);
  if (k == row_kernels_generic()) kernels::force_isa(kernels::isa_generic);
  if (k == row_kernels_avx2()) kernels::force_isa(kernels::isa_avx2);
  if (k == row_kernels_avx512()) kernels::force_isa(kernels::isa_avx512);
}

bool cpu_runs(const row_kernels* k) {
  if (k == row_kernels_avx2()) return kernels::cpu_runs(kernels::isa_avx2);
  if (k == row_kernels_avx512()) return kernels::cpu_runs(kernels::isa_avx512);
  return true;
}

void update_h(const pass_args& a, const row_kernels& k) {
  for_each_row(a, [&](int64_t s, int64_t i, int64_t j) { k.h_row(a, s, i, j); });
}

void update_e(const pass_args& a, const row_kernels& k) {
  for_each_row(a, [&](int64_t s, int64_t i, int64_t j) { k.e_row(a, s, i, j); });
}

// Rows that meet no x or y layer still carry the z layers at both ends.
void apply_h_layers(const pass_args& a, const layer_table& t, const row_kernels& k) {
  for_each_row(a, [&](int64_t s, int64_t i, int64_t j) { k.h_layer_row(a, t, s, i, j); });
}

void apply_e_layers(const pass_args& a, const layer_table& t, const row_kernels& k) {
  for_each_row(a, [&](int64_t s, int64_t i, int64_t j) { k.e_layer_row(a, t, s, i, j); });
}

}  // namespace norvane::forward
