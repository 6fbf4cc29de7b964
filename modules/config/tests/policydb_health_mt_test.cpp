// Health checks of down upstreams against real listeners on 127.0.0.1, with a counting resolver:
// one check per upstream, the port taken from the host, a listener that comes back marks the
// upstream up, a changed host or a removed proxy ends the check, templates are never checked.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "policydb.h"
#include "policydb_internal.h"
#include "policydb_proxy.h"
#include "policydb_test_env.h"
#include "vor_net_test_util.h"
#include "vor_wait.h"

namespace policydb::test {
namespace {

std::atomic<int> g_resolved{0};

// Every name resolves to the loopback address; counts the attempts.
uint8_t counting_resolver(const char*, char* out) {
  g_resolved.fetch_add(1);
  strcpy(out, "127.0.0.1");
  return 1;
}

bool is_down(uint32_t wid, uint32_t id) {
  uint8_t down = 0;
  policydb_upstream_down_status(wid, id, &down, nullptr, nullptr);
  return down != 0;
}

// A listener on a port; closing it makes connections fail.
int listen_on(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in at = vor::test::loopback(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class HealthCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    t.make_default_db();
    vor::test::write_file(t.path("modules/zazudaza/proxy.ini"), "[system]\nupstream_down_for_expire=1\n");
    ASSERT_EQ(t.init(), 1);
    ASSERT_EQ(proxy::down_check_interval(), 1u);
    policydb_upstream_down_ImportGetHostIP(counting_resolver);
    ASSERT_TRUE(policydb_proxy_append("a.com", 0, "", &wid));
  }
  uint32_t add(const std::string& host) {
    uint32_t id = 0;
    EXPECT_TRUE(policydb_upstream_append(wid, host.c_str(), 1, "", &id));
    return id;
  }
  Tree t;
  uint32_t wid = 0;
};

TEST_F(HealthCheck, ResolverImportKeepsTheOneInForceForNull) {
  EXPECT_EQ(policydb_upstream_down_ImportGetHostIP(nullptr), counting_resolver);
}

TEST_F(HealthCheck, UpstreamComesBackUpOnceItsListenerReturns) {
  const uint16_t port = vor::test::free_port();
  const uint32_t id = add("b.example:" + std::to_string(port));
  policydb_upstream_down_checking(wid, id, 1);
  policydb_upstream_down_checking(wid, id, 1);  // one check only
  EXPECT_TRUE(is_down(wid, id));
  const int before = g_resolved.load();
  // Attempts fail while nothing listens; the upstream stays down.
  ASSERT_TRUE(vor::test::wait_until([&] { return g_resolved.load() >= before + 2; }, std::chrono::seconds(20)));
  EXPECT_TRUE(is_down(wid, id));
  const int fd = listen_on(port);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(vor::test::wait_until([&] { return !is_down(wid, id); }, std::chrono::seconds(20)));
  close(fd);
}

TEST_F(HealthCheck, EndedChecksLeaveTheUpstreamUp) {
  struct Case {
    const char* what;
    void (*change)(uint32_t wid, uint32_t id);
  };
  const Case kCases[] = {
      {"host changed", [](uint32_t wid, uint32_t id) { policydb_upstream_modify(id, wid, "other.example:1", 1, ""); }},
      {"marked up by other means", [](uint32_t wid, uint32_t id) { policydb_upstream_down_2(wid, id, 0); }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    const uint32_t id = add("c.example:1");  // port 1: nothing listens
    policydb_upstream_down_checking(wid, id, 1);
    ASSERT_TRUE(is_down(wid, id));
    c.change(wid, id);
    // A few ticks later the check has ended and left it up.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_FALSE(is_down(wid, id));
  }
}

TEST_F(HealthCheck, TemplateUpstreamIsNeverMarkedDown) {
  const uint32_t id = add("$0");
  policydb_upstream_down_checking(wid, id, 1);
  EXPECT_FALSE(is_down(wid, id));
}

TEST_F(HealthCheck, RemovedProxyEndsItsChecksSilently) {
  const uint32_t id = add("d.example:1");
  policydb_upstream_down_checking(wid, id, 1);
  ASSERT_TRUE(policydb_proxy_delete(wid));
  const int before = g_resolved.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  // At most the tick already under way resolved once more.
  EXPECT_LE(g_resolved.load(), before + 1);
}

// Pipes report failures from 8 threads at once: one check per upstream, no race.
TEST_F(HealthCheck, FailuresFromEightThreads) {
  std::vector<uint32_t> ids;
  for (int i = 0; i < 4; ++i) ids.push_back(add("e" + std::to_string(i) + ".example:1"));
  std::vector<std::thread> threads;
  for (int n = 0; n < 8; ++n) {
    threads.emplace_back([&, n] {
      for (int k = 0; k < 50; ++k) policydb_upstream_down_checking(wid, ids[static_cast<size_t>((n + k) % 4)], k % 5 != 4);
    });
  }
  for (auto& th : threads) th.join();
  for (uint32_t id : ids) policydb_upstream_down_2(wid, id, 0);
  for (uint32_t id : ids) EXPECT_TRUE(vor::test::wait_until([&] { return !is_down(wid, id); }));
}

}  // namespace
}  // namespace policydb::test
