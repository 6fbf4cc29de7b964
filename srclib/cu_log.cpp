#include "cu_log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "cu_util.h"
#include "vor_fd.h"
#include "vor_io.h"
#include "vor_kit.h"

namespace {
constexpr char kUnit[] = "srclib\\cu_log";
constexpr int32_t kLockReady = 1;
constexpr int32_t kLockDown = -1;
constexpr size_t kSystemLineSize = 4096;

// A log's lock, or NULL (nothing to take) while the log is not set up, as every operation asks.
cu_sem* lock_of(cu_log* log) { return log->lock_state == kLockReady ? &log->lock : nullptr; }

FILE* open_log_file(const char* path) { return vor::open_stream(path, O_RDWR | O_CREAT | O_APPEND, "ab+"); }

void copy_path(cu_log* log, const char* path) {
  const size_t n = strnlen(path, CU_LOG_PATH_MAX);
  memcpy(log->path, path, n);
  log->path[n] = '\0';
}

// Writes "YYYY-MM-DD hh:mm:ss " for now; a thread formats a given second only once.
size_t write_time_prefix(char* out) {
  thread_local int64_t cached_second = -1;
  thread_local char cached[48];
  thread_local size_t cached_len = 0;
  const int64_t now = cu_time();
  if (now != cached_second) {
    struct tm tm;
    if (!cu_localtime(&now, &tm)) tm = {};
    const int n = snprintf(cached, sizeof cached, "%d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d ", tm.tm_year + 1900,
                           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    cached_len = n > 0 ? std::min(static_cast<size_t>(n), sizeof cached - 1) : 0;
    cached_second = now;
  }
  memcpy(out, cached, cached_len);
  return cached_len;
}

// Builds [time prefix] [level] message into line (capacity bytes, NUL included). A message
// that does not fit is cut so that the line fills capacity - 1 bytes and still ends in "\r\n",
// or the next line would join it. Answers the line's length; 0 when formatting fails.
size_t build_line(char* line, size_t capacity, bool with_time, const char* level, const char* format,
                  va_list args) {
  size_t len = with_time ? write_time_prefix(line) : 0;
  if (level) {
    const size_t n = strlen(level);
    memcpy(line + len, level, n);
    len += n;
  }
  const size_t room = capacity - len;
  const int r = vsnprintf(line + len, room, format ? format : "", args);
  if (r < 0) return 0;
  if (static_cast<size_t>(r) < room) return len + static_cast<size_t>(r);
  len = capacity - 1;
  line[len - 2] = '\r';
  line[len - 1] = '\n';
  line[len] = '\0';
  return len;
}

// A flushed write: what earlier NoFlush calls left in the stream goes first, then the bytes
// in one write call, so a line reaches the file whole and in order.
void write_flushed(cu_log* log, const char* data, size_t n) {
  fflush(log->file);
  vor::io::write_all(fileno(log->file), data, n);
}

void write_buffered(cu_log* log, const char* data, size_t n) { fwrite(data, 1, n, log->file); }

void formatted(cu_log* log, bool with_time, const char* level, bool flush, const char* format, va_list args) {
  if (!log) return;
  vor::SemLock guard(lock_of(log));
  if (!log->file || !log->line) return;
  const size_t n = build_line(log->line, CU_LOG_LINE_SIZE, with_time, level, format, args);
  if (n == 0) return;
  if (flush) {
    write_flushed(log, log->line, n);
  } else {
    write_buffered(log, log->line, n);
  }
}

void raw(cu_log* log, const void* data, int32_t len, bool flush) {
  if (!log || !data || len <= 0) return;
  vor::SemLock guard(lock_of(log));
  if (!log->file) return;
  if (flush) {
    write_flushed(log, static_cast<const char*>(data), static_cast<size_t>(len));
  } else {
    write_buffered(log, static_cast<const char*>(data), static_cast<size_t>(len));
  }
}

}  // namespace

bool cu_log_init(cu_log* log, const char* path) {
  if (!log) return false;
  log->path[0] = '\0';
  log->file = nullptr;
  log->line = nullptr;
  log->lock_state = kLockDown;
  if (!path) return false;
  // The whole path is opened; only the record's copy is cut.
  log->file = open_log_file(path);
  if (!log->file) return false;
  log->line = static_cast<char*>(_cu_malloc(CU_LOG_LINE_SIZE, kUnit, __LINE__));
  if (!log->line) {
    fclose(log->file);
    log->file = nullptr;
    return false;
  }
  log->line[CU_LOG_LINE_SIZE - 1] = '\0';
  copy_path(log, path);
  cu_sem_init(&log->lock);
  log->lock_state = kLockReady;
  return true;
}

cu_log* cu_log_malloc(const char* path) {
  if (!path) return nullptr;
  auto* log = static_cast<cu_log*>(_cu_malloc(sizeof(cu_log), kUnit, __LINE__));
  if (!log) return nullptr;
  if (!cu_log_init(log, path)) {
    _cu_free(log, kUnit, __LINE__);
    return nullptr;
  }
  return log;
}

void cu_log_destroy(cu_log* log) {
  if (!log) return;
  if (log->file) fclose(log->file);
  log->file = nullptr;
  _cu_free(log->line, kUnit, __LINE__);
  log->line = nullptr;
  if (log->lock_state == kLockReady) cu_sem_destroy(&log->lock);
  log->lock_state = kLockDown;
}

void cu_log_free(cu_log* log) {
  if (!log) return;
  cu_log_destroy(log);
  _cu_free(log, kUnit, __LINE__);
}

void cu_log_flush(cu_log* log) {
  if (!log) return;
  vor::SemLock guard(lock_of(log));
  if (log->file) fflush(log->file);
}

bool cu_log_rename(cu_log* log, const char* new_path) {
  if (!log || !new_path || log->lock_state != kLockReady) return false;  // an ended log stays ended
  vor::SemLock guard(lock_of(log));
  FILE* next = open_log_file(new_path);
  if (!next) return false;
  if (log->file) fclose(log->file);
  log->file = next;
  copy_path(log, new_path);
  return true;
}

void cu_log_write(cu_log* log, const void* data, int32_t len) { raw(log, data, len, true); }

void cu_log_write_NoFlush(cu_log* log, const void* data, int32_t len) { raw(log, data, len, false); }

void cu_log_printf(cu_log* log, const char* format, ...) {
  va_list args;
  va_start(args, format);
  formatted(log, false, nullptr, true, format, args);
  va_end(args);
}

void cu_log_printf_NoFlush(cu_log* log, const char* format, ...) {
  va_list args;
  va_start(args, format);
  formatted(log, false, nullptr, false, format, args);
  va_end(args);
}

void cu_log_notice(cu_log* log, const char* format, ...) {
  va_list args;
  va_start(args, format);
  formatted(log, true, "notice: ", true, format, args);
  va_end(args);
}

void cu_log_warn(cu_log* log, const char* format, ...) {
  va_list args;
  va_start(args, format);
  formatted(log, true, "warn: ", true, format, args);
  va_end(args);
}

void cu_log_error(cu_log* log, const char* format, ...) {
  va_list args;
  va_start(args, format);
  formatted(log, true, "error: ", true, format, args);
  va_end(args);
}

void __cu_system_log(const char* path, const char* format, ...) {
  if (!path) return;
  const int fd = vor::open_file(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0) return;
  char line[kSystemLineSize];
  va_list args;
  va_start(args, format);
  const size_t n = build_line(line, sizeof line, true, nullptr, format, args);
  va_end(args);
  vor::io::write_all(fd, line, n);
  close(fd);
}
