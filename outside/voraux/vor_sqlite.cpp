#include "vor_sqlite.h"

#include "cu_malloc.h"

#include <sqlite3.h>

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

struct vor_sqlite {
  sqlite3* conn = nullptr;
};

struct vor_sqlite_result {
  int32_t columns = 0;
  int32_t rows = 0;  // rows read, or rows changed by a statement without columns
  std::vector<std::optional<std::string>> cells;  // row by row
};

namespace {

constexpr char kUnit[] = "voraux\\vor_sqlite";
constexpr int kBusyTimeoutMs = 1000;

void disconnect(vor_sqlite* db) {
  if (db->conn) sqlite3_close_v2(db->conn);
  db->conn = nullptr;
}

// Only blanks and ';' may follow the one statement.
bool tail_is_empty(const char* tail) {
  for (; tail && *tail; ++tail) {
    if (*tail != ';' && !std::isspace(static_cast<unsigned char>(*tail))) return false;
  }
  return true;
}

// COMMIT and END close a transaction; when one fails the transaction stays open.
bool ends_transaction(const char* sql) {
  while (std::isspace(static_cast<unsigned char>(*sql))) ++sql;
  auto word_is = [sql](const char* word) {
    size_t n = std::strlen(word);
    return strncasecmp(sql, word, n) == 0 && !std::isalnum(static_cast<unsigned char>(sql[n])) &&
           sql[n] != '_';
  };
  return word_is("COMMIT") || word_is("END");
}

// A failed COMMIT (SQLITE_BUSY while another process reads) leaves the transaction open, and
// every later write would silently join it and be lost at exit: roll it back instead.
void roll_back_open_transaction(sqlite3* conn, const char* sql) {
  if (ends_transaction(sql) && !sqlite3_get_autocommit(conn)) {
    sqlite3_exec(conn, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

bool read_rows(sqlite3_stmt* stmt, vor_sqlite_result* result) {
  for (;;) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return false;
    for (int32_t c = 0; c < result->columns; ++c) {
      if (sqlite3_column_type(stmt, c) == SQLITE_NULL) {
        result->cells.emplace_back(std::nullopt);
        continue;
      }
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
      if (!text) return false;  // no memory for the conversion
      result->cells.emplace_back(std::string(text, sqlite3_column_bytes(stmt, c)));
    }
    if (result->rows < INT32_MAX) ++result->rows;
  }
}

vor_sqlite_result* run(sqlite3* conn, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(conn, sql, -1, &stmt, &tail) != SQLITE_OK || !stmt || !tail_is_empty(tail)) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  auto* result = new (std::nothrow) vor_sqlite_result;
  bool ok = result != nullptr;
  if (ok) {
    result->columns = sqlite3_column_count(stmt);
    const sqlite3_int64 changes_before = sqlite3_total_changes64(conn);
    try {
      ok = read_rows(stmt, result);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
    // sqlite3_changes64 still holds the count of the last INSERT, UPDATE or DELETE when this
    // statement changed nothing (a CREATE after an UPDATE), so it counts only when the total moved.
    if (ok && result->columns == 0) {
      const sqlite3_int64 changed =
          sqlite3_total_changes64(conn) != changes_before ? sqlite3_changes64(conn) : 0;
      result->rows = static_cast<int32_t>(changed > INT32_MAX ? INT32_MAX : changed);
    }
  }
  sqlite3_finalize(stmt);
  if (!ok) {
    delete result;
    roll_back_open_transaction(conn, sql);
    return nullptr;
  }
  return result;
}

}  // namespace

vor_sqlite* vor_sqlite_make(void) { return new (std::nothrow) vor_sqlite; }

bool vor_sqlite_connect(vor_sqlite* db, const char* path) {
  if (!db || !path || !*path) return false;
  disconnect(db);
  sqlite3* conn = nullptr;
  if (sqlite3_open_v2(path, &conn, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(conn);
    return false;
  }
  sqlite3_busy_timeout(conn, kBusyTimeoutMs);
  // Opening is lazy: reading the schema is what tells a database from any other file.
  if (sqlite3_exec(conn, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(conn);
    return false;
  }
  db->conn = conn;
  return true;
}

vor_sqlite_result* vor_sqlite_exec(vor_sqlite* db, const char* sql) {
  if (!db || !db->conn || !sql) return nullptr;
  return run(db->conn, sql);
}

vor_sqlite_result* vor_sqlite_ExecExt(vor_sqlite* db, const char* format, ...) {
  if (!db || !db->conn || !format) return nullptr;
  va_list args;
  va_start(args, format);
  char* sql = sqlite3_vmprintf(format, args);
  va_end(args);
  if (!sql) return nullptr;
  vor_sqlite_result* result = run(db->conn, sql);
  sqlite3_free(sql);
  return result;
}

char* vor_sqlite_EscapeStr(vor_sqlite* /*db*/, const char* text) {
  if (!text) text = "";
  size_t quotes = 0;
  size_t len = 0;
  for (; text[len]; ++len) quotes += text[len] == '\'';
  auto* out = static_cast<char*>(_cu_malloc(len + quotes + 1, kUnit, __LINE__));
  if (!out) return nullptr;
  char* w = out;
  for (const char* r = text; *r; ++r) {
    *w++ = *r;
    if (*r == '\'') *w++ = '\'';
  }
  *w = '\0';
  return out;
}

int32_t vor_sqlite_result_GetNumRows(const vor_sqlite_result* result) { return result ? result->rows : 0; }

bool vor_sqlite_result_GetValue(const vor_sqlite_result* result, int32_t column, int32_t row, const char** text) {
  if (!result || column < 0 || row < 0 || column >= result->columns || result->columns == 0 ||
      row >= result->rows) {
    return false;
  }
  const auto& cell = result->cells[static_cast<size_t>(row) * result->columns + column];
  if (text) *text = cell ? cell->c_str() : nullptr;
  return true;
}

void vor_sqlite_result_free(vor_sqlite_result* result) { delete result; }

void vor_sqlite_free(vor_sqlite* db) {
  if (!db) return;
  disconnect(db);
  delete db;
}
