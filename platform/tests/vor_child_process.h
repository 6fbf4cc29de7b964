// A helper process of the tests (a python peer, a server): started with its stdin and stdout on
// pipes, read line by line, and ended with the test (stdin closed, then SIGTERM, then reaped).
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "vor_wait.h"

extern char** environ;

namespace vor::test {

class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~ChildProcess() {
    if (stdin_ >= 0) close(stdin_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running() const { return pid_ > 0; }

  // The next line the child prints (without its newline); false when none comes within limit.
  bool read_line(std::string* line, std::chrono::milliseconds limit = kPatience) {
    line->clear();
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        *line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return true;
      }
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[256];
      ssize_t n = read(stdout_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
};

}  // namespace vor::test
