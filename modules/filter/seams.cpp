// Calls from the request filter into its parts not in this build yet. Each does nothing (or
// answers as with nothing stored) until its part replaces the body: disk hits, the purges of
// rule caches, probes and statistics.
#include "seams.h"

#include <algorithm>
#include <climits>

#include "policydb.h"

namespace vor::reqgate::seams {

void clean_rules_caches(const char*, uint8_t, uint8_t) {}
void rtp_message(int64_t, http_parser*) {}
void rtdiskcache_message(int64_t, http_parser*, const char*, const char*, int) {}
void stat_is_hit(int64_t, const char*) {}
void rtp_hit(int64_t, uint8_t, http_parser*) {}
void rtp_resend(int64_t, http_parser*) {}

namespace {
// The folder of a cache disk; false when it is unknown or unused.
bool disk_path(uint32_t disk, char* path, size_t size) {
  const auto len = static_cast<int32_t>(std::min<size_t>(size, INT32_MAX));
  return policydb_diskno_GetPath(static_cast<int32_t>(disk), path, len) != 0;
}
}  // namespace

DiskCalls& disk_calls() {
  static DiskCalls calls{index_get, index_put, index_del, disk_path, disk_serve};
  return calls;
}

}  // namespace vor::reqgate::seams
