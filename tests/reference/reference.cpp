// Literal scalar oracle of both passes. Every loop runs on one thread over the
// flat index in ascending order; where the library adds atomically, the oracle
// adds in that same order. Rounding is pinned: fused multiply-adds are
// std::fma on floats, every other product or sum is rounded on its own
// (the file must be built with -ffp-contract=off).
//
// Discrete model. Yee grid, E at step n and H at n+1/2:
//   H <- ca_h H + cb_h (-curl E),  E <- ca_e E + cb_e curl H - cs_e J,
// with cb built for 1/dx and rescaled per axis by dx/h. Absorbing layers add,
// per face and tangential component, F += sign c ((r0-1) D/h + r1 psi) and
// advance psi <- r2 psi - r3 D/h, D the staggered difference across the face.
// The adjoint applies the transpose of each phase in reverse order, turning
// every gathered difference into a scatter of the same stencil.
#include "tests/reference/reference.hpp"

#include <cmath>
#include <vector>

#include "lib/storage/formats.hpp"

namespace norvane_ref {

namespace {

int32_t g_order = 2;

constexpr float k_mu0 = 1.256637e-6f;
constexpr float k_eps0 = 8.854188e-12f;
constexpr float k_pec_sigma = 100.0f;  // conductivity above this is a perfect conductor

// Staggered-difference coefficients c1..cm by half-width m (second, fourth,
// sixth and eighth order).
constexpr float k_coef[5][4] = {
    {0.f, 0.f, 0.f, 0.f},
    {1.f, 0.f, 0.f, 0.f},
    {9.f / 8, -1.f / 24, 0.f, 0.f},
    {75.f / 64, -25.f / 384, 3.f / 640, 0.f},
    {1225.f / 1024, -245.f / 3072, 49.f / 5120, -5.f / 7168},
};

enum component { EX, EY, EZ, HX, HY, HZ };

float* component_of(const fields& f, int c) {
  switch (c) {
    case EX: return f.ex;
    case EY: return f.ey;
    case EZ: return f.ez;
    case HX: return f.hx;
    case HY: return f.hy;
    default: return f.hz;
  }
}

// Grid extents, strides and spacings indexed by axis 0, 1, 2 = x, y, z.
struct geometry {
  int64_t nx, ny, nz, plane, n_nodes, n_total;
  int64_t ext[3];
  int64_t stride[3];
  float h[3];
};

geometry geometry_of(const grid& g) {
  geometry q;
  q.nx = g.nx;
  q.ny = g.ny;
  q.nz = g.nz;
  q.plane = q.ny * q.nz;
  q.n_nodes = q.nx * q.plane;
  q.n_total = static_cast<int64_t>(g.n_shots) * q.n_nodes;
  q.ext[0] = q.nx;
  q.ext[1] = q.ny;
  q.ext[2] = q.nz;
  q.stride[0] = q.plane;
  q.stride[1] = q.nz;
  q.stride[2] = 1;
  q.h[0] = g.dx;
  q.h[1] = g.dy;
  q.h[2] = g.dz;
  return q;
}

// Shot, node and grid point of flat field element l.
struct point {
  int64_t s, node, c[3];
};

point point_of(const geometry& q, int64_t l) {
  point p;
  p.s = l / q.n_nodes;
  p.node = l - p.s * q.n_nodes;
  p.c[0] = p.node / q.plane;
  p.c[1] = (p.node - p.c[0] * q.plane) / q.nz;
  p.c[2] = p.node - p.c[0] * q.plane - p.c[1] * q.nz;
  return p;
}

bool in_range(int64_t v, int64_t lo, int64_t hi) { return v >= lo && v <= hi; }

// Curl factor of one node rescaled for differences along y and z: the
// coefficient grids carry 1/dx, so a y or z difference needs dx/dy or dx/dz.
struct curl_factors {
  float x, y, z;
};

curl_factors scaled_factors(float cb, const grid& g) {
  curl_factors f;
  f.x = cb;
  if (g.dy == g.dx) {
    f.y = cb;
  } else {
    const float p = g.dx * cb;
    f.y = p / g.dy;
  }
  if (g.dz == g.dx) {
    f.z = cb;
  } else {
    const float p = g.dx * cb;
    f.z = p / g.dz;
  }
  return f;
}

// Profile position of a node inside a face's layer, or -1 outside it. H
// layers on a low face start at the outer plane; E layers skip it, since
// tangential E there is a wall value. Both stop at n-2 on the high side.
int64_t h_layer_position(int side, int64_t w, int64_t q, int64_t n) {
  if (w < 1) return -1;
  if (side == 0) return q <= w - 1 ? w - 1 - q : -1;
  return (q >= n - 1 - w && q <= n - 2) ? q - (n - 1 - w) : -1;
}

int64_t e_layer_position(int side, int64_t w, int64_t q, int64_t n) {
  if (w < 1) return -1;
  if (side == 0) return (q >= 1 && q <= w) ? w - q : -1;
  return (q >= n - 1 - w && q <= n - 2 && q >= 1) ? q - (n - 1 - w) : -1;
}

// Element of a layer memory (forward or adjoint) for a tangential component
// and the face normal: W slabs along the normal; along the two other axes the
// component's own extent (n-1 for E, n for H) and the cross extent.
int64_t memory_index(int comp, int axis, int64_t s, int64_t W, int64_t p,
                     const int64_t* c, const geometry& q) {
  const int64_t i = c[0], j = c[1], k = c[2];
  const int64_t nx = q.nx, ny = q.ny, nz = q.nz;
  if (axis == 0) {
    switch (comp) {
      case HY: return ((s * W + p) * ny + j) * (nz - 1) + k;
      case HZ: return ((s * W + p) * (ny - 1) + j) * nz + k;
      case EY: return ((s * W + p) * (ny - 1) + j) * nz + k;
      default: return ((s * W + p) * ny + j) * (nz - 1) + k;  // EZ
    }
  }
  if (axis == 1) {
    switch (comp) {
      case HX: return ((s * nx + i) * W + p) * (nz - 1) + k;
      case HZ: return ((s * (nx - 1) + i) * W + p) * nz + k;
      case EX: return ((s * (nx - 1) + i) * W + p) * nz + k;
      default: return ((s * nx + i) * W + p) * (nz - 1) + k;  // EZ
    }
  }
  switch (comp) {
    case HX: return ((s * nx + i) * (ny - 1) + j) * W + p;
    case HY: return ((s * (nx - 1) + i) * ny + j) * W + p;
    case EX: return ((s * (nx - 1) + i) * ny + j) * W + p;
    default: return ((s * nx + i) * (ny - 1) + j) * W + p;  // EY
  }
}

// One layer correction: the component it corrects (forward) or reads
// (adjoint), the sign of its curl term, the component differenced (forward)
// or scattered into (adjoint), its memory among the face's four, and the
// tangential axis whose coordinate must stay at most n-2.
struct layer_term {
  int field, sign, source, slot, cond_axis;
};

constexpr layer_term k_h_terms[3][2] = {
    {{HY, +1, EZ, 2, 2}, {HZ, -1, EY, 3, 1}},
    {{HX, -1, EZ, 2, 2}, {HZ, +1, EX, 3, 0}},
    {{HX, +1, EY, 2, 1}, {HY, -1, EX, 3, 0}},
};

constexpr layer_term k_e_terms[3][2] = {
    {{EY, -1, HZ, 0, 1}, {EZ, +1, HY, 1, 2}},
    {{EX, +1, HZ, 0, 0}, {EZ, -1, HX, 1, 2}},
    {{EX, -1, HY, 0, 0}, {EY, +1, HX, 1, 1}},
};

bool inside_grid(const int32_t* pos, const grid& g) {
  return pos[0] >= 0 && pos[0] < g.nx && pos[1] >= 0 && pos[1] < g.ny && pos[2] >= 0 &&
         pos[2] < g.nz;
}

int64_t node_of(const int32_t* pos, const geometry& q) {
  return (static_cast<int64_t>(pos[0]) * q.ny + pos[1]) * q.nz + pos[2];
}

bool snapshot_format_valid(int32_t format) { return format == 0 || format == 1 || format == 2; }

int32_t snapshot_count(int32_t nt, int32_t interval) {
  if (interval < 1) return 0;
  return static_cast<int32_t>((static_cast<int64_t>(nt) + interval - 1) / interval);
}

}  // namespace

// ---------------------------------------------------------------------------
void set_fdtd_order(int32_t order) { g_order = (order == 8 || order == 4) ? order : 2; }

int32_t fdtd_order() { return g_order; }

// ---------------------------------------------------------------------------
// Half-width choice: the widest stencil whose points all lie on the axis.
int half_width_forward(int64_t pos, int64_t axis_len, int32_t order) {
  auto fits = [&](int64_t m) { return pos - (m - 1) >= 0 && pos + m <= axis_len - 1; };
  if (order <= 3) return 1;
  if (order <= 7) return fits(2) ? 2 : 1;
  if (fits(4)) return 4;
  if (fits(3)) return 3;
  if (fits(2)) return 2;
  return 1;
}

int half_width_backward(int64_t pos, int64_t axis_len, int32_t order) {
  auto fits = [&](int64_t m) { return pos - m >= 0 && pos + m <= axis_len; };
  if (order <= 3) return 1;
  if (order <= 7) return fits(2) ? 2 : 1;
  if (fits(4)) return 4;
  if (fits(3)) return 3;
  if (fits(2)) return 2;
  return 1;
}

namespace {

// Weighted sum of the pair differences d[0..m-1]. Half-widths 2 and 3 chain
// fused multiply-adds from +0; half-width 4 does the same on a strided axis,
// while along the contiguous axis each product is rounded on its own and the
// four are summed in order k = 1..4 (the vector evaluation's rounding).
float weighted_sum(const float* d, int m, int64_t stride) {
  const float* c = k_coef[m];
  if (m == 1) return d[0];
  if (m == 2) {
    const float t = std::fma(d[0], c[0], 0.0f);
    return std::fma(d[1], c[1], t);
  }
  if (m == 3) {
    float t = std::fma(d[0], c[0], 0.0f);
    t = std::fma(d[1], c[1], t);
    return std::fma(d[2], c[2], t);
  }
  if (stride != 1) {
    float s = 0.0f;
    for (int k = 0; k < 4; ++k) s = std::fma(c[k], d[k], s);
    return s;
  }
  float p[4];
  for (int k = 0; k < 4; ++k) p[k] = c[k] * d[k];
  float s = 0.0f;
  for (int k = 0; k < 4; ++k) s = s + p[k];
  return s;
}

}  // namespace

float diff_forward(const float* field, int64_t index, int64_t stride, int64_t pos,
                   int64_t axis_len, int32_t order) {
  auto f = [&](int64_t j) { return field[index + j * stride]; };
  if (order <= 2) return f(1) - f(0);
  const int m = half_width_forward(pos, axis_len, order);
  float d[4];
  for (int k = 1; k <= m; ++k) d[k - 1] = f(k) - f(1 - k);
  return weighted_sum(d, m, stride);
}

float diff_backward(const float* field, int64_t index, int64_t stride, int64_t pos,
                    int64_t axis_len, int32_t order) {
  auto f = [&](int64_t j) { return field[index + j * stride]; };
  if (order <= 2) return f(0) - f(-1);
  const int m = half_width_backward(pos, axis_len, order);
  float d[4];
  for (int k = 1; k <= m; ++k) d[k - 1] = f(k - 1) - f(-k);
  return weighted_sum(d, m, stride);
}

// Transposes: each product value*ck is rounded once and used for both
// elements of its pair, ahead element first; half-width 1 moves the bare value.
void scatter_forward_adjoint(float* field, int64_t index, int64_t stride, int64_t pos,
                             int64_t axis_len, int32_t order, float value) {
  auto e = [&](int64_t j) -> float& { return field[index + j * stride]; };
  const int m = half_width_forward(pos, axis_len, order);
  if (m == 1) {
    e(1) = e(1) + value;
    e(0) = e(0) - value;
    return;
  }
  for (int k = 1; k <= m; ++k) {
    const float p = value * k_coef[m][k - 1];
    e(k) = e(k) + p;
    e(1 - k) = e(1 - k) - p;
  }
}

void scatter_backward_adjoint(float* field, int64_t index, int64_t stride, int64_t pos,
                              int64_t axis_len, int32_t order, float value) {
  auto e = [&](int64_t j) -> float& { return field[index + j * stride]; };
  const int m = half_width_backward(pos, axis_len, order);
  if (m == 1) {
    e(0) = e(0) + value;
    e(-1) = e(-1) - value;
    return;
  }
  for (int k = 1; k <= m; ++k) {
    const float p = value * k_coef[m][k - 1];
    e(k - 1) = e(k - 1) + p;
    e(-k) = e(-k) - p;
  }
}

// ---------------------------------------------------------------------------
// Coefficients of E_new = ca_e E + cb_e curl H and H_new = ca_h H - cb_h curl E
// from the semi-implicit conductivity term: with e = eps/dt and h = sigma/2,
// ca_e = (e-h)/(e+h), cb_e = (1/dx)/(e+h), cs_e = 1/(e+h). The last node along
// each axis is left as the caller passed it.
void build_coeffs(const float* eps_r, const float* sigma, const float* mu_r, float dt,
                  float dx, int32_t nx, int32_t ny, int32_t nz, float* ca_e, float* cb_e,
                  float* cs_e, float* ca_h, float* cb_h, float* cs_h) {
  const int64_t plane = static_cast<int64_t>(ny) * nz;
  const int64_t n_nodes = static_cast<int64_t>(nx) * plane;
  for (int64_t n = 0; n < n_nodes; ++n) {
    const int64_t i = n / plane;
    if (i >= nx - 1) continue;
    const int64_t r = n - i * plane;
    const int64_t j = r / nz;
    const int64_t k = r - j * nz;
    if (j >= ny - 1 || k >= nz - 1) continue;
    float m = mu_r[n] * k_mu0;
    m = m / dt;
    ca_h[n] = 1.0f;
    cb_h[n] = (1.0f / dx) / m;
    cs_h[n] = 1.0f / m;
    const float s = sigma[n];
    if (s > k_pec_sigma) {
      ca_e[n] = 0.0f;
      cb_e[n] = 0.0f;
      cs_e[n] = 0.0f;
      continue;
    }
    float e = eps_r[n] * k_eps0;
    e = e / dt;
    const float h = s * 0.5f;
    const float d = h + e;
    ca_e[n] = (e - h) / d;
    cb_e[n] = (1.0f / dx) / d;
    cs_e[n] = 1.0f / d;
  }
}

int64_t snapshot_cells(const grid& g) {
  if (g.n_shots < 1 || g.nx < 2 || g.ny < 2 || g.nz < 2) return 0;
  return static_cast<int64_t>(g.n_shots) * (g.nx - 1) * (g.ny - 1) * (g.nz - 1);
}

// ---------------------------------------------------------------------------
// Snapshots: cell q = ((s(nx-1) + i)(ny-1) + j)(nz-1) + k samples field element
// s n_nodes + node; store element (c, slot, q) at c n_snapshots n_cells +
// slot n_cells + q.
namespace {

struct cell_walk {
  int64_t n_cells, n_int, n_nodes, ny, nz;
  int64_t field_index(int64_t q) const {
    const int64_t s = q / n_int;
    const int64_t rem = q - s * n_int;
    const int64_t yz = (ny - 1) * (nz - 1);
    const int64_t i = rem / yz;
    const int64_t j = (rem - i * yz) / (nz - 1);
    const int64_t k = rem - i * yz - j * (nz - 1);
    return s * n_nodes + (i * ny + j) * nz + k;
  }
};

cell_walk cell_walk_of(const grid& g) {
  cell_walk w;
  w.n_cells = snapshot_cells(g);
  w.n_int = static_cast<int64_t>(g.nx - 1) * (g.ny - 1) * (g.nz - 1);
  w.ny = g.ny;
  w.nz = g.nz;
  w.n_nodes = static_cast<int64_t>(g.nx) * g.ny * g.nz;
  return w;
}

}  // namespace

void save_e_snapshot(const grid& g, const fields& f, const snapshots& snap, int32_t slot) {
  const cell_walk w = cell_walk_of(g);
  const int n_comp = snap.components == 3 ? 3 : 1;
  const float* comps[3] = {f.ex, f.ey, f.ez};
  const int64_t S = w.n_cells * snap.n_snapshots;
  for (int c = 0; c < n_comp; ++c) {
    const float* field = n_comp == 3 ? comps[c] : f.ez;
    for (int64_t q = 0; q < w.n_cells; ++q) {
      const float v = field[w.field_index(q)];
      norvane::storage::store_wavefield_value(snap.e_store, c * S + slot * w.n_cells + q,
                                              snap.format, v);
      if (snap.scratch) snap.scratch[c * w.n_cells + q] = v;
    }
  }
}

// Right-hand side of the step's E update, (E_new - ca_e E_old) / cs_e, with
// the numerator one fused multiply-subtract; +0 where cs_e is zero.
void save_rhs_snapshot(const grid& g, const coeffs& cf, const fields& f,
                       const snapshots& snap, int32_t slot) {
  const cell_walk w = cell_walk_of(g);
  const int n_comp = snap.components == 3 ? 3 : 1;
  const float* comps[3] = {f.ex, f.ey, f.ez};
  const int64_t S = w.n_cells * snap.n_snapshots;
  for (int c = 0; c < n_comp; ++c) {
    const float* field = n_comp == 3 ? comps[c] : f.ez;
    for (int64_t q = 0; q < w.n_cells; ++q) {
      const int64_t fi = w.field_index(q);
      const int64_t node = fi % w.n_nodes;
      const int64_t idx = c * S + slot * w.n_cells + q;
      const float e0 = snap.scratch
                           ? snap.scratch[c * w.n_cells + q]
                           : norvane::storage::load_wavefield_value(snap.e_store, idx,
                                                                    snap.format);
      const float ws = cf.cs_e[node];
      float result = 0.0f;
      if (!(ws == 0.0f)) result = std::fma(-cf.ca_e[node], e0, field[fi]) / ws;
      norvane::storage::store_wavefield_value(snap.rhs_store, idx, snap.format, result);
    }
  }
}

// ---------------------------------------------------------------------------
// Interior H update, forward differences of E:
//   hx = cb_z Dz+(ey) + (ca_h hx - Dy+(ez) cb_y), and cyclically.
void forward_h_update(const grid& g, const coeffs& cf, fields& f) {
  const geometry q = geometry_of(g);
  for (int64_t l = 0; l < q.n_total; ++l) {
    const point p = point_of(q, l);
    const int64_t i = p.c[0], j = p.c[1], k = p.c[2];
    const float ca = cf.ca_h[p.node];
    const curl_factors cb = scaled_factors(cf.cb_h[p.node], g);
    if (in_range(i, 1, q.nx - 2) && j <= q.ny - 2 && k <= q.nz - 2) {
      const float dz = diff_forward(f.ey, l, 1, k, q.nz, g.order);
      const float dy = diff_forward(f.ez, l, q.nz, j, q.ny, g.order);
      const float t = std::fma(ca, f.hx[l], -(dy * cb.y));
      f.hx[l] = std::fma(cb.z, dz, t);
    }
    if (i <= q.nx - 2 && in_range(j, 1, q.ny - 2) && k <= q.nz - 2) {
      const float dx = diff_forward(f.ez, l, q.plane, i, q.nx, g.order);
      const float dz = diff_forward(f.ex, l, 1, k, q.nz, g.order);
      const float t = std::fma(ca, f.hy[l], -(dz * cb.z));
      f.hy[l] = std::fma(cb.x, dx, t);
    }
    if (i <= q.nx - 2 && j <= q.ny - 2 && in_range(k, 1, q.nz - 2)) {
      const float dy = diff_forward(f.ex, l, q.nz, j, q.ny, g.order);
      const float dx = diff_forward(f.ey, l, q.plane, i, q.nx, g.order);
      const float t = std::fma(ca, f.hz[l], -(dx * cb.x));
      f.hz[l] = std::fma(cb.y, dy, t);
    }
  }
}

// Interior E update, backward differences of H:
//   ex = (ca_e ex + cb_y Dy-(hz)) - cb_z Dz-(hy), and cyclically.
void forward_e_update(const grid& g, const coeffs& cf, fields& f) {
  const geometry q = geometry_of(g);
  for (int64_t l = 0; l < q.n_total; ++l) {
    const point p = point_of(q, l);
    const int64_t i = p.c[0], j = p.c[1], k = p.c[2];
    const float ca = cf.ca_e[p.node];
    const curl_factors cb = scaled_factors(cf.cb_e[p.node], g);
    if (i <= q.nx - 2 && in_range(j, 1, q.ny - 2) && in_range(k, 1, q.nz - 2)) {
      const float dy = diff_backward(f.hz, l, q.nz, j, q.ny, g.order);
      const float dz = diff_backward(f.hy, l, 1, k, q.nz, g.order);
      const float gain = cb.y * dy;
      const float t = std::fma(ca, f.ex[l], gain);
      f.ex[l] = std::fma(-cb.z, dz, t);
    }
    if (in_range(i, 1, q.nx - 2) && j <= q.ny - 2 && in_range(k, 1, q.nz - 2)) {
      const float dz = diff_backward(f.hx, l, 1, k, q.nz, g.order);
      const float dx = diff_backward(f.hz, l, q.plane, i, q.nx, g.order);
      const float gain = cb.z * dz;
      const float t = std::fma(ca, f.ey[l], gain);
      f.ey[l] = std::fma(-cb.x, dx, t);
    }
    if (in_range(i, 1, q.nx - 2) && in_range(j, 1, q.ny - 2) && k <= q.nz - 2) {
      const float dx = diff_backward(f.hy, l, q.plane, i, q.nx, g.order);
      const float dy = diff_backward(f.hx, l, q.nz, j, q.ny, g.order);
      const float gain = cb.x * dx;
      const float t = std::fma(ca, f.ez[l], gain);
      f.ez[l] = std::fma(-cb.y, dy, t);
    }
  }
}

// ---------------------------------------------------------------------------
// Layer corrections of one node, faces in order xlo..zhi, two terms each:
//   d = D/h; F += sign c fma(r0-1, d, r1 psi); psi = fma(r2, psi, -(d r3)),
// the field corrected with the memory as it was before this step.
namespace {

void forward_layers(const grid& g, const float* coef, const layers& L, fields& f,
                    bool h_side) {
  const geometry q = geometry_of(g);
  for (int64_t l = 0; l < q.n_total; ++l) {
    const point pt = point_of(q, l);
    const float c = coef[pt.node];
    for (int face = 0; face < 6; ++face) {
      const int axis = face / 2, side = face % 2;
      const int64_t w = L.width[face];
      const int64_t p = h_side ? h_layer_position(side, w, pt.c[axis], q.ext[axis])
                               : e_layer_position(side, w, pt.c[axis], q.ext[axis]);
      if (p < 0) continue;
      const float* prof = h_side ? L.prof_h[face] : L.prof_e[face];
      const float r0 = prof[p], r1 = prof[w + p], r2 = prof[2 * w + p], r3 = prof[3 * w + p];
      const int64_t W = h_side ? w : w + 1;
      for (const layer_term& term : (h_side ? k_h_terms : k_e_terms)[axis]) {
        if (pt.c[term.cond_axis] > q.ext[term.cond_axis] - 2) continue;
        float* F = component_of(f, term.field);
        float* psi = f.psi[4 * face + term.slot] +
                     memory_index(term.field, axis, pt.s, W, p, pt.c, q);
        const float* src = component_of(f, term.source);
        const float D = h_side ? diff_forward(src, l, q.stride[axis], pt.c[axis],
                                              q.ext[axis], g.order)
                               : diff_backward(src, l, q.stride[axis], pt.c[axis],
                                               q.ext[axis], g.order);
        const float psi_old = *psi;
        const float d = D / q.h[axis];
        const float r0m1 = r0 - 1.0f;
        const float carried = r1 * psi_old;
        const float inner = std::fma(r0m1, d, carried);
        F[l] = term.sign > 0 ? std::fma(c, inner, F[l]) : std::fma(-c, inner, F[l]);
        const float drive = d * r3;
        *psi = std::fma(r2, psi_old, -drive);
      }
    }
  }
}

}  // namespace

void forward_h_layers(const grid& g, const coeffs& cf, const layers& L, fields& f) {
  forward_layers(g, cf.cs_h, L, f, true);
}

void forward_e_layers(const grid& g, const coeffs& cf, const layers& L, fields& f) {
  forward_layers(g, cf.cs_e, L, f, false);
}

// ---------------------------------------------------------------------------
// Soft current source: a wavelet sample a along component h is a current
// density a h/(dx dy dz), entering the E update as -cs_e J.
void forward_sources(const grid& g, const coeffs& cf, const sources& src, fields& f,
                     int32_t t) {
  const geometry q = geometry_of(g);
  const int64_t n = static_cast<int64_t>(g.n_shots) * src.n_src;
  if (n <= 0) return;
  const float V = (g.dx * g.dy) * g.dz;
  for (int64_t l = 0; l < n; ++l) {
    const int64_t s = l / src.n_src;
    const int64_t qi = l - s * src.n_src;
    const float a = src.src_wavelet[qi * g.nt + t];
    const int32_t* pos = src.src_pos + (s * src.n_src + qi) * 3;
    float* target;
    float h;
    if (src.src_comp == 0) {
      target = f.ex;
      h = g.dx;
    } else if (src.src_comp == 1) {
      target = f.ey;
      h = g.dy;
    } else if (src.src_comp == 2) {
      target = f.ez;
      h = g.dz;
    } else {
      continue;
    }
    if (!inside_grid(pos, g)) continue;
    const int64_t node = node_of(pos, q);
    const float c = cf.cs_e[node];
    const float ha = h * a;
    const float v = (ha / V) * c;
    const int64_t e = s * q.n_nodes + node;
    target[e] = target[e] - v;
  }
}

void forward_receivers(const grid& g, const receivers& rec, const fields& f, float* rec_out,
                       int32_t t) {
  const geometry q = geometry_of(g);
  const int64_t n = static_cast<int64_t>(g.n_shots) * rec.n_rec;
  if (n <= 0) return;
  const float* field = rec.rec_comp == 0 ? f.ex : rec.rec_comp == 1 ? f.ey : f.ez;
  for (int64_t l = 0; l < n; ++l) {
    const int64_t s = l / rec.n_rec;
    const int64_t r = l - s * rec.n_rec;
    const int32_t* pos = rec.rec_pos + (s * rec.n_rec + r) * 3;
    float& out = rec_out[(s * g.nt + t) * rec.n_rec + r];
    out = inside_grid(pos, g) ? field[s * q.n_nodes + node_of(pos, q)] : 0.0f;
  }
}

// ---------------------------------------------------------------------------
// Adjoint of recording: the residual enters the recorded component unscaled.
void adjoint_residuals(const grid& g, const receivers& rec, const float* rec_residual,
                       fields& adj, int32_t t) {
  const geometry q = geometry_of(g);
  const int64_t n = static_cast<int64_t>(g.n_shots) * rec.n_rec;
  if (n <= 0) return;
  float* target = rec.rec_comp == 0   ? adj.ex
                  : rec.rec_comp == 1 ? adj.ey
                  : rec.rec_comp == 2 ? adj.ez
                                      : nullptr;
  if (!target) return;
  for (int64_t l = 0; l < n; ++l) {
    const int64_t s = l / rec.n_rec;
    const int64_t r = l - s * rec.n_rec;
    const int32_t* pos = rec.rec_pos + (s * rec.n_rec + r) * 3;
    if (!inside_grid(pos, g)) continue;
    const float v = rec_residual[(s * g.nt + t) * rec.n_rec + r];
    const int64_t e = ((s * q.nx + pos[0]) * q.ny + pos[1]) * q.nz + pos[2];
    target[e] = target[e] + v;
  }
}

// Adjoint of injection: d(E)/d(a) = -cs_e h/(dx dy dz), summed over shots.
void adjoint_wavelet_grad(const grid& g, const coeffs& cf, const sources& src,
                          const fields& adj, float* grad_wavelet, int32_t t) {
  const geometry q = geometry_of(g);
  const float h = src.src_comp == 0 ? g.dx : src.src_comp == 1 ? g.dy : g.dz;
  const float V = (g.dx * g.dy) * g.dz;
  const float w = h / V;
  const int64_t n = static_cast<int64_t>(g.n_shots) * src.n_src;
  if (n <= 0) return;
  const float* field = src.src_comp == 0 ? adj.ex : src.src_comp == 1 ? adj.ey : adj.ez;
  for (int64_t l = 0; l < n; ++l) {
    const int64_t s = l / src.n_src;
    const int64_t qi = l - s * src.n_src;
    const int32_t* pos = src.src_pos + (s * src.n_src + qi) * 3;
    if (!inside_grid(pos, g)) continue;
    const int64_t node = node_of(pos, q);
    const float a = field[s * q.n_nodes + node];
    const float cw = cf.cs_e[node] * w;
    const float gv = a * -cw;
    float& out = grad_wavelet[qi * g.nt + t];
    out = out + gv;
  }
}

// Sensitivity of E_new = ca_e E_old + cs_e R to eps_r and sigma, from the
// stored E_old and R, times the adjoint of E_new; one stored step stands for
// the steps_covered steps up to the next snapshot.
void adjoint_material_grad(const grid& g, const coeffs& cf, const layers& L,
                           const fields& adj, const material_gradients& mg, int32_t t) {
  const int64_t nx = g.nx, ny = g.ny, nz = g.nz;
  const int64_t n_nodes = nx * ny * nz;
  const int64_t n_int = (nx - 1) * (ny - 1) * (nz - 1);
  if (nx < 2 || ny < 2 || nz < 2) return;
  const int64_t slot = t / mg.snapshot_interval;
  const int64_t covered = static_cast<int64_t>(mg.snapshot_interval) + t > g.nt
                              ? static_cast<int64_t>(g.nt) - t
                              : mg.snapshot_interval;
  const float steps_covered = static_cast<float>(covered);
  const int n_comp = mg.snapshot_components == 3 ? 3 : 1;
  const float* pairs[3] = {adj.ex, adj.ey, adj.ez};
  const int32_t* w = L.width;
  for (int64_t c = 0; c < n_int; ++c) {
    const int64_t yz = (ny - 1) * (nz - 1);
    const int64_t i = c / yz;
    const int64_t rem = c - i * yz;
    const int64_t j = rem / (nz - 1);
    const int64_t k = rem % (nz - 1);
    if (w[0] >= 1 && !(i >= w[0])) continue;
    if (w[1] >= 1 && !(i < nx - 1 - w[1])) continue;
    if (w[2] >= 1 && !(j >= w[2])) continue;
    if (w[3] >= 1 && !(j < ny - 1 - w[3])) continue;
    if (w[4] >= 1 && !(k >= w[4])) continue;
    if (w[5] >= 1 && !(k < nz - 1 - w[5])) continue;
    float g_eps = 0.0f, g_sig = 0.0f;
    if (g.n_shots >= 1) {
      const int64_t n = (i * ny + j) * nz + k;
      const float a = cf.ca_e[n], qc = cf.cs_e[n], sg = mg.sigma[n];
      const float d_ca_eps = (qc * ((1.0f - a) * k_eps0)) / g.dt;
      const float d_cs_eps = (qc * (qc * -k_eps0)) / g.dt;
      const float d_ca_sig = qc * ((a + 1.0f) * -0.5f);
      const float d_cs_sig = qc * (qc * -0.5f);
      for (int64_t s = 0; s < g.n_shots; ++s) {
        if (sg > k_pec_sigma) continue;
        for (int m = 0; m < n_comp; ++m) {
          const float lam = (n_comp == 3 ? pairs[m] : adj.ez)[s * n_nodes + n];
          const int64_t idx = ((m * mg.n_snapshots + slot) * g.n_shots + s) * n_int + c;
          const float e = norvane::storage::load_wavefield_value(mg.e_store, idx,
                                                                 mg.snapshot_format);
          const float r = norvane::storage::load_wavefield_value(mg.rhs_store, idx,
                                                                 mg.snapshot_format);
          const float pe = (lam * e) * steps_covered;
          const float pr = (lam * r) * steps_covered;
          const float cs_eps = d_cs_eps * pr;
          g_eps = g_eps + std::fma(pe, d_ca_eps, cs_eps);
          const float cs_sig = d_cs_sig * pr;
          g_sig = g_sig + std::fma(pe, d_ca_sig, cs_sig);
        }
      }
    }
    if (mg.want_grad_eps_r == 1) mg.grad_eps_r[c] = mg.grad_eps_r[c] + g_eps;
    if (mg.want_grad_sigma == 1) mg.grad_sigma[c] = mg.grad_sigma[c] + g_sig;
  }
}

// ---------------------------------------------------------------------------
// Transposes of the layer corrections. With a the adjoint of the corrected
// component and q the adjoint memory, the adjoint of D/h is
// sign c (r0-1) a - r3 q (scattered through the transposed difference) and the
// memory steps back as q = sign c r1 a + r2 q.
void adjoint_e_layers(const grid& g, const coeffs& cf, const layers& L, fields& adj) {
  const geometry q = geometry_of(g);
  const float inv_h[3] = {1.0f / g.dx, 1.0f / g.dy, 1.0f / g.dz};
  for (int64_t e = 0; e < q.n_total; ++e) {
    const point pt = point_of(q, e);
    const float K = cf.cs_e[pt.node];
    for (int face = 0; face < 6; ++face) {
      const int axis = face / 2, side = face % 2;
      const int64_t w = L.width[face];
      const int64_t p = e_layer_position(side, w, pt.c[axis], q.ext[axis]);
      if (p < 0) continue;
      const float* prof = L.prof_e[face];
      const float r0 = prof[p], r1 = prof[w + p], r2 = prof[2 * w + p], r3 = prof[3 * w + p];
      for (const layer_term& term : k_e_terms[axis]) {
        if (pt.c[term.cond_axis] > q.ext[term.cond_axis] - 2) continue;
        const float a = component_of(adj, term.field)[e];
        float* psi = adj.psi[4 * face + term.slot] +
                     memory_index(term.field, axis, pt.s, w + 1, p, pt.c, q);
        const float q_old = *psi;
        const float sa = term.sign > 0 ? a : -a;
        const float t1 = K * (r0 - 1.0f);
        const float t2 = -(q_old * r3);
        const float v = inv_h[axis] * std::fma(sa, t1, t2);
        scatter_backward_adjoint(component_of(adj, term.source), e, q.stride[axis],
                                 pt.c[axis], q.ext[axis], g.order, v);
        const float kr1 = K * r1;
        const float decay = r2 * q_old;
        *psi = std::fma(sa, kr1, decay);
      }
    }
  }
}

void adjoint_h_layers(const grid& g, const coeffs& cf, const layers& L, fields& adj) {
  const geometry q = geometry_of(g);
  const float inv_h[3] = {1.0f / g.dx, 1.0f / g.dy, 1.0f / g.dz};
  for (int64_t e = 0; e < q.n_total; ++e) {
    const point pt = point_of(q, e);
    const float K = cf.cs_h[pt.node];
    for (int face = 0; face < 6; ++face) {
      const int axis = face / 2, side = face % 2;
      const int64_t w = L.width[face];
      const int64_t p = h_layer_position(side, w, pt.c[axis], q.ext[axis]);
      if (p < 0) continue;
      const float* prof = L.prof_h[face];
      const float r0 = prof[p], r1 = prof[w + p], r2 = prof[2 * w + p], r3 = prof[3 * w + p];
      for (const layer_term& term : k_h_terms[axis]) {
        if (pt.c[term.cond_axis] > q.ext[term.cond_axis] - 2) continue;
        const float a = component_of(adj, term.field)[e];
        float* psi = adj.psi[4 * face + term.slot] +
                     memory_index(term.field, axis, pt.s, w, p, pt.c, q);
        const float q_old = *psi;
        float t1 = K * (r0 - 1.0f);
        if (term.sign < 0) t1 = -t1;
        const float t2 = -(q_old * r3);
        const float v = inv_h[axis] * std::fma(t1, a, t2);
        scatter_forward_adjoint(component_of(adj, term.source), e, q.stride[axis],
                                pt.c[axis], q.ext[axis], g.order, v);
        float u = K * r1;
        if (term.sign < 0) u = -u;
        const float decay = r2 * q_old;
        *psi = std::fma(u, a, decay);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Transpose of the interior E update: each adjoint E value, weighted by its
// curl factors, is scattered into adjoint H through the transposed backward
// difference, then scaled by ca_e.
void adjoint_e_update(const grid& g, const coeffs& cf, fields& adj) {
  const geometry q = geometry_of(g);
  for (int64_t e = 0; e < q.n_total; ++e) {
    const point p = point_of(q, e);
    const int64_t i = p.c[0], j = p.c[1], k = p.c[2];
    const curl_factors cb = scaled_factors(cf.cb_e[p.node], g);
    const float ca = cf.ca_e[p.node];
    if (i <= q.nx - 2 && in_range(j, 1, q.ny - 2) && in_range(k, 1, q.nz - 2)) {
      const float v = adj.ex[e];
      scatter_backward_adjoint(adj.hz, e, q.nz, j, q.ny, g.order, cb.y * v);
      scatter_backward_adjoint(adj.hy, e, 1, k, q.nz, g.order, -(cb.z * v));
      adj.ex[e] = v * ca;
    }
    if (in_range(i, 1, q.nx - 2) && j <= q.ny - 2 && in_range(k, 1, q.nz - 2)) {
      const float v = adj.ey[e];
      scatter_backward_adjoint(adj.hx, e, 1, k, q.nz, g.order, cb.z * v);
      scatter_backward_adjoint(adj.hz, e, q.plane, i, q.nx, g.order, -(cb.x * v));
      adj.ey[e] = v * ca;
    }
    if (in_range(i, 1, q.nx - 2) && in_range(j, 1, q.ny - 2) && k <= q.nz - 2) {
      const float v = adj.ez[e];
      scatter_backward_adjoint(adj.hy, e, q.plane, i, q.nx, g.order, cb.x * v);
      scatter_backward_adjoint(adj.hx, e, q.nz, j, q.ny, g.order, -(cb.y * v));
      adj.ez[e] = v * ca;
    }
  }
}

// Transpose of the interior H update through the transposed forward
// difference, then scaled by ca_h.
void adjoint_h_update(const grid& g, const coeffs& cf, fields& adj) {
  const geometry q = geometry_of(g);
  for (int64_t e = 0; e < q.n_total; ++e) {
    const point p = point_of(q, e);
    const int64_t i = p.c[0], j = p.c[1], k = p.c[2];
    const curl_factors cb = scaled_factors(cf.cb_h[p.node], g);
    const float ca = cf.ca_h[p.node];
    if (in_range(i, 1, q.nx - 2) && j <= q.ny - 2 && k <= q.nz - 2) {
      const float v = adj.hx[e];
      scatter_forward_adjoint(adj.ez, e, q.nz, j, q.ny, g.order, -(cb.y * v));
      scatter_forward_adjoint(adj.ey, e, 1, k, q.nz, g.order, cb.z * v);
      adj.hx[e] = v * ca;
    }
    if (i <= q.nx - 2 && in_range(j, 1, q.ny - 2) && k <= q.nz - 2) {
      const float v = adj.hy[e];
      scatter_forward_adjoint(adj.ex, e, 1, k, q.nz, g.order, -(cb.z * v));
      scatter_forward_adjoint(adj.ez, e, q.plane, i, q.nx, g.order, cb.x * v);
      adj.hy[e] = v * ca;
    }
    if (i <= q.nx - 2 && j <= q.ny - 2 && in_range(k, 1, q.nz - 2)) {
      const float v = adj.hz[e];
      scatter_forward_adjoint(adj.ey, e, q.plane, i, q.nx, g.order, -(cb.x * v));
      scatter_forward_adjoint(adj.ex, e, q.nz, j, q.ny, g.order, cb.y * v);
      adj.hz[e] = v * ca;
    }
  }
}

// ---------------------------------------------------------------------------
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
    int32_t snapshot_format, int32_t save_rhs) {
  const grid g{nx, ny, nz, n_shots, nt, dt, dx, dy, dz, g_order};
  build_coeffs(eps_r, sigma, mu_r, dt, dx, nx, ny, nz, ca_e, cb_e, cs_e, ca_h, cb_h, cs_h);
  if (nt < 1) return;

  const coeffs cf{ca_e, cb_e, cs_e, ca_h, cb_h, cs_h};
  const layers L{{pml_xlo, pml_xhi, pml_ylo, pml_yhi, pml_zlo, pml_zhi},
                 {prof_e_xlo, prof_e_xhi, prof_e_ylo, prof_e_yhi, prof_e_zlo, prof_e_zhi},
                 {prof_h_xlo, prof_h_xhi, prof_h_ylo, prof_h_yhi, prof_h_zlo, prof_h_zhi}};
  fields f{ex, ey, ez, hx, hy, hz,
           {psi_ey_xlo, psi_ez_xlo, psi_hy_xlo, psi_hz_xlo, psi_ey_xhi, psi_ez_xhi,
            psi_hy_xhi, psi_hz_xhi, psi_ex_ylo, psi_ez_ylo, psi_hx_ylo, psi_hz_ylo,
            psi_ex_yhi, psi_ez_yhi, psi_hx_yhi, psi_hz_yhi, psi_ex_zlo, psi_ey_zlo,
            psi_hx_zlo, psi_hy_zlo, psi_ex_zhi, psi_ey_zhi, psi_hx_zhi, psi_hy_zhi}};
  const sources src{n_src, src_pos, src_wavelet, src_comp};
  const receivers rec{n_rec, rec_pos, rec_comp};
  const bool any_pml = (pml_xlo | pml_xhi | pml_ylo | pml_yhi | pml_zlo | pml_zhi) != 0;

  // Snapshots need a positive interval and a valid element format; bit 26 of
  // the format switches them off.
  const bool snapshots_on = snapshot_interval >= 1 && (snapshot_format & 0x4000000) == 0 &&
                            snapshot_format_valid(snapshot_format);
  std::vector<float> scratch;
  snapshots snap{e_snapshots, rhs_snapshots, snapshot_components, snapshot_format,
                 snapshot_count(nt, snapshot_interval), nullptr};
  if (snapshots_on && snapshot_format != 0 && save_rhs != 0) {
    scratch.assign(static_cast<size_t>(snapshot_cells(g) * (snapshot_components == 3 ? 3 : 1)),
                   0.0f);
    snap.scratch = scratch.data();
  }

  for (int32_t t = 0; t < nt; ++t) {
    const bool snap_step = snapshots_on && t % snapshot_interval == 0;
    const int32_t slot = snap_step ? t / snapshot_interval : 0;
    if (snap_step) save_e_snapshot(g, f, snap, slot);
    forward_h_update(g, cf, f);
    if (any_pml) forward_h_layers(g, cf, L, f);
    forward_e_update(g, cf, f);
    if (any_pml) forward_e_layers(g, cf, L, f);
    forward_sources(g, cf, src, f, t);
    if (snap_step && save_rhs != 0) save_rhs_snapshot(g, cf, f, snap, slot);
    forward_receivers(g, rec, f, rec_out, t);
  }
}

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
    int32_t nt, int32_t n_shots, int32_t /*reserved_i32*/,
    int32_t nx, int32_t ny, int32_t nz, float dt, float dx, float dy, float dz,
    int32_t n_rec, const int32_t* rec_pos, const float* rec_residual,
    int32_t rec_comp,
    int32_t n_src, const int32_t* src_pos, int32_t src_comp,
    float* grad_wavelet, int32_t want_grad_wavelet,
    float* grad_eps_r, float* grad_sigma, int32_t want_grad_eps_r,
    int32_t want_grad_sigma,
    int32_t snapshot_interval, int32_t snapshot_components,
    int32_t snapshot_format) {
  const grid g{nx, ny, nz, n_shots, nt, dt, dx, dy, dz, g_order};
  build_coeffs(eps_r, sigma, mu_r, dt, dx, nx, ny, nz, ca_e, cb_e, cs_e, ca_h, cb_h, cs_h);
  if (nt < 1) return;

  const coeffs cf{ca_e, cb_e, cs_e, ca_h, cb_h, cs_h};
  const layers L{{pml_xlo, pml_xhi, pml_ylo, pml_yhi, pml_zlo, pml_zhi},
                 {prof_e_xlo, prof_e_xhi, prof_e_ylo, prof_e_yhi, prof_e_zlo, prof_e_zhi},
                 {prof_h_xlo, prof_h_xhi, prof_h_ylo, prof_h_yhi, prof_h_zlo, prof_h_zhi}};
  fields adj{adj_ex, adj_ey, adj_ez, adj_hx, adj_hy, adj_hz,
             {adj_psi_ey_xlo, adj_psi_ez_xlo, adj_psi_hy_xlo, adj_psi_hz_xlo,
              adj_psi_ey_xhi, adj_psi_ez_xhi, adj_psi_hy_xhi, adj_psi_hz_xhi,
              adj_psi_ex_ylo, adj_psi_ez_ylo, adj_psi_hx_ylo, adj_psi_hz_ylo,
              adj_psi_ex_yhi, adj_psi_ez_yhi, adj_psi_hx_yhi, adj_psi_hz_yhi,
              adj_psi_ex_zlo, adj_psi_ey_zlo, adj_psi_hx_zlo, adj_psi_hy_zlo,
              adj_psi_ex_zhi, adj_psi_ey_zhi, adj_psi_hx_zhi, adj_psi_hy_zhi}};
  const sources src{n_src, src_pos, nullptr, src_comp};
  const receivers rec{n_rec, rec_pos, rec_comp};
  const bool any_pml = (pml_xlo | pml_xhi | pml_ylo | pml_yhi | pml_zlo | pml_zhi) != 0;

  // Material gradients need readable snapshots: a positive interval and a
  // valid element format.
  const bool material_on = (want_grad_eps_r != 0 || want_grad_sigma != 0) &&
                           snapshot_interval >= 1 && snapshot_format_valid(snapshot_format);
  const material_gradients mg{sigma, e_snapshots, rhs_snapshots,
                              snapshot_interval, snapshot_components, snapshot_format,
                              snapshot_count(nt, snapshot_interval),
                              grad_eps_r, grad_sigma, want_grad_eps_r, want_grad_sigma};

  for (int32_t t = nt - 1; t >= 0; --t) {
    adjoint_residuals(g, rec, rec_residual, adj, t);
    if (want_grad_wavelet == 1) adjoint_wavelet_grad(g, cf, src, adj, grad_wavelet, t);
    if (material_on && t % snapshot_interval == 0) adjoint_material_grad(g, cf, L, adj, mg, t);
    if (any_pml) adjoint_e_layers(g, cf, L, adj);
    adjoint_e_update(g, cf, adj);
    if (any_pml) adjoint_h_layers(g, cf, L, adj);
    adjoint_h_update(g, cf, adj);
  }
}

}  // namespace norvane_ref
