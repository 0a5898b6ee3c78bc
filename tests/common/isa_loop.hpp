// Runs a test body once under each instruction set this CPU runs, forced in
// turn, then goes back to the automatic choice.
#pragma once

#include "lib/kernels/isa.hpp"

namespace norvane_test {

template <class Body>
void for_each_isa(Body body) {
  for (auto isa : {norvane::kernels::isa_generic, norvane::kernels::isa_avx2,
                   norvane::kernels::isa_avx512}) {
    if (!norvane::kernels::cpu_runs(isa)) continue;
    norvane::kernels::force_isa(isa);
    body(isa);
  }
  norvane::kernels::force_isa(-1);
}

}  // namespace norvane_test
