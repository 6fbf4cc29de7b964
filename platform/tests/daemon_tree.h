// A temporary runtime tree (bin/, config/, logs/, modules/) holding a copy of the daemon and
// the service tool, the libraries and settings a test places in it, and the programs run in it
// as subprocesses with bounded waits. QUORIN_BIN_DIR names the build folder of the programs;
// QUORIN_FIXTURE, when defined, the daemon-module fixture linked as modules/libdaemon_fixture.so.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vor_tempdir.h"
#include "vor_wait.h"

namespace quorin::test {

namespace fs = std::filesystem;
using vor::test::read_file;
using vor::test::wait_until;
using vor::test::write_file;

struct Outcome {
  bool ended = false;
  bool signaled = false;
  int code = -1;  // exit code, or the signal number when signaled
};

class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
          const std::vector<std::string>& env = {}) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      const int in_fd = open("/dev/null", O_RDONLY);
      const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(in_fd, 0);
      dup2(out_fd, 1);
      dup2(err_fd, 2);
      struct rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Process() {
    if (pid_ > 0 && !outcome_.ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int sig) const { kill(pid_, sig); }

  // Waits at most timeout_ms for the end of the process.
  Outcome wait(int timeout_ms = vor::test::kPatience.count()) {
    if (outcome_.ended) return outcome_;
    wait_until([&] {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
      outcome_.ended = true;
      outcome_.signaled = WIFSIGNALED(status);
      outcome_.code = outcome_.signaled ? WTERMSIG(status) : WEXITSTATUS(status);
      return true;
    }, std::chrono::milliseconds(timeout_ms));
    return outcome_;
  }

 private:
  pid_t pid_ = -1;
  Outcome outcome_;
};

class DaemonTree {
 public:
  // folder: a name below the temporary folder (may hold blanks).
  explicit DaemonTree(const std::string& folder = "tree") : root_(tmp_.path() + "/" + folder) {
    for (const char* dir : {"bin", "config", "logs", "modules"}) fs::create_directories(root_ + "/" + dir);
    for (const char* program : {"quorind", "quorinctl"}) {
      fs::copy_file(std::string(QUORIN_BIN_DIR) + "/" + program, bin(program));
    }
    fs::create_symlink(std::string(QUORIN_BIN_DIR) + "/libvorcore.so.1", bin("libvorcore.so.1"));
#ifdef QUORIN_FIXTURE
    fs::create_symlink(QUORIN_FIXTURE, root_ + "/modules/libdaemon_fixture.so");
#endif
  }

  const std::string& root() const { return root_; }
  std::string bin(const std::string& name) const { return root_ + "/bin/" + name; }
  std::string logs(const std::string& name) const { return root_ + "/logs/" + name; }
  std::string temp(const std::string& name) const { return tmp_.file(name); }
  std::string out() const { return read_file(tmp_.file("stdout")); }
  std::string err() const { return read_file(tmp_.file("stderr")); }
  std::string fixture_log() const { return read_file(logs("fixture.log")); }

  std::string modules(const std::string& name) const { return root_ + "/modules/" + name; }

  void config(const std::string& text) const { write_file(root_ + "/config/quorind.ini", text); }

  // A built library placed (linked) at modules/<name>; name may hold folders.
  void module_library(const std::string& name, const std::string& built) const { place(modules(name), built); }
  // Every module library of the build (the build's manifest, deliverables.txt), placed in
  // modules/ under its file, SONAME and link names, as the shipped runtime tree holds them.
  void built_modules() const {
    std::istringstream manifest(read_file(std::string(QUORIN_BIN_DIR) + "/deliverables.txt"));
    std::string kind, file, soname, link;
    while (manifest >> kind >> file >> soname >> link) {
      if (kind != "module") continue;
      for (const std::string& name : {file, soname, link}) {
        module_library(name, std::string(QUORIN_BIN_DIR) + "/" + file);
      }
    }
  }
  // A built library placed beside the programs, at bin/<name>.
  void bin_library(const std::string& name, const std::string& built) const { place(bin(name), built); }
  // A settings file at modules/<name>.
  void modules_file(const std::string& name, const std::string& text) const {
    fs::create_directories(fs::path(modules(name)).parent_path());
    write_file(modules(name), text);
  }

  std::unique_ptr<Process> run(const std::string& program, const std::vector<std::string>& args = {},
                               const std::vector<std::string>& env = {}) const {
    std::vector<std::string> argv = {bin(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv, tmp_.file("stdout"), tmp_.file("stderr"), env);
  }

  // The daemon with the banner printed, i.e. start-up done.
  std::unique_ptr<Process> start_daemon(const std::vector<std::string>& env = {}) const {
    auto p = run("quorind", {}, env);
    if (!wait_until([&] { return out().find("*** You Can Press Ctrl+C To Exit! ***\r\n") != std::string::npos; })) {
      ADD_FAILURE() << "the daemon printed no start-up banner; its console:\n" << out();
    }
    return p;
  }

 private:
  static void place(const std::string& at, const std::string& built) {
    fs::create_directories(fs::path(at).parent_path());
    fs::create_symlink(built, at);
  }

  vor::test::TempDir tmp_;
  std::string root_;
};

}  // namespace quorin::test
