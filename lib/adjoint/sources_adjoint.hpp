// Transposes of the receiver sampling and the source injection (phases A
// and B of the adjoint step). Receiver sampling copies one E component, so
// its transpose adds each residual sample into that adjoint component at the
// receiver node. Injection subtracted cs_e*h/(dx dy dz) times the wavelet
// sample from E at the source node of every shot, so the wavelet gradient of
// sample t collects -(cs_e*w) times the adjoint field there, summed over shots.
#pragma once

#include "lib/interface/args.hpp"

namespace norvane::adjoint {

// Phase A; worksharing over shots, receivers of a shot in index order, so
// receivers sharing a node sum in one fixed order. Closes with a barrier.
void inject_residuals(const backward_args& a, int t);

// Phase B; worksharing over sources, shots of a source in increasing order,
// so each gradient element sums its shots in one fixed order.
void wavelet_gradient(const backward_args& a, int t);

}  // namespace norvane::adjoint
