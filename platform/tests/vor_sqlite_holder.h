// Another process holding a SQLite database: a sqlite3 CLI runs the given statements (an open
// read or write transaction) and keeps them open until the holder is released.
#pragma once
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "vor_tempdir.h"
#include "vor_wait.h"

namespace vor::test {

// A text as one /bin/sh word.
inline std::string shell_quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

class SqliteHolder {
 public:
  // The statements run in a sqlite3 process that then prints a marker: the database is held once
  // the marker is out (a probe from this side could itself make the CLI's statements lose their
  // lock, so the CLI says when it holds). A statement that lost its wait to another process
  // (-bail ends that sqlite3) is tried again, so a loaded machine cannot leave the test holding
  // nothing.
  SqliteHolder(const std::string& db, const char* statements) : marker_(db + ".held") {
    for (int attempt = 0; attempt < 20 && !held_; ++attempt) {
      std::filesystem::remove(marker_);
      pipe_ = popen(("sqlite3 -bail " + shell_quoted(db) + " > " + shell_quoted(marker_) + " 2>&1").c_str(), "w");
      if (!pipe_) return;
      std::fprintf(pipe_, ".timeout 5000\n%s\nSELECT 'held';\n", statements);
      std::fflush(pipe_);
      held_ = wait_until([&] { return read_file(marker_).find("held") != std::string::npos; },
                         std::chrono::seconds(10));
      if (!held_) {
        pclose(pipe_);
        pipe_ = nullptr;
      }
    }
  }
  ~SqliteHolder() { release(); }
  SqliteHolder(const SqliteHolder&) = delete;
  SqliteHolder& operator=(const SqliteHolder&) = delete;

  bool held() const { return held_; }
  // Ends the other process's transaction (nothing it did is kept) and waits for it to exit.
  void release() {
    if (!pipe_) return;
    std::fputs("ROLLBACK;\n.quit\n", pipe_);
    pclose(pipe_);
    pipe_ = nullptr;
    std::filesystem::remove(marker_);
  }

 private:
  std::string marker_;
  FILE* pipe_ = nullptr;
  bool held_ = false;
};

}  // namespace vor::test
