// Throughput of forward and backward against the machine's memory limit.
//
// For each case it prints cells per second (n_shots * n_nodes * nt / wall
// seconds) and the share of the bandwidth limit, where the limit is a
// STREAM-style triad measured in the same run and a case's traffic is the
// minimum one step must move: every field component read and written once,
// every coefficient the step uses read once, every layer memory read and
// written once, snapshot elements written (forward) or read (backward) once
// per sampled step. Beside that, each case gives the MiB of the arrays it
// allocates as the caller and the peak resident memory of its measured pass
// (see reset_peak_memory): the library allocates nothing of that size, so
// the two should differ by the process's base of a few MiB. Results go to
// the terminal and to a CSV file.
//
//   norvane_bench [--quick] [--csv FILE] [--threads N] [--same-page-offsets] [--filled]
//                 [--repeat R] [--misalign F]
//                 [--grid N] [--steps NT] [--shots S] [--orders 2,8] [--pml 0,10]
//                 [--pass forward|backward] [--snapshots none,f32,half,bf16]
// The options from the third line on restrict the full matrix to one grid,
// step count, shot count, set of orders, layer widths, pass and snapshot
// formats. The field and coefficient arrays start at staggered offsets
// within a memory page, as the Python package places them;
// --same-page-offsets starts them all at the same offset, as separate large
// allocations do, which makes both passes 5-25 % slower here. --misalign F
// moves every array F floats past its cache-line boundary (as when each row
// of a grid whose nz is not a multiple of 16 starts off the line).
// --filled starts the measured pass from non-zero fields (see start_fields).
// --repeat R measures each case R times and reports the least wall time and
// the least CPU time among the passes (not always the same pass), which
// steadies the figures where other work shares the machine's caches and
// memory.
#include <malloc.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/interface/norvane_cpu.h"

namespace {

using clock_type = std::chrono::steady_clock;

// CPU seconds of the whole process (all threads): on a shared machine a
// one-thread case's rate per CPU second is steadier than its wall rate.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// Triad a = b + s*c over arrays far larger than the caches; bytes counted as
// two reads and one write (plus the write-allocate read the CPU does anyway).
double triad_bandwidth(int threads) {
  const size_t n = size_t(1) << 25;  // 128 MiB per array
  std::vector<float> a(n), b(n, 1.0f), c(n, 2.0f);
  double best = 0;
  for (int rep = 0; rep < 5; ++rep) {
    const auto t0 = clock_type::now();
#pragma omp parallel for schedule(static) num_threads(threads)
    for (size_t i = 0; i < n; ++i) a[i] = b[i] + 3.0f * c[i];
    const double s = seconds_since(t0);
    best = std::max(best, 4.0 * sizeof(float) * n / s);
  }
  return best + a[n / 3] * 0;  // keep the result alive
}

struct bench_case {
  int n = 96;
  int shots = 1;
  int order = 2;
  int pml = 0;
  int snapshot_format = -1;  // -1: none
  bool backward = false;
  int threads = 1;
  int nt = 20;
};

bool g_same_page_offsets = false;
int g_misalign = 0;  // floats past the line boundary

// A zeroed float array of n elements whose start lies `slot` * 320 bytes
// into a memory page (or wherever the allocation puts it, with
// --same-page-offsets), plus --misalign floats.
struct placed_array {
  std::vector<float> storage;
  float* p = nullptr;
  size_t size = 0;

  void assign(size_t n, int slot) {
    constexpr size_t page = 1024, stagger = 80;  // in floats
    storage.assign(n + 2 * page, 0.0f);
    const size_t at = reinterpret_cast<uintptr_t>(storage.data()) / sizeof(float);
    p = storage.data() + (g_same_page_offsets ? 0 : (stagger * slot + page - at % page) % page) +
        g_misalign;
    size = n;
  }
  float* data() { return p; }
  float* begin() { return p; }
  float* end() { return p + size; }
};

struct arrays {
  int n, shots, nt, pml, n_src = 1, n_rec = 4;
  placed_array f[6], c[6];
  std::vector<float> eps, sig, mu, psi[24], prof[12], rec, wav, grad_w, grad_e, grad_s;
  std::vector<int32_t> src_pos, rec_pos;
  std::vector<uint8_t> e_store, r_store;

