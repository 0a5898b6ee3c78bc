// The forward time loop: one parallel region for the whole pass, every
// thread running every step. A step t is, in leapfrog order:
//   E snapshot (t a multiple of the interval)  -> H update -> H layers
//   -> E update -> E layers -> sources of index t -> right-hand-side snapshot
//   -> receivers record E of index t,
// where the snapshots are written by the H and E sweeps (see the hooks).
// Each phase is a worksharing loop closed by a team barrier; when some face
// is lined, each row's layer corrections follow its update inside the same
// sweep. All conditions depend on shared inputs only, so every thread meets
// the same barriers.
#include <omp.h>

#include "lib/forward/field_update.hpp"
#include "lib/forward/layers.hpp"
#include "lib/forward/sources.hpp"
#include "lib/storage/formats.hpp"
#include "lib/storage/snapshots.hpp"

namespace norvane::forward {
namespace {

// Component regions of the stores: ex, ey, ez, or ez alone.
struct snapshot_plan {
  int count = 0;
  int comp[3] = {0, 0, 0};
  int64_t region_bytes = 0;  // bytes between component regions
};

snapshot_plan plan_snapshots(const snapshot_args& s) {
  snapshot_plan p;
  if (s.components == 3) {
    p.count = 3;
    p.comp[0] = 0;
    p.comp[1] = 1;
    p.comp[2] = 2;
  } else {
    p.count = 1;
    p.comp[0] = 2;
  }
  p.region_bytes = s.component_stride() * storage::element_bytes(s.format);
  return p;
}

// The component arrays of one snapshot kind.
struct snapshot_set {
  void* store[3];
  const void* e_store[3];
  const float* field[3];
};

snapshot_set components(const forward_args& a, const snapshot_plan& p, void* store) {
  const snapshot_args& s = a.snap;
  snapshot_set set{};
  for (int c = 0; c < p.count; ++c) {
    set.store[c] = static_cast<char*>(store) + c * p.region_bytes;
    set.e_store[c] = static_cast<char*>(s.e_store) + c * p.region_bytes;
    set.field[c] = a.e[p.comp[c]];
  }
  return set;
}

// The rows of slot `slot`'s E snapshots (rhs false) or right-hand sides.
struct slot_writer {
  snapshot_set set;
  storage::snapshot_rows rows;

