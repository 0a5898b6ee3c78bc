// Runs of binary16 conversions, compiled once per instruction set (the
// including file defines NORVANE_ISA_NS): in hardware where the set has the
// conversion instructions, with the lanes fixed up where the hardware and the
// bit-pattern conversions differ, so every set gives the bits of the scalar
// forms in formats.hpp. Also the vector bfloat16 conversions and the
// masked cell loops of the row kernels.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__F16C__)
#include <immintrin.h>
#endif

#include "lib/storage/formats.hpp"

namespace norvane::storage::NORVANE_ISA_NS {
namespace {

// binary16 encoding in hardware: vcvtps2ph rounds to nearest even exactly
// as the bit-pattern encoder does (a float subnormal gives a signed zero
// either way, so DAZ changes nothing); only its NaNs keep payload bits, so
// NaN lanes are replaced by the encoder's quiet NaN of the same sign.
#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__)
NORVANE_CELL __m256i encode_half16(__m512 x) {
  const __m256i h = _mm512_maskz_cvtps_ph(0xFFFF, x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  const __mmask16 nan = _mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q);
  const __m256i quiet = _mm256_or_si256(_mm256_and_si256(h, _mm256_set1_epi16(-0x8000)),
                                        _mm256_set1_epi16(0x7E00));
  return _mm256_mask_blend_epi16(nan, h, quiet);
}
#endif

// bfloat16 in 16 lanes, with the integer steps of the scalar encoder and
// decoder (the lanes stay 32-bit until the encoder's result is narrowed).
#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__)
NORVANE_CELL __m512i encode_bf16_16(__m512 x) {
  const __mmask16 all = 0xFFFF;
  const __m512i b = _mm512_castps_si512(x);
  const __m512i top = _mm512_maskz_srli_epi32(all, b, 16);
  const __m512i quiet = _mm512_or_si512(top, _mm512_set1_epi32(0x0040));
  const __m512i odd = _mm512_and_si512(top, _mm512_set1_epi32(1));
  const __m512i rounded = _mm512_maskz_srli_epi32(
      all, _mm512_add_epi32(_mm512_add_epi32(b, _mm512_set1_epi32(0x7FFF)), odd), 16);
  const __mmask16 nan = _mm512_cmpgt_epu32_mask(_mm512_and_si512(b, _mm512_set1_epi32(0x7FFFFFFF)),
                                                _mm512_set1_epi32(0x7F800000));
  return _mm512_mask_blend_epi32(nan, rounded, quiet);
}

NORVANE_CELL __m512 decode_bf16_16(__m256i x) {
  const __mmask16 all = 0xFFFF;
  return _mm512_castsi512_ps(_mm512_maskz_slli_epi32(all, _mm512_maskz_cvtepu16_epi32(all, x), 16));
}
#endif

// The same conversions in 8 lanes, where the set has AVX2 and F16C but not
// AVX-512; bfloat16 as in 16 lanes, narrowed by a pack (every encoded value
// fits 16 bits, so the saturation never acts).
#if !defined(__AVX512F__) && defined(__F16C__) && defined(__AVX2__)
NORVANE_CELL __m128i encode_half8(__m256 x) {
  const __m128i h = _mm256_cvtps_ph(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  const __m256i nan32 = _mm256_castps_si256(_mm256_cmp_ps(x, x, _CMP_UNORD_Q));
  const __m128i nan = _mm_packs_epi32(_mm256_castsi256_si128(nan32), _mm256_extracti128_si256(nan32, 1));
  const __m128i quiet = _mm_or_si128(_mm_and_si128(h, _mm_set1_epi16(-0x8000)), _mm_set1_epi16(0x7E00));
  return _mm_blendv_epi8(h, quiet, nan);
}

NORVANE_CELL __m256 decode_half8(__m128i x) {
  const __m256i exp_mask = _mm256_set1_epi32(0x7C00);
  const __m256i w = _mm256_cvtepu16_epi32(x);
  const __m256i special = _mm256_cmpeq_epi32(_mm256_and_si256(w, exp_mask), exp_mask);
  const __m256i sign = _mm256_slli_epi32(_mm256_and_si256(w, _mm256_set1_epi32(0x8000)), 16);
  const __m256i payload = _mm256_slli_epi32(_mm256_and_si256(w, _mm256_set1_epi32(0x3FF)), 13);
  const __m256i raw = _mm256_or_si256(_mm256_or_si256(sign, payload), _mm256_set1_epi32(0x7F800000));
  const __m256 f = _mm256_cvtph_ps(x);
  return _mm256_blendv_ps(f, _mm256_castsi256_ps(raw), _mm256_castsi256_ps(special));
}

NORVANE_CELL __m128i encode_bf16_8(__m256 x) {
  const __m256i b = _mm256_castps_si256(x);
  const __m256i top = _mm256_srli_epi32(b, 16);
  const __m256i quiet = _mm256_or_si256(top, _mm256_set1_epi32(0x0040));
  const __m256i odd = _mm256_and_si256(top, _mm256_set1_epi32(1));
  const __m256i rounded =
      _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(b, _mm256_set1_epi32(0x7FFF)), odd), 16);
  // Both sides of the NaN test are below 2^31, so the signed compare serves.
  const __m256i nan = _mm256_cmpgt_epi32(_mm256_and_si256(b, _mm256_set1_epi32(0x7FFFFFFF)),
                                         _mm256_set1_epi32(0x7F800000));
  const __m256i r = _mm256_blendv_epi8(rounded, quiet, nan);
  return _mm_packus_epi32(_mm256_castsi256_si128(r), _mm256_extracti128_si256(r, 1));
}

NORVANE_CELL __m256 decode_bf16_8(__m128i x) {
  return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(x), 16));
}
#endif

