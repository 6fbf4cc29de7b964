// Index stores under threads: writers beside walkers that rewrite or delete what they visit,
// and a halfclose while threads are still calling.
#include "vor_kv2.h"

#include "kv_test_util.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using vor::test::kv_del;
using vor::test::kv_get;
using vor::test::kv_key;
using vor::test::kv_next;
using vor::test::kv_put;
using vor::test::kv_value;

vor_kv2* open_store(const std::string& path) { return vor_kv2_open_ext(path.c_str(), false, false, 218, 4, 1); }

std::string cli(const std::string& path, const std::string& sql) {
  return vor::test::shell_output("sqlite3 -batch '" + path + "' \"" + sql + "\" 2>&1");
}

// Lasting keys ('L') exist before the walks start and are only ever rewritten; the writers'
// keys ('W') come and go. Each walker must see every lasting key exactly once.
TEST(Kv2Threads, WalkersSeeEveryLastingKeyOnceWhileWritersWork) {
  vor::test::TempDir dir;
  const std::string path = dir.file("public.idx2");
  vor_kv2* s = open_store(path);
  ASSERT_NE(s, nullptr);
  constexpr uint64_t kLasting = 3000;
  for (uint64_t i = 0; i < kLasting; ++i) ASSERT_TRUE(kv_put(s, kv_key(i * 3, 'L'), kv_value(i, 0)));

  std::atomic<bool> walking{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int i = 0; i < 20000 && walking.load(); ++i) {
        const std::string k = kv_key(rng() % 5000, 'W');
        if (rng() % 3) {
          kv_put(s, k, kv_value(i, static_cast<uint64_t>(t)));
        } else {
          kv_del(s, k);
        }
        if (i % 50 == 0) vor_kv2_count(s);
      }
    });
  }
  std::vector<std::map<std::string, int>> lasting_seen(2);
  std::vector<std::thread> walkers;
  for (int w = 0; w < 2; ++w) {
    walkers.emplace_back([&, w] {
      auto& seen = lasting_seen[static_cast<size_t>(w)];
      std::mt19937 rng(100u + static_cast<unsigned>(w));
      vor_kv2_Foreach_Rewind(s, 0);
      std::string k, v;
      for (int guard = 0; guard < 1000000 && kv_next(s, &k, &v); ++guard) {
        if (k[0] == 'L') {
          ++seen[k];
          kv_put(s, k, kv_value(0, 1 + static_cast<uint64_t>(w)));  // rewrite what was visited
        } else if (rng() % 2) {
          kv_del(s, k);  // delete what was visited
        }
      }
      vor_kv2_Foreach_Cancel(s);
    });
  }
  for (auto& th : walkers) th.join();
  walking = false;
  for (auto& th : threads) th.join();

  for (int w = 0; w < 2; ++w) {
    SCOPED_TRACE(w);
    EXPECT_EQ(lasting_seen[static_cast<size_t>(w)].size(), kLasting);
    for (const auto& [key, times] : lasting_seen[static_cast<size_t>(w)]) EXPECT_EQ(times, 1) << key;
  }
  const uint64_t count = vor_kv2_count(s);
  vor_kv2_halfclose(s);
  EXPECT_EQ(cli(path, "select count(*) from kv;"), std::to_string(count) + "\n");
  EXPECT_EQ(cli(path, "pragma integrity_check;"), "ok\n");
  vor_kv2_close(s);
}

// Puts that were acknowledged before or during a halfclose are all found after reopening.
TEST(Kv2Threads, HalfcloseWhileThreadsCallKeepsEveryAcknowledgedPut) {
  vor::test::TempDir dir;
  const std::string path = dir.file("content.idx2");
  vor_kv2* s = open_store(path);
  ASSERT_NE(s, nullptr);
  std::mutex acked_mu;
  std::set<std::string> acked;
  std::atomic<int> started{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::string> mine;
      ++started;
      for (uint64_t i = 0; i < 100000; ++i) {
        const std::string k = kv_key(i * 8 + static_cast<uint64_t>(t));
        if (!kv_put(s, k, kv_value(i, 1, 60))) break;  // closed
        mine.push_back(k);
        std::string v;
        kv_get(s, kv_key(i), &v);
      }
      std::lock_guard<std::mutex> lock(acked_mu);
      acked.insert(mine.begin(), mine.end());
    });
  }
  ASSERT_TRUE(vor::test::wait_until([&] { return started.load() == 8 && vor_kv2_count(s) >= 2000; }));
  vor_kv2_halfclose(s);
  for (auto& th : threads) th.join();
  EXPECT_EQ(cli(path, "pragma integrity_check;"), "ok\n");

  vor_kv2* again = open_store(path);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(vor_kv2_count(again), acked.size());
  size_t missing = 0;
  for (const auto& k : acked) {
    std::string v;
    missing += !kv_get(again, k, &v);
  }
  EXPECT_EQ(missing, 0u);
  vor_kv2_close(again);
  vor_kv2_close(s);
}

}  // namespace
