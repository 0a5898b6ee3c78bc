// Transposes of the interior updates (phases E and G of the adjoint step).
// For the E update  E <- ca_e E + cb (curl H)  the transpose sends, for each
// adjoint E value v in the update region, the transposed curl cb*v into the
// adjoint H components and then rescales v by ca_e; the H update likewise
// with cb_h and ca_h. The scatters use the same half-widths and scaled curl
// factors as the forward differences at the same node, so each phase is the
// exact transpose of its forward partner.
#pragma once

#include "lib/adjoint/gather_plan.hpp"
#include "lib/interface/args.hpp"

namespace norvane::adjoint {

// A phase's own rescaling of its sources by ca is left to the next phase
// that adds into them, which applies it to each row just before its first
// addition (`targets_owed`: the targets of this phase still owe it).
// `plan` is the phase's gather plan, built for the same arguments.
void e_update_adjoint(const pass_args& a, const gather_plan& plan, bool targets_owed);  // phase E
void h_update_adjoint(const pass_args& a, const gather_plan& plan, bool targets_owed);  // phase G
// The rescaling of adjoint H that the last phase G leaves owed.
void h_rescale_adjoint(const pass_args& a);

}  // namespace norvane::adjoint
