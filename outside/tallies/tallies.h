// tallies: request counts for the whole site and for registered URL rules, per statistics
// period. Counting runs on every request thread with per-thread counters; it never calls back
// and never waits on anything but its own short locks, so callers may hold theirs.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* Bytes of the rate text: "%-2.2f%%" of hits over requests, such as "37.50%". */
#define TALLIES_RATE_SIZE 16

/* Registers a rule's URL text (counted by reference: adding it twice needs two removals). */
VOR_API bool tallies__AddUrl(const char* url);
/* Drops one registration; true when one existed. */
VOR_API bool tallies__DelUrl(const char* url);
/* Counts one request for a registered URL text with the client's location (GBK, at most 10
   bytes used); false for a text not registered. */
VOR_API bool tallies__SynUrl(const char* url, const char* location, bool hit);
/* Counts one request of the site: client address text (at most 20 bytes), location, hit. */
VOR_API bool tallies__SynStat(const char* address, const char* location, bool hit);
/* Starts a new period: every count goes back to 0; registrations stay. */
VOR_API void tallies__Restart(void);
/* Writes the period's report to a file of its own under ../logs/tallies/. */
VOR_API bool tallies__TextReport(void);
/* The site's live report as UTF-8 text of whole lines (at most capacity - 1 bytes and a NUL),
   the period's start and the current time (seconds since 1970) and the hit rate. */
VOR_API bool tallies__StatRealTimeReport(char* report, int32_t capacity, int64_t* start, int64_t* end,
                                         char rate[TALLIES_RATE_SIZE]);
/* The same for one registered URL text; an unknown text gives an empty report and false. */
VOR_API bool tallies__UrlRealTimeReport(const char* url, char* report, int32_t capacity, int64_t* start,
                                        int64_t* end, char rate[TALLIES_RATE_SIZE]);

VOR_EXTERN_C_END
