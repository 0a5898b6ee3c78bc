// Interior update, absorbing-layer, snapshot and coefficient row kernels built for the avx512 instruction set (the
// flags come from the build); the kernel bodies are shared with the other
// sets, so every set computes the same bits.
#define NORVANE_ISA_NS avx512
#include "lib/forward/field_update_kernels.inl"
#include "lib/forward/layers_kernels.inl"
#include "lib/storage/snapshot_kernels.inl"
#include "lib/kernels/update_coeffs_kernels.inl"

namespace norvane::forward {

const row_kernels* row_kernels_avx512() {
  static const row_kernels k{"avx512", kernels::isa_avx512, &avx512::h_row, &avx512::e_row,
                                 &avx512::h_layered_row, &avx512::e_layered_row};
  return &k;
}

}  // namespace norvane::forward

namespace norvane::storage {

const snapshot_kernels* snapshot_kernels_avx512() {
  static const snapshot_kernels k{&avx512::e_row, &avx512::rhs_row, &avx512::decode_half};
  return &k;
}

}  // namespace norvane::storage
