/* norvane_cpu: 3-D FDTD (Yee grid) electromagnetic forward and adjoint passes
 * on the CPU, for gradient-based inversion.
 *
 * The five functions below are the library's whole exported surface. Every
 * array is owned by the caller and read or written in place; counts are 32-bit
 * signed integers, reals are IEEE single precision. Grid (i, j, k) has node
 * index (i*ny + j)*nz + k; per-shot arrays are shot-major. This header is
 * plain C99 and C++. */
#ifndef NORVANE_CPU_H
#define NORVANE_CPU_H

#include <stdint.h>

#if defined(_WIN32)
#define NORVANE_API __declspec(dllexport)
#else
#define NORVANE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define NORVANE_NOEXCEPT noexcept
extern "C" {
#else
#define NORVANE_NOEXCEPT
#endif

/* Version of the calling convention below (always 6). */
NORVANE_API int32_t norvane_abi_version(void) NORVANE_NOEXCEPT;

/* 1: absorbing-layer widths, profiles and memories come from the caller. */
NORVANE_API int32_t norvane_supports_external_pml(void) NORVANE_NOEXCEPT;

/* Process-wide finite-difference order: 4 and 8 are kept, anything else is 2. */
NORVANE_API void set_fdtd_order(int32_t order) NORVANE_NOEXCEPT;

NORVANE_API void forward(
    /* materials, per node */
    const float *eps_r, const float *sigma, const float *mu_r,
    /* snapshot stores [C][n_snapshots][n_cells] in snapshot_format */
    void *e_snapshots, void *rhs_snapshots,
    /* fields [n_shots][n_nodes], in/out */
    float *ex, float *ey, float *ez, float *hx, float *hy, float *hz,
    /* coefficient workspaces, per node, written at interior nodes */
    float *ca_e, float *cb_e, float *cs_e, float *ca_h, float *cb_h, float *cs_h,
    /* absorbing-layer memories, four per face: two tangential E, two tangential H */
    float *psi_ey_xlo, float *psi_ez_xlo, float *psi_hy_xlo, float *psi_hz_xlo,
    float *psi_ey_xhi, float *psi_ez_xhi, float *psi_hy_xhi, float *psi_hz_xhi,
    float *psi_ex_ylo, float *psi_ez_ylo, float *psi_hx_ylo, float *psi_hz_ylo,
    float *psi_ex_yhi, float *psi_ez_yhi, float *psi_hx_yhi, float *psi_hz_yhi,
    float *psi_ex_zlo, float *psi_ey_zlo, float *psi_hx_zlo, float *psi_hy_zlo,
    float *psi_ex_zhi, float *psi_ey_zhi, float *psi_hx_zhi, float *psi_hy_zhi,
    /* absorbing-layer widths in cells */
    int32_t pml_xlo, int32_t pml_xhi, int32_t pml_ylo, int32_t pml_yhi,
    int32_t pml_zlo, int32_t pml_zhi,
    /* profiles [4][w]: E side, then H side */
    const float *prof_e_xlo, const float *prof_e_xhi, const float *prof_e_ylo,
    const float *prof_e_yhi, const float *prof_e_zlo, const float *prof_e_zhi,
    const float *prof_h_xlo, const float *prof_h_xhi, const float *prof_h_ylo,
    const float *prof_h_yhi, const float *prof_h_zlo, const float *prof_h_zhi,
    /* time steps, shots, receivers */
    int32_t nt, int32_t n_shots, int32_t n_rec, const int32_t *rec_pos,
    float *rec_out, int32_t rec_comp,
    /* grid */
    int32_t nx, int32_t ny, int32_t nz, float dt, float dx, float dy, float dz,
    /* sources */
    int32_t n_src, const int32_t *src_pos, const float *src_wavelet,
    int32_t src_comp,
    /* snapshots */
    int32_t snapshot_interval, int32_t snapshot_components,
    int32_t snapshot_format, int32_t save_rhs) NORVANE_NOEXCEPT;

NORVANE_API void backward(
    /* materials, per node */
    const float *eps_r, const float *sigma, const float *mu_r,
    /* snapshot stores filled by forward, read only */
    const void *e_snapshots, const void *rhs_snapshots,
    /* adjoint fields [n_shots][n_nodes], in/out */
    float *adj_ex, float *adj_ey, float *adj_ez,
    float *adj_hx, float *adj_hy, float *adj_hz,
    /* coefficient workspaces, per node */
    float *ca_e, float *cb_e, float *cs_e, float *ca_h, float *cb_h, float *cs_h,
    /* adjoint absorbing-layer memories, same order and shapes as forward's */
    float *adj_psi_ey_xlo, float *adj_psi_ez_xlo, float *adj_psi_hy_xlo,
    float *adj_psi_hz_xlo, float *adj_psi_ey_xhi, float *adj_psi_ez_xhi,
    float *adj_psi_hy_xhi, float *adj_psi_hz_xhi, float *adj_psi_ex_ylo,
    float *adj_psi_ez_ylo, float *adj_psi_hx_ylo, float *adj_psi_hz_ylo,
    float *adj_psi_ex_yhi, float *adj_psi_ez_yhi, float *adj_psi_hx_yhi,
    float *adj_psi_hz_yhi, float *adj_psi_ex_zlo, float *adj_psi_ey_zlo,
    float *adj_psi_hx_zlo, float *adj_psi_hy_zlo, float *adj_psi_ex_zhi,
    float *adj_psi_ey_zhi, float *adj_psi_hx_zhi, float *adj_psi_hy_zhi,
    /* absorbing-layer widths in cells */
    int32_t pml_xlo, int32_t pml_xhi, int32_t pml_ylo, int32_t pml_yhi,
    int32_t pml_zlo, int32_t pml_zhi,
    /* profiles [4][w]: E side, then H side */
    const float *prof_e_xlo, const float *prof_e_xhi, const float *prof_e_ylo,
    const float *prof_e_yhi, const float *prof_e_zlo, const float *prof_e_zhi,
    const float *prof_h_xlo, const float *prof_h_xhi, const float *prof_h_ylo,
    const float *prof_h_yhi, const float *prof_h_zlo, const float *prof_h_zhi,
    /* time steps, shots */
    int32_t nt, int32_t n_shots, int32_t reserved_i32,
    /* grid */
    int32_t nx, int32_t ny, int32_t nz, float dt, float dx, float dy, float dz,
    /* receivers: residuals injected into rec_comp */
    int32_t n_rec, const int32_t *rec_pos, const float *rec_residual,
    int32_t rec_comp,
    /* sources and the wavelet gradient [n_src][nt], added to */
    int32_t n_src, const int32_t *src_pos, int32_t src_comp,
    float *grad_wavelet, int32_t want_grad_wavelet,
    /* material gradients over interior cells, added to */
    float *grad_eps_r, float *grad_sigma, int32_t want_grad_eps_r,
    int32_t want_grad_sigma,
    /* snapshot settings forward used */
    int32_t snapshot_interval, int32_t snapshot_components,
    int32_t snapshot_format) NORVANE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* NORVANE_CPU_H */
