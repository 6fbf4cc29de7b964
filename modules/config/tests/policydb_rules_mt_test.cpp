// Request threads choose upstreams and ask the four cache families while one admin thread
// changes rules and proxies and another marks upstreams down and up; every answer a reader gets
// is one that some state of the rules could give.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "policydb.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

TEST(RulesThreads, ReadersAskWhileRulesProxiesAndDownStatesChange) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init("[system]\ndisplay_console=0\n"), 1);
  uint32_t wid = 0;
  ASSERT_TRUE(policydb_proxy_append("a.com", 0, "", &wid));
  for (const char* up : {"u1", "u2", "u3"}) ASSERT_TRUE(policydb_upstream_append(wid, up, 1, "", nullptr));
  ASSERT_TRUE(policydb_proxy_append("*.b.com", 2, "", nullptr));
  ASSERT_TRUE(policydb_scache_append("*/login", 0, 0, 60, "SID", "", nullptr));
  ASSERT_TRUE(policydb_icache_append_x("*.jpg", 0, 0, 1, 3, 0, 0, 1, "", nullptr));
  ASSERT_TRUE(policydb_fcache_append_x("*.css", 1, 0, 2, 3, 0, 1, 0, "", nullptr));
  ASSERT_TRUE(policydb_rcache_append_x("^%{HTTP_HOST}/private/", 0, 1, 0, 0, "", nullptr));

  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 8; ++r) {
    readers.emplace_back([&] {
      char buffer[200];
      uint32_t got_wid = 0, got_id = 0;
      for (int i = 0; !done.load() || i < 50; ++i) {
        if (policydb_proxy_IsHitExt("a.com", "1.2.3.4", "a.com/x", buffer, sizeof buffer, &got_wid, &got_id)) {
          if (buffer[0] != 'u' || got_wid != wid) wrong.fetch_add(1);
        }
        policydb_proxy_IsHit("x.b.com", "1.2.3.4", "x.b.com/y", buffer, sizeof buffer);
        int32_t expire = 0;
        char name[8];
        if (policydb_scache_IsHit("a/login", &expire, name, sizeof name) && expire != 60) wrong.fetch_add(1);
        cu_list* list = nullptr;
        policydb_scache_GetHitList("a/login", &list);
        policydb_scache_FreeHitList(list);
        policydb_scache_FreeSessionidList(policydb_scache_GetSessionidList());
        const uint32_t seconds = policydb_icache_GetExpire("a/x.jpg", nullptr, nullptr);
        if (seconds != 0 && seconds != 1) wrong.fetch_add(1);
        policydb_fcache_IsHit__olimit1("a/X.CSS", nullptr, nullptr);
        policydb_rcache_IsHit__olimit0("a.com/private/x", nullptr);
      }
    });
  }
  std::thread marker([&] {
    for (int i = 0; !done.load(); ++i) {
      policydb_upstream_down_1(i % 2 ? "u1" : "u2", static_cast<uint8_t>(i % 3 == 0));
      uint8_t down = 0;
      policydb_upstream_down_status(wid, 1, &down, nullptr, nullptr);
    }
  });
  std::mt19937 rng(5);
  printf("seed 5\n");
  for (int step = 0; step < 60; ++step) {
    const std::string n = std::to_string(step);
    uint32_t id = 0;
    switch (rng() % 5) {
      case 0:
        ASSERT_TRUE(policydb_icache_append_x(("*.x" + n).c_str(), 0, 0, 1, 3, 0, rng() % 3, 1, "", &id));
        ASSERT_TRUE(policydb_icache_moveup(id));
        break;
      case 1:
        ASSERT_TRUE(policydb_scache_append(("*/s" + n).c_str(), 0, 0, 5, ("N" + n).c_str(), "", &id));
        ASSERT_TRUE(policydb_scache_delete(id));
        break;
      case 2:
        ASSERT_TRUE(policydb_upstream_append(wid, ("u" + n).c_str(), 1, "", &id));
        ASSERT_TRUE(policydb_upstream_delete(wid, id));
        break;
      case 3: {
        uint32_t other = 0;
        ASSERT_TRUE(policydb_proxy_append(("p" + n + ".com").c_str(), 1, "", &other));
        ASSERT_TRUE(policydb_upstream_append(other, "v", 1, "", nullptr));
        ASSERT_TRUE(policydb_proxy_delete(other));
        break;
      }
      default:
        ASSERT_TRUE(policydb_rcache_append_x(("*.r" + n).c_str(), 0, 0, rng() % 3, rng() % 2, "", &id));
        ASSERT_TRUE(policydb_rcache_movedown(id));
        ASSERT_TRUE(policydb_proxy_enable_2(wid, step % 2));
        break;
    }
  }
  done.store(true);
  marker.join();
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace policydb::test