  arrays(int n_, int shots_, int nt_, int pml_, int fmt, int interval)
      : n(n_), shots(shots_), nt(nt_), pml(pml_) {
    const size_t nn = size_t(n) * n * n, nf = nn * shots;
    eps.assign(nn, 4.0f);
    sig.assign(nn, 0.001f);
    mu.assign(nn, 1.0f);
    for (int k = 0; k < 6; ++k) f[k].assign(nf, k);
    for (int k = 0; k < 6; ++k) c[k].assign(nn, 6 + k);
    const size_t face_plane = size_t(n) * n;
    for (int k = 0; k < 24; ++k) psi[k].assign(pml ? size_t(shots) * (pml + 1) * face_plane : 0, 0.0f);
    for (int k = 0; k < 12; ++k) {
      prof[k].assign(4 * size_t(pml), 0.0f);
      for (int p = 0; p < pml; ++p) {
        prof[k][p] = 1.0f;
        prof[k][pml + p] = prof[k][2 * pml + p] = 0.9f;
        prof[k][3 * pml + p] = 0.01f;
      }
    }
    for (int s = 0; s < shots; ++s) {
      src_pos.insert(src_pos.end(), {n / 2, n / 2, n / 2});
      for (int r = 0; r < n_rec; ++r) rec_pos.insert(rec_pos.end(), {n / 2, n / 3, n / 4 + r});
    }
    wav.assign(size_t(nt) * n_src, 0.0f);
    for (int t = 0; t < nt; ++t) wav[t] = t == 1 ? 1.0f : 0.0f;
    rec.assign(size_t(shots) * nt * n_rec, 0.0f);
    grad_w.assign(wav.size(), 0.0f);
    grad_e.assign(size_t(n - 1) * (n - 1) * (n - 1), 0.0f);
    grad_s = grad_e;
    if (fmt >= 0) {
      const size_t n_snap = (nt + interval - 1) / interval;
      const size_t bytes = 3 * n_snap * size_t(shots) * (n - 1) * (n - 1) * (n - 1) * (fmt ? 2 : 4);
      e_store.assign(bytes, 0);
      r_store.assign(bytes, 0);
    }
  }
  // Bytes of every array the caller allocates for the case.
  size_t bytes() const {
    size_t b = 0;
    for (const placed_array& a : f) b += a.storage.size() * sizeof(float);
    for (const placed_array& a : c) b += a.storage.size() * sizeof(float);
    for (const std::vector<float>* v : {&eps, &sig, &mu, &rec, &wav, &grad_w, &grad_e, &grad_s})
      b += v->size() * sizeof(float);
    for (const std::vector<float>& v : psi) b += v.size() * sizeof(float);
    for (const std::vector<float>& v : prof) b += v.size() * sizeof(float);
    return b + (src_pos.size() + rec_pos.size()) * sizeof(int32_t) + e_store.size() + r_store.size();
  }
  float* P(int k) { return pml ? psi[k].data() : nullptr; }
  const float* R(int k) { return pml ? prof[k].data() : nullptr; }
};

#define NV_PSI24(A)                                                                              \
  A.P(0), A.P(1), A.P(2), A.P(3), A.P(4), A.P(5), A.P(6), A.P(7), A.P(8), A.P(9), A.P(10),        \
      A.P(11), A.P(12), A.P(13), A.P(14), A.P(15), A.P(16), A.P(17), A.P(18), A.P(19), A.P(20), \
      A.P(21), A.P(22), A.P(23)
#define NV_PROF12(A)                                                                            \
  A.R(0), A.R(1), A.R(2), A.R(3), A.R(4), A.R(5), A.R(6), A.R(7), A.R(8), A.R(9), A.R(10), A.R(11)

void call_forward(arrays& A, int fmt, int interval) {
  const int w = A.pml;
  forward(A.eps.data(), A.sig.data(), A.mu.data(), A.e_store.data(), A.r_store.data(),
          A.f[0].data(), A.f[1].data(), A.f[2].data(), A.f[3].data(), A.f[4].data(),
          A.f[5].data(), A.c[0].data(), A.c[1].data(), A.c[2].data(), A.c[3].data(),
          A.c[4].data(), A.c[5].data(), NV_PSI24(A), w, w, w, w, w, w, NV_PROF12(A), A.nt,
          A.shots, A.n_rec, A.rec_pos.data(), A.rec.data(), 2, A.n, A.n, A.n, 1.5e-11f, 0.01f,
          0.01f, 0.01f, A.n_src, A.src_pos.data(), A.wav.data(), 2, interval, 3,
          fmt >= 0 ? fmt : 0x4000000, fmt >= 0 ? 1 : 0);
}

void call_backward(arrays& A, int fmt, int interval) {
  const int w = A.pml;
  backward(A.eps.data(), A.sig.data(), A.mu.data(), A.e_store.data(), A.r_store.data(),
           A.f[0].data(), A.f[1].data(), A.f[2].data(), A.f[3].data(), A.f[4].data(),
           A.f[5].data(), A.c[0].data(), A.c[1].data(), A.c[2].data(), A.c[3].data(),
           A.c[4].data(), A.c[5].data(), NV_PSI24(A), w, w, w, w, w, w, NV_PROF12(A), A.nt,
           A.shots, 0, A.n, A.n, A.n, 1.5e-11f, 0.01f, 0.01f, 0.01f, A.n_rec, A.rec_pos.data(),
           A.rec.data(), 2, A.n_src, A.src_pos.data(), 2, A.grad_w.data(), 1, A.grad_e.data(),
           A.grad_s.data(), 1, 1, interval, 3, fmt);
}

// With --filled the measured pass starts from fields holding values of order
// one everywhere instead of zero. A run from rest has, ahead of its wave, a
// band of values that the stencils spread faster than the wave travels and
// that shrink through the subnormal range; some x86 cores take a microcode
// assist on each operation there. Arithmetic is never flushed to zero, so a
// run pays for that band: order 8 on a 96^3 grid over 16 steps measured 5x
// slower than from filled fields on such a core. A long run spends most of
// its steps with the grid filled, which --filled measures.
bool g_filled = false;

void start_fields(placed_array& f, int k) {
  if (!g_filled) return std::fill(f.begin(), f.end(), 0.0f);
  uint32_t x = 0x9e3779b9u * uint32_t(k + 1);
  for (float& v : f) {
    x = x * 1664525u + 1013904223u;
    v = 0.5f + float(x >> 8) * (1.0f / 16777216.0f);  // [0.5, 1.5)
  }
}

// The process's peak resident memory is reset to its current resident
// memory before each measured pass and read after it, so each case reports
// what its pass held at most: the caller's arrays plus whatever the library
// allocated (its one scratch buffer) and the process's own small base.
// The heap the earlier cases freed is handed back first, so that it does not
// count. Without /proc the peak reads 0; where the reset is refused, it is
// the whole run's so far.
void reset_peak_memory() {
  malloc_trim(0);
  if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

double peak_memory_mib() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  double kib = 0;
  while (std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmHWM: %lf kB", &kib) == 1) break;
  std::fclose(f);
  return kib / 1024.0;
}

// Minimum bytes one step moves (see the file comment).
double step_bytes(const bench_case& b) {
  const double n = b.n, nodes = n * n * n, cells = (n - 1) * (n - 1) * (n - 1);
  double bytes = b.shots * nodes * 12 * 4 + nodes * 4 * 4;  // fields rw, ca/cb of E and H
  if (b.pml) {
    const double layer_nodes = nodes - (n - 2.0 * b.pml) * (n - 2.0 * b.pml) * (n - 2.0 * b.pml);
    bytes += b.shots * layer_nodes * 4 * 2 * 4 + layer_nodes * 2 * 4;  // memories rw, cs
  }
  if (b.snapshot_format >= 0) {
    const double elem = b.snapshot_format ? 2 : 4, per_step = 1.0 / 4;  // interval 4
    bytes += per_step * b.shots * cells * 3 * 2 * elem;  // E and rhs snapshots
    if (b.backward) bytes += per_step * cells * 2 * 2 * 4;  // gradients rw
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string csv = "norvane_bench.csv";
  int max_threads = omp_get_max_threads();
  int repeats = 1;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quick")) quick = true;
    if (!std::strcmp(argv[i], "--same-page-offsets")) g_same_page_offsets = true;
    if (!std::strcmp(argv[i], "--filled")) g_filled = true;
    if (!std::strcmp(argv[i], "--misalign") && i + 1 < argc) g_misalign = std::atoi(argv[++i]) & 15;
    if (!std::strcmp(argv[i], "--csv") && i + 1 < argc) csv = argv[++i];
    if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) max_threads = std::atoi(argv[++i]);
    if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) repeats = std::max(1, std::atoi(argv[++i]));
  }
  std::vector<int> only_grid, only_orders, only_pml, only_shots;
  int steps = 0;
  std::string only_pass;  // "forward" or "backward": that pass's cases only
  std::vector<int> only_formats;  // -1 none, 0 f32, 1 half, 2 bf16
  auto list = [](const char* arg) {
    std::vector<int> v;
    for (const char* p = arg; *p;) {
      v.push_back(std::atoi(p));
      while (*p && *p != ',') ++p;
      if (*p == ',') ++p;
    }
    return v;
  };
  for (int i = 1; i + 1 < argc; ++i) {
    if (!std::strcmp(argv[i], "--grid")) only_grid = list(argv[i + 1]);
    if (!std::strcmp(argv[i], "--orders")) only_orders = list(argv[i + 1]);
    if (!std::strcmp(argv[i], "--pml")) only_pml = list(argv[i + 1]);
    if (!std::strcmp(argv[i], "--shots")) only_shots = list(argv[i + 1]);
    if (!std::strcmp(argv[i], "--steps")) steps = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--pass")) only_pass = argv[i + 1];
    if (!std::strcmp(argv[i], "--snapshots")) {
      for (const char* p = argv[i + 1]; *p;) {
        const char* names[4] = {"none", "f32", "half", "bf16"};
        for (int f = 0; f < 4; ++f)
          if (!std::strncmp(p, names[f], std::strlen(names[f]))) only_formats.push_back(f - 1);
        while (*p && *p != ',') ++p;
        if (*p == ',') ++p;
      }
    }
  }
  auto keep = [](const std::vector<int>& only, int v) {
    return only.empty() || std::find(only.begin(), only.end(), v) != only.end();
  };
  std::vector<int> thread_counts = {1};
  if (max_threads > 1) thread_counts.push_back(max_threads);

