// Snapshot writers of the forward pass. A snapshot holds, for every shot,
// the interior nodes i < nx-1, j < ny-1, k < nz-1 of one E component, cell
// number q = ((s*(nx-1) + i)*(ny-1) + j)*(nz-1) + k, in the store's element
// format; slot `slot` starts at element slot*n_cells of the component region
// the caller passes. Both writers are worksharing loops ending in a barrier
// and must be called by every thread of the team.
#pragma once

#include <cstdint>

namespace norvane::storage {

// E at the start of a sampled step; also copied unrounded into `scratch`
// (n_cells floats, by cell number) when it is not null.
void save_e_snapshot_cpu(void* store, int slot, const float* field, float* scratch, int n_shots,
                         int nx, int ny, int nz, int format);

// Right-hand side of the step's E update: (E_new - ca_e*E_old)/cs_e with one
// fused multiply-subtract, +0 where cs_e is zero. E_old comes from the scratch
// when it exists, else from the stored (possibly rounded) snapshot.
void save_rhs_snapshot_cpu(void* store, int slot, const float* field, const void* e_store,
                           const float* scratch, const float* ca_e, const float* cs_e,
                           int n_shots, int nx, int ny, int nz, int format);

// The same for `count` components at once (component c: stores[c], fields[c],
// e_stores[c], scratch[c]; `scratch` null: none), each row of every
// component in one iteration: the right-hand sides read the row's ca_e and
// cs_e once for all of them, and the team meets one barrier.
void save_e_snapshots_cpu(void* const* stores, int slot, const float* const* fields,
                          float* const* scratch, int count, int n_shots, int nx, int ny, int nz,
                          int format);
void save_rhs_snapshots_cpu(void* const* stores, int slot, const float* const* fields,
                            const void* const* e_stores, const float* const* scratch, int count,
                            const float* ca_e, const float* cs_e, int n_shots, int nx, int ny,
                            int nz, int format);

// One slot of E snapshots (rhs false) or right-hand sides (rhs true) of
// `count` components, in the arguments of the writers above, written one
// grid row at a time from inside the sweeps that update the fields, while
// the row's E is in cache. Rows with i = nx-1 or j = ny-1 hold no cells.
struct snapshot_rows {
  void* const* stores;
  const void* const* e_stores;  // rhs only
  const float* const* fields;
  float* const* scratch;  // null: none
  int count;
  const float* ca_e;  // rhs only
  const float* cs_e;
  int n_shots, nx, ny, nz, format, slot;
  bool rhs;

  // Row (s, i, j) of every component, with the full-grid scratch as the
  // writers above use it.
  void row(int64_t s, int64_t i, int64_t j) const;
  // Copies the nz-1 cells of row (s, i, j) of every component into old
  // (component c at old + c*(nz-1)), before the update changes them.
  void keep(int64_t s, int64_t i, int64_t j, float* old) const;
  // The right-hand sides of row (s, i, j), E_old from `old` as keep left
  // it (null: from the stored snapshot).
  void row_from(int64_t s, int64_t i, int64_t j, const float* old) const;
  // The right-hand side of component c at the node `node` of shot s, E_old
  // from *old (null: from the stored snapshot); nothing outside the cells.
  void cell(int64_t s, int64_t node, int c, const float* old) const;
};

// Every row of `w`, as a worksharing loop like the writers above.
void save_snapshot_rows(const snapshot_rows& w);

// binary16 values h[0 .. n) decoded into out by the active instruction set's
// run conversion, the one the gradient phase reads the snapshots with.
void decode_half_run_cpu(float* out, const uint16_t* h, int64_t n);

// Row loops per instruction set (see snapshot_kernels.inl).
struct snapshot_kernels {
  void (*e_row)(void* store, int64_t q0, const float* f, float* scratch, int64_t run, int format);
  void (*rhs_row)(void* store, int64_t q0, const float* f, const void* e_store,
                  const float* scratch, const float* ca, const float* cs, int64_t run,
                  int format);
  void (*decode_half)(float* out, const uint16_t* h, int64_t n);
};
const snapshot_kernels* snapshot_kernels_generic();
const snapshot_kernels* snapshot_kernels_avx2();
const snapshot_kernels* snapshot_kernels_avx512();

}  // namespace norvane::storage
