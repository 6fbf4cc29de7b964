// Calls from the request filter into its parts not in this build yet. Each does nothing (or
// answers as with nothing stored) until its part replaces the body: the session cache, the
// memory store, revalidation, the disk cache, purges of stored copies, probes, statistics and
// the access log.
#include "seams.h"

namespace vor::reqgate::seams {

void memory_store(FilterRecord&) {}


bool revalidate(FilterRecord&, reqgate_writer) { return false; }
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

}  // namespace vor::reqgate::seams
