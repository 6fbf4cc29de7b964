// One converter shared by eight threads, with cut input on every other call.
#include "gbk_to_utf8.h"

#include "gbk_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kTexts[] = {"其它", "本机", "局域网", "通配", "正则", "精确", "北京 Beijing 上海"};

TEST(GbkToUtf8Threads, EightThreadsShareOneConverter) {
  using vor::test::to_gbk;
  std::vector<std::string> gbk;
  for (const char* text : kTexts) gbk.push_back(to_gbk(text));
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      char out[64];
      for (int i = 0; i < 2000; ++i) {
        const size_t k = static_cast<size_t>(i + t) % gbk.size();
        // A cut character on every other call leaves no state behind for the next one.
        const int32_t len = static_cast<int32_t>(gbk[k].size()) - (i % 2);
        gbk_to_utf8_static(gbk_to_utf8_make(), gbk[k].data(), len, out, sizeof out, 0);
        if (i % 2 == 0 && std::string(out) != kTexts[k]) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
