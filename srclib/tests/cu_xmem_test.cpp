#include "cu_xmem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "cu_mem_internal.h"
#include "cu_xmem_internal.h"

namespace {

// Every page sound, indexes right, pool counters equal to the sums over the pages.
std::string check_pool(cu_xmem* pool) {
  if (pool->page_count > pool->max_pages) return "more pages than the limit";
  uint64_t used = 0, free_bytes = 0;
  for (uint64_t i = 0; i < pool->page_count; ++i) {
    cu_mem* page = pool->pages[i];
    if (page->page_index != i) return "page index " + std::to_string(i) + " wrong";
    const std::string problem = cu_mem__check(page);
    if (!problem.empty()) return "page " + std::to_string(i) + ": " + problem;
    used += page->used_bytes;
    free_bytes += page->free_bytes;
  }
  if (used != pool->used_bytes || free_bytes != pool->free_bytes) return "pool counters differ from the pages";
  if (cu_rtree_nnodes(pool->ranges) != static_cast<int32_t>(pool->page_count)) return "range tree out of step";
  return "";
}

TEST(XMem, NewPoolHasNoPageUntilFirstAllocation) {
  cu_xmem* pool = cu_xmem_init(4096, 8);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(cu_xmem_sizeof(), 120u);
  EXPECT_EQ(cu_xmem_used_page_count(pool), 0u);
  EXPECT_EQ(cu_xmem_free_page_count(pool), 8u);
  int local = 0;
  EXPECT_FALSE(cu_xmem_is_valid(pool, &local));
  void* p = cu_xmem_malloc(pool, 10);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(cu_xmem_used_page_count(pool), 1u);
  EXPECT_TRUE(cu_xmem_is_valid(pool, p));
  EXPECT_FALSE(cu_xmem_is_valid(pool, &local));
  EXPECT_EQ(cu_xmem_used_space_size(pool), 48u);  // granularity 32: one 48-byte chunk
  EXPECT_EQ(cu_xmem_used_space_size(pool) + cu_xmem_free_space_size(pool), 4096u - 88u);
  EXPECT_EQ(check_pool(pool), "");
  cu_xmem_exit(pool);
}

TEST(XMem, LargeRequestGetsAMultipleOfThePageSize) {
  cu_xmem* pool = cu_xmem_init(32768, 4);
  void* p = cu_xmem_malloc(pool, 40000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(pool->pages[0]->size, 65536u);
  EXPECT_GE(cu_xmem_malloc_usable_size(pool, p), 40000u);
  EXPECT_EQ(check_pool(pool), "");
  cu_xmem_exit(pool);
}

TEST(XMem, PageLimitReachedAnswersNull) {
  cu_xmem* pool = cu_xmem_init(1024, 2);
  int blocks = 0;
  while (cu_xmem_malloc(pool, 200)) ++blocks;
  EXPECT_GT(blocks, 4);
  EXPECT_EQ(cu_xmem_used_page_count(pool), 2u);
  EXPECT_EQ(cu_xmem_malloc(pool, 5000), nullptr);
  EXPECT_EQ(cu_xmem_used_page_count(pool), 2u);
  EXPECT_EQ(check_pool(pool), "");
  cu_xmem_exit(pool);
}

TEST(XMem, ReleaseEmptyReturnsThePageAndRenumbers) {
  cu_xmem* pool = cu_xmem_init_ext_ext(nullptr, 1024, 8, 0, true, nullptr, nullptr, nullptr);
  void* a = cu_xmem_malloc(pool, 900);
  void* b = cu_xmem_malloc(pool, 900);
  void* c = cu_xmem_malloc(pool, 900);
  ASSERT_EQ(cu_xmem_used_page_count(pool), 3u);
  cu_mem* third = pool->pages[2];
  cu_xmem_free(pool, a);
  EXPECT_EQ(cu_xmem_used_page_count(pool), 2u);
  EXPECT_EQ(pool->pages[1], third);
  EXPECT_EQ(third->page_index, 1u);
  EXPECT_EQ(pool->hint, 0u);
  EXPECT_FALSE(cu_xmem_is_valid(pool, a));
  EXPECT_EQ(check_pool(pool), "");
  cu_xmem_free(pool, c);
  cu_xmem_free(pool, b);
  EXPECT_EQ(cu_xmem_used_page_count(pool), 0u);
  EXPECT_EQ(cu_xmem_used_space_size(pool), 0u);
  EXPECT_EQ(cu_xmem_free_space_size(pool), 0u);
  cu_xmem_exit(pool);
}

TEST(XMem, FreeOfForeignPointerPrintsDebugLine) {
  cu_xmem* pool = cu_xmem_init(4096, 2);
  void* p = cu_xmem_malloc(pool, 8);
  testing::internal::CaptureStdout();
  cu_xmem_free(pool, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "debug: cu_xmem_free(void *m) -> invalid 'm=0' pointer!\r\n");
  uint64_t local = 0;
  testing::internal::CaptureStdout();
  cu_xmem_free(pool, &local);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("invalid 'm="), std::string::npos);
  cu_xmem_free(pool, p);
  cu_xmem_free(pool, p);  // refused silently inside the page
  EXPECT_EQ(cu_xmem_used_space_size(pool), 0u);
  EXPECT_EQ(check_pool(pool), "");
  cu_xmem_exit(pool);
}

TEST(XMem, BadSizesAreRefused) {
  EXPECT_EQ(cu_xmem_init(0, 4), nullptr);
  EXPECT_EQ(cu_xmem_init(4096, UINT64_MAX / 2), nullptr);
  cu_xmem* pool = cu_xmem_init(4096, 4);
  EXPECT_EQ(cu_xmem_malloc(pool, UINT64_MAX), nullptr);
  EXPECT_EQ(cu_xmem_malloc(pool, UINT64_MAX - 100), nullptr);
  EXPECT_EQ(cu_xmem_memalign(pool, 512, UINT64_MAX - 600), nullptr);
  EXPECT_EQ(cu_xmem_used_page_count(pool), 0u);
  cu_xmem* huge_pages = cu_xmem_init(UINT64_MAX / 2, 4);
  EXPECT_EQ(cu_xmem_malloc(huge_pages, UINT64_MAX / 2), nullptr);  // two such pages would wrap
  cu_xmem_exit(huge_pages);
  cu_xmem_exit(pool);
}

// The inner arena is sized for the range tree's record and one node per page: a pool must
// reach exactly its page limit without the tree running out of room.
TEST(XMem, InnerRangeTreeHoldsEveryPageUpToTheLimit) {
  for (uint64_t max_pages : {1u, 2u, 7u, 100u, 1000u}) {
    SCOPED_TRACE(max_pages);
    cu_xmem* pool = cu_xmem_init_ext_ext(nullptr, 128, max_pages, 0, true, nullptr, nullptr, nullptr);
    ASSERT_NE(pool, nullptr);
    std::vector<void*> blocks;
    testing::internal::CaptureStdout();
    for (uint64_t i = 0; i < max_pages; ++i) blocks.push_back(cu_xmem_malloc(pool, 24));  // one page each
    EXPECT_EQ(cu_xmem_malloc(pool, 24), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(std::count(blocks.begin(), blocks.end(), nullptr), 0);
    EXPECT_EQ(cu_xmem_used_page_count(pool), max_pages);
    EXPECT_EQ(check_pool(pool), "");
    // Emptying and refilling reuses the tree's freed nodes.
    for (size_t i = 0; i < blocks.size(); i += 2) cu_xmem_free(pool, blocks[i]);
    for (size_t i = 0; i < blocks.size(); i += 2) blocks[i] = cu_xmem_malloc(pool, 24);
    EXPECT_EQ(std::count(blocks.begin(), blocks.end(), nullptr), 0);
    EXPECT_EQ(check_pool(pool), "");
    cu_xmem_exit(pool);
  }
}

struct Parent {
  cu_xmem* pool;
  int pages_out = 0;
};

void* from_parent(void* user, uint64_t n) {
  auto* parent = static_cast<Parent*>(user);
  void* p = cu_xmem_malloc(parent->pool, n);
  if (p) ++parent->pages_out;
  return p;
}

void to_parent(void* user, void* block) {
  auto* parent = static_cast<Parent*>(user);
  --parent->pages_out;
  cu_xmem_free(parent->pool, block);
}

TEST(XMem, PoolTakesPagesFromAParentPool) {
  cu_sem parent_lock, child_lock;
  cu_sem_init(&parent_lock);
  cu_sem_init(&child_lock);
  Parent parent{cu_xmem_init_ext(&parent_lock, 1 << 16, 4, 32, nullptr, nullptr, nullptr)};
  cu_xmem* child = cu_xmem_init_ext_ext(&child_lock, 2048, 16, 65, true, from_parent, to_parent, &parent);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(parent.pages_out, 1);  // the child's own record
  std::vector<void*> blocks;
  for (int i = 0; i < 40; ++i) blocks.push_back(cu_xmem_malloc(child, 100));
  EXPECT_GT(parent.pages_out, 2);
  for (void* p : blocks) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    cu_xmem_free(child, p);
  }
  EXPECT_EQ(parent.pages_out, 1);
  EXPECT_EQ(check_pool(child), "");
  cu_xmem_exit(child);
  EXPECT_EQ(parent.pages_out, 0);
  EXPECT_EQ(cu_xmem_used_space_size(parent.pool), 0u);
  cu_xmem_exit(parent.pool);
  cu_sem_destroy(&parent_lock);
  cu_sem_destroy(&child_lock);
}

TEST(XMem, ReallocMovesWithinAndAcrossPages) {
  cu_xmem* pool = cu_xmem_init(1024, 8);
  auto* p = static_cast<char*>(cu_xmem_malloc(pool, 100));
  std::strcpy(p, "kept");
  EXPECT_EQ(cu_xmem_realloc(pool, p, 50), p);
  auto* q = static_cast<char*>(cu_xmem_realloc(pool, p, 300));
  ASSERT_NE(q, nullptr);
  EXPECT_STREQ(q, "kept");
  EXPECT_EQ(cu_xmem_used_page_count(pool), 1u);
  auto* r = static_cast<char*>(cu_xmem_realloc(pool, q, 3000));  // needs a bigger page
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r, "kept");
  EXPECT_EQ(cu_xmem_used_page_count(pool), 2u);
  EXPECT_EQ(cu_xmem_used_chunk_count(pool), 1u);
  int local = 0;
  EXPECT_EQ(cu_xmem_realloc(pool, &local, 10), nullptr);
  EXPECT_EQ(check_pool(pool), "");
  cu_xmem_exit(pool);
}

