#include "cu_sem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

TEST(Sem, RecursiveLockBlocksOthersUntilLastUnlock) {
  cu_sem* sem = cu_sem_malloc();
  ASSERT_NE(sem, nullptr);
  ASSERT_TRUE(cu_sem_lock(sem));
  ASSERT_TRUE(cu_sem_lock(sem));
  std::atomic<bool> entered{false};
  std::thread other([&] {
    cu_sem_lock(sem);
    entered = true;
    cu_sem_unlock(sem);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered);
  ASSERT_TRUE(cu_sem_unlock(sem));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered);  // still held once
  ASSERT_TRUE(cu_sem_unlock(sem));
  other.join();
  EXPECT_TRUE(entered);
  cu_sem_free(sem);
}

TEST(Sem, DestroyedLockAnswersFalseUntilSetUpAgain) {
  cu_sem sem;
  EXPECT_TRUE(cu_sem_init(&sem));
  EXPECT_EQ(sem.state, 1);
  EXPECT_TRUE(cu_sem_destroy(&sem));
  EXPECT_EQ(sem.state, -1);
  EXPECT_FALSE(cu_sem_lock(&sem));
  EXPECT_FALSE(cu_sem_unlock(&sem));
  EXPECT_FALSE(cu_sem_destroy(&sem));
  EXPECT_TRUE(cu_sem_init_ex(&sem));
  EXPECT_TRUE(cu_sem_lock(&sem));
  EXPECT_TRUE(cu_sem_unlock(&sem));
  EXPECT_TRUE(cu_sem_destroy(&sem));
}

TEST(Sem, NullLockAnswersFalse) {
  EXPECT_FALSE(cu_sem_lock(nullptr));
  EXPECT_FALSE(cu_sem_unlock(nullptr));
  EXPECT_FALSE(cu_sem_destroy(nullptr));
  EXPECT_FALSE(cu_sem_init(nullptr));
  cu_sem_free(nullptr);
}

TEST(Sem, CountsStayExactUnderContention) {
  cu_sem* sem = cu_sem_malloc();
  int64_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        cu_sem_lock(sem);
        cu_sem_lock(sem);
        ++counter;
        cu_sem_unlock(sem);
        cu_sem_unlock(sem);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 16000);
  cu_sem_free(sem);
}

}  // namespace
