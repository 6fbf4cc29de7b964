// The borrowed configuration database: its lock, results, escaped texts and failure lines.
#include <stdio.h>

#include "adminweb_internal.h"
#include "cu_log.h"
#include "cu_malloc.h"
#include "policydb.h"
#include "vor_kit.h"

namespace vor::adminweb {

DbLock::DbLock() : held_(wc_sqlite_lock() != 0) {}
DbLock::~DbLock() {
  if (held_) wc_sqlite_unlock();
}

void SqlResult::reset() {
  vor_sqlite_result_free(result_);
  result_ = nullptr;
}

Escaped::Escaped(const char* text) : text_(vor_sqlite_EscapeStr(state().db, text)) {}
Escaped::~Escaped() {
  if (text_) _cu_free(text_, "adminweb\\sql", __LINE__);
}

void report_db_error(const char* log_line, const char* console_line) {
  if (state().ctx && state().ctx->log) cu_log_error(state().ctx->log, "%s", log_line);
  vor::console_line("%s", console_line ? console_line : log_line);
}

}  // namespace vor::adminweb
