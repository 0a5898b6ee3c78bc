// Adjoint scatters: the transpose D^T of each staggered difference, which
// spreads a value times +-c_k into exactly the elements D reads. Checked as
// matrices (row of D from unit vectors == what D^T writes for value 1, bit
// for bit, everywhere on every short axis), by the dot-product identity
// <D a, y> = <a, D^T y> on a 3-D block, and for the atomic float add that
// lets threads scatter into shared elements.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "lib/kernels/atomic_add.hpp"
#include "lib/storage/formats.hpp"
#include "lib/kernels/staggered_adjoint.hpp"
#include "lib/kernels/staggered_diff.hpp"

namespace {

using namespace norvane::kernels;

// Bit patterns through the element formats' own casts.
uint32_t bits(float v) { return norvane::storage::float_bits(v); }
float from_bits(uint32_t b) { return norvane::storage::bits_float(b); }

float apply_diff(bool fwd, const float* f, int64_t index, int64_t stride, int64_t pos, int64_t len,
                 int order) {
  return fwd ? staggered_forward_diff(f, index, stride, pos, len, order)
             : staggered_backward_diff(f, index, stride, pos, len, order);
}

void apply_scatter(bool fwd, float* f, int64_t index, int64_t stride, int64_t pos, int64_t len,
                   int order, float v) {
  if (fwd) {
    add_staggered_forward_adjoint_cpu(f, index, stride, pos, len, order, v);
  } else {
    add_staggered_backward_adjoint_cpu(f, index, stride, pos, len, order, v);
  }
}

// Exhaustive: orders 2, 4, 8; axis lengths 2..20; every valid position; both
// directions; strides 1 and 4. The axis sits in a zero buffer with guards and
// gaps, which the scatter must leave at +0. The difference reads NaN there.
TEST(AdjointScatter, ExactTransposeOfEveryDifference) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  int64_t rows = 0, failures = 0;
  for (const int64_t stride : {1, 4})
    for (int64_t len = 2; len <= 20; ++len) {
      const int64_t base = 5 * stride, size = 10 * stride + (len - 1) * stride + 1;
      for (const int order : {2, 4, 8})
        for (const bool fwd : {true, false})
          for (int64_t pos = fwd ? 0 : 1; pos <= (fwd ? len - 2 : len - 1); ++pos) {
            std::vector<float> probe(size_t(size), nan), scattered(size_t(size), 0.0f);
            for (int64_t j = 0; j < len; ++j) probe[size_t(base + j * stride)] = 0.0f;
            std::vector<float> row(size_t(size), 0.0f);  // D's row, placed like the field
            for (int64_t j = 0; j < len; ++j) {
              probe[size_t(base + j * stride)] = 1.0f;
              row[size_t(base + j * stride)] =
                  apply_diff(fwd, probe.data(), base + pos * stride, stride, pos, len, order);
              probe[size_t(base + j * stride)] = 0.0f;
            }
            apply_scatter(fwd, scattered.data(), base + pos * stride, stride, pos, len, order,
                          1.0f);
            ++rows;
            bool same = true;
            for (int64_t e = 0; e < size; ++e)
              same = same && bits(row[size_t(e)]) == bits(scattered[size_t(e)]);
            if (!same && ++failures <= 10) {
              std::ostringstream d, t;
              for (int64_t e = 0; e < size; ++e) {
                d << row[size_t(e)] << " ";
                t << scattered[size_t(e)] << " ";
              }
              ADD_FAILURE() << "order " << order << (fwd ? " forward" : " backward") << ", len "
                            << len << ", pos " << pos << ", stride " << stride
                            << " (buffer with 5-stride guards)\n  row of D: " << d.str()
                            << "\n  D^T(1):   " << t.str();
            }
          }
    }
  EXPECT_EQ(failures, 0) << "of " << rows << " rows";
}

// Where only the two-point stencil applies (always at order 2, at the ends
// for 4 and 8), exactly two elements change: one gains v, the other loses v.
TEST(AdjointScatter, TwoPointStencilChangesExactlyTwoElements) {
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  const int64_t len = 12, stride = 3, size = len * stride;
  for (const int order : {2, 4, 8})
    for (const bool fwd : {true, false})
      for (int64_t pos = fwd ? 0 : 1; pos <= (fwd ? len - 2 : len - 1); ++pos) {
        const bool two_point =
            order == 2 || (fwd ? (pos == 0 || pos == len - 2) : (pos == 1 || pos == len - 1));
        if (!two_point) continue;
        std::vector<float> f(static_cast<size_t>(size));
        for (auto& x : f) x = u(rng);
        const std::vector<float> before = f;
        const float v = u(rng);
        apply_scatter(fwd, f.data(), pos * stride, stride, pos, len, order, v);
        const int64_t gain = (fwd ? pos + 1 : pos) * stride, lose = gain - stride;
        for (int64_t e = 0; e < size; ++e) {
          const float want = e == gain   ? before[size_t(e)] + v
                             : e == lose ? before[size_t(e)] - v
                                         : before[size_t(e)];
          EXPECT_EQ(bits(f[size_t(e)]), bits(want))
              << "order " << order << (fwd ? " forward" : " backward") << " pos " << pos
              << ", element " << e << ": " << before[size_t(e)] << " -> " << f[size_t(e)] << ", v "
              << v;
        }
      }
}

