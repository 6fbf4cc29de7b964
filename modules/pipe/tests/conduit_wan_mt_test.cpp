// Round-robin picks from many threads at once use every local address evenly.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "conduit_internal.h"

namespace {

using vor::conduit::Wan;

TEST(WanRoundRobin, EightThreadsUseEveryEntryEvenly) {
  cu_config* ini = cu_config_make1("[WAN]\nBALANCE=0\nWAN-0=10.0.0.1\nWAN-1=10.0.0.2\nWAN-2=10.0.0.3\n");
  ASSERT_NE(ini, nullptr);
  Wan wan;
  wan.load(ini, false);
  cu_config_free(ini);

  constexpr int kThreads = 8;
  constexpr int kPicks = 100000;
  std::vector<std::map<std::string, int>> counts(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      char out[Wan::kTextSize];
      for (int i = 0; i < kPicks; ++i) {
        if (wan.pick(std::nullopt, "8.8.8.8", out)) ++counts[t][out];
      }
    });
  }
  for (auto& th : threads) th.join();

  std::map<std::string, int> total;
  for (const auto& c : counts) {
    for (const auto& [text, n] : c) total[text] += n;
  }
  ASSERT_EQ(total.size(), 3u);
  int low = kThreads * kPicks, high = 0, sum = 0;
  for (const auto& [text, n] : total) {
    low = std::min(low, n);
    high = std::max(high, n);
    sum += n;
  }
  EXPECT_EQ(sum, kThreads * kPicks);
  EXPECT_LE(high - low, 1);
}

}  // namespace
