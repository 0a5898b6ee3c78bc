// Row kernels of the interior updates, compiled once per instruction set: the
// including file defines NORVANE_ISA_NS (a namespace name) and the compiler
// flags. Within a row the half-widths of the x and y differences are fixed,
// so they are template parameters; the k loop runs the full stencil over the
// positions where it fits (one node per vector lane, same scalar arithmetic
// in every lane) and the reduced stencils at the ends.
//
//   hx = fma(cb_z, Dz+ ey, fma(ca_h, hx, -(Dy+ ez * cb_y)))
//   hy = fma(cb_x, Dx+ ez, fma(ca_h, hy, -(Dz+ ex * cb_z)))
//   hz = fma(cb_y, Dy+ ex, fma(ca_h, hz, -(Dx+ ey * cb_x)))
//   ex = fma(-cb_z, Dz- hy, fma(ca_e, ex, cb_y * Dy- hz))
//   ey = fma(-cb_x, Dx- hz, fma(ca_e, ey, cb_z * Dz- hx))
//   ez = fma(-cb_y, Dy- hx, fma(ca_e, ez, cb_x * Dx- hy))
#include <algorithm>
#include <cmath>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "lib/forward/field_update.hpp"
#include "lib/forward/rows.hpp"
#include "lib/kernels/aligned_run.hpp"
#include "lib/kernels/staggered_diff.hpp"

