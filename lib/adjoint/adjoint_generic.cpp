// Adjoint sweeps built for the generic instruction set (flags from the
// build); the bodies are shared with the other sets.
#define NORVANE_ISA_NS generic
#include "lib/adjoint/adjoint_kernels.hpp"
#include "lib/adjoint/field_update_adjoint_kernels.inl"
#include "lib/adjoint/layers_adjoint_kernels.inl"
#include "lib/adjoint/material_gradient_kernels.inl"

namespace norvane::adjoint {

const adjoint_kernels* adjoint_kernels_generic() {
  static const adjoint_kernels k{&generic::e_update_adjoint, &generic::h_update_adjoint, &generic::h_rescale_adjoint,
                                 &generic::e_update_layers_adjoint, &generic::h_update_layers_adjoint,
                                 &generic::material_gradients};
  return &k;
}

}  // namespace norvane::adjoint