  std::vector<bench_case> cases;
  std::vector<int> sizes = quick ? std::vector<int>{96} : std::vector<int>{96, 256};
  if (!only_grid.empty()) sizes = only_grid;
  for (int n : sizes)
    for (int shots : {1, 4})
      for (int order : {2, 4, 8})
        for (int pml : {0, 10})
          for (int threads : thread_counts) {
            if (quick && (shots == 4 || order == 4)) continue;
            if (!keep(only_orders, order) || !keep(only_pml, pml) || !keep(only_shots, shots))
              continue;
            bench_case b;
            b.n = n;
            b.shots = shots;
            b.order = order;
            b.pml = pml;
            b.threads = threads;
            b.nt = steps > 0 ? steps : (n >= 256 ? 8 : 24);
            if (n >= 256 && shots == 4) continue;  // ~3.5 GiB of fields; skipped
            const bool fwd = only_pass != "backward", bwd = only_pass != "forward";
            if (fwd && keep(only_formats, -1)) cases.push_back(b);
            for (int fmt : {0, 1, 2}) {
              if ((quick && fmt != 1) || !keep(only_formats, fmt)) continue;
              b.snapshot_format = fmt;
              if (fwd) cases.push_back(b);
              if (fmt == 1 && bwd) {
                b.backward = true;
                cases.push_back(b);
                b.backward = false;
              }
            }
          }

