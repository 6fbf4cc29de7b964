// Calls from the request filter into its parts built elsewhere; see seams.cpp.
#pragma once
#include <string>

#include "http_parser.h"
#include "reqgate_internal.h"

namespace vor::reqgate::seams {

// ---- The response path's calls into the disk cache, purges, probes and statistics, and the
// access log ----

// Whether the client has a disk-cache read pending.
bool disk_read_pending(int64_t client_sid);
void clean_rules_caches(const char* text, uint8_t icase, uint8_t rule_type);
void rtp_message(int64_t client_sid, http_parser* request);
void rtdiskcache_message(int64_t client_sid, http_parser* request, const char* key, const char* path, int code);
void stat_is_hit(int64_t client_sid, const char* key);
// The live probe of a request answered from a cache after its revalidation.
void rtp_hit(int64_t client_sid, uint8_t member, http_parser* request);
// The live probe of a revalidated request sent upstream again.
void rtp_resend(int64_t client_sid, http_parser* request);

// Disk-hit reads in flight: with the open cache writers they count toward the open-file cap.
size_t pending_disk_reads();

// The disk cache's index stores, disks and cache-file serving; tests put their own in. The
// index calls default to the stores themselves.
struct DiskCalls {
  bool (*index_get)(uint8_t kind, const char* name, char* record);  // record: 170 bytes
  bool (*index_put)(uint8_t kind, const char* name, const char* record);
  bool (*index_del)(uint8_t kind, const char* name);
  bool (*disk_path)(uint32_t disk, char* path, size_t size);
  // Serves a cache file from..to (to -1: to its end); false for a miss.
  bool (*serve)(int64_t client_sid, bool close, const char* cache_key, const char* disk_key, const char* path,
                const char* record, uint8_t kind, int64_t from, int64_t to);
};
DiskCalls& disk_calls();

}  // namespace vor::reqgate::seams
