// Row loops of the snapshot writers, compiled once per instruction set (the
// including file defines NORVANE_ISA_NS). The element format is a template
// parameter and the conversions are the branch-free ones, so each row is a
// straight vector loop.
#include <cmath>

#if defined(__F16C__)
#include <immintrin.h>
#endif

#include "lib/storage/formats.hpp"
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

// binary16 encoding of v[0 .. run) into out. Where the processor converts in
// hardware, vcvtps2ph rounds to nearest even exactly as the bit-pattern
// encoder does (a float subnormal gives a signed zero either way, so DAZ
// changes nothing); only its NaNs keep payload bits, so NaN lanes are
// replaced by the encoder's quiet NaN of the same sign.
NORVANE_CELL void encode_half_run(uint16_t* __restrict out, const float* __restrict v, int64_t run) {
  int64_t k = 0;
#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__)
  for (; k + 16 <= run; k += 16) {
    const __m512 x = _mm512_loadu_ps(v + k);
    const __m256i h = _mm512_maskz_cvtps_ph(0xFFFF, x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __mmask16 nan = _mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q);
    const __m256i quiet = _mm256_or_si256(_mm256_and_si256(h, _mm256_set1_epi16(-0x8000)),
                                          _mm256_set1_epi16(0x7E00));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), _mm256_mask_blend_epi16(nan, h, quiet));
  }
#elif defined(__F16C__) && defined(__AVX2__)
  for (; k + 8 <= run; k += 8) {
    const __m256 x = _mm256_loadu_ps(v + k);
    const __m128i h = _mm256_cvtps_ph(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256i nan32 = _mm256_castps_si256(_mm256_cmp_ps(x, x, _CMP_UNORD_Q));
    const __m128i nan = _mm_packs_epi32(_mm256_castsi256_si128(nan32), _mm256_extracti128_si256(nan32, 1));
    const __m128i quiet = _mm_or_si128(_mm_and_si128(h, _mm_set1_epi16(-0x8000)), _mm_set1_epi16(0x7E00));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_blendv_epi8(h, quiet, nan));
  }
#endif
#pragma omp simd
  for (int64_t j = k; j < run; ++j) out[j] = encode_half_flat(v[j]);
}

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
    for (int64_t k = 0; k < run; ++k) scratch[q0 + k] = f[k];
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
    const float e0 = Scratch ? scratch[q0 + k] : get<Format>(e_store, q0 + k);
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

}  // namespace
}  // namespace norvane::storage::NORVANE_ISA_NS
