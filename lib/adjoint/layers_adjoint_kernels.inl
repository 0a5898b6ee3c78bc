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
// read unchanged by every gather and advanced afterwards,
//   q <- sign*a*c*r1 + r2*q:
// the x- and y-face ones, which neighbouring rows read, after a barrier;
// the z-face ones, which only their own row reads, right after it has.
// The result is the one-thread scatter's, bit for bit, for any thread count.
//
// A contribution is p = v * w with v = inv_h * fma(a, K*(sign*(r0 - 1)), q*(-r3))
// and w the signed stencil weight, +-c (+-1 at half-width 1, where v*1 = v):
// negating one factor of a product negates the rounded result exactly, so
// t + p is the scatter's t + c*v or t - c*v. The x and y sources of a row are
// whole rows; their contributions are accumulated in registers, four at a
// time, in one pass over k. The z sources cover a few nodes at each row end,
// where the weight varies with the node (the stencil narrows at the axis
// ends): per displacement d = k_source - k_target a table gives w over the
// end range and a mask of the targets the source reaches (the others keep
// their value untouched), and v is formed once per source. A row's k range
// is cut where the z sources stop reaching, widened to whole 16-node blocks:
// the middle takes the x and y terms in one pass, each end the ordered
// sequence behind / z behind / own / z ahead / ahead.
#include "lib/adjoint/layers_adjoint.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "lib/adjoint/layer_plan.hpp"
#include "lib/forward/rows.hpp"
#include "lib/kernels/staggered_diff.hpp"

