// The systemd backend of the service layer: a unit file per service, and systemctl run with
// an argument vector (never through a shell) for everything else.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cu_file_internal.h"
#include "cu_service_internal.h"
#include "vor_io.h"

extern char** environ;

namespace cu_service_internal {
namespace {

constexpr uint32_t kPendingWaitHint = 30000;

bool has_line_end(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

// Specifiers (%) would be expanded by systemd everywhere, variables ($) in the arguments
// after the program path; quotes keep blanks in one word.
std::string quote_exec_word(const std::string& word, bool is_program) {
  std::string out;
  out.push_back('"');
  for (char c : word) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%' || (c == '$' && !is_program)) out += c;
    out += c;
  }
  out.push_back('"');
  return out;
}

std::string escape_specifiers(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

// Runs a program with arguments; answers its exit status, or an errno value when it could not
// run. With `out` its standard output is collected there, else it goes to /dev/null.
int run(const std::string& program, const std::vector<std::string>& args, std::string* out) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int pipe_fds[2] = {-1, -1};
  if (out && pipe2(pipe_fds, O_CLOEXEC) != 0) return errno;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out) {
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  const int err = program.find('/') != std::string::npos
                      ? posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ)
                      : posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (out) {
    close(pipe_fds[1]);
    if (err == 0) {
      char buf[4096];
      ssize_t n;
      while ((n = vor::io::read_some(pipe_fds[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
    }
    close(pipe_fds[0]);
  }
  if (err != 0) return err;
  int status = 0;
  if (vor::io::retry([&] { return waitpid(pid, &status, 0); }) < 0) return errno;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return EINTR;
}

std::string property(const std::string& text, const std::string& key) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    if (text.compare(pos, key.size() + 1, key + "=") == 0) return text.substr(pos + key.size() + 1, end - pos - key.size() - 1);
    pos = end + 1;
  }
  return "";
}

class SystemdBackend : public Backend {
 public:
  SystemdBackend(std::string unit_dir, std::string systemctl)
      : unit_dir_(std::move(unit_dir)), systemctl_(std::move(systemctl)) {}

  int connect() override {
    struct stat st;
    if (stat(unit_dir_.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  }

  int open(const std::string& name) override { return access(unit_path(name).c_str(), F_OK) == 0 ? 0 : errno; }

  int create(const ServiceDefinition& def) override {
    if (access(unit_path(def.name).c_str(), F_OK) == 0) return EEXIST;
    std::optional<std::string> text = systemd_unit_text(def);
    if (!text) return EINVAL;
    if (int err = cu_internal::replace_file(unit_path(def.name), *text)) return err;
    if (int err = systemctl({"daemon-reload"})) return err;
    return systemctl({"enable", unit(def.name)});
  }

  int remove(const std::string& name) override {
    if (int err = systemctl({"disable", unit(name)})) return err;
    if (unlink(unit_path(name).c_str()) != 0) return errno;
    return systemctl({"daemon-reload"});
  }

  int start(const std::string& name) override { return systemctl({"start", "--no-block", unit(name)}); }
  int stop(const std::string& name) override { return systemctl({"stop", "--no-block", unit(name)}); }

  int query(const std::string& name, Status& out) override {
    std::string text;
    if (int err = run(systemctl_, {"show", "--property=ActiveState,MainPID,ExecMainStatus", unit(name)}, &text)) {
      return err;
    }
    const std::string active = property(text, "ActiveState");
    out = Status();
    if (active == "active" || active == "reloading") {
      out.state = kRunning;
    } else if (active == "activating") {
      out.state = kStartPending;
    } else if (active == "deactivating") {
      out.state = kStopPending;
    }
    if (out.state == kStartPending || out.state == kStopPending) out.wait_hint = kPendingWaitHint;
    out.pid = atoi(property(text, "MainPID").c_str());
    out.exit_code = atoi(property(text, "ExecMainStatus").c_str());
    return 0;
  }

 private:
  static std::string unit(const std::string& name) { return name + ".service"; }
  std::string unit_path(const std::string& name) const { return unit_dir_ + "/" + unit(name); }
  int systemctl(const std::vector<std::string>& args) { return run(systemctl_, args, nullptr); }

  std::string unit_dir_;
  std::string systemctl_;
};

}  // namespace

std::optional<std::string> systemd_unit_text(const ServiceDefinition& def) {
  if (def.argv.empty() || has_line_end(def.display_name)) return std::nullopt;
  std::string exec;
  for (const std::string& word : def.argv) {
    if (has_line_end(word)) return std::nullopt;
    const bool is_program = exec.empty();
    if (!is_program) exec.append(" ");
    exec.append(quote_exec_word(word, is_program));
  }
  std::string text;
  text.append("[Unit]\nDescription=").append(escape_specifiers(def.display_name));
  text.append("\nWants=network-online.target\nAfter=network-online.target\n\n");
  text.append("[Service]\nType=notify\nExecStart=").append(exec);
  text.append("\nTimeoutStopSec=30\nLimitNOFILE=65536\n\n");
  text.append("[Install]\nWantedBy=multi-user.target\n");
  return text;
}

std::unique_ptr<Backend> make_systemd_backend(const std::string& unit_dir, const std::string& systemctl) {
  return std::make_unique<SystemdBackend>(unit_dir, systemctl);
}

}  // namespace cu_service_internal
