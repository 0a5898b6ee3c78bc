// Per-node update coefficients of the lossy Maxwell update
//   E <- ca_e E + cb_e curl H,  ca_e = (eps/dt - sigma/2)/(eps/dt + sigma/2),
//   cb_e = (1/dx)/(eps/dt + sigma/2),  cs_e = 1/(eps/dt + sigma/2),
//   H <- H - cb_h curl E,  cb_h = (1/dx)/(mu/dt),  cs_h = dt/mu,
// with a perfect conductor (all E factors 0) where sigma > 100 S/m. Checked
// against a literal per-node recomputation, bit for bit, on random media and
// on grids whose last planes (never written) hold sentinels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lib/kernels/isa.hpp"
#include "lib/kernels/update_coeffs.hpp"
#include "tests/common/isa_loop.hpp"

namespace {

constexpr float kMu0 = 1.256637e-6f;
constexpr float kEps0 = 8.854188e-12f;

uint32_t bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, 4);
  return b;
}

// Arrays in the order ca_e, cb_e, cs_e, ca_h, cb_h, cs_h.
const char* const kNames[6] = {"ca_e", "cb_e", "cs_e", "ca_h", "cb_h", "cs_h"};

struct coeff_grid {
  int nx, ny, nz;
  float dt = 1.7e-11f, dx = 0.0123f;
  std::vector<float> eps_r, sigma, mu_r, out[6];

  coeff_grid(int nx_, int ny_, int nz_) : nx(nx_), ny(ny_), nz(nz_) {
    const size_t n = size_t(nodes());
    eps_r.assign(n, 1.0f);
    sigma.assign(n, 0.0f);
    mu_r.assign(n, 1.0f);
    for (int a = 0; a < 6; ++a) out[a].assign(n, sentinel(a));
  }
  int64_t nodes() const { return int64_t(nx) * ny * nz; }
  static float sentinel(int a) { return -1234.5f - a; }

  void build(int threads) {
    const int64_t n_nodes = nodes(), plane = int64_t(ny) * nz;
#pragma omp parallel num_threads(threads)
    norvane::kernels::build_update_coeffs_cpu(
        n_nodes, plane, nz, nx, ny, mu_r.data(), dt, out[3].data(), out[4].data(), dx,
        out[5].data(), sigma.data(), out[0].data(), out[1].data(), out[2].data(), eps_r.data());
  }

  // The six coefficients of node n, each operation rounded to float32 in turn.
  void literal(int64_t n, float (&c)[6]) const {
    float m = mu_r[n] * kMu0;
    m = m / dt;
    c[3] = 1.0f;
    c[4] = (1.0f / dx) / m;
    c[5] = 1.0f / m;
    const float s = sigma[n];
    if (s > 100.0f) {
      c[0] = c[1] = c[2] = 0.0f;
      return;
    }
    float e = eps_r[n] * kEps0;
    e = e / dt;
    const float h = s * 0.5f;
    const float d = h + e;
    c[0] = (e - h) / d;
    c[1] = (1.0f / dx) / d;
    c[2] = 1.0f / d;
  }

  // Every interior node equals the literal recomputation (NaNs match NaNs);
  // every node on a last plane still holds the caller's sentinel.
  int check(const char* what) const {
    int failures = 0;
    for (int i = 0; i < nx; ++i)
      for (int j = 0; j < ny; ++j)
        for (int k = 0; k < nz; ++k) {
          const int64_t n = (int64_t(i) * ny + j) * nz + k;
          const bool written = i < nx - 1 && j < ny - 1 && k < nz - 1;
          float want[6];
          if (written) literal(n, want);
          for (int a = 0; a < 6; ++a) {
            const float got = out[a][n];
            const float w = written ? want[a] : sentinel(a);
            const bool same = bits(got) == bits(w) || (std::isnan(got) && std::isnan(w));
            if (!same && ++failures <= 10) {
              ADD_FAILURE() << what << ": " << kNames[a] << " at (" << i << ", " << j << ", " << k
                            << ") is " << got << " (0x" << std::hex << bits(got) << std::dec
                            << "), expected " << w << (written ? "" : " (untouched)") << "; eps_r "
                            << eps_r[n] << ", sigma " << sigma[n] << ", mu_r " << mu_r[n];
            }
          }
        }
    return failures;
  }
};

