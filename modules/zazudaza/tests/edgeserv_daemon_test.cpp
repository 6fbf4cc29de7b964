// The edge server loaded by the daemon in a temporary runtime tree, with fixture sub-modules
// that log their slots: the loader's lines, the walks, the listeners, the crash hook, and
// requests from real clients (curl, python3) over 127.0.0.1.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "daemon_tree.h"
#include "vor_net_test_util.h"

namespace {

using quorin::test::DaemonTree;
using vor::test::read_file;
using vor::test::shell_output;
using vor::test::wait_until;

std::string daemon_config(const std::string& system) {
  return "[system]\r\nmax_network_threads=2\r\n" + system + "[modules]\r\nmodule-0=libedgeserv.so\r\nexport-0=edgeserv\r\n";
}

std::string port_line(uint16_t port) { return "proxy_port=127.0.0.1:" + std::to_string(port) + "\r\n"; }

bool accepts(uint16_t port) {
  const int fd = vor::test::connect_blocking(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// A runtime tree with the edge server and the fixture sub-modules in modules/.
class EdgeTree : public DaemonTree {
 public:
  EdgeTree() {
    module_library("libedgeserv.so", EDGESERV_LIB);
    module_library("libvoraux.so.1", std::string(QUORIN_BIN_DIR) + "/libvoraux.so.1");
    module_library("libsub.so", EDGE_SUBMODULE_FIXTURE);
  }
  void zazudaza(const std::string& modules) const {
    modules_file("zazudaza.ini", "[system]\r\ndisplay_console=1\r\n[modules]\r\n" + modules);
  }
  std::string submodules_log() const { return read_file(logs("submodules.log")); }
  std::string edge_log() const { return read_file(logs("zazudaza.log")); }
  // Waits for the banner, then for the log lines to settle.
  std::unique_ptr<quorin::test::Process> start() const { return start_daemon(); }
};

std::string modules_lines(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string text;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].first.empty()) text += "module-" + std::to_string(i) + "=" + entries[i].first + "\r\n";
    if (!entries[i].second.empty()) text += "export-" + std::to_string(i) + "=" + entries[i].second + "\r\n";
  }
  return text;
}

TEST(EdgeDaemon, StartsPrintsItsLinesAndAcceptsOnProxyPort) {
  EdgeTree tree;
  const uint16_t port = vor::test::free_port();
  tree.config(daemon_config(port_line(port)));
  tree.zazudaza("");
  auto daemon = tree.start();
  EXPECT_NE(tree.out().find("[quorin -> zazudaza] module init!\r\n"), std::string::npos) << tree.out();
  EXPECT_NE(tree.edge_log().find("notice: [quorin -> zazudaza] setup!\r\n"), std::string::npos) << tree.edge_log();
  EXPECT_TRUE(accepts(port));
  daemon->signal(SIGTERM);
  EXPECT_EQ(daemon->wait().code, 0);
  EXPECT_NE(tree.out().find("[quorin -> zazudaza] module exit!\r\n"), std::string::npos);
  EXPECT_NE(tree.edge_log().find("notice: [quorin -> zazudaza] exit!\r\n"), std::string::npos);
}

TEST(EdgeDaemon, LoaderTable) {
  EdgeTree tree;
  std::filesystem::create_directories(tree.modules("zazudaza"));
  tree.module_library("zazudaza/libsub.so", EDGE_SUBMODULE_FIXTURE);
  tree.config(daemon_config(port_line(vor::test::free_port())));
  tree.zazudaza(modules_lines({
      {"libsub.so", "sub_a"},             // 0
      {"libsub.so", ""},                  // 1: no export key
      {"zazudaza\\libsub.so", "sub_c"},   // 2: backslashes become slashes
      {"libsub.so", "proxy_one"},         // 3
      {"libsub.so", "proxy_two"},         // 4: "proxy" again
      {"libsub.so", "noname_one"},        // 5: empty names are not compared
      {"libsub.so", "noname_two"},        // 6
      {"libsub.so", "v299"},              // 7
      {"libsub.so", "v300"},              // 8
      {"missing.so", "sub_a"},            // 9
      {"libsub.so", "nosuch"},            // 10
  }));
  auto daemon = tree.start();
  const std::string out = tree.out();
  const std::vector<std::string> lines = {
      "[quorin -> zazudaza] module 'libsub.so' magic ('proxy') is already loaded!\n",
      "[quorin -> zazudaza] module 'libsub.so' version('299') error!\n",
      "[quorin -> zazudaza] module '../modules/missing.so' load fail!\n",
      "[quorin -> zazudaza] module '../modules/libsub.so' export symbol 'nosuch' error!\n",
  };
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\nin\n" << out;
    at = found + line.size();
  }
  const std::string log = tree.edge_log();
  EXPECT_NE(log.find("warn: [quorin -> zazudaza] module 'libsub.so' version('299') error!\r\n"), std::string::npos);
  EXPECT_NE(log.find("warn: [quorin -> zazudaza] module '../modules/missing.so' load fail!\r\n"), std::string::npos);
  EXPECT_EQ(tree.submodules_log(), "init a\ninit c\ninit proxy_one\ninit noname_one\ninit noname_two\ninit v300\n");
  daemon->signal(SIGTERM);
  EXPECT_EQ(daemon->wait().code, 0);
  EXPECT_EQ(tree.submodules_log(),
            "init a\ninit c\ninit proxy_one\ninit noname_one\ninit noname_two\ninit v300\n"
            "exit a\nexit c\nexit proxy_one\nexit noname_one\nexit noname_two\nexit v300\n");
}

