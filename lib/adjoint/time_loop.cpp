// The adjoint time loop: the forward step's operations transposed in
// reverse order, for t = nt-1 down to 0, in one parallel region:
//   residuals in (receivers^T) -> wavelet gradient (sources^T)
//   -> material gradients from the snapshots of t (t a multiple of the interval)
//   -> E-layer^T -> E-update^T -> H-layer^T -> H-update^T.
// Phase conditions depend on shared inputs only; a conditional phase's
// barrier exists only when the phase does.
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
  // Without layers nothing but the curl transposes touches adjoint H, and
  // between them nothing touches adjoint E but the gather into it, so each
  // phase's rescaling by ca rides on the next phase's gather.
  const bool defer = !a.any_pml;
  const bool want_material = (a.want_grad_eps_r != 0 || a.want_grad_sigma != 0) && a.snap.enabled;
#pragma omp parallel
  {
    for (int t = a.nt - 1; t >= 0; --t) {
      inject_residuals(a, t);
      if (a.want_grad_wavelet) wavelet_gradient(a, t);
      if (want_material && t % a.snap.interval == 0) material_gradients(a, t);
      if (a.any_pml) e_layers_adjoint(a, e_layers);
      e_update_adjoint(a, e_plan, {defer && t != a.nt - 1, defer});
      if (a.any_pml) h_layers_adjoint(a, h_layers);
      h_update_adjoint(a, h_plan, {defer, defer});
    }
    if (defer) h_rescale_adjoint(a);
  }
}

}  // namespace norvane::adjoint
