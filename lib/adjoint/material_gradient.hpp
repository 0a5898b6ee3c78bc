// Phase C of the adjoint step: gradients with respect to eps_r and sigma.
// The E update of a sampled step is E_new = ca_e E_old + cs_e R, so
// dE_new/dp = (d ca_e/dp) E_old + (d cs_e/dp) R with E_old and R read from the
// snapshot stores; contracting with the adjoint E of that step and weighting
// by the number of steps the snapshot stands for gives each cell's term.
// With D = eps/dt + sigma/2 (eps = eps_r*eps0), ca_e = (eps/dt - sigma/2)/D
// and cs_e = 1/D:
//   d ca_e/d eps_r = cs_e (1 - ca_e) eps0/dt,  d cs_e/d eps_r = -cs_e^2 eps0/dt
//   d ca_e/d sigma = -cs_e (1 + ca_e)/2,       d cs_e/d sigma = -cs_e^2/2
// Cells inside the absorbing layers and perfect conductors get nothing.
#pragma once

#include "lib/interface/args.hpp"

namespace norvane::adjoint {

void material_gradients(const backward_args& a, int t);

}  // namespace norvane::adjoint
