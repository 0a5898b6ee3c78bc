// Building the gather plans: the contributions a one-thread scatter sweep
// would add to each target, recorded in its order, then cut into segments.
#include "lib/adjoint/gather_plan.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "lib/kernels/staggered_diff.hpp"

namespace norvane::adjoint {
namespace {

// A source of contributions to a target component: the component whose
// adjoint is scattered, the axis it is scattered along, and the sign of its
// scatter value (+-cb_axis * v).
struct source_desc {
  int comp;
  int axis;
  bool negative;
};

struct target_desc {
  source_desc outer, inner;
};

// Phase G (H-update transpose, adjoint H -> adjoint E), per target E component.
constexpr target_desc g_targets[3] = {
    {{2, 1, false}, {1, 2, true}},  // ex <- hz along y, hy along z
    {{2, 0, true}, {0, 2, false}},  // ey <- hz along x, hx along z
    {{1, 0, false}, {0, 1, true}},  // ez <- hy along x, hx along y
};
// Phase E (E-update transpose, adjoint E -> adjoint H), per target H component.
constexpr target_desc e_targets[3] = {
    {{2, 1, true}, {1, 2, false}},  // hx <- ez along y, ey along z
    {{2, 0, false}, {0, 2, true}},  // hy <- ez along x, ex along z
    {{1, 0, true}, {0, 1, false}},  // hz <- ey along x, ex along y
};

// A term with the targets it reaches.
struct ranged_term {
  int64_t k0, k1;
  gather_term t;
};

struct builder {
  const pass_args& a;
  bool forward_transpose;  // phase G: transposed forward differences
  const update_region* src_region;
  std::vector<ranged_term> out;

  // Signed coefficient with which a source at axis position qs reaches the
  // target at qt, its scatter sign folded in; false when it does not.
  bool reach(int64_t qs, int64_t qt, int64_t len, bool negative, float& coef) const {
    const float w = kernels::stencil_weight(!forward_transpose, a.order, qs, qt - qs, len);
    coef = negative ? -w : w;
    return w != 0.0f;
  }

  int scale_of(int axis) const {
    return axis == 0 || a.g.spacing(axis) == a.g.dx ? 0 : axis;
  }

  void add(int64_t k0, int64_t k1, int64_t offset, float coef, const source_desc& sd) {
    if (k0 <= k1) out.push_back({k0, k1, {offset, coef, sd.comp, scale_of(sd.axis)}});
  }

  // Contribution of the source `sd` displaced by d along its axis to the
  // target row (i, j).
  void source(const source_desc& sd, int d, int64_t i, int64_t j) {
    const grid_dims& gd = a.g;
    const int64_t t[3] = {i, j, 0};
    const update_region& r = src_region[sd.comp];
    const int64_t nz = gd.nz;
    float coef;
    if (sd.axis < 2) {
      // Row-constant: the source row is (i, j) moved by d along x or y.
      const int64_t qt = t[sd.axis], qs = qt + d, len = gd.extent(sd.axis);
      if (qs < 0 || qs >= len) return;
      int64_t srow[3] = {i, j, 0};
      srow[sd.axis] = qs;
      for (int ax = 0; ax < 2; ++ax)
        if (!r.contains(ax, srow[ax], gd.extent(ax))) return;
      if (!reach(qs, qt, len, sd.negative, coef)) return;
      add(r.lo[2], nz - 1 - r.hi_from_end[2], d * gd.stride(sd.axis), coef, sd);
      return;
    }
    // Along k: the source of target k is k + d; the half-width it scatters
    // with changes only near the row ends, so the targets split into runs of
    // equal coefficient: one for the sources with the nominal half-width,
    // single targets for the few with reduced stencils.
    for (int ax = 0; ax < 2; ++ax)
      if (!r.contains(ax, t[ax], gd.extent(ax))) return;
    const int64_t ks_lo = std::max<int64_t>(r.lo[2], 0), ks_hi = nz - 1 - r.hi_from_end[2];
    const int64_t kt_lo = std::max<int64_t>(ks_lo - d, 0), kt_hi = std::min<int64_t>(ks_hi - d, nz - 1);
    const int M = kernels::half_width(a.order);
    const int64_t full_lo = (forward_transpose ? M - 1 : M) - d;
    const int64_t full_hi = (forward_transpose ? nz - 1 - M : nz - M) - d;
    const int64_t run_lo = std::max(kt_lo, full_lo), run_hi = std::min(kt_hi, full_hi);
    auto run = [&](int64_t k0, int64_t k1) {
      if (k0 <= k1 && reach(k0 + d, k0, nz, sd.negative, coef)) add(k0, k1, d, coef, sd);
    };
    if (run_lo > run_hi) {
      for (int64_t k = kt_lo; k <= kt_hi; ++k) run(k, k);
      return;
    }
    for (int64_t k = kt_lo; k < run_lo; ++k) run(k, k);
    run(run_lo, run_hi);
    for (int64_t k = run_hi + 1; k <= kt_hi; ++k) run(k, k);
  }