  std::vector<double> bw(thread_counts.size());
  for (size_t t = 0; t < thread_counts.size(); ++t) {
    bw[t] = triad_bandwidth(thread_counts[t]);
    std::printf("triad bandwidth, %d thread(s): %.2f GB/s\n", thread_counts[t], bw[t] / 1e9);
  }
  std::FILE* out = std::fopen(csv.c_str(), "w");
  if (out)
    std::fprintf(out,
                 "grid,shots,order,pml,snapshots,pass,threads,nt,seconds,mcells_per_s,"
                 "limit_mcells_per_s,share_of_limit,mcells_per_cpu_s,arrays_mib,peak_mib\n");
  std::printf("%-6s %-5s %-5s %-4s %-9s %-8s %-7s %10s %10s %7s %12s %10s %10s\n", "grid", "shots",
              "order", "pml", "snapshots", "pass", "threads", "Mcells/s", "limit", "share",
              "per CPU-s", "arrays MiB", "peak MiB");
  double max_peak_mib = 0, max_arrays_mib = 0;
  for (const bench_case& b : cases) {
    omp_set_num_threads(b.threads);
    set_fdtd_order(b.order);
    const int interval = 4;
    arrays A(b.n, b.shots, b.nt, b.pml, b.snapshot_format, interval);
    call_forward(A, b.snapshot_format, interval);  // warm-up: touches every page
    if (b.backward) {
      for (auto& v : A.f) std::fill(v.begin(), v.end(), 0.0f);
      for (std::vector<float>& v : A.psi) std::fill(v.begin(), v.end(), 0.0f);
      call_backward(A, b.snapshot_format, interval);
    }
    // Each measured pass starts from the same state: the fields as
    // start_fields leaves them and the layer memories at zero (the warm-up
    // leaves them holding its own wave). The least times of the passes count.
    double s = 0, cpu = 0, peak_mib = 0;
    for (int rep = 0; rep < repeats; ++rep) {
      for (int k = 0; k < 6; ++k) start_fields(A.f[k], k);
      for (std::vector<float>& v : A.psi) std::fill(v.begin(), v.end(), 0.0f);
      reset_peak_memory();
      const double cpu0 = cpu_seconds();
      const auto t0 = clock_type::now();
      if (b.backward)
        call_backward(A, b.snapshot_format, interval);
      else
        call_forward(A, b.snapshot_format, interval);
      const double wall = seconds_since(t0), used = cpu_seconds() - cpu0;
      s = rep == 0 ? wall : std::min(s, wall);
      cpu = rep == 0 ? used : std::min(cpu, used);
      peak_mib = std::max(peak_mib, peak_memory_mib());
    }
    const double arrays_mib = A.bytes() / 1048576.0;
    max_peak_mib = std::max(max_peak_mib, peak_mib);
    max_arrays_mib = std::max(max_arrays_mib, arrays_mib);
    const double cells = double(b.shots) * b.n * b.n * b.n * b.nt;
    const double rate = cells / s;
    const size_t ti = b.threads == 1 ? 0 : thread_counts.size() - 1;
    const double limit = bw[ti] / step_bytes(b) * double(b.shots) * b.n * b.n * b.n;
    const char* snap = b.snapshot_format < 0 ? "none"
                       : b.snapshot_format == 0 ? "f32/4"
                       : b.snapshot_format == 1 ? "half/4"
                                                : "bf16/4";
    std::printf("%4d^3 %-5d %-5d %-4d %-9s %-8s %-7d %10.1f %10.1f %6.0f%% %12.1f %10.1f %10.1f\n",
                b.n, b.shots, b.order, b.pml, snap, b.backward ? "backward" : "forward", b.threads,
                rate / 1e6, limit / 1e6, 100 * rate / limit, cells / cpu / 1e6, arrays_mib,
                peak_mib);
    std::fflush(stdout);
    if (out)
      std::fprintf(out, "%d,%d,%d,%d,%s,%s,%d,%d,%.4f,%.2f,%.2f,%.3f,%.2f,%.1f,%.1f\n", b.n,
                   b.shots, b.order, b.pml, snap, b.backward ? "backward" : "forward", b.threads,
                   b.nt, s, rate / 1e6, limit / 1e6, rate / limit, cells / cpu / 1e6, arrays_mib,
                   peak_mib);
  }
  set_fdtd_order(2);
  if (out) std::fclose(out);
  std::printf("largest case: arrays %.1f MiB, peak resident memory %.1f MiB; CSV: %s\n",
              max_arrays_mib, max_peak_mib, csv.c_str());
  return 0;
}
