// The snapshot writers of every instruction set store the bits of the scalar
// encoders: the hardware binary16 conversion, where a set uses it, must round
// like the bit-pattern encoder and give its quiet NaN, on sampled float
// patterns, rounding ties, NaNs with payloads and the overflow boundary, in
// the E writer and in the right-hand-side writer. The run decoder the
// gradient phase reads binary16 snapshots with gives the scalar decoder's
// bits on every pattern.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "lib/kernels/isa.hpp"
#include "lib/storage/formats.hpp"
#include "lib/storage/snapshots.hpp"

namespace st = norvane::storage;
namespace kn = norvane::kernels;

namespace {

float from_bits(uint32_t b) {
  float v;
  std::memcpy(&v, &b, 4);
  return v;
}

std::vector<float> hard_values() {
  std::vector<float> v;
  uint32_t b = 0;
  for (int n = 0; n < 60000; ++n, b += 71569u * 997u + 1u) v.push_back(from_bits(b));
  for (uint32_t e = 100; e < 146; ++e)  // around the half subnormal and normal ranges
    for (uint32_t low : {0x0FFFu, 0x1000u, 0x1001u, 0x3000u, 0x2000u, 0x7FFFu, 0x8000u})
      for (uint32_t s : {0u, 0x80000000u}) v.push_back(from_bits(s | (e << 23) | low));
  for (uint32_t p : {0x7F800001u, 0x7FC00001u, 0xFFBFFFFFu, 0x7FFFFFFFu, 0xFF800000u, 0x00000001u,
                     0x80000000u, 0x477FE000u, 0x477FF000u, 0x477FEFFFu, 0x33000000u, 0x33000001u})
    v.push_back(from_bits(p));
  return v;
}

class SnapshotWriters : public ::testing::TestWithParam<kn::isa_level> {
 protected:
  void TearDown() override { kn::force_isa(-1); }
};

TEST_P(SnapshotWriters, HalfStoresMatchTheScalarEncoder) {
  if (!kn::cpu_runs(GetParam())) GTEST_SKIP() << "instruction set not available";
  kn::force_isa(GetParam());
  const std::vector<float> vals = hard_values();
  // One interior row: a 2 x 2 x (n+1) grid has n interior cells at (0, 0, k).
  const int n = static_cast<int>(vals.size()), nz = n + 1;
  std::vector<float> field(size_t(4) * nz, 0.0f), ones(field.size(), 1.0f);
  std::vector<float> ca(field.size(), 0.5f), cs(field.size(), 3.0f);
  std::memcpy(field.data(), vals.data(), vals.size() * 4);
  cs[7] = 0.0f;  // a conductor node stores +0
  std::vector<uint16_t> e_store(n), rhs_store(n);
  std::vector<float> scratch(n);
  norvane::storage::save_e_snapshot_cpu(e_store.data(), 0, field.data(), scratch.data(), 1, 2, 2,
                                        nz, 1);
  for (int k = 0; k < n; ++k) ASSERT_EQ(e_store[k], st::encode_half(vals[k])) << "E, cell " << k;
  // The right-hand side with E_old = 1 from the scratch: (E - ca)/cs.
  std::fill(scratch.begin(), scratch.end(), 1.0f);
  norvane::storage::save_rhs_snapshot_cpu(rhs_store.data(), 0, field.data(), e_store.data(),
                                          scratch.data(), ca.data(), cs.data(), 1, 2, 2, nz, 1);
  for (int k = 0; k < n; ++k) {
    const float rhs = cs[k] == 0.0f ? 0.0f : std::fma(-ca[k], 1.0f, vals[k]) / cs[k];
    ASSERT_EQ(rhs_store[k], st::encode_half(rhs)) << "rhs, cell " << k;
  }
}

// Every pattern, signalling NaNs keeping their payload, at lengths and
// offsets that leave a scalar remainder, and with the denormals-are-zero and
// flush-to-zero modes a host may have set (binary16 subnormals still decode
// to their exact value).
TEST_P(SnapshotWriters, HalfRunDecoderMatchesTheScalarDecoder) {
  if (!kn::cpu_runs(GetParam())) GTEST_SKIP() << "instruction set not available";
  kn::force_isa(GetParam());
  std::vector<uint16_t> h(65536 + 9);
  for (size_t p = 0; p < h.size(); ++p) h[p] = static_cast<uint16_t>(p * 0x9E37u + 0x7C01u);
  const unsigned csr = _mm_getcsr();
  for (const unsigned mode : {0u, 0x8040u}) {
    _mm_setcsr((csr & ~0x8040u) | mode);
    for (const size_t first : {size_t{0}, size_t{3}}) {
      std::vector<float> out(h.size() - first, -1.0f);
      st::decode_half_run_cpu(out.data(), h.data() + first, static_cast<int64_t>(out.size()));
      for (size_t p = 0; p < out.size(); ++p) {
        uint32_t got, want;
        const float w = st::decode_half(h[first + p]);
        std::memcpy(&got, &out[p], 4);
        std::memcpy(&want, &w, 4);
        if (got != want) {
          _mm_setcsr(csr);
          FAIL() << "pattern 0x" << std::hex << h[first + p] << ": 0x" << got << ", expected 0x"
                 << want << (mode ? " (DAZ, FTZ)" : "");
        }
      }
    }
  }
  _mm_setcsr(csr);
}

INSTANTIATE_TEST_SUITE_P(Sets, SnapshotWriters,
                         ::testing::Values(kn::isa_generic, kn::isa_avx2, kn::isa_avx512),
                         [](const auto& info) { return std::string(kn::isa_name(info.param)); });

}  // namespace
