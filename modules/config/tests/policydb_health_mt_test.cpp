// Health checks of down upstreams against real listeners on 127.0.0.1. The checks' resolver and
// box calls are replaced by recording ones that call the real box layer (names map to 127.0.0.1),
// or by failing ones: one check per upstream, the port taken from the host, a first attempt a
// second after the failure and then one per interval, a listener that comes back marks the
// upstream up, changed hosts and removals end the check, templates are never checked, and an
// upstream whose check cannot start or go on is marked up again.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "policydb.h"
#include "policydb_health.h"
#include "policydb_internal.h"
#include "policydb_proxy.h"
#include "policydb_test_env.h"
#include "vor_net_test_util.h"
#include "vor_wait.h"

namespace policydb::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using vor::test::wait_until;

// Port 1 on 127.0.0.1: nothing listens, connections are refused at once.
constexpr uint16_t kRefused = 1;

// What the checks asked for, from the check thread; cleared by every test's set-up.
class Record {
 public:
  void clear() {
    std::lock_guard<std::mutex> lock(m_);
    asked_.clear();
    tried_.clear();
    once_timers = loop_timers = thread_boxes = 0;
  }
  void ask(const char* name) {
    std::lock_guard<std::mutex> lock(m_);
    asked_.emplace_back(name, Clock::now());
  }
  void tried(const char* address, uint16_t port) {
    std::lock_guard<std::mutex> lock(m_);
    tried_.emplace_back(address, port);
  }
  void count(int Record::*counter) {
    std::lock_guard<std::mutex> lock(m_);
    ++(this->*counter);
  }
  int counted(int Record::*counter) {
    std::lock_guard<std::mutex> lock(m_);
    return this->*counter;
  }
  size_t asks() {
    std::lock_guard<std::mutex> lock(m_);
    return asked_.size();
  }
  std::vector<std::pair<std::string, Clock::time_point>> asked() {
    std::lock_guard<std::mutex> lock(m_);
    return asked_;
  }
  size_t tries() {
    std::lock_guard<std::mutex> lock(m_);
    return tried_.size();
  }
  std::pair<std::string, uint16_t> last_try() {
    std::lock_guard<std::mutex> lock(m_);
    return tried_.empty() ? std::pair<std::string, uint16_t>{} : tried_.back();
  }

  // Calls of the box layer, under the lock.
  int once_timers = 0, loop_timers = 0, thread_boxes = 0;

 private:
  std::mutex m_;
  std::vector<std::pair<std::string, Clock::time_point>> asked_;  // resolver questions
  std::vector<std::pair<std::string, uint16_t>> tried_;           // connections started
};

Record& seen() {
  static Record r;
  return r;
}

// The check box, once the recording calls made it (it lives for the process).
std::atomic<vor_box*> g_check_box{nullptr};

uint8_t loopback_resolver(const char* name, char* out) {
  seen().ask(name);
  strcpy(out, "127.0.0.1");
  return 1;
}
uint8_t failing_resolver(const char* name, char*) {
  seen().ask(name);
  return 0;
}

vor_box* recording_thread_box() {
  seen().count(&Record::thread_boxes);
  vor_box* box = vorx_ThreadBox_create();
  g_check_box.store(box);
  return box;
}
int32_t recording_once_timer(vor_box* box, uint32_t ms, cu_box_timer_fn fn, void* ud) {
  seen().count(&Record::once_timers);
  return vor_box_NewOnceTimer(box, ms, fn, ud);
}
int32_t recording_loop_timer(vor_box* box, uint32_t ms, cu_box_timer_fn fn, void* ud) {
  seen().count(&Record::loop_timers);
  return vor_box_NewLoopTimer(box, ms, fn, ud);
}
int64_t recording_tcp_client(vor_box* box, const char* address, uint16_t port, cu_box_sock_fn on_connected,
                             void* ud_connected, cu_box_sock_fn on_failed, void* ud_failed, cu_box_read_fn on_read,
                             void* ud_read, cu_box_sock_fn on_close, void* ud_close) {
  seen().tried(address, port);
  return vor_box_NewTcpClient(box, address, port, on_connected, ud_connected, on_failed, ud_failed, on_read, ud_read,
                              on_close, ud_close);
}

