// The session cache across threads: the session-learned hook runs without the session lock and
// on texts of its own, so it may call back into reqgate while other threads empty the store; a
// mixed load of learning, adding, deleting, sweeping, evicting, member tests and emptying keeps
// the counter equal to the values held; the sweep timer runs on its own box thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "reqgate.h"
#include "reqgate_internal.h"
#include "reqgate_session.h"
#include "reqgate_session_fakes.h"
#include "reqgate_test_util.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;
using namespace std::chrono_literals;

Head session_response(const std::string& sid, const std::string& uid) {
  return make_head("HTTP/1.1 200 OK\r\nSet-Cookie: sid=" + sid + "; Path=/\r\nSet-Cookie: uid=" + uid +
                   "; Path=/u; Domain=.a.com\r\n");
}

size_t values_held() {
  size_t n = 0;
  for (const SessionEntry& e : session_snapshot()) n += e.level == SessionEntry::kValue ? 1 : 0;
  return n;
}

class SessionThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    fresh_session_store();
    set_console_trace(false);
    set_rules({{60, "sid"}, {30, "uid"}});
  }
  void TearDown() override {
    reqgate_ImportClusterFunction(nullptr, nullptr, nullptr);
    set_rules({});
    set_console_trace(true);
  }
};

// ---- the hook and the lock ----

struct Helper {
  std::mutex m;
  std::condition_variable cv;
  bool asked = false;
  bool done = false;
  bool quit = false;
};
Helper* g_helper = nullptr;
std::atomic<int> g_hook_calls{0};
std::atomic<int> g_helper_in_time{0};

// Another thread asks the store while the hook waits: it can only answer if the lock is free.
void hook_waiting_for_another_thread(const char*, const char*, const char*, const char*, uint32_t) {
  ++g_hook_calls;
  EXPECT_GE(reqgate_GetNumOfSessionCaches(), 1u);
  wc_sessionvalue_add("from.hook", "sid", "hookhook", "/", 60);
  std::unique_lock<std::mutex> hold(g_helper->m);
  g_helper->asked = true;
  g_helper->done = false;
  g_helper->cv.notify_all();
  if (g_helper->cv.wait_for(hold, 5s, [] { return g_helper->done; })) ++g_helper_in_time;
}

TEST_F(SessionThreads, TheHookRunsWithoutTheSessionLock) {
  Helper helper;
  g_helper = &helper;
  g_hook_calls = 0;
  g_helper_in_time = 0;
  std::thread other([&] {
    std::unique_lock<std::mutex> hold(helper.m);
    for (;;) {
      helper.cv.wait(hold, [&] { return helper.asked || helper.quit; });
      if (helper.quit) return;
      helper.asked = false;
      hold.unlock();
      reqgate_GetNumOfSessionCaches();
      wc_sessionvalue_add("from.helper", "sid", "helper00", "/", 60);
      hold.lock();
      helper.done = true;
      helper.cv.notify_all();
    }
  });
  reqgate_ImportClusterFunction(hook_waiting_for_another_thread, nullptr, nullptr);
  Head response = session_response("abcdefgh", "uuuuuuuu");
  learn_sessions(response.get(), "www.a.com/login");
  {
    std::lock_guard<std::mutex> hold(helper.m);
    helper.quit = true;
    helper.cv.notify_all();
  }
  other.join();
  EXPECT_EQ(g_hook_calls.load(), 2);
  EXPECT_EQ(g_helper_in_time.load(), 2);
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), 4u);
  g_helper = nullptr;
}

std::vector<std::string> g_seen;
// Empties the store first: texts that belonged to the store would now be freed memory.
void hook_emptying_the_store(const char* domain, const char* key, const char* value, const char* path,
                             uint32_t lifetime) {
  reqgate_CleanSessionCaches();
  g_seen.push_back(std::string(domain) + " " + key + " " + value + " " + path + " " + std::to_string(lifetime));
}

