// cu_file: files by path. cu_file1 wraps a buffered stream, cu_file2 a descriptor; path
// operations, whole-file mappings and the single-instance lock file. Paths may use '\' or
// '/'; names are case-sensitive. Positions of cu_file1/cu_file2 are 32-bit.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct cu_file1 cu_file1;
typedef struct cu_file2 cu_file2;

/* A whole file mapped into memory; an empty file has no mapping and content "". */
typedef struct cu_file_mapped {
  int64_t length; /* bytes mapped, 0 for an empty file */
  char* content;  /* first byte of the view */
  void* mapping;  /* the view to unmap; NULL when length is 0 */
} cu_file_mapped;

/* Opens for reading; NULL when missing. */
VOR_API cu_file1* cu_file1_open_r(const char* path);
/* Opens for reading and writing at position 0, contents kept; NULL when missing. */
VOR_API cu_file1* cu_file1_open_w(const char* path);
/* The same as cu_file1_open_w. */
VOR_API cu_file1* cu_file1_open_rw(const char* path);
/* Opens for reading and writing, creating an empty file when missing; contents kept. */
VOR_API cu_file1* cu_file1_open_wx(const char* path);
/* The same as cu_file1_open_wx. */
VOR_API cu_file1* cu_file1_open_rwx(const char* path);
/* Opens an existing file for reading and writing, truncated to 0; NULL (nothing created) when missing. */
VOR_API cu_file1* cu_file1_open_t(const char* path);
/* Opens for reading and writing, created when missing, truncated to 0. */
VOR_API cu_file1* cu_file1_open_tx(const char* path);
/* Opens an existing file to read anywhere and append every write; NULL when missing. */
VOR_API cu_file1* cu_file1_open_a(const char* path);
/* As cu_file1_open_a, creating the file when missing. */
VOR_API cu_file1* cu_file1_open_ax(const char* path);
/* Moves to a byte offset from the start; false for NULL or failure. */
VOR_API bool cu_file1_SetPos(cu_file1* f, int32_t pos);
/* The current position, -1 on error (or beyond 32 bits), 0 for NULL. */
VOR_API int32_t cu_file1_GetPos(cu_file1* f);
/* Reads up to count bytes; bytes read (fewer at the end of the file), 0 for NULL. */
VOR_API int32_t cu_file1_read(cu_file1* f, void* buf, int32_t count);
/* Writes count bytes; bytes written, 0 for NULL. */
VOR_API int32_t cu_file1_write(cu_file1* f, const void* data, int32_t count);
/* True when a read has met the end of the file, and for NULL. */
VOR_API bool cu_file1_eof(cu_file1* f);
/* Writes the stream's buffer out; NULL ignored. */
VOR_API void cu_file1_flush(cu_file1* f);
/* The stream's descriptor, -1 for NULL. */
VOR_API int32_t cu_file1_GetFd(cu_file1* f);
/* Flushes, closes and frees the handle; NULL ignored. */
VOR_API void cu_file1_close(cu_file1* f);

/* Descriptor opens: NULL on failure; created files get read and write permission. */
/* Read only; fails when missing. */
VOR_API cu_file2* cu_file2_open_r(const char* path);
/* Write only; fails when missing. */
VOR_API cu_file2* cu_file2_open_w(const char* path);
/* Write only, created when missing. */
VOR_API cu_file2* cu_file2_open_wx(const char* path);
/* Read and write; fails when missing. */
VOR_API cu_file2* cu_file2_open_rw(const char* path);
/* Read and write, created when missing. */
VOR_API cu_file2* cu_file2_open_rwx(const char* path);
/* Read and write, truncated to 0; fails when missing. */
VOR_API cu_file2* cu_file2_open_t(const char* path);
/* Read and write, created when missing, truncated to 0. */
VOR_API cu_file2* cu_file2_open_tx(const char* path);
/* Read and write, every write at the end; fails when missing. */
VOR_API cu_file2* cu_file2_open_a(const char* path);
/* As cu_file2_open_a, created when missing. */
VOR_API cu_file2* cu_file2_open_ax(const char* path);
/* Moves to a byte offset from the start; false for NULL or failure. */
VOR_API bool cu_file2_SetPos(cu_file2* f, int32_t pos);
/* The current position, -1 on error, 0 for NULL. */
VOR_API int32_t cu_file2_GetPos(cu_file2* f);
/* Bytes read, -1 on error, 0 for NULL. */
VOR_API int32_t cu_file2_read(cu_file2* f, void* buf, int32_t count);
/* Bytes written (all of them unless an error stopped it), -1 on error, 0 for NULL. */
VOR_API int32_t cu_file2_write(cu_file2* f, const void* data, int32_t count);
/* True at the end of the file, on error and for NULL. */
VOR_API bool cu_file2_eof(cu_file2* f);
/* Commits the file's data to the disk; NULL ignored. */
VOR_API void cu_file2_flush(cu_file2* f);
/* The descriptor, -1 for NULL. */
VOR_API int32_t cu_file2_GetFd(cu_file2* f);
/* Commits, closes and frees the handle; NULL ignored. */
VOR_API void cu_file2_close(cu_file2* f);

