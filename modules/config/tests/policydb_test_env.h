// A runtime tree for the rules store's tests: bin/ (made the current directory, since the module
// reads ../config/, ../logs/ and ../modules/), the shipped database built by the sqlite3 CLI from
// dist/config/zazudaza.sql, the edge server's context with its log and settings, and the
// module's console lines captured from stdout and stderr.
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "cu_config.h"
#include "cu_daemon.h"
#include "cu_log.h"
#include "edgeserv.h"
#include "policydb.h"
#include "policydb_internal.h"
#include "vor_sqlite_holder.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace policydb::test {

namespace fs = std::filesystem;
using vor::test::read_file;
using vor::test::run_shell;
using vor::test::shell_output;
using vor::test::write_file;

inline std::string source_dir() {
  if (const char* dir = std::getenv("VOR_SOURCE_DIR")) return dir;
  return fs::path(__FILE__).parent_path().parent_path().parent_path().parent_path().string();
}

inline std::string schema_file() { return source_dir() + "/dist/config/zazudaza.sql"; }

inline std::string quoted(const std::string& s) { return vor::test::shell_quoted(s); }

// Output of the sqlite3 CLI for one statement on a database file.
inline std::string sql(const std::string& db, const std::string& statement) {
  return shell_output("sqlite3 " + quoted(db) + " " + quoted(statement) + " 2>&1");
}

// Redirects a standard stream into a file for the life of the object.
class Capture {
 public:
  Capture(int fd, const std::string& path) : fd_(fd), path_(path) {
    fflush(nullptr);
    saved_ = dup(fd);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(file, fd);
    close(file);
  }
  ~Capture() { stop(); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::string text() {
    fflush(nullptr);
    return read_file(path_);
  }
  void stop() {
    if (saved_ < 0) return;
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }

 private:
  int fd_;
  std::string path_;
  int saved_ = -1;
};

// Another sqlite3 process holding the database (its statements given) for the life of the object.
using Holder = vor::test::SqliteHolder;

class Tree {
 public:
  Tree() {
    for (const char* dir : {"bin", "config", "logs", "modules/zazudaza"}) fs::create_directories(path(dir));
    old_cwd_ = fs::current_path();
    fs::current_path(path("bin"));
  }
  ~Tree() {
    policydb::reset_for_tests();
    if (ctx_.log) cu_log_free(ctx_.log);
    if (ctx_.config) cu_config_free(ctx_.config);
    if (daemon_.config) cu_config_free(daemon_.config);
    fs::current_path(old_cwd_);
  }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  std::string path(const std::string& rel) const { return tmp_.path() + "/" + rel; }
  std::string db(const std::string& name = "zazudaza.db") const { return path("config/" + name); }

  // The shipped database, as scripts/run makes it.
  void make_default_db(const std::string& name = "zazudaza.db") const {
    const int rc = run_shell("sqlite3 " + quoted(db(name)) + " < " + quoted(schema_file()));
    if (rc != 0) std::abort();
  }
  std::string sql(const std::string& statement, const std::string& name = "zazudaza.db") const {
    return test::sql(db(name), statement);
  }
  void once_ini(const std::string& text) const { write_file(path("modules/zazudaza/once.ini"), text); }

  // Loads the module as the edge server does; console lines land in out() and err().
  uint8_t init(const std::string& zazudaza_ini = "[system]\ndisplay_console=1\n",
               const std::string& quorind_ini = "[system]\nproxy_port=8080\n") {
    daemon_.config = cu_config_make1(quorind_ini.c_str());
    ctx_.daemon = &daemon_;
    ctx_.config = cu_config_make1(zazudaza_ini.c_str());
    ctx_.log = cu_log_malloc("../logs/zazudaza.log");
    Capture out(1, path("stdout"));
    Capture err(2, path("stderr"));
    return policydb_module_init(&ctx_);
  }
  // The module forgotten and loaded again, as in a fresh process.
  uint8_t reload() {
    policydb::reset_for_tests();
    if (ctx_.log) cu_log_free(ctx_.log);
    if (ctx_.config) cu_config_free(ctx_.config);
    if (daemon_.config) cu_config_free(daemon_.config);
    ctx_ = {};
    daemon_ = {};
    return init();
  }
  std::string out() const { return read_file(path("stdout")); }
  std::string err() const { return read_file(path("stderr")); }
  std::string log() const { return read_file(path("logs/zazudaza.log")); }
  edgeserv_ctx* ctx() { return &ctx_; }

  // Console lines written while f runs (stderr).
  template <typename F>
  std::string errors_of(F&& f) {
    Capture err(2, path("stderr.call"));
    f();
    return err.text();
  }

 private:
  vor::test::TempDir tmp_;
  fs::path old_cwd_;
  daemon_ctx daemon_{};
  edgeserv_ctx ctx_{};
};

}  // namespace policydb::test
