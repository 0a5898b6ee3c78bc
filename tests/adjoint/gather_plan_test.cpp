// The gather plans' pieces, checked as the kernels use them: every blocked
// row's pieces own disjoint runs of the row's targets in ascending order.
// The rescaling a row's targets owe is applied once per target on that
// basis (by the pieces that rescale their own lanes, the rest up front), so
// an overlap would rescale a target twice and a gap out of order would skip
// one; the bit-identity tests catch that only on the rows and phases their
// grids happen to produce.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "lib/adjoint/gather_plan.hpp"
#include "tests/common/huge_grid.hpp"

namespace na = norvane::adjoint;
namespace nt = norvane_test;

namespace {

// The errors of row (comp, i, j) at vector phase `phase`; empty if none.
std::string check_row(const na::gather_plan& plan, int comp, int64_t i, int64_t j, int phase,
                      int64_t nz) {
  const auto* start = reinterpret_cast<const float*>(uintptr_t{1024} + sizeof(float) * phase);
  const na::row_plan& rp = plan.row(comp, i, j, start);
  if (!rp.blocked) return "";
  int64_t done = 0;  // targets below are owned by earlier pieces
  for (int q = 0; q < rp.count; ++q) {
    const na::gather_piece& p = plan.pieces[rp.first + q];
    const int64_t own0 = p.k + p.lane0, own1 = p.k + (p.n_blocks - 1) * na::block_lanes + p.lane1;
    const bool lanes_ok = p.uniform ? p.lane0 == 0 && p.lane1 == na::block_lanes
                                    : p.n_blocks == 1 && 0 <= p.lane0 && p.lane0 < p.lane1 &&
                                          p.lane1 <= na::block_lanes;
    if (!lanes_ok || own0 < done || p.k < 0 || p.k + p.n_blocks * na::block_lanes > nz)
      return "piece " + std::to_string(q) + " at k " + std::to_string(p.k) + " owns [" +
             std::to_string(own0) + ", " + std::to_string(own1) + ") after " + std::to_string(done);
    done = own1;
  }
  return "";
}

TEST(GatherPlan, PiecesOwnDisjointAscendingTargets) {
  const int none[6] = {0, 0, 0, 0, 0, 0};
  for (int nz : {16, 18, 37, 67, 100, 130})
    for (int order : {2, 4, 8}) {
      nt::huge_grid g(11, 12, nz, 1, none);
      ASSERT_TRUE(g.ok);
      g.a.order = order;
      for (bool h_transpose : {false, true}) {
        const na::gather_plan plan(g.a, h_transpose);
        for (int phase = 0; phase < na::block_lanes; ++phase)
          for (int comp = 0; comp < 3; ++comp)
            for (int64_t i = 0; i < g.a.g.nx; ++i)
              for (int64_t j = 0; j < g.a.g.ny; ++j) {
                const std::string err = check_row(plan, comp, i, j, phase, nz);
                ASSERT_EQ(err, "") << "nz " << nz << ", order " << order << ", "
                                   << (h_transpose ? "H" : "E") << " transpose, phase " << phase
                                   << ", component " << comp << ", row (" << i << ", " << j << ")";
              }
      }
    }
}

}  // namespace