namespace norvane::forward::NORVANE_ISA_NS {
namespace {

using kernels::diff_backward_m;
using kernels::diff_backward_with;
using kernels::diff_forward_m;
using kernels::diff_forward_with;
using kernels::fit_backward;
using kernels::fit_forward;

// Curl factor along y or z: cb itself on a cubic axis pair, else (dx*cb)/h
// with the product rounded before the division.
// (The quotient is formed unconditionally so the selection is a blend.)
template <bool Cubic>
NORVANE_CELL float scaled(float cb, float dx, float h) {
  if constexpr (Cubic) {
    return cb;
  } else {
    const float q = (dx * cb) / h;
    return (h == dx) ? cb : q;
  }
}

// out[k] = value(k) over [a, b]: line-aligned (see aligned_run) in the
// order-4 and order-8 kernels of rows with the nominal x and y stencils and
// no layer corrections, which are nearly all rows. The others keep the plain
// loop: the rows at the x and y ends and the x and y layer rows are few, and
// an aligned copy of each of their kernels would cost more build time than
// it saves run time (the layer rows, which advance their memories inside the
// node update, could align only their middle); the order-2 rows are bound by
// memory traffic, and there the end vectors cost as much as the split lines,
// except where the arrays are small (SmallAlign, see small_aligned_rows).
template <bool Align, class Value>
__attribute__((always_inline)) inline void row_run(float* out, int64_t a, int64_t b, Value value) {
  if constexpr (Align) {
    kernels::aligned_run(out, a, b, value);
  } else {
#pragma omp simd
    for (int64_t k = a; k <= b; ++k) out[k] = value(k);
  }
}

#if defined(__AVX512F__) || defined(__AVX2__)
#if defined(__AVX512F__)
typedef __m512 zvec;

// The nodes f[k0 + o .. k0 + o + 15] of a row, from the three vectors of f
// around k0 (lo at k0 - 16, mid at k0, hi at k0 + 16).
// (The zero-masked form with every lane set is the plain lane shift; GCC 12
// warns of an uninitialised operand in the unmasked intrinsic.)
template <int O>
__attribute__((always_inline)) inline __m512 z_tap(__m512 lo, __m512 mid, __m512 hi) {
  constexpr __mmask16 all = 0xffff;
  if constexpr (O == 0) {
    return mid;
  } else if constexpr (O < 0) {
    return _mm512_castsi512_ps(
        _mm512_maskz_alignr_epi32(all, _mm512_castps_si512(mid), _mm512_castps_si512(lo), 16 + O));
  } else {
    return _mm512_castsi512_ps(
        _mm512_maskz_alignr_epi32(all, _mm512_castps_si512(hi), _mm512_castps_si512(mid), O));
  }
}
#else
typedef __m256 zvec;

// The same with vectors of 8 nodes. A lane shift across the two halves of
// a vector takes two steps: the halves between the two vectors are paired
// (permute2f128), then each half is shifted with its neighbour (alignr).
template <int O>
__attribute__((always_inline)) inline __m256 z_tap(__m256 lo, __m256 mid, __m256 hi) {
  if constexpr (O == 0) {
    return mid;
  } else if constexpr (O > 0) {
    const __m256 t = _mm256_permute2f128_ps(mid, hi, 0x21);  // mid[4..7], hi[0..3]
    if constexpr (O == 4) return t;
    return _mm256_castsi256_ps(
        _mm256_alignr_epi8(_mm256_castps_si256(t), _mm256_castps_si256(mid), 4 * O));
  } else {
    const __m256 t = _mm256_permute2f128_ps(lo, mid, 0x21);  // lo[4..7], mid[0..3]
    if constexpr (O == -4) return t;
    return _mm256_castsi256_ps(
        _mm256_alignr_epi8(_mm256_castps_si256(mid), _mm256_castps_si256(t), 16 + 4 * O));
  }
}
#endif

// out[k] = value(k, dz) over the whole vectors [a1, b1) of a row, dz the z
// difference of half-width 4 of f at k. The taps of one vector are the same
// nodes shifted, and loaded one by one most of the 8 straddle a vector
// boundary (two cache lines where the row is aligned). Here each vector of
// f is loaded once and every tap is cut from two neighbouring vectors by a
// lane shift. The arithmetic is that of diff_*_m<4, true>: the four pair
// differences, their products with the coefficients, and the sum from +0
// in order (written with the vector operators, which are the plain
// instructions without contraction). f is read up to a vector before a1 and
// after b1, which stays within the neighbour rows. (At half-width 2 the same
// measured no gain: there the row is bound by memory traffic.)
template <bool Forward, class Value>
__attribute__((always_inline)) inline void z_whole_vectors(const float* __restrict f, float* out,
                                                           int64_t a1, int64_t b1, Value value) {
  constexpr int64_t L = sizeof(zvec) / sizeof(float);
  auto load = [](const float* p) __attribute__((always_inline)) {
    zvec v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
  };
  constexpr const float* c = kernels::stencil_coeffs::c[3];
  const zvec zero{}, c0 = zero + c[0], c1 = zero + c[1], c2 = zero + c[2], c3 = zero + c[3];
  // The first of the pair of each difference: +1..+4 forward, 0..+3 backward.
  constexpr int up = Forward ? 1 : 0;
  zvec lo = load(f + a1 - L), mid = load(f + a1);
  for (int64_t k0 = a1; k0 < b1; k0 += L) {
    const zvec hi = load(f + k0 + L);
    const zvec d0 = z_tap<up>(lo, mid, hi) - z_tap<up - 1>(lo, mid, hi);
    const zvec d1 = z_tap<up + 1>(lo, mid, hi) - z_tap<up - 2>(lo, mid, hi);
    const zvec d2 = z_tap<up + 2>(lo, mid, hi) - z_tap<up - 3>(lo, mid, hi);
    const zvec d3 = z_tap<up + 3>(lo, mid, hi) - z_tap<up - 4>(lo, mid, hi);
    const zvec s = (((zero + c0 * d0) + c1 * d1) + c2 * d2) + c3 * d3;
    // The node updates take dz lane by lane (the compiler keeps it in the
    // register).
    alignas(sizeof(zvec)) float dz[L];
    __builtin_memcpy(dz, &s, sizeof s);
#pragma omp simd
    for (int64_t t = 0; t < L; ++t) out[k0 + t] = value(k0 + t, dz[t]);
    lo = mid;
    mid = hi;
  }
}
#endif

#if defined(__AVX512F__)
// The z differences of f at the nodes kb .. kb+15 of a row (lanes in m; the
// others 0), with the half-width fitted to each node as k_sweep does: the
// nominal MZ but at the row's first and last nodes. The stencil's loads
// reach MZ nodes past the lanes, into the neighbour rows at the row's ends.
template <int MZ, bool Forward>
__attribute__((always_inline)) inline __m512 fitted_z_diff(const float* f, int64_t kb, __mmask16 m,
                                                           int64_t nz) {
  const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512 zero = _mm512_setzero_ps();
  constexpr __mmask16 all = 0xffff;  // (the masked form, as in z_tap)
  auto coeff = [](int w, int idx) { return _mm512_set1_ps(kernels::stencil_coeffs::c[w - 1][idx]); };
  auto load = [m](const float* p) __attribute__((always_inline)) { return _mm512_maskz_loadu_ps(m, p); };
  // The pair differences d_1..d_MZ and their nominal combination.
  __m512 d[MZ];
  for (int j = 1; j <= MZ; ++j)
    d[j - 1] = Forward ? _mm512_sub_ps(load(f + kb + j), load(f + kb + 1 - j))
                       : _mm512_sub_ps(load(f + kb + j - 1), load(f + kb - j));
  if constexpr (MZ == 1) return d[0];  // nominal and fitted alike
  // Half-width 2, nominal at order 4 and fitted at order 8.
  auto two = [&] { return _mm512_fmadd_ps(d[1], coeff(2, 1), _mm512_fmadd_ps(d[0], coeff(2, 0), zero)); };
  __m512 D;
  if constexpr (MZ == 4) {
    D = _mm512_add_ps(zero, _mm512_mul_ps(coeff(4, 0), d[0]));
    for (int j = 1; j < 4; ++j) D = _mm512_add_ps(D, _mm512_mul_ps(coeff(4, j), d[j]));
  } else {
    D = two();
  }
  // The room of each node towards the two row ends, which caps the
  // half-width (at least 1). Only rooms below MZ matter: capping the
  // distances keeps them in 32-bit lanes on rows of any length.
  constexpr int64_t cap = 1 << 20;
  const __m512i k = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(std::clamp(kb, -cap, cap))), iota);
  const __m512i back = _mm512_sub_epi32(_mm512_set1_epi32(static_cast<int>(std::clamp(nz - kb, -cap, cap))), iota);
  const __m512i room = Forward ? _mm512_maskz_min_epi32(all, _mm512_add_epi32(k, _mm512_set1_epi32(1)),
                                                        _mm512_sub_epi32(back, _mm512_set1_epi32(1)))
                               : _mm512_maskz_min_epi32(all, k, back);
  if constexpr (MZ == 4) {
    const __m512 d3 = _mm512_fmadd_ps(
        d[2], coeff(3, 2), _mm512_fmadd_ps(d[1], coeff(3, 1), _mm512_fmadd_ps(d[0], coeff(3, 0), zero)));
    D = _mm512_mask_mov_ps(D, _mm512_cmpeq_epi32_mask(room, _mm512_set1_epi32(3)), d3);
    D = _mm512_mask_mov_ps(D, _mm512_cmpeq_epi32_mask(room, _mm512_set1_epi32(2)), two());
  }
  return _mm512_mask_mov_ps(D, _mm512_cmple_epi32_mask(room, _mm512_set1_epi32(1)), d[0]);
}

