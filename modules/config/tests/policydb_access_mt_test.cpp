// Request threads ask the IP lists, the rewrite and the protection rules while an admin thread changes them: a
// range or rule held throughout always answers, one never held never does.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "policydb.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

constexpr uint32_t kNet = 11u << 24;  // outside the seeded white ranges
constexpr uint32_t kFar = 2000000000u;  // an expiry far ahead of the clock

TEST(IpListThreads, ReadersAskWhileRangesChange) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init("[system]\ndisplay_console=0\n"), 1);
  ASSERT_TRUE(policydb_black_append(kNet, kNet + 9, kFar, "", nullptr));
  ASSERT_TRUE(policydb_white_append(kNet, kNet + 9, kFar, "", nullptr));

  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 8; ++r) {
    readers.emplace_back([&, r] {
      for (int i = 0; !done.load() || i < 50; ++i) {
        if (!policydb_black_IsHit(kNet + static_cast<uint32_t>(r)) || !policydb_white_IsHit(kNet + 9)) {
          wrong.fetch_add(1);
        }
        if (policydb_black_IsHit(kNet + 5000) || policydb_white_IsHit(kNet + 6000)) wrong.fetch_add(1);
        policydb_black_IsHit(kNet + 100 + static_cast<uint32_t>(i % 300));
        policydb_white_IsHit(kNet + 100 + static_cast<uint32_t>(i % 300));
      }
    });
  }
  for (uint32_t step = 0; step < 40; ++step) {
    const uint32_t low = kNet + 100 + step * 5;
    uint32_t b = 0, w = 0;
    ASSERT_TRUE(policydb_black_append(low, low + 3, kFar, "", &b));
    ASSERT_TRUE(policydb_white_append(low, low + 3, kFar, "", &w));
    ASSERT_TRUE(policydb_black_modify_ext(b, low, low + 4, kFar, ""));
    ASSERT_TRUE(policydb_white_modify(w, kFar - 1, ""));
    if (step % 2) {
      ASSERT_TRUE(policydb_black_delete(b));
      ASSERT_TRUE(policydb_white_delete(w));
    }
  }
  done.store(true);
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(RewriteThreads, ScansTakeTurnsWhileRulesChange) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init("[system]\ndisplay_console=0\n"), 1);
  ASSERT_TRUE(policydb_rewrite_append("^keep/(.*)", "kept/$1", 0, 3, "", nullptr));
  ASSERT_TRUE(policydb_rewrite_append("^kept/(.*)", "done/$1", 0, 0, "", nullptr));

  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 8; ++r) {
    readers.emplace_back([&] {
      char out[4097];
      for (int i = 0; !done.load() || i < 50; ++i) {
        uint8_t flag = 9;
        if (!policydb_rewrite_IsHit("keep/x", out, 4096, &flag) || std::string(out) != "done/x" || flag != 0) {
          wrong.fetch_add(1);
        }
        if (policydb_rewrite_IsHit("never", out, 4096, &flag)) wrong.fetch_add(1);
        policydb_rewrite_IsHit("moving/x", out, 4096, &flag);
      }
    });
  }
  for (int step = 0; step < 40; ++step) {
    uint32_t wid = 0;
    ASSERT_TRUE(policydb_rewrite_append("^moving/(.*)", "moved/$1", 0, static_cast<uint8_t>(step % 4), "", &wid));
    ASSERT_TRUE(policydb_rewrite_movedown(wid));
    ASSERT_TRUE(policydb_rewrite_modify(wid, "^moving/(.*)", "m/$1", 1, 0, ""));
    if (step % 2) {
      ASSERT_TRUE(policydb_rewrite_delete(wid));
    }
  }
  done.store(true);
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ProtectThreads, ReadersAskWhileRulesAndPermitsChange) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init("[system]\ndisplay_console=0\n"), 1);
  uint32_t kept = 0;
  ASSERT_TRUE(policydb_protect_append("\\.jpg$", "deny", 0, "", &kept));
  ASSERT_TRUE(policydb_permit_append(kept, "^a\\.b/", 0, "", nullptr));

  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 8; ++r) {
    readers.emplace_back([&] {
      char location[4096];
      for (int i = 0; !done.load() || i < 50; ++i) {
        if (policydb_protect_IsHit("q/p.jpg", "a.b/x", location, sizeof location)) wrong.fetch_add(1);
        if (!policydb_protect_IsHit("q/p.jpg", "c.d/x", location, sizeof location)) wrong.fetch_add(1);
        policydb_protect_IsHit("q/p.png", "c.d/x", location, sizeof location);
      }
    });
  }
  for (int step = 0; step < 30; ++step) {
    uint32_t wid = 0, permit = 0;
    ASSERT_TRUE(policydb_protect_append("\\.png$", "other", 0, "", &wid));
    ASSERT_TRUE(policydb_permit_append(wid, "^c\\.d/", 0, "", &permit));
    ASSERT_TRUE(policydb_permit_modify(permit, wid, "^e\\.f/", 0, ""));
    ASSERT_TRUE(policydb_protect_modify(wid, "\\.png$", "moved", 1, ""));
    if (step % 2) {
      ASSERT_TRUE(policydb_permit_delete(wid, permit));
    } else {
      ASSERT_TRUE(policydb_protect_delete(wid));
    }
  }
  done.store(true);
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace policydb::test
