#include "lib/kernels/isa.hpp"

#include <cpuid.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace norvane::kernels {
namespace {

int g_forced = -1;

// Half-precision conversion instructions (CPUID leaf 1, ECX bit 29); asked
// of CPUID directly since not every compiler's feature builtin knows them.
bool has_f16c() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_F16C) != 0;
}

isa_level choose() {
  isa_level best = isa_generic;
  if (cpu_runs(isa_avx2)) best = isa_avx2;
  if (cpu_runs(isa_avx512)) best = isa_avx512;
  if (const char* want = std::getenv("NORVANE_SIMD")) {
    for (isa_level l : {isa_generic, isa_avx2, isa_avx512})
      if (std::strcmp(want, isa_name(l)) == 0 && cpu_runs(l)) best = l;
  }
  return best;
}

}  // namespace

bool cpu_runs(isa_level level) {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && has_f16c();
  if (level == isa_avx2) return avx2;
  if (level == isa_avx512)
    return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
  return true;
}

isa_level active_isa() {
  static const isa_level chosen = choose();
  return g_forced >= 0 ? static_cast<isa_level>(g_forced) : chosen;
}

const char* isa_name(isa_level level) {
  return level == isa_avx512 ? "avx512" : (level == isa_avx2 ? "avx2" : "generic");
}

void force_isa(int level) { g_forced = level; }

}  // namespace norvane::kernels
