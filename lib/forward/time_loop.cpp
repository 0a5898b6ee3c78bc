// The forward time loop: one parallel region for the whole pass, every
// thread running every step. A step t is, in leapfrog order:
//   E snapshot (t a multiple of the interval)  -> H update -> H layers
//   -> E update -> E layers -> sources of index t -> right-hand-side snapshot
//   -> receivers record E of index t.
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

void save_e(const forward_args& a, const snapshot_plan& p, int slot) {
  const snapshot_set set = components(a, p, a.snap.e_store);
  storage::save_e_snapshots_cpu(set.store, slot, set.field, set.scratch, p.count, a.n_shots, a.g.nx,
                                a.g.ny, a.g.nz, a.snap.format);
}

void save_rhs(const forward_args& a, const snapshot_plan& p, int slot) {
  const snapshot_set set = components(a, p, a.snap.rhs_store);
  storage::save_rhs_snapshots_cpu(set.store, slot, set.field, set.e_store, set.scratch, p.count,
                                  a.c.ca_e, a.c.cs_e, a.n_shots, a.g.nx, a.g.ny, a.g.nz,
                                  a.snap.format);
}

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
    for (int t = 0; t < a.nt; ++t) {
      const bool sampled = snaps && t % a.snap.interval == 0;
      const int slot = sampled ? t / a.snap.interval : 0;
      if (sampled) save_e(a, plan, slot);
      if (a.any_pml) {
        update_h_with_layers(a, h_layers, kern);
        update_e_with_layers(a, e_layers, kern);
      } else {
        update_h(a, kern);
        update_e(a, kern);
      }
      inject_sources(a, t);
      if (sampled && a.snap.save_rhs) save_rhs(a, plan, slot);
      record_receivers(a, t);
    }
  }
}

}  // namespace norvane::forward
