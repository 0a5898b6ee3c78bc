// No hidden cost inside the time loops: a pass builds what it needs (layer
// tables, gather and layer plans) before its steps, so the allocations of a
// call must not grow with its step count. Counted through the global
// operator new, plain and aligned, which the library's containers use (the
// library is linked into this executable; its one malloc'ed scratch is not
// counted). Nor may the backward's plans allocate per row or per term list.
// The sanitizer runtimes bring their own operator new, so those
// builds skip the count.
#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>

#include "tests/common/sim_case.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NORVANE_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NORVANE_TEST_SANITIZED 1
#endif

#ifndef NORVANE_TEST_SANITIZED
namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

void* operator new(std::size_t n, std::align_val_t al) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const std::size_t a = static_cast<std::size_t>(al);
  if (void* p = std::aligned_alloc(a, (n + a - 1) / a * a)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
#endif

namespace nt = norvane_test;

namespace {

#ifndef NORVANE_TEST_SANITIZED
// A case with every feature that plans or buffers something: layers on all
// faces, two shots, sources and receivers, half-precision snapshots with
// their right-hand sides.
nt::sim_case layered_case(int order, int steps, int nz) {
  nt::sim_case c;
  c.nx = 17, c.ny = 14, c.nz = nz, c.n_shots = 2, c.nt = steps;
  c.dy = 0.012f;
  c.set_stable_dt(order, 0.9f);
  for (int& w : c.pml) w = nz >= 12 ? 4 : 2;
  c.n_src = 1, c.src_comp = 1, c.n_rec = 2, c.rec_comp = 2;
  c.src_pos = {8, 7, 18, 9, 6, 20};
  c.rec_pos = {5, 5, 10, 11, 8, 25, 6, 9, 12, 10, 4, 30};
  for (size_t q = 2; q < c.src_pos.size(); q += 3) c.src_pos[q] %= nz;
  for (size_t q = 2; q < c.rec_pos.size(); q += 3) c.rec_pos[q] %= nz;
  c.wavelet.assign(size_t(c.n_src) * steps, 0.5f);
  c.interval = 2, c.components = 3, c.format = 1, c.save_rhs = 1;
  c.allocate();
  std::mt19937 rng(11);
  c.randomize_materials(rng, false);
  c.randomize_profiles(rng);
  return c;
}

// Allocations made inside one forward and one backward call of `steps` steps.
void count_calls(int order, int steps, int nz, long& forward_calls, long& backward_calls) {
  nt::sim_case c = layered_case(order, steps, nz);
  long before = g_allocations.load();
  c.run_forward(&::forward);
  forward_calls = g_allocations.load() - before;
  nt::adjoint_state adj;
  adj.allocate(c);
  for (auto& r : adj.residual) r = 0.25f;
  before = g_allocations.load();
  adj.run_backward(c, &::backward);
  backward_calls = g_allocations.load() - before;
}
#endif

TEST(Allocations, DoNotGrowWithTheSteps) {
#ifdef NORVANE_TEST_SANITIZED
  GTEST_SKIP() << "the sanitizer runtime owns operator new";
#else
  // Rows of 37 nodes run in blocks with one plan for every vector phase,
  // rows of 67 in blocks with a plan per phase, rows of 9 in segments.
  for (int nz : {37, 67, 9}) {
    for (int order : {2, 8}) {
      nt::order_guard guard(order);
      omp_set_dynamic(0);  // the same team in every call: each thread plans for itself
      omp_set_num_threads(2);
      long f_short, b_short, f_long, b_long;
      count_calls(order, 3, nz, f_short, b_short);
      count_calls(order, 11, nz, f_long, b_long);
      const std::string at = "nz " + std::to_string(nz) + ", order " + std::to_string(order);
      EXPECT_EQ(f_short, f_long) << "forward, " << at;
      EXPECT_EQ(b_short, b_long) << "backward, " << at;
      EXPECT_GT(b_short, 0) << "the count sees the library's allocations";
      // The plans store each distinct term list once, in a few pools: a few
      // hundred allocations per call, not one per row class or list.
      EXPECT_LT(b_short, 1000) << "backward, " << at;
    }
  }
#endif
}

}  // namespace