// out[k] = value(k, dz) for the nodes of [lo, hi] among kb .. kb+15, dz
// fitted as above, on a row of nz >= 16 nodes. value runs in every lane of
// a vector moved inside the row where the block reaches past it: value
// reads out, and the neighbour rows' out may be another thread's. Only the
// block's nodes are stored; the other lanes may see nodes the sweep has
// already updated, which is harmless since they are dropped.
template <int MZ, bool Forward, class Value>
__attribute__((always_inline)) inline void fitted_block(const float* f, float* out, int64_t kb,
                                                        int64_t lo, int64_t hi, int64_t nz,
                                                        Value value) {
  const int64_t p = std::clamp<int64_t>(kb, 0, nz - 16);
  const int64_t first = std::max(lo, kb) - p, last = std::min(hi, kb + 15) - p;
  const __mmask16 m = static_cast<__mmask16>(((1u << (last + 1)) - 1) & ~((1u << first) - 1));
  const __m512 s = fitted_z_diff<MZ, Forward>(f, p, m, nz);
  alignas(64) float dz[16], v[16];
  _mm512_store_ps(dz, s);
#pragma omp simd
  for (int64_t t = 0; t < 16; ++t) v[t] = value(p + t, dz[t]);
  _mm512_mask_storeu_ps(out + p, m, _mm512_load_ps(v));
}

// The z-face corrections of nodes k0 .. k0+n-1 of a regular row (see
// z_faces), 16 nodes to a vector, the lanes past the face masked off: the
// arithmetic of layer_correct on the fitted z difference at each node. A
// face is a few nodes, as short as the scalar end of a vector loop; the
// generic loop spends more on its setup, a vector of 8, the scalar
// remainder and the fitted end node than on the corrections (this form:
// order 8 up to 5 % faster, order 4 the same). Low is the low face, whose
// memories run down as k rises.
template <int MZ, bool Forward, bool Plus, bool Low>
__attribute__((always_inline)) inline void z_face_vectors(const float* f, float* out,
                                                          const float* cs, float h, const float* r,
                                                          float* psi, int64_t k0, int64_t n,
                                                          int64_t nz) {
  const __m512i reverse = _mm512_setr_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m512 hv = _mm512_set1_ps(h);
  constexpr __mmask16 all = 0xffff;  // (the masked form, as in z_tap)
  for (int64_t t0 = 0; t0 < n; t0 += 16) {
    const int64_t count = std::min<int64_t>(16, n - t0);
    const __mmask16 m = static_cast<__mmask16>((1u << count) - 1);
    const int64_t kb = k0 + t0;
    auto load = [m](const float* p) __attribute__((always_inline)) { return _mm512_maskz_loadu_ps(m, p); };
    const __m512 D = fitted_z_diff<MZ, Forward>(f, kb, m, nz);
    // The correction, with the memories of the low face reversed into k order.
    const __mmask16 mr = static_cast<__mmask16>(m << (16 - count));
    const __m512 p_old = Low ? _mm512_maskz_permutexvar_ps(all, reverse, _mm512_maskz_loadu_ps(mr, psi - t0 - 15))
                             : load(psi + t0);
    const __m512 dd = _mm512_div_ps(D, hv);
    const __m512 inner = _mm512_fmadd_ps(load(r + t0), dd, _mm512_mul_ps(load(r + n + t0), p_old));
    const __m512 p_new = _mm512_fmsub_ps(load(r + 2 * n + t0), p_old, _mm512_mul_ps(dd, load(r + 3 * n + t0)));
    const __m512 c = load(cs + kb), F = load(out + kb);
    _mm512_mask_storeu_ps(out + kb, m, Plus ? _mm512_fmadd_ps(c, inner, F) : _mm512_fnmadd_ps(c, inner, F));
    if constexpr (Low) {
      _mm512_mask_storeu_ps(psi - t0 - 15, mr, _mm512_maskz_permutexvar_ps(all, reverse, p_new));
    } else {
      _mm512_mask_storeu_ps(psi + t0, m, p_new);
    }
  }
}
#endif