  slot_writer(const forward_args& a, const snapshot_plan& p, int slot, bool rhs)
      : set(components(a, p, rhs ? a.snap.rhs_store : a.snap.e_store)),
        rows{set.store, set.e_store, set.field, nullptr, p.count, a.c.ca_e, a.c.cs_e,
             a.n_shots, a.g.nx, a.g.ny, a.g.nz, a.snap.format, slot, rhs} {}
  slot_writer(const slot_writer&) = delete;  // rows points into set
};

// A sampled step's E snapshot rides on the step's H sweep, which reads every
// row of E anyway (and E is still that of the step's start).
struct e_snapshot_hook final : row_hook {
  const storage::snapshot_rows& rows;
  explicit e_snapshot_hook(const storage::snapshot_rows& r) : rows(r) {}
  void after(int64_t s, int64_t i, int64_t j) const override { rows.row(s, i, j); }
};

// Its right-hand side rides on the E sweep: the row's old E goes into a row
// buffer of the thread just before the row is updated, and the right-hand
// side is formed from it just after, all while the row is in cache, with no
// copy of the whole old E. (Without a buffer, E_old is read back from the
// stored snapshot.) The sources are added after the sweep, so their nodes
// are formed again afterwards (redo_source_cells).
struct rhs_hook final : row_hook {
  const storage::snapshot_rows& rows;
  float* old;
  rhs_hook(const storage::snapshot_rows& r, float* o) : rows(r), old(o) {}
  void before(int64_t s, int64_t i, int64_t j) const override {
    if (old) rows.keep(s, i, j, old);
  }
  void after(int64_t s, int64_t i, int64_t j) const override { rows.row_from(s, i, j, old); }
};

// The component index of the sources' component among the stored ones, or -1.
int stored_source_component(const forward_args& a, const snapshot_plan& p) {
  for (int c = 0; c < p.count; ++c)
    if (p.comp[c] == a.src_comp) return c;
  return -1;
}

// Each source node's E before the E sweep, into kept[s*n_src + q]; by shot
// as the sources are added, without a barrier (E is not written before the
// H sweep's closing barrier).
void keep_source_values(const forward_args& a, const snapshot_plan& p, float* kept) {
  if (!kept || a.n_src <= 0 || stored_source_component(a, p) < 0) return;
  const float* field = a.e[a.src_comp];
#pragma omp for schedule(static) nowait
  for (int64_t s = 0; s < a.n_shots; ++s)
    for (int64_t q = 0; q < a.n_src; ++q) {
      const int64_t node = position_node(a.g, a.src_pos + (s * a.n_src + q) * 3);
      if (node >= 0) kept[s * a.n_src + q] = field[s * a.g.n_nodes + node];
    }
}

// The right-hand side at each source node again, now that the sources are in
// E, from the values kept before the sweep (a node holding several sources
// is formed once per source, each time the same, by the thread of its shot).
void redo_source_cells(const forward_args& a, const snapshot_plan& p,
                       const storage::snapshot_rows& rows, const float* kept) {
  const int c = stored_source_component(a, p);
  if (a.n_src <= 0 || c < 0) return;
#pragma omp for schedule(static)
  for (int64_t s = 0; s < a.n_shots; ++s)
    for (int64_t q = 0; q < a.n_src; ++q) {
      const int64_t node = position_node(a.g, a.src_pos + (s * a.n_src + q) * 3);
      if (node >= 0) rows.cell(s, node, c, kept ? kept + s * a.n_src + q : nullptr);
    }
}

}  // namespace

void run(const forward_args& a) {
  if (a.nt < 1) return;
  const row_kernels& kern = active_row_kernels();
  const layer_table h_layers = make_layer_table(a, false);
  const layer_table e_layers = make_layer_table(a, true);
  const snapshot_plan plan = plan_snapshots(a.snap);
  const bool snaps = a.snap.enabled;
  const int64_t row_floats = static_cast<int64_t>(plan.count) * (a.g.nz - 1);
#pragma omp parallel
  {
    // The scratch: a row buffer per thread, then the kept source values.
    const bool buffered = a.snap.scratch && omp_get_num_threads() <= a.snap.scratch_threads;
    float* old_rows = buffered ? a.snap.scratch + omp_get_thread_num() * row_floats : nullptr;
    float* kept = buffered ? a.snap.scratch + a.snap.scratch_threads * row_floats : nullptr;
    for (int t = 0; t < a.nt; ++t) {
      const bool sampled = snaps && t % a.snap.interval == 0;
      const bool with_rhs = sampled && a.snap.save_rhs;
      const int slot = sampled ? t / a.snap.interval : 0;
      const slot_writer e(a, plan, slot, false), rhs(a, plan, slot, true);
      const e_snapshot_hook e_hook(e.rows);
      const rhs_hook r_hook(rhs.rows, old_rows);
      if (with_rhs) keep_source_values(a, plan, kept);
      if (a.any_pml) {
        update_h_with_layers(a, h_layers, kern, sampled ? &e_hook : nullptr);
        update_e_with_layers(a, e_layers, kern, with_rhs ? &r_hook : nullptr);
      } else {
        update_h(a, kern, sampled ? &e_hook : nullptr);
        update_e(a, kern, with_rhs ? &r_hook : nullptr);
      }
      inject_sources(a, t);
      if (with_rhs) redo_source_cells(a, plan, rhs.rows, kept);
      record_receivers(a, t);
    }
  }
}

}  // namespace norvane::forward
