#include "vor_sem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

TEST(LiveHandles, InsertTwiceRegistersOnceAndOneRemoveUnregisters) {
  int obj = 0;
  EXPECT_TRUE(__vor_sem_insert(&obj));
  EXPECT_TRUE(__vor_sem_insert(&obj));
  EXPECT_TRUE(__vor_sem_check(&obj));
  __vor_sem_remove(&obj);
  EXPECT_FALSE(__vor_sem_check(&obj));
  EXPECT_FALSE(__vor_sem_insert(nullptr));
  EXPECT_FALSE(__vor_sem_check(nullptr));
}

TEST(LiveHandles, LockOfUnregisteredPointerLeavesTheLockFree) {
  int dead = 0, live = 0;
  ASSERT_TRUE(__vor_sem_insert(&live));
  EXPECT_FALSE(__vor_sem_lock(&dead));
  bool other_got_it = false;
  std::thread([&] {
    other_got_it = __vor_sem_lock(&live);
    if (other_got_it) __vor_sem_unlock();
  }).join();
  EXPECT_TRUE(other_got_it);
  __vor_sem_remove(&live);
}

TEST(LiveHandles, LockOfRegisteredPointerMakesOtherThreadsWait) {
  int obj = 0;
  ASSERT_TRUE(__vor_sem_insert(&obj));
  ASSERT_TRUE(__vor_sem_lock(&obj));
  EXPECT_TRUE(__vor_sem_lock(&obj));  // re-entrant for its holder
  __vor_sem_unlock();
  std::atomic<bool> entered{false};
  std::thread other([&] {
    if (__vor_sem_lock(&obj)) {
      entered = true;
      __vor_sem_unlock();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered.load());
  __vor_sem_unlock();
  other.join();
  EXPECT_TRUE(entered.load());
  __vor_sem_remove(&obj);
}

TEST(LiveHandles, ShutdownForgetsEverythingAndNextCallStartsEmpty) {
  int obj = 0;
  ASSERT_TRUE(vor_sem_Setup());
  ASSERT_TRUE(__vor_sem_insert(&obj));
  vor_sem_Shutdown();
  EXPECT_FALSE(__vor_sem_check(&obj));
  EXPECT_TRUE(vor_sem_Setup());
  EXPECT_TRUE(vor_sem_Setup());
}

}  // namespace
