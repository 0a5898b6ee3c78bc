// Staggered first differences D+f(pos) = sum_k c_k (f(pos+k) - f(pos+1-k))
// and D-f(pos) = sum_k c_k (f(pos+k-1) - f(pos-k)), half-width m lowered near
// the axis ends. Checked by what they compute, not how: the stencil each
// position uses (probed with unit vectors), bit-identity with a literal
// scalar transcription of the summation rules, and the consistency of a
// half-width-m stencil, which reproduces the derivative of every polynomial of
// degree up to 2m exactly (odd terms cancel by design, even ones by symmetry)
// and fails at degree 2m+1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "lib/kernels/staggered_diff.hpp"

namespace {

using norvane::kernels::staggered_backward_diff;
using norvane::kernels::staggered_forward_diff;

uint32_t bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, 4);
  return b;
}

// c_k of half-width m as float32, row m.
const float kC[5][4] = {{0, 0, 0, 0},
                        {1.f, 0, 0, 0},
                        {9.f / 8, -1.f / 24, 0, 0},
                        {75.f / 64, -25.f / 384, 3.f / 640, 0},
                        {1225.f / 1024, -245.f / 3072, 49.f / 5120, -5.f / 7168}};

// One axis of `len` points, `stride` elements apart, inside a buffer whose
// every other element (guards beyond both ends, gaps between points) is NaN:
// a read off the axis poisons the result.
struct axis_buf {
  int64_t len, stride, base;
  std::vector<float> v;
  axis_buf(int64_t len_, int64_t stride_, float fill = 0.0f)
      : len(len_),
        stride(stride_),
        base(5 * stride_),
        v(size_t(10 * stride_ + (len_ - 1) * stride_ + 1),
          std::numeric_limits<float>::quiet_NaN()) {
    for (int64_t p = 0; p < len; ++p) at(p) = fill;
  }
  float& at(int64_t p) { return v[size_t(base + p * stride)]; }
  float at(int64_t p) const { return v[size_t(base + p * stride)]; }
  float diff(bool fwd, int64_t pos, int order) const {
    return fwd ? staggered_forward_diff(v.data(), base + pos * stride, stride, pos, len, order)
               : staggered_backward_diff(v.data(), base + pos * stride, stride, pos, len, order);
  }
};

int64_t first_pos(bool fwd) { return fwd ? 0 : 1; }
int64_t last_pos(bool fwd, int64_t len) { return fwd ? len - 2 : len - 1; }

// Widest half-width, not above the order's, whose stencil stays on the axis.
int rule_half_width(int order, bool fwd, int64_t pos, int64_t len) {
  const int top = order >= 8 ? 4 : order >= 4 ? 2 : 1;
  for (int m = top; m >= 2; --m) {
    const bool fits =
        fwd ? (pos - (m - 1) >= 0 && pos + m <= len - 1) : (pos - m >= 0 && pos + m <= len);
    if (fits) return m;
  }
  return 1;
}

// Literal transcription of the summation rules, from the pair differences d_k:
// m = 2, 3 and (off the unit-stride axis) 4: fused multiply-adds from +0;
// m = 4 on the unit-stride axis: products rounded one by one, added to +0 in
// order k = 1..4.
float literal_diff(const axis_buf& b, bool fwd, int64_t pos, int m) {
  float d[4] = {0, 0, 0, 0};
  for (int k = 1; k <= m; ++k) {
    const float ahead = fwd ? b.at(pos + k) : b.at(pos + k - 1);
    const float behind = fwd ? b.at(pos + 1 - k) : b.at(pos - k);
    d[k - 1] = ahead - behind;
  }
  const float* c = kC[m];
  if (m == 1) return d[0];
  if (m == 2) {
    const float t = std::fma(d[0], c[0], 0.0f);
    return std::fma(d[1], c[1], t);
  }
  if (m == 3) {
    float t = std::fma(d[0], c[0], 0.0f);
    t = std::fma(d[1], c[1], t);
    return std::fma(d[2], c[2], t);
  }
  float s = 0.0f;
  if (b.stride != 1) {
    for (int k = 0; k < 4; ++k) s = std::fma(c[k], d[k], s);
    return s;
  }
  float p[4];
  for (int k = 0; k < 4; ++k) p[k] = c[k] * d[k];
  for (int k = 0; k < 4; ++k) s = s + p[k];
  return s;
}

