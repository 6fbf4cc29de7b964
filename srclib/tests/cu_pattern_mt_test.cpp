#include "cu_pattern.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// Compiled patterns are shared read-only between matching threads while other threads
// make and free their own patterns in the same pool.
TEST(PatternThreads, MatchWhileOthersMakeAndFree) {
  cu_pattern__xmem_init();
  cu_pattern* shared[] = {cu_pattern_make("*.jpg"), cu_pattern_make("a*b*cd"), cu_pattern_make("/img/?x*")};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (!cu_pattern_match_string(shared[0], "p.jpg")) ++wrong;
        if (!cu_pattern_match_istring(shared[1], "AxBycD")) ++wrong;
        if (cu_pattern_match_string(shared[2], "/img/x")) ++wrong;
      }
    });
  }
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        std::string g = "*" + std::to_string(t) + "?" + std::to_string(i) + "*";
        cu_pattern* p = cu_pattern_make(g.c_str());
        if (!p || !cu_pattern_match_string(p, ("x" + std::to_string(t) + "-" + std::to_string(i)).c_str())) ++wrong;
        cu_pattern_free(p);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  for (auto* p : shared) cu_pattern_free(p);
}

}  // namespace
