// Exact transposes of the staggered differences: the value v is scattered,
// times each stencil coefficient, into exactly the elements the difference at
// the same point reads, with the sign each has there. The half-width is the
// one the difference uses at that position, so the pair (D, D^T) is an exact
// transpose everywhere on the axis, ends included. Each product c_k * v is
// rounded once and used for both elements of its pair; half-width 1 adds and
// subtracts v itself. `Adder` decides whether the additions are atomic.
#pragma once

#include <cstdint>

#include "lib/kernels/atomic_add.hpp"
#include "lib/kernels/staggered_diff.hpp"

namespace norvane::kernels {

// Transpose of diff_forward at half-width m: e(k) += c_k v, e(1-k) -= c_k v.
static inline void scatter_forward_with(int m, float* e, int64_t stride, float v) {
  if (m == 1) {
    atomic_add_float(e + stride, v);
    atomic_sub_float(e, v);
    return;
  }
  const float* c = stencil_coeffs::c[m - 1];
  for (int k = 1; k <= m; ++k) {
    const float p = v * c[k - 1];
    atomic_add_float(e + k * stride, p);
    atomic_sub_float(e + (1 - k) * stride, p);
  }
}

// Transpose of diff_backward at half-width m: e(k-1) += c_k v, e(-k) -= c_k v.
static inline void scatter_backward_with(int m, float* e, int64_t stride, float v) {
  if (m == 1) {
    atomic_add_float(e, v);
    atomic_sub_float(e - stride, v);
    return;
  }
  const float* c = stencil_coeffs::c[m - 1];
  for (int k = 1; k <= m; ++k) {
    const float p = v * c[k - 1];
    atomic_add_float(e + (k - 1) * stride, p);
    atomic_sub_float(e - k * stride, p);
  }
}

static inline void add_staggered_forward_adjoint_cpu(float* field, int64_t index, int64_t stride,
                                              int64_t pos, int64_t axis_len, int order,
                                              float value) {
  scatter_forward_with(fit_forward(order, pos, axis_len), field + index, stride,
                                     value);
}

static inline void add_staggered_backward_adjoint_cpu(float* field, int64_t index, int64_t stride,
                                               int64_t pos, int64_t axis_len, int order,
                                               float value) {
  scatter_backward_with(fit_backward(order, pos, axis_len), field + index, stride,
                                      value);
}

}  // namespace norvane::kernels
