// Request threads read settings without a lock while the admin thread changes them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "policydb_test_env.h"

namespace policydb::test {
namespace {

TEST(SettingsThreads, GettersReadWhileAnotherThreadSets) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init(), 1);
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  std::atomic<int> odd_values{0};
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!done.load()) {
        const uint32_t block = policydb_system_get_MaxCacheBlockSize();
        if (block != 524288 && block != 1048576) odd_values.fetch_add(1);
        const uint32_t ratio = policydb_system_get_RatioOfDCIMSAndMUMS();
        if (ratio > 100) odd_values.fetch_add(1);
        (void)policydb_system_get_MaxUsableMemSize();
        (void)policydb_system_have_RatioOfDCIMSAndMUMS();
      }
    });
  }
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(policydb_system_set_MaxCacheBlockSize(i % 2 ? 512 : 1024), 1);
    EXPECT_EQ(policydb_system_set_RatioOfDCIMSAndMUMS(i % 101), 1);
    EXPECT_EQ(policydb_system_set_MaxUsableMemSize(100 + i), 1);
  }
  done.store(true);
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(odd_values.load(), 0);
}

}  // namespace
}  // namespace policydb::test
