#include "vor_sem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Each thread owns objects it registers, works on under the lock and unregisters; every
// thread also probes the others' objects. A registered object is never seen freed.
TEST(LiveHandlesThreads, InsertCheckRemoveAcrossThreads) {
  ASSERT_TRUE(vor_sem_Setup());
  constexpr int kThreads = 8, kRounds = 300;
  struct Obj {
    std::atomic<int> state{1};  // 1 live, 0 retired
  };
  std::vector<std::unique_ptr<Obj>> objs(kThreads * kRounds);
  for (auto& o : objs) o = std::make_unique<Obj>();
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        Obj* mine = objs[t * kRounds + i].get();
        if (!__vor_sem_insert(mine)) ++faults;
        Obj* theirs = objs[((t + 1) % kThreads) * kRounds + i].get();
        if (__vor_sem_lock(theirs)) {
          if (theirs->state.load() != 1) ++faults;  // retired while registered
          __vor_sem_unlock();
        }
        if (!__vor_sem_lock(mine)) ++faults;
        else __vor_sem_unlock();
        if (__vor_sem_lock(mine)) {
          __vor_sem_remove(mine);  // unregistered under the lock, then retired
          mine->state = 0;
          __vor_sem_unlock();
        }
        if (__vor_sem_check(mine)) ++faults;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(faults.load(), 0);
}

}  // namespace