vor_box* failing_thread_box() {
  seen().count(&Record::thread_boxes);
  return nullptr;
}
int32_t failing_once_timer(vor_box*, uint32_t, cu_box_timer_fn, void*) {
  seen().count(&Record::once_timers);
  return -1;
}
int32_t failing_loop_timer(vor_box*, uint32_t, cu_box_timer_fn, void*) {
  seen().count(&Record::loop_timers);
  return -1;
}

constexpr health::BoxCalls kRecording{recording_thread_box, recording_once_timer, recording_loop_timer,
                                      recording_tcp_client};

struct DownState {
  bool known = false;
  bool down = false;
  int64_t since = 0;
};

DownState state_of(uint32_t wid, uint32_t id) {
  uint8_t down = 0;
  DownState s;
  s.known = policydb_upstream_down_status(wid, id, &down, &s.since, nullptr) != 0;
  s.down = down != 0;
  return s;
}

bool is_down(uint32_t wid, uint32_t id) { return state_of(wid, id).down; }

// The upstream's down state, host and check, for failure messages.
std::string described(uint32_t wid, uint32_t id) {
  uint8_t down = 0;
  int64_t since = 0;
  char host[257] = "";
  const bool known = policydb_upstream_down_status(wid, id, &down, &since, host) != 0;
  return std::to_string(wid) + ":" + std::to_string(id) + (known ? "" : " unknown") + " host " + host + " down " +
         std::to_string(down) + " since " + std::to_string(since) + (health::checking(wid, id) ? " checked" : "");
}

// A listener on 127.0.0.1:port that never accepts: connections complete in its backlog.
int listen_on(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in at = vor::test::loopback(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || listen(fd, SOMAXCONN) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string on_port(const std::string& name, uint16_t port) { return name + ":" + std::to_string(port); }

class HealthCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    seen().clear();
    saved_ = health::box_calls();
    health::box_calls() = kRecording;
    policydb_upstream_down_ImportGetHostIP(loopback_resolver);
    t.make_default_db();
    load(1);
  }
  // Every check ends at its next tick once its proxy is gone; the box is left with nothing.
  void TearDown() override {
    policydb_proxy_clean();
    const milliseconds limit = milliseconds(interval_ * 1000) + vor::test::kPatience;
    for (const auto& [w, id] : pairs()) {
      EXPECT_TRUE(wait_until([&, w = w, id = id] { return !health::checking(w, id); }, limit)) << w << ":" << id;
    }
    if (vor_box* box = g_check_box.load()) {
      EXPECT_TRUE(wait_until([&] { return vor_box_GetNumTimer(box) == 0 && vor_box_GetNumSock(box) == 0; }))
          << "timers " << vor_box_GetNumTimer(box) << ", sockets " << vor_box_GetNumSock(box);
    }
    health::box_calls() = saved_;
  }

  // The store loaded with checks every interval seconds and the one proxy a.com.
  void load(uint32_t interval) {
    write_file(t.path("modules/zazudaza/proxy.ini"),
               "[system]\nupstream_down_for_expire=" + std::to_string(interval) + "\n");
    ASSERT_EQ(loaded_ ? t.reload() : t.init(), 1);
    loaded_ = true;
    interval_ = interval;
    ASSERT_EQ(proxy::down_check_interval(), interval);
    policydb_proxy_clean();
    ASSERT_TRUE(policydb_proxy_append("a.com", 0, "", &wid));
  }
  uint32_t add(const std::string& host) { return add_to(wid, host); }
  uint32_t add_to(uint32_t proxy, const std::string& host) {
    uint32_t id = 0;
    EXPECT_TRUE(policydb_upstream_append(proxy, host.c_str(), 1, "", &id)) << host;
    std::lock_guard<std::mutex> lock(pairs_lock_);
    pairs_.emplace_back(proxy, id);
    return id;
  }
  std::vector<std::pair<uint32_t, uint32_t>> pairs() {
    std::lock_guard<std::mutex> lock(pairs_lock_);
    return pairs_;
  }
  bool ended(uint32_t id) {
    return wait_until([&] { return !health::checking(wid, id); },
                      milliseconds(interval_ * 1000) + vor::test::kPatience);
  }

  Tree t;
  uint32_t wid = 0;
  uint32_t interval_ = 1;

 private:
  bool loaded_ = false;
  health::BoxCalls saved_{};
  std::mutex pairs_lock_;
  std::vector<std::pair<uint32_t, uint32_t>> pairs_;
};

