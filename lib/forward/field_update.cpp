// Phases A and C of the forward step and the choice of instruction set.
// The rows (s, i, j) of all shots are shared among the threads with a static
// schedule; each row's nodes write only their own elements and read only the
// other field type, so the partition cannot change any result.
#include "lib/forward/field_update.hpp"

#include "lib/forward/rows.hpp"

#include <cstdlib>
#include <cstring>

namespace norvane::forward {
namespace {

const row_kernels* choose() {
  const row_kernels* best = row_kernels_generic();
  __builtin_cpu_init();
  const bool has_avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  const bool has_avx512 = has_avx2 && __builtin_cpu_supports("avx512f") &&
                          __builtin_cpu_supports("avx512vl") &&
                          __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
  if (has_avx2) best = row_kernels_avx2();
  if (has_avx512) best = row_kernels_avx512();
  if (const char* want = std::getenv("NORVANE_SIMD")) {
    if (std::strcmp(want, "generic") == 0) best = row_kernels_generic();
    if (std::strcmp(want, "avx2") == 0 && has_avx2) best = row_kernels_avx2();
    if (std::strcmp(want, "avx512") == 0 && has_avx512) best = row_kernels_avx512();
  }
  return best;
}

}  // namespace

namespace {
const row_kernels* g_forced = nullptr;
}

const row_kernels& active_row_kernels() {
  static const row_kernels* k = choose();
  return g_forced ? *g_forced : *k;
}

void force_row_kernels(const row_kernels* k) { g_forced = k; }

bool cpu_runs(const row_kernels* k) {
  __builtin_cpu_init();
  if (k == row_kernels_avx2())
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  if (k == row_kernels_avx512())
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("fma");
  return true;
}

const char* simd_backend_name() { return active_row_kernels().name; }

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
