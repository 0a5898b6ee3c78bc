// Phases D and F as ordered gathers. Each layer term of a source node
// scatters (1/h)(sign*a*c*(r0 - 1) - r3*q_old) through the transposed
// difference along its face normal; a scatter sweep in increasing node
// order, faces xlo .. zhi within a node, adds these in one fixed order. Here
// every target row is owned by one thread, which adds the same contributions
// in the same order:
//   outer-axis sources behind, inner-axis sources behind,
//   the target node's own terms (outer-axis faces, then inner-axis faces),
//   inner-axis sources ahead, outer-axis sources ahead,
// low face before high face wherever a node lies in both. The memories are
// read unchanged by every gather and advanced afterwards, after a barrier:
//   q <- sign*a*c*r1 + r2*q.
// The result is the one-thread scatter's, bit for bit, for any thread count.
#include "lib/adjoint/layers_adjoint.hpp"

#include <algorithm>
#include <cmath>

#include "lib/forward/rows.hpp"
#include "lib/kernels/staggered_diff.hpp"

namespace norvane::adjoint::NORVANE_ISA_NS {
namespace {

using forward::layer_face_desc;
using forward::layer_table;
using forward::layer_term;

struct layer_ctx {
  const pass_args& a;
  const layer_table& t;
  bool e_side;           // phase D (transposed backward differences) or F
  float* const* read;    // adjoint of the corrected components
  float* const* into;    // adjoint of the differenced components (gathered)
  const float* K;        // cs_e or cs_h
  float inv_h[3];
};

// Half-width the source's difference uses, and whether (and with which
// coefficient and sign) it reaches the target offset o = q_target - q_source.
inline bool layer_reach(const layer_ctx& c, int64_t qs, int64_t o, int64_t len, float& coef,
                        bool& gain, bool& bare) {
  int m, idx;
  if (c.e_side) {
    m = kernels::fit_backward(c.a.order, qs, len);
    if (o >= 0 && o <= m - 1) {
      gain = true;
      idx = int(o);
    } else if (o <= -1 && o >= -m) {
      gain = false;
      idx = int(-o - 1);
    } else {
      return false;
    }
  } else {
    m = kernels::fit_forward(c.a.order, qs, len);
    if (o >= 1 && o <= m) {
      gain = true;
      idx = int(o - 1);
    } else if (o <= 0 && o >= 1 - m) {
      gain = false;
      idx = int(-o);
    } else {
      return false;
    }
  }
  bare = m == 1;
  coef = kernels::stencil_coeffs::c[m - 1][idx];
  return true;
}

// The term of face f that differences component `comp`, or null.
inline const layer_term* term_into(const layer_face_desc& d, int comp) {
  if (d.w == 0) return nullptr;
  if (d.term[0].source == comp) return &d.term[0];
  if (d.term[1].source == comp) return &d.term[1];
  return nullptr;
}

struct term_values {
  float r0m1, r1, r2, r3, inv_h, coef;
  bool negative, gain, bare;
};

template <bool Gain, bool Bare, bool Negative>
void xy_loop(float* __restrict row, const float* __restrict a, const float* __restrict K,
             const float* __restrict psi, int64_t k0, int64_t k1, const term_values& v) {
#pragma omp simd
  for (int64_t k = k0; k <= k1; ++k) {
    const float sa = Negative ? -a[k] : a[k];
    const float t1 = K[k] * v.r0m1;
    const float t2 = -(psi[k] * v.r3);
    const float val = v.inv_h * std::fma(sa, t1, t2);
    const float p = Bare ? val : val * v.coef;
    row[k] = Gain ? row[k] + p : row[k] - p;
  }
}

void xy_dispatch(float* row, const float* a, const float* K, const float* psi, int64_t k0,
                 int64_t k1, const term_values& v) {
  const int key = (v.gain ? 4 : 0) | (v.bare ? 2 : 0) | (v.negative ? 1 : 0);
  switch (key) {
    case 0: return xy_loop<false, false, false>(row, a, K, psi, k0, k1, v);
    case 1: return xy_loop<false, false, true>(row, a, K, psi, k0, k1, v);
    case 2: return xy_loop<false, true, false>(row, a, K, psi, k0, k1, v);
    case 3: return xy_loop<false, true, true>(row, a, K, psi, k0, k1, v);
    case 4: return xy_loop<true, false, false>(row, a, K, psi, k0, k1, v);
    case 5: return xy_loop<true, false, true>(row, a, K, psi, k0, k1, v);
    case 6: return xy_loop<true, true, false>(row, a, K, psi, k0, k1, v);
    default: return xy_loop<true, true, true>(row, a, K, psi, k0, k1, v);
  }
}

// Contribution of face f's term for component `comp` from the source row
// displaced by d along the face normal (an x or y face).
void xy_source(const layer_ctx& c, int f, int comp, int d, float* row, int64_t s, int64_t i,
               int64_t j) {
  const layer_face_desc& fd = c.t.face[f];
  const layer_term* term = term_into(fd, comp);
  if (!term) return;
  const grid_dims& g = c.a.g;
  int64_t src[3] = {i, j, 0};
  const int64_t qt = src[fd.axis], qs = qt + d;
  if (qs < fd.q_lo || qs > fd.q_hi) return;
  src[fd.axis] = qs;
  const int ca = term->cond_axis;
  if (ca < 2 && src[ca] > g.extent(ca) - 2) return;
  term_values v;
  if (!layer_reach(c, qs, -int64_t(d), fd.n, v.coef, v.gain, v.bare)) return;
  const int64_t p = fd.position(qs, c.e_side);
  v.r0m1 = fd.prof[p] - 1.0f;
  v.r1 = fd.prof[fd.w + p];
  v.r2 = fd.prof[2 * fd.w + p];
  v.r3 = fd.prof[3 * fd.w + p];
  v.inv_h = c.inv_h[fd.axis];
  v.negative = term->sign < 0;
  const int64_t node = (src[0] * g.ny + src[1]) * g.nz;
  const int64_t k1 = ca == 2 ? g.nz - 2 : g.nz - 1;
  xy_dispatch(row, c.read[term->target] + s * g.n_nodes + node, c.K + node,
              term->psi + forward::memory_index(*term, fd.axis, s, src, p), 0, k1, v);
}

// Contributions of the z faces' terms from the sources ks of the same row
// whose displacement d = ks - kt lies in [d0, d1]. For one target, sources
// are met in increasing ks (that is increasing d), the low face before the
// high one at a shared node, which is the serial order; each source's value
// is formed once and spread over the targets it reaches.
void z_group(const layer_ctx& c, int comp, int d0, int d1, float* row, int64_t s, int64_t i,
             int64_t j) {
  const grid_dims& g = c.a.g;
  const layer_face_desc* faces[2] = {&c.t.face[4], &c.t.face[5]};
  const layer_term* terms[2] = {term_into(*faces[0], comp), term_into(*faces[1], comp)};
  const int64_t pos[3] = {i, j, 0};
  int64_t ks_lo = g.nz, ks_hi = -1;
  for (int h = 0; h < 2; ++h) {
    const layer_term* term = terms[h];
    if (!term || pos[term->cond_axis] > g.extent(term->cond_axis) - 2) {
      terms[h] = nullptr;
      continue;
    }
    ks_lo = std::min(ks_lo, faces[h]->q_lo);
    ks_hi = std::max(ks_hi, faces[h]->q_hi);
  }
  if (ks_lo > ks_hi) return;
  const int64_t node = (i * g.ny + j) * g.nz;
  const float inv_h = c.inv_h[2];
  auto visit = [&](int64_t ks, int h) {
      const layer_term* term = terms[h];
      const layer_face_desc& fd = *faces[h];
      if (!term || ks < fd.q_lo || ks > fd.q_hi) return;
      const float* a = c.read[term->target] + s * g.n_nodes + node;
      const float* psi = term->psi + forward::memory_index(*term, 2, s, pos, 0);
      const int64_t p = fd.position(ks, c.e_side);
      const float sa = term->sign < 0 ? -a[ks] : a[ks];
      const float t1 = c.K[node + ks] * (fd.prof[p] - 1.0f);
      const float t2 = -(psi[p] * fd.prof[3 * fd.w + p]);
      const float val = inv_h * std::fma(sa, t1, t2);
      // The stencil of this source: offsets o = kt - ks with their
      // coefficients; only displacements d = -o in [d0, d1] belong here.
      const int m = c.e_side ? kernels::fit_backward(c.a.order, ks, fd.n)
                             : kernels::fit_forward(c.a.order, ks, fd.n);
      const float* cm = kernels::stencil_coeffs::c[m - 1];
      const int o_lo = c.e_side ? -m : 1 - m, o_hi = c.e_side ? m - 1 : m;
      for (int o = o_lo; o <= o_hi; ++o) {
        const int64_t kt = ks + o;
        if (-o < d0 || -o > d1 || kt < 0 || kt >= g.nz) continue;
        const bool gain = c.e_side ? o >= 0 : o >= 1;
        const int idx = c.e_side ? (o >= 0 ? o : -o - 1) : (o >= 1 ? o - 1 : -o);
        const float pc = m == 1 ? val : val * cm[idx];
        row[kt] = gain ? row[kt] + pc : row[kt] - pc;
      }
  };
  // Increasing ks, the low face first at a node in both; when the two
  // layers do not meet, each is walked over its own range only.
  const bool both = terms[0] && terms[1];
  if (both && faces[0]->q_hi >= faces[1]->q_lo) {
    for (int64_t ks = ks_lo; ks <= ks_hi; ++ks) visit(ks, 0), visit(ks, 1);
    return;
  }
  for (int h = 0; h < 2; ++h)
    if (terms[h])
      for (int64_t ks = faces[h]->q_lo; ks <= faces[h]->q_hi; ++ks) visit(ks, h);
}

void source_faces(const layer_ctx& c, int axis, int comp, int d, float* row, int64_t s,
                  int64_t i, int64_t j) {
  if (axis == 2) return z_group(c, comp, d, d, row, s, i, j);
  xy_source(c, 2 * axis, comp, d, row, s, i, j);
  xy_source(c, 2 * axis + 1, comp, d, row, s, i, j);
}

void gather_row(const layer_ctx& c, int comp, float* row, int64_t s, int64_t i, int64_t j) {
  const int outer = comp == 0 ? 1 : 0;
  const int inner = comp == 2 ? 1 : 2;
  const int lo = c.e_side ? -3 : -4, hi = c.e_side ? 4 : 3;
  for (int d = lo; d <= -1; ++d) source_faces(c, outer, comp, d, row, s, i, j);
  if (inner == 2) {
    z_group(c, comp, lo, -1, row, s, i, j);
    source_faces(c, outer, comp, 0, row, s, i, j);
    z_group(c, comp, 0, 0, row, s, i, j);
    z_group(c, comp, 1, hi, row, s, i, j);
  } else {
    for (int d = lo; d <= -1; ++d) source_faces(c, inner, comp, d, row, s, i, j);
    source_faces(c, outer, comp, 0, row, s, i, j);
    source_faces(c, inner, comp, 0, row, s, i, j);
    for (int d = 1; d <= hi; ++d) source_faces(c, inner, comp, d, row, s, i, j);
  }
  for (int d = 1; d <= hi; ++d) source_faces(c, outer, comp, d, row, s, i, j);
}

// Memory advance of every term of every face holding the row's nodes.
void advance_memories(const layer_ctx& c, int64_t s, int64_t i, int64_t j) {
  const grid_dims& g = c.a.g;
  const int64_t pos[3] = {i, j, 0};
  const int64_t node = (i * g.ny + j) * g.nz;
  const float* K = c.K + node;
  for (int f = 0; f < 6; ++f) {
    const layer_face_desc& fd = c.t.face[f];
    if (fd.w == 0) continue;
    for (const layer_term& term : fd.term) {
      const int ca = term.cond_axis;
      if (ca < 2 && pos[ca] > g.extent(ca) - 2) continue;
      const float* a = c.read[term.target] + s * g.n_nodes + node;
      const bool neg = term.sign < 0;
      if (fd.axis < 2) {
        const int64_t q = pos[fd.axis];
        if (q < fd.q_lo || q > fd.q_hi) continue;
        const int64_t p = fd.position(q, c.e_side);
        const float r1 = fd.prof[fd.w + p], r2 = fd.prof[2 * fd.w + p];
        float* __restrict psi = term.psi + forward::memory_index(term, fd.axis, s, pos, p);
        const int64_t k1 = ca == 2 ? g.nz - 2 : g.nz - 1;
#pragma omp simd
        for (int64_t k = 0; k <= k1; ++k) {
          const float sa = neg ? -a[k] : a[k];
          psi[k] = std::fma(sa, K[k] * r1, r2 * psi[k]);
        }
      } else {
        float* psi = term.psi + forward::memory_index(term, 2, s, pos, 0);
        for (int64_t k = fd.q_lo; k <= fd.q_hi; ++k) {
          const int64_t p = fd.position(k, c.e_side);
          const float sa = neg ? -a[k] : a[k];
          psi[p] = std::fma(sa, K[k] * fd.prof[fd.w + p], fd.prof[2 * fd.w + p] * psi[p]);
        }
      }
    }
  }
}

void run_side(const pass_args& a, const layer_table& t, bool e_side) {
  const layer_ctx c{a,
                    t,
                    e_side,
                    e_side ? a.e : a.h,
                    e_side ? a.h : a.e,
                    e_side ? a.c.cs_e : a.c.cs_h,
                    {1.0f / a.g.dx, 1.0f / a.g.dy, 1.0f / a.g.dz}};
  const grid_dims& g = a.g;
  forward::for_each_row(a, [&](int64_t s, int64_t i, int64_t j) {
    const int64_t base = s * g.n_nodes + (i * g.ny + j) * g.nz;
    for (int comp = 0; comp < 3; ++comp) gather_row(c, comp, c.into[comp] + base, s, i, j);
  });
  forward::for_each_row(a, [&](int64_t s, int64_t i, int64_t j) { advance_memories(c, s, i, j); });
}

}  // namespace

void e_layers_adjoint(const pass_args& a, const layer_table& t) { run_side(a, t, true); }
void h_layers_adjoint(const pass_args& a, const layer_table& t) { run_side(a, t, false); }

}  // namespace norvane::adjoint::NORVANE_ISA_NS