// First in this file: the check box is made once per process, so a later test would find it made.
TEST_F(HealthCheck, CheckBoxThatCannotBeMadeLeavesTheUpstreamUpAndIsTriedAgain) {
  const uint32_t id = add(on_port("box.example", kRefused));
  health::box_calls().thread_box = failing_thread_box;
  policydb_upstream_down_checking(wid, id, 1);
  health::box_calls() = kRecording;
  if (seen().counted(&Record::thread_boxes) == 0) GTEST_SKIP() << "the check box was made by an earlier test";
  EXPECT_FALSE(is_down(wid, id));
  EXPECT_FALSE(health::checking(wid, id));
  EXPECT_EQ(seen().counted(&Record::once_timers), 0);
  // The next failure makes the box and starts the check.
  policydb_upstream_down_checking(wid, id, 1);
  EXPECT_EQ(seen().counted(&Record::thread_boxes), 2);
  EXPECT_TRUE(is_down(wid, id));
  EXPECT_TRUE(health::checking(wid, id));
}

// A timer that cannot be made ends the check with the upstream up; the next failure starts a
// fresh check (nothing of the failed one is left behind).
TEST_F(HealthCheck, TimerThatCannotBeMadeLeavesTheUpstreamUp) {
  struct Case {
    const char* what;
    uint32_t interval;
    health::BoxCalls calls;
    int Record::*failed;
  };
  const Case kCases[] = {
      {"once-timer",
       1,
       {recording_thread_box, failing_once_timer, recording_loop_timer, recording_tcp_client},
       &Record::once_timers},
      {"loop timer",
       1,
       {recording_thread_box, recording_once_timer, failing_loop_timer, recording_tcp_client},
       &Record::loop_timers},
      {"loop timer of interval 0", 0, kRecording, &Record::loop_timers},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    load(c.interval);
    seen().clear();
    const uint32_t id = add(on_port("timer.example", kRefused));
    health::box_calls() = c.calls;
    policydb_upstream_down_checking(wid, id, 1);
    EXPECT_TRUE(ended(id));
    health::box_calls() = kRecording;
    EXPECT_EQ(seen().counted(c.failed), 1);
    EXPECT_FALSE(is_down(wid, id));
    EXPECT_EQ(state_of(wid, id).since, 0);
    EXPECT_EQ(seen().tries(), 0u);  // no attempt without a loop timer
    load(1);
    const uint32_t again = add(on_port("timer.example", kRefused));
    policydb_upstream_down_checking(wid, again, 1);
    EXPECT_TRUE(wait_until([] { return seen().tries() >= 1; }));
    EXPECT_TRUE(is_down(wid, again));
    policydb_upstream_down_2(wid, again, 0);
    EXPECT_TRUE(ended(again));
  }
}

TEST_F(HealthCheck, ResolverImportKeepsTheOneInForceForNull) {
  EXPECT_EQ(policydb_upstream_down_ImportGetHostIP(nullptr), loopback_resolver);
  EXPECT_EQ(policydb_upstream_down_ImportGetHostIP(failing_resolver), failing_resolver);
  EXPECT_EQ(policydb_upstream_down_ImportGetHostIP(nullptr), failing_resolver);
  policydb_upstream_down_ImportGetHostIP(loopback_resolver);
}