TEST(EdgeDaemon, InitWalkStopsAtTheSecondOfThreeAndAllThreeGetSlots) {
  EdgeTree tree;
  const uint16_t port = vor::test::free_port();
  tree.config(daemon_config(port_line(port)));
  tree.zazudaza(modules_lines({{"libsub.so", "sub_a"}, {"libsub.so", "sub_fail"}, {"libsub.so", "sub_c"}}));
  auto daemon = tree.start();
  // No listener during the inits; each init sees the context edgeserv_GetHandle answers.
  EXPECT_EQ(tree.submodules_log(), "init a\ninit b\n");
  const int fd = vor::test::connect_blocking(port);
  const std::string request = "GET /x HTTP/1.1\r\nHost: h\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  close(fd);
  ASSERT_TRUE(wait_until([&] { return tree.submodules_log().find("close c") != std::string::npos; }));
  EXPECT_EQ(tree.submodules_log(),
            "init a\ninit b\n"
            "accept a 127.0.0.1\naccept b 127.0.0.1\naccept c 127.0.0.1\n"
            "read a 28 state 30 body ''\nread b 28 state 30 body ''\nread c 28 state 30 body ''\n"
            "close a\nclose b\nclose c\n");
  daemon->signal(SIGTERM);
  EXPECT_EQ(daemon->wait().code, 0);
  const std::string log = tree.submodules_log();
  EXPECT_EQ(log.substr(log.size() - strlen("exit a\nexit b\nexit c\n")), "exit a\nexit b\nexit c\n");
}

TEST(EdgeDaemon, MissingSettingsLeaveTheServerIdle) {
  {
    EdgeTree tree;
    const uint16_t port = vor::test::free_port();
    tree.config(daemon_config(port_line(port)));
    auto daemon = tree.start();
    EXPECT_NE(tree.err().find("[quorin -> zazudaza] config file 'modules/zazudaza.ini' open fail!\r\n"),
              std::string::npos)
        << tree.err();
    EXPECT_NE(tree.edge_log().find("error: [quorin -> zazudaza] config file 'modules/zazudaza.ini' open fail!\r\n"),
              std::string::npos);
    EXPECT_FALSE(accepts(port));
  }
  {
    EdgeTree tree;
    tree.config(daemon_config(""));
    tree.zazudaza(modules_lines({{"libsub.so", "sub_a"}}));
    auto daemon = tree.start();
    EXPECT_NE(tree.err().find("[quorin -> zazudaza] config 'quorind.ini -> system -> proxy_port' cann't be found!\r\n"),
              std::string::npos)
        << tree.err();
    EXPECT_EQ(tree.submodules_log(), "init a\n");
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait().code, 0);
  }
}

TEST(EdgeDaemon, PortForms) {
  // A listener holding a port, so that listening there fails.
  const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = vor::test::loopback(0);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(blocker, 4), 0);
  socklen_t len = sizeof a;
  getsockname(blocker, reinterpret_cast<sockaddr*>(&a), &len);
  const uint16_t taken = ntohs(a.sin_port);

  EdgeTree tree;
  const uint16_t plain = vor::test::free_port();
  const uint16_t third = vor::test::free_port();
  tree.config(daemon_config("proxy_port=" + std::to_string(plain) + "\r\nproxy_port_2=127.0.0.1:" +
                            std::to_string(taken) + "\r\nproxy_port_3=127.0.0.1:" + std::to_string(third) + "\r\n"));
  tree.zazudaza("");
  auto daemon = tree.start();
  EXPECT_TRUE(accepts(plain));  // a port alone listens on every address
  EXPECT_TRUE(accepts(third));  // gaps among the numbered keys are skipped
  const std::string line = "[quorin -> zazudaza] config 'quorind.ini -> system -> proxy_port_2 -> " +
                           std::to_string(taken) + "' cann't be listened!\r\n";
  EXPECT_NE(tree.err().find(line), std::string::npos) << tree.err();
  EXPECT_NE(tree.edge_log().find("error: " + line), std::string::npos);
  daemon->signal(SIGTERM);
  daemon->wait();

  EdgeTree busy;
  busy.config(daemon_config(port_line(taken)));
  busy.zazudaza("");
  auto second = busy.start();
  EXPECT_NE(busy.err().find("[quorin -> zazudaza] config 'quorind.ini -> system -> proxy_port -> 127.0.0.1:" +
                            std::to_string(taken) + "' cann't be listened!\r\n"),
            std::string::npos)
      << busy.err();
  close(blocker);
}

