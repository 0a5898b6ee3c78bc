#include "tests/common/sim_case.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "lib/kernels/isa.hpp"
#include "tests/reference/reference.hpp"

namespace norvane_test {

void sim_case::allocate() {
  const int64_t nn = n_nodes();
  const size_t nf = size_t(n_shots) * size_t(nn);
  if (eps_r.size() != size_t(nn)) eps_r.assign(nn, 1.0f);
  if (sigma.size() != size_t(nn)) sigma.assign(nn, 0.0f);
  if (mu_r.size() != size_t(nn)) mu_r.assign(nn, 1.0f);
  for (int c = 0; c < 3; ++c) {
    e[c].assign(nf, 0.0f);
    h[c].assign(nf, 0.0f);
  }
  for (auto& c : coeff) c.assign(nn, 0.0f);
  for (int f = 0; f < 6; ++f) {
    const int w = pml[f];
    if (prof_e[f].size() != size_t(4 * w)) {
      prof_e[f].assign(4 * w, 0.0f);
      prof_h[f].assign(4 * w, 0.0f);
      for (int p = 0; p < w; ++p) prof_e[f][p] = prof_h[f][p] = 1.0f;
    }
    for (int m = 0; m < 4; ++m) psi[4 * f + m].assign(w ? psi_size(f, m) : 0, 0.0f);
  }
  if (wavelet.size() != size_t(n_src) * nt) wavelet.assign(size_t(n_src) * nt, 0.0f);
  rec_out.assign(size_t(n_shots) * nt * n_rec, -7.0f);
  e_store.assign(store_bytes(), 0xAB);
  rhs_store.assign(store_bytes(), 0xCD);
}

void sim_case::randomize_materials(std::mt19937& rng, bool with_pec) {
  std::uniform_real_distribution<float> ue(1.0f, 9.0f), us(0.0f, 0.05f), um(1.0f, 2.0f),
      u01(0.0f, 1.0f);
  const int64_t nn = n_nodes();
  eps_r.resize(nn);
  sigma.resize(nn);
  mu_r.resize(nn);
  for (int64_t n = 0; n < nn; ++n) {
    eps_r[n] = ue(rng);
    sigma[n] = us(rng);
    mu_r[n] = um(rng);
    if (with_pec && u01(rng) < 0.03f) sigma[n] = 150.0f;
  }
}

void sim_case::randomize_profiles(std::mt19937& rng) {
  std::uniform_real_distribution<float> r0(0.6f, 1.0f), rb(0.5f, 0.95f), ra(-0.3f, 0.0f);
  for (int f = 0; f < 6; ++f) {
    const int w = pml[f];
    for (auto* prof : {&prof_e[f], &prof_h[f]}) {
      prof->assign(4 * w, 0.0f);
      for (int p = 0; p < w; ++p) {
        const float a = ra(rng), b = rb(rng);
        (*prof)[p] = r0(rng) - a;
        (*prof)[w + p] = b;
        (*prof)[2 * w + p] = b;
        (*prof)[3 * w + p] = -a;
      }
    }
  }
}

void sim_case::set_stable_dt(int order, float fraction) {
  const double c0 = 299792458.0;
  const double sum_c = order == 8 ? 1225.0 / 1024 + 245.0 / 3072 + 49.0 / 5120 + 5.0 / 7168
                       : order == 4 ? 9.0 / 8 + 1.0 / 24
                                    : 1.0;
  const double inv = std::sqrt(1.0 / (double(dx) * dx) + 1.0 / (double(dy) * dy) +
                               1.0 / (double(dz) * dz));
  dt = float(fraction / (c0 * inv * sum_c));
}

namespace {

// The six fields and six coefficient arrays of a run, moved to chosen
// offsets from a cache line (see sim_case::placement) and copied back when
// the run is done; with placement -1 the vectors' own storage.
class placed_arrays {
 public:
  placed_arrays(std::vector<float> (&e)[3], std::vector<float> (&h)[3],
                std::vector<float> (&coeff)[6], int placement) {
    for (int m = 0; m < 12; ++m) {
      src_[m] = m < 3 ? &e[m] : m < 6 ? &h[m - 3] : &coeff[m - 6];
      ptr_[m] = src_[m]->data();
      if (placement < 0) continue;
      buf_[m].assign(src_[m]->size() + 32, 0.0f);
      const size_t at = reinterpret_cast<uintptr_t>(buf_[m].data()) / sizeof(float) % 16;
      ptr_[m] = buf_[m].data() + (16 - at) % 16 + (placement + 3 * m) % 16;
      std::copy(src_[m]->begin(), src_[m]->end(), ptr_[m]);
    }
  }
  ~placed_arrays() {
    for (int m = 0; m < 12; ++m)
      if (!buf_[m].empty()) std::copy(ptr_[m], ptr_[m] + src_[m]->size(), src_[m]->begin());
  }
  placed_arrays(const placed_arrays&) = delete;
  placed_arrays& operator=(const placed_arrays&) = delete;
  float* operator[](int m) const { return ptr_[m]; }