TEST(UpdateCoeffs, VacuumGivesUnitDecayAndTheCourantFactor) {
  for (const float dt : {1e-11f, 3.3e-12f, 2.5e-9f}) {
    for (const float dx : {0.01f, 0.003f, 1.7f}) {
      coeff_grid g(2, 2, 2);
      g.dt = dt;
      g.dx = dx;
      g.build(1);
      const float cb_e = (1.0f / dx) / ((1.0f * 8.854188e-12f) / dt);
      const float cb_h = (1.0f / dx) / ((1.0f * 1.256637e-6f) / dt);
      EXPECT_EQ(g.out[0][0], 1.0f) << "dt " << dt << " dx " << dx;
      EXPECT_EQ(bits(g.out[1][0]), bits(cb_e)) << g.out[1][0] << " vs " << cb_e;
      EXPECT_NEAR(g.out[1][0] / (double(dt) / (8.854188e-12 * dx)), 1.0, 1e-6)
          << "cb_e " << g.out[1][0];
      EXPECT_EQ(g.out[3][0], 1.0f);
      EXPECT_EQ(bits(g.out[4][0]), bits(cb_h)) << g.out[4][0] << " vs " << cb_h;
      EXPECT_NEAR(g.out[2][0] / (double(dt) / 8.854188e-12), 1.0, 1e-6) << "cs_e " << g.out[2][0];
      EXPECT_NEAR(g.out[5][0] / (double(dt) / 1.256637e-6), 1.0, 1e-6) << "cs_h " << g.out[5][0];
    }
  }
}

// Only sigma strictly above 100 S/m makes a perfect conductor; its H
// coefficients are computed as for any other node.
TEST(UpdateCoeffs, PerfectConductorThresholdIsStrict) {
  const float values[] = {0.0f,   50.0f,     std::nextafter(100.0f, 0.0f),
                          100.0f, 100.0001f, std::nextafter(100.0f, 200.0f),
                          150.0f, 1e30f,     INFINITY};
  coeff_grid g(2, 2, 10);
  for (int k = 0; k < 9; ++k) {
    g.sigma[k] = values[k];
    g.eps_r[k] = 2.0f + k;
    g.mu_r[k] = 1.0f + 0.25f * k;
  }
  g.build(2);
  g.check("sigma sweep");
  for (int k = 0; k < 9; ++k) {
    const bool pec = values[k] > 100.0f;
    for (int a = 0; a < 3; ++a) {
      if (pec) {
        EXPECT_EQ(bits(g.out[a][k]), 0u)
            << kNames[a] << " for sigma " << values[k] << " is " << g.out[a][k];
      } else {
        EXPECT_TRUE(std::isfinite(g.out[a][k]) && g.out[a][k] != 0.0f)
            << kNames[a] << " for sigma " << values[k] << " is " << g.out[a][k];
      }
    }
    EXPECT_EQ(g.out[3][k], 1.0f) << "ca_h for sigma " << values[k];
    EXPECT_TRUE(std::isfinite(g.out[4][k]) && g.out[4][k] > 0.0f) << "cb_h " << g.out[4][k];
  }
}

// Grid shapes, including axes of one and two nodes where nothing or only the
// first plane is interior, and rows long enough for whole vectors and a
// remainder on every instruction set.
struct shape {
  int nx, ny, nz;
};
void PrintTo(const shape& s, std::ostream* os) { *os << s.nx << "x" << s.ny << "x" << s.nz; }

class UpdateCoeffsShape : public ::testing::TestWithParam<shape> {};

TEST_P(UpdateCoeffsShape, InteriorMatchesLiteralFormulasLastPlanesUntouched) {
  const shape s = GetParam();
  std::mt19937 rng(7919 + s.nx * 100 + s.ny * 10 + s.nz);
  std::uniform_real_distribution<float> ue(1.0f, 80.0f), us(0.0f, 120.0f), um(1.0f, 10.0f),
      u01(0.0f, 1.0f);
  norvane_test::for_each_isa([&](norvane::kernels::isa_level isa) {
    for (const int threads : {1, 3}) {
      coeff_grid g(s.nx, s.ny, s.nz);
      g.dt = 2.3e-12f;
      g.dx = 0.0071f;
      for (int64_t n = 0; n < g.nodes(); ++n) {
        g.eps_r[n] = ue(rng);
        g.mu_r[n] = um(rng);
        const float p = u01(rng);
        g.sigma[n] = p < 0.1f ? 100.0f : p < 0.2f ? 100.0001f : p < 0.25f ? NAN : us(rng);
      }
      g.build(threads);
      const std::string what =
          std::string(norvane::kernels::isa_name(isa)) + (threads == 1 ? ", 1 thread" : ", 3 threads");
      const int failures = g.check(what.c_str());
      EXPECT_EQ(failures, 0) << s.nx << "x" << s.ny << "x" << s.nz << ", " << what;
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Grids, UpdateCoeffsShape,
                         ::testing::Values(shape{7, 5, 9}, shape{2, 6, 5}, shape{6, 2, 5},
                                           shape{6, 5, 2}, shape{2, 2, 2}, shape{1, 6, 5},
                                           shape{6, 1, 5}, shape{6, 5, 1}, shape{1, 1, 1},
                                           shape{3, 17, 33}, shape{3, 4, 70}));

}  // namespace
