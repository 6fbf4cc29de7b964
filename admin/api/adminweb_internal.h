// What the admin API's files share: the module state, the request of one command, the reply
// body builder and writers, and the session check.
#pragma once
#include <stdint.h>

#include <string>

#include "cu_jitter.h"
#include "cu_wtb.h"
#include "panelhttp.h"
#include "vor_http_table.h"
#include "vor_sqlite.h"

namespace vor::adminweb {

// Process-wide, written once by init.
struct State {
  panelhttp_ctx* ctx = nullptr;
  uint8_t display = 1;       // console request dump and session-expiry lines
  vor_sqlite* db = nullptr;  // borrowed from the rules store; NULL when it has none
  int64_t start_time = 0;
};
State& state();

// One command: its connection, its parameter table and the request's own table.
struct Request {
  int64_t sid;
  vor_http_table* params;
  vor_http_table* request;
};

// --- parameters ---
// The decoded value of the first field of that exact name, or NULL.
const char* param(const Request& r, const char* name);
// Saturating signed 32-bit decimal: "abc" reads 0, "99999999999" reads INT32_MAX.
int32_t number(const char* text);
// Seconds since 1970 as a local "YYYY-MM-DD hh:mm:ss"; empty when they do not convert.
std::string local_date(int64_t seconds);

// --- reply body ---
// "{", the RequestID echo, "Return", the members a handler adds, an optional list, "}".
class Body {
 public:
  Body(vor_http_table* params, bool ok);
  ~Body();
  Body(const Body&) = delete;
  Body& operator=(const Body&) = delete;

  Body& text(const char* name, const char* value);
  Body& number(const char* name, int32_t value);
  // A member written as it stands, at the start of its line (the login's "VersionExt").
  Body& raw_line(const char* member);
  // "NumOfLists" and, when rows exist, "Lists": one row per line, "NO" then the cells.
  // cell(row, column) gives each cell's text (NULL written as "").
  template <typename Cell>
  Body& list(int32_t rows, const char* const* names, int32_t columns, Cell cell) {
    number("NumOfLists", rows);
    if (rows <= 0) return *this;
    put(",\r\n  \"Lists\":\r\n   [\r\n");
    for (int32_t row = 0; row < rows; ++row) {
      put(row ? ",\r\n     {" : "     {");
      json_number("NO", row + 1);
      for (int32_t c = 0; c < columns; ++c) {
        put(",");
        json_text(names[c], cell(row, c));
      }
      put("}");
    }
    put("\r\n   ]");
    return *this;
  }
  // The whole body ("\r\n}" appended once).
  std::string finish();

 private:
  void put(const char* s);
  void json_text(const char* name, const char* value);
  void json_number(const char* name, int32_t value);
  wtb* w_;
  bool done_ = false;
};

// Step 2 of every body: the RequestID member line when the value is at most 128 bytes.
void echo_requestid(wtb* buffer, vor_http_table* params);

// --- reply writers (none closes the connection) ---
void reply_error(int64_t sid, vor_http_table* params, uint32_t error);
void reply_true(int64_t sid, vor_http_table* params);
// request given: gzip when the client accepts it.
void reply_text(int64_t sid, vor_http_table* request, const char* text);
void reply_text(int64_t sid, const std::string& body);
void reply_jitter(int64_t sid, cu_jitter* queue);

// --- the configuration database ---
// wc_sqlite_lock for the life of the object: it comes before the admin server's lock.
class DbLock {
 public:
  DbLock();
  ~DbLock();
  DbLock(const DbLock&) = delete;
  DbLock& operator=(const DbLock&) = delete;

 private:
  bool held_;
};
// A statement's result, freed with the object.
class SqlResult {
 public:
  explicit SqlResult(vor_sqlite_result* result) : result_(result) {}
  ~SqlResult() { reset(); }
  SqlResult(const SqlResult&) = delete;
  SqlResult& operator=(const SqlResult&) = delete;
  explicit operator bool() const { return result_ != nullptr; }
  vor_sqlite_result* get() const { return result_; }
  void reset();

 private:
  vor_sqlite_result* result_;
};
// A text escaped for use between single quotes.
class Escaped {
 public:
  explicit Escaped(const char* text);
  ~Escaped();
  Escaped(const Escaped&) = delete;
  Escaped& operator=(const Escaped&) = delete;
  const char* get() const { return text_ ? text_ : ""; }

 private:
  char* text_;
};
// A failed statement: an error line in the admin server's log and a console line.
void report_db_error(const char* log_line, const char* console_line = nullptr);

// --- sessions ---
enum class Access { kRead, kChange };
constexpr uint32_t kSessionMs = 600000;
// One per admin session, in its user word; the texts follow the record in the same block.
struct AdminLogin {
  char* user;
  char* id;
  int64_t login_time;
};
AdminLogin* make_login(const char* user, const char* id);
void free_login(AdminLogin* login);
// The expiry callback of every admin session: frees its login record (a NULL word: a logout
// got there first and freed it).
uint8_t session_expired(const char* id, void* user, void* word1, void* word2, void* word3, void* word4);
// Makes the pool of login records; false when it cannot be made.
bool make_session_pool();
// -1 no valid session, 0 the admin account, 1 the read-only keeper.
int32_t session_role(const char* id);
// The session check of a command: 0 when it may go on (the session refreshed), else 23 (no
// SessionID), 21 (no valid session) or 22 (the keeper asking for a change).
uint32_t check_session(const Request& r, Access access);
// The admin's password, or its MD5 hex, against the cached MD5 of wc_user.
bool admin_password_matches(const char* password);

// --- the request dump ---
// The text with the values of secret fields as "***" and control bytes but CR LF as \xHH.
std::string masked_dump(const char* head, const char* form);

// --- dispatch ---
// Picks the family and the command; writes one reply and queues the close.
void dispatch(int64_t sid, vor_http_table* request, vor_http_table* form, RTParser* parser);

}  // namespace vor::adminweb
