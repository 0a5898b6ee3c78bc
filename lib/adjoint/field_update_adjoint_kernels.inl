// Phases E and G as gathers (see gather_plan.hpp for the order of the
// contributions). Every target row (s, i, j) of every component is owned by
// one thread, which runs its plan: block by block of 16 targets, the targets
// held in registers while the block's terms are added in order (masked per
// lane in the blocks at the row ends), so each target receives exactly the
// one-thread scatter's additions in its order, bit for bit, for any thread
// count.
// The sources are read before any of them is rescaled: the rescaling by
// ca_e or ca_h is left to the next phase that adds into the field, which
// rescales each of its target rows before adding into it (the sweep below
// serves only the last step's adjoint H). The uniform blocks inside the
// rescaled range multiply their targets as they load them, which spares the
// row a separate pass; the rest of the range is rescaled first.
#include "lib/adjoint/field_update_adjoint.hpp"

#include <cstddef>
#include <type_traits>
#include <utility>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "lib/forward/rows.hpp"
#include "lib/kernels/aligned_run.hpp"
#include "lib/kernels/cell.hpp"
#include "lib/kernels/staggered_diff.hpp"

namespace norvane::adjoint::NORVANE_ISA_NS {
namespace {

// Native vector of this instruction set; a block of targets is U of them.
constexpr int V = NORVANE_LANES;
typedef float vec __attribute__((vector_size(V * sizeof(float))));
constexpr int U = block_lanes / V;

NORVANE_CELL vec load(const float* p) {
  vec v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

NORVANE_CELL void store(float* p, vec v) { __builtin_memcpy(p, &v, sizeof v); }

// cb at the source, or its rescaled curl factor (dx*cb)/h.
template <bool Scaled, class T>
NORVANE_CELL T curl_factor(T c, int scale, const float* h) {
  if (Scaled && scale != 0) return (h[0] * c) / h[scale];
  return c;
}

// N native vectors of targets at acc: x <- x + (cbs * v) * coef for each
// term in order, the targets held in registers. Owed: the targets are first
// rescaled, x <- x * ca. Every term forms its product cbs * v anew, as the
// scatter did at the source: two loads and two multiplications a term.
// Forming the products of the target's x plane once per source row instead
// (a ring of 2M+1 rows per thread, on its stack) took about a third off the
// uniform blocks' time, but forming the rows cost as much again: 9-11 %
// slower at orders 2 and 4, and within noise at order 8.
// The blocks are partly bound by their arithmetic: at order 4 on 96^3, leaving
// out the multiplication by the coefficient (a timing experiment) saved 8 %. At
// order 2, where every coefficient is +-1, adding or subtracting cbs * v
// instead (the same bits) measured within noise, though.
template <int N, bool Scaled, bool Owed>
NORVANE_CELL void uniform_run(float* acc, const float* const* src, const float* cb,
                              const gather_term* t, int n, const float* h, const float* ca) {
  vec x[N];
#pragma GCC unroll 8
  for (int u = 0; u < N; ++u) x[u] = Owed ? load(acc + u * V) * load(ca + u * V) : load(acc + u * V);
  for (int q = 0; q < n; ++q) {
    const float* cp = cb + t[q].offset;
    const float* vp = src[t[q].comp] + t[q].offset;
    const float w = t[q].coef;
#pragma GCC unroll 8
    for (int u = 0; u < N; ++u) {
      const vec c = curl_factor<Scaled>(load(cp + u * V), t[q].scale, h);
      x[u] = x[u] + (c * load(vp + u * V)) * w;
    }
  }
#pragma GCC unroll 8
  for (int u = 0; u < N; ++u) store(acc + u * V, x[u]);
}

// One block whose lanes receive different terms: the lanes a term skips
// (coefficient 0) keep their value (a select, so a skipped lane is untouched
// even by a signed zero). On 96-node rows the two row-end blocks take 10-30 %
// of the backward's time (orders 2 to 8: what leaving them out saves), but
// each block's adds form one dependent chain, and more chains in flight did
// not pay: the end blocks of a row's three components taken together (up
// to four chains) measured 5-11 % slower, a row's two end blocks taken
// together no faster, and so was a 16-bit lane mask in place of the compare.
// What they cost is their terms' work, not the masks: as single-vector
// uniform blocks of the interior terms (a timing experiment, wrong sums)
// they saved only 4 % at orders 4 and 8, with four chains no more. Fully
// unrolled term loops, or the source picked by compares instead of a load,
// measured within noise.
template <bool Scaled>
NORVANE_CELL void mixed_block(float* acc, const float* const* src, const float* cb,
                              const lane_term* t, int n, const float* h) {
  vec x[U];
#pragma GCC unroll 8
  for (int u = 0; u < U; ++u) x[u] = load(acc + u * V);
  for (int q = 0; q < n; ++q) {
    const float* cp = cb + t[q].offset;
    const float* vp = src[t[q].comp] + t[q].offset;
#pragma GCC unroll 8
    for (int u = 0; u < U; ++u) {
      const vec c = curl_factor<Scaled>(load(cp + u * V), t[q].scale, h);
      const vec w = load(t[q].coef + u * V);
      const vec sum = x[u] + (c * load(vp + u * V)) * w;
      x[u] = w != 0.0f ? sum : x[u];
    }
  }
#pragma GCC unroll 8
  for (int u = 0; u < U; ++u) store(acc + u * V, x[u]);
}

// v <- v * ca over [0, n): whole vectors from the start, then the rest in
// one masked vector where the instruction set has masked loads and stores
// (a row is too short for a scalar remainder of up to V-1 nodes to be cheap).
NORVANE_CELL void scale_run(float* __restrict v, const float* __restrict ca, int64_t n) {
  int64_t k = 0;
  for (; k + V <= n; k += V) store(v + k, load(v + k) * load(ca + k));
  if (k == n) return;
#if defined(__AVX512F__)
  const __mmask16 m = static_cast<__mmask16>((1u << (n - k)) - 1u);
  _mm512_mask_storeu_ps(v + k, m, _mm512_mul_ps(_mm512_maskz_loadu_ps(m, v + k),
                                                _mm512_maskz_loadu_ps(m, ca + k)));
#elif defined(__AVX2__)
  const __m256i m = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n - k)),
                                       _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  _mm256_maskstore_ps(v + k, m, _mm256_mul_ps(_mm256_maskload_ps(v + k, m),
                                              _mm256_maskload_ps(ca + k, m)));
#else
  for (; k < n; ++k) v[k] = v[k] * ca[k];
#endif
}

// A segment one target at a time (rows at the grid's ends, short rows).
template <bool Scaled>
void run_segment(float* acc, const float* const* src, const float* cb, const gather_segment& sg,
                 const gather_term* terms, const float* h) {
  const gather_term* t = terms + sg.first;
  for (int64_t k = sg.k0; k <= sg.k1; ++k) {
    float x = acc[k];
    for (int q = 0; q < sg.count; ++q) {
      const float c = curl_factor<Scaled>(cb[k + t[q].offset], t[q].scale, h);
      x = x + (c * src[t[q].comp][k + t[q].offset]) * t[q].coef;
    }
    acc[k] = x;
  }
}

// Targets [r0, r1] of a row owe the rescaling by ca (ca null: none do).
struct owed_range {
  const float* ca;
  int64_t r0, r1;

