// Snapshot element formats: binary32 (code 0), binary16 (code 1) and
// bfloat16 (code 2). Decoding is checked against the value each pattern
// stands for, computed with ldexp; encoding against the definition of
// round-to-nearest-even: the chosen value is at least as close to the input
// as both neighbouring patterns, and on a tie its last fraction bit is 0.
// Overflow follows the same rule with the next power of two standing in for
// infinity (2^16 for half, 2^128 for bfloat16).
#include "lib/storage/formats.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using namespace norvane::storage;

// Bit patterns through the element formats' own casts.
uint32_t bits(float v) { return norvane::storage::float_bits(v); }
float from_bits(uint32_t b) { return norvane::storage::bits_float(b); }

// A small-float format: `frac` fraction bits, `exp` exponent bits, bias
// 2^(exp-1) - 1; the pattern's value from its fields alone.
struct small_format {
  int frac, exp;
  uint16_t (*encode)(float);
  float (*decode)(uint16_t);
  const char* name;

  int bias() const { return (1 << (exp - 1)) - 1; }
  uint32_t inf_pattern() const { return ((1u << exp) - 1) << frac; }
  // Magnitude of a non-NaN pattern without sign; infinity counts as the
  // power of two after the largest finite value.
  double magnitude(uint32_t a) const {
    const uint32_t e = a >> frac, m = a & ((1u << frac) - 1);
    if (e == 0) return std::ldexp(double(m), 1 - bias() - frac);
    return std::ldexp(double(m | (1u << frac)), int(e) - bias() - frac);
  }
  double value(uint16_t h) const {
    const uint32_t a = h & 0x7FFFu;
    const double s = (h & 0x8000u) ? -1.0 : 1.0;
    if (a > inf_pattern()) return std::numeric_limits<double>::quiet_NaN();
    if (a == inf_pattern()) return s * std::numeric_limits<double>::infinity();
    return s * magnitude(a);
  }
};

void PrintTo(const small_format* f, std::ostream* os) { *os << f->name; }

const small_format kHalf{10, 5, encode_half, decode_half, "half"};
const small_format kBf16{7, 8, encode_bf16, decode_bf16, "bfloat16"};

// Encoding x (not NaN) as pattern h is the round-to-nearest-even choice.
::testing::AssertionResult is_nearest_even(const small_format& f, float x, uint16_t h) {
  auto fail = [&](const char* why) {
    return ::testing::AssertionFailure()
           << f.name << "(" << x << ", 0x" << std::hex << bits(x) << ") = 0x" << h << std::dec
           << " (" << f.value(h) << "): " << why;
  };
  if (bool(h & 0x8000u) != std::signbit(x)) return fail("sign differs");
  const uint32_t a = h & 0x7FFFu;
  if (a > f.inf_pattern()) return fail("NaN for a number");
  const double ax = std::fabs(double(x));
  if (std::isinf(x)) return a == f.inf_pattern() ? ::testing::AssertionSuccess() : fail("inf lost");
  const double d = std::fabs(ax - f.magnitude(a));
  for (const int step : {-1, 1}) {
    if ((a == 0 && step < 0) || (a == f.inf_pattern() && step > 0)) continue;
    const double dn = std::fabs(ax - f.magnitude(a + step));
    if (dn < d) return fail("a neighbour is nearer");
    if (dn == d && (a & 1u)) return fail("tie not rounded to even");
  }
  return ::testing::AssertionSuccess();
}

class SmallFormat : public ::testing::TestWithParam<const small_format*> {};