// Sets out[k] = value(k, dz) over k in [lo, hi], where dz is the z difference
// of `f` at k: the template half-width MZ on [full_lo, full_hi], the fitted
// one outside; the middle as row_run.
template <int MZ, bool Forward, bool Align, class Value>
__attribute__((always_inline)) inline void k_sweep(int64_t lo, int64_t hi, int64_t full_lo,
                                                   int64_t full_hi, int64_t nz, int order,
                                                   const float* __restrict f, float* out,
                                                   Value value) {
  auto full = [&](int64_t k) __attribute__((always_inline)) {
    return value(k, Forward ? diff_forward_m<MZ, true>(f + k, 1) : diff_backward_m<MZ, true>(f + k, 1));
  };
#if defined(__AVX512F__)
  // Orders 4 and 8 on a long row: the blocks of 16 nodes on the vector
  // boundaries of out that hold a node of the row's ends (outside
  // [full_lo, full_hi]) or reach past [lo, hi] take the fitted differences
  // in every lane; the others are whole vectors. In place of the scalar end
  // nodes and the unaligned end vectors of the path below, the forward
  // without layers measured at order 8 16-26 % faster at 96^3 and 9 % at
  // 256^3 (with layers 3-5 % and up to 14 %), at order 4 6 % faster (with
  // layers 5 %). The z stencils of the lanes at the row's ends read f in
  // the neighbour rows, which rows with the nominal stencils on every axis
  // have.
  if constexpr (Align && MZ >= 2) {
    constexpr int64_t L = 16;
    if (hi - lo + 1 >= 4 * L) {
      const int64_t off = static_cast<int64_t>(reinterpret_cast<uintptr_t>(out + lo) / sizeof(float) % L);
      int64_t a1 = lo - off;
      for (; a1 < lo || a1 < full_lo; a1 += L) fitted_block<MZ, Forward>(f, out, a1, lo, hi, nz, value);
      int64_t b1 = a1 + (hi + 1 - a1) / L * L;
      while (b1 - 1 > full_hi) b1 -= L;
      if constexpr (MZ == 4) {
        z_whole_vectors<Forward>(f, out, a1, b1, value);
      } else {
        for (int64_t k0 = a1; k0 < b1; k0 += L) {
#pragma omp simd
          for (int64_t k = k0; k < k0 + L; ++k) out[k] = full(k);
        }
      }
      for (; b1 <= hi; b1 += L) fitted_block<MZ, Forward>(f, out, b1, lo, hi, nz, value);
      return;
    }
  }
#endif
  auto edge = [&](int64_t k) __attribute__((always_inline)) {
    const float d = Forward ? diff_forward_with(fit_forward(order, k, nz), f + k, 1)
                            : diff_backward_with(fit_backward(order, k, nz), f + k, 1);
    out[k] = value(k, d);
  };
  const int64_t a = std::max(lo, full_lo);
  const int64_t b = std::min(hi, full_hi);
  if (a > b) {
    for (int64_t k = lo; k <= hi; ++k) edge(k);
    return;
  }
  for (int64_t k = lo; k < a; ++k) edge(k);
#if defined(__AVX512F__) || defined(__AVX2__)
  if constexpr (Align && MZ == 4) {
    kernels::aligned_run(out, a, b, full, [&](int64_t a1, int64_t b1) __attribute__((always_inline)) {
      z_whole_vectors<Forward>(f, out, a1, b1, value);
    });
  } else
#endif
  {
    row_run<Align>(out, a, b, full);
  }
  for (int64_t k = b + 1; k <= hi; ++k) edge(k);
}

// The z-face corrections of the x or y component C of a regular row, whose
// nodes lo .. hi the row has updated (Plus: the sign of the z difference in
// the curl). Each face node's correction takes the stored update and the
// same z difference formed again: the same operations on the same
// operands, so the same bits as correcting inside the update. The row
// kernels call this once the row's three components are done, and out of
// line, which measured faster than each of the alternatives:
//  - inside the update, the face nodes cut the row's aligned run in three
//    (96^3 with layers: 8 % slower at order 4, 14 % at order 8);
//  - right after the component's own loop, a face cost far more than its
//    few operations, probably because its loads of the nodes that loop has
//    just stored wait for those stores (256^3 with layers, order 4: 8 %
//    slower than at the row's end);
//  - inlined into the row kernel, the main loops lost registers (256^3
//    with layers, order 8: 8 % slower).
// Node o = k - k0 of a face [k0, k1]: profile values r[o + m*n]; memory
// psi[-o] (low, dir = -1) or psi[o] (high, dir = 1).
template <int MZ, bool Forward, int C, bool Plus>
__attribute__((noinline)) void z_faces(const row_layers& L, int64_t lo, int64_t hi, int64_t full_lo,
                                       int64_t full_hi, int64_t nz, int order,
                                       const float* __restrict f, float* __restrict out) {
  const row_layers::z_face& zl = L.z[0];
  const row_layers::z_face& zh = L.z[1];
  const float* __restrict cs = L.cs;
  const float h = L.dz;
#if defined(__AVX512F__)
  if (zl.n > 0) z_face_vectors<MZ, Forward, Plus, true>(f, out, cs, h, zl.r, zl.psi[C], lo, zl.n, nz);
  if (zh.n > 0) z_face_vectors<MZ, Forward, Plus, false>(f, out, cs, h, zh.r, zh.psi[C], hi - zh.n + 1, zh.n, nz);
#else
  auto face = [&](const row_layers::z_face& z, int64_t k0, int64_t k1, int64_t dir) __attribute__((always_inline)) {
    const float* __restrict r = z.r;
    float* __restrict psi = z.psi[C];
    const int64_t n = z.n;
    k_sweep<MZ, Forward, false>(k0, k1, full_lo, full_hi, nz, order, f, out,
                                [&](int64_t k, float d) __attribute__((always_inline)) {
      const int64_t o = k - k0;
      return layer_correct<Plus>(out[k], cs[k], d, h, r[o], r[n + o], r[2 * n + o],
                                 r[3 * n + o], psi[dir * o]);
    });
  };
  if (zl.n > 0) face(zl, lo, lo + zl.n - 1, -1);
  if (zh.n > 0) face(zh, hi - zh.n + 1, hi, 1);
#endif
}

