// Interior update, absorbing-layer, snapshot and coefficient row kernels built for the avx2 instruction set (the
// flags come from the build); the kernel bodies are shared with the other
// sets, so every set computes the same bits.
#define NORVANE_ISA_NS avx2
#include "lib/forward/field_update_kernels.inl"
#include "lib/forward/layers_kernels.inl"
#include "lib/storage/snapshot_kernels.inl"
#include "lib/kernels/update_coeffs_kernels.inl"

namespace norvane::forward {

const row_kernels* row_kernels_avx2() {
  static const row_kernels k{"avx2", kernels::isa_avx2, &avx2::h_row, &avx2::e_row,
                                 &avx2::h_layered_row, &avx2::e_layered_row};
  return &k;
}

}  // namespace norvane::forward

namespace norvane::storage {

const snapshot_kernels* snapshot_kernels_avx2() {
  static const snapshot_kernels k{&avx2::e_row, &avx2::rhs_row, &avx2::decode_half};
  return &k;
}

}  // namespace norvane::storage