// A resolver that fails leaves the attempt to the next tick; the one installed next is asked at
// the next attempt.
TEST_F(HealthCheck, FailedResolutionWaitsForTheNextTick) {
  policydb_upstream_down_ImportGetHostIP(failing_resolver);
  const uint32_t id = add(on_port("dns.example", kRefused));
  policydb_upstream_down_checking(wid, id, 1);
  ASSERT_TRUE(wait_until([] { return seen().asks() >= 2; }));
  EXPECT_EQ(seen().tries(), 0u);
  EXPECT_TRUE(is_down(wid, id));
  EXPECT_TRUE(health::checking(wid, id));
  policydb_upstream_down_ImportGetHostIP(loopback_resolver);
  ASSERT_TRUE(wait_until([] { return seen().tries() >= 1; }));
  EXPECT_EQ(seen().last_try(), std::make_pair(std::string("127.0.0.1"), kRefused));
  EXPECT_EQ(seen().asked().back().first, "dns.example");
  EXPECT_TRUE(health::checking(wid, id));
}

// The name before the first ':' is resolved; the port after it is cut to 16 bits, 0 or none
// meaning 80.
TEST_F(HealthCheck, AttemptGoesToThePortOfTheHost) {
  struct Case {
    const char* host;
    const char* name;
    uint16_t port;
  };
  const Case kCases[] = {
      {"10.0.0.9:8080", "10.0.0.9", 8080},
      {"b.example:0", "b.example", 80},
      {"b.example", "b.example", 80},
      {"b.example:73616", "b.example", 8080},  // 65536 + 8080
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.host);
    seen().clear();
    const uint32_t id = add(c.host);
    policydb_upstream_down_checking(wid, id, 1);
    ASSERT_TRUE(wait_until([] { return seen().tries() >= 1; }));
    EXPECT_EQ(seen().asked().front().first, c.name);
    EXPECT_EQ(seen().last_try(), std::make_pair(std::string("127.0.0.1"), c.port));
    policydb_upstream_down_2(wid, id, 0);  // whatever listens there or not, the check ends
    EXPECT_TRUE(ended(id));
  }
}

TEST_F(HealthCheck, RepeatedFailuresShareOneCheck) {
  const uint32_t id = add(on_port("one.example", kRefused));
  policydb_upstream_down_checking(wid, id, 1);
  policydb_upstream_down_checking(wid, id, 1);
  ASSERT_TRUE(wait_until([] { return seen().asks() >= 2; }));
  policydb_upstream_down_checking(wid, id, 1);  // while the loop runs
  ASSERT_TRUE(wait_until([] { return seen().asks() >= 3; }));
  EXPECT_EQ(seen().counted(&Record::once_timers), 1);
  EXPECT_EQ(seen().counted(&Record::loop_timers), 1);
  EXPECT_TRUE(is_down(wid, id));
}

// Times are only bounded from below: the box may run late, never early.
TEST_F(HealthCheck, FirstAttemptASecondAfterTheFailureThenOnePerInterval) {
  load(2);
  const uint32_t id = add(on_port("slow.example", kRefused));
  const Clock::time_point failed = Clock::now();
  policydb_upstream_down_checking(wid, id, 1);
  ASSERT_TRUE(wait_until([] { return seen().asks() >= 3; }, milliseconds(30000)));
  const auto asked = seen().asked();
  for (size_t n = 0; n < 3; ++n) {
    SCOPED_TRACE(n);
    EXPECT_GE(asked[n].second - failed, milliseconds(1000 + 2000 * static_cast<int>(n)) - milliseconds(20));
  }
  EXPECT_TRUE(is_down(wid, id));
  EXPECT_TRUE(health::checking(wid, id));
}

// The first attempt does not wait for the interval: with a minute between attempts, a listener
// already up marks the upstream up at once.
TEST_F(HealthCheck, FirstAttemptDoesNotWaitForTheInterval) {
  load(60);
  const uint16_t port = vor::test::free_port();
  const int fd = listen_on(port);
  ASSERT_GE(fd, 0);
  const uint32_t id = add(on_port("quick.example", port));
  policydb_upstream_down_checking(wid, id, 1);
  EXPECT_TRUE(wait_until([&] { return !is_down(wid, id); }));
  EXPECT_TRUE(ended(id));
  EXPECT_EQ(seen().asks(), 1u);
  close(fd);
}