// k_sweep of the x or y component C (0, 1) of a regular row that carries its
// z layer corrections (LZ, see row_layers); the corrections themselves
// follow at the end of the row (z_faces).
template <int MZ, bool Forward, bool Align, bool LZ, int C, class Value>
__attribute__((always_inline)) inline void k_sweep_z(const row_layers* L, int64_t ahead, int64_t lo,
                                                     int64_t hi, int64_t full_lo, int64_t full_hi,
                                                     int64_t nz, int order, const float* __restrict f,
                                                     float* out, Value value) {
  if constexpr (LZ) {
    const row_layers::z_face& zl = L->z[0];
    const row_layers::z_face& zh = L->z[1];
    // Only the faces read cs and the memories, a line or two per row each,
    // too little for the prefetchers to follow: ask for the lines of the row
    // the sweep takes `rows_ahead` rows later (cs once per row). On AVX-512
    // a face's loads are whole vectors of 16 nodes from its first node (see
    // z_face_vectors), and a masked load still reads every line its vector
    // spans: the low face's vectors reach a line past its last node that
    // nothing else asks for. Left out, that line missed on nearly every row
    // of the E sweep (whose low face starts at node 1, not on a line) and
    // the E rows' first face took 3-4 times as long as the others (order 4,
    // 96^3, 10-cell layers: 4.4 % of the forward's samples against 1.3 %;
    // asked for, the forward there ran 2-6 % faster at orders 4 and 8).
    for (const row_layers::z_face* z : {&zl, &zh}) {
      if (z->n == 0) continue;
      if constexpr (C == 0) {
        const int64_t k0 = z == &zl ? lo : hi - zh.n + 1;
#if defined(__AVX512F__)
        const int64_t span = (z->n + 15) / 16 * 16;
#else
        const int64_t span = z->n;
#endif
        const float* cs = L->cs + ahead * nz + k0;
        prefetch_row(cs, span);
        __builtin_prefetch(cs + span - 1);
      }
      const float* psi = z->psi[C] + ahead * z->psi_stride;
      for (const int64_t o : {-z->n, int64_t{0}, z->n}) __builtin_prefetch(psi + o, 1);
    }
  }
  k_sweep<MZ, Forward, Align>(lo, hi, full_lo, full_hi, nz, order, f, out, value);
}

// The x and y layer corrections of a row, copied to locals so that the loops
// see them as plain values (unset where the row is in no such layer).
struct plane_terms {
  row_layers::plane_term x, y;
};

template <bool LX, bool LY>
inline plane_terms plane_terms_of(const row_layers* L, int b) {
  plane_terms t{};
  if constexpr (LX) t.x = L->x[b];
  if constexpr (LY) t.y = L->y[b];
  return t;
}

// LX, LY: the row lies in an x or y layer and carries those corrections (L,
// see row_layers) inside its loops; LZ: it carries the z ones of the faces
// that are lined.
template <int MX, int MY, int MZ, bool Cubic, bool LX = false, bool LY = false, bool LZ = false,
          bool SmallAlign = false>
