// Instruction-set selection for the vectorised kernels. The library is built
// for baseline x86-64; the hot loops are compiled once per instruction set
// and one is chosen at run time: the widest this CPU runs, or the one named
// by the environment variable NORVANE_SIMD ("generic", "avx2", "avx512")
// when the CPU runs it. Every set computes the same bits.
#pragma once

namespace norvane::kernels {

enum isa_level { isa_generic = 0, isa_avx2 = 1, isa_avx512 = 2 };

bool cpu_runs(isa_level level);
isa_level active_isa();
const char* isa_name(isa_level level);

// Of the per-set alternatives, the one of the active set.
template <class T>
T by_active_isa(T generic, T avx2, T avx512) {
  switch (active_isa()) {
    case isa_avx512: return avx512;
    case isa_avx2: return avx2;
    default: return generic;
  }
}

// Tests: run the following passes with `level` (-1: back to the automatic
// choice). Not for use while a pass runs.
void force_isa(int level);

}  // namespace norvane::kernels
