// Transposes of the absorbing-layer corrections (phases D and F of the
// adjoint step). The forward correction of one term,
//   F += sign*c*((r0 - 1) D/h + r1 psi),   psi' = r2 psi - r3 D/h,
// is linear in (D, psi); its transpose, for adjoint values a (of F) and
// q (of psi'), scatters (1/h)(sign*a*c*(r0 - 1) - r3 q) into the adjoint of
// the differenced component through the transposed difference, and sets
// q <- sign*a*c*r1 + r2 q. Both use the old q.
#pragma once

#include "lib/forward/layers.hpp"

namespace norvane::adjoint {

// `targets_owed`: the adjoint components gathered into (H in phase D, E in
// phase F) still owe the previous phase's rescaling by ca; each row takes it
// just before its first addition.
void e_layers_adjoint(const pass_args& a, const forward::layer_table& t, bool targets_owed);  // phase D
void h_layers_adjoint(const pass_args& a, const forward::layer_table& t, bool targets_owed);  // phase F

}  // namespace norvane::adjoint
