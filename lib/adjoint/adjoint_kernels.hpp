// The adjoint phases that sweep the grid, compiled once per instruction set
// (adjoint_<set>.cpp include the *_kernels.inl bodies); the entry points
// declared in field_update_adjoint.hpp, layers_adjoint.hpp and
// material_gradient.hpp forward to the set chosen at run time.
#pragma once

#include "lib/adjoint/field_update_adjoint.hpp"
#include "lib/adjoint/layer_plan.hpp"
#include "lib/forward/layers.hpp"
#include "lib/interface/args.hpp"

namespace norvane::adjoint {

struct adjoint_kernels {
  void (*e_update)(const pass_args& a, const gather_plan& plan, bool targets_owed);
  void (*h_update)(const pass_args& a, const gather_plan& plan, bool targets_owed);
  void (*h_rescale)(const pass_args& a);
  void (*e_update_layers)(const pass_args& a, const gather_plan& plan, const side_plan& P,
                          bool targets_owed);
  void (*h_update_layers)(const pass_args& a, const gather_plan& plan, const side_plan& P,
                          bool targets_owed);
  void (*material)(const backward_args& a, int t);
};

const adjoint_kernels* adjoint_kernels_generic();
const adjoint_kernels* adjoint_kernels_avx2();
const adjoint_kernels* adjoint_kernels_avx512();

}  // namespace norvane::adjoint
