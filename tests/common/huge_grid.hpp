// Grids with more nodes than the machine has memory for, to run kernels at
// 64-bit indices. Every array is an anonymous mapping reserved without
// backing store (MAP_NORESERVE): untouched pages read as zero and cost
// nothing, so a test that fills and reads back a few rows far into a grid of
// billions of nodes uses a few megabytes. The element layouts are the
// documented ones (shot-major fields, node (i*ny + j)*nz + k, memories
// [shot][x][y][z] with the slab count along the face normal).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/interface/args.hpp"
#include "tests/common/sim_case.hpp"

namespace norvane_test {

// Deterministic value in [-1, 1) for a key (splitmix64 finaliser), so two
// grids can be filled with the same values at corresponding elements.
inline float pattern(uint64_t key) {
  key += 0x9E3779B97F4A7C15ull;
  key = (key ^ (key >> 30)) * 0xBF58476D1CE4E5B9ull;
  key = (key ^ (key >> 27)) * 0x94D049BB133111EBull;
  key ^= key >> 31;
  return float(int64_t(key >> 40) - (int64_t(1) << 23)) / float(1 << 23);
}

template <class T>
class huge_array {
 public:
  explicit huge_array(int64_t n) : bytes_(n > 0 ? size_t(n) * sizeof(T) : sizeof(T)) {
    void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    p_ = p == MAP_FAILED ? nullptr : static_cast<T*>(p);
  }
  ~huge_array() {
    if (p_) munmap(p_, bytes_);
  }
  huge_array(const huge_array&) = delete;
  huge_array& operator=(const huge_array&) = delete;
  T* data() const { return p_; }

 private:
  size_t bytes_;
  T* p_;
};

// A grid of n_shots shots with every array of pass_args allocated: fields,
// coefficients and, for the faces with a width, profiles and memories.
struct huge_grid {
  norvane::pass_args a;
  bool ok = true;  // false when a mapping was refused
  std::vector<std::unique_ptr<huge_array<float>>> owned;
  std::vector<float> prof[6][2];  // E side, H side

  huge_grid(int nx, int ny, int nz, int n_shots, const int (&pml)[6]) {
    norvane::grid_dims& g = a.g;
    g.nx = nx;
    g.ny = ny;
    g.nz = nz;
    g.plane = int64_t(ny) * nz;
    g.n_nodes = int64_t(nx) * g.plane;
    g.dt = 1e-11f;
    g.dx = 0.01f;
    g.dy = 0.0125f;
    g.dz = 0.008f;
    a.n_shots = n_shots;
    const int64_t nf = int64_t(n_shots) * g.n_nodes;
    for (int c = 0; c < 3; ++c) {
      a.e[c] = alloc(nf);
      a.h[c] = alloc(nf);
    }
    a.c = {alloc(g.n_nodes), alloc(g.n_nodes), alloc(g.n_nodes),
           alloc(g.n_nodes), alloc(g.n_nodes), alloc(g.n_nodes)};
    for (int f = 0; f < 6; ++f) {
      norvane::layer_face& lf = a.faces[f];
      lf.width = pml[f];
      if (pml[f] == 0) continue;
      a.any_pml = true;
      for (int side = 0; side < 2; ++side) {
        // Distinct rows and positions, so that a misplaced profile read shows.
        std::vector<float>& p = prof[f][side];
        p.resize(4 * pml[f]);
        for (size_t q = 0; q < p.size(); ++q) p[q] = pattern(uint64_t(1000 * f + 100 * side + q));
      }
      lf.prof_e = prof[f][0].data();
      lf.prof_h = prof[f][1].data();
      for (int m = 0; m < 4; ++m) {
        float* psi = alloc(memory_size(f, m));
        (m < 2 ? lf.psi_e[m] : lf.psi_h[m - 2]) = psi;
      }
    }
  }

  int64_t field_index(int64_t s, int64_t i, int64_t j, int64_t k) const {
    return s * a.g.n_nodes + (i * a.g.ny + j) * a.g.nz + k;
  }
  void memory_extents_of(int f, int m, int64_t (&ext)[3]) const {
    memory_extents(f, m, a.g.nx, a.g.ny, a.g.nz, a.faces[f].width, ext);
  }
  int64_t memory_size(int f, int m) const {
    int64_t ext[3];
    memory_extents_of(f, m, ext);
    return int64_t(a.n_shots) * ext[0] * ext[1] * ext[2];
  }
  // Memory slot m (0, 1: tangential E; 2, 3: tangential H) of face f.
  float* memory(int f, int m) const {
    const norvane::layer_face& lf = a.faces[f];
    return m < 2 ? lf.psi_e[m] : lf.psi_h[m - 2];
  }

 private:
  float* alloc(int64_t n) {
    owned.push_back(std::make_unique<huge_array<float>>(n));
    if (!owned.back()->data()) ok = false;
    return owned.back()->data();
  }
};

}  // namespace norvane_test
