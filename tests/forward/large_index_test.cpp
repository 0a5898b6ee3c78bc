// The forward pass's kernels at 64-bit indices. The huge grid has more than
// 2^31 nodes and two shots, so node indices leave the int32 range and field
// element indices pass 2^32; its arrays are reserved without backing
// (huge_grid.hpp) and only a neighbourhood of the rows under test is touched.
// Each kernel runs twice: at rows near the far end of the huge grid, and on a
// small grid holding the same values at the rows with the same distance to
// the grid ends. A kernel depends on the absolute position only through that
// distance (stencil half-widths, layer positions), so the two must agree bit
// for bit. An index formed in 32 bits, or one missing a term, reads zeros
// from untouched pages or writes somewhere else, and shows as a mismatch.
//
// Proven here: the interior and absorbing-layer row kernels of every
// instruction set this CPU runs, source injection, receiver sampling, the
// position lookup and both snapshot writers address the right elements when
// node, field, layer-memory and snapshot element indices exceed 2^31 and
// 2^32. Not proven: the worksharing loops that hand out the rows, the
// adjoint's field phases (they sweep every row of the grid, so they cannot
// be confined to a window) and the time loops' per-component store offsets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "lib/forward/field_update.hpp"
#include "lib/forward/layers.hpp"
#include "lib/forward/rows.hpp"
#include "lib/forward/sources.hpp"
#include "lib/storage/snapshots.hpp"
#include "tests/common/huge_grid.hpp"

namespace nt = norvane_test;
namespace fw = norvane::forward;