TEST(XMem, StringCopiesComeFromThePool) {
  cu_xmem* pool = cu_xmem_init(4096, 2);
  EXPECT_STREQ(cu_xmem_strdup(pool, "abc"), "abc");
  EXPECT_STREQ(cu_xmem_strdup3(pool, "a", "b", "c"), "abc");
  EXPECT_STREQ(cu_xmem_strreverse(pool, "abcdef", 3), "cba");
  EXPECT_STREQ(cu_xmem_strreverse(pool, "ab", 10), "ba");
  EXPECT_EQ(cu_xmem_strreverse(pool, "ab", 0), nullptr);
  EXPECT_EQ(cu_xmem_strreverse(pool, nullptr, 3), nullptr);
  EXPECT_STREQ(cu_xmem_strtoupper(pool, "aB"), "AB");
  EXPECT_EQ(cu_xmem_used_chunk_count(pool), 5u);
  EXPECT_EQ(check_pool(pool), "");
  cu_xmem_exit(pool);
}

struct PoolCase {
  uint64_t page_size, max_pages, granularity;
  bool release_empty;
};

class XMemModel : public testing::TestWithParam<PoolCase> {};

// Random allocations, frees, reallocations and aligned allocations with fill patterns; the
// pool and every page are checked after each step.
TEST_P(XMemModel, RandomOperationsKeepCountersAndContents) {
  const PoolCase c = GetParam();
  const uint32_t seed = static_cast<uint32_t>(c.page_size * 7 + c.granularity * 3 + c.release_empty);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  cu_xmem* pool = cu_xmem_init_ext_ext(nullptr, c.page_size, c.max_pages, c.granularity, c.release_empty, nullptr,
                                       nullptr, nullptr);
  ASSERT_NE(pool, nullptr);
  std::map<void*, std::pair<uint64_t, uint8_t>> live;
  auto holds = [](void* p, uint64_t n, uint8_t v) {
    for (uint64_t i = 0; i < n; ++i)
      if (static_cast<uint8_t*>(p)[i] != v) return false;
    return true;
  };
  for (int step = 0; step < 1200; ++step) {
    const uint64_t n = rng() % 3 == 0 ? rng() % (2 * c.page_size) : rng() % 64;
    const uint8_t v = static_cast<uint8_t>(rng());
    const int op = static_cast<int>(rng() % 5);
    if (op <= 1 || live.empty()) {
      void* p = op == 1 ? cu_xmem_memalign(pool, rng() % 100, n) : cu_xmem_malloc(pool, n);
      if (p) {
        ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
        ASSERT_GE(cu_xmem_malloc_usable_size(pool, p), n);
        std::memset(p, v, n);
        live[p] = {n, v};
      }
    } else {
      auto it = live.begin();
      std::advance(it, rng() % live.size());
      void* p = it->first;
      const auto old = it->second;
      ASSERT_TRUE(holds(p, old.first, old.second));
      if (op == 2) {
        void* q = cu_xmem_realloc(pool, p, n);
        if (q) {
          live.erase(it);
          ASSERT_TRUE(holds(q, std::min(old.first, n), old.second));
          std::memset(q, v, n);
          live[q] = {n, v};
        }
      } else {
        cu_xmem_free(pool, p);
        live.erase(it);
      }
    }
    ASSERT_EQ(check_pool(pool), "") << "step " << step;
    ASSERT_EQ(cu_xmem_used_chunk_count(pool), live.size());
  }
  for (auto& [p, info] : live) cu_xmem_free(pool, p);
  EXPECT_EQ(cu_xmem_used_space_size(pool), 0u);
  if (c.release_empty) {
    EXPECT_EQ(cu_xmem_used_page_count(pool), 0u);
  }
  EXPECT_EQ(check_pool(pool), "");
  cu_xmem_exit(pool);
}

INSTANTIATE_TEST_SUITE_P(Pools, XMemModel,
                         testing::Values(PoolCase{128, 64, 0, false}, PoolCase{128, 64, 0, true},
                                         PoolCase{300, 40, 16, true}, PoolCase{512, 32, 33, false},
                                         PoolCase{512, 32, 65, true}, PoolCase{1024, 16, 73, true},
                                         PoolCase{4096, 8, 512, false}, PoolCase{4096, 8, 512, true}));

}  // namespace
