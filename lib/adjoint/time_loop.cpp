// The adjoint time loop: the forward step's operations transposed in
// reverse order, for t = nt-1 down to 0, in one parallel region:
//   residuals in (receivers^T) -> wavelet gradient (sources^T)
//   -> material gradients from the snapshots of t (t a multiple of the interval)
//   -> E-layer^T -> E-update^T -> H-layer^T -> H-update^T.
// Phase conditions depend on shared inputs only; a conditional phase's
// barrier exists only when the phase does.
#include <optional>

#include "lib/adjoint/field_update_adjoint.hpp"
#include "lib/adjoint/layers_adjoint.hpp"
#include "lib/adjoint/material_gradient.hpp"
#include "lib/adjoint/sources_adjoint.hpp"

namespace norvane::adjoint {

void run(const backward_args& a) {
  if (a.nt < 1) return;
  const forward::layer_table e_layers = forward::make_layer_table(a, true);
  const forward::layer_table h_layers = forward::make_layer_table(a, false);
  const gather_plan e_plan(a, false), h_plan(a, true);
  // Each curl transpose's rescaling of its sources by ca rides on the next
  // phase that adds into them, which applies it to each row just before its
  // first addition: nothing reads adjoint H between phase G and the next
  // step's first phase into H, nor adjoint E between phase E and the next
  // phase into E. Without layers those are the curl transposes themselves;
  // with layers the layer transposes (D into H, F into E), which run row by
  // row together with the curl transposes that follow them.
  const bool want_material = (a.want_grad_eps_r != 0 || a.want_grad_sigma != 0) && a.snap.enabled;
#pragma omp parallel
  {
    // Every thread's own plans of the layer transposes, for the whole call.
    std::optional<side_plan> e_side, h_side;
    if (a.any_pml) e_side.emplace(a, e_layers, true), h_side.emplace(a, h_layers, false);
    for (int t = a.nt - 1; t >= 0; --t) {
      inject_residuals(a, t);
      if (a.want_grad_wavelet) wavelet_gradient(a, t);
      if (want_material && t % a.snap.interval == 0) material_gradients(a, t);
      const bool h_owed = t != a.nt - 1;
      if (a.any_pml) {
        e_update_layers_adjoint(a, e_plan, *e_side, h_owed);
        h_update_layers_adjoint(a, h_plan, *h_side, true);
      } else {
        e_update_adjoint(a, e_plan, h_owed);
        h_update_adjoint(a, h_plan, true);
      }
    }
    h_rescale_adjoint(a);
  }
}

}  // namespace norvane::adjoint
