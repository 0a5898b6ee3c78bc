// The sweeps' row orders: a thread steps from one position to the next
// instead of locating each one, and must meet exactly the rows the order
// places there, across tile edges, narrow last tiles, planes and shots.
#include <gtest/gtest.h>
#include <omp.h>

#include <vector>

#include "lib/forward/rows.hpp"

namespace {

using norvane::forward::tile_order;

void expect_same(const tile_order::cursor& stepped, const tile_order::cursor& located, int64_t r) {
  EXPECT_EQ(stepped.s, located.s) << "position " << r;
  EXPECT_EQ(stepped.i, located.i) << "position " << r;
  EXPECT_EQ(stepped.j, located.j) << "position " << r;
  EXPECT_EQ(stepped.t0, located.t0) << "position " << r;
  EXPECT_EQ(stepped.width, located.width) << "position " << r;
}

TEST(RowOrder, SteppingMeetsTheLocatedRowsOfEveryTiling) {
  for (int64_t nx : {1, 3, 7})
    for (int64_t ny : {1, 4, 10})
      for (int64_t shots : {1, 3})
        for (int64_t cols : {1, 3, 4, 100}) {
          SCOPED_TRACE(testing::Message() << nx << "x" << ny << ", " << shots << " shots, " << cols
                                          << " columns");
          const tile_order order(nx, ny, shots, cols);
          tile_order::cursor c = order.cursor_at(0);
          for (int64_t r = 0; r < order.rows; ++r, order.advance(c)) expect_same(c, order.cursor_at(r), r);
        }
}

// Every row of every shot once, on the thread the static schedule gives it,
// with 1 to 3 threads and grids smaller than the team.
TEST(RowOrder, EachRowVisitedOnceByTheRowSweep) {
  for (int nx : {1, 2, 5})
    for (int ny : {1, 3, 6})
      for (int threads : {1, 2, 3}) {
        norvane::pass_args a;
        a.g.nx = nx, a.g.ny = ny, a.n_shots = 2;
        const int64_t rows = int64_t{2} * nx * ny;
        std::vector<int> seen(rows, 0);
#pragma omp parallel num_threads(threads)
        norvane::forward::for_each_row(a, [&](int64_t s, int64_t i, int64_t j) {
          seen[(s * nx + i) * ny + j] += 1;  // each row on one thread only
        });
        for (int64_t r = 0; r < rows; ++r)
          EXPECT_EQ(seen[r], 1) << nx << "x" << ny << ", " << threads << " threads, row " << r;
      }
}

}  // namespace