void h_row_t(const pass_args& a, const row_layers* L, int64_t s, int64_t i, int64_t j,
             int64_t ahead) {
  const grid_dims& g = a.g;
  const int64_t nz = g.nz, sx = g.plane, sy = g.nz;
  const int64_t node0 = i * g.plane + j * nz;
  const int64_t f0 = s * g.n_nodes + node0;
  const float* __restrict ex = a.e[0] + f0;
  const float* __restrict ey = a.e[1] + f0;
  const float* __restrict ez = a.e[2] + f0;
  float* __restrict hx = a.h[0] + f0;
  float* __restrict hy = a.h[1] + f0;
  float* __restrict hz = a.h[2] + f0;
  const float* __restrict ca = a.c.ca_h + node0;
  const float* __restrict cb = a.c.cb_h + node0;
  const float* __restrict cs = LX || LY || LZ ? L->cs : nullptr;
  const float dx = g.dx, dy = g.dy, dz = g.dz;
  const int order = a.order;
  const bool i_in = i <= g.nx - 2, j_in = j <= g.ny - 2;
  constexpr bool Align = (MZ >= 2 || SmallAlign) && MX == MZ && MY == MZ && !LX && !LY;  // see row_run
  // Forward z stencil of half-width MZ fits for MZ-1 <= k <= nz-1-MZ.
  const int64_t zf_lo = MZ - 1, zf_hi = nz - 1 - MZ;
  // Order 8: the lines of the row the sweep takes `rows_ahead` rows later
  // (`ahead` rows further on in memory) on the newest plane of each x
  // stencil (see rows.hpp).
  if constexpr (MZ == 4) {
    const int64_t o = ahead * sy;
    prefetch_rows(nz, ez + o + MX * sx, ey + o + MX * sx);
  }

  if (i >= 1 && i_in && j_in) {
    const plane_terms lay = plane_terms_of<LX, LY>(L, 0);
    k_sweep_z<MZ, true, Align, LZ, 0>(L, ahead, 0, nz - 2, zf_lo, zf_hi, nz, order, ey, hx,
                            [&](int64_t k, float dzey) __attribute__((always_inline)) {
      const float c = cb[k];
      const float cby = scaled<Cubic>(c, dx, dy), cbz = scaled<Cubic>(c, dx, dz);
      const float dyez = diff_forward_m<MY, false>(ez + k, sy);
      float v = std::fma(cbz, dzey, std::fma(ca[k], hx[k], -(dyez * cby)));
      if constexpr (LY) v = row_layers::plane<false>(v, lay.y, cs[k], dyez, k);
      return v;
    });
  }
  if (i_in && j >= 1 && j_in) {
    const plane_terms lay = plane_terms_of<LX, LY>(L, 1);
    k_sweep_z<MZ, true, Align, LZ, 1>(L, ahead, 0, nz - 2, zf_lo, zf_hi, nz, order, ex, hy,
                            [&](int64_t k, float dzex) __attribute__((always_inline)) {
      const float c = cb[k];
      const float cbz = scaled<Cubic>(c, dx, dz);
      const float dxez = diff_forward_m<MX, false>(ez + k, sx);
      float v = std::fma(c, dxez, std::fma(ca[k], hy[k], -(dzex * cbz)));
      if constexpr (LX) v = row_layers::plane<true>(v, lay.x, cs[k], dxez, k);
      return v;
    });
  }
  if (i_in && j_in) {
    const plane_terms lay = plane_terms_of<LX, LY>(L, 2);
    row_run<Align>(hz, 1, nz - 2, [&](int64_t k) __attribute__((always_inline)) {
      const float c = cb[k];
      const float cby = scaled<Cubic>(c, dx, dy);
      const float dyex = diff_forward_m<MY, false>(ex + k, sy);
      const float dxey = diff_forward_m<MX, false>(ey + k, sx);
      float v = std::fma(cby, dyex, std::fma(ca[k], hz[k], -(dxey * c)));
      if constexpr (LX) v = row_layers::plane<false>(v, lay.x, cs[k], dxey, k);
      if constexpr (LY) v = row_layers::plane<true>(v, lay.y, cs[k], dyex, k);
      return v;
    });
    // The x and y corrections of hz also reach its first and last node.
    if constexpr (LX || LY) {
      for (const int64_t k : {int64_t{0}, nz - 1}) {
        float v = hz[k];
        if constexpr (LX) v = row_layers::plane<false>(v, lay.x, cs[k], diff_forward_m<MX, false>(ey + k, sx), k);
        if constexpr (LY) v = row_layers::plane<true>(v, lay.y, cs[k], diff_forward_m<MY, false>(ex + k, sy), k);
        hz[k] = v;
      }
    }
  }
  if constexpr (LZ) {
    if (i >= 1 && i_in && j_in) z_faces<MZ, true, 0, true>(*L, 0, nz - 2, zf_lo, zf_hi, nz, order, ey, hx);
    if (i_in && j >= 1 && j_in) z_faces<MZ, true, 1, false>(*L, 0, nz - 2, zf_lo, zf_hi, nz, order, ex, hy);
  }
}

template <int MX, int MY, int MZ, bool Cubic, bool LX = false, bool LY = false, bool LZ = false,
          bool SmallAlign = false>
