// Calls from the request filter into its parts built elsewhere. The probes and statistics do
// nothing until their part replaces the body; the purges of the memory tables and the disk calls
// reach their modules.
#include "seams.h"

#include <algorithm>
#include <climits>

#include "memstore.h"
#include "policydb.h"

namespace vor::reqgate::seams {

void clean_rules_caches(const char* text, uint8_t icase, uint8_t rule_type) {
  wc_membercache_CleanRulesCache(text, icase, rule_type);
  wc_publiccache_CleanRulesCache(text, icase, rule_type);
  wc_visitorcache_CleanRulesCache(text, icase, rule_type);
}
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
