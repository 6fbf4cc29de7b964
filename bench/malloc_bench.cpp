// The process allocator against glibc malloc: each thread keeps 256 live blocks and replaces
// one per iteration (a free and an allocation of 16 B to 8 KB, small sizes more frequent).
// Figures are operations (allocations + frees) per second over all threads.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "cu_malloc.h"

namespace {
constexpr char kUnit[] = "bench\\malloc_bench";
constexpr size_t kLive = 256;
constexpr size_t kSizes = 4096;

std::vector<uint32_t> mixed_sizes(uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> sizes(kSizes);
  for (auto& s : sizes) {
    const uint32_t top = 16u << (rng() % 10);  // 16 .. 8192, log-uniform
    s = top / 2 + rng() % (top / 2 + 1);
    if (s < 16) s = 16;
  }
  return sizes;
}

struct CuAlloc {
  static void* alloc(size_t n) { return _cu_malloc(n, kUnit, __LINE__); }
  static void release(void* p) { _cu_free(p, kUnit, __LINE__); }
};

struct LibcAlloc {
  static void* alloc(size_t n) { return std::malloc(n); }
  static void release(void* p) { std::free(p); }
};

template <class Alloc>
void BM_MixedSizes(benchmark::State& state) {
  const auto sizes = mixed_sizes(static_cast<uint32_t>(state.thread_index()) + 1);
  std::vector<void*> live(kLive, nullptr);
  size_t i = 0;
  for (auto _ : state) {
    const size_t slot = (i * 7919) % kLive;
    Alloc::release(live[slot]);
    const uint32_t n = sizes[i % kSizes];
    void* p = Alloc::alloc(n);
    if (p) std::memset(p, 0x5A, 16);
    live[slot] = p;
    benchmark::DoNotOptimize(p);
    ++i;
  }
  for (void* p : live) Alloc::release(p);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2);
}

BENCHMARK_TEMPLATE(BM_MixedSizes, CuAlloc)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();
BENCHMARK_TEMPLATE(BM_MixedSizes, LibcAlloc)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();
}  // namespace
