// Calls from the request filter into its parts built elsewhere; see seams.cpp.
#pragma once
#include <string>

#include "http_parser.h"
#include "reqgate_internal.h"

namespace vor::reqgate::seams {

// Stores a finished response in the memory cache (the body copy is dropped until then).
void memory_store(FilterRecord& record);

// ---- The response path's calls into the revalidation, the disk cache, purges, probes and
// statistics, and the access log ----

// Revalidation of an expired copy with the new head; true when the call is answered there.
bool revalidate(FilterRecord& record, reqgate_writer upstream_writer);
// A cache disk for a new file: SSD first (or HDD first); false when none is free.
bool choose_disk(bool hdd_first, uint32_t* disk, std::string* path);
// The path of a cache file; empty when none can be made.
std::string cache_path(uint8_t cache_kind, const std::string& disk_path, const std::string& key);
bool writer_begin(FilterRecord& record, uint32_t disk, const std::string& key);
void writer_append(FilterRecord& record, const char* data, uint64_t len);
void writer_finish(FilterRecord& record);
void writer_abort(FilterRecord& record);
// Whether the client has a disk-cache read pending.
bool disk_read_pending(int64_t client_sid);
void clean_disk_cache(const char* text);
void clean_rules_caches(const char* text, uint8_t icase, uint8_t rule_type);
void rtp_message(int64_t client_sid, http_parser* request);
void rtdiskcache_message(int64_t client_sid, http_parser* request, const char* key, const char* path, int code);
void stat_is_hit(int64_t client_sid, const char* key);
void access_line(FilterRecord& record);

}  // namespace vor::reqgate::seams
