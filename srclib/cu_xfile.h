// cu_xfile: the handle for large files (cache files): 64-bit positions and sizes, reads and
// writes at the current position, truncation, and the calling thread's last error as a code
// and a message. Many readers or one writer may have a file open through this unit at once.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct cu_xfile cu_xfile;

/* Creates the handle pool once (before any open); ends the process when it cannot. */
VOR_API void cu_xfile__xmem_init(void);

/* Opens: NULL on failure, the reason in cu_xfile_GetLastError (EBUSY: open elsewhere in a way
   this open excludes). overlapped is accepted and ignored. */
/* Read; fails when missing. */
VOR_API cu_xfile* cu_xfile_open_r(const char* path, uint8_t overlapped);
/* Read and write; fails when missing. */
VOR_API cu_xfile* cu_xfile_open_rw(const char* path, uint8_t overlapped);
/* Read and write, created when missing. */
VOR_API cu_xfile* cu_xfile_open_rwx(const char* path, uint8_t overlapped);
/* Write; fails when missing. */
VOR_API cu_xfile* cu_xfile_open_w(const char* path, uint8_t overlapped);
/* Write, created when missing. */
VOR_API cu_xfile* cu_xfile_open_wx(const char* path, uint8_t overlapped);
/* Read and write, truncated to 0 once the file is held; fails when missing. */
VOR_API cu_xfile* cu_xfile_open_t(const char* path, uint8_t overlapped);
/* As cu_xfile_open_t, creating the file when missing. */
VOR_API cu_xfile* cu_xfile_open_tx(const char* path, uint8_t overlapped);
/* Append only (no reads): every write goes to the end of the file; fails when missing. */
VOR_API cu_xfile* cu_xfile_open_a(const char* path, uint8_t overlapped);
/* As cu_xfile_open_a, created when missing. */
VOR_API cu_xfile* cu_xfile_open_ax(const char* path, uint8_t overlapped);

/* Closes the descriptor and returns the record to the pool; NULL ignored. */
VOR_API void cu_xfile_close(cu_xfile* f);
/* Bytes read at the current position (0 at the end of the file), -1 on failure. */
VOR_API int32_t cu_xfile_read(cu_xfile* f, void* buf, int32_t count);
/* Writes all count bytes at the current position (the end for append handles); count, or -1 on failure. */
VOR_API int32_t cu_xfile_write(cu_xfile* f, const void* data, int32_t count);
/* Commits the file's data to the disk; non-zero on success. */
VOR_API int32_t cu_xfile_flush(cu_xfile* f);
/* Moves to size and sets the end of the file there (shorter or longer); false on failure. */
VOR_API bool cu_xfile_truncate(cu_xfile* f, int64_t size);
/* The current position, -1 on failure. */
VOR_API int64_t cu_xfile_GetPos(cu_xfile* f);
/* Moves to an offset from the start; the new position, -1 on failure. */
VOR_API int64_t cu_xfile_SetPos(cu_xfile* f, int64_t pos);
/* The descriptor, -1 for NULL. */
VOR_API int32_t cu_xfile_GetFd(cu_xfile* f);
/* The file's size in bytes, -1 on failure. */
VOR_API int64_t cu_xfile_GetFileSize(cu_xfile* f);

/* The calling thread's last error code (an errno value) of this unit's calls. */
VOR_API int32_t cu_xfile_GetLastError(void);
/* True for ENOSPC and EDQUOT. */
VOR_API bool cu_xfile_IsErrorForDiskFull(int32_t code);
/* True for ENOENT and ENOTDIR. */
VOR_API bool cu_xfile_IsErrorForNoSuchFile(int32_t code);
/* The message of code copied into buf (at most size - 1 characters); buf, or "" without a buffer or for code 0. */
VOR_API const char* cu_xfile_GetErrorString(int32_t code, char* buf, int32_t size);
/* cu_xfile_GetErrorString of the calling thread's last error. */
VOR_API const char* cu_xfile_GetLastErrorString(char* buf, int32_t size);

VOR_EXTERN_C_END
