// One URL rule object matched from many threads at once: compiled and template rules answer
// as they do on one thread.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "policydb.h"

namespace policydb::test {
namespace {

struct Probe {
  const char* url;
  bool hit;
};

TEST(UrlRuleThreads, EightThreadsMatchOneRecord) {
  const struct {
    const char* text;
    uint8_t icase;
    uint8_t kind;
  } kRules[] = {{"/%{HTTP_HOST}/", 0, 1}, {"^%{HTTP_HOST}/s/", 1, 1}, {"*.jpg", 1, 0}, {"%{HTTP_HOST}/x", 0, 2}};
  const Probe kProbes[][2] = {
      {{"a.b/a.b/x", true}, {"a.b/c.d/x", false}},
      {{"a.b/S/1", true}, {"a.b/t/s/", false}},
      {{"a.b/X.JPG", true}, {"a.b/x.png", false}},
      {{"a.b/x", true}, {"a.b/y", false}},
  };
  for (size_t r = 0; r < std::size(kRules); ++r) {
    xcache_rules* rule = xcache_rules_make(kRules[r].text, kRules[r].icase, kRules[r].kind);
    ASSERT_NE(rule, nullptr);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 300; ++i) {
          const Probe& p = kProbes[r][(i + t) % 2];
          if ((xcache_rules_ishit(rule, p.url) != 0) != p.hit) wrong.fetch_add(1);
        }
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0) << kRules[r].text;
    xcache_rules_free(rule);
  }
}

}  // namespace
}  // namespace policydb::test