// Every pattern decodes to its value (NaNs to NaNs that keep sign and
// payload), and every non-NaN value encodes back to the same pattern.
TEST_P(SmallFormat, EveryPatternDecodesExactlyAndRoundTrips) {
  const small_format& f = *GetParam();
  int failures = 0;
  for (uint32_t p = 0; p < 0x10000u; ++p) {
    const uint16_t h = uint16_t(p);
    const float got = f.decode(h);
    const double want = f.value(h);
    bool ok;
    if (std::isnan(want)) {
      // A NaN keeps its sign and its fraction bits at the top of the binary32 fraction.
      const uint32_t payload = (h & ((1u << f.frac) - 1)) << (23 - f.frac);
      ok = std::isnan(got) && std::signbit(got) == bool(h & 0x8000u) &&
           (bits(got) & 0x7FFFFFu) == payload;
    } else {
      ok = bits(got) == bits(float(want)) && f.encode(got) == h;
    }
    if (!ok && ++failures <= 10)
      ADD_FAILURE() << f.name << " 0x" << std::hex << p << " decodes to " << std::dec << got
                    << " (0x" << std::hex << bits(got) << "), value " << std::dec << want
                    << ", re-encodes to 0x" << std::hex << f.encode(got);
  }
  EXPECT_EQ(failures, 0);
}

// Random binary32 patterns (every exponent, subnormals, infinities), values
// concentrated on the format's own range, and every exact midpoint between
// neighbouring patterns with the floats just beside it.
TEST_P(SmallFormat, EncodesToNearestWithTiesToEven) {
  const small_format& f = *GetParam();
  std::vector<float> xs;
  std::mt19937 rng(1234567);
  std::uniform_int_distribution<uint32_t> any;
  std::uniform_int_distribution<int> ex(-f.bias() - f.frac - 3, f.bias() + 2);
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  for (int q = 0; q < 1 << 19; ++q) xs.push_back(from_bits(any(rng)));
  for (int q = 0; q < 1 << 19; ++q) xs.push_back(std::ldexp(u(rng), ex(rng)));
  for (uint32_t a = 0; a < f.inf_pattern(); ++a) {
    const float mid = float((f.magnitude(a) + f.magnitude(a + 1)) / 2);  // exact in binary32
    for (const float m : {mid, -mid}) {
      xs.push_back(m);
      xs.push_back(std::nextafter(m, 0.0f));
      xs.push_back(std::nextafter(m, 2 * m));
    }
  }
  int failures = 0;
  for (const float x : xs) {
    if (std::isnan(x)) continue;
    const ::testing::AssertionResult r = is_nearest_even(f, x, f.encode(x));
    if (!r && ++failures <= 10) ADD_FAILURE() << r.message();
  }
  EXPECT_EQ(failures, 0) << "of " << xs.size() << " inputs";
}

