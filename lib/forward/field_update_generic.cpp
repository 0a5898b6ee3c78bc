// Interior update, absorbing-layer, snapshot and coefficient row kernels built for the generic instruction set (the
// flags come from the build); the kernel bodies are shared with the other
// sets, so every set computes the same bits.
#define NORVANE_ISA_NS generic
#include "lib/forward/field_update_kernels.inl"
#include "lib/forward/layers_kernels.inl"
#include "lib/storage/snapshot_kernels.inl"
#include "lib/kernels/update_coeffs_kernels.inl"

namespace norvane::forward {

const row_kernels* row_kernels_generic() {
  static const row_kernels k{"generic", kernels::isa_generic, &generic::h_row, &generic::e_row,
                                 &generic::h_layered_row, &generic::e_layered_row};
  return &k;
}

}  // namespace norvane::forward

namespace norvane::storage {

const snapshot_kernels* snapshot_kernels_generic() {
  static const snapshot_kernels k{&generic::e_row, &generic::rhs_row, &generic::decode_half};
  return &k;
}

}  // namespace norvane::storage
