// Transposes of the absorbing-layer corrections (phases D and F of the
// adjoint step). The forward correction of one term,
//   F += sign*c*((r0 - 1) D/h + r1 psi),   psi' = r2 psi - r3 D/h,
// is linear in (D, psi); its transpose, for adjoint values a (of F) and
// q (of psi'), scatters (1/h)(sign*a*c*(r0 - 1) - r3 q) into the adjoint of
// the differenced component through the transposed difference, and sets
// q <- sign*a*c*r1 + r2 q. Both use the old q.
#pragma once

#include "lib/adjoint/gather_plan.hpp"
#include "lib/adjoint/layer_plan.hpp"
#include "lib/forward/layers.hpp"

namespace norvane::adjoint {

// Each runs with the curl transpose that follows it (phase D with E, F with
// G; see field_update_adjoint.hpp), row by row: both add into the same
// targets from the same sources, the layer terms first. `targets_owed`: the
// targets (adjoint H in D and E, E in F and G) still owe the previous
// phase's rescaling by ca; each row takes it just before its first addition.
// `P` is the side's plan (the E side's for D and E), the calling thread's own:
// the sweeps write its rows of source values.
void e_update_layers_adjoint(const pass_args& a, const gather_plan& plan, const side_plan& P,
                             bool targets_owed);  // phases D, E
void h_update_layers_adjoint(const pass_args& a, const gather_plan& plan, const side_plan& P,
                             bool targets_owed);  // phases F, G

}  // namespace norvane::adjoint