// NaNs stay NaNs, keep their sign and are quiet.
TEST_P(SmallFormat, NanStaysQuietNan) {
  const small_format& f = *GetParam();
  const uint32_t quiet = 1u << (f.frac - 1);
  for (const uint32_t b :
       {0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0xFF812345u, 0x7FBFFFFFu, 0x7FFFFFFFu}) {
    const uint16_t h = f.encode(from_bits(b));
    EXPECT_TRUE(std::isnan(f.value(h)) && (h & quiet) && bool(h & 0x8000u) == bool(b >> 31))
        << f.name << " of NaN 0x" << std::hex << b << " is 0x" << h;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, SmallFormat, ::testing::Values(&kHalf, &kBf16),
                         [](const ::testing::TestParamInfo<const small_format*>& i) {
                           return std::string(i.param->name);
                         });

TEST(StorageFormats, HalfExamples) {
  const struct {
    float x;
    uint16_t h;
  } cases[] = {{65504.0f, 0x7BFF},
               {65519.0f, 0x7BFF},
               {65520.0f, 0x7C00},
               {1.0f, 0x3C00},
               {-2.0f, 0xC000},
               {-0.0f, 0x8000},
               {0.1f, 0x2E66},
               {std::ldexp(1.0f, -14), 0x0400},
               {std::ldexp(1.0f, -24), 0x0001},
               {std::ldexp(1.0f, -25), 0x0000},
               {std::ldexp(1.5f, -25), 0x0001},
               {-INFINITY, 0xFC00},
               {INFINITY, 0x7C00},
               {from_bits(0x7FC00000u), 0x7E00},
               {from_bits(0xFFC00000u), 0xFE00},
               {from_bits(0x7F800001u), 0x7E00},
               {from_bits(0xFFBFFFFFu), 0xFE00}};
  for (const auto& c : cases)
    EXPECT_EQ(encode_half(c.x), c.h) << c.x << " (0x" << std::hex << bits(c.x) << ") -> 0x"
                                     << encode_half(c.x) << ", expected 0x" << c.h;
}

TEST(StorageFormats, Bfloat16Examples) {
  const struct {
    float x;
    uint16_t h;
  } cases[] = {{1.0f, 0x3F80},
               {1.00390625f, 0x3F80},
               {1.01171875f, 0x3F82},
               {0.1f, 0x3DCD},
               {3.0e38f, 0x7F62},
               {FLT_MAX, 0x7F80},
               {INFINITY, 0x7F80},
               {-INFINITY, 0xFF80},
               {-0.0f, 0x8000},
               {from_bits(0x7F800001u), 0x7FC0},
               {from_bits(0xFFA00000u), 0xFFE0}};
  for (const auto& c : cases)
    EXPECT_EQ(encode_bf16(c.x), c.h) << c.x << " (0x" << std::hex << bits(c.x) << ") -> 0x"
                                     << encode_bf16(c.x) << ", expected 0x" << c.h;
}

// Code 0 keeps the 32 bits untouched, NaN payloads and signalling NaNs
// included: every combination of the upper 24 bits, with varying low bits.
TEST(StorageFormats, Float32CodeRoundTripsEveryBitPattern) {
  std::vector<float> store(4096, 0.0f);
  uint32_t failures = 0, first_bad = 0;
  auto check = [&](uint32_t b, int64_t index) {
    store_wavefield_value(store.data(), index, 0, from_bits(b));
    const uint32_t back = bits(load_wavefield_value(store.data(), index, 0));
    if (back != b && failures++ == 0) first_bad = b;
  };
  for (uint32_t q = 0; q < (1u << 24); ++q) check((q << 8) | ((q * 0x9Du) & 0xFFu), q & 4095);
  for (const uint32_t b : {0x7F800001u, 0x7FBFFFFFu, 0x7FC00001u, 0xFFFFFFFFu, 0xFF800001u,
                           0x00000001u, 0x80000001u, 0x007FFFFFu})
    check(b, 17);
  EXPECT_EQ(failures, 0u) << "first pattern not kept: 0x" << std::hex << first_bad;
}

// Every code other than 1 and 2 stores and loads a binary32 element at byte
// offset 4 * index; 1 and 2 a 2-byte element at 2 * index. Nothing else moves.
TEST(StorageFormats, StoreAndLoadTouchOneElementOfTheCodesLayout) {
  const float x = -3.14159274f;
  for (const int code : {0, 1, 2, 3, -1, 7, 0x4000000, 0x4000001, 0x4000002}) {
    const bool small = code == 1 || code == 2;
    const size_t width = small ? 2 : 4;
    std::vector<uint8_t> buf(64, 0xA5);
    store_wavefield_value(buf.data(), 5, code, x);
    uint8_t want[4];
    if (small) {
      const uint16_t h = code == 1 ? encode_half(x) : encode_bf16(x);
      std::memcpy(want, &h, 2);
    } else {
      std::memcpy(want, &x, 4);
    }
    for (size_t byte = 0; byte < buf.size(); ++byte) {
      const bool inside = byte >= 5 * width && byte < 6 * width;
      EXPECT_EQ(buf[byte], inside ? want[byte - 5 * width] : 0xA5)
          << "code " << code << ", byte " << byte;
    }
    const float back = load_wavefield_value(buf.data(), 5, code);
    const float expect = code == 1   ? decode_half(encode_half(x))
                         : code == 2 ? decode_bf16(encode_bf16(x))
                                     : x;
    EXPECT_EQ(bits(back), bits(expect)) << "code " << code << ": loaded " << back;
  }
}

}  // namespace
