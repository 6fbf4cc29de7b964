// Calls from the request filter into its parts not in this build yet. Each does nothing (or
// answers as with nothing stored) until its part replaces the body: the disk cache's disks and
// cache files (its index calls go to the stores), the index cleaning, purges of stored copies,
// probes, statistics and the access log.
#include "seams.h"

namespace vor::reqgate::seams {

bool choose_disk(bool, uint32_t*, std::string*) { return false; }
std::string cache_path(uint8_t, const std::string&, const std::string&) { return {}; }
bool writer_begin(FilterRecord&, uint32_t, const std::string&) { return false; }
void writer_append(FilterRecord&, const char*, uint64_t) {}
void writer_finish(FilterRecord&) {}
void writer_abort(FilterRecord&) {}
bool disk_read_pending(int64_t) { return false; }
void clean_disk_cache(const char*) {}
void clean_rules_caches(const char*, uint8_t, uint8_t) {}
void rtp_message(int64_t, http_parser*) {}
void rtdiskcache_message(int64_t, http_parser*, const char*, const char*, int) {}
void stat_is_hit(int64_t, const char*) {}
void access_line(FilterRecord&) {}
void access_hit_line(int64_t, http_parser*, const char*, const char*, uint64_t) {}
void rtp_hit(int64_t, uint8_t, http_parser*) {}
void rtp_resend(int64_t, http_parser*) {}
void start_index_cleaning(IndexStore) {}

namespace {
bool no_disk(uint32_t, char*, size_t) { return false; }
bool not_served(int64_t, bool, const char*, const char*, const char*, const char*, uint8_t, int64_t, int64_t) {
  return false;
}
}  // namespace

DiskCalls& disk_calls() {
  static DiskCalls calls{index_get, index_put, index_del, no_disk, not_served};
  return calls;
}

}  // namespace vor::reqgate::seams