// Half-width and coefficients measured from the row of the operator: D applied
// to each unit vector. Returns 0 when the row is not a centred +-c_k stencil.
int measured_half_width(int order, bool fwd, int64_t pos, int64_t len, int64_t stride,
                        std::string* row_text) {
  axis_buf b(len, stride);
  std::vector<float> row(static_cast<size_t>(len));
  std::ostringstream out;
  for (int64_t j = 0; j < len; ++j) {
    b.at(j) = 1.0f;
    row[size_t(j)] = b.diff(fwd, pos, order);
    b.at(j) = 0.0f;
    out << row[size_t(j)] << " ";
  }
  *row_text = out.str();
  int64_t lo = len, hi = -1;
  for (int64_t j = 0; j < len; ++j) {
    if (std::isnan(row[size_t(j)])) return 0;  // read outside the axis
    if (bits(row[size_t(j)]) != 0) {
      lo = std::min(lo, j);
      hi = std::max(hi, j);
    }
  }
  const int m = int((hi - lo + 1) / 2);
  const int64_t centre = fwd ? pos : pos - 1;  // f(centre + k) - f(centre + 1 - k)
  if (m < 1 || m > 4 || hi - lo + 1 != 2 * m || lo != centre + 1 - m) return 0;
  for (int k = 1; k <= m; ++k) {
    if (bits(row[size_t(centre + k)]) != bits(kC[m][k - 1]) ||
        bits(row[size_t(centre + 1 - k)]) != bits(-kC[m][k - 1]))
      return 0;
  }
  return m;
}

struct width_case {
  int order, len;
  bool fwd;
  const char* widths;  // half-width at each valid position, first to last
};
void PrintTo(const width_case& w, std::ostream* os) {
  *os << "order " << w.order << ", len " << w.len << (w.fwd ? ", forward " : ", backward ")
      << w.widths;
}

class HalfWidth : public ::testing::TestWithParam<width_case> {};

