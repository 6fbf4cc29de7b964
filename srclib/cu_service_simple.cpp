// The simple backend of the service layer, for machines without systemd: a record per service
// in a folder of our own, the service started by fork and exec in a session of its own, and
// its state taken from the notify messages it sends, the process table and its command line.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "cu_file_internal.h"
#include "cu_service_internal.h"
#include "vor_io.h"

extern char** environ;

namespace cu_service_internal {
namespace {

constexpr uint32_t kStartWaitHint = 10000;
constexpr uint32_t kStopWaitHint = 1000;

struct RunState {
  int32_t pid = 0;
  bool ready = false;
  bool stopping = false;
  int32_t exit_code = 0;
  bool operator==(const RunState&) const = default;
};

std::string read_text(const std::string& path, bool* found = nullptr) {
  std::ifstream in(path, std::ios::binary);
  if (found) *found = static_cast<bool>(in);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The process's own argument vector, NUL-separated, as the kernel shows it.
std::string proc_cmdline(int32_t pid) { return read_text("/proc/" + std::to_string(pid) + "/cmdline"); }

bool is_zombie(int32_t pid) {
  const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z';
}

class SimpleBackend : public Backend {
 public:
  explicit SimpleBackend(std::string dir) : dir_(std::move(dir)) {}
  ~SimpleBackend() override {
    for (auto& [name, fd] : notify_fds_) close(fd);
  }

  int connect() override {
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (ec) return ec.value();
    return access(dir_.c_str(), W_OK) == 0 ? 0 : errno;
  }

  int open(const std::string& name) override { return access(record_path(name).c_str(), F_OK) == 0 ? 0 : errno; }

  // The record: the display name on the first line, then one argument per line.
  int create(const ServiceDefinition& def) override {
    if (access(record_path(def.name).c_str(), F_OK) == 0) return EEXIST;
    std::string text = def.display_name + "\n";
    if (def.display_name.find('\n') != std::string::npos || def.argv.empty()) return EINVAL;
    for (const std::string& arg : def.argv) {
      if (arg.find('\n') != std::string::npos) return EINVAL;
      text += arg + "\n";
    }
    return cu_internal::replace_file(record_path(def.name), text);
  }

  int remove(const std::string& name) override {
    if (unlink(record_path(name).c_str()) != 0) return errno;
    unlink(state_path(name).c_str());
    unlink(notify_path(name).c_str());
    return 0;
  }

  int start(const std::string& name) override {
    std::vector<std::string> argv;
    if (int err = load_argv(name, argv)) return err;
    const std::string socket_path = notify_path(name);
    if (int err = bind_notify(name, socket_path)) return err;
    int32_t pid = 0;
    if (int err = spawn(argv, "NOTIFY_SOCKET=" + socket_path, pid)) return err;
    RunState state;
    state.pid = pid;
    save_state(name, state);
    return 0;
  }

  int stop(const std::string& name) override {
    Status status;
    if (int err = query(name, status)) return err;
    if (status.pid <= 0) return 0;
    if (kill(status.pid, SIGTERM) != 0) return errno;
    RunState state = load_state(name);
    state.stopping = true;
    save_state(name, state);
    return 0;
  }

  int query(const std::string& name, Status& out) override {
    std::vector<std::string> argv;
    if (int err = load_argv(name, argv)) return err;
    RunState state = load_state(name);
    const RunState stored = state;
    drain_notify(name, state);
    out = Status();
    if (state.pid > 0 && !alive(state, argv)) {
      state = RunState{0, false, false, state.exit_code};
    }
    if (state != stored) save_state(name, state);  // polled often: an unchanged record stays as it is
    out.exit_code = state.exit_code;
    if (state.pid <= 0) return 0;
    out.pid = state.pid;
    if (state.stopping) {
      out.state = kStopPending;
      out.wait_hint = kStopWaitHint;
    } else if (!state.ready) {
      out.state = kStartPending;
      out.wait_hint = kStartWaitHint;
    } else {
      out.state = kRunning;
    }
    return 0;
  }

 private:
  std::string record_path(const std::string& name) const { return dir_ + "/" + name + ".service"; }
  std::string state_path(const std::string& name) const { return dir_ + "/" + name + ".state"; }
  std::string notify_path(const std::string& name) const { return dir_ + "/" + name + ".notify"; }

  int load_argv(const std::string& name, std::vector<std::string>& argv) {
    bool found = false;
    std::vector<std::string> lines = lines_of(read_text(record_path(name), &found));
    if (!found) return ENOENT;
    if (lines.size() < 2) return EINVAL;
    argv.assign(lines.begin() + 1, lines.end());
    return 0;
  }

  RunState load_state(const std::string& name) {
    RunState state;
    for (const std::string& line : lines_of(read_text(state_path(name)))) {
      const size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = line.substr(0, eq);
      const int value = atoi(line.c_str() + eq + 1);
      if (key == "pid") state.pid = value;
      if (key == "ready") state.ready = value != 0;
      if (key == "stopping") state.stopping = value != 0;
      if (key == "exit") state.exit_code = value;
    }
    return state;
  }

  void save_state(const std::string& name, const RunState& s) {
    cu_internal::replace_file(state_path(name), "pid=" + std::to_string(s.pid) + "\nready=" + std::to_string(s.ready) +
                                                    "\nstopping=" + std::to_string(s.stopping) + "\nexit=" +
                                                    std::to_string(s.exit_code) + "\n");
  }

  // Our own child is reaped here; any other pid counts only while it runs our command line,
  // since a pid may have been reused by an unrelated process.
  bool alive(RunState& state, const std::vector<std::string>& argv) {
    if (reaped(state, WNOHANG)) return false;
    if (kill(state.pid, 0) != 0 && errno == ESRCH) return false;
    // Ended since the first look: a child of ours is reaped now (a zombie answers at once), so
    // its exit code is not lost.
    if (is_zombie(state.pid)) {
      reaped(state, 0);
      return false;
    }
    std::string expected;
    for (const std::string& arg : argv) expected += arg + '\0';
    return proc_cmdline(state.pid) == expected;
  }

  // Reaps the service's process when it is our child and has ended, keeping its exit code.
  static bool reaped(RunState& state, int options) {
    int status = 0;
    if (waitpid(state.pid, &status, options) != state.pid) return false;
    state.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  int bind_notify(const std::string& name, const std::string& path) {
    struct sockaddr_un addr = {};
    if (path.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
    auto it = notify_fds_.find(name);
    if (it != notify_fds_.end()) {
      close(it->second);
      notify_fds_.erase(it);
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return errno;
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      const int err = errno;
      close(fd);
      return err;
    }
    notify_fds_[name] = fd;
    return 0;
  }

  void drain_notify(const std::string& name, RunState& state) {
    auto it = notify_fds_.find(name);
    if (it == notify_fds_.end()) return;
    char buf[4096];
    ssize_t n;
    while ((n = vor::io::recv_some(it->second, buf, sizeof buf - 1)) > 0) {
      buf[n] = '\0';
      for (const std::string& line : lines_of(buf)) {
        if (line == "READY=1") state.ready = true;
        if (line == "STOPPING=1") state.stopping = true;
      }
    }
  }

  // fork and exec in a session of its own with stdio on /dev/null; an exec failure comes back
  // through a close-on-exec pipe as the start's error.
  static int spawn(const std::vector<std::string>& args, const std::string& notify_env, int32_t& pid_out) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
      if (strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) envp.push_back(*e);
    }
    envp.push_back(const_cast<char*>(notify_env.c_str()));
    envp.push_back(nullptr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return errno;
    const pid_t pid = fork();
    if (pid < 0) {
      const int err = errno;
      close(report[0]);
      close(report[1]);
      return err;
    }
    if (pid == 0) {
      setsid();
      const int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        if (null_fd > 2) close(null_fd);
      }
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execve(argv[0], argv.data(), envp.data());
      const int err = errno;
      vor::io::write_all(report[1], &err, sizeof err);
      _exit(127);
    }
    close(report[1]);
    int err = 0;
    const ssize_t n = vor::io::read_some(report[0], &err, sizeof err);
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof err)) {
      vor::io::retry([&] { return waitpid(pid, nullptr, 0); });
      return err;
    }
    pid_out = pid;
    return 0;
  }

  std::string dir_;
  std::map<std::string, int> notify_fds_;
};

}  // namespace

std::unique_ptr<Backend> make_simple_backend(const std::string& records_dir) {
  return std::make_unique<SimpleBackend>(records_dir);
}

}  // namespace cu_service_internal
