// Dates and times: HTTP dates ("%a, %d %b %Y %H:%M:%S GMT", always UTC) written and read,
// local date-time texts of configuration values read, and the current local clock fields.
// Times are seconds since 1970-01-01 00:00:00 UTC.
#pragma once
#include "vor_export.h"
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* Writes the HTTP date of t into buf (at most size bytes with the NUL; 30 hold it); NULL for a NULL buf or size <= 0. */
VOR_API char* cu_GetGMTString2(int64_t t, char* buf, int32_t size);
/* A new 100-byte text holding the HTTP date of t, freed with _cu_free; NULL when memory runs out. */
VOR_API char* cu_GetGMTString(int64_t t);
/* The time of an HTTP date in any of its seven layouts; -1 when none matches or the date is out of range. */
VOR_API int64_t cu_DateParse(const char* text);
/* The time of a local date-time text in any of its eight layouts; 0 when none matches, -1 when not representable. */
VOR_API int64_t cu_DateToTime(const char* text);
/* Writes the current local date and time as "YYYY.MM.DD - hh:mm:ss" (22 bytes with the NUL). */
VOR_API void cu_GetLocalDate(char* buf);
/* The current local hour (0-23). */
VOR_API int32_t cu_GetCurrentTimeHH(void);
/* The current local minute (0-59). */
VOR_API int32_t cu_GetCurrentTimeMM(void);
/* The current local second (0-59). */
VOR_API int32_t cu_GetCurrentTimeSS(void);

VOR_EXTERN_C_END
