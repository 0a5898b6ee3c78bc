// Float addition into a shared element as a compare-and-swap loop on its
// 32-bit pattern: read, add in float32, swap if the pattern is unchanged,
// otherwise retry with the pattern found. Comparing patterns (not values)
// means a NaN or a signed zero in the element cannot make the loop spin.
// Relaxed ordering: the barrier that closes each phase publishes the sums.
#pragma once

#include <cstdint>
#include <cstring>

namespace norvane::kernels {

// old + v (Subtract false) or old - v (Subtract true), rounded once.
template <bool Subtract>
static inline void atomic_update_float(float* target, float v) {
  uint32_t* bits = reinterpret_cast<uint32_t*>(target);
  uint32_t old_bits = __atomic_load_n(bits, __ATOMIC_RELAXED);
  for (;;) {
    float old_value;
    std::memcpy(&old_value, &old_bits, sizeof old_value);
    const float new_value = Subtract ? old_value - v : old_value + v;
    uint32_t new_bits;
    std::memcpy(&new_bits, &new_value, sizeof new_bits);
    if (__atomic_compare_exchange_n(bits, &old_bits, new_bits, true, __ATOMIC_RELAXED,
                                    __ATOMIC_RELAXED))
      return;
  }
}

static inline void atomic_add_float(float* target, float v) { atomic_update_float<false>(target, v); }
static inline void atomic_sub_float(float* target, float v) { atomic_update_float<true>(target, v); }

}  // namespace norvane::kernels