TEST_P(HalfWidth, StencilAtEveryPositionMatchesTable) {
  const width_case wc = GetParam();
  ASSERT_EQ(int64_t(std::strlen(wc.widths)), last_pos(wc.fwd, wc.len) - first_pos(wc.fwd) + 1);
  for (int64_t pos = first_pos(wc.fwd); pos <= last_pos(wc.fwd, wc.len); ++pos) {
    const int want = wc.widths[pos - first_pos(wc.fwd)] - '0';
    ASSERT_EQ(rule_half_width(wc.order, wc.fwd, pos, wc.len), want)
        << "test's own rule, pos " << pos;
    for (const int64_t stride : {1, 7}) {
      std::string row;
      EXPECT_EQ(measured_half_width(wc.order, wc.fwd, pos, wc.len, stride, &row), want)
          << "order " << wc.order << ", len " << wc.len << (wc.fwd ? ", forward" : ", backward")
          << ", pos " << pos << ", stride " << stride << ": row " << row;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HalfWidth,
    ::testing::Values(width_case{8, 20, true, "1234444444444444321"},
                      width_case{8, 20, false, "1234444444444444321"},
                      width_case{4, 10, true, "122222221"}, width_case{4, 10, false, "122222221"},
                      width_case{8, 4, true, "121"}, width_case{8, 4, false, "121"},
                      width_case{8, 10, true, "123444321"}, width_case{8, 10, false, "123444321"},
                      width_case{8, 7, true, "123321"}, width_case{8, 6, false, "12321"},
                      width_case{8, 3, true, "11"}, width_case{8, 2, false, "1"},
                      width_case{4, 4, true, "121"}, width_case{4, 4, false, "121"},
                      width_case{4, 20, true, "1222222222222222221"},
                      width_case{4, 20, false, "1222222222222222221"},
                      width_case{2, 4, true, "111"}, width_case{2, 10, false, "111111111"},
                      width_case{2, 20, true, "1111111111111111111"}));

// Random data spanning 2^-8..2^8 in magnitude, so that fused and unfused sums
// round differently; other trials hold signed zeros (the sign of a zero
// result tells whether a sum starts from +0) or subnormals. Every order, axis
// length 2..20 and valid position.
TEST(StaggeredDiff, BitIdenticalToLiteralSummation) {
  std::mt19937 rng(424242);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::uniform_int_distribution<int> ex(-8, 8), sub(-135, -126);
  auto sample = [&](int kind) {
    const float x = u(rng);
    if (kind == 1) return std::copysign(0.0f, x);
    return std::ldexp(x, kind == 2 ? sub(rng) : ex(rng));
  };
  int64_t checked = 0, mismatches = 0, fused_differs = 0;
  for (int trial = 0; trial < 12; ++trial)
    for (const int64_t stride : {1, 7})
      for (int64_t len = 2; len <= 20; ++len) {
        axis_buf b(len, stride);
        for (int64_t p = 0; p < len; ++p) b.at(p) = sample(trial % 3);
        for (const int order : {2, 4, 8})
          for (const bool fwd : {true, false})
            for (int64_t pos = first_pos(fwd); pos <= last_pos(fwd, len); ++pos) {
              const int m = rule_half_width(order, fwd, pos, len);
              const float got = b.diff(fwd, pos, order);
              const float want = literal_diff(b, fwd, pos, m);
              ++checked;
              if (bits(got) != bits(want) && ++mismatches <= 10)
                ADD_FAILURE() << "order " << order << (fwd ? " forward" : " backward") << " len "
                              << len << " pos " << pos << " stride " << stride << ": got " << got
                              << " (0x" << std::hex << bits(got) << "), literal " << want << " (0x"
                              << bits(want) << ")";
              if (m == 4 && stride == 1) {
                axis_buf strided(len, 2);  // same data, fused summation
                for (int64_t p = 0; p < len; ++p) strided.at(p) = b.at(p);
                fused_differs += bits(strided.diff(fwd, pos, order)) != bits(got);
              }
            }
      }
  EXPECT_EQ(mismatches, 0) << "of " << checked;
  // The data must tell the two summation orders apart, or the check is blind.
  EXPECT_GT(fused_differs, 0) << "unit-stride and strided eighth order never differed";
}

TEST(StaggeredDiff, ConstantFieldGivesPositiveZero) {
  for (const float value : {0.0f, -0.0f, 1.0f, -3.75f, 1e30f, -2e-40f, 65504.0f})
    for (const int64_t stride : {1, 5})
      for (int64_t len = 2; len <= 20; ++len) {
        const axis_buf b(len, stride, value);
        for (const int order : {2, 4, 8})
          for (const bool fwd : {true, false})
            for (int64_t pos = first_pos(fwd); pos <= last_pos(fwd, len); ++pos) {
              const float got = b.diff(fwd, pos, order);
              EXPECT_EQ(bits(got), 0u)
                  << "constant " << value << ", order " << order << (fwd ? " forward" : " backward")
                  << ", len " << len << ", pos " << pos << ", stride " << stride << ": " << got;
            }
      }
}

// f(j) = j has unit slope; at eighth order the rounded weights still sum to
// exactly 1 in both the vector (unfused) and the fused summation.
TEST(StaggeredDiff, LinearRampGivesExactlyOneAtEighthOrder) {
  for (const int64_t stride : {1, 5})
    for (const int64_t len : {9, 12, 20, 64}) {
      axis_buf b(len, stride);
      for (int64_t p = 0; p < len; ++p) b.at(p) = float(p);
      for (const bool fwd : {true, false})
        for (int64_t pos = first_pos(fwd); pos <= last_pos(fwd, len); ++pos) {
          if (rule_half_width(8, fwd, pos, len) != 4) continue;
          const float got = b.diff(fwd, pos, 8);
          EXPECT_EQ(got, 1.0f) << (fwd ? "forward" : "backward") << " len " << len << " pos " << pos
                               << " stride " << stride << ": " << got;
        }
    }
}

// p(x) = (x - x0 - 0.3)^d around the staggered point x0 (pos + 1/2 forward,
// pos - 1/2 backward), whose exact derivative there is d (-0.3)^(d-1). The
// tolerance bounds float32 rounding of the inputs and of the sum.
TEST(StaggeredDiff, PolynomialExactnessUpToDegreeTwiceTheHalfWidth) {
  const double eps = std::ldexp(1.0, -24);
  for (const int64_t stride : {1, 3})
    for (int64_t len = 2; len <= 20; ++len)
      for (const int order : {2, 4, 8})
        for (const bool fwd : {true, false})
          for (int64_t pos = first_pos(fwd); pos <= last_pos(fwd, len); ++pos) {
            const int m = rule_half_width(order, fwd, pos, len);
            const double x0 = fwd ? pos + 0.5 : pos - 0.5;
            for (int d = 0; d <= 2 * m + 1; ++d) {
              axis_buf b(len, stride);
              for (int64_t p = 0; p < len; ++p) b.at(p) = float(std::pow(p - x0 - 0.3, d));
              const double exact = d == 0 ? 0.0 : d * std::pow(-0.3, d - 1);
              double scale = 0;
              for (int k = 1; k <= m; ++k) {
                const int64_t a = fwd ? pos + k : pos + k - 1, c = fwd ? pos + 1 - k : pos - k;
                scale +=
                    std::fabs(double(kC[m][k - 1])) * (std::fabs(b.at(a)) + std::fabs(b.at(c)));
              }
              const double tol = 8 * eps * scale + 1e-30;
              const double err = double(b.diff(fwd, pos, order)) - exact;
              if (d <= 2 * m) {
                EXPECT_LE(std::fabs(err), tol)
                    << "degree " << d << ", half-width " << m << ", order " << order
                    << (fwd ? " forward" : " backward") << ", len " << len << ", pos " << pos
                    << ", stride " << stride << ": error " << err;
              } else {
                EXPECT_GT(std::fabs(err), 10 * tol)
                    << "degree " << d << " reproduced exactly: stencil wider than half-width " << m
                    << " at pos " << pos << ", len " << len << ", order " << order;
              }
            }
          }
}

}  // namespace