namespace norvane::adjoint::NORVANE_ISA_NS {
namespace {

using forward::layer_face_desc;
using forward::layer_term;

// The term of face f that differences component `comp`, or null.
inline const layer_term* term_into(const layer_face_desc& d, int comp) {
  if (d.w == 0) return nullptr;
  if (d.term[0].source == comp) return &d.term[0];
  if (d.term[1].source == comp) return &d.term[1];
  return nullptr;
}

// Whether the node row (i, j) carries the term (its coordinate along the
// term's tangential condition axis is at most n-2; the z condition is the
// row's last node, handled by the term's k range).
inline bool row_carries(const grid_dims& g, const layer_term& term, int64_t i, int64_t j) {
  const int ca = term.cond_axis;
  return ca == 2 || (ca == 0 ? i : j) <= g.extent(ca) - 2;
}

// A source row's contribution to the target row, p = v * w over k <= k1.
struct row_term {
  const float* a;
  const float* K;
  const float* psi;
  float r0m1, nr3, inv_h, w;
  int64_t k1;
};

// N terms in order, accumulated in registers over k in [k0, k1).
template <int N>
void add_terms_n(const row_term* t, float* __restrict row, int64_t k0, int64_t k1) {
  const float* __restrict a[N];
  const float* __restrict K[N];
  const float* __restrict psi[N];
  float r0m1[N], nr3[N], inv_h[N], w[N];
  for (int n = 0; n < N; ++n) {
    a[n] = t[n].a, K[n] = t[n].K, psi[n] = t[n].psi;
    r0m1[n] = t[n].r0m1, nr3[n] = t[n].nr3, inv_h[n] = t[n].inv_h, w[n] = t[n].w;
  }
#pragma omp simd
  for (int64_t k = k0; k < k1; ++k) {
    float acc = row[k];
#pragma GCC unroll 4
    for (int n = 0; n < N; ++n) {
      const float t1 = K[n][k] * r0m1[n];
      const float t2 = psi[n][k] * nr3[n];
      const float v = inv_h[n] * std::fma(a[n][k], t1, t2);
      acc = acc + v * w[n];
    }
    row[k] = acc;
  }
}

// Terms in order over k in [k0, k1), each up to its own last node: the
// nodes that all terms reach in one pass, the rest (at most the row's last
// node) term by term.
void add_terms(const row_term* t, int n, float* row, int64_t k0, int64_t k1) {
  int64_t kv = k1;
  for (int b = 0; b < n; ++b) kv = std::min(kv, t[b].k1 + 1);
  for (int b = 0; b < n && k0 < kv; b += 4) {
    switch (std::min(n - b, 4)) {
      case 1: add_terms_n<1>(t + b, row, k0, kv); break;
      case 2: add_terms_n<2>(t + b, row, k0, kv); break;
      case 3: add_terms_n<3>(t + b, row, k0, kv); break;
      default: add_terms_n<4>(t + b, row, k0, kv); break;
    }
  }
  for (int64_t k = std::max(k0, kv); k < k1; ++k)
    for (int b = 0; b < n; ++b)
      if (t[b].k1 >= k) add_terms_n<1>(t + b, row, k, k + 1);
}

NORVANE_CELL uint32_t bits_of(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

NORVANE_CELL float float_of(uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

// N slots in order over the end range [k0, k1), accumulated in registers.
// Every lane forms its sum and the mask picks it or the old value: a plain
// condition would let the compiler move the loads under it, and loads it
// cannot prove safe keep a loop scalar.
template <int N>
void add_slots_n(const side_plan& P, int comp, const z_slot* z, float* __restrict row, int64_t k0,
                 int64_t k1) {
  const float* __restrict v[N];
  const float* __restrict w[N];
  const uint32_t* __restrict keep[N];
  for (int n = 0; n < N; ++n)
    v[n] = P.v[comp][z[n].h] + (P.M + k0 + z[n].d), w[n] = z[n].w, keep[n] = z[n].keep;
  float* __restrict r = row + k0;
#pragma omp simd
  for (int64_t x = 0; x < k1 - k0; ++x) {
    float acc = r[x];
#pragma GCC unroll 4
    for (int n = 0; n < N; ++n) {
      const float sum = acc + v[n][x] * w[n][x];
      acc = float_of((bits_of(sum) & keep[n][x]) | (bits_of(acc) & ~keep[n][x]));
    }
    r[x] = acc;
  }
}

void add_slots(const side_plan& P, int comp, const z_slot* z, int n, float* row, int64_t k0,
               int64_t k1) {
  for (int b = 0; b < n; b += 4) {
    switch (std::min(n - b, 4)) {
      case 1: add_slots_n<1>(P, comp, z + b, row, k0, k1); break;
      case 2: add_slots_n<2>(P, comp, z + b, row, k0, k1); break;
      case 3: add_slots_n<3>(P, comp, z + b, row, k0, k1); break;
      default: add_slots_n<4>(P, comp, z + b, row, k0, k1); break;
    }
  }
}

// Source values of one z face along the row, and the advance of its
// memories; the profile position runs with k, upwards on the high face
// (Dp = 1) and downwards on the low one. A z-face memory is read by its own
// row alone, so it can advance as soon as its source values are formed.
template <int Dp>
void z_values_face(float* __restrict v, const float* __restrict a, const float* __restrict K,
                   float* __restrict psi, const side_plan& P, int h, bool neg, int64_t n) {
  const float* __restrict r0m1 = P.r0m1[h];
  const float* __restrict nr3 = P.nr3[h];
  const float* __restrict r1 = P.r1[h];
  const float* __restrict r2 = P.r2[h];
  const float inv_h = P.inv_h[2];
#pragma omp simd
  for (int64_t x = 0; x < n; ++x) {
    const float r = neg ? -r0m1[x] : r0m1[x];
    const float q = psi[Dp * x];
    v[x] = inv_h * std::fma(a[x], K[x] * r, q * nr3[x]);
    const float r1s = neg ? -r1[x] : r1[x];
    psi[Dp * x] = std::fma(a[x], K[x] * r1s, r2[x] * q);
  }
}

// Source values of the row's z-face terms for component `comp`, with their
// memories advanced; false when the row has none. Both z faces' terms share
// their condition axis, so a row carries both or neither.
bool z_values(const side_plan& P, int comp, int64_t s, int64_t i, int64_t j) {
  if (comp == 2 || P.n_ranges == 0) return false;
  const grid_dims& g = P.a.g;
  const int64_t pos[3] = {i, j, 0};
  const int64_t node = (i * g.ny + j) * g.nz;
  bool any = false;
  for (int h = 0; h < 2; ++h) {
    const layer_face_desc& fd = P.t.face[4 + h];
    const layer_term* term = term_into(fd, comp);
    const int64_t n = face_nodes(fd);
    if (!term || n == 0 || !row_carries(g, *term, i, j)) continue;
    any = true;
    const float* a = P.read[term->target] + s * g.n_nodes + node + fd.q_lo;
    float* psi = term->psi + forward::memory_index(*term, 2, s, pos, 0) +
                 fd.position(fd.q_lo, P.e_side);
    float* v = P.v[comp][h] + P.M + fd.q_lo;
    const bool neg = term->sign < 0;
    if (fd.high)
      z_values_face<1>(v, a, P.K + node + fd.q_lo, psi, P, h, neg, n);
    else
      z_values_face<-1>(v, a, P.K + node + fd.q_lo, psi, P, h, neg, n);
  }
  return any;
}

// The row terms of entries [e, e + n) for component `comp`, appended to out.
int resolve(const side_plan& P, int axis, const xy_entry* e, int n, int comp, int64_t s,
            int64_t i, int64_t j, row_term* out) {
  const grid_dims& g = P.a.g;
  int count = 0;
  for (int x = 0; x < n; ++x) {
    const layer_face_desc& fd = P.t.face[e[x].f];
    const layer_term* term = term_into(fd, comp);
    if (!term || !row_carries(g, *term, i, j)) continue;
    int64_t src[3] = {i, j, 0};
    src[axis] = e[x].qs;
    const int64_t node = (src[0] * g.ny + src[1]) * g.nz;
    // Member by member: built whole, the struct went through the stack in
    // pieces and was read back in one load that waited on them.
    row_term& o = out[count++];
    o.a = P.read[term->target] + s * g.n_nodes + node;
    o.K = P.K + node;
    o.psi = term->psi + forward::memory_index(*term, axis, s, src, e[x].p);
    o.r0m1 = term->sign < 0 ? -e[x].r0m1 : e[x].r0m1;
    o.nr3 = e[x].nr3;
    o.inv_h = P.inv_h[axis];
    o.w = e[x].w;
    o.k1 = term->cond_axis == 2 ? g.nz - 2 : g.nz - 1;
  }
  return count;
}

struct row_entries {
  const xy_entry* e;
  int n, n_behind, n_own;
};

// Component `comp` of the row: its x and y terms split into behind, own and
// ahead groups, then the middle of the row in one ordered pass and the ends
// with the z passes in between (when z_on: its z source values are formed).
void gather_row(const side_plan& P, int comp, const row_entries (&xy)[2], bool z_on, int64_t s,
                int64_t i, int64_t j) {
  const grid_dims& g = P.a.g;
  const int64_t nz = g.nz;
  float* row = P.into[comp] + s * g.n_nodes + (i * g.ny + j) * nz;
  row_term t[32];
  int n = 0;
  // part 0: sources behind the row, 1: at the row, 2: ahead.
  auto add = [&](int axis, int part) {
    const row_entries& r = xy[axis];
    const int from = part == 0 ? 0 : (part == 1 ? r.n_behind : r.n_behind + r.n_own);
    const int count = part == 0 ? r.n_behind : (part == 1 ? r.n_own : r.n - from);
    n += resolve(P, axis, r.e + from, count, comp, s, i, j, t + n);
  };
  if (comp == 2) {  // outer x, inner y, no z term
    add(0, 0), add(1, 0), add(0, 1), add(1, 1), add(1, 2), add(0, 2);
    if (n > 0) add_terms(t, n, row, 0, nz);
    return;
  }
  const int outer = comp == 0 ? 1 : 0;
  add(outer, 0);
  const int n_behind = n;
  add(outer, 1);
  const int n_own = n - n_behind;
  add(outer, 2);
  if (!z_on) {
    if (n > 0) add_terms(t, n, row, 0, nz);
    return;
  }
  add_terms(t, n, row, P.k_a, P.k_b);
  for (int r = 0; r < P.n_ranges; ++r) {
    const z_range& e = P.range[r];
    const z_slot* z = P.slot + e.first;
    add_terms(t, n_behind, row, e.k0, e.k1);
    if (n_own == 0) {  // the z slots behind and ahead meet: one sequence
      add_slots(P, comp, z, e.n, row, e.k0, e.k1);
    } else {
      add_slots(P, comp, z, e.n_behind, row, e.k0, e.k1);
      add_terms(t + n_behind, n_own, row, e.k0, e.k1);
      add_slots(P, comp, z + e.n_behind, e.n - e.n_behind, row, e.k0, e.k1);
    }
    add_terms(t + n_behind + n_own, n - n_behind - n_own, row, e.k0, e.k1);
  }
}

// Memory advance of the x- and y-face terms holding the row's nodes (the
// z faces advance with their source values).
void advance_memories(const side_plan& P, int64_t s, int64_t i, int64_t j) {
  const grid_dims& g = P.a.g;
  const int64_t pos[3] = {i, j, 0};
  const int64_t node = (i * g.ny + j) * g.nz;
  for (int f = 0; f < 4; ++f) {
    const layer_face_desc& fd = P.t.face[f];
    if (fd.w == 0 || pos[fd.axis] < fd.q_lo || pos[fd.axis] > fd.q_hi) continue;
    for (const layer_term& term : fd.term) {
      if (!row_carries(g, term, i, j)) continue;
      const float* __restrict a = P.read[term.target] + s * g.n_nodes + node;
      const float* __restrict K = P.K + node;
      const bool neg = term.sign < 0;
      const int64_t p = fd.position(pos[fd.axis], P.e_side);
      const float r1 = neg ? -fd.prof[fd.w + p] : fd.prof[fd.w + p], r2 = fd.prof[2 * fd.w + p];
      float* __restrict psi = term.psi + forward::memory_index(term, fd.axis, s, pos, p);
      const int64_t k1 = term.cond_axis == 2 ? g.nz - 2 : g.nz - 1;
#pragma omp simd
      for (int64_t k = 0; k <= k1; ++k) psi[k] = std::fma(a[k], K[k] * r1, r2 * psi[k]);
    }
  }
}

// Phase D then E (e_side) or F then G, row by row: the row's owed
// rescaling and its layer terms here, then its curl transpose; the x- and
// y-face memories advance once every row has read them. (Each row's advance
// could also ride on the other side's next sweep, just before that sweep
// first touches the row: 3-4 % slower at order 2 on 96^3, within noise at
// orders 4 and 8. Leaving the advance out, a timing experiment, saved 10 %
// and 7 % at orders 2 and 4: its cost is the arithmetic, not the pass.)
void run_side(const pass_args& a, const gather_plan& plan, const side_plan& P,
              bool targets_owed) {
  const bool e_side = P.e_side;
  const grid_dims& g = a.g;
  const gather_fields f = e_side ? e_phase_fields(a, targets_owed) : h_phase_fields(a, targets_owed);
  gather(a, plan, f, [&](int64_t s, int64_t i, int64_t j) {
    const int64_t node = (i * g.ny + j) * g.nz, base = s * g.n_nodes + node;
    if (f.owed_ca) {
      for (int c = 0; c < 3; ++c)
        rescale_row(g, f.dst_region[c], P.into[c] + base, f.owed_ca + node, i, j);
    }
    row_entries xy[2];
    for (int axis = 0; axis < 2; ++axis) {
      const xy_span& sp = P.span[axis][axis == 0 ? i : j];
      xy[axis] = {P.entries.data() + sp.first, sp.n, sp.n_behind, sp.n_own};
    }
    // The z source values first, a while before they are read back.
    const bool z0 = z_values(P, 0, s, i, j), z1 = z_values(P, 1, s, i, j);
    if (xy[0].n == 0 && xy[1].n == 0) {
      // No x or y source reaches the row: only the z slots at its ends.
      const bool z_on[2] = {z0, z1};
      for (int c = 0; c < 2; ++c) {
        if (!z_on[c]) continue;
        float* row = P.into[c] + base;
        for (int r = 0; r < P.n_ranges; ++r)
          add_slots(P, c, P.slot + P.range[r].first, P.range[r].n, row, P.range[r].k0, P.range[r].k1);
      }
      return;
    }
    gather_row(P, 2, xy, false, s, i, j);
    gather_row(P, 0, xy, z0, s, i, j);
    gather_row(P, 1, xy, z1, s, i, j);
  });
  forward::for_each_row(a, [&](int64_t s, int64_t i, int64_t j) { advance_memories(P, s, i, j); });
}

}  // namespace

void e_update_layers_adjoint(const pass_args& a, const gather_plan& plan, const side_plan& P,
                             bool targets_owed) {
  run_side(a, plan, P, targets_owed);
}
void h_update_layers_adjoint(const pass_args& a, const gather_plan& plan, const side_plan& P,
                             bool targets_owed) {
  run_side(a, plan, P, targets_owed);
}

}  // namespace norvane::adjoint::NORVANE_ISA_NS