// binary16 encoding of v[0 .. run) into out by the bit-pattern encoder, for
// the sets without the vector cell loops below (which convert in hardware).
NORVANE_CELL void encode_half_run(uint16_t* __restrict out, const float* __restrict v, int64_t run) {
#pragma omp simd
  for (int64_t j = 0; j < run; ++j) out[j] = encode_half_flat(v[j]);
}

// binary16 decoding of h[0 .. run) into out. Every binary16 value, a
// subnormal included, is exactly a float, and vcvtph2ps forms it whatever the
// denormals-are-zero mode; only a signalling NaN comes out quietened, so the
// lanes with an all-ones exponent (NaNs and infinities) take the pattern of
// the bit-pattern decoder instead: sign, all-ones exponent, payload as it is.
#if defined(__AVX512F__)
// (The zero-masking forms with every lane on: GCC 12 warns about the plain
// ones' undefined upper parts.)
NORVANE_CELL __m512 decode_half16(__m256i x) {
  const __mmask16 all = 0xFFFF;
  const __m512i exp_mask = _mm512_set1_epi32(0x7C00);
  const __m512i w = _mm512_maskz_cvtepu16_epi32(all, x);
  const __mmask16 special = _mm512_cmpeq_epi32_mask(_mm512_and_si512(w, exp_mask), exp_mask);
  const __m512i sign = _mm512_maskz_slli_epi32(all, _mm512_and_si512(w, _mm512_set1_epi32(0x8000)), 16);
  const __m512i payload = _mm512_maskz_slli_epi32(all, _mm512_and_si512(w, _mm512_set1_epi32(0x3FF)), 13);
  const __m512i raw = _mm512_or_si512(_mm512_or_si512(sign, payload), _mm512_set1_epi32(0x7F800000));
  const __m512 f = _mm512_maskz_cvtph_ps(all, x);
  return _mm512_mask_blend_ps(special, f, _mm512_castsi512_ps(raw));
}
#endif

NORVANE_CELL void decode_half_run(float* __restrict out, const uint16_t* __restrict h, int64_t run) {
  int64_t k = 0;
#if defined(__AVX512F__)
  for (; k + 16 <= run; k += 16)
    _mm512_storeu_ps(out + k, decode_half16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + k))));
