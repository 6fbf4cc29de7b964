#include "cu_sem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Whether a thread other than the caller could take the lock right now (it leaves it again).
bool free_for_another_thread(cu_sem* sem) {
  bool took = false;
  std::thread([&] {
    took = pthread_mutex_trylock(&sem->cs) == 0;
    if (took) pthread_mutex_unlock(&sem->cs);
  }).join();
  return took;
}

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
  EXPECT_FALSE(free_for_another_thread(sem));
  ASSERT_TRUE(cu_sem_unlock(sem));
  EXPECT_FALSE(free_for_another_thread(sem));  // still held once
  EXPECT_FALSE(entered);
  ASSERT_TRUE(cu_sem_unlock(sem));
  other.join();
  EXPECT_TRUE(entered);
  EXPECT_TRUE(free_for_another_thread(sem));
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
