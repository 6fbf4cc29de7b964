// Small helpers for the HTTP tests on 127.0.0.1: listening sockets, a scripted peer
// that serves one connection on its own thread, and child processes killed by their pid.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "vor_net_test_util.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace http_net_test {

using namespace std::chrono_literals;
using vor::test::free_port;
using vor::test::loopback;
using vor::test::shell_output;
using vor::test::TempDir;
using vor::test::write_file;
using vor::test::wait_until;

inline void set_timeouts(int fd, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A listening socket on a free loopback port; fd -1 on failure.
inline int listen_any(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

inline int connect_to(uint16_t port, int timeout_ms = 5000) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(port);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  set_timeouts(fd, timeout_ms);
  return fd;
}

inline void send_all(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Reads until the peer closes, the time-out of the socket passes or limit bytes came.
inline std::string read_until_close(int fd, size_t limit = 1 << 20) {
  std::string out;
  char buf[4096];
  while (out.size() < limit) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Reads until the text holds the marker (or the time-out passes).
inline std::string read_until(int fd, const std::string& marker) {
  std::string out;
  char c;
  while (out.find(marker) == std::string::npos && recv(fd, &c, 1, 0) == 1) out += c;
  return out;
}

// Serves one accepted connection with a script on its own thread; every wait is bounded.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::function<void(int fd)> script) {
    listen_fd_ = listen_any(&port_);
    thread_ = std::thread([this, script] {
      timeval tv{10, 0};
      setsockopt(listen_fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      set_timeouts(fd, 5000);
      script(fd);
      close(fd);
    });
  }
  ~ScriptedPeer() {
    thread_.join();
    if (listen_fd_ >= 0) close(listen_fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// Runs a shell command in its own process group; stop() kills that group by its id.
class Child {
 public:
  explicit Child(const std::string& command) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Child() { stop(); }
  void stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace http_net_test
