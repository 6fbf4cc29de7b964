// cu_log: a log file object. Each line is written whole under the log's lock and flushed, so
// threads may share a log and their lines never interleave. Levelled lines start with the local
// time "%d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d " and "notice: ", "warn: " or "error: "; the message
// brings its own line end. No rotation: an owner switches files with cu_log_rename.
#pragma once
#include "cu_sem.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

VOR_EXTERN_C_BEGIN

#define CU_LOG_PATH_MAX 260
#define CU_LOG_LINE_SIZE 16384

typedef struct cu_log {
  char path[CU_LOG_PATH_MAX + 1]; /* the file's path, cut to 260 characters */
  FILE* file;                     /* opened "ab+"; NULL after destroy */
  cu_sem lock;
  int32_t lock_state;             /* 1 while set up, -1 before and after */
  char* line;                     /* CU_LOG_LINE_SIZE bytes; the last one always NUL */
} cu_log;

/* A new log appending to path (created when missing); NULL when it cannot be opened or memory is short. */
VOR_API cu_log* cu_log_malloc(const char* path);
/* Sets up a caller-held record as cu_log_malloc does; false for NULL arguments or when the file or buffer cannot be had. */
VOR_API bool cu_log_init(cu_log* log, const char* path);
/* cu_log_destroy, then frees a log of cu_log_malloc; NULL ignored. */
VOR_API void cu_log_free(cu_log* log);
/* Closes the file and frees the buffer; only when no other thread uses the log; NULL ignored. */
VOR_API void cu_log_destroy(cu_log* log);
/* Flushes the file; NULL ignored. */
VOR_API void cu_log_flush(cu_log* log);
/* Switches to a new file; false for a NULL log or when it cannot be opened (the old file stays). */
VOR_API bool cu_log_rename(cu_log* log, const char* new_path);
/* Writes len bytes as they are and flushes; NULL log or data ignored. */
VOR_API void cu_log_write(cu_log* log, const void* data, int32_t len);
/* Writes len bytes as they are without flushing. */
VOR_API void cu_log_write_NoFlush(cu_log* log, const void* data, int32_t len);
/* Writes the formatted message (no time or level) and flushes; NULL log ignored. */
VOR_API void cu_log_printf(cu_log* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
/* The same without flushing. */
VOR_API void cu_log_printf_NoFlush(cu_log* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
/* Writes time, "notice: " and the message, and flushes; NULL log ignored. */
VOR_API void cu_log_notice(cu_log* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
/* The same with "warn: ". */
VOR_API void cu_log_warn(cu_log* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
/* The same with "error: ". */
VOR_API void cu_log_error(cu_log* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
/* Appends one line of time and message to path and closes it; nothing when it cannot be opened. */
VOR_API void __cu_system_log(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));

VOR_EXTERN_C_END
