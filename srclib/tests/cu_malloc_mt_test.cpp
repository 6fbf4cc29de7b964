#include "cu_malloc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "cu_mem.h"
#include "cu_mem_internal.h"
#include "cu_xmem.h"

namespace {
constexpr char kUnit[] = "srclib\\cu_malloc_mt_test";

// Eight threads allocate, fill, check, resize and free mixed sizes while a ninth reads the
// counters and the statistics switch flips.
TEST(MallocThreads, EightThreadsKeepEveryBlockIntact) {
  std::vector<std::thread> threads;
  std::atomic<int> faults{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &faults] {
      std::mt19937 rng(static_cast<uint32_t>(t) + 100);
      struct Live {
        uint8_t* p;
        uint64_t n;
        uint8_t fill;
      };
      std::vector<Live> live;
      for (int i = 0; i < 3000; ++i) {
        if (live.size() < 64 && (live.empty() || rng() % 3 != 0)) {
          const uint64_t n = rng() % 4 == 0 ? 4096 + rng() % 8192 : 1 + rng() % 2048;
          auto* p = static_cast<uint8_t*>(_cu_malloc(n, kUnit, __LINE__));
          if (!p) continue;
          const auto fill = static_cast<uint8_t>(rng());
          std::memset(p, fill, n);
          live.push_back({p, n, fill});
        } else {
          const size_t k = rng() % live.size();
          Live& b = live[k];
          for (uint64_t j = 0; j < b.n; ++j)
            if (b.p[j] != b.fill) {
              ++faults;
              break;
            }
          if (rng() % 2) {
            const uint64_t n = 1 + rng() % 6000;
            auto* q = static_cast<uint8_t*>(_cu_realloc(b.p, n, kUnit, __LINE__));
            if (q) {
              b.p = q;
              b.n = std::min(b.n, n);
            }
          } else {
            _cu_free(b.p, kUnit, __LINE__);
            live[k] = live.back();
            live.pop_back();
          }
        }
      }
      for (auto& b : live) _cu_free(b.p, kUnit, __LINE__);
    });
  }
  threads.emplace_back([] {
    for (int i = 0; i < 50; ++i) {
      uint64_t used, free_bytes;
      cu_system__xmem_size(&used, &free_bytes);
      if (i % 10 == 0) _cu_mdebug_turnon();
      if (i % 10 == 5) _cu_mdebug_turnoff();
      std::this_thread::yield();
    }
    _cu_mdebug_turnoff();
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(faults, 0);
}

TEST(MallocThreads, LockedPoolSharedByThreads) {
  cu_sem* lock = cu_sem_malloc();
  cu_xmem* pool = cu_xmem_init_ext_ext(lock, 8192, 256, 33, true, nullptr, nullptr, nullptr);
  ASSERT_NE(pool, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([pool, t] {
      std::mt19937 rng(static_cast<uint32_t>(t));
      std::vector<void*> mine;
      for (int i = 0; i < 2000; ++i) {
        if (mine.size() < 50 && rng() % 2) {
          if (void* p = cu_xmem_malloc(pool, rng() % 500)) mine.push_back(p);
        } else if (!mine.empty()) {
          cu_xmem_free(pool, mine.back());
          mine.pop_back();
        }
        cu_xmem_is_valid(pool, &mine);
      }
      for (void* p : mine) cu_xmem_free(pool, p);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(cu_xmem_used_space_size(pool), 0u);
  EXPECT_EQ(cu_xmem_used_page_count(pool), 0u);
  cu_xmem_exit(pool);
  cu_sem_free(lock);
}

TEST(MallocThreads, LockedArenaSharedByThreads) {
  static uint8_t block[1 << 18];
  cu_sem lock;
  cu_sem_init(&lock);
  cu_mem* arena = cu_mem_init_ext(nullptr, &lock, block, sizeof block, 33);
  ASSERT_NE(arena, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([arena, t] {
      std::mt19937 rng(static_cast<uint32_t>(t) + 7);
      std::vector<void*> mine;
      for (int i = 0; i < 2000; ++i) {
        if (mine.size() < 40 && rng() % 2) {
          if (void* p = cu_mem_malloc(arena, rng() % 300)) mine.push_back(p);
        } else if (!mine.empty()) {
          const size_t k = rng() % mine.size();
          if (rng() % 4 == 0) {
            if (void* q = cu_mem_realloc(arena, mine[k], rng() % 600)) mine[k] = q;
          } else {
            cu_mem_free(arena, mine[k]);
            mine[k] = mine.back();
            mine.pop_back();
          }
        }
        cu_mem_used_space_size(arena);
      }
      for (void* p : mine) cu_mem_free(arena, p);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(cu_mem__check(arena), "");
  EXPECT_EQ(cu_mem_used_chunk_count(arena), 0u);
  cu_sem_destroy(&lock);
}

}  // namespace
