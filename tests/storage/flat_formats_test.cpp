// The branch-free conversions used by the vectorised snapshot loops give
// the bits of the scalar conversions: every half pattern decodes alike, and
// every encoder agrees on all 2^32 float patterns sampled with a stride that
// visits every exponent, plus the special values and rounding ties.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "lib/storage/formats.hpp"

using namespace norvane::storage;

namespace {

uint32_t bits(float v) { return float_bits(v); }

TEST(FlatFormats, HalfDecodeMatchesOnEveryPattern) {
  for (uint32_t h = 0; h < 65536; ++h)
    ASSERT_EQ(bits(decode_half_flat(uint16_t(h))), bits(decode_half(uint16_t(h)))) << std::hex << h;
}

// The same through a vector loop, the way the snapshot and gradient loops
// call it.
TEST(FlatFormats, HalfDecodeMatchesInAVectorLoop) {
  std::vector<uint16_t> h(65536);
  std::vector<float> out(h.size());
  for (uint32_t n = 0; n < h.size(); ++n) h[n] = uint16_t(n);
  const uint16_t* __restrict in = h.data();
  float* __restrict o = out.data();
#pragma omp simd
  for (int64_t n = 0; n < int64_t(h.size()); ++n) o[n] = decode_half_flat(in[n]);
  for (uint32_t n = 0; n < h.size(); ++n)
    ASSERT_EQ(bits(out[n]), bits(decode_half(uint16_t(n)))) << std::hex << n;
}

TEST(FlatFormats, EncodersMatchOnSampledPatterns) {
  // A stride coprime to 2^32 walks all exponents and low fraction bits.
  uint32_t b = 0;
  for (uint64_t n = 0; n < (1u << 22); ++n, b += 1021u * 997u + 1u) {
    float v;
    std::memcpy(&v, &b, 4);
    ASSERT_EQ(encode_half_flat(v), encode_half(v)) << std::hex << b;
    ASSERT_EQ(encode_bf16_flat(v), encode_bf16(v)) << std::hex << b;
  }
  // Ties and boundaries: every pattern whose dropped bits sit at or around
  // the half-way point, over the whole exponent range.
  for (uint32_t e = 0; e < 256; ++e)
    for (uint32_t low : {0x0FFFu, 0x1000u, 0x1001u, 0x3000u, 0x2000u, 0x7FFFu, 0x8000u, 0x18000u})
      for (uint32_t s : {0u, 0x80000000u}) {
        const uint32_t p = s | (e << 23) | low | ((e * 2654435761u) & 0x7F0000u);
        float v;
        std::memcpy(&v, &p, 4);
        ASSERT_EQ(encode_half_flat(v), encode_half(v)) << std::hex << p;
        ASSERT_EQ(encode_bf16_flat(v), encode_bf16(v)) << std::hex << p;
      }
  for (float v : {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                  -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                  65504.0f, 65520.0f, 0x1p-25f, 0x1.8p-25f, 0x1p-14f}) {
    EXPECT_EQ(encode_half_flat(v), encode_half(v)) << v;
    EXPECT_EQ(encode_bf16_flat(v), encode_bf16(v)) << v;
  }
}

}  // namespace
