// Client connections in one process: a bigbox, the edge server's context and listeners, and
// sub-module slots that record what they see, driven by real sockets on 127.0.0.1.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "edge_fixture.h"
#include "edgeserv_internal.h"
#include "vor_net_test_util.h"
#include "vor_setup.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

using vor::test::connect_blocking;
using vor::test::wait_until;

// What the slots saw, in order.
struct Seen {
  std::mutex lock;
  std::vector<std::string> events;
  std::atomic<int> accepts{0};
  std::atomic<int> closes{0};
  std::atomic<int> accept_delay_ms{0};
  std::atomic<int> lookups_from_thread{0};

  void add(const std::string& e) {
    std::lock_guard<std::mutex> g(lock);
    events.push_back(e);
  }
  std::vector<std::string> all() {
    std::lock_guard<std::mutex> g(lock);
    return events;
  }
};

Seen& seen() {
  static Seen s;
  return s;
}

uint8_t slot_accept(edgeserv_ctx*, int64_t sid, const char*, uint16_t) {
  seen().add("accept " + std::to_string(sid));
  if (int ms = seen().accept_delay_ms.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  seen().add("accept-end " + std::to_string(sid));
  seen().accepts.fetch_add(1);
  return 1;
}

void slot_close(edgeserv_ctx*, int64_t sid) {
  // The record is still there during the walk.
  seen().add(std::string("close ") + std::to_string(sid) + (edgeserv_GetClient_BySid(sid) ? "" : " (no record)"));
  seen().closes.fetch_add(1);
}

// Another thread looks the client up while the slot runs: the slot holds no lock.
uint8_t slot_read_lookup(edgeserv_ctx*, int64_t sid, const char*, int32_t, const char*, int32_t) {
  auto found = std::async(std::launch::async, [sid] { return edgeserv_GetClient_BySid(sid) != nullptr; });
  if (found.wait_for(std::chrono::seconds(10)) == std::future_status::ready && found.get())
    seen().lookups_from_thread.fetch_add(1);
  return 1;
}

submodule_desc g_recorder = {371, "recorder", nullptr, nullptr, slot_accept, slot_close, nullptr};
submodule_desc g_lookup = {371, "lookup", nullptr, nullptr, nullptr, nullptr, slot_read_lookup};

using edge::test::Edge;

void reset_close(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

// True when the peer closed the socket (a read answers 0 or an error) within the wait.
bool peer_closed(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char b[64];
  return recv(fd, b, sizeof b, MSG_DONTWAIT) <= 0;
}

int open_descriptors() {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST(Connections, AResetDuringASlowOnAcceptGivesOnAcceptThenOnCloseOnce) {
  seen().accept_delay_ms = 300;
  Edge edge({&g_recorder});
  const int fd = connect_blocking(edge.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(wait_until([] { return !seen().all().empty(); }));
  reset_close(fd);
  ASSERT_TRUE(wait_until([] { return seen().closes.load() == 1; }));
  ASSERT_TRUE(wait_until([] { return edgeserv_GetNumOfConnections() == 0; }));
  const std::vector<std::string> events = seen().all();
  ASSERT_EQ(events.size(), 3u);
  const std::string sid = events[0].substr(strlen("accept "));
  EXPECT_EQ(events[1], "accept-end " + sid);
  EXPECT_EQ(events[2], "close " + sid);
}

TEST(Connections, AForceCloseDuringOnAcceptWaitsForTheWalk) {
  seen().accept_delay_ms = 300;
  Edge edge({&g_recorder});
  const int fd = connect_blocking(edge.port());
  ASSERT_TRUE(wait_until([] { return !seen().all().empty(); }));
  const int64_t sid = std::stoll(seen().all()[0].substr(strlen("accept ")));
  edgeserv_ForceClose(sid);
  edgeserv_ForceClose(sid);
  EXPECT_TRUE(peer_closed(fd, 20000));
  ASSERT_TRUE(wait_until([] { return seen().closes.load() == 1; }));
  const std::vector<std::string> events = seen().all();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1], "accept-end " + std::to_string(sid));
  EXPECT_EQ(events[2], "close " + std::to_string(sid));
  close(fd);
}

TEST(Connections, ForceCloseTwiceClosesOnceWithTheRecordStillThereDuringOnClose) {
  Edge edge({&g_recorder});
  const int fd = connect_blocking(edge.port());
  ASSERT_TRUE(wait_until([] { return seen().accepts.load() == 1; }));
  const int64_t sid = std::stoll(seen().all()[0].substr(strlen("accept ")));
  ASSERT_TRUE(wait_until([&] {
    client_rec* rec = edgeserv_GetClient_BySid(sid);
    return rec != nullptr;
  }));
  edgeserv_ForceClose(sid);
  edgeserv_ForceClose(sid);
  EXPECT_TRUE(peer_closed(fd, 20000));
  ASSERT_TRUE(wait_until([] { return edgeserv_GetNumOfConnections() == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(seen().closes.load(), 1);
  EXPECT_EQ(seen().all().back(), "close " + std::to_string(sid));
  edgeserv_ForceClose(sid);  // a sid no longer known: nothing
  close(fd);
}

TEST(Connections, ASlotMayHaveAnotherThreadLookTheClientUp) {
  Edge edge({&g_lookup});
  const int fd = connect_blocking(edge.port());
  const std::string req = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
  ASSERT_EQ(send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
  EXPECT_TRUE(wait_until([] { return seen().lookups_from_thread.load() == 1; }));
  close(fd);
  ASSERT_TRUE(wait_until([] { return edgeserv_GetNumOfConnections() == 0; }));
}

TEST(Connections, AChunkedRequestNeverReachesASlotAndIsClosed) {
  Edge edge({&g_lookup});
  const int fd = connect_blocking(edge.port());
  const std::string req =
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "1a\r\nGET /smuggled HTTP/1.1\r\n\r\n\r\n0\r\n\r\n";
  ASSERT_EQ(send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
  // The 400 page, then the end of the connection.
  std::string answer;
  char b[4096];
  for (int i = 0; i < 1000; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) break;
    const ssize_t n = recv(fd, b, sizeof b, 0);
    if (n <= 0) break;
    answer.append(b, static_cast<size_t>(n));
  }
  EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << answer;
  EXPECT_TRUE(peer_closed(fd, 0));
  EXPECT_EQ(seen().lookups_from_thread.load(), 0);
  close(fd);
}

TEST(IdleSweep, ASilentSocketIsClosedAndATrickleIsKept) {
  edge::Settings s;
  s.idle_limit = 1;
  Edge edge({&g_recorder}, s);
  edge::start_clock(edge.ctx());
  edge::start_idle_sweep(edge.ctx(), 1);
  const int silent = connect_blocking(edge.port());
  const int trickle = connect_blocking(edge.port());
  ASSERT_TRUE(wait_until([] { return seen().accepts.load() == 2; }));
  bool silent_closed = false;
  bool trickle_closed = false;
  // One byte every 300 ms; the silent socket goes within a few sweep periods.
  for (int i = 0; i < 100 && !(silent_closed && i >= 20); ++i) {
    ASSERT_EQ(send(trickle, "x", 1, MSG_NOSIGNAL), 1);
    if (!silent_closed) silent_closed = peer_closed(silent, 300);
    else std::this_thread::sleep_for(std::chrono::milliseconds(300));
    trickle_closed = peer_closed(trickle, 0);
    ASSERT_FALSE(trickle_closed) << "after " << i << " bytes";
  }
  EXPECT_TRUE(silent_closed);
  EXPECT_EQ(edgeserv_GetNumOfConnections(), 1);
  close(silent);
  close(trickle);
}

TEST(SockList, LinesCarryTheAcceptTimeInLocalTimeAndThePeer) {
  setenv("TZ", "CST-8", 1);
  tzset();
  Edge edge({&g_recorder});
  edge::set_clock(1704164645);  // 2024-01-02 03:04:05 UTC
  const int fd = connect_blocking(edge.port());
  ASSERT_TRUE(wait_until([] { return seen().accepts.load() == 1; }));
  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
  const std::string peer = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
  auto list = [] {
    cu_jitter* out = cu_jitter_malloc();
    edgeserv_GetSockList(out);
    std::string text(static_cast<size_t>(cu_jitter_GetLen(out)), '\0');
    cu_jitter_GetData(out, text.data(), static_cast<int32_t>(text.size()));
    cu_jitter_free(out);
    return text;
  };
  EXPECT_EQ(list(), "2024-01-02 11:04:05 -> " + peer + " -> quorin\r\n");
  edgeserv_SetLocationOfIP([](const char*, char*, int32_t, char* detail, int32_t) -> uint8_t {
    if (detail) strcpy(detail, "\xc4\xe3\xba\xc3");
    return 1;
  });
  EXPECT_EQ(list(), "2024-01-02 11:04:05 -> " + peer + " -> \xe4\xbd\xa0\xe5\xa5\xbd -> quorin\r\n");
  edge::reset_location();
  close(fd);
}

// Init stopping early (no zazudaza.ini) still leaves the cached clock running: other modules
// keep reading it as their clock.
TEST(Clock, RunsWhenInitStopsAtTheMissingSettingsFile) {
  vor::test::TempDir tmp;
  std::filesystem::create_directories(tmp.file("bin"));
  std::filesystem::create_directories(tmp.file("logs"));
  ASSERT_EQ(chdir(tmp.file("bin").c_str()), 0);
  vor_Setup();
  daemon_ctx daemon{};
  daemon.config = cu_config_make1("[system]\r\nproxy_port=127.0.0.1:1\r\n");
  daemon.bigbox = vor_bigbox_make(1, 100);
  ASSERT_EQ(edgeserv_init(&daemon), 1);
  ASSERT_NE(edgeserv_GetHandle(), nullptr);
  EXPECT_EQ(edgeserv_GetHandle()->config, nullptr);
  edge::set_clock(1);
  EXPECT_TRUE(wait_until([] { return edgeserv_mytime() > 1; }));
  vor_bigbox_free(daemon.bigbox);
}

// Connections opened 1,000 at a time, each sending a request and closing (every fourth with a
// reset): every on_accept has its on_close, and the tables and descriptors come back.
TEST(Churn, EveryAcceptHasItsCloseAndEverythingComesBack) {
  const char* env = getenv("EDGE_CHURN_SECONDS");
  const int seconds = env ? atoi(env) : 5;
  Edge edge({&g_recorder});
  const int baseline = open_descriptors();
  const std::string req = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  long connections = 0;
  for (int round = 0; round < 100000 && std::chrono::steady_clock::now() < end; ++round) {
    std::vector<int> fds;
    for (int i = 0; i < 1000; ++i) {
      const int fd = connect_blocking(edge.port());
      if (fd < 0) break;
      fds.push_back(fd);
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      send(fds[i], req.data(), req.size(), MSG_NOSIGNAL);
      if (i % 4 == 0)
        reset_close(fds[i]);
      else
        close(fds[i]);
    }
    connections += static_cast<long>(fds.size());
  }
  ASSERT_TRUE(wait_until([&] { return seen().closes.load() == connections; }, std::chrono::seconds(60)))
      << seen().closes.load() << " of " << connections;
  EXPECT_EQ(seen().accepts.load(), connections);
  EXPECT_TRUE(wait_until([&] { return edgeserv_GetNumOfConnections() == 0 && vor_bigbox_nnodes(edge.bigbox()) == 0; }));
  EXPECT_TRUE(wait_until([&] { return open_descriptors() <= baseline; })) << open_descriptors() << " vs " << baseline;
  printf("churn: %ld connections in %d s\n", connections, seconds);
}

}  // namespace
