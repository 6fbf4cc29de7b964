// The thread caches of the process allocator: blocks handed between threads, caches given back
// when threads end, statistics that count cached chunks as free, tracking while other threads
// allocate, and routing when classes and the heap refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cu_malloc.h"
#include "cu_malloc_internal.h"
#include "cu_xmem.h"
#include "vor_tempdir.h"

namespace {
namespace sa = vor::sysalloc;
constexpr char kUnit[] = "srclib\\cu_malloc_cache_mt_test";
constexpr int kClasses = 6;

// What the size-class pools hold: used bytes and pages per class.
struct PoolState {
  std::array<uint64_t, kClasses> used{};
  std::array<uint64_t, kClasses> pages{};
  bool operator==(const PoolState&) const = default;
};

PoolState pool_state() {
  PoolState s;
  for (int c = 0; c < kClasses; ++c) {
    s.used[c] = cu_xmem_used_space_size(sa::class_pool(c));
    s.pages[c] = cu_xmem_used_page_count(sa::class_pool(c));
  }
  return s;
}

std::string describe(const PoolState& s) {
  std::string out;
  for (int c = 0; c < kClasses; ++c)
    out += "class " + std::to_string(c) + ": " + std::to_string(s.used[c]) + " B in " + std::to_string(s.pages[c]) +
           " pages\n";
  return out;
}

// A thread that uses the allocator and ends: its end gives the shared batches back to the
// pools too, so what earlier tests left there no longer shifts the baseline.
PoolState settled_state() {
  std::thread([] { _cu_free(_cu_malloc(40, kUnit, __LINE__), kUnit, __LINE__); }).join();
  return pool_state();
}

uint8_t fill_of(uint64_t tag) { return static_cast<uint8_t>(tag * 131 + 7); }

struct Block {
  uint8_t* p;
  uint64_t n;
  uint64_t tag;
};

bool intact(const Block& b) {
  const uint8_t f = fill_of(b.tag);
  for (uint64_t i = 0; i < b.n; ++i)
    if (b.p[i] != f) return false;
  return true;
}

// A queue between two threads.
class Mailbox {
 public:
  void put(Block b) {
    std::lock_guard<std::mutex> hold(lock_);
    blocks_.push_back(b);
  }
  bool take(Block* b) {
    std::lock_guard<std::mutex> hold(lock_);
    if (blocks_.empty()) return false;
    *b = blocks_.front();
    blocks_.pop_front();
    return true;
  }

