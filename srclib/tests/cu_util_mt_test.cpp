#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "cu_lib.h"
#include "cu_util.h"
#include "vor_wait.h"

namespace {

// Collects what started threads report, so the test can wait for them (they are detached).
struct Reports {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<uint32_t> ids;
  std::vector<size_t> stacks;

  void add(uint32_t id, size_t stack) {
    std::lock_guard<std::mutex> lock(mu);
    ids.push_back(id);
    stacks.push_back(stack);
    cv.notify_all();
  }
  bool wait_for(size_t n) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(20), [&] { return ids.size() >= n; });
  }
};

size_t own_stack_size() {
  pthread_attr_t attr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  return size;
}

void report_self(void* arg) { static_cast<Reports*>(arg)->add(cu_GetThisThreadId(), own_stack_size()); }

TEST(Threads, IdIsPublishedBeforeCreateReturns) {
  Reports reports;
  std::vector<uint32_t> returned;
  for (int i = 0; i < 16; ++i) {
    uint32_t id = 0;
    ASSERT_TRUE(cu_CreateThread(&id, 128 * 1024, report_self, &reports));
    ASSERT_NE(id, 0u);
    returned.push_back(id);
  }
  ASSERT_TRUE(reports.wait_for(16));
  EXPECT_EQ(std::set<uint32_t>(returned.begin(), returned.end()),
            std::set<uint32_t>(reports.ids.begin(), reports.ids.end()));
  EXPECT_EQ(std::set<uint32_t>(returned.begin(), returned.end()).size(), 16u);
  for (uint32_t id : returned) EXPECT_NE(id, cu_GetThisThreadId());
}

TEST(Threads, StackSizeIsHonouredAndZeroMeansDefault) {
  Reports reports;
  ASSERT_TRUE(cu_CreateThread(nullptr, 512 * 1024, report_self, &reports));
  ASSERT_TRUE(reports.wait_for(1));
  EXPECT_GE(reports.stacks[0], 512u * 1024);
  ASSERT_TRUE(cu_CreateThread(nullptr, 0, report_self, &reports));
  ASSERT_TRUE(reports.wait_for(2));
  EXPECT_GT(reports.stacks[1], 0u);
  ASSERT_TRUE(cu_CreateThread(nullptr, 1, report_self, &reports));  // raised to the minimum
  ASSERT_TRUE(reports.wait_for(3));
  EXPECT_GE(reports.stacks[2], static_cast<size_t>(PTHREAD_STACK_MIN));
}

void exit_early(void* arg) {
  static_cast<std::atomic<int>*>(arg)->fetch_add(1);
  cu_ThreadExit();
  static_cast<std::atomic<int>*>(arg)->fetch_add(100);  // never reached
}

TEST(Threads, ThreadExitEndsOnlyTheCallingThread) {
  std::atomic<int> counter{0};
  ASSERT_TRUE(cu_CreateThread(nullptr, 0, exit_early, &counter));
  EXPECT_TRUE(vor::test::wait_until([&] { return counter.load() != 0; }));
  cu_sleep(50);
  EXPECT_EQ(counter.load(), 1);
}

TEST(Threads, MissingFunctionEndsTheThreadAtOnce) {
  uint32_t id = 0;
  EXPECT_TRUE(cu_CreateThread(&id, 0, nullptr, nullptr));
  EXPECT_NE(id, 0u);
}

void draw_values(void* arg) {
  auto* reports = static_cast<Reports*>(arg);
  for (int i = 0; i < 2000; ++i) {
    if (cu_RandomValue() < 0) reports->add(0, 0);
  }
  char buf[33];
  cu_RandomStr(buf, 32);
  reports->add(1, 0);
}

TEST(Threads, RandomGeneratorIsSharedWithoutARace) {
  Reports reports;
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(cu_CreateThread(nullptr, 0, draw_values, &reports));
  ASSERT_TRUE(reports.wait_for(8));
  for (uint32_t r : reports.ids) EXPECT_EQ(r, 1u);  // no negative value was seen
}

}  // namespace