TEST_F(SessionThreads, TheHookHasTextsOfItsOwn) {
  g_seen.clear();
  reqgate_ImportClusterFunction(hook_emptying_the_store, nullptr, nullptr);
  Head response = session_response("abcdefgh", "uuuuuuuu");
  learn_sessions(response.get(), "www.a.com/login");
  EXPECT_EQ(g_seen, (std::vector<std::string>{"www.a.com sid abcdefgh / 60", ".a.com uid uuuuuuuu /u 30"}));
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), 0u);
  EXPECT_EQ(reqgate_GetSessionCacheSize(), 0u);
}

// ---- a mixed load ----

std::atomic<bool> g_stop{false};
void hook_calling_back(const char*, const char* key, const char* value, const char*, uint32_t) {
  reqgate_GetNumOfSessionCaches();
  wc_sessionvalue_add("cluster.b.com", key, value, "/", 5);
}

TEST_F(SessionThreads, AMixedLoadKeepsTheCountEqualToTheValuesHeld) {
  reqgate_ImportClusterFunction(hook_calling_back, nullptr, nullptr);
  g_stop = false;
  constexpr int kRounds = 1500;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([t] {
      std::mt19937 rng(100 + t);
      for (int i = 0; i < kRounds; ++i) {
        const std::string sid = "s" + std::to_string(rng() % 64) + "xxxxxxxx";
        const std::string uid = "u" + std::to_string(rng() % 64) + "yyyyyyyy";
        Head response = session_response(sid, uid);
        learn_sessions(response.get(), (rng() % 2 ? "www.a.com/login" : "shop.a.com/x/login"));
      }
    });
  }
  threads.emplace_back([] {
    std::mt19937 rng(7);
    for (int i = 0; i < kRounds; ++i) {
      const std::string v = "v" + std::to_string(rng() % 32) + "zzzzzzzz";
      if (rng() % 3) {
        wc_sessionvalue_add("b.com", "sid", v.c_str(), "/", rng() % 4);
      } else {
        wc_sessionvalue_del("b.com", "sid", v.c_str());
      }
    }
  });
  threads.emplace_back([] {
    std::mt19937 rng(8);
    for (int i = 0; i < kRounds; ++i) {
      const std::string cookie = "sid=s" + std::to_string(rng() % 64) + "xxxxxxxx; uid=u" + std::to_string(rng() % 64) +
                                 "yyyyyyyy; a=1";
      Head request = make_head("GET / HTTP/1.1\r\nHost: www.a.com\r\nCookie: " + cookie + "\r\n");
      if (!is_member(request.get(), "www.a.com/page")) strip_session_cookies(request.get());
    }
  });
  threads.emplace_back([] {
    std::mt19937 rng(9);
    for (int i = 0; i < kRounds / 5; ++i) {
      switch (rng() % 4) {
        case 0: reqgate_CleanSessionCaches(); break;
        case 1: session_sweep(); break;
        case 2: fakes().now += 1; break;
        default: fakes().limit = rng() % 2 ? 1u : UINT32_MAX; break;
      }
      reqgate_GetSessionCacheSize();
      std::this_thread::yield();
    }
  });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), values_held());
  reqgate_CleanSessionCaches();
  EXPECT_EQ(reqgate_GetSessionCacheSize(), 0u);
}

// ---- the sweep timer on its box thread ----

TEST_F(SessionThreads, TheSweepTimerRunsOnItsBoxThreadBesideTheWriters) {
  std::atomic<vor_box*> box{nullptr};
  std::thread owner([&] {
    vor_box* b = vor_box_new();
    box = b;
    if (b) vor_box_loop(b);
  });
  while (!box.load()) std::this_thread::yield();
  ASSERT_GT(start_session_sweep(box.load(), 1), 0);
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 300; ++i) {
        const std::string v = "w" + std::to_string(t) + "-" + std::to_string(i) + "xxxxxxxx";
        wc_sessionvalue_add("c.com", "sid", v.c_str(), "/", 0);  // expired as soon as added
      }
    });
  }
  for (std::thread& t : writers) t.join();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (reqgate_GetNumOfSessionCaches() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(reqgate_GetNumOfSessionCaches(), 0u);
  vor_box_BreakLoop(box.load());
  owner.join();
}

}  // namespace
