// Row kernels of the absorbing-layer corrections, compiled once per
// instruction set next to the interior updates (the including file defines
// NORVANE_ISA_NS). A row (s, i, j) applies the faces in the order xlo .. zhi,
// each over all its nodes of the row; since a node's corrections read only
// the other field type and its own memories, this gives every node exactly
// the face-ordered sequence of corrections of a node-by-node sweep. On the x
// and y faces the profile position and the difference's half-width are fixed
// along the row, so k is a vector loop; in this general sweep the z faces
// cover a few nodes at each row end and stay scalar. Rows that carry both z
// terms take the z loop below instead (see layered_row), and regular rows
// take all their corrections in the update kernels.
#include <algorithm>
#include <type_traits>

#include "lib/forward/layers.hpp"

namespace norvane::forward::NORVANE_ISA_NS {
namespace {

struct term_row {
  float* F;            // corrected component, at k = 0 of the row
  const float* src;    // differenced component, at k = 0
  float* psi;          // memory, at k = 0 of this row and profile position
  const float* coef;   // cs_h or cs_e, at k = 0
  int64_t stride;
  float h, r0m1, r1, r2, r3;
};

// One term along a row of x- or y-face nodes: d = D/h, F += sign*c*inner,
// psi = r2 psi - r3 d (old psi in both).
template <int M, bool Unit, bool ESide, bool Plus>
void term_loop(const term_row& r, int64_t k0, int64_t k1) {
  float* __restrict F = r.F;
  const float* __restrict src = r.src;
  float* __restrict psi = r.psi;
  const float* __restrict coef = r.coef;
#pragma omp simd
  for (int64_t k = k0; k <= k1; ++k) {
    const float D = ESide ? kernels::diff_backward_m<M, Unit>(src + k, r.stride)
                          : kernels::diff_forward_m<M, Unit>(src + k, r.stride);
    F[k] = layer_correct<Plus>(F[k], coef[k], D, r.h, r.r0m1, r.r1, r.r2, r.r3, psi[k]);
  }
}

template <bool ESide, bool Plus>
void term_dispatch(int m, const term_row& r, int64_t k0, int64_t k1) {
  const bool unit = r.stride == 1;
  switch (m) {
    case 4:
      return unit ? term_loop<4, true, ESide, Plus>(r, k0, k1)
                  : term_loop<4, false, ESide, Plus>(r, k0, k1);
    case 3: return term_loop<3, false, ESide, Plus>(r, k0, k1);
    case 2: return term_loop<2, false, ESide, Plus>(r, k0, k1);
    default: return term_loop<1, false, ESide, Plus>(r, k0, k1);
  }
}

// One term of a z face along the row ends: here the profile position runs
// with k (p = k - origin on the high face, origin - k on the low one) and the
// difference is along the unit-stride axis.
struct z_term {
  float* F;
  const float* src;
  float* psi;  // memory at p = 0 of this row
  const float* coef;
  const float* prof;
  int64_t w;
  int64_t origin;
  bool high;
  float h;
};

template <bool ESide, bool Plus, bool High>
NORVANE_CELL void z_node(const z_term& z, int64_t k, float D) {
  const int64_t p = High ? k - z.origin : z.origin - k;
  const float* r = z.prof;
  z.F[k] = layer_correct<Plus>(z.F[k], z.coef[k], D, z.h, r[p] - 1.0f, r[z.w + p], r[2 * z.w + p],
                               r[3 * z.w + p], z.psi[p]);
}

template <int M, bool ESide, bool Plus, bool High>
void z_term_full(const z_term& z, int64_t k0, int64_t k1) {
#pragma omp simd
  for (int64_t k = k0; k <= k1; ++k) {
    const float D = ESide ? kernels::diff_backward_m<M, true>(z.src + k, 1)
                          : kernels::diff_forward_m<M, true>(z.src + k, 1);
    z_node<ESide, Plus, High>(z, k, D);
  }
}

template <int M, bool ESide, bool Plus>
void z_term_full(const z_term& z, int64_t k0, int64_t k1) {
  if (z.high)
    z_term_full<M, ESide, Plus, true>(z, k0, k1);
  else
    z_term_full<M, ESide, Plus, false>(z, k0, k1);
}

// Nodes q_lo..q_hi: the nominal stencil where it fits, the reduced ones at
// the axis ends.
template <bool ESide, bool Plus>
void z_term_sweep(const z_term& z, int64_t q_lo, int64_t q_hi, int64_t nz, int order, int M) {
  const int64_t fit_lo = ESide ? M : M - 1;
  const int64_t fit_hi = ESide ? nz - M : nz - 1 - M;
  const int64_t a = q_lo > fit_lo ? q_lo : fit_lo;
  const int64_t b = q_hi < fit_hi ? q_hi : fit_hi;
  auto edge = [&](int64_t k) __attribute__((always_inline)) {
    const float D = ESide ? kernels::staggered_backward_diff(z.src, k, 1, k, nz, order)
                          : kernels::staggered_forward_diff(z.src, k, 1, k, nz, order);
    if (z.high)
      z_node<ESide, Plus, true>(z, k, D);
    else
      z_node<ESide, Plus, false>(z, k, D);
  };
  if (a > b) {
    for (int64_t k = q_lo; k <= q_hi; ++k) edge(k);
    return;
  }
  for (int64_t k = q_lo; k < a; ++k) edge(k);
  if (M == 4)
    z_term_full<4, ESide, Plus>(z, a, b);
  else if (M == 2)
    z_term_full<2, ESide, Plus>(z, a, b);
  else
    z_term_full<1, ESide, Plus>(z, a, b);
  for (int64_t k = b + 1; k <= q_hi; ++k) edge(k);
}

template <bool ESide>
void layer_row(const pass_args& a, const layer_table& t, int64_t s, int64_t i, int64_t j,
               int f_end = 6) {
  const grid_dims& g = a.g;
  const int64_t node0 = i * g.plane + j * g.nz;
  const int64_t l0 = s * g.n_nodes + node0;
  float* const* target = ESide ? a.e : a.h;
  float* const* source = ESide ? a.h : a.e;
  const float* coef = (ESide ? a.c.cs_e : a.c.cs_h) + node0;
  const int64_t c[3] = {i, j, 0};
  for (int f = 0; f < f_end; ++f) {
    const layer_face_desc& d = t.face[f];
    if (d.w == 0) continue;
    const float* prof = d.prof;
    if (d.axis < 2) {
      const int64_t q = c[d.axis];
      if (q < d.q_lo || q > d.q_hi) continue;
      const int64_t p = d.position(q, ESide);
      const int m = ESide ? kernels::fit_backward(a.order, q, d.n) : kernels::fit_forward(a.order, q, d.n);
      for (const layer_term& term : d.term) {
        if (term.cond_axis < 2 && c[term.cond_axis] > g.extent(term.cond_axis) - 2) continue;
        const int64_t k1 = term.cond_axis == 2 ? g.nz - 2 : g.nz - 1;
        const term_row r{target[term.target] + l0, source[term.source] + l0,
                         term.psi + memory_index(term, d.axis, s, c, p), coef, g.stride(d.axis),
                         g.spacing(d.axis), prof[p] - 1.0f, prof[d.w + p], prof[2 * d.w + p],
                         prof[3 * d.w + p]};
        if (term.sign > 0)
          term_dispatch<ESide, true>(m, r, 0, k1);
        else
          term_dispatch<ESide, false>(m, r, 0, k1);
      }
    } else {
      for (const layer_term& term : d.term) {
        if (c[term.cond_axis] > g.extent(term.cond_axis) - 2) continue;
        const z_term zt{target[term.target] + l0, source[term.source] + l0,
                        term.psi + memory_index(term, 2, s, c, 0), coef, prof, d.w,
                        d.high ? d.n - 1 - d.w : (ESide ? d.w : d.w - 1), d.high, d.h_spacing};
        const int M = kernels::half_width(a.order);
        if (term.sign > 0)
          z_term_sweep<ESide, true>(zt, d.q_lo, d.q_hi, d.n, a.order, M);
        else
          z_term_sweep<ESide, false>(zt, d.q_lo, d.q_hi, d.n, a.order, M);
      }
    }
  }
}

// The z corrections of a row that carries both z terms: term 0 corrects the
// x component from the z difference of the y one, term 1 the y component
// from that of the x one, with the signs of those differences in the curl
// (+, - for H; -, + for E). Node o of the low face is k = k0 + o, memory
// position p0 - o; of the high face k0 + o and p0 + o. With both faces (Lo,
// Hi) the nodes of the two go in pairs through one loop of n steps.
template <bool ESide, int MZ, bool Lo, bool Hi>
void z_layer_row(const pass_args& a, const layer_table& t, int64_t s, int64_t i, int64_t j) {
  const grid_dims& g = a.g;
  const int64_t nz = g.nz, node0 = i * g.plane + j * nz, l0 = s * g.n_nodes + node0;
  const int order = a.order;
  float* const* target = ESide ? a.e : a.h;
  float* const* source = ESide ? a.h : a.e;
  float* __restrict fx = target[0] + l0;
  float* __restrict fy = target[1] + l0;
  const float* __restrict sy = source[1] + l0;  // differenced for fx
  const float* __restrict sx = source[0] + l0;  // differenced for fy
  const float* __restrict cs = (ESide ? a.c.cs_e : a.c.cs_h) + node0;
  const int64_t c[3] = {i, j, 0};
  auto psi_of = [&](int face, int m) {
    const layer_term& term = t.face[face].term[m];
    return term.psi + memory_index(term, 2, s, c, 0) + t.z[face - 4].p0;
  };
  const z_layer& L = t.z[0];
  const z_layer& H = t.z[1];
  float* __restrict lx = Lo ? psi_of(4, 0) : nullptr;
  float* __restrict ly = Lo ? psi_of(4, 1) : nullptr;
  float* __restrict hx = Hi ? psi_of(5, 0) : nullptr;
  float* __restrict hy = Hi ? psi_of(5, 1) : nullptr;
  const float* __restrict lr = Lo ? L.r.data() : nullptr;
  const float* __restrict hr = Hi ? H.r.data() : nullptr;
  const int64_t ln = L.n, hn = H.n, lk = L.k0, hk = H.k0, n = Lo ? ln : hn;
  const float h = g.dz;
  auto dz = [&](const float* f, int64_t k, auto full) __attribute__((always_inline)) {
    if constexpr (decltype(full)::value)
      return ESide ? kernels::diff_backward_m<MZ, true>(f + k, 1) : kernels::diff_forward_m<MZ, true>(f + k, 1);
    else
      return ESide ? kernels::staggered_backward_diff(f, k, 1, k, nz, order)
                   : kernels::staggered_forward_diff(f, k, 1, k, nz, order);
  };
  auto node = [&](int64_t o, auto full) __attribute__((always_inline)) {
    if constexpr (Lo) {
      const int64_t k = lk + o;
      fx[k] = layer_correct<!ESide>(fx[k], cs[k], dz(sy, k, full), h, lr[o], lr[ln + o],
                                    lr[2 * ln + o], lr[3 * ln + o], lx[-o]);
      fy[k] = layer_correct<ESide>(fy[k], cs[k], dz(sx, k, full), h, lr[o], lr[ln + o],
                                   lr[2 * ln + o], lr[3 * ln + o], ly[-o]);
    }
    if constexpr (Hi) {
      const int64_t k = hk + o;
      fx[k] = layer_correct<!ESide>(fx[k], cs[k], dz(sy, k, full), h, hr[o], hr[hn + o],
                                    hr[2 * hn + o], hr[3 * hn + o], hx[o]);
      fy[k] = layer_correct<ESide>(fy[k], cs[k], dz(sx, k, full), h, hr[o], hr[hn + o],
                                   hr[2 * hn + o], hr[3 * hn + o], hy[o]);
    }
  };
  // Steps where every node has the nominal z stencil (forward: MZ-1 <= k <=
  // nz-1-MZ; backward: MZ <= k <= nz-MZ); the others take the fitted one.
  const int64_t fit_lo = ESide ? MZ : MZ - 1, fit_hi = ESide ? nz - MZ : nz - 1 - MZ;
  int64_t oa = 0, ob = n - 1;
  if constexpr (Lo) oa = std::max(oa, fit_lo - lk), ob = std::min(ob, fit_hi - lk);
  if constexpr (Hi) oa = std::max(oa, fit_lo - hk), ob = std::min(ob, fit_hi - hk);
  if (oa > ob) oa = n, ob = n - 1;
  for (int64_t o = 0; o < oa; ++o) node(o, std::false_type{});
#pragma omp simd
  for (int64_t o = oa; o <= ob; ++o) node(o, std::true_type{});
  for (int64_t o = ob + 1; o < n; ++o) node(o, std::false_type{});
}

template <bool ESide, int MZ>
void z_layers_row(const pass_args& a, const layer_table& t, int64_t s, int64_t i, int64_t j) {
  // Pairs only at half-width 1: wider stencils narrow near the axis ends,
  // inside the faces, and a paired step takes the narrow path for both.
  const int64_t ln = t.z[0].n, hn = t.z[1].n;
  if (MZ == 1 && ln > 0 && ln == hn) return z_layer_row<ESide, MZ, true, true>(a, t, s, i, j);
  if (ln > 0) z_layer_row<ESide, MZ, true, false>(a, t, s, i, j);
  if (hn > 0) z_layer_row<ESide, MZ, false, true>(a, t, s, i, j);
}

// A row's update followed by its layer corrections: on regular rows the x
// and y corrections inside the update loops and the z ones in the update
// kernels at the row's end; elsewhere the general sweep over the x and y
// faces after the update, then the z loop (or the general sweep over the z
// faces too, where the z loop does not apply).
template <bool ESide>
void layered_row(const pass_args& a, const layer_table& t, int64_t s, int64_t i, int64_t j,
                 int64_t ahead) {
  if (a.g.nz <= short_memory_row) {  // the row `ahead` rows on, in this shot
    const int64_t ny = a.g.ny, q = i * ny + j + ahead;
    if (j + ahead >= 0 && j + ahead < ny)
      prefetch_low_y_memories(a, t, s, i, j + ahead);
    else if (q >= 0 && q < a.g.nx * ny)  // (a tile's end steps back to the next tile)
      prefetch_low_y_memories(a, t, s, q / ny, q % ny);
  }
  row_layers r;
  const row_mode mode = make_row_layers(a, t, s, i, j, r);
  auto z_layers = [&] {
    switch (kernels::half_width(a.order)) {
      case 1: return z_layers_row<ESide, 1>(a, t, s, i, j);
      case 2: return z_layers_row<ESide, 2>(a, t, s, i, j);
      default: return z_layers_row<ESide, 4>(a, t, s, i, j);
    }
  };
  if (mode == row_mode::regular) {
    pick_layered_any<ESide>(a.order, cubic_grid(a.g), r.in_x, r.in_y)(a, &r, s, i, j, ahead);
    // The kernels' masked 16-lane face vectors, once asked for ahead with
    // every line they span, measured at least as fast as the z loop below
    // at every order: orders 4 and 8 8-9 % faster at 128^3 with 10-cell
    // layers; order 2 3-4 % faster at 64^3 and 96^3 and within 2 % at
    // 128^3 to 256^3 (with AVX2, whose kernels take the faces in the scalar
    // sweep, within noise). Before the whole span was asked for, order 2
    // measured 20-25 % slower in the kernels than in the z loop at 96^3.
    return;
  }
  if (ESide)
    e_row(a, s, i, j, ahead);
  else
    h_row(a, s, i, j, ahead);
  if (mode == row_mode::plain) return;
  // The z loop needs only that the row carries both z terms (i <= nx-2,
  // j <= ny-2); it runs after the x and y faces, as node order requires.
  if (t.fusable && i <= a.g.nx - 2 && j <= a.g.ny - 2) {
    layer_row<ESide>(a, t, s, i, j, 4);
    z_layers();
  } else {
    layer_row<ESide>(a, t, s, i, j);
  }
}

void h_layered_row(const pass_args& a, const layer_table& t, int64_t s, int64_t i, int64_t j,
                   int64_t ahead) {
  layered_row<false>(a, t, s, i, j, ahead);
}
void e_layered_row(const pass_args& a, const layer_table& t, int64_t s, int64_t i, int64_t j,
                   int64_t ahead) {
  layered_row<true>(a, t, s, i, j, ahead);
}

}  // namespace
}  // namespace norvane::forward::NORVANE_ISA_NS