void e_row_t(const pass_args& a, const row_layers* L, int64_t s, int64_t i, int64_t j,
             int64_t ahead) {
  const grid_dims& g = a.g;
  const int64_t nz = g.nz, sx = g.plane, sy = g.nz;
  const int64_t node0 = i * g.plane + j * nz;
  const int64_t f0 = s * g.n_nodes + node0;
  float* __restrict ex = a.e[0] + f0;
  float* __restrict ey = a.e[1] + f0;
  float* __restrict ez = a.e[2] + f0;
  const float* __restrict hx = a.h[0] + f0;
  const float* __restrict hy = a.h[1] + f0;
  const float* __restrict hz = a.h[2] + f0;
  const float* __restrict ca = a.c.ca_e + node0;
  const float* __restrict cb = a.c.cb_e + node0;
  const float* __restrict cs = LX || LY || LZ ? L->cs : nullptr;
  const float dx = g.dx, dy = g.dy, dz = g.dz;
  const int order = a.order;
  const bool i_in = i <= g.nx - 2, j_in = j <= g.ny - 2;
  constexpr bool Align = (MZ >= 2 || SmallAlign) && MX == MZ && MY == MZ && !LX && !LY;  // see row_run
  // Backward z stencil of half-width MZ fits for MZ <= k <= nz-MZ.
  const int64_t zb_lo = MZ, zb_hi = nz - MZ;
  if constexpr (MZ == 4) {  // as in h_row_t, and the newest row of hx's y stencil
    const int64_t o = ahead * sy;
    prefetch_rows(nz, hz + o + (MX - 1) * sx, hy + o + (MX - 1) * sx, hx + o + MY * sy);
  }

  if (i_in && j >= 1 && j_in) {
    const plane_terms lay = plane_terms_of<LX, LY>(L, 0);
    k_sweep_z<MZ, false, Align, LZ, 0>(L, ahead, 1, nz - 2, zb_lo, zb_hi, nz, order, hy, ex,
                            [&](int64_t k, float dzhy) __attribute__((always_inline)) {
      const float c = cb[k];
      const float cby = scaled<Cubic>(c, dx, dy), cbz = scaled<Cubic>(c, dx, dz);
      const float dyhz = diff_backward_m<MY, false>(hz + k, sy);
      float v = std::fma(-cbz, dzhy, std::fma(ca[k], ex[k], cby * dyhz));
      if constexpr (LY) v = row_layers::plane<true>(v, lay.y, cs[k], dyhz, k);
      return v;
    });
    if constexpr (LY) {
      for (const int64_t k : {int64_t{0}, nz - 1})
        ex[k] = row_layers::plane<true>(ex[k], lay.y, cs[k], diff_backward_m<MY, false>(hz + k, sy), k);
    }
  }
  if (i >= 1 && i_in && j_in) {
    const plane_terms lay = plane_terms_of<LX, LY>(L, 1);
    k_sweep_z<MZ, false, Align, LZ, 1>(L, ahead, 1, nz - 2, zb_lo, zb_hi, nz, order, hx, ey,
                            [&](int64_t k, float dzhx) __attribute__((always_inline)) {
      const float c = cb[k];
      const float cbz = scaled<Cubic>(c, dx, dz);
      const float dxhz = diff_backward_m<MX, false>(hz + k, sx);
      float v = std::fma(-c, dxhz, std::fma(ca[k], ey[k], cbz * dzhx));
      if constexpr (LX) v = row_layers::plane<false>(v, lay.x, cs[k], dxhz, k);
      return v;
    });
    if constexpr (LX) {
      for (const int64_t k : {int64_t{0}, nz - 1})
        ey[k] = row_layers::plane<false>(ey[k], lay.x, cs[k], diff_backward_m<MX, false>(hz + k, sx), k);
    }
  }
  if (i >= 1 && i_in && j >= 1 && j_in) {
    const plane_terms lay = plane_terms_of<LX, LY>(L, 2);
    row_run<Align>(ez, 0, nz - 2, [&](int64_t k) __attribute__((always_inline)) {
      const float c = cb[k];
      const float cby = scaled<Cubic>(c, dx, dy);
      const float dxhy = diff_backward_m<MX, false>(hy + k, sx);
      const float dyhx = diff_backward_m<MY, false>(hx + k, sy);
      float v = std::fma(-cby, dyhx, std::fma(ca[k], ez[k], c * dxhy));
      if constexpr (LX) v = row_layers::plane<true>(v, lay.x, cs[k], dxhy, k);
      if constexpr (LY) v = row_layers::plane<false>(v, lay.y, cs[k], dyhx, k);
      return v;
    });
  }
  if constexpr (LZ) {
    if (i_in && j >= 1 && j_in) z_faces<MZ, false, 0, false>(*L, 1, nz - 2, zb_lo, zb_hi, nz, order, hy, ex);
    if (i >= 1 && i_in && j_in) z_faces<MZ, false, 1, true>(*L, 1, nz - 2, zb_lo, zb_hi, nz, order, hx, ey);
  }
}

using row_fn = void (*)(const pass_args&, const row_layers*, int64_t, int64_t, int64_t, int64_t);

template <int MX, int MY, int MZ, bool Cubic>
struct h_kernel {
  static constexpr row_fn fn = &h_row_t<MX, MY, MZ, Cubic>;
};
template <int MX, int MY, int MZ, bool Cubic>
struct e_kernel {
  static constexpr row_fn fn = &e_row_t<MX, MY, MZ, Cubic>;
};

// Row kernel for the row's x and y half-widths (entry [mx-1][my-1]) under the
// nominal z half-width MZ.
template <template <int, int, int, bool> class K, int MZ, bool Cubic>
row_fn pick(int mx, int my) {
  // Reduced half-widths never exceed the nominal one.
  if constexpr (MZ == 1) {
    return K<1, 1, 1, Cubic>::fn;
  } else if constexpr (MZ == 2) {
    static constexpr row_fn t[2][2] = {{K<1, 1, 2, Cubic>::fn, K<1, 2, 2, Cubic>::fn},
                                       {K<2, 1, 2, Cubic>::fn, K<2, 2, 2, Cubic>::fn}};
    return t[mx - 1][my - 1];
  } else {
    static constexpr row_fn t[4][4] = {
        {K<1, 1, 4, Cubic>::fn, K<1, 2, 4, Cubic>::fn, K<1, 3, 4, Cubic>::fn, K<1, 4, 4, Cubic>::fn},
        {K<2, 1, 4, Cubic>::fn, K<2, 2, 4, Cubic>::fn, K<2, 3, 4, Cubic>::fn, K<2, 4, 4, Cubic>::fn},
        {K<3, 1, 4, Cubic>::fn, K<3, 2, 4, Cubic>::fn, K<3, 3, 4, Cubic>::fn, K<3, 4, 4, Cubic>::fn},
        {K<4, 1, 4, Cubic>::fn, K<4, 2, 4, Cubic>::fn, K<4, 3, 4, Cubic>::fn, K<4, 4, 4, Cubic>::fn}};
    return t[mx - 1][my - 1];
  }
}

