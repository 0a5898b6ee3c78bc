// Row loops of the snapshot writers, compiled once per instruction set (the
// including file defines NORVANE_ISA_NS). The element format is a template
// parameter and the conversions are the branch-free ones, so each row is a
// straight vector loop.
#include <cmath>

#include "lib/storage/formats.hpp"
#include "lib/storage/half_runs.inl"
#include "lib/storage/snapshots.hpp"

namespace norvane::storage::NORVANE_ISA_NS {
namespace {

template <int Format>
NORVANE_CELL void put(void* store, int64_t q, float v) {
  if constexpr (Format == 1)
    static_cast<uint16_t*>(store)[q] = encode_half_flat(v);
  else if constexpr (Format == 2)
    static_cast<uint16_t*>(store)[q] = encode_bf16_flat(v);
  else
    static_cast<float*>(store)[q] = v;
}

template <int Format>
NORVANE_CELL float get(const void* store, int64_t q) {
  if constexpr (Format == 1)
    return decode_half_flat(static_cast<const uint16_t*>(store)[q]);
  else if constexpr (Format == 2)
    return decode_bf16(static_cast<const uint16_t*>(store)[q]);
  else
    return static_cast<const float*>(store)[q];
}

#if defined(NORVANE_CELL_VECTORS)
template <int Format>
void e_row_t(void* store, int64_t q0, const float* __restrict f, float* __restrict scratch,
             int64_t run) {
  masked_chunks(run, [&](int64_t k, const cell_mask& m) __attribute__((always_inline)) {
    const cell_vec v = load_cells(m, f + k);
    store_stored<Format>(store, q0 + k, m, v);
    if (scratch) store_cells(scratch + k, m, v);
  });
}

// The right-hand side of the generic form below.
template <int Format, bool Scratch>
void rhs_row_t(void* store, int64_t q0, const float* __restrict f, const void* e_store,
               const float* __restrict scratch, const float* __restrict ca,
               const float* __restrict cs, int64_t run) {
  masked_chunks(run, [&](int64_t k, const cell_mask& m) __attribute__((always_inline)) {
    const cell_vec e0 = Scratch ? load_cells(m, scratch + k) : load_stored<Format>(e_store, q0 + k, m);
    store_stored<Format>(store, q0 + k, m,
                         rhs_cells(load_cells(m, f + k), e0, load_cells(m, ca + k), load_cells(m, cs + k), m));
  });
}
#else
template <int Format>
void e_row_t(void* store, int64_t q0, const float* __restrict f, float* __restrict scratch,
             int64_t run) {
  if constexpr (Format == 1) {
    encode_half_run(static_cast<uint16_t*>(store) + q0, f, run);
  } else {
#pragma omp simd
    for (int64_t k = 0; k < run; ++k) put<Format>(store, q0 + k, f[k]);
  }
  if (scratch)
#pragma omp simd
    for (int64_t k = 0; k < run; ++k) scratch[k] = f[k];
}

// rhs = (E_new - ca*E_old)/cs with one fused multiply-subtract, +0 where cs
// is zero (the quotient is formed in every lane and discarded there).
// Half-precision rows are formed in chunks of float values first and then
// encoded in one pass.
template <int Format, bool Scratch>
void rhs_row_t(void* store, int64_t q0, const float* __restrict f, const void* e_store,
               const float* __restrict scratch, const float* __restrict ca,
               const float* __restrict cs, int64_t run) {
  auto value = [&](int64_t k) __attribute__((always_inline)) {
    const float e0 = Scratch ? scratch[k] : get<Format>(e_store, q0 + k);
    const float w = cs[k];
    const float quotient = std::fma(-ca[k], e0, f[k]) / w;
    return w == 0.0f ? 0.0f : quotient;
  };
  if constexpr (Format == 1) {
    constexpr int64_t chunk = 512;
    alignas(64) float v[chunk];
    for (int64_t c0 = 0; c0 < run; c0 += chunk) {
      const int64_t n = run - c0 < chunk ? run - c0 : chunk;
#pragma omp simd
      for (int64_t k = 0; k < n; ++k) v[k] = value(c0 + k);
      encode_half_run(static_cast<uint16_t*>(store) + q0 + c0, v, n);
    }
  } else {
#pragma omp simd
    for (int64_t k = 0; k < run; ++k) put<Format>(store, q0 + k, value(k));
  }
}
#endif

void e_row(void* store, int64_t q0, const float* f, float* scratch, int64_t run, int format) {
  if (format == 1) return e_row_t<1>(store, q0, f, scratch, run);
  if (format == 2) return e_row_t<2>(store, q0, f, scratch, run);
  return e_row_t<0>(store, q0, f, scratch, run);
}

void rhs_row(void* store, int64_t q0, const float* f, const void* e_store, const float* scratch,
             const float* ca, const float* cs, int64_t run, int format) {
  if (scratch) {
    if (format == 1) return rhs_row_t<1, true>(store, q0, f, e_store, scratch, ca, cs, run);
    if (format == 2) return rhs_row_t<2, true>(store, q0, f, e_store, scratch, ca, cs, run);
    return rhs_row_t<0, true>(store, q0, f, e_store, scratch, ca, cs, run);
  }
  if (format == 1) return rhs_row_t<1, false>(store, q0, f, e_store, scratch, ca, cs, run);
  if (format == 2) return rhs_row_t<2, false>(store, q0, f, e_store, scratch, ca, cs, run);
  return rhs_row_t<0, false>(store, q0, f, e_store, scratch, ca, cs, run);
}

void decode_half(float* out, const uint16_t* h, int64_t n) { decode_half_run(out, h, n); }

}  // namespace
}  // namespace norvane::storage::NORVANE_ISA_NS
