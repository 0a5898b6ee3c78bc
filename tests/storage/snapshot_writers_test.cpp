// The snapshot writers of every instruction set store the bits of the scalar
// encoders: the hardware binary16 conversion, where a set uses it, must round
// like the bit-pattern encoder and give its quiet NaN, on sampled float
// patterns, rounding ties, NaNs with payloads and the overflow boundary, in
// the E writer and in the right-hand-side writer. The run decoder the
// gradient phase reads binary16 snapshots with gives the scalar decoder's
// bits on every pattern.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <algorithm>
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

// Every format, on rows of every length up to two vectors past a whole
// number of them (the vector rows end in a masked remainder) and on one long
// row of the hard values; the right-hand side with E_old from the scratch
// and, without one, read back from the stored E.
TEST_P(SnapshotWriters, StoresMatchTheScalarEncoders) {
  if (!kn::cpu_runs(GetParam())) GTEST_SKIP() << "instruction set not available";
  kn::force_isa(GetParam());
  const std::vector<float> hard = hard_values();
  std::vector<int> lengths;
  for (int n = 1; n <= 34; ++n) lengths.push_back(n);
  lengths.push_back(static_cast<int>(hard.size()));
  for (int format : {0, 1, 2})
    for (int n : lengths) {
      // One interior row: a 2 x 2 x (n+1) grid has n interior cells at (0, 0, k).
      const int nz = n + 1;
      std::vector<float> field(size_t(4) * nz, 0.0f), old(field.size(), 0.0f);
      std::vector<float> ca(field.size(), 0.5f), cs(field.size(), 3.0f);
      for (int k = 0; k < n; ++k) {
        field[k] = hard[(size_t(k) * 7919) % hard.size()];
        old[k] = k % 3 ? 1.0f : hard[(size_t(k) * 104729 + 3) % hard.size()];
        ca[k] = 0.25f + 0.125f * (k % 5);
      }
      cs[n / 2] = 0.0f;  // a conductor node stores +0
      if (n > 2) cs[1] = -0.0f;
      const int bytes = st::element_bytes(format);
      std::vector<char> e_store(size_t(n) * bytes), rhs_store(e_store.size()), plain(e_store.size());
      std::vector<float> scratch(n);
      st::save_e_snapshot_cpu(e_store.data(), 0, old.data(), scratch.data(), 1, 2, 2, nz, format);
      for (int k = 0; k < n; ++k) {
        st::store_wavefield_value(plain.data(), k, format, old[k]);
        ASSERT_EQ(std::memcmp(&scratch[k], &old[k], 4), 0) << "scratch, cell " << k;
      }
      ASSERT_EQ(e_store, plain) << "E, format " << format << ", " << n << " cells";
      for (const float* sc : {static_cast<const float*>(scratch.data()), static_cast<const float*>(nullptr)}) {
        st::save_rhs_snapshot_cpu(rhs_store.data(), 0, field.data(), e_store.data(), sc, ca.data(),
                                  cs.data(), 1, 2, 2, nz, format);
        for (int k = 0; k < n; ++k) {
          const float e0 = sc ? old[k] : st::load_wavefield_value(e_store.data(), k, format);
          const float rhs = cs[k] == 0.0f ? 0.0f : std::fma(-ca[k], e0, field[k]) / cs[k];
          st::store_wavefield_value(plain.data(), k, format, rhs);
        }
        ASSERT_EQ(rhs_store, plain) << "rhs, format " << format << ", " << n << " cells"
                                    << (sc ? "" : ", no scratch");
      }
    }
}

