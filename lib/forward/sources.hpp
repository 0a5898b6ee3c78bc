// Phases E and F of the forward step. A source is a soft current along one
// E component: its wavelet sample a becomes the current density a*h/(dx dy dz)
// and enters the E update as -cs_e * J, i.e. v = ((h*a)/((dx*dy)*dz))*cs_e is
// subtracted at the source node. Receivers copy one E component per step.
// Positions outside the grid are skipped (a receiver there records 0).
#pragma once

#include "lib/interface/args.hpp"

namespace norvane::forward {

// Worksharing over shots: sources of one shot are applied by one thread in
// their index order, so sources sharing a node sum in the same order for any
// thread count. Closes with a barrier.
void inject_sources(const forward_args& a, int t);

// Worksharing over shots x receivers; closes with a barrier.
void record_receivers(const forward_args& a, int t);

}  // namespace norvane::forward