 private:
  std::mutex lock_;
  std::deque<Block> blocks_;
};

TEST(MallocCache, BlocksFreedOnOtherThreadsComeBackAndPoolsReturnToBaseline) {
  const PoolState before = settled_state();
  constexpr int kThreads = 8;
  constexpr int kRounds = 4000;
  std::vector<Mailbox> boxes(kThreads);
  std::atomic<int> faults{0};
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<uint32_t>(t) * 7 + 1);
      std::vector<Block> own;
      auto check_and_free = [&](const Block& b) {
        if (!intact(b)) ++faults;
        _cu_free(b.p, kUnit, __LINE__);
      };
      for (int i = 0; i < kRounds; ++i) {
        const uint64_t n = rng() % 16 == 0 ? 4096 + rng() % 4096 : 1 + rng() % 4095;
        auto* p = static_cast<uint8_t*>(_cu_malloc(n, kUnit, __LINE__));
        if (!p) {
          ++faults;
          continue;
        }
        const Block b{p, n, static_cast<uint64_t>(t) * kRounds + i};
        std::memset(p, fill_of(b.tag), n);
        // Most blocks go to the next thread; some stay and are freed here later.
        if (rng() % 4 != 0)
          boxes[(t + 1) % kThreads].put(b);
        else
          own.push_back(b);
        Block in;
        while (boxes[t].take(&in)) check_and_free(in);
        if (own.size() > 32) {
          check_and_free(own.front());
          own.erase(own.begin());
        }
      }
      for (const Block& b : own) check_and_free(b);
      ++done;
      // Keep emptying the mailbox until every thread has stopped sending.
      Block in;
      for (;;) {
        const bool all_done = done.load() == kThreads;  // read before the last look
        if (boxes[t].take(&in)) {
          check_and_free(in);
        } else if (all_done) {
          break;
        } else {
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(faults.load(), 0);
  const PoolState after = pool_state();
  EXPECT_EQ(after, before) << "before:\n" << describe(before) << "after:\n" << describe(after);
}

TEST(MallocCache, ThreadEndingWithFullCacheGivesItsChunksBack) {
  const PoolState before = settled_state();
  std::thread([] {
    // Every bin filled past its capacity: some chunks go to the shared batches, the rest stay.
    std::vector<void*> blocks;
    for (uint64_t n : {1, 40, 64, 100, 128, 200, 256, 400, 512, 900, 1024, 2000, 3000, 4000})
      for (int i = 0; i < 80; ++i) blocks.push_back(_cu_malloc(n, kUnit, __LINE__));
    for (void* p : blocks) _cu_free(p, kUnit, __LINE__);
    uint64_t cached = 0;
    for (int c = 0; c < kClasses; ++c) cached += sa::cached_bytes_of_this_thread(c);
    EXPECT_GT(cached, 0u);
  }).join();
  EXPECT_EQ(pool_state(), before);
}

// Frees made while a thread is ending still reach the pools: from a C++ thread_local destructor
// (the cache is still there) and from a thread-specific-data destructor registered later (the
// cache may be gone already).
struct FreesAtThreadEnd {
  std::vector<void*> blocks;
  ~FreesAtThreadEnd() {
    for (void* p : blocks) _cu_free(p, kUnit, __LINE__);
  }
};

void free_list_at_exit(void* list) {
  auto* blocks = static_cast<std::vector<void*>*>(list);
  for (void* p : *blocks) _cu_free(p, kUnit, __LINE__);
  delete blocks;
}

TEST(MallocCache, FreesDuringThreadEndAreNotStranded) {
  const PoolState before = settled_state();
  pthread_key_t key;
  ASSERT_EQ(pthread_key_create(&key, free_list_at_exit), 0);
  std::thread([key] {
    thread_local FreesAtThreadEnd local;
    auto* late = new std::vector<void*>;
    for (int i = 0; i < 40; ++i) {
      local.blocks.push_back(_cu_malloc(24 + i, kUnit, __LINE__));
      late->push_back(_cu_malloc(300 + i, kUnit, __LINE__));
    }
    pthread_setspecific(key, late);
  }).join();
  pthread_key_delete(key);
  EXPECT_EQ(pool_state(), before);
}

TEST(MallocCache, StatisticsCountCachedChunksAsFree) {
  settled_state();
  std::thread([] {
    uint64_t used0 = 0, free0 = 0;
    cu_system__xmem_size(&used0, &free0);
    std::vector<void*> blocks;
    for (int i = 0; i < 10; ++i) blocks.push_back(_cu_malloc(40, kUnit, __LINE__));
    uint64_t used1 = 0, free1 = 0;
    cu_system__xmem_size(&used1, &free1);
    EXPECT_EQ(used1, used0 + 10 * 96);  // 80 usable bytes, 96 with the chunk header
    for (void* p : blocks) _cu_free(p, kUnit, __LINE__);
    uint64_t used2 = 0, free2 = 0;
    cu_system__xmem_size(&used2, &free2);
    EXPECT_EQ(used2, used0);
    EXPECT_GT(sa::cached_bytes_of_this_thread(0), 0u);
    // Used and free together are what the pools hold.
    uint64_t held = 0;
    for (int c = 0; c < kClasses; ++c)
      held += cu_xmem_used_space_size(sa::class_pool(c)) + cu_xmem_free_space_size(sa::class_pool(c));
    EXPECT_EQ(used2 + free2, held);
  }).join();
}

// A second free of a block changes nothing, whether the block still sits in the thread's cache
// or the cache has passed it on: every later allocation is a distinct block.
TEST(MallocCache, SecondFreeOfABlockIsRefused) {
  std::thread([] {
    void* p = _cu_malloc(40, kUnit, __LINE__);
    _cu_free(p, kUnit, __LINE__);
    _cu_free(p, kUnit, __LINE__);
    // The 80-byte bin overflows while these are freed and passes its oldest chunks on, blocks[0]
    // among them, to the shared batches; blocks[64] stays in the thread's cache.
    std::vector<void*> blocks;
    for (int i = 0; i < 65; ++i) blocks.push_back(_cu_malloc(40, kUnit, __LINE__));
    for (void* b : blocks) _cu_free(b, kUnit, __LINE__);
    _cu_free(blocks[64], kUnit, __LINE__);
    _cu_free(blocks[0], kUnit, __LINE__);
    std::vector<void*> again;
    for (int i = 0; i < 400; ++i) again.push_back(_cu_malloc(40, kUnit, __LINE__));
    std::vector<void*> sorted = again;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "a block was handed out twice";
    for (void* b : again) _cu_free(b, kUnit, __LINE__);
    // A heap block the thread keeps after its free.
    void* big = _cu_malloc(5000, kUnit, __LINE__);
    _cu_free(big, kUnit, __LINE__);
    _cu_free(big, kUnit, __LINE__);
    void* big1 = _cu_malloc(8000, kUnit, __LINE__);
    void* big2 = _cu_malloc(8000, kUnit, __LINE__);
    EXPECT_NE(big1, big2);
    _cu_free(big1, kUnit, __LINE__);
    _cu_free(big2, kUnit, __LINE__);
  }).join();
}

std::string malloc_stat() {
  vor::test::TempDir dir;
  const std::string path = dir.file("mallocstat.log");
  _cu_mdebug_GetMallocStat(path.c_str());
  return vor::test::read_file(path);
}

TEST(MallocCache, TrackingWhileOtherThreadsAllocateListsExactlyTheLiveBlocks) {
  _cu_mdebug_turnon();
  constexpr int kThreads = 4;
  std::mutex lock;
  std::vector<std::pair<void*, std::string>> live;  // every tracked block still allocated
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<uint32_t>(t) + 40);
      const std::string site = "worker(" + std::to_string(t + 1) + ")";
      std::vector<void*> mine;
      for (int i = 0; i < 2000; ++i) {
        if (mine.size() < 20 && rng() % 2) {
          const uint64_t n = rng() % 8 == 0 ? 5000 : rng() % 2000;
          mine.push_back(_cu_malloc(n, "srclib\\worker", t + 1));
        } else if (!mine.empty()) {
          const size_t k = rng() % mine.size();
          if (rng() % 3 == 0) {
            if (void* q = _cu_realloc(mine[k], rng() % 6000, "srclib\\worker", t + 1)) mine[k] = q;
          } else {
            _cu_free(mine[k], "srclib\\worker", 0);
            mine[k] = mine.back();
            mine.pop_back();
          }
        }
      }
      std::lock_guard<std::mutex> hold(lock);
      for (void* p : mine) live.emplace_back(p, site);
    });
  }
  for (int i = 0; i < 5; ++i) {
    void* p = _cu_malloc(100 * i, "srclib\\main_side", 9);
    std::lock_guard<std::mutex> hold(lock);
    live.emplace_back(p, "main_side(9)");
  }
  for (auto& th : threads) th.join();
  std::sort(live.begin(), live.end());
  std::string expected;
  for (const auto& entry : live) expected += entry.second + "\r\n";
  EXPECT_EQ(malloc_stat(), expected);
  for (const auto& entry : live) _cu_free(entry.first, kUnit, __LINE__);
  EXPECT_EQ(malloc_stat(), "");
  _cu_mdebug_turnoff();
}

