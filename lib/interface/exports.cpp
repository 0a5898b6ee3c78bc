// The library's exported entry points. Each pass copies the process-wide
// order once, packs its parameter list into the internal argument view,
// builds the update coefficients in one parallel region and runs its time
// loop in a second one. Nothing is validated beyond what keeps memory safe:
// snapshots are switched off for an interval below 1 or a format code without
// an element layout, and positions outside the grid are skipped by the loops.
#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "lib/interface/args.hpp"
#include "lib/interface/norvane_cpu.h"
#include "lib/kernels/update_coeffs.hpp"

namespace norvane {
namespace {

int32_t g_fdtd_order = 2;

void fill_common(pass_args& a, int order, int nt, int n_shots, int nx, int ny, int nz, float dt,
                 float dx, float dy, float dz) {
  a.order = order;
  a.nt = nt;
  a.n_shots = n_shots;
  a.g.nx = nx;
  a.g.ny = ny;
  a.g.nz = nz;
  a.g.plane = static_cast<int64_t>(ny) * static_cast<int64_t>(nz);
  a.g.n_nodes = static_cast<int64_t>(nx) * a.g.plane;
  a.g.dt = dt;
  a.g.dx = dx;
  a.g.dy = dy;
  a.g.dz = dz;
}

void fill_fields(pass_args& a, float* e0, float* e1, float* e2, float* h0, float* h1, float* h2,
                 const coeff_arrays& c) {
  a.e[0] = e0;
  a.e[1] = e1;
  a.e[2] = e2;
  a.h[0] = h0;
  a.h[1] = h1;
  a.h[2] = h2;
  a.c = c;
}

void fill_faces(pass_args& a, const int32_t (&w)[6], const float* const (&pe)[6],
                const float* const (&ph)[6], float* const (&psi)[24]) {
  bool any = false;
  for (int f = 0; f < 6; ++f) {
    layer_face& face = a.faces[f];
    face.width = w[f];
    face.prof_e = pe[f];
    face.prof_h = ph[f];
    face.psi_e[0] = psi[4 * f + 0];
    face.psi_e[1] = psi[4 * f + 1];
    face.psi_h[0] = psi[4 * f + 2];
    face.psi_h[1] = psi[4 * f + 3];
    any = any || w[f] != 0;
  }
  a.any_pml = any;
}

// Snapshot bookkeeping shared by both passes. Bit 26 of the format switches
// snapshots off; an interval below 1 or an unknown element code would divide
// by zero or write past the stores, so those take no snapshots either.
void fill_snapshots(pass_args& a, void* e_store, void* rhs_store, int interval, int components,
                    int format) {
  snapshot_args& s = a.snap;
  s.e_store = e_store;
  s.rhs_store = rhs_store;
  s.interval = interval;
  s.components = components == 3 ? 3 : 1;
  s.format = format;
  s.n_cells = static_cast<int64_t>(a.n_shots) * (static_cast<int64_t>(a.g.nx) - 1) *
              (static_cast<int64_t>(a.g.ny) - 1) * (static_cast<int64_t>(a.g.nz) - 1);
  // The ceiling of nt/interval, formed in 64 bits: nt + interval - 1 can
  // pass the 32-bit range for large intervals.
  s.n_snapshots = interval > 0 ? static_cast<int>((int64_t{a.nt} + interval - 1) / interval) : 0;
  const bool layout_known = format == 0 || format == 1 || format == 2;
  s.enabled = (format & 0x4000000) == 0 && interval >= 1 && layout_known;
}

void build_coefficients(const pass_args& a, const float* eps_r, const float* sigma,
                        const float* mu_r) {
  const int64_t n_nodes = a.g.n_nodes;
  const int64_t plane = a.g.plane;
  const coeff_arrays& c = a.c;
#pragma omp parallel
  kernels::build_update_coeffs_cpu(n_nodes, plane, a.g.nz, a.g.nx, a.g.ny, mu_r, a.g.dt, c.ca_h,
                                   c.cb_h, a.g.dx, c.cs_h, sigma, c.ca_e, c.cb_e, c.cs_e, eps_r);
}

}  // namespace
}  // namespace norvane

