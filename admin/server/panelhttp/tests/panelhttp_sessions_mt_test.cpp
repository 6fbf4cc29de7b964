// Sessions under contention: threads add, check, refresh and delete while 50 ms timers fire
// and expiry callbacks run; every session is accounted for at the end.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "panelhttp_harness.h"

namespace {

using panelhttp_test::Server;

std::atomic<int> g_expired{0};
std::atomic<int> g_kept{0};
std::atomic<int> g_asked_again{0};
// Timers run on the server's threads for the life of the process: these are never destroyed.
std::mutex& g_kept_lock = *new std::mutex;
std::set<std::string>& g_kept_ids = *new std::set<std::string>;

// A session with a user word is kept the first time and asked once more.
uint8_t expire(const char* id, void* user, void*, void*, void*, void*) {
  ++g_expired;
  if (!user) return 1;
  std::lock_guard<std::mutex> lock(g_kept_lock);
  if (g_kept_ids.insert(id).second) {
    ++g_kept;
    return 0;
  }
  ++g_asked_again;
  return 1;
}

TEST(SessionsThreaded, AddCheckRefreshDeleteUnderFiringTimers) {
  (void)Server::get({});
  constexpr int kThreads = 8, kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRounds; ++i) {
        const std::string id = "s" + std::to_string(t) + "_" + std::to_string(i);
        void* user = (i % 3 == 0) ? reinterpret_cast<void*>(1) : nullptr;
        if (!panelhttp_AddSession(id.c_str(), 50, expire, user, nullptr, nullptr, nullptr, nullptr)) continue;
        const std::string other = "s" + std::to_string((t + 1) % kThreads) + "_" + std::to_string(i);
        {
          // Readers of a record hold the server lock across the look-up and the use.
          vor::panelhttp::ServerLock lock;
          if (vuved_session* s = panelhttp_CheckSession(other.c_str())) {
            EXPECT_EQ(s->timeout, 50u);
          }
        }
        panelhttp_FreshSession(id.c_str(), i % 2 ? 20 : 0);
        if (i % 4 == 0) panelhttp_DelSession(id.c_str());
        if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  // Refreshed by 0 means 90,000,000 ms: delete what is left and see the tree empty.
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kRounds; ++i) panelhttp_DelSession(("s" + std::to_string(t) + "_" + std::to_string(i)).c_str());
  }
  EXPECT_TRUE(vor::test::wait_until([] { return panelhttp_NumOfSessions() == 0; }));
  // Every kept session is asked again once, then freed.
  EXPECT_TRUE(vor::test::wait_until([] { return g_asked_again.load() == g_kept.load(); }));
  EXPECT_GT(g_expired.load(), 0);
}

}  // namespace