#if defined(__AVX512BW__) && defined(__AVX512VL__)
  // The rest in one masked vector, as in the encoder.
  if (k < run) {
    const __mmask16 m = static_cast<__mmask16>((1u << (run - k)) - 1u);
    _mm512_mask_storeu_ps(out + k, m, decode_half16(_mm256_maskz_loadu_epi16(m, h + k)));
    k = run;
  }
#endif
#elif defined(__F16C__) && defined(__AVX2__)
  for (; k + 8 <= run; k += 8)
    _mm256_storeu_ps(out + k, decode_half8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + k))));
#endif
#pragma omp simd
  for (int64_t j = k; j < run; ++j) out[j] = decode_half_flat(h[j]);
}

// The loops over the cells of a row (the snapshot writers and the material
// gradients) run in whole vectors, the last one masked: a row of cells is
// one shorter than a row of nodes, so it is rarely a whole number of
// vectors, and a scalar remainder (up to 15 cells, each with a division in
// a right-hand side, or the bit-pattern encoder) cost the bfloat16 forward
// at order 2 on 96^3 more than the half one. body(k, m) takes the cells
// from k on that the mask m holds; load_stored and store_stored move a
// vector of cells out of and into a store of `Format` at element q, and
// rhs_cells forms (E - ca*E_old)/cs with one fused multiply-subtract, +0
// where cs is zero. A cell_vec also takes the compiler's vector operators
// (+, -, *, /: one rounding each, as scalars); fma_cells is the one fused
// multiply-add.
#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__)
#define NORVANE_CELL_VECTORS 1
using cell_mask = __mmask16;
using cell_vec = __m512;

template <class Body>
NORVANE_CELL void masked_chunks(int64_t run, Body body) {
  int64_t k = 0;
  for (; k + 16 <= run; k += 16) body(k, static_cast<__mmask16>(0xFFFF));
  if (k < run) body(k, static_cast<__mmask16>((1u << (run - k)) - 1u));
}

NORVANE_CELL __m512 load_cells(__mmask16 m, const float* p) { return _mm512_maskz_loadu_ps(m, p); }
NORVANE_CELL void store_cells(float* p, __mmask16 m, __m512 v) { _mm512_mask_storeu_ps(p, m, v); }

template <int Format>
NORVANE_CELL void store_stored(void* store, int64_t q, __mmask16 m, __m512 v) {
  if constexpr (Format == 1)
    _mm256_mask_storeu_epi16(static_cast<uint16_t*>(store) + q, m, encode_half16(v));
  else if constexpr (Format == 2)
    _mm512_mask_cvtepi32_storeu_epi16(static_cast<uint16_t*>(store) + q, m, encode_bf16_16(v));
  else
    _mm512_mask_storeu_ps(static_cast<float*>(store) + q, m, v);
}

template <int Format>
NORVANE_CELL __m512 load_stored(const void* store, int64_t q, __mmask16 m) {
  const uint16_t* h = static_cast<const uint16_t*>(store) + q;
  if constexpr (Format == 1)
    return decode_half16(_mm256_maskz_loadu_epi16(m, h));
  else if constexpr (Format == 2)
    return decode_bf16_16(_mm256_maskz_loadu_epi16(m, h));
  else
    return _mm512_maskz_loadu_ps(m, static_cast<const float*>(store) + q);
}

NORVANE_CELL __m512 cells_of(float x) { return _mm512_set1_ps(x); }
NORVANE_CELL __m512 fma_cells(__m512 a, __m512 b, __m512 c) { return _mm512_fmadd_ps(a, b, c); }
// +0 in the lanes where x > bound (not where x is NaN), v elsewhere.
NORVANE_CELL __m512 zero_where_above(__m512 v, __m512 x, float bound) {
  return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(x, _mm512_set1_ps(bound), _CMP_NGT_UQ), v);
}