 private:
  std::vector<float>* src_[12];
  std::vector<float> buf_[12];
  float* ptr_[12];
};

}  // namespace

#define NV_PSI(f) psi_ptr(f, 0), psi_ptr(f, 1), psi_ptr(f, 2), psi_ptr(f, 3)
#define NV_PROF(v) \
  v[0].data(), v[1].data(), v[2].data(), v[3].data(), v[4].data(), v[5].data()

void sim_case::run_forward(forward_fn fn) {
  const placed_arrays p(e, h, coeff, placement);
  fn(eps_r.data(), sigma.data(), mu_r.data(), e_store.empty() ? nullptr : e_store.data(),
     rhs_store.empty() ? nullptr : rhs_store.data(), p[0], p[1], p[2], p[3], p[4], p[5], p[6],
     p[7], p[8], p[9], p[10], p[11], NV_PSI(0), NV_PSI(1), NV_PSI(2),
     NV_PSI(3), NV_PSI(4), NV_PSI(5), pml[0], pml[1], pml[2], pml[3], pml[4], pml[5],
     NV_PROF(prof_e), NV_PROF(prof_h), nt, n_shots, n_rec, rec_pos.data(), rec_out.data(),
     rec_comp, nx, ny, nz, dt, dx, dy, dz, n_src, src_pos.data(), wavelet.data(), src_comp,
     interval, components, format, save_rhs);
}

void adjoint_state::allocate(const sim_case& c) {
  const size_t nf = size_t(c.n_shots) * size_t(c.n_nodes());
  for (int k = 0; k < 3; ++k) {
    e[k].assign(nf, 0.0f);
    h[k].assign(nf, 0.0f);
  }
  for (auto& v : coeff) v.assign(c.n_nodes(), 0.0f);
  for (int f = 0; f < 6; ++f)
    for (int m = 0; m < 4; ++m) psi[4 * f + m].assign(c.pml[f] ? c.psi_size(f, m) : 0, 0.0f);
  if (residual.size() != size_t(c.n_shots) * c.nt * c.n_rec)
    residual.assign(size_t(c.n_shots) * c.nt * c.n_rec, 0.0f);
  grad_wavelet.assign(size_t(c.n_src) * c.nt, 0.0f);
  const int64_t n_int = int64_t(c.nx - 1) * (c.ny - 1) * (c.nz - 1);
  grad_eps_r.assign(n_int > 0 ? n_int : 0, 0.0f);
  grad_sigma.assign(n_int > 0 ? n_int : 0, 0.0f);
}

#define NV_APSI(f)                                                               \
  c.pml[f] ? psi[4 * f].data() : nullptr, c.pml[f] ? psi[4 * f + 1].data() : nullptr, \
      c.pml[f] ? psi[4 * f + 2].data() : nullptr, c.pml[f] ? psi[4 * f + 3].data() : nullptr

void adjoint_state::run_backward(const sim_case& c, backward_fn fn) {
  const placed_arrays p(e, h, coeff, placement);
  fn(c.eps_r.data(), c.sigma.data(), c.mu_r.data(), c.e_store.data(), c.rhs_store.data(), p[0],
     p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], NV_APSI(0), NV_APSI(1),
     NV_APSI(2), NV_APSI(3), NV_APSI(4), NV_APSI(5), c.pml[0], c.pml[1], c.pml[2], c.pml[3], c.pml[4], c.pml[5], NV_PROF(c.prof_e),
     NV_PROF(c.prof_h), c.nt, c.n_shots, 12345, c.nx, c.ny, c.nz, c.dt, c.dx, c.dy, c.dz,
     c.n_rec, c.rec_pos.data(), residual.data(), c.rec_comp, c.n_src, c.src_pos.data(),
     c.src_comp, grad_wavelet.data(), want_wavelet, grad_eps_r.data(), grad_sigma.data(),
     want_eps, want_sigma, c.interval, c.components, c.format);
}

int64_t bit_mismatches(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return -1;
  int64_t n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += std::memcmp(&a[i], &b[i], 4) != 0;
  return n;
}

namespace {
void check(std::ostringstream& out, const char* name, const std::vector<float>& a,
           const std::vector<float>& b) {
  const int64_t n = bit_mismatches(a, b);
  if (n != 0) out << name << ": " << n << " differing elements; ";
}
}  // namespace

