// The process allocator against glibc malloc (Google Benchmark), then a table of five
// allocators side by side: this one and glibc in this program, jemalloc, tcmalloc and mimalloc
// each in a program of its own (malloc_peer_*, beside this one), so that none of them replaces
// the malloc under test here. Figures are operations (allocations + frees) per second over all
// threads; the table adds the ratio to glibc.
//   MALLOC_BENCH_SECONDS=s   time of each table run (default 0.5); 0 skips the table
#include <benchmark/benchmark.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cu_malloc.h"
#include "cu_sem.h"
#include "cu_xmem.h"
#include "malloc_patterns.h"

namespace {
constexpr char kUnit[] = "bench\\malloc_bench";

void* cu_alloc(size_t n) { return _cu_malloc(n, kUnit, __LINE__); }
void cu_release(void* p) { _cu_free(p, kUnit, __LINE__); }
void* libc_alloc(size_t n) { return std::malloc(n); }
void libc_release(void* p) { std::free(p); }

struct CuAlloc {
  static void* alloc(size_t n) { return cu_alloc(n); }
  static void release(void* p) { cu_release(p); }
};

struct LibcAlloc {
  static void* alloc(size_t n) { return libc_alloc(n); }
  static void release(void* p) { libc_release(p); }
};

// Each thread keeps 256 live blocks and replaces one per iteration.
template <class Alloc>
void replace_blocks(benchmark::State& state, const std::vector<uint32_t>& sizes) {
  std::vector<void*> live(malloc_bench::kLive, nullptr);
  size_t i = 0;
  for (auto _ : state) {
    const size_t slot = (i * 7919) % malloc_bench::kLive;
    Alloc::release(live[slot]);
    void* p = Alloc::alloc(sizes[i % malloc_bench::kSizes]);
    if (p) std::memset(p, 0x5A, 16);
    live[slot] = p;
    benchmark::DoNotOptimize(p);
    ++i;
  }
  for (void* p : live) Alloc::release(p);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2);
}

// 16 B to 8 KB, small sizes more frequent.
template <class Alloc>
void BM_MixedSizes(benchmark::State& state) {
  replace_blocks<Alloc>(state, malloc_bench::mixed_sizes(static_cast<uint32_t>(state.thread_index()) + 1));
}

template <class Alloc>
void BM_Fixed64(benchmark::State& state) {
  replace_blocks<Alloc>(state, std::vector<uint32_t>(malloc_bench::kSizes, 64));
}

template <class Alloc>
void BM_Fixed200(benchmark::State& state) {
  replace_blocks<Alloc>(state, std::vector<uint32_t>(malloc_bench::kSizes, 200));
}

BENCHMARK_TEMPLATE(BM_MixedSizes, CuAlloc)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();
BENCHMARK_TEMPLATE(BM_MixedSizes, LibcAlloc)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Fixed64, CuAlloc)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Fixed64, LibcAlloc)->Threads(1)->Threads(8)->UseRealTime();

// A unit pool as the library's units make them (its own lock, 64 KB pages from the system
// pool) holding 200-byte records, against the same records from the process allocator.
void* page_from_system(void* pool, uint64_t size) { return cu_xmem_malloc(static_cast<cu_xmem*>(pool), size); }
void page_to_system(void* pool, void* page) { cu_xmem_free(static_cast<cu_xmem*>(pool), page); }

cu_xmem* unit_pool() {
  static cu_sem lock;
  static cu_xmem* pool = [] {
    cu_system__xmem_init();
    cu_sem_init(&lock);
    return cu_xmem_init_ext_ext(&lock, 64 * 1024, 1024, 16, false, page_from_system, page_to_system, cu_system__xmem);
  }();
  return pool;
}

struct UnitPoolAlloc {
  static void* alloc(size_t n) { return cu_xmem_malloc(unit_pool(), n); }
  static void release(void* p) {
    if (p) cu_xmem_free(unit_pool(), p);
  }
};

void BM_UnitPool200(benchmark::State& state) {
  replace_blocks<UnitPoolAlloc>(state, std::vector<uint32_t>(malloc_bench::kSizes, 200));
}
BENCHMARK(BM_UnitPool200)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Fixed200, CuAlloc)->Threads(1)->Threads(8)->UseRealTime();

// ---- the comparison table ----

constexpr int kPatternCount = sizeof(malloc_bench::kPatterns) / sizeof(malloc_bench::kPatterns[0]);
// (pattern index, threads) -> ops/s
using Figures = std::map<std::pair<int, int>, double>;

Figures measure_here(const malloc_bench::Allocator& a, double seconds) {
  Figures f;
  for (int p = 0; p < kPatternCount; ++p)
    for (int threads : malloc_bench::kThreadCounts)
      f[{p, threads}] = malloc_bench::run_pattern(malloc_bench::kPatterns[p], a, threads, seconds);
  return f;
}

std::string own_directory() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string dir(path);
  return dir.substr(0, dir.rfind('/'));
}

// Runs malloc_peer_<name> beside this program; empty when it is missing or fails.
Figures measure_peer(const std::string& name, double seconds) {
  Figures f;
  const std::string command = own_directory() + "/malloc_peer_" + name + " " + std::to_string(seconds) + " 2>/dev/null";
  FILE* out = popen(command.c_str(), "r");
  if (!out) return f;
  int p = 0, threads = 0;
  double ops = 0;
  while (std::fscanf(out, "%d %d %lf", &p, &threads, &ops) == 3) f[{p, threads}] = ops;
  pclose(out);
  return f;
}

std::string cell(const Figures& f, const Figures& glibc, int p, int threads) {
  auto it = f.find({p, threads});
  if (it == f.end()) return "n/a";
  char text[64];
  auto base = glibc.find({p, threads});
  const double ratio = base != glibc.end() && base->second > 0 ? it->second / base->second : 0;
  std::snprintf(text, sizeof text, "%7.1fM (%.2fx)", it->second / 1e6, ratio);
  return text;
}

void print_table(double seconds) {
  const std::vector<std::pair<std::string, Figures>> columns = {
      {"_cu_malloc", measure_here({"cu", cu_alloc, cu_release}, seconds)},
      {"glibc", measure_here({"glibc", libc_alloc, libc_release}, seconds)},
      {"jemalloc", measure_peer("jemalloc", seconds)},
      {"tcmalloc", measure_peer("tcmalloc", seconds)},
      {"mimalloc", measure_peer("mimalloc", seconds)},
  };
  const Figures& glibc = columns[1].second;
  std::printf("\nOperations per second over all threads (ratio to glibc malloc), %.1f s per run\n", seconds);
  std::printf("%-18s %-7s", "pattern", "threads");
  for (const auto& c : columns) std::printf(" %-17s", c.first.c_str());
  std::printf("\n");
  for (int p = 0; p < kPatternCount; ++p) {
    for (int threads : malloc_bench::kThreadCounts) {
      std::printf("%-18s %-7d", malloc_bench::pattern_name(malloc_bench::kPatterns[p]), threads);
      for (const auto& c : columns) std::printf(" %-17s", cell(c.second, glibc, p, threads).c_str());
      std::printf("\n");
    }
  }
  std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const char* seconds = std::getenv("MALLOC_BENCH_SECONDS");
  const double s = seconds ? std::atof(seconds) : 0.5;
  if (s > 0) print_table(s);
  return 0;
}