// The writers that take all components in one sweep store, for each
// component, what one sweep of that component alone stores: its own field,
// scratch and store regions, in every format, over several shots and a slot
// other than the first, with and without a scratch.
TEST_P(SnapshotWriters, ComponentsInOneSweepMatchOneSweepEach) {
  if (!kn::cpu_runs(GetParam())) GTEST_SKIP() << "instruction set not available";
  kn::force_isa(GetParam());
  const int n_shots = 2, nx = 4, ny = 5, nz = 37, slot = 1;
  const size_t nodes = size_t(n_shots) * nx * ny * nz, cells = size_t(n_shots) * 3 * 4 * 36;
  std::vector<float> field[3], ca(nodes), cs(nodes);
  uint32_t b = 12345;
  auto next = [&] { return (b = b * 1664525u + 1013904223u) / 4294967296.0f - 0.5f; };
  for (auto& f : field) {
    f.resize(nodes);
    for (float& v : f) v = next();
  }
  for (size_t n = 0; n < nodes; ++n) ca[n] = 0.5f + next(), cs[n] = n % 11 ? 2.0f + next() : 0.0f;
  for (int format : {0, 1, 2}) {
    for (bool with_scratch : {true, false}) {
      const size_t bytes = 2 * cells * st::element_bytes(format);
      std::vector<char> e_all[3], e_one[3], r_all[3], r_one[3];
      std::vector<float> s_all[3], s_one[3];
      void *e_ptr[3], *r_ptr[3];
      const void* e_const[3];
      const float* f_ptr[3];
      float* s_ptr[3];
      for (int c = 0; c < 3; ++c) {
        for (auto* v : {&e_all[c], &e_one[c], &r_all[c], &r_one[c]}) v->assign(bytes, 0);
        s_all[c].assign(cells, 0.0f), s_one[c].assign(cells, 0.0f);
        e_ptr[c] = e_all[c].data(), r_ptr[c] = r_all[c].data(), e_const[c] = e_all[c].data();
        f_ptr[c] = field[c].data(), s_ptr[c] = s_all[c].data();
      }
      st::save_e_snapshots_cpu(e_ptr, slot, f_ptr, with_scratch ? s_ptr : nullptr, 3, n_shots, nx,
                               ny, nz, format);
      std::vector<float> shifted[3];  // E after the step: the field moved on
      for (int c = 0; c < 3; ++c) {
        shifted[c] = field[c];
        for (float& v : shifted[c]) v = v * 1.5f + 0.25f;
        f_ptr[c] = shifted[c].data();
      }
      st::save_rhs_snapshots_cpu(r_ptr, slot, f_ptr, e_const, with_scratch ? s_ptr : nullptr, 3,
                                 ca.data(), cs.data(), n_shots, nx, ny, nz, format);
      for (int c = 0; c < 3; ++c) {
        float* scratch = with_scratch ? s_one[c].data() : nullptr;
        st::save_e_snapshot_cpu(e_one[c].data(), slot, field[c].data(), scratch, n_shots, nx, ny,
                                nz, format);
        st::save_rhs_snapshot_cpu(r_one[c].data(), slot, shifted[c].data(), e_one[c].data(),
                                  scratch, ca.data(), cs.data(), n_shots, nx, ny, nz, format);
        EXPECT_EQ(e_all[c], e_one[c]) << "E, component " << c << ", format " << format;
        EXPECT_EQ(r_all[c], r_one[c]) << "rhs, component " << c << ", format " << format;
        EXPECT_EQ(s_all[c], s_one[c]) << "scratch, component " << c << ", format " << format;
      }
    }
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

// Runs of every length up to a few vectors, the remainder in one masked
// vector: each value as the scalar conversions give it, and nothing written
// past the run's end.
TEST_P(SnapshotWriters, HalfRunsOfEveryLengthStopAtTheirEnd) {
  if (!kn::cpu_runs(GetParam())) GTEST_SKIP() << "instruction set not available";
  kn::force_isa(GetParam());
  const std::vector<float> vals = hard_values();
  for (int n = 1; n <= 40; ++n) {
    // E of one interior row of a 2 x 2 x (n+1) grid: n cells.
    const int nz = n + 1;
    std::vector<float> field(size_t(4) * nz, 0.0f);
    std::copy_n(vals.begin() + 100 * n, n, field.begin());
    std::vector<uint16_t> store(n + 16, 0xBEEF);
    norvane::storage::save_e_snapshot_cpu(store.data(), 0, field.data(), nullptr, 1, 2, 2, nz, 1);
    for (int k = 0; k < n + 16; ++k)
      ASSERT_EQ(store[k], k < n ? st::encode_half(field[k]) : 0xBEEF)
          << "encode, run " << n << ", " << k;
    std::vector<float> out(n + 16, -7.0f);
    st::decode_half_run_cpu(out.data(), store.data(), n);
    for (int k = 0; k < n + 16; ++k) {
      const float want = k < n ? st::decode_half(store[k]) : -7.0f;
      ASSERT_EQ(std::memcmp(&out[k], &want, 4), 0) << "decode, run " << n << ", " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sets, SnapshotWriters,
                         ::testing::Values(kn::isa_generic, kn::isa_avx2, kn::isa_avx512),
                         [](const auto& info) { return std::string(kn::isa_name(info.param)); });

}  // namespace
