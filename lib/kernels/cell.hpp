// Per-cell operators are forced inline, so the loops that call them
// vectorise, and have internal linkage, so that each instruction-set build
// of those loops keeps its own copy.
#pragma once

#define NORVANE_CELL static inline __attribute__((always_inline))
