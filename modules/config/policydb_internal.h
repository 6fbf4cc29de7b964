// The rules store's own state and the helpers every family shares: the database handle and its
// lock, result ownership, console and log lines, the setup log.
#pragma once
#include "cu_log.h"
#include "cu_sem.h"
#include "edgeserv.h"
#include "vor_sqlite.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace policydb {

// One per process; init fills it once and nothing is freed (the process ends after exit).
struct Module {
  std::atomic<edgeserv_ctx*> ctx{nullptr};
  std::atomic<cu_sem*> dblock{nullptr};
  std::atomic<vor_sqlite*> db{nullptr};
  std::atomic<bool> display{true};
  cu_log* setup_log = nullptr;  // only while the tables load, main thread only
};
Module& module();

inline vor_sqlite* db() { return module().db.load(std::memory_order_acquire); }

// Forgets the database and every family's memory, as in a process that never ran init;
// tests reload the module with it.
void reset_for_tests();

// The database lock for one scope; held() is false when there is no lock or no handle.
class DbLock {
 public:
  DbLock();
  ~DbLock();
  DbLock(const DbLock&) = delete;
  DbLock& operator=(const DbLock&) = delete;
  bool held() const { return held_; }

 private:
  bool held_ = false;
};

struct ResultFree {
  void operator()(vor_sqlite_result* r) const { vor_sqlite_result_free(r); }
};
// Every statement result is released on every path by holding it here.
using Result = std::unique_ptr<vor_sqlite_result, ResultFree>;

// Runs one statement on the handle (the caller holds the database lock).
Result exec(const char* sql);
Result exec_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The cell's text: nullptr for SQL NULL; false when the cell cannot be read.
bool cell(const vor_sqlite_result* r, int32_t column, int32_t row, const char** text);
int32_t rows(const vor_sqlite_result* r);

// An escaped copy of text for use between single quotes.
std::string escape(const char* text);

// Error lines go to the edge server's log and to the console whatever display_console says.
void report_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// An error whose log line and console line differ.
void report_error_lines(const std::string& log_line, const std::string& console_line);
// A console line (init and exit lines, printed always).
void console(const char* text);

// The setup log, written only while it is open (display_console on, tables loading).
void setup_log_write(const char* format, ...) __attribute__((format(printf, 1, 2)));
bool setup_log_open();

// TLS of proxy hosts and upstreams (policydb_ssl.cpp).
namespace tls {
// The ssl_protocols value as a mask: the sum of the keywords standing alone; 60 when none.
int32_t protocol_mask(const char* value);
// Reads ../config/ssl/ssl.ini (a missing file keeps the defaults).
void load_settings();
}  // namespace tls

// Calls into parts of the rules store built elsewhere; see seams.cpp.
namespace seams {
// Starts a new statistics period and its report timer.
void restart_stat();

// The TLS context builders of proxy hosts (server) and upstreams (client): texts in, a context
// or NULL with an error code out. Tests install their own.
struct TlsBuilders {
  void* (*proxy_new)(const char* certificate, const char* key, const char* extra, int32_t* error);
  void (*proxy_free)(void* context);
  void* (*upstream_new)(const char* certificate, const char* key, const char* extra, int32_t* error);
  void (*upstream_free)(void* context);
};
TlsBuilders& tls();
// Hands the certificate switch by server name to the edge server.
void register_ctx_reset();
}  // namespace seams

}  // namespace policydb
