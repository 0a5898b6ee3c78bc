// Snapshot writers (see snapshots.hpp). The loops run over interior rows so
// the cell number and the node index advance together along k; each row is a
// contiguous run of nz-1 cells in the store and of nz-1 nodes in the field,
// converted by the vector row loop of the active instruction set.
#include "lib/storage/snapshots.hpp"

#include <cstring>

#include "lib/kernels/isa.hpp"
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

const snapshot_kernels& active_kernels() {
  return *kernels::by_active_isa(snapshot_kernels_generic(), snapshot_kernels_avx2(),
                                 snapshot_kernels_avx512());
}

}  // namespace

// Shared driver: the barrier-only path for empty grids, then the static
// split of the interior rows; row(r, s, node, q0) converts one row.
template <class Row>
void for_interior_rows(int n_shots, int nx, int ny, int nz, Row row) {
  const row_map m(n_shots, nx, ny, nz);
  if (m.empty()) {
#pragma omp barrier
    return;
  }
#pragma omp for schedule(static)
  for (int64_t r = 0; r < m.rows; ++r) {
    int64_t s, node;
    m.locate(r, s, node);
    row(s * m.n_nodes + node, node, r * m.run, m.run, m.rows * m.run);
  }
}

namespace {

// Row l (field offset), node (coefficient offset), cells q0 .. q0+run of
// every component of the slot; old(c) is the unrounded E_old of component
// c's run for a right-hand side (null: none). E snapshots copy into the
// full-grid scratch when there is one.
template <class Old>
void write_row(const snapshot_rows& w, const snapshot_kernels& kern, int64_t l, int64_t node,
               int64_t q0, int64_t run, int64_t n_cells, Old old) {
  const int64_t offset = static_cast<int64_t>(w.slot) * n_cells * element_bytes(w.format);
  for (int c = 0; c < w.count; ++c) {
    if (w.rhs)
      kern.rhs_row(static_cast<char*>(w.stores[c]) + offset, q0, w.fields[c] + l,
                   static_cast<const char*>(w.e_stores[c]) + offset, old(c), w.ca_e + node,
                   w.cs_e + node, run, w.format);
    else
      kern.e_row(static_cast<char*>(w.stores[c]) + offset, q0, w.fields[c] + l,
                 w.scratch ? w.scratch[c] + q0 : nullptr, run, w.format);
  }
}

// The full-grid scratch, by cell number, or none.
auto scratch_at(const snapshot_rows& w, int64_t q0) {
  return [&w, q0](int c) -> const float* { return w.scratch ? w.scratch[c] + q0 : nullptr; };
}

// Field offset, node and first cell of row (s, i, j); false outside the cells.
bool locate_row(const row_map& m, int64_t s, int64_t i, int64_t j, int64_t& l, int64_t& node,
                int64_t& q0) {
  if (m.empty() || i >= m.nx1 || j >= m.ny1) return false;
  node = i * m.plane + j * m.nz;
  l = s * m.n_nodes + node;
  q0 = ((s * m.nx1 + i) * m.ny1 + j) * m.run;
  return true;
}

}  // namespace

void save_snapshot_rows(const snapshot_rows& w) {
  const snapshot_kernels& kern = active_kernels();
  for_interior_rows(w.n_shots, w.nx, w.ny, w.nz,
                    [&](int64_t l, int64_t node, int64_t q0, int64_t run, int64_t n_cells) {
                      write_row(w, kern, l, node, q0, run, n_cells, scratch_at(w, q0));
                    });
}

void snapshot_rows::row(int64_t s, int64_t i, int64_t j) const {
  const row_map m(n_shots, nx, ny, nz);
  int64_t l, node, q0;
  if (locate_row(m, s, i, j, l, node, q0))
    write_row(*this, active_kernels(), l, node, q0, m.run, m.rows * m.run, scratch_at(*this, q0));
}

void snapshot_rows::keep(int64_t s, int64_t i, int64_t j, float* old) const {
  const row_map m(n_shots, nx, ny, nz);
  int64_t l, node, q0;
  if (!locate_row(m, s, i, j, l, node, q0)) return;
  for (int c = 0; c < count; ++c) std::memcpy(old + c * m.run, fields[c] + l, m.run * sizeof(float));
}

void snapshot_rows::row_from(int64_t s, int64_t i, int64_t j, const float* old) const {
  const row_map m(n_shots, nx, ny, nz);
  int64_t l, node, q0;
  if (locate_row(m, s, i, j, l, node, q0))
    write_row(*this, active_kernels(), l, node, q0, m.run, m.rows * m.run,
              [&](int c) { return old ? old + c * m.run : nullptr; });
}

void snapshot_rows::cell(int64_t s, int64_t node, int c, const float* old) const {
  const row_map m(n_shots, nx, ny, nz);
  if (m.empty()) return;
  const int64_t i = node / m.plane, j = node % m.plane / nz, k = node % nz;
  int64_t l, row_node, q0;
  if (k >= m.run || !locate_row(m, s, i, j, l, row_node, q0)) return;
  const int64_t offset = static_cast<int64_t>(slot) * m.rows * m.run * element_bytes(format);
  active_kernels().rhs_row(static_cast<char*>(stores[c]) + offset, q0 + k, fields[c] + l + k,
                           static_cast<const char*>(e_stores[c]) + offset, old, ca_e + node,
                           cs_e + node, 1, format);
}

void save_e_snapshots_cpu(void* const* stores, int slot, const float* const* fields,
                          float* const* scratch, int count, int n_shots, int nx, int ny, int nz,
                          int format) {
  save_snapshot_rows({stores, nullptr, fields, scratch, count, nullptr, nullptr, n_shots, nx, ny,
                      nz, format, slot, false});
}

void save_rhs_snapshots_cpu(void* const* stores, int slot, const float* const* fields,
                            const void* const* e_stores, const float* const* scratch, int count,
                            const float* ca_e, const float* cs_e, int n_shots, int nx, int ny,
                            int nz, int format) {
  // The right-hand sides only read the scratch.
  save_snapshot_rows({stores, e_stores, fields, const_cast<float* const*>(scratch), count, ca_e,
                      cs_e, n_shots, nx, ny, nz, format, slot, true});
}

void save_e_snapshot_cpu(void* store, int slot, const float* field, float* scratch, int n_shots,
                         int nx, int ny, int nz, int format) {
  save_e_snapshots_cpu(&store, slot, &field, scratch ? &scratch : nullptr, 1, n_shots, nx, ny, nz,
                       format);
}

void save_rhs_snapshot_cpu(void* store, int slot, const float* field, const void* e_store,
                           const float* scratch, const float* ca_e, const float* cs_e,
                           int n_shots, int nx, int ny, int nz, int format) {
  save_rhs_snapshots_cpu(&store, slot, &field, &e_store, scratch ? &scratch : nullptr, 1, ca_e,
                         cs_e, n_shots, nx, ny, nz, format);
}

void decode_half_run_cpu(float* out, const uint16_t* h, int64_t n) {
  active_kernels().decode_half(out, h, n);
}

}  // namespace norvane::storage
