// Staggered first differences of order 2, 4 or 8 along one grid axis, not
// divided by the spacing:
//   forward  D+f(pos) = sum_k c_k (f(pos+k) - f(pos+1-k))   (centred at pos+1/2)
//   backward D-f(pos) = sum_k c_k (f(pos+k-1) - f(pos-k))   (centred at pos-1/2)
// Near the axis ends the half-width drops (4 -> 3 -> 2 -> 1) until the stencil
// fits. Half-widths 2 and 3, and 4 off the unit-stride axis, accumulate in
// fused multiply-adds from +0; half-width 4 on the unit-stride axis rounds the
// four products one by one and adds them in order (the 4-wide vector form).
// Callers guarantee pos <= len-2 (forward) or pos >= 1 (backward).
#pragma once

#include <cmath>
#include <cstdint>

#include "lib/kernels/cell.hpp"

namespace norvane::kernels {

// Stencil coefficients of half-widths 1..4; row m-1, exact fractions.
struct stencil_coeffs {
  static constexpr float c[4][4] = {
      {1.f, 0.f, 0.f, 0.f},
      {9.f / 8, -1.f / 24, 0.f, 0.f},
      {75.f / 64, -25.f / 384, 3.f / 640, 0.f},
      {1225.f / 1024, -245.f / 3072, 49.f / 5120, -5.f / 7168},
  };
};

// Nominal half-width of an order: 1 up to 3, 2 up to 7, 4 from 8.
NORVANE_CELL int half_width(int order) { return order <= 3 ? 1 : (order <= 7 ? 2 : 4); }

// Largest half-width not above the order's that keeps the forward stencil
// (points pos-m+1 .. pos+m) on the axis.
NORVANE_CELL int fit_forward(int order, int64_t pos, int64_t len) {
  const int M = half_width(order);
  for (int m = M; m >= 2; --m) {
    if (pos - (m - 1) >= 0 && pos + m <= len - 1) return m;
  }
  return 1;
}

// Same for the backward stencil (points pos-m .. pos+m-1).
NORVANE_CELL int fit_backward(int order, int64_t pos, int64_t len) {
  const int M = half_width(order);
  for (int m = M; m >= 2; --m) {
    if (pos - m >= 0 && pos + m <= len) return m;
  }
  return 1;
}

// Signed weight of the node o = q - qs in the difference at position qs (an
// axis of len nodes), which is also the coefficient its transpose scatters
// there: +c_k where the difference adds the node, -c_k where it subtracts
// it, 0 outside the stencil (no coefficient is 0). At half-width 1 it is
// +-1, and v * (+-1) is exactly +-v.
NORVANE_CELL float stencil_weight(bool backward, int order, int64_t qs, int64_t o, int64_t len) {
  int m, idx;
  bool gain;
  if (backward) {
    m = fit_backward(order, qs, len);
    if (o >= 0 && o <= m - 1) {
      gain = true, idx = static_cast<int>(o);
    } else if (o <= -1 && o >= -m) {
      gain = false, idx = static_cast<int>(-o - 1);
    } else {
      return 0.0f;
    }
  } else {
    m = fit_forward(order, qs, len);
    if (o >= 1 && o <= m) {
      gain = true, idx = static_cast<int>(o - 1);
    } else if (o <= 0 && o >= 1 - m) {
      gain = false, idx = static_cast<int>(-o);
    } else {
      return 0.0f;
    }
  }
  const float c = m == 1 ? 1.0f : stencil_coeffs::c[m - 1][idx];
  return gain ? c : -c;
}

// Weighted sum of the pair differences d_1..d_m with the rounding of the
// half-width: f0 points at the centre element, ahead(k)/behind(k) the pair.
// `unit_stride` selects the unfused summation at half-width 4.
template <int M, bool UnitStride>
NORVANE_CELL float combine_pairs(const float (&d)[4]) {
  constexpr const float* c = stencil_coeffs::c[M - 1];
  if constexpr (M == 1) {
    return d[0];
  } else if constexpr (M == 2) {
    return std::fma(d[1], c[1], std::fma(d[0], c[0], 0.0f));
  } else if constexpr (M == 3) {
    return std::fma(d[2], c[2], std::fma(d[1], c[1], std::fma(d[0], c[0], 0.0f)));
  } else if constexpr (UnitStride) {
    const float p0 = c[0] * d[0];
    const float p1 = c[1] * d[1];
    const float p2 = c[2] * d[2];
    const float p3 = c[3] * d[3];
    float s = 0.0f;
    s = s + p0;
    s = s + p1;
    s = s + p2;
    s = s + p3;
    return s;
  } else {
    float s = 0.0f;
    s = std::fma(c[0], d[0], s);
    s = std::fma(c[1], d[1], s);
    s = std::fma(c[2], d[2], s);
    s = std::fma(c[3], d[3], s);
    return s;
  }
}

// Forward difference with a fixed half-width; f points at the centre element.
template <int M, bool UnitStride>
NORVANE_CELL float diff_forward_m(const float* f, int64_t stride) {
  float d[4] = {0.f, 0.f, 0.f, 0.f};
  for (int k = 1; k <= M; ++k) d[k - 1] = f[k * stride] - f[(1 - k) * stride];
  return combine_pairs<M, UnitStride>(d);
}

template <int M, bool UnitStride>
NORVANE_CELL float diff_backward_m(const float* f, int64_t stride) {
  float d[4] = {0.f, 0.f, 0.f, 0.f};
  for (int k = 1; k <= M; ++k) d[k - 1] = f[(k - 1) * stride] - f[-k * stride];
  return combine_pairs<M, UnitStride>(d);
}

// Runtime half-width, for scalar edge positions.
NORVANE_CELL float diff_forward_with(int m, const float* f, int64_t stride) {
  const bool unit = stride == 1;
  switch (m) {
    case 4: return unit ? diff_forward_m<4, true>(f, stride) : diff_forward_m<4, false>(f, stride);
    case 3: return diff_forward_m<3, false>(f, stride);
    case 2: return diff_forward_m<2, false>(f, stride);
    default: return diff_forward_m<1, false>(f, stride);
  }
}

NORVANE_CELL float diff_backward_with(int m, const float* f, int64_t stride) {
  const bool unit = stride == 1;
  switch (m) {
    case 4: return unit ? diff_backward_m<4, true>(f, stride) : diff_backward_m<4, false>(f, stride);
    case 3: return diff_backward_m<3, false>(f, stride);
    case 2: return diff_backward_m<2, false>(f, stride);
    default: return diff_backward_m<1, false>(f, stride);
  }
}

// The two operators at a grid point: element `index` of `field`, position
// `pos` on an axis of `axis_len` points whose neighbours lie `stride` apart.
NORVANE_CELL float staggered_forward_diff(const float* field, int64_t index, int64_t stride, int64_t pos,
                                    int64_t axis_len, int order) {
  return diff_forward_with(fit_forward(order, pos, axis_len), field + index, stride);
}

NORVANE_CELL float staggered_backward_diff(const float* field, int64_t index, int64_t stride,
                                     int64_t pos, int64_t axis_len, int order) {
  return diff_backward_with(fit_backward(order, pos, axis_len), field + index, stride);
}

}  // namespace norvane::kernels
