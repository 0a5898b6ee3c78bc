// The forward time loop: one parallel region for the whole pass, every
// thread running every step. A step t is, in leapfrog order:
//   E snapshot (t a multiple of the interval)  -> H update -> H layers
//   -> E update -> E layers -> sources of index t -> right-hand-side snapshot
//   -> receivers record E of index t,
// where both snapshots are written by the H sweeps (see run).
// Each phase is a worksharing loop closed by a team barrier; when some face
// is lined, each row's layer corrections follow its update inside the same
// sweep. All conditions depend on shared inputs only, so every thread meets
// the same barriers.
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

// The component arrays of one snapshot kind, with the scratch of each (null
// where there is none).
struct snapshot_set {
  void* store[3];
  const void* e_store[3];
  const float* field[3];
  float* scratch[3];
};

snapshot_set components(const forward_args& a, const snapshot_plan& p, void* store) {
  const snapshot_args& s = a.snap;
  snapshot_set set{};
  for (int c = 0; c < p.count; ++c) {
    set.store[c] = static_cast<char*>(store) + c * p.region_bytes;
    set.e_store[c] = static_cast<char*>(s.e_store) + c * p.region_bytes;
    set.field[c] = a.e[p.comp[c]];
    set.scratch[c] = s.scratch ? s.scratch + c * s.n_cells : nullptr;
  }
  return set;
}

// The rows of slot `slot`'s E snapshots (rhs false) or right-hand sides.
struct slot_writer {
  snapshot_set set;
  storage::snapshot_rows rows;

  slot_writer(const forward_args& a, const snapshot_plan& p, int slot, bool rhs)
      : set(components(a, p, rhs ? a.snap.rhs_store : a.snap.e_store)),
        rows{set.store, set.e_store, set.field, set.scratch, p.count, a.c.ca_e, a.c.cs_e,
             a.n_shots, a.g.nx, a.g.ny, a.g.nz, a.snap.format, slot, rhs} {}
  slot_writer(const slot_writer&) = delete;  // rows points into set
};

}  // namespace

void run(const forward_args& a) {
  if (a.nt < 1) return;
  const row_kernels& kern = active_row_kernels();
  const layer_table h_layers = make_layer_table(a, false);
  const layer_table e_layers = make_layer_table(a, true);
  const snapshot_plan plan = plan_snapshots(a.snap);
  const bool snaps = a.snap.enabled;
#pragma omp parallel
  {
    // The snapshot writers ride on the H sweep, which reads every row of E
    // anyway: a sampled step's E snapshot on its own H sweep (E is still
    // that of the step's start), its right-hand side on the next step's
    // (nothing changes E in between), or on a sweep of its own after the
    // last step. Each reads E once less than a sweep of its own would.
    int rhs_slot = -1;  // right-hand side still to write
    for (int t = 0; t < a.nt; ++t) {
      const bool sampled = snaps && t % a.snap.interval == 0;
      const int slot = sampled ? t / a.snap.interval : 0;
      row_writers after;
      // The right-hand side first: it reads the scratch copy of the old E
      // that this step's snapshot overwrites.
      const slot_writer rhs(a, plan, rhs_slot, true), e(a, plan, slot, false);
      if (rhs_slot >= 0) after.add(&rhs.rows);
      if (sampled) after.add(&e.rows);
      if (a.any_pml) {
        update_h_with_layers(a, h_layers, kern, after);
        update_e_with_layers(a, e_layers, kern);
      } else {
        update_h(a, kern, after);
        update_e(a, kern);
      }
      inject_sources(a, t);
      rhs_slot = sampled && a.snap.save_rhs ? slot : -1;
      record_receivers(a, t);
    }
    if (rhs_slot >= 0) storage::save_snapshot_rows(slot_writer(a, plan, rhs_slot, true).rows);
  }
}

}  // namespace norvane::forward
