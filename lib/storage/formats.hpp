// Element formats of the snapshot stores: float32 (code 0), IEEE binary16
// (code 1) and bfloat16 (code 2), with round-to-nearest-even encoders that
// work on the bit pattern alone (no tables, no FP mode changes) and exact
// decoders. Every code other than 1 and 2 is treated as float32 here; callers
// guarantee that `index` addresses an element inside the store.
#pragma once

#include <cstdint>
#include <cstring>

#include "lib/kernels/cell.hpp"

namespace norvane::storage {

NORVANE_CELL uint32_t float_bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

NORVANE_CELL float bits_float(uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

// bfloat16: the upper half of the binary32 pattern, rounded to nearest even by
// adding 0x7FFF plus the lowest kept bit; NaNs keep their top payload bits and
// are made quiet.
NORVANE_CELL uint16_t encode_bf16(float value) {
  const uint32_t b = float_bits(value);
  if ((b & 0x7FFFFFFFu) > 0x7F800000u) return static_cast<uint16_t>((b >> 16) | 0x0040u);
  return static_cast<uint16_t>((b + 0x7FFFu + ((b >> 16) & 1u)) >> 16);
}

NORVANE_CELL float decode_bf16(uint16_t h) { return bits_float(static_cast<uint32_t>(h) << 16); }

// binary16 with round to nearest even. Normal results shift the fraction by 13
// bits; subnormal results shift the full 24-bit significand by 126 - E.
NORVANE_CELL uint16_t encode_half(float value) {
  const uint32_t b = float_bits(value);
  const uint32_t s = (b >> 16) & 0x8000u;
  const uint32_t E = (b >> 23) & 0xFFu;
  const uint32_t M = b & 0x7FFFFFu;
  if (E == 255) return static_cast<uint16_t>(M == 0 ? (s | 0x7C00u) : (s | 0x7E00u));
  if (E >= 143) return static_cast<uint16_t>(s | 0x7C00u);
  if (E >= 113) {
    uint32_t e = E - 112;
    uint32_t f = M >> 13;
    const uint32_t dropped = b & 0x1FFFu;
    if (dropped > 0x1000u || (b & 0x3FFFu) == 0x3000u) {
      ++f;
      if (f == 1024) {
        if (E == 142) return static_cast<uint16_t>(s | 0x7C00u);
        f = 0;
        e = E - 111;
      }
    }
    return static_cast<uint16_t>(s | (e << 10) | f);
  }
  if (E >= 102) {
    const uint32_t W = M | 0x800000u;
    const uint32_t k = 126 - E;
    uint32_t q = W >> k;
    const uint32_t r = W & ((1u << k) - 1u);
    const uint32_t h = 1u << (k - 1);
    if (r > h || (r == h && (q & 1u))) ++q;
    return static_cast<uint16_t>(s | q);
  }
  return static_cast<uint16_t>(s);
}

NORVANE_CELL float decode_half(uint16_t h) {
  const uint32_t S = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t e = (h >> 10) & 0x1Fu;
  const uint32_t m = h & 0x3FFu;
  if (e == 31) return bits_float(S | 0x7F800000u | (m << 13));
  if (e != 0) return bits_float(S | ((e + 112) << 23) | (m << 13));
  if (m == 0) return bits_float(S);
  int p = 9;
  while (!(m & (1u << p))) --p;
  return bits_float(S | (static_cast<uint32_t>(103 + p) << 23) |
                    ((m - (1u << p)) << (23 - p)));
}

// Branch-free forms of the same conversions, for the vectorised snapshot
// loops: every path is computed on the bit pattern and the result selected,
// so one lane's arithmetic is the same whichever path its neighbours take.
// They give the bits of the forms above for every input.
NORVANE_CELL uint16_t encode_half_flat(float value) {
  const uint32_t b = float_bits(value);
  const uint32_t s = (b >> 16) & 0x8000u;
  const uint32_t E = (b >> 23) & 0xFFu;
  const uint32_t M = b & 0x7FFFFFu;
  // Normal result: a carry out of the fraction moves into the exponent, and
  // from the largest exponent into the infinity pattern.
  const uint32_t up_n = ((b & 0x1FFFu) > 0x1000u) | ((b & 0x3FFFu) == 0x3000u);
  const uint32_t normal = (((E - 112u) << 10) | (M >> 13)) + up_n;
  // Subnormal result: the 24-bit significand shifted right by 126 - E.
  uint32_t k = 126u - E;
  k = k < 14u ? 14u : (k > 24u ? 24u : k);
  const uint32_t W = M | 0x800000u;
  const uint32_t q = W >> k;
  const uint32_t r = W & ((1u << k) - 1u);
  const uint32_t h = 1u << (k - 1u);
  const uint32_t sub = q + ((r > h) | ((r == h) & (q & 1u)));
  uint32_t out = 0u;
  out = E >= 102u ? sub : out;
  out = E >= 113u ? normal : out;
  out = E >= 143u ? 0x7C00u : out;
  out = E == 255u ? (M == 0u ? 0x7C00u : 0x7E00u) : out;
  return static_cast<uint16_t>(s | out);
}

NORVANE_CELL uint16_t encode_bf16_flat(float value) {
  const uint32_t b = float_bits(value);
  const uint32_t quiet = (b >> 16) | 0x0040u;
  const uint32_t rounded = (b + 0x7FFFu + ((b >> 16) & 1u)) >> 16;
  return static_cast<uint16_t>((b & 0x7FFFFFFFu) > 0x7F800000u ? quiet : rounded);
}

NORVANE_CELL float decode_half_flat(uint16_t hv) {
  const uint32_t h = hv;
  const uint32_t S = (h & 0x8000u) << 16;
  const uint32_t e = (h >> 10) & 0x1Fu;
  const uint32_t m = h & 0x3FFu;
  const uint32_t normal = S | ((e + 112u) << 23) | (m << 13);
  const uint32_t special = S | 0x7F800000u | (m << 13);
  // A subnormal, m * 2^-24, normalises at the highest set bit p of m, found
  // by comparisons: integer operations only, which a compiler turns into
  // selects (it would not speculate float operations placed under a
  // condition), so vector loops stay branch-free.
  const uint32_t p = uint32_t(m >= 2u) + uint32_t(m >= 4u) + uint32_t(m >= 8u) +
                     uint32_t(m >= 16u) + uint32_t(m >= 32u) + uint32_t(m >= 64u) +
                     uint32_t(m >= 128u) + uint32_t(m >= 256u) + uint32_t(m >= 512u);
  const uint32_t sub = m == 0u ? S : (S | ((103u + p) << 23) | ((m << (23u - p)) & 0x7FFFFFu));
  const uint32_t out = e == 31u ? special : (e != 0u ? normal : sub);
  return bits_float(out);
}

NORVANE_CELL void store_wavefield_value(void* store, int64_t index, int format, float value) {
  if (format == 1) {
    static_cast<uint16_t*>(store)[index] = encode_half(value);
  } else if (format == 2) {
    static_cast<uint16_t*>(store)[index] = encode_bf16(value);
  } else {
    static_cast<float*>(store)[index] = value;
  }
}

NORVANE_CELL float load_wavefield_value(const void* store, int64_t index, int format) {
  if (format == 1) return decode_half(static_cast<const uint16_t*>(store)[index]);
  if (format == 2) return decode_bf16(static_cast<const uint16_t*>(store)[index]);
  return static_cast<const float*>(store)[index];
}

// Bytes per element of a store in `format`.
NORVANE_CELL int element_bytes(int format) { return format == 0 ? 4 : 2; }

}  // namespace norvane::storage
