// cu_console: the process-wide console file that cu_console_printf writes to. It is on from
// load with the name "cu_console.txt"; the file is created (emptied) by the first write.
#pragma once
#include "vor_export.h"
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* Names the console file (NULL: "cu_console.txt") and turns it on, closing an open file
   first; the length of the name taken, or 0 for a name of PATH_MAX or more (nothing changes). */
VOR_API int32_t cu_console_Setup(const char* name);
/* Turns the console off and closes its file. */
VOR_API void cu_console_Free(void);
/* Frees the line buffer, turns the console off and closes its file. */
VOR_API void cu_console_Shutdown(void);
/* Writes a message (cut at 20,480 bytes) to the console file and flushes; nothing while off. */
VOR_API void cu_console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

VOR_EXTERN_C_END
