// The request handler inside the real daemon: loaded after the rules store from zazudaza.ini,
// with the shipped proxy.ini and a database seeded by the sqlite3 CLI.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include "daemon_tree.h"
#include "upfetch_internal.h"
#include "vor_net_test_util.h"

namespace {

using quorin::test::DaemonTree;
using vor::test::read_file;
using vor::test::run_shell;

std::string source_dir() {
  const char* dir = std::getenv("VOR_SOURCE_DIR");
  return dir ? dir : UPFETCH_SOURCE_DIR;
}

// The tree with the shipped settings, proxy listed after config, and the database settings given.
std::unique_ptr<DaemonTree> make_tree(uint16_t port, const std::string& settings_sql, bool with_proxy_ini = true) {
  auto tree = std::make_unique<DaemonTree>();
  tree->built_modules();
  tree->config("[system]\nmax_network_threads=2\nproxy_port=127.0.0.1:" + std::to_string(port) +
               "\n[modules]\nmodule-0=libedgeserv.so\nexport-0=edgeserv\n");
  tree->modules_file("zazudaza.ini", read_file(source_dir() + "/dist/modules/zazudaza.ini"));
  tree->modules_file("zazudaza/once.ini", read_file(source_dir() + "/dist/modules/zazudaza/once.ini"));
  if (with_proxy_ini) {
    tree->modules_file("zazudaza/proxy.ini", read_file(source_dir() + "/dist/modules/zazudaza/proxy.ini"));
  }
  const std::string db = tree->root() + "/config/zazudaza.db";
  EXPECT_EQ(run_shell("sqlite3 '" + db + "' < '" + source_dir() + "/dist/config/zazudaza.sql'"), 0);
  EXPECT_EQ(run_shell("sqlite3 '" + db + "' \"" + settings_sql + "\""), 0);
  return tree;
}

std::string mask_numbers(const std::string& text) { return std::regex_replace(text, std::regex("\\[[0-9]+\\]"), "[N]"); }

const char kExitReport[] =
    "[zazudaza -> proxy] module exit!\r\n"
    "quorin -> zazudaza -> proxy -> memory infomation:\r\n"
    "afiles    num of opened: [N]\r\n"
    "quorin    memcache size: [N]\r\n"
    "filter    memcache size: [N]\r\n"
    "pipe      memcache size: [N]\r\n"
    "response  memcache size: [N]\r\n"
    "dns       memcache size: [N]\r\n"
    "cache     memcache size: [N]MB\r\n"
    "cache     maxcache size: [N]MB\r\n"
    "based-system cache size: [N]MB\r\n";

TEST(ProxyDaemon, ProxyLoadsAfterConfigAndReportsItsMemoryAtExit) {
  const uint16_t port = vor::test::free_port();
  auto tree = make_tree(port, "update wc_system set value='3' where name='MaxConnections';");
  auto daemon = tree->start_daemon();
  const std::string out = tree->out();
  const size_t config_init = out.find("[zazudaza -> config] module init!\r\n");
  const size_t proxy_init = out.find("[zazudaza -> proxy] module init!\r\n");
  ASSERT_NE(proxy_init, std::string::npos) << out << tree->err();
  EXPECT_LT(config_init, proxy_init);
  EXPECT_EQ(out.find("cann't"), std::string::npos) << out;
  EXPECT_EQ(tree->err().find("[zazudaza -> proxy]"), std::string::npos) << tree->err();
  daemon->signal(SIGTERM);
  ASSERT_TRUE(daemon->wait().ended);
  EXPECT_NE(mask_numbers(tree->out()).find(kExitReport), std::string::npos) << tree->out();
  const std::string log = tree->logs("zazudaza.log");
  EXPECT_TRUE(vor::test::wait_until([&] { return read_file(log).find("based-system cache size") != std::string::npos; }))
      << read_file(log);
}

TEST(ProxyDaemon, MissingProxyIniIsReportedAndTheDefaultsKept) {
  const uint16_t port = vor::test::free_port();
  auto tree = make_tree(port, "select 1;", false);
  auto daemon = tree->start_daemon();
  EXPECT_NE(tree->err().find("[zazudaza -> proxy] cann't open 'modules/zazudaza/proxy.ini' file!\r\n"),
            std::string::npos)
      << tree->err();
  EXPECT_TRUE(vor::test::wait_until([&] {
    return read_file(tree->logs("zazudaza.log")).find("cann't open 'modules/zazudaza/proxy.ini'") != std::string::npos;
  }));
  daemon->signal(SIGTERM);
  EXPECT_TRUE(daemon->wait().ended);
}

// Everything the peer sends until it closes, or until limit passes; closed tells which.
std::string read_until_closed(int fd, bool& closed, std::chrono::milliseconds limit) {
  std::string got;
  closed = false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed = true;
      break;
    }
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

constexpr auto kCloseLimit = std::chrono::seconds(15);

TEST(ProxyDaemon, ConnectionOverTheLimitGetsOnlyThe503PageAndIsClosed) {
  const uint16_t port = vor::test::free_port();
  auto tree = make_tree(port,
                        "update wc_system set value='3' where name='MaxConnections';"
                        "update wc_system set value='0' where name='ClientRequestTimeOut';");
  auto daemon = tree->start_daemon();
  const int first = vor::test::connect_blocking(port);
  const int second = vor::test::connect_blocking(port);
  const int third = vor::test::connect_blocking(port);
  ASSERT_GE(third, 0);
  const char get[] = "GET / HTTP/1.1\r\nHost: a.example\r\n\r\n";
  ASSERT_EQ(send(third, get, sizeof get - 1, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof get - 1));
  bool closed = false;
  const std::string answer = read_until_closed(third, closed, kCloseLimit);
  EXPECT_TRUE(closed);
  EXPECT_EQ(answer.rfind("HTTP/1.1 503 Service Temporarily Unavailable\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("Service Temporarily Unavailable - Reach To Maximum Quorin Connections Setting"),
            std::string::npos);
  EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << answer;  // nothing behind the page
  for (int fd : {first, second, third}) close(fd);
  daemon->signal(SIGTERM);
  EXPECT_TRUE(daemon->wait().ended);
}

TEST(ProxyDaemon, IdleConnectionClosesAfterTheRequestTimeOut) {
  const uint16_t port = vor::test::free_port();
  auto tree = make_tree(port, "update wc_system set value='1' where name='ClientRequestTimeOut';");
  auto daemon = tree->start_daemon();
  const int fd = vor::test::connect_blocking(port);
  ASSERT_GE(fd, 0);
  bool closed = false;
  EXPECT_EQ(read_until_closed(fd, closed, kCloseLimit), "");
  EXPECT_TRUE(closed);
  close(fd);
  daemon->signal(SIGTERM);
  EXPECT_TRUE(daemon->wait().ended);
}

TEST(ProxyDaemon, ZeroRequestTimeOutLeavesAnIdleConnectionOpen) {
  const uint16_t port = vor::test::free_port();
  auto tree = make_tree(port,
                        "update wc_system set value='0' where name='ClientRequestTimeOut';");
  auto daemon = tree->start_daemon();
  const int fd = vor::test::connect_blocking(port);
  ASSERT_GE(fd, 0);
  bool closed = false;
  // Well past a one-second time-out, and short of the edge server's idle sweep.
  read_until_closed(fd, closed, std::chrono::seconds(3));
  EXPECT_FALSE(closed);
  close(fd);
  daemon->signal(SIGTERM);
  EXPECT_TRUE(daemon->wait().ended);
}

}  // namespace
