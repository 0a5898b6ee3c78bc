// Building the gather plans: the contributions a one-thread scatter sweep
// would add to each target, recorded in its order, then cut into blocks or
// segments.
#include "lib/adjoint/gather_plan.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

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

int64_t gather_plan::axis_classes::representative(int cls) const {
  if (n <= 2 * margin + 1 || cls <= margin) return cls;
  return n - 1 - margin + (cls - margin);
}

namespace {

// Segments of one row: boundaries wherever a term starts or stops reaching.
void cut_segments(const std::vector<ranged_term>& out, std::vector<gather_segment>& segments,
                  std::vector<gather_term>& terms, std::vector<int64_t>& cuts) {
  cuts.clear();
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

// A running 64-bit hash over fields (never over padding), a word at a time.
struct hasher {
  uint64_t h = 0x243f6a8885a308d3ull;
  void word(uint64_t v) {
    h = (h ^ v) * 0x9e3779b97f4a7c15ull;
    h ^= h >> 29;
  }
  void add(int64_t v) { word(static_cast<uint64_t>(v)); }
  void add(int v) { word(static_cast<uint32_t>(v)); }
  void add(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    word(b);
  }
  template <std::size_t N>
  void add(const float (&v)[N]) {
    for (float f : v) add(f);
  }
};

void hash_fields(hasher& hs, const gather_term& t) {
  hs.add(t.offset), hs.add(t.coef), hs.add(t.comp), hs.add(t.scale);
}
void hash_fields(hasher& hs, const lane_term& t) {
  hs.add(t.offset), hs.add(t.comp), hs.add(t.scale), hs.add(t.coef);
}
void hash_fields(hasher& hs, const ranged_term& r) {
  hs.add(r.k0), hs.add(r.k1), hash_fields(hs, r.t);
}

// Field-wise equality, coefficients compared bit for bit.
bool same_bits(float p, float q) { return std::memcmp(&p, &q, sizeof p) == 0; }
bool same(const gather_term& p, const gather_term& q) {
  return p.offset == q.offset && same_bits(p.coef, q.coef) && p.comp == q.comp && p.scale == q.scale;
}
bool same(const lane_term& p, const lane_term& q) {
  return p.offset == q.offset && p.comp == q.comp && p.scale == q.scale &&
         std::memcmp(p.coef, q.coef, sizeof p.coef) == 0;
}
bool same(const ranged_term& p, const ranged_term& q) {
  return p.k0 == q.k0 && p.k1 == q.k1 && same(p.t, q.t);
}

// Hash of pool[first ..) and whether pool[a ..) and pool[b ..) agree in
// their first `count` entries.
template <class T>
uint64_t hash_of(const std::vector<T>& pool, int first) {
  hasher hs;
  hs.add(static_cast<int64_t>(pool.size() - first));
  for (size_t q = first; q < pool.size(); ++q) hash_fields(hs, pool[q]);
  return hs.h;
}
template <class T>
bool same_lists(const std::vector<T>& pool, int a, int b, int count) {
  for (int q = 0; q < count; ++q)
    if (!same(pool[a + q], pool[b + q])) return false;
  return true;
}

// Term lists stored end to end in one pool and found again by content. Rows
// of different classes share most of their lists, so equal lists are stored
// once: `intern` takes the list just appended from `first` on and, when an
// equal one is stored already, drops the copy and returns that one's entry
// (a copy); otherwise it keeps the list under `tag` and returns nothing.
template <class T>
class list_index {
 public:
  struct stored {
    uint64_t hash;
    int first, count;
    std::size_t tag;
  };

  std::optional<stored> intern(std::vector<T>& pool, int first, std::size_t tag = 0) {
    const int count = static_cast<int>(pool.size()) - first;
    const uint64_t h = hash_of(pool, first);
    std::size_t q = h & mask_;
    for (; slots_[q] >= 0; q = (q + 1) & mask_) {
      const stored& s = lists_[slots_[q]];
      if (s.hash == h && s.count == count && same_lists(pool, s.first, first, count)) {
        pool.resize(first);
        return s;
      }
    }
    slots_[q] = static_cast<int>(lists_.size());
    lists_.push_back({h, first, count, tag});
    if (2 * lists_.size() > slots_.size()) grow();
    return std::nullopt;
  }

  // Start of the stored list equal to the one appended from `first` on.
  int start(std::vector<T>& pool, int first) {
    const std::optional<stored> s = intern(pool, first);
    return s ? s->first : first;
  }

 private:
  // Open addressing with linear probing, at most half full.
  void grow() {
    slots_.assign(2 * slots_.size(), -1);
    mask_ = slots_.size() - 1;
    for (std::size_t e = 0; e < lists_.size(); ++e) {
      std::size_t q = lists_[e].hash & mask_;
      while (slots_[q] >= 0) q = (q + 1) & mask_;
      slots_[q] = static_cast<int>(e);
    }
  }

  std::vector<stored> lists_;
  std::vector<int> slots_ = std::vector<int>(64, -1);
  std::size_t mask_ = 63;
};

// Term lists already stored, by content.
struct interned {
  list_index<gather_term> terms;
  list_index<lane_term> lane_terms;
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
                 same_lists(terms, prev->first, first, count)) {
        ++prev->n_blocks;
        terms.resize(first);
      } else {
        pieces.push_back({k, 1, true, seen.terms.start(terms, first), count});
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
      if (count > 0) pieces.push_back({k, 1, false, seen.lane_terms.start(lane_terms, first), count});
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
  // The classes cover the widest stencil's reach, so rows of several classes
  // often receive the same ordered terms: those share one plan per phase.
  // `kept` holds the term lists of the rows planned so far, indexed apart
  // for the shot's first and last rows (which always run as segments) and
  // the others.
  std::vector<ranged_term> kept;
  std::vector<int64_t> cuts;  // cut_segments' scratch
  list_index<ranged_term> planned[2];
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
        const int first_kept = static_cast<int>(kept.size());
        kept.insert(kept.end(), b.out.begin(), b.out.end());
        if (const auto same_row = planned[end_row].intern(kept, first_kept, at)) {
          for (size_t ps = 0; ps < phases.size(); ++ps)
            rows[ps * per_phase + at] = rows[ps * per_phase + same_row->tag];
          continue;
        }
        if (nz < block_lanes || end_row) {
          const int first = static_cast<int>(segments.size());
          cut_segments(b.out, segments, terms, cuts);
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