  // Whether the uniform piece p lies inside the range, and so rescales its
  // targets as it loads them.
  bool covers(const gather_piece& p) const {
    return ca && p.uniform && p.k >= r0 && p.k + p.n_blocks * block_lanes - 1 <= r1;
  }
};

// Rescales the targets of the owed range that no uniform piece covers.
// Ahead of the pieces, this reaches the row's far end out of the stream's
// order: unasked, that line missed on nearly every row at 256^3 (a masked
// load there held 60 % of the row driver's samples on an AMD EPYC). The
// mixed blocks after the last covered piece taking their rescaling in
// registers instead gained 5-7 % there, but once the targets were asked for
// ahead, which brings that line too, it measured equal at 256^3 and 2-9 %
// slower at 64^3 and 96^3.
NORVANE_CELL void rescale_rest(const gather_plan& plan, const row_plan& rp, float* acc,
                               const owed_range& o) {
  int64_t k = o.r0;
  for (int q = 0; q < rp.count; ++q) {
    const gather_piece& p = plan.pieces[rp.first + q];
    if (!o.covers(p)) continue;
    scale_run(acc + k, o.ca + k, p.k - k);
    k = p.k + p.n_blocks * block_lanes;
  }
  if (k <= o.r1) scale_run(acc + k, o.ca + k, o.r1 - k + 1);
}

// Calls step(n, k) over the uniform piece p, n native vectors of targets
// from target k: eight at a time, for more independent sums in flight, then
// halving for the rest of the run.
template <class Step>
NORVANE_CELL void uniform_steps(const gather_piece& p, Step step) {
  using std::integral_constant;
  int64_t k = p.k;
  const int64_t end = p.k + p.n_blocks * block_lanes;
  constexpr int B = 8 / U > 1 ? 8 / U : 1;  // blocks per step
  for (; k + B * block_lanes <= end; k += B * block_lanes) step(integral_constant<int, B * U>{}, k);
  if constexpr (B >= 8) {
    if (k + 4 * block_lanes <= end) {
      step(integral_constant<int, 4 * U>{}, k);
      k += 4 * block_lanes;
    }
  }
  if constexpr (B >= 4) {
    if (k + 2 * block_lanes <= end) {
      step(integral_constant<int, 2 * U>{}, k);
      k += 2 * block_lanes;
    }
  }
  if (k < end) step(integral_constant<int, U>{}, k);
}

// N native vectors of targets of a row from target k, with the terms t:
// acc, src, cb and ca at node 0 of the row; owed: the targets are first
// rescaled by ca.
template <int N, bool Scaled>
NORVANE_CELL void uniform_at(float* acc, const float* const* src, const float* cb, const float* ca,
                             bool owed, int64_t k, const gather_term* t, int count, const float* h) {
  const float* s[3] = {src[0] + k, src[1] + k, src[2] + k};
  if (owed)
    uniform_run<N, Scaled, true>(acc + k, s, cb + k, t, count, h, ca + k);
  else
    uniform_run<N, Scaled, false>(acc + k, s, cb + k, t, count, h, nullptr);
}

template <bool Scaled, bool Owed>
void run_uniform(const gather_piece& p, float* acc, const float* const* src, const float* cb,
                 const gather_term* t, const float* h, const float* ca) {
  uniform_steps(p, [&](auto n, int64_t k) {
    uniform_at<decltype(n)::value, Scaled>(acc, src, cb, ca, Owed, k, t, p.count, h);
  });
}

template <bool Scaled>
void run_row(const gather_plan& plan, const row_plan& rp, float* acc, const float* const* src,
             const float* cb, const float* h, const owed_range& owed) {
  if (!rp.blocked) {
    if (owed.ca) scale_run(acc + owed.r0, owed.ca + owed.r0, owed.r1 - owed.r0 + 1);
    for (int q = 0; q < rp.count; ++q)
      run_segment<Scaled>(acc, src, cb, plan.segments[rp.first + q], plan.terms.data(), h);
    return;
  }
  if (owed.ca) rescale_rest(plan, rp, acc, owed);
  for (int q = 0; q < rp.count; ++q) {
    const gather_piece& p = plan.pieces[rp.first + q];
    if (!p.uniform) {
      const float* s[3] = {src[0] + p.k, src[1] + p.k, src[2] + p.k};
      mixed_block<Scaled>(acc + p.k, s, cb + p.k, plan.lane_terms.data() + p.first, p.count, h);
      continue;
    }
    const gather_term* t = plan.terms.data() + p.first;
    if (owed.covers(p))
      run_uniform<Scaled, true>(p, acc, src, cb, t, h, owed.ca);
    else
      run_uniform<Scaled, false>(p, acc, src, cb, t, h, owed.ca);
  }
}

// One target row of a phase: its targets, sources and cb at node 0 of the
// row, and the rescaling its targets owe.
struct target_row {
  float* acc;
  const float* const* src;
  const float* cb;
  owed_range owed;
};

// Whether two rows' plans cut them into the same pieces (their terms may
// differ).
inline bool same_pieces(const gather_plan& plan, const row_plan& a, const row_plan& b) {
  if (!a.blocked || !b.blocked || a.count != b.count) return false;
  for (int q = 0; q < a.count; ++q) {
    const gather_piece &p = plan.pieces[a.first + q], &o = plan.pieces[b.first + q];
    if (p.k != o.k || p.n_blocks != o.n_blocks || p.uniform != o.uniform) return false;
  }
  return true;
}

// Two target rows of one component on neighbouring planes, taken a step of
// each in turn where their plans cut them alike: the second row's x
// stencils read all but one of the first one's source planes, and reads
// the step's lines of those while they are still in L1 (row by row, it
// would read them a whole plane of rows later). Each target receives its
// own terms in its own order, as row by row.
template <bool Scaled>
void run_row_pair(const gather_plan& plan, const row_plan& ra, const row_plan& rb,
                  const target_row& a, const target_row& b, const float* h) {
  if (!same_pieces(plan, ra, rb)) {
    run_row<Scaled>(plan, ra, a.acc, a.src, a.cb, h, a.owed);
    run_row<Scaled>(plan, rb, b.acc, b.src, b.cb, h, b.owed);
    return;
  }
  if (a.owed.ca) rescale_rest(plan, ra, a.acc, a.owed);
  if (b.owed.ca) rescale_rest(plan, rb, b.acc, b.owed);
  for (int q = 0; q < ra.count; ++q) {
    const gather_piece &pa = plan.pieces[ra.first + q], &pb = plan.pieces[rb.first + q];
    if (!pa.uniform) {
      for (const auto& [r, p] : {std::pair{&a, &pa}, std::pair{&b, &pb}}) {
        const float* s[3] = {r->src[0] + p->k, r->src[1] + p->k, r->src[2] + p->k};
        mixed_block<Scaled>(r->acc + p->k, s, r->cb + p->k, plan.lane_terms.data() + p->first,
                            p->count, h);
      }
      continue;
    }
    const gather_term *ta = plan.terms.data() + pa.first, *tb = plan.terms.data() + pb.first;
    const bool oa = a.owed.covers(pa), ob = b.owed.covers(pb);
    uniform_steps(pa, [&](auto n, int64_t k) {
      constexpr int N = decltype(n)::value;
      uniform_at<N, Scaled>(a.acc, a.src, a.cb, a.owed.ca, oa, k, ta, pa.count, h);
      uniform_at<N, Scaled>(b.acc, b.src, b.cb, b.owed.ca, ob, k, tb, pb.count, h);
    });
  }
}

// The targets of row (i, j) of a component with update region r that owe
// the rescaling by the row of ca (ca null: none owed).
inline owed_range owed_of(const grid_dims& gd, const update_region& r, const float* ca, int64_t i,
                          int64_t j) {
  const int64_t k0 = r.lo[2], k1 = gd.nz - 1 - r.hi_from_end[2];
  if (!ca || !r.contains(0, i, gd.nx) || !r.contains(1, j, gd.ny) || k1 < k0) return {nullptr, 0, -1};
  return {ca, k0, k1};
}

// v <- v * ca on row (i, j) of component c, within the update region.
inline void rescale_row(const grid_dims& gd, const update_region& r, float* __restrict v,
                        const float* __restrict ca, int64_t i, int64_t j) {
  const owed_range o = owed_of(gd, r, ca, i, j);
  if (o.ca) scale_run(v + o.r0, ca + o.r0, o.r1 - o.r0 + 1);
}

// The phase's arrays: adjoint sources, adjoint targets, the curl factor, and
// (when the previous phase deferred it) the rescaling the targets are owed.
struct gather_fields {
  const float* const* src;
  float* const* dst;
  const float* cb;
  const float* owed_ca;  // null: nothing owed
  const update_region* dst_region;
};

// Asks for the targets of the row `ahead` rows further on in memory (this
// row's offset is `base` in the fields, `node` in the coefficients) and the
// rescaling they are owed (owed_ca null: none).
NORVANE_CELL void prefetch_targets(const grid_dims& gd, float* const* dst, const float* owed_ca,
                                   int64_t base, int64_t node, int64_t ahead) {
  const int64_t o = ahead * gd.nz;
  forward::prefetch_rows(gd.nz, dst[0] + base + o, dst[1] + base + o, dst[2] + base + o);
  if (owed_ca) forward::prefetch_row(owed_ca + node + o, gd.nz);
}

// Without layers `first` is null. With layers it takes a row's owed
// rescaling and then adds the row's layer terms (phase D before E, F before
// G). A row's layer transpose reads the same sources and adds into the same
// targets as its curl transpose, and neither changes what the other reads,
// so taking both for a run of rows in turn keeps every target's additions
// in the one-thread order, while the targets are still in cache: the layer
// terms need no sweep of their own over every row (the z faces reach every
// row's ends).
template <bool Scaled, class First>
void gather_phase(const pass_args& a, const gather_plan& plan, const gather_fields& f, First first) {
  constexpr bool layered = !std::is_same_v<First, std::nullptr_t>;
  const grid_dims& gd = a.g;
  const float h[3] = {gd.dx, gd.dy, gd.dz};
  const int M = kernels::half_width(a.order);
  const int64_t cols = forward::tile_columns(a);
  const bool tiled = cols < gd.ny;
  // The row the sweep takes `rows_ahead` rows later (`ahead` rows on from
  // the row at base, node): its targets and the rescaling they are owed
  // (with layers, the layer terms ask for those), and, with layers at
  // order 8, the sources its x stencils reach on the newest plane
  // (components y and z, with cb there) and, untiled, those its y stencils
  // reach on the newest row (x and z). In a tile the latter are still in
  // L2, and asking for them again measured 6-8 % slower at 256^3. Without
  // layers the sources' streams run long enough for the hardware
  // prefetchers, and asking for them too measured 3-9 % slower (see
  // rows.hpp); with layers, where the rows run in short runs between the
  // layer terms, leaving them out measured from 4 % slower to 6 % faster.
  // (At order 2 on a Xeon the row's loops are short enough for the
  // prefetchers, and asking cost 14 % at 96^3 and 128^3, except for rows
  // taken in pairs; on an AMD EPYC, which takes no pairs, asking measured
  // 7-19 % faster at 96^3, 0-20 % at 64^3, 7 % at 256^3 and within noise
  // at 128^3 and 160^3. The layer terms' short loops do need it.)
  const bool ask_targets = M >= 2 || !forward::intel_cpu();
  auto ask = [&](int64_t base, int64_t node, int64_t ahead,
                 bool targets) __attribute__((always_inline)) {
    if (!layered && targets) prefetch_targets(gd, f.dst, f.owed_ca, base, node, ahead);
    if (layered && M == 4) {
      const int64_t o = ahead * gd.nz, px = o + M * gd.plane, py = o + M * gd.nz;
      forward::prefetch_rows(gd.nz, f.src[1] + base + px, f.src[2] + base + px, f.cb + node + px);
      if (!tiled)
        forward::prefetch_rows(gd.nz, f.src[0] + base + py, f.src[2] + base + py, f.cb + node + py);
    }
  };
  // Row (i, j) of shot s: its targets, sources and cb, and the rescaling
  // the targets owe (with layers, the layer terms have taken it).
  auto target = [&](int c, int64_t s, int64_t i, int64_t j,
                    const float* const* src) __attribute__((always_inline)) {
    const int64_t node = (i * gd.ny + j) * gd.nz;
    const float* owed_ca = layered || !f.owed_ca ? nullptr : f.owed_ca + node;
    return target_row{f.dst[c] + s * gd.n_nodes + node, src, f.cb + node,
                      owed_of(gd, f.dst_region[c], owed_ca, i, j)};
  };
  auto curl_row = [&](int64_t s, int64_t i, int64_t j, int64_t ahead) {
    const int64_t node = (i * gd.ny + j) * gd.nz;
    const int64_t base = s * gd.n_nodes + node;
    ask(base, node, ahead, ask_targets);
    const float* sb[3] = {f.src[0] + base, f.src[1] + base, f.src[2] + base};
    for (int c = 0; c < 3; ++c) {
      const target_row r = target(c, s, i, j, sb);
      run_row<Scaled>(plan, plan.row(c, i, j, r.acc), r.acc, r.src, r.cb, h, r.owed);
    }
  };
  // Rows (i, j) and (i + 1, j) together, component by component.
  auto pair_row = [&](int64_t s, int64_t i, int64_t j, int64_t ahead, bool two) {
    if (!two) return curl_row(s, i, j, ahead);
    const int64_t node = (i * gd.ny + j) * gd.nz;
    const int64_t base = s * gd.n_nodes + node;
    ask(base, node, ahead, true);
    ask(base + gd.plane, node + gd.plane, ahead, true);
    const float* sa[3] = {f.src[0] + base, f.src[1] + base, f.src[2] + base};
    const float* sb[3] = {sa[0] + gd.plane, sa[1] + gd.plane, sa[2] + gd.plane};
    for (int c = 0; c < 3; ++c) {
      const target_row ra = target(c, s, i, j, sa), rb = target(c, s, i + 1, j, sb);
      run_row_pair<Scaled>(plan, plan.row(c, i, j, ra.acc), plan.row(c, i + 1, j, rb.acc), ra, rb,
                           h);
    }
  };
  if constexpr (layered) {
    auto layer_row = [&](int64_t s, int64_t i, int64_t j, int64_t ahead) {
      const int64_t node = (i * gd.ny + j) * gd.nz;
      prefetch_targets(gd, f.dst, f.owed_ca, s * gd.n_nodes + node, node, ahead);
      first(s, i, j);
    };
    // The layer terms of a run of rows, then the run's curl transposes: the
    // targets stay in cache between the two, and each kind of loop runs long
    // enough to keep its code and its streams warm. (Alternating row by row
    // cost order 8 up to 10 % on grids that fit in the last-level cache;
    // runs of pairs of rows, as below, cost order 2 8 % at 160^3 and 256^3.)
    forward::for_each_row_run(a, cols, 16, layer_row, curl_row);
  } else if (forward::pair_planes(a)) {
    forward::for_each_position(forward::pair_order(a, cols), pair_row);
  } else {
    forward::for_each_row_tiled(a, cols, curl_row);
  }
}

template <class First = std::nullptr_t>
void gather(const pass_args& a, const gather_plan& plan, const gather_fields& f,
            First first = nullptr) {
  if (plan.any_scaled)
    gather_phase<true>(a, plan, f, first);
  else
    gather_phase<false>(a, plan, f, first);
}

// The fields of phase E (sources adjoint E, targets adjoint H) or G.
inline gather_fields e_phase_fields(const pass_args& a, bool targets_owed) {
  return {a.e, a.h, a.c.cb_e, targets_owed ? a.c.ca_h : nullptr, h_region};
}
inline gather_fields h_phase_fields(const pass_args& a, bool targets_owed) {
  return {a.h, a.e, a.c.cb_h, targets_owed ? a.c.ca_e : nullptr, e_region};
}

// v <- v * ca over each component's update region.
void rescale(const pass_args& a, float* const* f, const float* ca, const update_region* reg) {
  const grid_dims& gd = a.g;
  forward::for_each_row(a, [&](int64_t s, int64_t i, int64_t j) {
    const int64_t node = (i * gd.ny + j) * gd.nz;
    for (int c = 0; c < 3; ++c) rescale_row(gd, reg[c], f[c] + s * gd.n_nodes + node, ca + node, i, j);
  });
}

}  // namespace

void e_update_adjoint(const pass_args& a, const gather_plan& plan, bool targets_owed) {
  gather(a, plan, e_phase_fields(a, targets_owed));
}

void h_update_adjoint(const pass_args& a, const gather_plan& plan, bool targets_owed) {
  gather(a, plan, h_phase_fields(a, targets_owed));
}

void h_rescale_adjoint(const pass_args& a) { rescale(a, a.h, a.c.ca_h, h_region); }

}  // namespace norvane::adjoint::NORVANE_ISA_NS