template <template <int, int, int, bool> class K>
row_fn pick_any(int order, bool cubic, int mx, int my) {
  const int M = kernels::half_width(order);
  if (M == 1) return cubic ? pick<K, 1, true>(mx, my) : pick<K, 1, false>(mx, my);
  if (M == 2) return cubic ? pick<K, 2, true>(mx, my) : pick<K, 2, false>(mx, my);
  return cubic ? pick<K, 4, true>(mx, my) : pick<K, 4, false>(mx, my);
}

// Kernels of regular rows (the nominal half-width M on every axis), entry
// [in_x][in_y]: with their x and y layer corrections inside the loops, and
// their z ones at the row's end (see layered_row).
template <bool ESide, int M, bool Cubic>
row_fn pick_layered(bool in_x, bool in_y) {
  constexpr bool Z = true;  // the z faces (z_faces)
  static constexpr row_fn h[2][2] = {
      {&h_row_t<M, M, M, Cubic, false, false, Z>, &h_row_t<M, M, M, Cubic, false, true, Z>},
      {&h_row_t<M, M, M, Cubic, true, false, Z>, &h_row_t<M, M, M, Cubic, true, true, Z>}};
  static constexpr row_fn e[2][2] = {
      {&e_row_t<M, M, M, Cubic, false, false, Z>, &e_row_t<M, M, M, Cubic, false, true, Z>},
      {&e_row_t<M, M, M, Cubic, true, false, Z>, &e_row_t<M, M, M, Cubic, true, true, Z>}};
  return ESide ? e[in_x][in_y] : h[in_x][in_y];
}

template <bool ESide>
row_fn pick_layered_any(int order, bool cubic, bool in_x, bool in_y) {
  const int M = kernels::half_width(order);
  if (M == 1) return cubic ? pick_layered<ESide, 1, true>(in_x, in_y) : pick_layered<ESide, 1, false>(in_x, in_y);
  if (M == 2) return cubic ? pick_layered<ESide, 2, true>(in_x, in_y) : pick_layered<ESide, 2, false>(in_x, in_y);
  return cubic ? pick_layered<ESide, 4, true>(in_x, in_y) : pick_layered<ESide, 4, false>(in_x, in_y);
}

inline bool cubic_grid(const grid_dims& g) { return g.dy == g.dx && g.dz == g.dx; }

// Whether the order-2 rows without layers run aligned (see row_run): where
// the fields of every shot and the coefficients take at most 64 MiB. On an
// AMD EPYC (Zen 5, 1 MB L2), one shot, aligned rows measured 31-33 % faster
// on 64^3 (24 % with binary16 snapshots), 24 % on 80^3 and 0-5 % on 96^3
// (42 MiB); four shots 13-27 % on 48^3 and 64^3 and 5 % on 80^3 (61 MiB).
// Beyond that they lost: 10 % on 96^3 with four shots (106 MiB), 8-15 % on
// 128^3 and 160^3 and 4 % on 256^3, where the rows wait on memory rather
// than on the split vectors.
inline bool small_aligned_rows(const pass_args& a) {
  if (kernels::half_width(a.order) != 1) return false;
  if (const int forced = forced_aligned_order2(); forced >= 0) return forced == 1;
  const int64_t bytes = (int64_t{6} * a.n_shots + 6) * a.g.n_nodes * int64_t{sizeof(float)};
  return bytes <= (int64_t{64} << 20);
}

// The order-2 kernels of those rows.
template <bool HSide>
row_fn small_aligned(bool cubic) {
  if constexpr (HSide)
    return cubic ? &h_row_t<1, 1, 1, true, false, false, false, true>
                 : &h_row_t<1, 1, 1, false, false, false, false, true>;
  else
    return cubic ? &e_row_t<1, 1, 1, true, false, false, false, true>
                 : &e_row_t<1, 1, 1, false, false, false, false, true>;
}

void h_row(const pass_args& a, int64_t s, int64_t i, int64_t j, int64_t ahead) {
  if (small_aligned_rows(a))
    return small_aligned<true>(cubic_grid(a.g))(a, nullptr, s, i, j, ahead);
  const int mx = fit_forward(a.order, i, a.g.nx);
  const int my = fit_forward(a.order, j, a.g.ny);
  pick_any<h_kernel>(a.order, cubic_grid(a.g), mx, my)(a, nullptr, s, i, j, ahead);
}

void e_row(const pass_args& a, int64_t s, int64_t i, int64_t j, int64_t ahead) {
  if (small_aligned_rows(a))
    return small_aligned<false>(cubic_grid(a.g))(a, nullptr, s, i, j, ahead);
  const int mx = fit_backward(a.order, i, a.g.nx);
  const int my = fit_backward(a.order, j, a.g.ny);
  pick_any<e_kernel>(a.order, cubic_grid(a.g), mx, my)(a, nullptr, s, i, j, ahead);
}

}  // namespace
}  // namespace norvane::forward::NORVANE_ISA_NS
