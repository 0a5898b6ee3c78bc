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

// When the rescaling by ca happens. The phase's own rescaling of its sources
// is a sweep after the gathers unless `defer_own`: then the next phase owes
// it and applies it to each target row just before gathering into it
// (`targets_owed`). Valid only when nothing touches the field in between.
struct ca_schedule {
  bool targets_owed = false;
  bool defer_own = false;
};

// `plan` is the phase's gather plan, built for the same arguments.
void e_update_adjoint(const pass_args& a, const gather_plan& plan, ca_schedule sc);  // phase E
void h_update_adjoint(const pass_args& a, const gather_plan& plan, ca_schedule sc);  // phase G
// The rescaling of adjoint H that a last deferring phase G left owed.
void h_rescale_adjoint(const pass_args& a);

}  // namespace norvane::adjoint
