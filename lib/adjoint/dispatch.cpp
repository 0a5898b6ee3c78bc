// Entry points of the adjoint sweeps: the instruction set chosen at run time.
#include "lib/adjoint/adjoint_kernels.hpp"
#include "lib/adjoint/field_update_adjoint.hpp"
#include "lib/adjoint/layers_adjoint.hpp"
#include "lib/adjoint/material_gradient.hpp"
#include "lib/kernels/isa.hpp"

namespace norvane::adjoint {
namespace {

const adjoint_kernels& active() {
  return *kernels::by_active_isa(adjoint_kernels_generic(), adjoint_kernels_avx2(),
                                 adjoint_kernels_avx512());
}

}  // namespace

void e_update_adjoint(const pass_args& a, const gather_plan& p, bool targets_owed) {
  active().e_update(a, p, targets_owed);
}
void h_update_adjoint(const pass_args& a, const gather_plan& p, bool targets_owed) {
  active().h_update(a, p, targets_owed);
}
void h_rescale_adjoint(const pass_args& a) { active().h_rescale(a); }
void e_update_layers_adjoint(const pass_args& a, const gather_plan& p, const side_plan& P,
                             bool targets_owed) {
  active().e_update_layers(a, p, P, targets_owed);
}
void h_update_layers_adjoint(const pass_args& a, const gather_plan& p, const side_plan& P,
                             bool targets_owed) {
  active().h_update_layers(a, p, P, targets_owed);
}
void material_gradients(const backward_args& a, int t) { active().material(a, t); }

}  // namespace norvane::adjoint
