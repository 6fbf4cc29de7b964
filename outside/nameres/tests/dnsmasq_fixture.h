// A dnsmasq on 127.0.0.1 for the resolver tests and the node's: fixed local names (one of them
// this host), a wildcard domain, NXDOMAIN for the rest of .test, nothing forwarded. Also a UDP
// socket that never answers.
#pragma once
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vor_net_test_util.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

extern char** environ;

namespace nameres_test {

class Dnsmasq {
 public:
  // ttl: the TTL of every answer.
  explicit Dnsmasq(int ttl = 1) {
    port_ = free_udp_and_tcp_port();
    log_ = dir_.file("queries.log");
    const passwd* pw = getpwuid(getuid());
    std::vector<std::string> args = {
        "dnsmasq", "-k", "--conf-file=/dev/null", "--no-resolv", "--no-hosts", "--listen-address=127.0.0.1",
        "--bind-interfaces", "--port=" + std::to_string(port_), "--local=/test/",
        "--host-record=a.test,10.0.0.1", "--host-record=multi.test,10.0.0.2",
        "--host-record=multi.test,10.0.0.3", "--host-record=origin.test,127.0.0.1", "--address=/wild.test/10.1.1.1",
        "--local-ttl=" + std::to_string(ttl), "--log-queries", "--log-facility=" + log_, "--pid-file=",
        std::string("--user=") + (pw ? pw->pw_name : "root")};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "dnsmasq", nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    ready_ = pid_ > 0 && vor::test::wait_until([&] { return answers(); });
  }
  ~Dnsmasq() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  Dnsmasq(const Dnsmasq&) = delete;
  Dnsmasq& operator=(const Dnsmasq&) = delete;

  bool ready() const { return ready_; }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }

  // Queries of that exact name seen so far.
  int queries_of(const std::string& name) const {
    std::ifstream in(log_);
    std::string line;
    int n = 0;
    std::string needle = "] " + name + " from";
    while (std::getline(in, line))
      if (line.find("query[") != std::string::npos && line.find(needle) != std::string::npos) ++n;
    return n;
  }

 private:
  // dnsmasq listens on both protocols of its port.
  static uint16_t free_udp_and_tcp_port() {
    for (int tries = 0; tries < 100; ++tries) {
      uint16_t port = vor::test::free_port(SOCK_DGRAM);
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a = vor::test::loopback(port);
      bool free = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      if (fd >= 0) close(fd);
      if (free) return port;
    }
    return 0;
  }

  // One A query for a.test answered (a probe name the tests never count).
  bool answers() const {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    timeval tv{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const unsigned char query[] = {0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 5, 'p', 'r', 'o', 'b', 'e',
                                   4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
    sockaddr_in a = vor::test::loopback(port_);
    sendto(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    unsigned char reply[512];
    bool ok = recv(fd, reply, sizeof reply, 0) > 0;
    close(fd);
    return ok;
  }

  vor::test::TempDir dir_;
  std::string log_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  bool ready_ = false;
};

// A bound UDP socket nobody reads: every query sent to it goes unanswered.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = vor::test::loopback(0);
    socklen_t len = sizeof a;
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentServer() { close(fd_); }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace nameres_test
