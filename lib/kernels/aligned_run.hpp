// Row runs in vectors aligned to the cache lines of their target row. Only
// for the row kernels, which are compiled with OpenMP's simd loops.
#pragma once

#include <cstdint>

// Floats in the widest vector register of the instruction set this file is
// compiled for (a macro, so that each instruction-set build sees its own).
#if defined(__AVX512F__)
#define NORVANE_LANES 16
#elif defined(__AVX2__)
#define NORVANE_LANES 8
#else
#define NORVANE_LANES 4
#endif

namespace norvane::kernels {

// out[k] = value(k) for k in [a, b], where value(k) has no side effect and
// reads `out` only at k (it may read other arrays anywhere).
//
// A vector load or store that straddles two cache lines costs two accesses,
// and an unaligned row loop pays that on every stream: the stencil loops
// measured up to twice as slow with their rows one float off the line
// boundary. So the run goes in whole vectors whose first node lies on a
// vector boundary of `out` (the other arrays of the row share that offset
// when their rows do). The nodes before the first boundary and after the
// last one take one unaligned vector at each end, which stores only those
// lanes; its other lanes may see values the aligned part has already
// written, which is harmless since they are dropped. Every lane does the
// scalar arithmetic of value(k), so the results do not depend on the split.
// Runs shorter than two vectors take the plain loop.
//
// whole(a1, b1) runs the whole vectors from a1 (on a vector boundary) to b1,
// with the bits of value(k) in every lane; the overload without it runs
// value(k) itself.
template <class Value, class Whole>
inline __attribute__((always_inline)) void aligned_run(float* out, int64_t a, int64_t b,
                                                       Value value, Whole whole) {
  constexpr int64_t L = NORVANE_LANES;
  if (b - a + 1 < 2 * L) {
#pragma omp simd
    for (int64_t k = a; k <= b; ++k) out[k] = value(k);
    return;
  }
  const int64_t off = static_cast<int64_t>(reinterpret_cast<uintptr_t>(out + a) / sizeof(float) % L);
  const int64_t a1 = a + (L - off) % L;          // first node on a vector boundary
  const int64_t b1 = a1 + (b + 1 - a1) / L * L;  // one past the last whole vector
  float v[L];
  if (a1 > a) {
#pragma omp simd
    for (int64_t t = 0; t < L; ++t) v[t] = value(a + t);
#pragma omp simd
    for (int64_t t = 0; t < L; ++t)
      if (a + t < a1) out[a + t] = v[t];
  }
  whole(a1, b1);
  if (b1 <= b) {
    const int64_t t0 = b + 1 - L;
#pragma omp simd
    for (int64_t t = 0; t < L; ++t) v[t] = value(t0 + t);
#pragma omp simd
    for (int64_t t = 0; t < L; ++t)
      if (t0 + t >= b1) out[t0 + t] = v[t];
  }
}

template <class Value>
inline __attribute__((always_inline)) void aligned_run(float* out, int64_t a, int64_t b,
                                                       Value value) {
  aligned_run(out, a, b, value, [&](int64_t a1, int64_t b1) __attribute__((always_inline)) {
    for (int64_t k0 = a1; k0 < b1; k0 += NORVANE_LANES) {
#pragma omp simd
      for (int64_t k = k0; k < k0 + NORVANE_LANES; ++k) out[k] = value(k);
    }
  });
}

}  // namespace norvane::kernels