extern "C" {

NORVANE_API int32_t norvane_abi_version(void) noexcept { return 6; }

NORVANE_API int32_t norvane_supports_external_pml(void) noexcept { return 1; }

NORVANE_API void set_fdtd_order(int32_t order) noexcept {
  norvane::g_fdtd_order = (order == 8 || order == 4) ? order : 2;
}

NORVANE_API void forward(
    const float* eps_r, const float* sigma, const float* mu_r, void* e_snapshots,
    void* rhs_snapshots, float* ex, float* ey, float* ez, float* hx, float* hy, float* hz,
    float* ca_e, float* cb_e, float* cs_e, float* ca_h, float* cb_h, float* cs_h,
    float* psi_ey_xlo, float* psi_ez_xlo, float* psi_hy_xlo, float* psi_hz_xlo,
    float* psi_ey_xhi, float* psi_ez_xhi, float* psi_hy_xhi, float* psi_hz_xhi,
    float* psi_ex_ylo, float* psi_ez_ylo, float* psi_hx_ylo, float* psi_hz_ylo,
    float* psi_ex_yhi, float* psi_ez_yhi, float* psi_hx_yhi, float* psi_hz_yhi,
    float* psi_ex_zlo, float* psi_ey_zlo, float* psi_hx_zlo, float* psi_hy_zlo,
    float* psi_ex_zhi, float* psi_ey_zhi, float* psi_hx_zhi, float* psi_hy_zhi, int32_t pml_xlo,
    int32_t pml_xhi, int32_t pml_ylo, int32_t pml_yhi, int32_t pml_zlo, int32_t pml_zhi,
    const float* prof_e_xlo, const float* prof_e_xhi, const float* prof_e_ylo,
    const float* prof_e_yhi, const float* prof_e_zlo, const float* prof_e_zhi,
    const float* prof_h_xlo, const float* prof_h_xhi, const float* prof_h_ylo,
    const float* prof_h_yhi, const float* prof_h_zlo, const float* prof_h_zhi, int32_t nt,
    int32_t n_shots, int32_t n_rec, const int32_t* rec_pos, float* rec_out, int32_t rec_comp,
    int32_t nx, int32_t ny, int32_t nz, float dt, float dx, float dy, float dz, int32_t n_src,
    const int32_t* src_pos, const float* src_wavelet, int32_t src_comp,
    int32_t snapshot_interval, int32_t snapshot_components, int32_t snapshot_format,
    int32_t save_rhs) noexcept {
  norvane::forward_args a;
  norvane::fill_common(a, norvane::g_fdtd_order, nt, n_shots, nx, ny, nz, dt, dx, dy, dz);
  norvane::fill_fields(a, ex, ey, ez, hx, hy, hz, {ca_e, cb_e, cs_e, ca_h, cb_h, cs_h});
  norvane::fill_faces(a, {pml_xlo, pml_xhi, pml_ylo, pml_yhi, pml_zlo, pml_zhi},
             {prof_e_xlo, prof_e_xhi, prof_e_ylo, prof_e_yhi, prof_e_zlo, prof_e_zhi},
             {prof_h_xlo, prof_h_xhi, prof_h_ylo, prof_h_yhi, prof_h_zlo, prof_h_zhi},
             {psi_ey_xlo, psi_ez_xlo, psi_hy_xlo, psi_hz_xlo, psi_ey_xhi, psi_ez_xhi,
              psi_hy_xhi, psi_hz_xhi, psi_ex_ylo, psi_ez_ylo, psi_hx_ylo, psi_hz_ylo,
              psi_ex_yhi, psi_ez_yhi, psi_hx_yhi, psi_hz_yhi, psi_ex_zlo, psi_ey_zlo,
              psi_hx_zlo, psi_hy_zlo, psi_ex_zhi, psi_ey_zhi, psi_hx_zhi, psi_hy_zhi});
  a.n_rec = n_rec;
  a.rec_pos = rec_pos;
  a.rec_out = rec_out;
  a.rec_comp = rec_comp;
  a.n_src = n_src;
  a.src_pos = src_pos;
  a.src_wavelet = src_wavelet;
  a.src_comp = src_comp;
  norvane::fill_snapshots(a, e_snapshots, rhs_snapshots, snapshot_interval, snapshot_components,
                 snapshot_format);
  a.snap.save_rhs = save_rhs != 0;

  // Float copies of the old E, a row per thread and one value per source,
  // keep the right-hand sides of 16-bit stores exact; if they cannot be had,
  // the rounded stored values are used instead.
  float* scratch = nullptr;
  const bool has_cells = a.n_shots > 0 && a.g.nx > 1 && a.g.ny > 1 && a.g.nz > 1;
  if (a.snap.enabled && save_rhs != 0 && has_cells) {
    const int threads = std::max(omp_get_max_threads(), 1);
    const size_t floats = static_cast<size_t>(threads) * a.snap.components * (a.g.nz - 1) +
                          static_cast<size_t>(a.n_shots) * std::max(n_src, 0);
    scratch = static_cast<float*>(std::malloc(floats * sizeof(float)));
    a.snap.scratch_threads = threads;
  }
  a.snap.scratch = scratch;

  norvane::build_coefficients(a, eps_r, sigma, mu_r);
  norvane::forward::run(a);
  std::free(scratch);
}

NORVANE_API void backward(
    const float* eps_r, const float* sigma, const float* mu_r, const void* e_snapshots,
    const void* rhs_snapshots, float* adj_ex, float* adj_ey, float* adj_ez, float* adj_hx,
    float* adj_hy, float* adj_hz, float* ca_e, float* cb_e, float* cs_e, float* ca_h,
    float* cb_h, float* cs_h, float* adj_psi_ey_xlo, float* adj_psi_ez_xlo,
    float* adj_psi_hy_xlo, float* adj_psi_hz_xlo, float* adj_psi_ey_xhi, float* adj_psi_ez_xhi,
    float* adj_psi_hy_xhi, float* adj_psi_hz_xhi, float* adj_psi_ex_ylo, float* adj_psi_ez_ylo,
    float* adj_psi_hx_ylo, float* adj_psi_hz_ylo, float* adj_psi_ex_yhi, float* adj_psi_ez_yhi,
    float* adj_psi_hx_yhi, float* adj_psi_hz_yhi, float* adj_psi_ex_zlo, float* adj_psi_ey_zlo,
    float* adj_psi_hx_zlo, float* adj_psi_hy_zlo, float* adj_psi_ex_zhi, float* adj_psi_ey_zhi,
    float* adj_psi_hx_zhi, float* adj_psi_hy_zhi, int32_t pml_xlo, int32_t pml_xhi,
    int32_t pml_ylo, int32_t pml_yhi, int32_t pml_zlo, int32_t pml_zhi, const float* prof_e_xlo,
    const float* prof_e_xhi, const float* prof_e_ylo, const float* prof_e_yhi,
    const float* prof_e_zlo, const float* prof_e_zhi, const float* prof_h_xlo,
    const float* prof_h_xhi, const float* prof_h_ylo, const float* prof_h_yhi,
    const float* prof_h_zlo, const float* prof_h_zhi, int32_t nt, int32_t n_shots,
    int32_t reserved_i32, int32_t nx, int32_t ny, int32_t nz, float dt, float dx, float dy,
    float dz, int32_t n_rec, const int32_t* rec_pos, const float* rec_residual,
    int32_t rec_comp, int32_t n_src, const int32_t* src_pos, int32_t src_comp,
    float* grad_wavelet, int32_t want_grad_wavelet, float* grad_eps_r, float* grad_sigma,
    int32_t want_grad_eps_r, int32_t want_grad_sigma, int32_t snapshot_interval,
    int32_t snapshot_components, int32_t snapshot_format) noexcept {
  (void)reserved_i32;
  norvane::backward_args a;
  norvane::fill_common(a, norvane::g_fdtd_order, nt, n_shots, nx, ny, nz, dt, dx, dy, dz);
  norvane::fill_fields(a, adj_ex, adj_ey, adj_ez, adj_hx, adj_hy, adj_hz,
                       {ca_e, cb_e, cs_e, ca_h, cb_h, cs_h});
  norvane::fill_faces(a, {pml_xlo, pml_xhi, pml_ylo, pml_yhi, pml_zlo, pml_zhi},
             {prof_e_xlo, prof_e_xhi, prof_e_ylo, prof_e_yhi, prof_e_zlo, prof_e_zhi},
             {prof_h_xlo, prof_h_xhi, prof_h_ylo, prof_h_yhi, prof_h_zlo, prof_h_zhi},
             {adj_psi_ey_xlo, adj_psi_ez_xlo, adj_psi_hy_xlo, adj_psi_hz_xlo, adj_psi_ey_xhi,
              adj_psi_ez_xhi, adj_psi_hy_xhi, adj_psi_hz_xhi, adj_psi_ex_ylo, adj_psi_ez_ylo,
              adj_psi_hx_ylo, adj_psi_hz_ylo, adj_psi_ex_yhi, adj_psi_ez_yhi, adj_psi_hx_yhi,
              adj_psi_hz_yhi, adj_psi_ex_zlo, adj_psi_ey_zlo, adj_psi_hx_zlo, adj_psi_hy_zlo,
              adj_psi_ex_zhi, adj_psi_ey_zhi, adj_psi_hx_zhi, adj_psi_hy_zhi});
  a.n_rec = n_rec;
  a.rec_pos = rec_pos;
  a.rec_residual = rec_residual;
  a.rec_comp = rec_comp;
  a.n_src = n_src;
  a.src_pos = src_pos;
  a.src_comp = src_comp;
  a.grad_wavelet = grad_wavelet;
  a.want_grad_wavelet = want_grad_wavelet == 1;
  a.grad_eps_r = grad_eps_r;
  a.grad_sigma = grad_sigma;
  a.want_grad_eps_r = want_grad_eps_r;
  a.want_grad_sigma = want_grad_sigma;
  a.sigma = sigma;
  norvane::fill_snapshots(a, const_cast<void*>(e_snapshots), const_cast<void*>(rhs_snapshots),
                 snapshot_interval, snapshot_components, snapshot_format);

  norvane::build_coefficients(a, eps_r, sigma, mu_r);
  norvane::adjoint::run(a);
}

}  // extern "C"