TEST(EdgeDaemon, CrashHookVariants) {
  struct HookCase {
    const char* library;  // NULL: no hook in the program folder
    const char* hook_log;
    bool fail_line;
  };
  const HookCase cases[] = {
      {"libfaultpost_fixture_ok.so", "quorind 3.7.9 quorind\n", false},
      {"libfaultpost_fixture_fail.so", "quorind 3.7.9 quorind\n", true},
      {"libfaultpost_fixture_nosym.so", "", false},
      {nullptr, "", false},
  };
  for (const HookCase& c : cases) {
    SCOPED_TRACE(c.library ? c.library : "absent");
    EdgeTree tree;
    if (c.library) tree.bin_library("libfaultpost.so", std::string(EDGE_HOOK_DIR) + "/" + c.library);
    const uint16_t port = vor::test::free_port();
    tree.config(daemon_config(port_line(port)));
    tree.zazudaza("");
    auto daemon = tree.start();
    EXPECT_EQ(read_file(tree.logs("hook.log")), c.hook_log);
    EXPECT_EQ(tree.err().find("InitMishap() is fail!\r\n") != std::string::npos, c.fail_line) << tree.err();
    EXPECT_NE(tree.out().find("[quorin -> zazudaza] module init!\r\n"), std::string::npos);
    EXPECT_TRUE(accepts(port));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait().code, 0);
  }
}

// Requests whose framing a reader could take two ways: none reaches a slot, each is answered
// with the 400 page and closed behind it.
TEST(EdgeDaemon, FramingProbesFromRealClientsAreClosedUnread) {
  EdgeTree tree;
  const uint16_t port = vor::test::free_port();
  tree.config(daemon_config(port_line(port)));
  tree.zazudaza(modules_lines({{"libsub.so", "sub_a"}}));
  auto daemon = tree.start();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  // curl sends a chunked body and gets the 400 page.
  EXPECT_EQ(shell_output("curl -s -m 10 -o /dev/null -w '%{http_code}' -H 'Transfer-Encoding: chunked' -d 'GET "
                         "/smuggled HTTP/1.1' " + url),
            "400");
  const std::string probe = R"PY(
import socket, sys
port = int(sys.argv[1])
probes = [
  b"POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n1a\r\nGET /smuggled HTTP/1.1\r\n\r\n\r\n0\r\n\r\n",
  b"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 4294967296\r\n\r\nGET /smuggled HTTP/1.1\r\n\r\n",
  b"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nContent-Length: 30\r\n\r\nabcGET /smuggled HTTP/1.1\r\n\r\n",
  b"POST / HTTP/1.1\r\nHost: h\r\nContent-Length : 30\r\n\r\nGET /smuggled HTTP/1.1\r\n\r\n",
  b"POST / HTTP/1.1\r\nHost: h\r\nX-A: a\r\n Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
]
for p in probes:
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(p)
    answer = b""
    while True:
        part = s.recv(65536)
        if not part:
            break
        answer += part
    print("closed" if answer.startswith(b"HTTP/1.1 400 Bad Request\r\n") and answer.endswith(b"</html>") else "open")
    s.close()
)PY";
  vor::test::write_file(tree.temp("probe.py"), probe);
  EXPECT_EQ(shell_output("python3 " + tree.temp("probe.py") + " " + std::to_string(port)),
            "closed\nclosed\nclosed\nclosed\nclosed\n");
  ASSERT_TRUE(wait_until([&] {
    const std::string log = tree.submodules_log();
    size_t n = 0;
    for (size_t at = 0; (at = log.find("close a", at)) != std::string::npos; ++at) ++n;
    return n == 6;
  }));
  EXPECT_EQ(tree.submodules_log().find("read"), std::string::npos) << tree.submodules_log();
  daemon->signal(SIGTERM);
  daemon->wait();
}

}  // namespace