std::string compare_forward(const sim_case& a, const sim_case& b) {
  std::ostringstream out;
  static const char* en[3] = {"ex", "ey", "ez"};
  static const char* hn[3] = {"hx", "hy", "hz"};
  for (int c = 0; c < 3; ++c) {
    check(out, en[c], a.e[c], b.e[c]);
    check(out, hn[c], a.h[c], b.h[c]);
  }
  for (int k = 0; k < 6; ++k) check(out, "coeff", a.coeff[k], b.coeff[k]);
  for (int k = 0; k < 24; ++k) {
    const std::string name = "psi[" + std::to_string(k) + "]";
    check(out, name.c_str(), a.psi[k], b.psi[k]);
  }
  check(out, "rec_out", a.rec_out, b.rec_out);
  if (a.e_store != b.e_store) out << "e_snapshots differ; ";
  if (a.rhs_store != b.rhs_store) out << "rhs_snapshots differ; ";
  return out.str();
}

std::string compare_backward(const adjoint_state& a, const adjoint_state& b) {
  std::ostringstream out;
  static const char* en[3] = {"adj_ex", "adj_ey", "adj_ez"};
  static const char* hn[3] = {"adj_hx", "adj_hy", "adj_hz"};
  for (int c = 0; c < 3; ++c) {
    check(out, en[c], a.e[c], b.e[c]);
    check(out, hn[c], a.h[c], b.h[c]);
  }
  for (int k = 0; k < 24; ++k) {
    const std::string name = "adj_psi[" + std::to_string(k) + "]";
    check(out, name.c_str(), a.psi[k], b.psi[k]);
  }
  check(out, "grad_wavelet", a.grad_wavelet, b.grad_wavelet);
  check(out, "grad_eps_r", a.grad_eps_r, b.grad_eps_r);
  check(out, "grad_sigma", a.grad_sigma, b.grad_sigma);
  return out.str();
}

sim_case random_case(std::mt19937& rng, int order, const extent_bounds& b) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  sim_case c;
  c.nx = pick(b.lo[0], b.hi[0]);
  c.ny = pick(b.lo[1], b.hi[1]);
  c.nz = pick(b.lo[2], b.hi[2]);
  c.n_shots = pick(1, 3);
  c.nt = pick(1, 9);
  c.dx = 0.01f;
  c.dy = pick(0, 1) ? 0.01f : 0.013f;
  c.dz = pick(0, 1) ? 0.01f : 0.008f;
  c.set_stable_dt(order, 0.9f);
  if (pick(0, 2) > 0) {
    const int n[3] = {c.nx, c.ny, c.nz};
    for (int f = 0; f < 6; ++f) {
      const int room = (n[f / 2] - 2) / 2;  // both faces of an axis fit without overlap
      c.pml[f] = room >= 1 && pick(0, 3) > 0 ? pick(1, std::min(room, 5)) : 0;
    }
  }
  c.randomize_materials(rng, true);
  c.n_src = pick(0, 3);
  c.src_comp = pick(0, 3) == 3 ? pick(3, 4) : pick(0, 2);
  c.n_rec = pick(0, 4);
  c.rec_comp = pick(0, 4) == 4 ? 7 : pick(0, 2);
  for (int s = 0; s < c.n_shots; ++s) {
    for (int q = 0; q < c.n_src; ++q) {
      const int32_t p[3] = {pick(0, c.nx - 1), pick(0, c.ny - 1), pick(0, c.nz - 1)};
      c.src_pos.insert(c.src_pos.end(), p, p + 3);
    }
    for (int r = 0; r < c.n_rec; ++r) {
      const int32_t p[3] = {pick(0, c.nx - 1), pick(0, c.ny - 1), pick(0, c.nz - 1)};
      c.rec_pos.insert(c.rec_pos.end(), p, p + 3);
    }
    // Two sources (and two receivers) of one shot on the same node.
    if (c.n_src >= 2) std::copy_n(&c.src_pos[(s * c.n_src) * 3], 3, &c.src_pos[(s * c.n_src + 1) * 3]);
    if (c.n_rec >= 2) std::copy_n(&c.rec_pos[(s * c.n_rec) * 3], 3, &c.rec_pos[(s * c.n_rec + 1) * 3]);
  }
  c.wavelet.resize(size_t(c.n_src) * c.nt);
  for (auto& w : c.wavelet) w = u(rng);
  c.interval = pick(1, 4);
  c.components = pick(0, 1) ? 3 : 1;
  c.format = pick(0, 2);
  c.save_rhs = pick(0, 1);
  c.allocate();
  if (c.pml[0] + c.pml[1] + c.pml[2] + c.pml[3] + c.pml[4] + c.pml[5] > 0) c.randomize_profiles(rng);
  // Random initial fields, so that short runs exercise every stencil.
  for (int k = 0; k < 3; ++k) {
    for (auto& v : c.e[k]) v = u(rng);
    for (auto& v : c.h[k]) v = u(rng) * 1e-3f;
  }
  return c;
}

order_guard::order_guard(int order) {
  set_fdtd_order(order);
  norvane_ref::set_fdtd_order(order);
}

order_guard::~order_guard() {
  set_fdtd_order(2);
  norvane_ref::set_fdtd_order(2);
  norvane::kernels::force_isa(-1);
  omp_set_num_threads(omp_get_num_procs());
}

}  // namespace norvane_test