// <D a, y> over every valid point of a 9 x 11 x 13 block, along each axis,
// against <a, D^T y> with D^T scattered by several threads at once. Both
// sides are accumulated in double; the mismatch is float32 rounding of the
// individual terms (a few roundings each), so it stays below 4 * 2^-24 times
// the sum of their magnitudes. Measured: about 3e-9 relative to that sum.
TEST(AdjointScatter, DotProductIdentityOnStridedBlock) {
  const int64_t n[3] = {9, 11, 13};
  const int64_t strides[3] = {n[1] * n[2], n[2], 1};
  const int64_t nodes = n[0] * n[1] * n[2];
  std::mt19937 rng(31337);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> a(static_cast<size_t>(nodes)), y(static_cast<size_t>(nodes));
  for (auto& x : a) x = u(rng);
  for (auto& x : y) x = u(rng);
  for (int axis = 0; axis < 3; ++axis)
    for (const int order : {2, 4, 8})
      for (const bool fwd : {true, false}) {
        auto pos_of = [&](int64_t l) { return (l / strides[axis]) % n[axis]; };
        auto valid = [&](int64_t p) { return fwd ? p <= n[axis] - 2 : p >= 1; };
        double lhs = 0, scale = 0;
        for (int64_t l = 0; l < nodes; ++l) {
          if (!valid(pos_of(l))) continue;
          const double t = double(y[size_t(l)]) *
                           apply_diff(fwd, a.data(), l, strides[axis], pos_of(l), n[axis], order);
          lhs += t;
          scale += std::fabs(t);
        }
        std::vector<float> adj(size_t(nodes), 0.0f);
#pragma omp parallel for num_threads(3) schedule(static, 7)
        for (int64_t l = 0; l < nodes; ++l) {
          if (valid(pos_of(l)))
            apply_scatter(fwd, adj.data(), l, strides[axis], pos_of(l), n[axis], order,
                          y[size_t(l)]);
        }
        double rhs = 0;
        for (int64_t l = 0; l < nodes; ++l) {
          rhs += double(a[size_t(l)]) * adj[size_t(l)];
          scale += std::fabs(double(a[size_t(l)]) * adj[size_t(l)]);
        }
        EXPECT_LE(std::fabs(lhs - rhs), 4 * std::ldexp(1.0, -24) * scale)
            << "axis " << axis << ", order " << order << (fwd ? " forward" : " backward")
            << ": <D a, y> = " << lhs << ", <a, D^T y> = " << rhs << ", |diff| "
            << std::fabs(lhs - rhs) << ", scale " << scale;
      }
}

// Integers below 2^24 add exactly in float32, so any lost update shows. The
// threads start each round together at a barrier, and each loop hammers one
// kind of update; many short rounds give many chances to collide.
TEST(AtomicAdd, ConcurrentUnitAddsLoseNothing) {
  const int threads = 4, rounds = 24, per_round = 40000;
  float sum = 0.0f, neg = 0.0f;
  std::vector<float> field(4, 0.0f);  // two-point scatter at one shared point
#pragma omp parallel num_threads(threads)
  for (int r = 0; r < rounds; ++r) {
#pragma omp barrier
    for (int q = 0; q < per_round; ++q) atomic_add_float(&sum, 1.0f);
#pragma omp barrier
    for (int q = 0; q < per_round; ++q) atomic_sub_float(&neg, 1.0f);
#pragma omp barrier
    for (int q = 0; q < per_round; ++q)
      add_staggered_forward_adjoint_cpu(field.data(), 1, 1, 1, 4, 2, 1.0f);
  }
  const float total = float(threads * rounds * per_round);
  EXPECT_EQ(sum, total);
  EXPECT_EQ(neg, -total);
  EXPECT_EQ(field[2], total);
  EXPECT_EQ(field[1], -total);
  EXPECT_EQ(bits(field[0]) | bits(field[3]), 0u);
}

// Runs f on its own thread and waits at most two seconds for it. The thread
// owns its data, so a spinning one can be abandoned safely.
template <class F>
bool finishes(F f) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([f, done]() mutable {
    f();
    done->store(true);
  }).detach();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!done->load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done->load();
}

// A NaN never equals itself and -0 equals +0, so a compare-and-swap on values
// rather than bit patterns would retry forever or lose the sign.
TEST(AtomicAdd, NanAndSignedZeroTargetsDoNotSpin) {
  const uint32_t targets[] = {0x7FC00000u, 0xFFFFFFFFu, 0x7F800001u, 0x80000000u, 0x00000000u};
  const float values[] = {1.0f, -0.0f, 0.0f, std::numeric_limits<float>::quiet_NaN()};
  for (const uint32_t t : targets)
    for (const float v : values)
      for (const bool add : {true, false}) {
        auto cell = std::make_shared<float>(from_bits(t));
        const bool ok = finishes([cell, v, add] {
          if (add) {
            atomic_add_float(cell.get(), v);
          } else {
            atomic_sub_float(cell.get(), v);
          }
        });
        ASSERT_TRUE(ok) << (add ? "add " : "sub ") << v << " to pattern 0x" << std::hex << t
                        << " spins";
        const float want = add ? from_bits(t) + v : from_bits(t) - v;
        EXPECT_TRUE(bits(*cell) == bits(want) || (std::isnan(*cell) && std::isnan(want)))
            << "0x" << std::hex << t << (add ? " + " : " - ") << v << " gave 0x" << bits(*cell)
            << ", expected 0x" << bits(want);
      }
  // Through the eighth-order scatter into a field of NaNs and negative zeros.
  for (const uint32_t t : {0x7FC00000u, 0x80000000u}) {
    auto field = std::make_shared<std::vector<float>>(20, from_bits(t));
    EXPECT_TRUE(finishes([field] {
      add_staggered_forward_adjoint_cpu(field->data(), 8, 1, 8, 20, 8, -0.0f);
      add_staggered_backward_adjoint_cpu(field->data(), 8, 1, 8, 20, 8, 0.0f);
    })) << "scatter into pattern 0x"
        << std::hex << t << " spins";
  }
}

}  // namespace