/* True when the path (file or folder) can be examined. */
VOR_API bool cu_file1_IsExist(const char* path);
/* Size in bytes; 0 when the path cannot be examined. */
VOR_API int64_t cu_file1_GetLength(const char* path);
/* Last access time (seconds since 1970); 0 when the path cannot be examined. */
VOR_API int64_t cu_file1_GetAccessTime(const char* path);
/* Last modification time; 0 when the path cannot be examined. */
VOR_API int64_t cu_file1_GetModifyTime(const char* path);
/* Birth time where the file system keeps one, else the last status change; 0 when the path cannot be examined. */
VOR_API int64_t cu_file1_GetCreateTime(const char* path);
/* Sets the access time, keeping the modification time; false on failure. */
VOR_API bool cu_file1_SetAccessTime(const char* path, int64_t t);
/* Sets the modification time, keeping the access time; false on failure. */
VOR_API bool cu_file1_SetModifyTime(const char* path, int64_t t);
/* Always false: creation times cannot be set. */
VOR_API bool cu_file1_SetCreateTime(const char* path, int64_t t);
/* Deletes a file; true on success. */
VOR_API bool cu_file1_remove(const char* path);
/* Moves a file or folder; fails when the new path exists. */
VOR_API bool cu_file1_rename(const char* old_path, const char* new_path);
/* The same operation as cu_file1_rename. */
VOR_API bool cu_dir1_rename(const char* old_path, const char* new_path);
/* Sets the end of the file at size and leaves the position there; false for fd < 0 or failure. */
VOR_API bool cu_file1_truncate(int32_t fd, int64_t size);
/* Opens an existing path, applies cu_file1_truncate, closes it; false when the open fails. */
VOR_API bool cu_file1_truncatex(const char* path, int64_t size);
/* Creates one folder (its parent must exist); false also when it exists. */
VOR_API bool cu_dir1_make(const char* path);
/* Removes an empty folder; true on success. */
VOR_API bool cu_dir1_remove(const char* path);

/* Maps a whole file, writable (shared with the file) only when writable is 1; NULL on failure. */
VOR_API cu_file_mapped* cu_file_mapped_make(const char* path, uint8_t writable);
/* The mapped length; 0 for NULL. */
VOR_API int64_t cu_file_mapped_GetLength(cu_file_mapped* m);
/* The first mapped byte; NULL for NULL. */
VOR_API char* cu_file_mapped_GetContent(cu_file_mapped* m);
/* Unmaps and frees the record; NULL ignored. */
VOR_API void cu_file_mapped_free(cu_file_mapped* m);

/* Holds the file (created when missing) exclusively; a descriptor above 0, or -1 when held elsewhere or on failure. */
VOR_API int32_t cu_file_lock(const char* path);
/* Ends the hold of a descriptor above 0; 0 and negative values are ignored. The file stays. */
VOR_API void cu_lockfile_close(int32_t fd);
/* True when cu_file_lock would succeed now; holds nothing afterwards (creates the file when missing). */
VOR_API bool cu_file_IsLockable(const char* path);

VOR_EXTERN_C_END
