// Adjoint sweeps built for the avx2 instruction set (flags from the
// build); the bodies are shared with the other sets.
#define NORVANE_ISA_NS avx2
#include "lib/adjoint/adjoint_kernels.hpp"
#include "lib/adjoint/field_update_adjoint_kernels.inl"
#include "lib/adjoint/layers_adjoint_kernels.inl"
#include "lib/adjoint/material_gradient_kernels.inl"

namespace norvane::adjoint {

const adjoint_kernels* adjoint_kernels_avx2() {
  static const adjoint_kernels k{&avx2::e_update_adjoint, &avx2::h_update_adjoint, &avx2::h_rescale_adjoint,
                                 &avx2::e_update_layers_adjoint, &avx2::h_update_layers_adjoint,
                                 &avx2::material_gradients};
  return &k;
}

}  // namespace norvane::adjoint
