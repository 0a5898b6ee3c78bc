// Snapshot writers (see snapshots.hpp). The loops run over interior rows so
// the cell number and the node index advance together along k; each row is a
// contiguous run of nz-1 cells in the store and of nz-1 nodes in the field.
#include "lib/storage/snapshots.hpp"

#include <cmath>

#include "lib/storage/formats.hpp"

namespace norvane::storage {
namespace {

struct row_map {
  int64_t rows;  // n_shots * (nx-1) * (ny-1)
  int64_t run;   // nz-1 cells per row
  int64_t n_nodes, plane;
  int nx1, ny1, nz;

  row_map(int n_shots, int nx, int ny, int nz_)
      : rows(static_cast<int64_t>(n_shots) * (nx - 1) * (ny - 1)),
        run(nz_ - 1),
        n_nodes(static_cast<int64_t>(nx) * ny * nz_),
        plane(static_cast<int64_t>(ny) * nz_),
        nx1(nx - 1),
        ny1(ny - 1),
        nz(nz_) {}
  bool empty() const { return rows <= 0 || run <= 0 || nx1 <= 0 || ny1 <= 0; }
  // Node offset (within one shot) and shot of a row.
  void locate(int64_t r, int64_t& s, int64_t& node) const {
    s = r / (static_cast<int64_t>(nx1) * ny1);
    const int64_t ij = r - s * nx1 * static_cast<int64_t>(ny1);
    const int64_t i = ij / ny1;
    const int64_t j = ij - i * ny1;
    node = i * plane + j * nz;
  }
};

}  // namespace

void save_e_snapshot_cpu(void* store, int slot, const float* field, float* scratch, int n_shots,
                         int nx, int ny, int nz, int format) {
  const row_map m(n_shots, nx, ny, nz);
  if (m.empty()) {
#pragma omp barrier
    return;
  }
  const int64_t n_cells = m.rows * m.run;
  const int64_t slot_base = static_cast<int64_t>(slot) * n_cells;
#pragma omp for schedule(static)
  for (int64_t r = 0; r < m.rows; ++r) {
    int64_t s, node;
    m.locate(r, s, node);
    const float* f = field + s * m.n_nodes + node;
    const int64_t q0 = r * m.run;
    for (int64_t k = 0; k < m.run; ++k) store_wavefield_value(store, slot_base + q0 + k, format, f[k]);
    if (scratch)
      for (int64_t k = 0; k < m.run; ++k) scratch[q0 + k] = f[k];
  }
}

void save_rhs_snapshot_cpu(void* store, int slot, const float* field, const void* e_store,
                           const float* scratch, const float* ca_e, const float* cs_e,
                           int n_shots, int nx, int ny, int nz, int format) {
  const row_map m(n_shots, nx, ny, nz);
  if (m.empty()) {
#pragma omp barrier
    return;
  }
  const int64_t n_cells = m.rows * m.run;
  const int64_t slot_base = static_cast<int64_t>(slot) * n_cells;
#pragma omp for schedule(static)
  for (int64_t r = 0; r < m.rows; ++r) {
    int64_t s, node;
    m.locate(r, s, node);
    const float* f = field + s * m.n_nodes + node;
    const float* ca = ca_e + node;
    const float* cs = cs_e + node;
    const int64_t q0 = r * m.run;
    for (int64_t k = 0; k < m.run; ++k) {
      const float e0 = scratch ? scratch[q0 + k]
                               : load_wavefield_value(e_store, slot_base + q0 + k, format);
      const float w = cs[k];
      const float rhs = (w == 0.0f) ? 0.0f : std::fma(-ca[k], e0, f[k]) / w;
      store_wavefield_value(store, slot_base + q0 + k, format, rhs);
    }
  }
}

}  // namespace norvane::storage