namespace {

constexpr int ny = 12, nz = 19, nx_small = 13;
constexpr int nx_huge = (1 << 24) + 1;  // 3.8e9 nodes per shot, 7.7e9 field elements
constexpr int reach = 5;                // rows filled around the row under test
constexpr int widths[6] = {3, 3, 2, 3, 2, 3};

// Visits, for rows (i + di, j + dj) with |di|, |dj| <= reach inside the grid,
// every field element of both shots and every coefficient, with a key that
// depends only on the offsets, so both grids pair up element by element.
template <class Fn>
void for_neighbourhood(nt::huge_grid& g, int64_t i, int64_t j, Fn fn) {
  const norvane::grid_dims& d = g.a.g;
  float* fields[6] = {g.a.e[0], g.a.e[1], g.a.e[2], g.a.h[0], g.a.h[1], g.a.h[2]};
  float* coeffs[6] = {g.a.c.ca_e, g.a.c.cb_e, g.a.c.cs_e, g.a.c.ca_h, g.a.c.cb_h, g.a.c.cs_h};
  for (int di = -reach; di <= reach; ++di)
    for (int dj = -reach; dj <= reach; ++dj) {
      if (i + di < 0 || i + di >= d.nx || j + dj < 0 || j + dj >= d.ny) continue;
      for (int64_t k = 0; k < d.nz; ++k) {
        const uint64_t key = ((uint64_t(di + reach) * 16 + uint64_t(dj + reach)) * 32 + k) * 64;
        for (int c = 0; c < 6; ++c) {
          fn(coeffs[c] + g.field_index(0, i + di, j + dj, k), key + c, c >= 3 ? 0.6f : 0.2f);
          for (int64_t s = 0; s < g.a.n_shots; ++s)
            fn(fields[c] + g.field_index(s, i + di, j + dj, k), key + 8 + 8 * s + c, 0.0f);
        }
      }
    }
}

// Visits the layer-memory entries that row (i, j) can touch: on each lined
// face, every slab position along the normal at the row's other coordinates.
template <class Fn>
void for_row_memories(nt::huge_grid& g, int64_t i, int64_t j, Fn fn) {
  for (int f = 0; f < 6; ++f) {
    if (g.a.faces[f].width == 0) continue;
    const int axis = f / 2;
    for (int m = 0; m < 4; ++m) {
      int64_t ext[3];
      g.memory_extents_of(f, m, ext);
      int64_t lo[3] = {i, j, 0}, hi[3] = {i, j, ext[2] - 1};
      lo[axis] = 0;
      hi[axis] = ext[axis] - 1;
      for (int ax = 0; ax < 3; ++ax) hi[ax] = std::min(hi[ax], ext[ax] - 1);
      // Keys from the offsets within the slab, above those of the fields.
      uint64_t key = (uint64_t(f * 4 + m) << 40) + 1;
      for (int64_t s = 0; s < g.a.n_shots; ++s)
        for (int64_t x = lo[0]; x <= hi[0]; ++x)
          for (int64_t y = lo[1]; y <= hi[1]; ++y)
            for (int64_t z = lo[2]; z <= hi[2]; ++z)
              fn(g.memory(f, m) + ((s * ext[0] + x) * ext[1] + y) * ext[2] + z, key++, 0.0f);
    }
  }
}

void fill_row(nt::huge_grid& g, int64_t i, int64_t j) {
  auto put = [](float* p, uint64_t key, float offset) { *p = offset + nt::pattern(key); };
  for_neighbourhood(g, i, j, put);
  for_row_memories(g, i, j, put);
}

// Every filled value of the two grids, in visiting order.
std::vector<float> read_row(nt::huge_grid& g, int64_t i, int64_t j) {
  std::vector<float> out;
  auto get = [&](float* p, uint64_t, float) { out.push_back(*p); };
  for_neighbourhood(g, i, j, get);
  for_row_memories(g, i, j, get);
  return out;
}

// One time step's four field phases, restricted to row (i, j) of both shots.
void step_row(const fw::row_kernels& k, const norvane::pass_args& a, int64_t i, int64_t j) {
  const fw::layer_table h_layers = fw::make_layer_table(a, false);
  const fw::layer_table e_layers = fw::make_layer_table(a, true);
  for (int64_t s = 0; s < a.n_shots; ++s) {
    k.h_layered_row(a, h_layers, s, i, j, norvane::forward::rows_ahead);
    k.e_layered_row(a, e_layers, s, i, j, norvane::forward::rows_ahead);
  }
}

TEST(LargeIndex, RowKernelsFarIntoAHugeGridMatchASmallGrid) {
  nt::huge_grid huge(nx_huge, ny, nz, 2, widths), small(nx_small, ny, nz, 2, widths);
  ASSERT_TRUE(huge.ok) << "the system refused a reservation without backing store";
  ASSERT_GT(huge.field_index(1, nx_huge - 1, 0, 0), int64_t(1) << 32);
  int checked = 0;
  for (const fw::row_kernels* k :
       {fw::row_kernels_generic(), fw::row_kernels_avx2(), fw::row_kernels_avx512()}) {
    if (!k || !norvane::kernels::cpu_runs(k->level)) continue;
    for (int order : {2, 4, 8}) {
      huge.a.order = small.a.order = order;
      // Distance 0..6 from the high x end: reduced and full x stencils, the
      // x-high layer and the rows past the update regions.
      for (int r = 0; r <= 6; ++r)
        for (int j : {0, 1, 2, 6, ny - 2, ny - 1}) {
          const int64_t ih = nx_huge - 1 - r, is = nx_small - 1 - r;
          fill_row(huge, ih, j);
          fill_row(small, is, j);
          const std::vector<float> before = read_row(small, is, j);
          step_row(*k, huge.a, ih, j);
          step_row(*k, small.a, is, j);
          const std::vector<float> got = read_row(huge, ih, j), want = read_row(small, is, j);
          ASSERT_EQ(got.size(), want.size());
          EXPECT_EQ(nt::bit_mismatches(got, want), 0)
              << k->name << ", order " << order << ", row (nx-1-" << r << ", " << j << ")";
          checked += nt::bit_mismatches(want, before) > 0;
        }
    }
  }
  EXPECT_GT(checked, 0) << "no row was updated: the comparison proves nothing";
}

// Sources and receivers on the last nodes of the huge grid, one receiver
// outside it. Node lookup of positions is checked on its own on a grid of
// 2^60 nodes, where only the arithmetic can be exercised.
TEST(LargeIndex, SourcesAndReceiversAtFarNodes) {
  norvane::grid_dims cube;
  cube.nx = cube.ny = cube.nz = 1 << 20;
  cube.plane = int64_t(1) << 40;
  cube.n_nodes = int64_t(1) << 60;
  const int32_t corner[3] = {(1 << 20) - 1, (1 << 20) - 1, (1 << 20) - 1};
  const int32_t past[3] = {(1 << 20) - 1, 1 << 20, 0};
  EXPECT_EQ(norvane::position_node(cube, corner), (int64_t(1) << 60) - 1);
  EXPECT_EQ(norvane::position_node(cube, past), -1);

  const int none[6] = {0, 0, 0, 0, 0, 0};
  nt::huge_grid huge(nx_huge, ny, nz, 2, none), small(nx_small, ny, nz, 2, none);
  ASSERT_TRUE(huge.ok);
  const int n_time = 3, t = 1;
  auto positions = [](int nx) {
    // Sources: shot 0 at the first two triples, shot 1 at the next two;
    // receivers: three triples per shot, the fifth outside the grid.
    return std::vector<int32_t>{nx - 1, ny - 1, nz - 1, nx - 2, ny - 4, 4, nx - 1, ny - 1, nz - 1,
                                nx - 3, ny - 1, 0,      nx,     0,      0, nx - 2, ny - 4, 4};
  };
  std::vector<float> wavelet(2 * n_time), rec_huge(2 * n_time * 3, -7.0f), rec_small = rec_huge;
  for (size_t q = 0; q < wavelet.size(); ++q) wavelet[q] = nt::pattern(q) + 2.0f;
  struct run {
    nt::huge_grid& g;
    std::vector<int32_t> pos;
    std::vector<float>& rec;
  };
  for (run r :
       {run{huge, positions(nx_huge), rec_huge}, run{small, positions(nx_small), rec_small}}) {
    fill_row(r.g, r.g.a.g.nx - 2, ny - 2);
    norvane::forward_args a;
    static_cast<norvane::pass_args&>(a) = r.g.a;
    a.nt = n_time;
    a.n_src = 2;
    a.src_pos = r.pos.data();
    a.src_wavelet = wavelet.data();
    a.src_comp = 2;
    a.n_rec = 3;
    a.rec_pos = r.pos.data();
    a.rec_out = r.rec.data();
    a.rec_comp = 2;
    fw::inject_sources(a, t);
    fw::record_receivers(a, t);
  }
  EXPECT_EQ(nt::bit_mismatches(rec_huge, rec_small), 0);
  const std::vector<float> got = read_row(huge, nx_huge - 2, ny - 2);
  EXPECT_EQ(nt::bit_mismatches(got, read_row(small, nx_small - 2, ny - 2)), 0);
  EXPECT_EQ(rec_huge[(1 * n_time + t) * 3 + 1], 0.0f) << "receiver outside the grid";
}

// Snapshot slots whose first element lies past 2^32 in the store, for each
// element format: the slot's bytes, the float copy and the right-hand side
// read back through the store equal those of slot 0 of a small store.
TEST(LargeIndex, SnapshotWritersAtFarSlots) {
  const int n_shots = 2, nx = 6, ny_s = 5, nz_s = 7;
  const int64_t n_cells = int64_t(n_shots) * (nx - 1) * (ny_s - 1) * (nz_s - 1);
  const int far_slot = (1 << 25) + 3;
  ASSERT_GT(far_slot * n_cells, int64_t(1) << 32);
  const int64_t n_nodes = int64_t(nx) * ny_s * nz_s;
  std::vector<float> e_old(n_shots * n_nodes), e_new(e_old.size()), ca(n_nodes), cs(n_nodes);
  for (size_t l = 0; l < e_old.size(); ++l) {
    e_old[l] = nt::pattern(l);
    e_new[l] = nt::pattern(l + 7777);
  }
  for (int64_t n = 0; n < n_nodes; ++n) {
    ca[n] = 0.5f + 0.4f * nt::pattern(n + 555);
    cs[n] = n % 11 == 0 ? 0.0f : 0.3f + 0.2f * nt::pattern(n + 999);
  }
  for (int format : {0, 1, 2}) {
    const int64_t b = format == 0 ? 4 : 2, slot_bytes = n_cells * b;
    nt::huge_array<uint8_t> far_e((far_slot + 1) * slot_bytes),
        far_rhs((far_slot + 1) * slot_bytes);
    ASSERT_TRUE(far_e.data() && far_rhs.data());
    std::vector<uint8_t> near_e(slot_bytes), near_rhs(slot_bytes);
    std::vector<float> far_scratch(n_cells), near_scratch(n_cells);
    norvane::storage::save_e_snapshot_cpu(far_e.data(), far_slot, e_old.data(), far_scratch.data(),
                                          n_shots, nx, ny_s, nz_s, format);
    norvane::storage::save_e_snapshot_cpu(near_e.data(), 0, e_old.data(), near_scratch.data(),
                                          n_shots, nx, ny_s, nz_s, format);
    // Without a float copy the right-hand side reads E back from the far slot.
    norvane::storage::save_rhs_snapshot_cpu(far_rhs.data(), far_slot, e_new.data(), far_e.data(),
                                            nullptr, ca.data(), cs.data(), n_shots, nx, ny_s, nz_s,
                                            format);
    norvane::storage::save_rhs_snapshot_cpu(near_rhs.data(), 0, e_new.data(), near_e.data(),
                                            nullptr, ca.data(), cs.data(), n_shots, nx, ny_s, nz_s,
                                            format);
    const uint8_t* fe = far_e.data() + far_slot * slot_bytes;
    const uint8_t* fr = far_rhs.data() + far_slot * slot_bytes;
    EXPECT_EQ(std::memcmp(fe, near_e.data(), slot_bytes), 0) << "format " << format;
    EXPECT_EQ(std::memcmp(fr, near_rhs.data(), slot_bytes), 0) << "format " << format;
    EXPECT_EQ(nt::bit_mismatches(far_scratch, near_scratch), 0) << "format " << format;
    EXPECT_NE(near_rhs, std::vector<uint8_t>(slot_bytes, 0)) << "format " << format;
  }
}

}  // namespace
