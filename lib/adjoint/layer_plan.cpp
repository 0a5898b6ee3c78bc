// Building the layer-transpose plans.
#include "lib/adjoint/layer_plan.hpp"

#include "lib/kernels/staggered_diff.hpp"

namespace norvane::adjoint {
namespace {

using forward::layer_face_desc;

// The end ranges reach as far as the z sources do, widened to whole blocks
// of 16 nodes (full vectors) while a middle remains; otherwise one range is
// the whole row.
void plan_z(side_plan& P) {
  const int64_t nz = P.a.g.nz;
  const layer_face_desc &zl = P.t.face[4], &zh = P.t.face[5];
  if (face_nodes(zl) + face_nodes(zh) == 0) return;
  auto blocks = [](int64_t n) { return (n + 15) / 16 * 16; };
  P.k_a = zl.w > 0 ? std::min(nz, blocks(zl.q_hi + P.M + 1)) : 0;
  P.k_b = zh.w > 0 ? std::max<int64_t>(0, nz - blocks(nz - (zh.q_lo - P.M))) : nz;
  if (P.k_b <= P.k_a) {
    P.range[P.n_ranges++].k1 = nz;
    P.k_a = P.k_b = nz;
  } else {
    if (P.k_a > 0) P.range[P.n_ranges++].k1 = P.k_a;
    if (P.k_b < nz) P.range[P.n_ranges].k0 = P.k_b, P.range[P.n_ranges++].k1 = nz;
  }
  const int n_d = P.d_hi - P.d_lo + 1;
  P.pool.assign(4 * (face_nodes(zl) + face_nodes(zh)) + 4 * (nz + 2 * P.M) + 2 * n_d * nz, 0.0f);
  P.keep_pool.assign(2 * n_d * nz, 0u);
  float* next = P.pool.data();
  uint32_t* next_keep = P.keep_pool.data();
  for (int h = 0; h < 2; ++h) {
    const layer_face_desc& fd = P.t.face[4 + h];
    const int64_t n = face_nodes(fd);
    float* rows[4];
    for (float*& r : rows) r = next, next += n;
    for (int64_t x = 0; x < n; ++x) {
      const int64_t p = fd.position(fd.q_lo + x, P.e_side);
      rows[0][x] = fd.prof[p] - 1.0f;
      rows[1][x] = -fd.prof[3 * fd.w + p];
      rows[2][x] = fd.prof[fd.w + p];
      rows[3][x] = fd.prof[2 * fd.w + p];
    }
    P.r0m1[h] = rows[0], P.nr3[h] = rows[1], P.r1[h] = rows[2], P.r2[h] = rows[3];
    for (int c = 0; c < 2; ++c) P.v[c][h] = next, next += nz + 2 * P.M;
  }
  int n_slots = 0;
  for (int r = 0; r < P.n_ranges; ++r) {
    z_range& zr = P.range[r];
    zr.first = n_slots;
    for (int d = P.d_lo; d <= P.d_hi; ++d) {
      for (int h = 0; h < 2; ++h) {
        const layer_face_desc& fd = P.t.face[4 + h];
        float* w = next;
        uint32_t* keep = next_keep;
        bool any = false;
        for (int64_t k = zr.k0; k < zr.k1; ++k) {
          const int64_t ks = k + d;
          const bool in = face_nodes(fd) > 0 && ks >= fd.q_lo && ks <= fd.q_hi;
          w[k - zr.k0] = in ? kernels::stencil_weight(P.e_side, P.a.order, ks, -d, nz) : 0.0f;
          keep[k - zr.k0] = w[k - zr.k0] != 0.0f ? ~0u : 0u;
          any = any || w[k - zr.k0] != 0.0f;
        }
        if (!any) continue;
        next += zr.k1 - zr.k0;
        next_keep += zr.k1 - zr.k0;
        P.slot[n_slots++] = {h, d, w, keep};
        zr.n_behind += d < 0;
      }
    }
    zr.n = n_slots - zr.first;
  }
}

// The sources along x and y of every target coordinate. A row's sources
// depend on its coordinate along each axis alone; listing them once spares
// every row the stencil weights.
void plan_xy(side_plan& P) {
  for (int axis = 0; axis < 2; ++axis) {
    const int64_t n_axis = P.a.g.extent(axis);
    P.span[axis].assign(static_cast<size_t>(std::max<int64_t>(n_axis, 0)), xy_span{});
    for (int64_t qt = 0; qt < n_axis; ++qt) {
      xy_span& sp = P.span[axis][qt];
      sp.first = static_cast<int>(P.entries.size());
      for (int d = P.d_lo; d <= P.d_hi; ++d) {
        for (int h = 0; h < 2; ++h) {
          const layer_face_desc& fd = P.t.face[2 * axis + h];
          const int64_t qs = qt + d;
          if (fd.w == 0 || qs < fd.q_lo || qs > fd.q_hi) continue;
          const float w = kernels::stencil_weight(P.e_side, P.a.order, qs, -d, fd.n);
          if (w == 0.0f) continue;
          const int64_t p = fd.position(qs, P.e_side);
          P.entries.push_back({2 * axis + h, qs, p, fd.prof[p] - 1.0f, -fd.prof[3 * fd.w + p], w});
          sp.n_behind += d < 0;
          sp.n_own += d == 0;
        }
      }
      sp.n = static_cast<int>(P.entries.size()) - sp.first;
    }
  }
}

}  // namespace

side_plan::side_plan(const pass_args& a, const forward::layer_table& t, bool e_side)
    : a(a),
      t(t),
      e_side(e_side),
      read(e_side ? a.e : a.h),
      into(e_side ? a.h : a.e),
      K(e_side ? a.c.cs_e : a.c.cs_h),
      inv_h{1.0f / a.g.dx, 1.0f / a.g.dy, 1.0f / a.g.dz},
      M(kernels::half_width(a.order)),
      d_lo(e_side ? 1 - M : -M),
      d_hi(e_side ? M : M - 1) {
  plan_z(*this);
  plan_xy(*this);
}

}  // namespace norvane::adjoint
