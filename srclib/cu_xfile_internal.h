// Offset I/O on a cu_xfile for the asynchronous file layer. Internal to vorcore.
// None of these use or move the handle's file position, so operations queued at different
// offsets never depend on one another; failures keep errno for cu_xfile_GetLastError.
#pragma once
#include "vor_internal.h"
#include <stdint.h>

#include "cu_xfile.h"

// Reads up to count bytes at offset (fewer only at the end of the file); bytes read, or -1.
int32_t cu_xfile_read_at(cu_xfile* f, void* buf, int32_t count, int64_t offset);
// Writes all count bytes at offset (at the end for append handles); count, or -1.
int32_t cu_xfile_write_at(cu_xfile* f, const void* data, int32_t count, int64_t offset);
// Commits the file's data (not its metadata unless needed to read the data back); false on failure.
bool cu_xfile_flush_data(cu_xfile* f);
