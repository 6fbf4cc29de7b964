#include "vor_regex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(RegexThreads, EightThreadsShareOneObject) {
  vor_regex* re = vor_regex_make("^/img/([a-z]+)/(\\d+)\\.jpg$");
  ASSERT_NE(re, nullptr);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([re, t, &wrong] {
      for (int i = 0; i < 400; ++i) {
        const std::string subject = "/img/t" + std::string(1, static_cast<char>('a' + t)) + "/" + std::to_string(i) + ".jpg";
        char out[64];
        const std::string expected = std::to_string(i) + "-t" + std::string(1, static_cast<char>('a' + t));
        if (!vor_regex_replace(re, subject.c_str(), "$2-$1", out, sizeof out) || expected != out) ++wrong;
        if (vor_regex_match(re, "/img/x/1.png")) ++wrong;
        vor_regex* own = vor_regex_imake("^T\\d$");  // compiling at the same time is fine too
        if (!own || !vor_regex_match(own, ("t" + std::to_string(i % 10)).c_str())) ++wrong;
        vor_regex_free(own);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  vor_regex_free(re);
}

}  // namespace
