// The exported surface of the shared library: exactly five C entry points,
// the two capability queries, and the process-wide difference order as a
// pass actually applies it. The order is observed, never read back: one
// forward step from a known E field leaves H = -cb * D(E), and the stencil
// width of D tells which order the pass captured.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lib/interface/norvane_cpu.h"
#include "tests/common/sim_case.hpp"

namespace {

// Exact stencil coefficients of half-widths 1, 2 and 4 (orders 2, 4, 8).
const double kCoeff[5][4] = {{0, 0, 0, 0},
                             {1, 0, 0, 0},
                             {9.0 / 8, -1.0 / 24, 0, 0},
                             {0, 0, 0, 0},
                             {1225.0 / 1024, -245.0 / 3072, 49.0 / 5120, -5.0 / 7168}};

TEST(Exports, DynamicSymbolTableHoldsExactlyTheFiveEntryPoints) {
  const std::string cmd = std::string("nm -D --defined-only '") + NORVANE_SO_PATH + "' 2>&1";
  FILE* pipe = popen(cmd.c_str(), "r");
  ASSERT_NE(pipe, nullptr) << cmd;
  std::set<std::string> functions, other_globals;
  std::string listing;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe)) {
    listing += line;
    std::istringstream in(line);
    std::string addr, type, name;
    if (!(in >> addr >> type >> name)) continue;
    name = name.substr(0, name.find('@'));  // drop a version suffix
    if (type == "T" || type == "W" || type == "i") {
      functions.insert(name);
    } else if (type != "A" && type.size() == 1 &&
               std::isupper(static_cast<unsigned char>(type[0]))) {
      other_globals.insert(name + " (" + type + ")");  // exported data would leak state
    }
  }
  ASSERT_EQ(pclose(pipe), 0) << "nm failed:\n" << listing;
  const std::set<std::string> expected = {"norvane_abi_version", "norvane_supports_external_pml",
                                          "set_fdtd_order", "forward", "backward"};
  EXPECT_EQ(functions, expected) << "nm -D listing:\n" << listing;
  EXPECT_TRUE(other_globals.empty()) << "nm -D listing:\n" << listing;
}

TEST(Exports, CapabilityQueriesAreConstant) {
  for (int call = 0; call < 3; ++call) {
    EXPECT_EQ(norvane_abi_version(), 6) << "call " << call;
    EXPECT_EQ(norvane_supports_external_pml(), 1) << "call " << call;
  }
}

// Runs one lossless vacuum step on a 3 x 20 x 20 grid with two shots:
// shot 0 holds ez = r(j), shot 1 holds ey = r(k), everything else zero. With
// H = 0 on entry, the magnetic update leaves
//   shot 0: hx(1, j, k) = -(Dy+ ez * cb)   (difference across rows, stride nz)
//   shot 1: hx(1, j, k) =  fma(cb, Dz+ ey, +0) (the unit-stride, vector axis)
// Returns the largest deviation, over the positions where every order keeps
// its full stencil, between the difference recovered from hx and the
// difference of half-width m evaluated in double.
struct order_probe {
  static constexpr int n = 20;
  norvane_test::sim_case c;
  std::vector<float> r;

  order_probe() {
    c.nx = 3;
    c.ny = n;
    c.nz = n;
    c.n_shots = 2;
    c.nt = 1;
    c.allocate();
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int q = 0; q < n; ++q) r.push_back(u(rng));
    const int64_t nn = c.n_nodes();
    for (int i = 0; i < c.nx; ++i)
      for (int j = 0; j < n; ++j)
        for (int k = 0; k < n; ++k) {
          const int64_t node = (int64_t(i) * n + j) * n + k;
          c.e[2][node] = r[j];
          c.e[1][nn + node] = r[k];
        }
    c.run_forward(forward);
  }

  double reference(int m, int pos) const {
    double s = 0;
    for (int k = 1; k <= m; ++k) s += kCoeff[m][k - 1] * (double(r[pos + k]) - r[pos + 1 - k]);
    return s;
  }

  double max_deviation(int m, std::string* log) const {
    const int64_t nn = c.n_nodes();
    double worst = 0;
    std::ostringstream out;
    for (int p = 3; p <= n - 5; ++p) {
      const int64_t node_y = (int64_t(1) * n + p) * n + 0;  // hx(1, p, 0), shot 0
      const int64_t node_z = (int64_t(1) * n + 0) * n + p;  // hx(1, 0, p), shot 1
      const double dy = -double(c.h[0][node_y]) / c.coeff[4][node_y];
      const double dz = double(c.h[0][nn + node_z]) / c.coeff[4][node_z];
      const double want = reference(m, p);
      worst = std::max({worst, std::fabs(dy - want), std::fabs(dz - want)});
      out << "  pos " << p << ": y " << dy << ", z " << dz << ", half-width " << m << " gives "
          << want << "\n";
    }
    if (log) *log = out.str();
    return worst;
  }
};

struct order_case {
  std::vector<int> calls;  // set_fdtd_order arguments, in turn
  int expected;            // the order the next pass must use
};
void PrintTo(const order_case& c, std::ostream* os) {
  *os << "set_fdtd_order(";
  for (size_t q = 0; q < c.calls.size(); ++q) *os << (q ? "), (" : "") << c.calls[q];
  *os << ") -> " << c.expected;
}

class OrderSetting : public ::testing::TestWithParam<order_case> {
 protected:
  void TearDown() override { set_fdtd_order(2); }
};

TEST_P(OrderSetting, NextPassUsesTheStoredOrder) {
  const order_case& oc = GetParam();
  for (int v : oc.calls) set_fdtd_order(v);
  const order_probe probe;
  const int expected_m = oc.expected / 2;  // orders 2, 4, 8 -> half-widths 1, 2, 4
  for (int m : {1, 2, 4}) {
    std::string log;
    const double dev = probe.max_deviation(m, &log);
    if (m == expected_m) {
      EXPECT_LT(dev, 1e-5) << "order " << oc.expected << " not applied:\n" << log;
    } else {
      EXPECT_GT(dev, 1e-3) << "pass matches half-width " << m << ", expected " << expected_m
                           << ":\n"
                           << log;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sequences, OrderSetting,
                         ::testing::Values(order_case{{}, 2}, order_case{{4}, 4},
                                           order_case{{8}, 8}, order_case{{2}, 2},
                                           order_case{{4, 3}, 2}, order_case{{6}, 2},
                                           order_case{{8, 6}, 2}, order_case{{0}, 2},
                                           order_case{{-4}, 2}, order_case{{16}, 2},
                                           order_case{{8, 4}, 4}, order_case{{4, 8}, 8}));

}  // namespace