TEST_F(HealthCheck, UpstreamComesBackUpAtTheFirstAttemptAfterItsListenerReturns) {
  const uint16_t port = vor::test::free_port();
  const uint32_t id = add(on_port("back.example", port));
  policydb_upstream_down_checking(wid, id, 1);
  // Attempts fail while nothing listens; the upstream stays down.
  ASSERT_TRUE(wait_until([] { return seen().tries() >= 2; }));
  EXPECT_TRUE(is_down(wid, id));
  const int fd = listen_on(port);
  ASSERT_GE(fd, 0);
  const size_t before = seen().tries();
  EXPECT_TRUE(wait_until([&] { return !is_down(wid, id); }));
  EXPECT_LE(seen().tries(), before + 1);
  EXPECT_EQ(state_of(wid, id).since, 0);
  EXPECT_TRUE(ended(id));
  close(fd);
}

// Whatever ends a check leaves its upstream up (when it still exists) and prints nothing.
TEST_F(HealthCheck, EndedChecksLeaveTheUpstreamUp) {
  struct Case {
    const char* what;
    void (*change)(uint32_t wid, uint32_t id);
  };
  const Case kCases[] = {
      {"host changed", [](uint32_t w, uint32_t id) { policydb_upstream_modify(id, w, "other.example:1", 1, ""); }},
      {"host changed, marked down again",
       [](uint32_t w, uint32_t id) {
         policydb_upstream_modify(id, w, "other.example:1", 1, "");
         policydb_upstream_down_2(w, id, 1);
       }},
      {"marked up by other means", [](uint32_t w, uint32_t id) { policydb_upstream_down_2(w, id, 0); }},
      {"upstream removed", [](uint32_t w, uint32_t id) { policydb_upstream_delete(w, id); }},
      {"proxy removed", [](uint32_t w, uint32_t) { policydb_proxy_delete(w); }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    load(1);
    const uint32_t id = add(on_port("end.example", kRefused));
    policydb_upstream_down_checking(wid, id, 1);
    ASSERT_TRUE(wait_until([] { return seen().tries() >= 1; }));  // the loop runs
    c.change(wid, id);
    const size_t asks = seen().asks();
    const std::string log = t.log();
    Capture out(1, t.path("ended.out"));
    Capture err(2, t.path("ended.err"));
    EXPECT_TRUE(ended(id));
    EXPECT_LE(seen().asks(), asks + 1);  // at most the tick under way; the next one ends it
    EXPECT_FALSE(is_down(wid, id));
    EXPECT_EQ(state_of(wid, id).since, 0);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(t.log(), log);
    seen().clear();
  }
}

TEST_F(HealthCheck, HostChangedOnlyInCaseKeepsTheCheck) {
  const uint32_t id = add(on_port("case.example", kRefused));
  policydb_upstream_down_checking(wid, id, 1);
  ASSERT_TRUE(policydb_upstream_modify(id, wid, on_port("CASE.Example", kRefused).c_str(), 1, ""));
  ASSERT_TRUE(wait_until([] { return seen().tries() >= 2; }));
  EXPECT_TRUE(is_down(wid, id));
  EXPECT_TRUE(health::checking(wid, id));
}

// A host template names no one address: a failure leaves it up and starts nothing, and a
// report of success still marks it up.
TEST_F(HealthCheck, TemplateUpstreamIsNeverMarkedDown) {
  for (const char* host : {"$0", "$0:8081", "x$1", "a$"}) {
    SCOPED_TRACE(host);
    const uint32_t id = add(host);
    policydb_upstream_down_checking(wid, id, 1);
    EXPECT_FALSE(is_down(wid, id));
    EXPECT_FALSE(health::checking(wid, id));
    policydb_upstream_down_2(wid, id, 1);
    policydb_upstream_down_checking(wid, id, 0);
    EXPECT_FALSE(is_down(wid, id));
  }
  EXPECT_EQ(seen().counted(&Record::once_timers), 0);
}

TEST_F(HealthCheck, UnknownUpstreamStartsNoCheck) {
  policydb_upstream_down_checking(wid, 999999, 1);
  policydb_upstream_down_checking(wid + 1000, 1, 1);
  EXPECT_FALSE(health::checking(wid, 999999));
  EXPECT_EQ(seen().counted(&Record::once_timers), 0);
}

// Pipes on 8 threads report failures and successes of shared upstreams while others change
// their hosts between a refusing and a listening port, mark them up, and add and remove proxies
// with upstreams of their own; the checks start, connect, fail and end meanwhile. Afterwards no
// upstream is down without its check, and with every host listening all end up.
TEST_F(HealthCheck, FailuresFromEightThreads) {
  const uint16_t port = vor::test::free_port();
  const int fd = listen_on(port);
  ASSERT_GE(fd, 0);
  constexpr int kShared = 16;
  auto host_of = [&](int i, bool listening) {
    return on_port("u" + std::to_string(i) + ".example", listening ? port : kRefused);
  };
  std::vector<uint32_t> ids;
  for (int i = 0; i < kShared; ++i) ids.push_back(add(host_of(i, i % 2 == 0)));
  const unsigned seed = static_cast<unsigned>(std::random_device{}());
  SCOPED_TRACE(seed);
  Capture out(1, t.path("storm.out"));  // the down lines of the console
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int n = 0; n < 8; ++n) {
    threads.emplace_back([&, n] {
      std::mt19937 rng(seed + static_cast<unsigned>(n));
      std::vector<uint32_t> own;  // this thread's proxies
      for (int k = 0; !stop.load(); ++k) {
        const int i = static_cast<int>(rng() % kShared);
        const uint32_t id = ids[static_cast<size_t>(i)];
        switch (rng() % 10) {
          case 0:
            policydb_upstream_modify(id, wid, host_of(i, rng() % 2 == 0).c_str(), 1, "");
            break;
          case 1:
            policydb_upstream_down_2(wid, id, 0);
            break;
          case 2:
            policydb_upstream_down_checking(wid, id, 0);
            break;
          case 3: {
            uint32_t w = 0;
            if (!policydb_proxy_append(("p" + std::to_string(n) + "-" + std::to_string(k) + ".com").c_str(), 0, "", &w))
              break;
            own.push_back(w);
            for (bool listening : {false, true})
              policydb_upstream_down_checking(w, add_to(w, host_of(i, listening)), 1);
            break;
          }
          case 4:
            if (own.empty()) break;
            policydb_proxy_delete(own.back());
            own.pop_back();
            break;
          default:
            policydb_upstream_down_checking(wid, id, 1);
        }
      }
    });
  }
  // Long enough for checks to tick, connect and fail alongside the changes.
  EXPECT_TRUE(wait_until([] { return seen().tries() >= 40; }, milliseconds(60000)));
  stop.store(true);
  for (auto& th : threads) th.join();
  out.stop();
  auto checked_when_down = [&](uint32_t w, uint32_t id) { return !is_down(w, id) || health::checking(w, id); };
  for (const auto& [w, id] : pairs()) {
    EXPECT_TRUE(wait_until([&, w = w, id = id] { return checked_when_down(w, id); })) << described(w, id);
  }
  // Every host listening: the checks of down upstreams connect and end.
  for (int i = 0; i < kShared; ++i) {
    const uint32_t id = ids[static_cast<size_t>(i)];
    ASSERT_TRUE(policydb_upstream_modify(id, wid, host_of(i, true).c_str(), 1, ""));
  }
  for (uint32_t id : ids) {
    EXPECT_TRUE(wait_until([&] { return !is_down(wid, id) && !health::checking(wid, id); })) << described(wid, id);
  }
  close(fd);
}

}  // namespace
}  // namespace policydb::test
