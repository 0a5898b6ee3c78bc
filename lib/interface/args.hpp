// Internal view of one pass's arguments: the long C parameter lists packed
// once, with typed pointers and 64-bit derived sizes. Every kernel receives
// these by const reference; none reads the process-wide order setting.
#pragma once

#include <cstdint>

namespace norvane {

// Grid extents and spacings. plane = ny*nz and n_nodes = nx*ny*nz are 64-bit
// products of the sign-extended counts.
struct grid_dims {
  int nx = 0, ny = 0, nz = 0;
  int64_t plane = 0, n_nodes = 0;
  float dt = 0, dx = 0, dy = 0, dz = 0;

  int64_t extent(int axis) const { return axis == 0 ? nx : (axis == 1 ? ny : nz); }
  int64_t stride(int axis) const { return axis == 0 ? plane : (axis == 1 ? nz : 1); }
  float spacing(int axis) const { return axis == 0 ? dx : (axis == 1 ? dy : dz); }
};

struct coeff_arrays {
  float *ca_e = nullptr, *cb_e = nullptr, *cs_e = nullptr;
  float *ca_h = nullptr, *cb_h = nullptr, *cs_h = nullptr;
};

// One face of the absorbing lining: faces are numbered xlo, xhi, ylo, yhi,
// zlo, zhi (axis = face / 2, high side = face % 2). The memories are the two
// tangential components of each field type, in x, y, z order.
struct layer_face {
  int width = 0;
  const float* prof_e = nullptr;
  const float* prof_h = nullptr;
  float* psi_e[2] = {nullptr, nullptr};
  float* psi_h[2] = {nullptr, nullptr};
};

// Snapshot settings as the time loops use them. `enabled` is false when no
// snapshot can be taken safely: bit 26 of the format set, an interval below 1
// or a format code without an element layout.
struct snapshot_args {
  void* e_store = nullptr;
  void* rhs_store = nullptr;
  int interval = 1;
  int components = 3;  // stored components: 3 (ex, ey, ez) or 1 (ez)
  int format = 0;
  bool enabled = false;
  bool save_rhs = false;
  int n_snapshots = 0;
  int64_t n_cells = 0;   // shots x interior cells: the extent of one slot
  // The forward pass's buffer for exact right-hand sides: scratch_threads
  // row buffers of components*(nz-1) floats, then one float per source and
  // shot (null: E_old is read back from the stored snapshot).
  float* scratch = nullptr;
  int scratch_threads = 0;

  int64_t component_stride() const { return n_cells * n_snapshots; }
};

// State shared by both passes: grid, order, shots, fields (E then H, x y z),
// coefficients and the lining.
struct pass_args {
  grid_dims g;
  int order = 2;
  int n_shots = 0;
  int nt = 0;
  float* e[3] = {nullptr, nullptr, nullptr};
  float* h[3] = {nullptr, nullptr, nullptr};
  coeff_arrays c;
  layer_face faces[6];
  bool any_pml = false;
  snapshot_args snap;
  int n_rec = 0;
  const int32_t* rec_pos = nullptr;
  int rec_comp = 2;
  int n_src = 0;
  const int32_t* src_pos = nullptr;
  int src_comp = 2;

  int64_t n_field() const { return static_cast<int64_t>(n_shots) * g.n_nodes; }
};

struct forward_args : pass_args {
  float* rec_out = nullptr;
  const float* src_wavelet = nullptr;
};

struct backward_args : pass_args {
  const float* rec_residual = nullptr;
  float* grad_wavelet = nullptr;
  bool want_grad_wavelet = false;
  float* grad_eps_r = nullptr;
  float* grad_sigma = nullptr;
  int want_grad_eps_r = 0;  // the material phase runs when either is non-zero,
  int want_grad_sigma = 0;  // and adds into an array only when its switch is 1
  const float* sigma = nullptr;
};

// Node (i, j, k) of a position triple, or -1 when it lies outside the grid.
inline int64_t position_node(const grid_dims& g, const int32_t* p) {
  if (p[0] < 0 || p[0] >= g.nx || p[1] < 0 || p[1] >= g.ny || p[2] < 0 || p[2] >= g.nz) return -1;
  return (static_cast<int64_t>(p[0]) * g.ny + p[1]) * g.nz + p[2];
}

namespace forward {
void run(const forward_args& a);
}
namespace adjoint {
void run(const backward_args& a);
}

}  // namespace norvane
