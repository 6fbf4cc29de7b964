#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cu_console.h"
#include "dnsmasq_fixture.h"
#include "nameres.h"
#include "nameres_internal.h"
#include "vor_wait.h"

namespace {

constexpr int kThreads = 8;
constexpr int kPerThread = 10000;
constexpr int kNames = 1000;

// A look-up fails no sooner than its deadline (5 s after it was accepted), less a margin for
// the clock's rounding.
constexpr std::chrono::milliseconds kNotBeforeDeadline{4500};

using Clock = std::chrono::steady_clock;
std::unique_ptr<std::atomic<int>[]> g_calls;
std::unique_ptr<Clock::time_point[]> g_asked;  // written before the request is handed over
std::atomic<int> g_total{0};
std::atomic<int> g_off_thread{0};
std::atomic<int> g_failed{0};
std::atomic<int> g_failed_early{0};
std::atomic<int> g_wrong_ip{0};

void count(nameres_dns*, const char*, const char* ip, bool ok, int64_t sid, char*, int32_t, vor_box*, char*, int32_t,
           char*) {
  const size_t at = static_cast<size_t>(sid);
  g_calls[at].fetch_add(1);
  if (!nameres_internal::on_resolver_thread()) g_off_thread.fetch_add(1);
  if (ok && std::string(ip) != "10.1.1.1") g_wrong_ip.fetch_add(1);
  if (!ok) {
    g_failed.fetch_add(1);
    if (Clock::now() - g_asked[at] < kNotBeforeDeadline) g_failed_early.fetch_add(1);
  }
  g_total.fetch_add(1);
}

// True once answers reach expected, waiting as long as they keep coming: a resolver thread
// starved by a loaded machine answers late, a lost answer stops the count.
bool answers_reach(int expected) {
  for (int seen = g_total.load(); seen < expected; seen = g_total.load())
    if (!vor::test::wait_until([seen] { return g_total.load() > seen; })) return false;
  return true;
}

// Every accepted request is answered exactly once on the resolver thread, whatever the
// threads, the shared names and the channel rebuilds in between. An answer is the name's
// address, or a failure at the request's deadline: a loaded machine may keep the resolver
// from answering some of the 80,000 requests in time, but nothing fails one sooner.
TEST(NameresThreaded, EveryAcceptedRequestIsAnsweredExactlyOnce) {
  cu_console_Free();
  nameres_test::Dnsmasq first(300), second(300);
  ASSERT_TRUE(first.ready() && second.ready());
  setenv("NAMERES_SERVERS", (first.server() + "," + second.server()).c_str(), 1);
  nameres_internal::reset();
  g_calls.reset(new std::atomic<int>[kThreads * kPerThread]);
  g_asked.reset(new Clock::time_point[kThreads * kPerThread]);
  for (int i = 0; i < kThreads * kPerThread; ++i) g_calls[i].store(0);

  std::vector<std::vector<bool>> accepted(kThreads, std::vector<bool>(kPerThread));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &accepted] {
      for (int i = 0; i < kPerThread; ++i) {
        std::string name = "n" + std::to_string((t * 7919 + i) % kNames) + ".wild.test";
        int64_t sid = int64_t{t} * kPerThread + i;
        g_asked[static_cast<size_t>(sid)] = Clock::now();
        accepted[t][i] = nameres_AddRequest(nameres_GetDnsHandle(), name.c_str(), count, sid, nullptr, 0, nullptr,
                                            nullptr, 1, nullptr, 0, 0);
      }
    });
  }
  for (int i = 0; i < 3; ++i) nameres_set_DNSRefresh();
  for (auto& th : threads) th.join();

  int expected = 0;
  for (auto& row : accepted)
    for (bool a : row) expected += a;
  EXPECT_GT(expected, 0);
  // On failure: a look-up dropped without its callback leaves none waiting; a resolver that is
  // stuck or starved still counts them.
  ASSERT_TRUE(answers_reach(expected)) << g_total.load() << " of " << expected << " answered, "
                                       << nameres_internal::waiting() << " waiting";
  EXPECT_TRUE(vor::test::wait_until([] { return nameres_internal::waiting() == 0; }));
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(g_calls[t * kPerThread + i].load(), accepted[t][i] ? 1 : 0);
  EXPECT_EQ(g_off_thread.load(), 0);
  EXPECT_EQ(g_failed_early.load(), 0);
  EXPECT_EQ(g_wrong_ip.load(), 0);
  EXPECT_GT(g_total.load() - g_failed.load(), 0);
  EXPECT_LE(nameres_NumOfCache(), static_cast<uint32_t>(kNames));
  nameres_internal::reset();
}

}  // namespace