  void row(const target_desc& td, int64_t i, int64_t j) {
    out.clear();
    // Offsets d = source - target, behind first.
    const int lo = forward_transpose ? -4 : -3, hi = forward_transpose ? 3 : 4;
    for (int d = lo; d <= -1; ++d) source(td.outer, d, i, j);
    for (int d = lo; d <= -1; ++d) source(td.inner, d, i, j);
    source(td.inner, 0, i, j);
    source(td.outer, 0, i, j);
    for (int d = 1; d <= hi; ++d) source(td.inner, d, i, j);
    for (int d = 1; d <= hi; ++d) source(td.outer, d, i, j);
  }
};

}  // namespace

gather_plan::axis_classes::axis_classes(int64_t len)
    : n(len), count(len <= 2 * margin + 1 ? static_cast<int>(len) : 2 * margin + 1) {}

int gather_plan::axis_classes::of(int64_t q) const {
  if (n <= 2 * margin + 1 || q < margin) return static_cast<int>(q);
  if (q > n - 1 - margin) return static_cast<int>(q - (n - 1 - margin)) + margin;
  return margin;
}

int64_t gather_plan::axis_classes::representative(int cls) const {
  if (n <= 2 * margin + 1 || cls <= margin) return cls;
  return n - 1 - margin + (cls - margin);
}

namespace {

bool same_term(const gather_term& p, const gather_term& q) {
  return p.offset == q.offset && p.coef == q.coef && p.comp == q.comp && p.scale == q.scale;
}

// Segments of one row: boundaries wherever a term starts or stops reaching.
void cut_segments(const std::vector<ranged_term>& out, std::vector<gather_segment>& segments,
                  std::vector<gather_term>& terms) {
  std::vector<int64_t> cuts;
  for (const ranged_term& r : out) {
    cuts.push_back(r.k0);
    cuts.push_back(r.k1 + 1);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  for (size_t q = 0; q + 1 < cuts.size(); ++q) {
    const int64_t k0 = cuts[q], k1 = cuts[q + 1] - 1;
    const int first = static_cast<int>(terms.size());
    for (const ranged_term& r : out)
      if (r.k0 <= k0 && r.k1 >= k1) terms.push_back(r.t);
    const int count = static_cast<int>(terms.size()) - first;
    if (count > 0) segments.push_back({k0, k1, first, count});
  }
}

template <class T>
void append_bytes(std::string& key, const T& v) {
  key.append(reinterpret_cast<const char*>(&v), sizeof v);
}

void append_key(std::string& key, const gather_term& t) {
  append_bytes(key, t.offset), append_bytes(key, t.coef), append_bytes(key, t.comp);
  append_bytes(key, t.scale);
}

void append_key(std::string& key, const lane_term& t) {
  append_bytes(key, t.offset), append_bytes(key, t.comp), append_bytes(key, t.scale);
  append_bytes(key, t.coef);
}

// Rows of different classes share most of their term lists, so equal lists
// are stored once: the list just appended from `first` on is dropped again
// when an equal one exists, and that one's start is returned.
template <class T>
int intern(std::vector<T>& pool, int first, std::unordered_map<std::string, int>& seen) {
  std::string key;
  for (size_t q = first; q < pool.size(); ++q) append_key(key, pool[q]);
  const auto [at, fresh] = seen.emplace(std::move(key), first);
  if (!fresh) pool.resize(first);
  return at->second;
}

// Term lists already stored, by content.
struct interned {
  std::unordered_map<std::string, int> terms, lane_terms;
};

// Blocks of one row of nz >= block_lanes targets whose node `a1` (0 <= a1 <
// block_lanes) is the first on a vector boundary: a first block from node 0
// that takes the nodes before a1 only, then blocks from a1 on, so that every
// block but the two at the row ends loads and stores whole aligned vectors.
// Lanes another block takes are masked off (the first block's lanes from a1
// on, and those an earlier block took in the overlapping last block).
void cut_blocks(const std::vector<ranged_term>& out, int64_t nz, int64_t a1,
                std::vector<gather_piece>& pieces, std::vector<gather_term>& terms,
                std::vector<lane_term>& lane_terms, int first_piece, interned& seen) {
  int64_t done = 0;
  for (int64_t k = 0; done < nz; k = std::min(done == a1 ? a1 : k + block_lanes, nz - block_lanes)) {
    const int64_t lo = std::max(k, done), hi = done == 0 && a1 > 0 ? a1 - 1 : k + block_lanes - 1;
    bool uniform = lo == k && hi == k + block_lanes - 1;
    for (const ranged_term& r : out)
      if (r.k0 <= hi && r.k1 >= lo && (r.k0 > k || r.k1 < hi)) uniform = false;
    if (uniform) {
      const int first = static_cast<int>(terms.size());
      for (const ranged_term& r : out)
        if (r.k0 <= hi && r.k1 >= lo) terms.push_back(r.t);
      const int count = static_cast<int>(terms.size()) - first;
      gather_piece* prev = static_cast<int>(pieces.size()) > first_piece ? &pieces.back() : nullptr;
      if (count == 0) {
        // nothing reaches these targets
      } else if (prev && prev->uniform && prev->count == count &&
                 prev->k + prev->n_blocks * block_lanes == k &&
                 std::equal(terms.begin() + prev->first, terms.begin() + prev->first + count,
                            terms.begin() + first, same_term)) {
        ++prev->n_blocks;
        terms.resize(first);
      } else {
        pieces.push_back({k, 1, true, intern(terms, first, seen.terms), count});
      }
    } else {
      // Consecutive terms from one source offset (the single targets near
      // the row ends) share a lane term when their lanes are disjoint.
      const int first = static_cast<int>(lane_terms.size());
      bool open = false;
      for (const ranged_term& r : out) {
        if (r.k0 > hi || r.k1 < lo) continue;
        const int64_t l0 = std::max(r.k0, lo) - k, l1 = std::min(r.k1, hi) - k;
        lane_term* cur = open ? &lane_terms.back() : nullptr;
        bool fits = cur && cur->offset == r.t.offset && cur->comp == r.t.comp && cur->scale == r.t.scale;
        for (int64_t l = l0; fits && l <= l1; ++l) fits = cur->coef[l] == 0.0f;
        if (!fits) {
          lane_term t{};
          t.offset = r.t.offset;
          t.comp = r.t.comp;
          t.scale = r.t.scale;
          lane_terms.push_back(t);
          cur = &lane_terms.back();
          open = true;
        }
        for (int64_t l = l0; l <= l1; ++l) cur->coef[l] = r.t.coef;
      }
      const int count = static_cast<int>(lane_terms.size()) - first;
      if (count > 0) pieces.push_back({k, 1, false, intern(lane_terms, first, seen.lane_terms), count});
    }
    done = hi + 1;
  }
}

}  // namespace

gather_plan::gather_plan(const pass_args& a, bool h_transpose) : x(a.g.nx), y(a.g.ny) {
  builder b{a, h_transpose, h_transpose ? h_region : e_region, {}};
  const target_desc* targets = h_transpose ? g_targets : e_targets;
  const int64_t nz = a.g.nz;
  // The vector phases the target rows start at: each component's start plus
  // multiples of gcd(nz, block_lanes), since rows lie nz apart (and planes and
  // shots whole multiples of that). On rows of fewer than four blocks, two of
  // which are the end blocks anyway, one plan serves every phase.
  slot.fill(0);
  std::vector<int> phases;
  if (nz >= 4 * block_lanes) {
    bool seen_phase[block_lanes] = {};
    int64_t step = block_lanes;
    while (nz % step != 0) step /= 2;
    float* const* dst = h_transpose ? a.e : a.h;
    for (int c = 0; c < 3; ++c)
      for (int64_t m = 0; m < block_lanes; m += step)
        seen_phase[(phase_of(dst[c]) + m) % block_lanes] = true;
    for (int p = 0; p < block_lanes; ++p)
      if (seen_phase[p]) slot[p] = static_cast<int>(phases.size()), phases.push_back(p);
  } else {
    phases.push_back(0);
  }
  per_phase = size_t{3} * x.count * y.count;
  rows.resize(phases.size() * per_phase);
  interned seen;
  for (int c = 0; c < 3; ++c) {
    for (int cx = 0; cx < x.count; ++cx) {
      for (int cy = 0; cy < y.count; ++cy) {
        const int64_t i = x.representative(cx), j = y.representative(cy);
        b.row(targets[c], i, j);
        for (const ranged_term& r : b.out) any_scaled = any_scaled || r.t.scale != 0;
        // A block's masked lanes read up to a stencil's reach beyond the
        // row's ends: inside the neighbour rows, except before the first and
        // after the last row of a shot's grid.
        const bool end_row = (i == 0 && j == 0) || (i == a.g.nx - 1 && j == a.g.ny - 1);
        const size_t at = (size_t(c) * x.count + cx) * y.count + cy;
        if (nz < block_lanes || end_row) {
          const int first = static_cast<int>(segments.size());
          cut_segments(b.out, segments, terms);
          const row_plan rp{false, first, static_cast<int>(segments.size()) - first};
          for (size_t ps = 0; ps < phases.size(); ++ps) rows[ps * per_phase + at] = rp;
          continue;
        }
        for (size_t ps = 0; ps < phases.size(); ++ps) {
          row_plan& rp = rows[ps * per_phase + at];
          rp = {true, static_cast<int>(pieces.size()), 0};
          const int64_t a1 = (block_lanes - phases[ps]) % block_lanes;
          cut_blocks(b.out, nz, a1, pieces, terms, lane_terms, rp.first, seen);
          rp.count = static_cast<int>(pieces.size()) - rp.first;
        }
      }
    }
  }
}

}  // namespace norvane::adjoint