// ---- routing with classes at their limit and the heap refusing ----

std::array<uint64_t, kClasses> g_page_limit;
std::atomic<bool> g_heap_open{true};

bool page_allowed(int c) { return cu_xmem_used_page_count(sa::class_pool(c)) < g_page_limit[c]; }
bool heap_allowed(uint64_t) { return g_heap_open.load(); }

TEST(MallocCache, ClassesAtTheirLimitSpillInRoutingOrderThenHeapThenNull) {
  const PoolState before = settled_state();
  // A thread whose cache is full stays parked while the others run dry: its chunks must survive.
  std::mutex park_lock;
  std::condition_variable park_cv;
  bool parked = false, release = false;
  std::thread holder([&] {
    std::vector<void*> blocks;
    for (int i = 0; i < 50; ++i) blocks.push_back(_cu_malloc(3000, kUnit, __LINE__));
    for (void* p : blocks) _cu_free(p, kUnit, __LINE__);
    std::unique_lock<std::mutex> hold(park_lock);
    parked = true;
    park_cv.notify_all();
    park_cv.wait(hold, [&] { return release; });
  });
  {
    std::unique_lock<std::mutex> hold(park_lock);
    park_cv.wait(hold, [&] { return parked; });
  }
  std::thread([&] {
    // Each class may grow by one page: every class then has room, and then none.
    for (int c = 0; c < kClasses; ++c) g_page_limit[c] = cu_xmem_used_page_count(sa::class_pool(c)) + 1;
    sa::set_gates_for_test(page_allowed, heap_allowed);
    std::vector<void*> blocks;
    std::vector<int> order;  // classes in the order they served, -1 for the heap
    for (int i = 0; i < 100000; ++i) {
      void* p = _cu_malloc(3000, kUnit, __LINE__);
      ASSERT_NE(p, nullptr);
      blocks.push_back(p);
      const int c = sa::class_of(p);
      if (order.empty() || order.back() != c) order.push_back(c);
      if (c == -1) break;
    }
    EXPECT_EQ(order, (std::vector<int>{5, 4, 3, 2, 1, 0, -1}));
    g_heap_open = false;
    EXPECT_EQ(_cu_malloc(3000, kUnit, __LINE__), nullptr);
    EXPECT_EQ(_cu_malloc(100000, kUnit, __LINE__), nullptr);
    void* kept = blocks.front();
    EXPECT_EQ(_cu_realloc(kept, 3500, kUnit, __LINE__), nullptr);
    g_heap_open = true;
    sa::set_gates_for_test(nullptr, nullptr);
    for (void* p : blocks) _cu_free(p, kUnit, __LINE__);
  }).join();
  {
    std::lock_guard<std::mutex> hold(park_lock);
    release = true;
    park_cv.notify_all();
  }
  holder.join();
  EXPECT_EQ(pool_state(), before) << describe(before) << describe(pool_state());
}

}  // namespace