// The quotient only in the lanes of m where cs is not zero.
NORVANE_CELL __m512 rhs_cells(__m512 f, __m512 e0, __m512 ca, __m512 cs, __mmask16 m) {
  const __mmask16 nonzero = _mm512_mask_cmp_ps_mask(m, cs, _mm512_setzero_ps(), _CMP_NEQ_UQ);
  return _mm512_maskz_div_ps(nonzero, _mm512_fnmadd_ps(ca, e0, f), cs);
}
#elif defined(__F16C__) && defined(__AVX2__) && defined(__FMA__)
#define NORVANE_CELL_VECTORS 1
// AVX2 masks 32-bit lanes only: the last vector's 16-bit elements go
// through a local copy.
struct cell_mask {
  int n;      // cells in the vector
  __m256i m;  // their lanes
};
using cell_vec = __m256;

template <class Body>
NORVANE_CELL void masked_chunks(int64_t run, Body body) {
  int64_t k = 0;
  for (; k + 8 <= run; k += 8) body(k, cell_mask{8, _mm256_set1_epi32(-1)});
  if (k < run) {
    const int n = static_cast<int>(run - k);
    body(k, cell_mask{n, _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7))});
  }
}

// Whole vectors take plain moves (m.n is a constant in the loop over them):
// masked stores are slow on some processors.
NORVANE_CELL __m256 load_cells(const cell_mask& m, const float* p) {
  return m.n == 8 ? _mm256_loadu_ps(p) : _mm256_maskload_ps(p, m.m);
}
NORVANE_CELL void store_cells(float* p, const cell_mask& m, __m256 v) {
  if (m.n == 8)
    _mm256_storeu_ps(p, v);
  else
    _mm256_maskstore_ps(p, m.m, v);
}

template <int Format>
NORVANE_CELL void store_stored(void* store, int64_t q, const cell_mask& m, __m256 v) {
  if constexpr (Format == 0) {
    store_cells(static_cast<float*>(store) + q, m, v);
  } else {
    const __m128i h = Format == 1 ? encode_half8(v) : encode_bf16_8(v);
    uint16_t* out = static_cast<uint16_t*>(store) + q;
    if (m.n == 8) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), h);
    } else {
      alignas(16) uint16_t tmp[8];
      _mm_store_si128(reinterpret_cast<__m128i*>(tmp), h);
      std::memcpy(out, tmp, sizeof(uint16_t) * m.n);
    }
  }
}

template <int Format>
NORVANE_CELL __m256 load_stored(const void* store, int64_t q, const cell_mask& m) {
  if constexpr (Format == 0) {
    return load_cells(m, static_cast<const float*>(store) + q);
  } else {
    const uint16_t* in = static_cast<const uint16_t*>(store) + q;
    __m128i h;
    if (m.n == 8) {
      h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    } else {
      alignas(16) uint16_t tmp[8] = {};
      std::memcpy(tmp, in, sizeof(uint16_t) * m.n);
      h = _mm_load_si128(reinterpret_cast<const __m128i*>(tmp));
    }
    return Format == 1 ? decode_half8(h) : decode_bf16_8(h);
  }
}

NORVANE_CELL __m256 cells_of(float x) { return _mm256_set1_ps(x); }
NORVANE_CELL __m256 fma_cells(__m256 a, __m256 b, __m256 c) { return _mm256_fmadd_ps(a, b, c); }
NORVANE_CELL __m256 zero_where_above(__m256 v, __m256 x, float bound) {
  return _mm256_andnot_ps(_mm256_cmp_ps(x, _mm256_set1_ps(bound), _CMP_GT_OQ), v);
}

// The quotient in every lane (the lanes past the row divide zeros, and are
// not stored), +0 where cs is zero.
NORVANE_CELL __m256 rhs_cells(__m256 f, __m256 e0, __m256 ca, __m256 cs, const cell_mask&) {
  const __m256 nonzero = _mm256_cmp_ps(cs, _mm256_setzero_ps(), _CMP_NEQ_UQ);
  return _mm256_and_ps(nonzero, _mm256_div_ps(_mm256_fnmadd_ps(ca, e0, f), cs));
}
#endif

}  // namespace
}  // namespace norvane::storage::NORVANE_ISA_NS
