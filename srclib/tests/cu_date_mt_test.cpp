// Date helpers are called from every worker thread at once; they keep no state of their
// own, so results must not depend on what other threads do meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cu_date.h"
#include "cu_md5.h"

namespace {

TEST(DateThreads, ParallelWritersAndParsersAgreeWithOneThread) {
  std::vector<int64_t> times(500);
  std::mt19937_64 rng(99);
  for (auto& t : times) t = int64_t(rng() % 4102444800);
  std::vector<std::string> expected;
  for (int64_t t : times) {
    char buf[32];
    expected.push_back(cu_GetGMTString2(t, buf, sizeof buf));
  }
  const int64_t local = cu_DateToTime("2024-01-02 03:04:05");
  char key_digest[33];
  cu_md5_encode(key_digest, "http://127.0.0.1/cache/key");

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&] {
      for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < times.size(); ++i) {
          char buf[32];
          if (expected[i] != cu_GetGMTString2(times[i], buf, sizeof buf)) ++mismatches;
          if (cu_DateParse(expected[i].c_str()) != times[i]) ++mismatches;
        }
        if (cu_DateToTime("2024-01-02 03:04:05") != local) ++mismatches;
        char digest[33];
        cu_md5_encode(digest, "http://127.0.0.1/cache/key");
        if (std::string(digest) != key_digest) ++mismatches;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
