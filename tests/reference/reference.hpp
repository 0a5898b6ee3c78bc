// Literal scalar oracle of the forward FDTD pass and its adjoint: one thread,
// one node at a time, flat index ascending, every fused multiply-add written
// out and no other fusion (build with -ffp-contract=off). Tests compare the
// fast library against it bit for bit, and call the per-phase functions below
// for dot tests of each forward phase against its transpose.
// Callers guarantee array sizes that match the grid, shots and layer widths;
// out-of-grid source and receiver positions are skipped without any access.
#pragma once

#include <cstdint>

namespace norvane_ref {

// ---- process-wide order of the oracle (4 and 8 kept, anything else 2) ----
void set_fdtd_order(int32_t order);
int32_t fdtd_order();

// ---- staggered differences and their transposes ---------------------------
// Half-width actually used at `pos`: lowered near the axis ends so that the
// stencil never leaves the axis.
int half_width_forward(int64_t pos, int64_t axis_len, int32_t order);
int half_width_backward(int64_t pos, int64_t axis_len, int32_t order);

// Bare difference half a cell ahead of (forward) or behind (backward) the
// point, not divided by the spacing.
float diff_forward(const float* field, int64_t index, int64_t stride, int64_t pos,
                   int64_t axis_len, int32_t order);
float diff_backward(const float* field, int64_t index, int64_t stride, int64_t pos,
                    int64_t axis_len, int32_t order);

// Exact transposes: `value` times each coefficient is added to (or taken from)
// the elements the difference at the same point reads.
void scatter_forward_adjoint(float* field, int64_t index, int64_t stride, int64_t pos,
                             int64_t axis_len, int32_t order, float value);
void scatter_backward_adjoint(float* field, int64_t index, int64_t stride, int64_t pos,
                              int64_t axis_len, int32_t order, float value);

// ---- per-node update coefficients (interior nodes only) -------------------
void build_coeffs(const float* eps_r, const float* sigma, const float* mu_r, float dt,
                  float dx, int32_t nx, int32_t ny, int32_t nz, float* ca_e, float* cb_e,
                  float* cs_e, float* ca_h, float* cb_h, float* cs_h);

// ---- the state one phase works on -----------------------------------------
struct grid {
  int32_t nx, ny, nz;
  int32_t n_shots;
  int32_t nt;
  float dt, dx, dy, dz;
  int32_t order;  // 2, 4 or 8
};

struct coeffs {
  const float *ca_e, *cb_e, *cs_e, *ca_h, *cb_h, *cs_h;
};

// Faces in the order xlo, xhi, ylo, yhi, zlo, zhi; profiles are [4][width].
struct layers {
  int32_t width[6];
  const float* prof_e[6];
  const float* prof_h[6];
};

// Six field components (forward) or adjoint components (backward), and the 24
// layer memories in parameter-list order: for face f, psi[4*f + 0..1] are the
// two tangential E memories and psi[4*f + 2..3] the two tangential H ones, each
// pair in x, y, z order (x faces: ey ez hy hz; y faces: ex ez hx hz; z faces:
// ex ey hx hy).
struct fields {
  float *ex, *ey, *ez, *hx, *hy, *hz;
  float* psi[24];
};

struct sources {
  int32_t n_src;
  const int32_t* src_pos;     // [n_shots][n_src][3]
  const float* src_wavelet;   // [n_src][nt]; unused by the adjoint phase
  int32_t src_comp;
};

struct receivers {
  int32_t n_rec;
  const int32_t* rec_pos;  // [n_shots][n_rec][3]
  int32_t rec_comp;
};

// Both stores are [component][slot][n_cells] in `format` (0, 1 or 2);
// scratch, when not null, holds an unrounded float copy of the latest E
// snapshot, components at offsets 0, n_cells, 2*n_cells.
struct snapshots {
  void* e_store;
  void* rhs_store;
  int32_t components;  // 3: ex ey ez; anything else: ez alone
  int32_t format;
  int32_t n_snapshots;
  float* scratch;
};

struct material_gradients {
  const float* sigma;
  const void* e_store;
  const void* rhs_store;
  int32_t snapshot_interval, snapshot_components, snapshot_format, n_snapshots;
  float* grad_eps_r;  // touched only when want_grad_eps_r == 1
  float* grad_sigma;  // touched only when want_grad_sigma == 1
  int32_t want_grad_eps_r, want_grad_sigma;
};

// n_shots*(nx-1)*(ny-1)*(nz-1), or 0 when the grid has no interior cell.
int64_t snapshot_cells(const grid& g);

// ---- forward phases of one step t ------------------------------------------
void save_e_snapshot(const grid& g, const fields& f, const snapshots& snap, int32_t slot);
void forward_h_update(const grid& g, const coeffs& c, fields& f);                     // A
void forward_h_layers(const grid& g, const coeffs& c, const layers& L, fields& f);    // B
void forward_e_update(const grid& g, const coeffs& c, fields& f);                     // C
void forward_e_layers(const grid& g, const coeffs& c, const layers& L, fields& f);    // D
void forward_sources(const grid& g, const coeffs& c, const sources& src, fields& f,
                     int32_t t);                                                      // E
void save_rhs_snapshot(const grid& g, const coeffs& c, const fields& f,
                       const snapshots& snap, int32_t slot);
void forward_receivers(const grid& g, const receivers& rec, const fields& f, float* rec_out,
                       int32_t t);                                                    // F

// ---- adjoint phases of one step t (run in this order, t descending) --------
void adjoint_residuals(const grid& g, const receivers& rec, const float* rec_residual,
                       fields& adj, int32_t t);                                       // A
void adjoint_wavelet_grad(const grid& g, const coeffs& c, const sources& src,
                          const fields& adj, float* grad_wavelet, int32_t t);         // B
void adjoint_material_grad(const grid& g, const coeffs& c, const layers& L,
                           const fields& adj, const material_gradients& mg,
                           int32_t t);                                                // C
void adjoint_e_layers(const grid& g, const coeffs& c, const layers& L, fields& adj);  // D
void adjoint_e_update(const grid& g, const coeffs& c, fields& adj);                   // E
void adjoint_h_layers(const grid& g, const coeffs& c, const layers& L, fields& adj);  // F
void adjoint_h_update(const grid& g, const coeffs& c, fields& adj);                   // G

// ---- whole passes, parameter lists identical to the exported ones ----------
void forward(
    const float* eps_r, const float* sigma, const float* mu_r,
    void* e_snapshots, void* rhs_snapshots,
    float* ex, float* ey, float* ez, float* hx, float* hy, float* hz,
    float* ca_e, float* cb_e, float* cs_e, float* ca_h, float* cb_h, float* cs_h,
    float* psi_ey_xlo, float* psi_ez_xlo, float* psi_hy_xlo, float* psi_hz_xlo,
    float* psi_ey_xhi, float* psi_ez_xhi, float* psi_hy_xhi, float* psi_hz_xhi,
    float* psi_ex_ylo, float* psi_ez_ylo, float* psi_hx_ylo, float* psi_hz_ylo,
    float* psi_ex_yhi, float* psi_ez_yhi, float* psi_hx_yhi, float* psi_hz_yhi,
    float* psi_ex_zlo, float* psi_ey_zlo, float* psi_hx_zlo, float* psi_hy_zlo,
    float* psi_ex_zhi, float* psi_ey_zhi, float* psi_hx_zhi, float* psi_hy_zhi,
    int32_t pml_xlo, int32_t pml_xhi, int32_t pml_ylo, int32_t pml_yhi,
    int32_t pml_zlo, int32_t pml_zhi,
    const float* prof_e_xlo, const float* prof_e_xhi, const float* prof_e_ylo,
    const float* prof_e_yhi, const float* prof_e_zlo, const float* prof_e_zhi,
    const float* prof_h_xlo, const float* prof_h_xhi, const float* prof_h_ylo,
    const float* prof_h_yhi, const float* prof_h_zlo, const float* prof_h_zhi,
    int32_t nt, int32_t n_shots, int32_t n_rec, const int32_t* rec_pos,
    float* rec_out, int32_t rec_comp,
    int32_t nx, int32_t ny, int32_t nz, float dt, float dx, float dy, float dz,
    int32_t n_src, const int32_t* src_pos, const float* src_wavelet,
    int32_t src_comp,
    int32_t snapshot_interval, int32_t snapshot_components,
    int32_t snapshot_format, int32_t save_rhs);

void backward(
    const float* eps_r, const float* sigma, const float* mu_r,
    const void* e_snapshots, const void* rhs_snapshots,
    float* adj_ex, float* adj_ey, float* adj_ez,
    float* adj_hx, float* adj_hy, float* adj_hz,
    float* ca_e, float* cb_e, float* cs_e, float* ca_h, float* cb_h, float* cs_h,
    float* adj_psi_ey_xlo, float* adj_psi_ez_xlo, float* adj_psi_hy_xlo,
    float* adj_psi_hz_xlo, float* adj_psi_ey_xhi, float* adj_psi_ez_xhi,
    float* adj_psi_hy_xhi, float* adj_psi_hz_xhi, float* adj_psi_ex_ylo,
    float* adj_psi_ez_ylo, float* adj_psi_hx_ylo, float* adj_psi_hz_ylo,
    float* adj_psi_ex_yhi, float* adj_psi_ez_yhi, float* adj_psi_hx_yhi,
    float* adj_psi_hz_yhi, float* adj_psi_ex_zlo, float* adj_psi_ey_zlo,
    float* adj_psi_hx_zlo, float* adj_psi_hy_zlo, float* adj_psi_ex_zhi,
    float* adj_psi_ey_zhi, float* adj_psi_hx_zhi, float* adj_psi_hy_zhi,
    int32_t pml_xlo, int32_t pml_xhi, int32_t pml_ylo, int32_t pml_yhi,
    int32_t pml_zlo, int32_t pml_zhi,
    const float* prof_e_xlo, const float* prof_e_xhi, const float* prof_e_ylo,
    const float* prof_e_yhi, const float* prof_e_zlo, const float* prof_e_zhi,
    const float* prof_h_xlo, const float* prof_h_xhi, const float* prof_h_ylo,
    const float* prof_h_yhi, const float* prof_h_zlo, const float* prof_h_zhi,
    int32_t nt, int32_t n_shots, int32_t reserved_i32,
    int32_t nx, int32_t ny, int32_t nz, float dt, float dx, float dy, float dz,
    int32_t n_rec, const int32_t* rec_pos, const float* rec_residual,
    int32_t rec_comp,
    int32_t n_src, const int32_t* src_pos, int32_t src_comp,
    float* grad_wavelet, int32_t want_grad_wavelet,
    float* grad_eps_r, float* grad_sigma, int32_t want_grad_eps_r,
    int32_t want_grad_sigma,
    int32_t snapshot_interval, int32_t snapshot_components,
    int32_t snapshot_format);

}  // namespace norvane_ref
