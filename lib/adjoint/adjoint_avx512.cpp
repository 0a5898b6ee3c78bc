// Adjoint sweeps built for the avx512 instruction set (flags from the
// build); the bodies are shared with the other sets.
#define NORVANE_ISA_NS avx512
#include "lib/adjoint/adjoint_kernels.hpp"
#include "lib/adjoint/field_update_adjoint_kernels.inl"
#include "lib/adjoint/layers_adjoint_kernels.inl"
#include "lib/adjoint/material_gradient_kernels.inl"

namespace norvane::adjoint {

const adjoint_kernels* adjoint_kernels_avx512() {
  static const adjoint_kernels k{&avx512::e_update_adjoint, &avx512::h_update_adjoint, &avx512::h_rescale_adjoint,
                                 &avx512::e_update_layers_adjoint, &avx512::h_update_layers_adjoint,
                                 &avx512::material_gradients};
  return &k;
}

}  // namespace norvane::adjoint
