// The calling thread's allocation counts: each call moves them by exactly what it is, other
// threads' calls leave them alone, pools are listed by address until they end.
#include "cu_malloc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "cu_sem.h"
#include "cu_xmem.h"

namespace {
constexpr char kUnit[] = "srclib\\cu_alloc_counts_mt_test";

cu_alloc_tally counts() {
  cu_alloc_tally t;
  EXPECT_TRUE(cu_alloc_counts(&t));
  return t;
}

// The entry of pool in the listing; 0 when it is not listed.
uint64_t listed(const cu_alloc_tally& t, const cu_xmem* pool) {
  for (uint32_t i = 0; i < t.pool_count; ++i)
    if (t.pools[i].pool == pool) return t.pools[i].allocs;
  return 0;
}

// Pools whose pages come from the C heap: their page allocations are no _cu_malloc calls.
void* heap_page(void*, uint64_t size) { return std::malloc(size); }
void heap_free(void*, void* block) { std::free(block); }
cu_xmem* heap_pool(cu_sem* lock = nullptr) {
  return cu_xmem_init_ext(lock, 65536, 64, 32, heap_page, heap_free, nullptr);
}

struct CallCase {
  const char* name;
  void (*run)();
  uint64_t mallocs;
  uint64_t frees;
};

const CallCase kCalls[] = {
    {"malloc", [] { _cu_free(_cu_malloc(100, kUnit, __LINE__), kUnit, __LINE__); }, 1, 1},
    {"malloc of 0", [] { _cu_free(_cu_malloc(0, kUnit, __LINE__), kUnit, __LINE__); }, 1, 1},
    {"large malloc", [] { _cu_free(_cu_malloc(100000, kUnit, __LINE__), kUnit, __LINE__); }, 1, 1},
    {"calloc", [] { _cu_free(_cu_calloc(10, 10, kUnit, __LINE__), kUnit, __LINE__); }, 1, 1},
    {"calloc overflow", [] { EXPECT_EQ(_cu_calloc(UINT64_MAX, 2, kUnit, __LINE__), nullptr); }, 0, 0},
    {"realloc of NULL", [] { _cu_free(_cu_realloc(nullptr, 64, kUnit, __LINE__), kUnit, __LINE__); }, 1, 1},
    {"grow and shrink",
     [] {
       void* p = _cu_malloc(16, kUnit, __LINE__);
       p = _cu_realloc(p, 5000, kUnit, __LINE__);
       p = _cu_realloc(p, 8, kUnit, __LINE__);
       _cu_free(p, kUnit, __LINE__);
     },
     3, 1},
    {"free of NULL", [] { _cu_free(nullptr, kUnit, __LINE__); }, 0, 0},
};

TEST(AllocCounts, EachCallMovesTheCountsByItself) {
  for (const CallCase& c : kCalls) {
    SCOPED_TRACE(c.name);
    const cu_alloc_tally before = counts();
    c.run();
    const cu_alloc_tally after = counts();
    EXPECT_EQ(after.mallocs - before.mallocs, c.mallocs);
    EXPECT_EQ(after.frees - before.frees, c.frees);
  }
}

TEST(AllocCounts, NullOutputIsRefused) { EXPECT_FALSE(cu_alloc_counts(nullptr)); }

TEST(AllocCounts, PoolAllocationsAreCountedPerPool) {
  cu_xmem* a = heap_pool();
  cu_xmem* b = heap_pool();
  ASSERT_TRUE(a && b);
  const cu_alloc_tally before = counts();
  void* p = cu_xmem_malloc(a, 40);
  cu_xmem_free(a, cu_xmem_memalign(a, 64, 100));
  char* copy = cu_xmem_strdup(b, "text");
  p = cu_xmem_realloc(a, p, 30);    // fits: no allocation
  p = cu_xmem_realloc(a, p, 4000);  // a larger chunk
  cu_xmem_free(b, cu_xmem_realloc(b, nullptr, 10));
  const cu_alloc_tally after = counts();
  EXPECT_EQ(listed(after, a), 3u);
  EXPECT_EQ(listed(after, b), 2u);
  EXPECT_EQ(after.pool_allocs - before.pool_allocs, 5u);
  EXPECT_EQ(after.mallocs, before.mallocs);  // the pages came from the C heap
  cu_xmem_free(a, p);
  cu_xmem_free(b, copy);
  cu_xmem_exit(a);
  cu_xmem_exit(b);
  const cu_alloc_tally ended = counts();
  EXPECT_EQ(listed(ended, a), 0u);
  EXPECT_EQ(listed(ended, b), 0u);
  EXPECT_EQ(ended.pool_allocs, after.pool_allocs);
}

// Pools beyond the listing still count in the total; ending one makes room for the next.
TEST(AllocCounts, PoolsBeyondTheListingCountInTheTotal) {
  std::thread([] {
    std::vector<cu_xmem*> pools;
    for (int i = 0; i < CU_ALLOC_TALLY_POOLS + 4; ++i) {
      pools.push_back(heap_pool());
      cu_xmem_malloc(pools.back(), 16);
    }
    cu_alloc_tally t = counts();
    EXPECT_EQ(t.pool_allocs, static_cast<uint64_t>(CU_ALLOC_TALLY_POOLS + 4));
    EXPECT_EQ(t.pool_count, static_cast<uint32_t>(CU_ALLOC_TALLY_POOLS));
    EXPECT_EQ(listed(t, pools.back()), 0u);
    cu_xmem_exit(pools.front());
    cu_xmem_malloc(pools.back(), 16);
    t = counts();
    EXPECT_EQ(listed(t, pools.back()), 1u);
    EXPECT_EQ(t.pool_count, static_cast<uint32_t>(CU_ALLOC_TALLY_POOLS));
    for (size_t i = 1; i < pools.size(); ++i) cu_xmem_exit(pools[i]);
  }).join();
}

// Four threads allocate from the process allocator and a shared locked pool; each sees only its
// own calls, and the main thread's counts do not move meanwhile.
TEST(AllocCounts, OtherThreadsCallsDoNotMoveThem) {
  cu_sem* lock = cu_sem_malloc();
  cu_xmem* shared = heap_pool(lock);
  ASSERT_TRUE(shared);
  const cu_alloc_tally before = counts();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, shared] {
      const cu_alloc_tally start = counts();
      const int n = 2000 + 100 * t;
      for (int i = 0; i < n; ++i) {
        _cu_free(_cu_malloc(static_cast<uint64_t>(8 + i % 3000), kUnit, __LINE__), kUnit, __LINE__);
        cu_xmem_free(shared, cu_xmem_malloc(shared, 24));
      }
      const cu_alloc_tally end = counts();
      EXPECT_EQ(end.mallocs - start.mallocs, static_cast<uint64_t>(n));
      EXPECT_EQ(end.frees - start.frees, static_cast<uint64_t>(n));
      EXPECT_EQ(listed(end, shared), static_cast<uint64_t>(n));
    });
  }
  for (std::thread& th : threads) th.join();
  const cu_alloc_tally after = counts();
  EXPECT_EQ(after.mallocs, before.mallocs);
  EXPECT_EQ(after.frees, before.frees);
  EXPECT_EQ(listed(after, shared), 0u);
  cu_xmem_exit(shared);
  cu_sem_free(lock);
}

}  // namespace
