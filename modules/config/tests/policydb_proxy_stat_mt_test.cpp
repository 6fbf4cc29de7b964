// Eight request threads count on one proxy while another thread lists it: the sums are exact and
// connection counts never go below 0.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "policydb.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

int64_t member(const std::string& text, const char* name) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(std::string("\"") + name + "\":\"(-?\\d+)\""))) return -1;
  return std::stoll(m[1]);
}

TEST(ProxyStatThreads, EightCountersGiveExactSums) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init("[system]\ndisplay_console=0\n"), 1);
  uint32_t wid = 0, up = 0;
  ASSERT_TRUE(policydb_proxy_append("a.com", 0, "", &wid));
  ASSERT_TRUE(policydb_upstream_append(wid, "10.0.0.1", 1, "", &up));
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::thread lister([&] {
    while (!done.load()) {
      wtb* w = policydb_proxy_stat_GetUpstreamInfoByJson(wid, up, nullptr);
      if (!w) {
        wrong.fetch_add(1);
        continue;
      }
      const std::string text = wtb_GetTextString(w);
      wtb_free(w);
      if (member(text, "UserConnections") < 0 || member(text, "UserConnections") > kThreads) wrong.fetch_add(1);
    }
  });
  std::vector<std::thread> counters;
  for (int i = 0; i < kThreads; ++i) {
    counters.emplace_back([&, i] {
      for (int r = 0; r < kRounds; ++r) {
        policydb_proxy_stat_SynUserConnectionAdd(wid, up);
        policydb_proxy_stat_SynUploadCount(wid, up, 3);
        policydb_proxy_stat_SynDownloadCount(wid, up, 1000000007);
        policydb_proxy_stat_SynIP(wid, up, static_cast<uint32_t>(i * kRounds + r) % 1000);
        policydb_proxy_stat_SynUpstreamConnectionAdd(wid, up);
        policydb_proxy_stat_SynUserConnectionDel(wid, up);
        if (r % 2) policydb_proxy_stat_SynUpstreamConnectionDel(wid, up);
      }
      // More deletes than adds: the counts stop at 0.
      for (int r = 0; r < kRounds; ++r) policydb_proxy_stat_SynUserConnectionDel(wid, up);
    });
  }
  for (std::thread& c : counters) c.join();
  done.store(true);
  lister.join();
  EXPECT_EQ(wrong.load(), 0);
  wtb* w = policydb_proxy_stat_GetProxyInfoByJson(wid, nullptr);
  ASSERT_NE(w, nullptr);
  const std::string text = wtb_GetTextString(w);
  wtb_free(w);
  EXPECT_EQ(member(text, "UploadCount"), int64_t{3} * kThreads * kRounds);
  EXPECT_EQ(member(text, "DownloadCount"), int64_t{1000000007} * kThreads * kRounds);
  EXPECT_EQ(member(text, "IpCount"), 1000);
  EXPECT_EQ(member(text, "UserConnections"), 0);
  EXPECT_EQ(member(text, "UpstreamConnections"), kThreads * kRounds / 2);
}

}  // namespace
}  // namespace policydb::test
