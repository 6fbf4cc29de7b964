// One other allocator through its own prefixed interface, in a program of its own (linking it
// also replaces this program's malloc, which the comparison must not do to the allocator under
// test). Prints one line per pattern and thread count: "<pattern index> <threads> <ops/s>".
//   malloc_peer_<name> [seconds per run]
#include <cstdio>
#include <cstdlib>

#include "malloc_patterns.h"

#if defined(MALLOC_PEER_JEMALLOC)
#include <jemalloc/jemalloc.h>
namespace {
void* peer_alloc(size_t n) { return mallocx(n, 0); }
void peer_free(void* p) { dallocx(p, 0); }
constexpr char kName[] = "jemalloc";
}  // namespace
#elif defined(MALLOC_PEER_TCMALLOC)
#include <gperftools/tcmalloc.h>
namespace {
void* peer_alloc(size_t n) { return tc_malloc(n); }
void peer_free(void* p) { tc_free(p); }
constexpr char kName[] = "tcmalloc";
}  // namespace
#elif defined(MALLOC_PEER_MIMALLOC)
#include <mimalloc.h>
namespace {
void* peer_alloc(size_t n) { return mi_malloc(n); }
void peer_free(void* p) { mi_free(p); }
constexpr char kName[] = "mimalloc";
}  // namespace
#else
#error "define the allocator to compare: MALLOC_PEER_JEMALLOC, MALLOC_PEER_TCMALLOC or MALLOC_PEER_MIMALLOC"
#endif

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  const malloc_bench::Allocator peer{kName, peer_alloc, peer_free};
  int index = 0;
  for (malloc_bench::Pattern pattern : malloc_bench::kPatterns) {
    for (int threads : malloc_bench::kThreadCounts)
      std::printf("%d %d %.0f\n", index, threads, malloc_bench::run_pattern(pattern, peer, threads, seconds));
    ++index;
  }
  return 0;
}
