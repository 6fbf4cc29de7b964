// The database handle, its lock and the lines every family writes.
#include "cu_malloc.h"
#include "policydb.h"
#include "policydb_internal.h"

#include <cstdarg>
#include <cstdio>

namespace policydb {

namespace {

constexpr char kUnit[] = "zazudaza\\policydb";

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string text(static_cast<size_t>(n), '\0');
  vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

}  // namespace

Module& module() {
  static Module m;
  return m;
}

DbLock::DbLock() : held_(wc_sqlite_lock() != 0) {}
DbLock::~DbLock() {
  if (held_) wc_sqlite_unlock();
}

Result exec(const char* sql) { return Result(vor_sqlite_exec(db(), sql)); }

Result exec_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string sql = vformat(format, args);
  va_end(args);
  return exec(sql.c_str());
}

bool cell(const vor_sqlite_result* r, int32_t column, int32_t row, const char** text) {
  return vor_sqlite_result_GetValue(r, column, row, text);
}

int32_t rows(const vor_sqlite_result* r) { return vor_sqlite_result_GetNumRows(r); }

std::string escape(const char* text) {
  char* copy = vor_sqlite_EscapeStr(db(), text);
  if (!copy) return {};
  std::string out(copy);
  _cu_free(copy, kUnit, __LINE__);
  return out;
}

void console(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
}

void report_error_lines(const std::string& log_line, const std::string& console_line) {
  edgeserv_ctx* ctx = module().ctx.load(std::memory_order_acquire);
  if (ctx) cu_log_error(ctx->log, "%s", log_line.c_str());
  fputs(console_line.c_str(), stderr);
  fflush(stderr);
}

void report_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = vformat(format, args);
  va_end(args);
  report_error_lines(line, line);
}

bool setup_log_open() { return module().setup_log != nullptr; }

void setup_log_write(const char* format, ...) {
  if (!module().setup_log) return;
  va_list args;
  va_start(args, format);
  const std::string text = vformat(format, args);
  va_end(args);
  cu_log_write(module().setup_log, text.data(), static_cast<int32_t>(text.size()));
}

}  // namespace policydb

using namespace policydb;

uint8_t wc_sqlite_lock(void) {
  cu_sem* lock = module().dblock.load(std::memory_order_acquire);
  if (!lock || !db()) return 0;
  return cu_sem_lock(lock) ? 1 : 0;
}

void wc_sqlite_unlock(void) {
  cu_sem* lock = module().dblock.load(std::memory_order_acquire);
  if (lock && db()) cu_sem_unlock(lock);
}

vor_sqlite* wc_sqlite_GetHandle(void) { return db(); }
