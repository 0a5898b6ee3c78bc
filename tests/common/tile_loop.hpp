// Forced row orders for the tests. Each helper goes back to the automatic
// choices when it ends, also when an assertion leaves the body early.
#pragma once

#include "lib/forward/rows.hpp"

namespace norvane_test {

// Runs a test body with every row sweep forced to narrow tiles of columns
// j (1, 3 and 5: a narrower last tile, tiles that split the layers and the
// thread blocks), on 1, 2 and 3 threads each.
template <class Body>
void for_each_forced_tiling(Body body) {
  struct unforce {
    ~unforce() { norvane::forward::force_tile_columns(0); }
  } restore;
  for (int cols : {1, 3, 5}) {
    norvane::forward::force_tile_columns(cols);
    for (int threads : {1, 2, 3}) body(cols, threads);
  }
}

// Runs a test body with the transposes' rows forced into pairs of planes,
// untiled and in tiles of 1 and 3 columns, on 1, 2 and 3 threads each.
template <class Body>
void for_each_forced_pairing(Body body) {
  struct unforce {
    ~unforce() {
      norvane::forward::force_pair_planes(false);
      norvane::forward::force_tile_columns(0);
    }
  } restore;
  norvane::forward::force_pair_planes(true);
  for (int cols : {0, 1, 3}) {
    norvane::forward::force_tile_columns(cols);
    for (int threads : {1, 2, 3}) body(cols, threads);
  }
}

}  // namespace norvane_test
