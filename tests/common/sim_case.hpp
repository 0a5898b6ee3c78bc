// Test harness: one forward/backward case with every array the C calling
// convention needs, sized as the library expects, and helpers to run it
// through any function with the exported signatures (the library or the
// scalar reference) and compare the outputs bit for bit.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lib/interface/norvane_cpu.h"

namespace norvane_test {

using forward_fn = void (*)(const float*, const float*, const float*, void*, void*, float*, float*,
                            float*, float*, float*, float*, float*, float*, float*, float*, float*,
                            float*, float*, float*, float*, float*, float*, float*, float*, float*,
                            float*, float*, float*, float*, float*, float*, float*, float*, float*,
                            float*, float*, float*, float*, float*, float*, float*, int32_t,
                            int32_t, int32_t, int32_t, int32_t, int32_t, const float*,
                            const float*, const float*, const float*, const float*, const float*,
                            const float*, const float*, const float*, const float*, const float*,
                            const float*, int32_t, int32_t, int32_t, const int32_t*, float*,
                            int32_t, int32_t, int32_t, int32_t, float, float, float, float,
                            int32_t, const int32_t*, const float*, int32_t, int32_t, int32_t,
                            int32_t, int32_t);
using backward_fn = void (*)(const float*, const float*, const float*, const void*, const void*,
                             float*, float*, float*, float*, float*, float*, float*, float*,
                             float*, float*, float*, float*, float*, float*, float*, float*,
                             float*, float*, float*, float*, float*, float*, float*, float*,
                             float*, float*, float*, float*, float*, float*, float*, float*,
                             float*, float*, float*, float*, int32_t, int32_t, int32_t, int32_t,
                             int32_t, int32_t, const float*, const float*, const float*,
                             const float*, const float*, const float*, const float*,
                             const float*, const float*, const float*, const float*,
                             const float*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                             float, float, float, float, int32_t, const int32_t*, const float*,
                             int32_t, int32_t, const int32_t*, int32_t, float*, int32_t, float*,
                             float*, int32_t, int32_t, int32_t, int32_t, int32_t);

// Extents (x, y, z) of memory slot m (0, 1: tangential E; 2, 3: tangential H)
// of face f, for one shot; the normal axis holds the slab count.
inline void memory_extents(int f, int m, int nx, int ny, int nz, int w, int64_t (&ext)[3]) {
  static const int tang[3][2] = {{1, 2}, {0, 2}, {0, 1}};
  const int axis = f / 2;
  const bool e_side = m < 2;
  const int b = tang[axis][m % 2];
  const int64_t n[3] = {nx, ny, nz};
  for (int ax = 0; ax < 3; ++ax) {
    const bool short_axis = e_side ? (ax == b) : (ax != b);
    ext[ax] = n[ax] - (short_axis ? 1 : 0);
  }
  ext[axis] = e_side ? w + 1 : w;
}

struct sim_case {
  // grid and run
  int nx = 8, ny = 8, nz = 8, n_shots = 1, nt = 10;
  float dt = 1e-11f, dx = 0.01f, dy = 0.01f, dz = 0.01f;
  int pml[6] = {0, 0, 0, 0, 0, 0};
  std::vector<float> prof_e[6], prof_h[6];
  std::vector<float> eps_r, sigma, mu_r;
  int n_src = 0, src_comp = 2;
  std::vector<int32_t> src_pos;
  std::vector<float> wavelet;
  int n_rec = 0, rec_comp = 2;
  std::vector<int32_t> rec_pos;
  int interval = 1, components = 3, format = 0, save_rhs = 1;

  // forward state and outputs
  std::vector<float> e[3], h[3], coeff[6], psi[24], rec_out;
  std::vector<uint8_t> e_store, rhs_store;

  int64_t n_nodes() const { return int64_t(nx) * ny * nz; }
  int64_t n_cells() const { return int64_t(n_shots) * (nx - 1) * (ny - 1) * (nz - 1); }
  int n_snapshots() const {
    return interval > 0 ? int((int64_t(nt) + interval - 1) / interval) : 0;
  }
  size_t store_bytes() const {
    const int c = components == 3 ? 3 : 1;
    const int64_t elems = int64_t(c) * n_snapshots() * n_cells();
    return elems > 0 ? size_t(elems) * (format == 0 ? 4 : 2) : 0;
  }
  int64_t psi_size(int f, int m) const {
    int64_t ext[3];
    memory_extents(f, m, nx, ny, nz, pml[f], ext);
    return int64_t(n_shots) * ext[0] * ext[1] * ext[2];
  }

  // Vacuum-like materials, zeroed state, identity profiles (r0 = 1).
  void allocate();
  // Random materials (eps_r in [1, 9], sigma in [0, 0.05]), optionally with
  // some perfect-conductor nodes.
  void randomize_materials(std::mt19937& rng, bool with_pec);
  // Random profile rows for every lined face (a stable but non-trivial layer).
  void randomize_profiles(std::mt19937& rng);
  // dt at the given fraction of the order-dependent stability limit.
  void set_stable_dt(int order, float fraction);

  // Where the field and coefficient arrays start during a run: -1 where
  // their vectors put them, else array m (ex, ey, ez, hx, hy, hz, then the
  // coefficients) starts (placement + 3m) % 16 floats past a cache line.
  int placement = -1;

  void run_forward(forward_fn f);
  float* psi_ptr(int f, int m) { return pml[f] ? psi[4 * f + m].data() : nullptr; }
};

struct adjoint_state {
  std::vector<float> e[3], h[3], coeff[6], psi[24], residual;
  std::vector<float> grad_wavelet, grad_eps_r, grad_sigma;
  int want_wavelet = 1, want_eps = 1, want_sigma = 1;
  int placement = -1;  // as in sim_case

  void allocate(const sim_case& c);
  void run_backward(const sim_case& c, backward_fn f);
};

// Number of differing elements (bitwise) between two float vectors.
int64_t bit_mismatches(const std::vector<float>& a, const std::vector<float>& b);

// Compares every output of two forward runs; returns "" or a description.
std::string compare_forward(const sim_case& a, const sim_case& b);
std::string compare_backward(const adjoint_state& a, const adjoint_state& b);

// Random case generator used by the reference comparisons: extents drawn
// from lo..hi per axis (by default small grids, rows shorter than 19).
struct extent_bounds {
  int lo[3] = {2, 2, 2};
  int hi[3] = {24, 20, 18};
};
sim_case random_case(std::mt19937& rng, int order, const extent_bounds& b = {});

// Sets the finite-difference order of the library and of the reference for
// one scope; restores order 2, the automatic instruction set and the
// default thread count on exit.
struct order_guard {
  explicit order_guard(int order);
  ~order_guard();
  order_guard(const order_guard&) = delete;
  order_guard& operator=(const order_guard&) = delete;
};

}  // namespace norvane_test
