// Hit serving: a request answered from the memory table of its cache kind, or from the disk
// cache; an expired copy is not served but fetched again, with validators when it has them.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <strings.h>

#include "cu_md5.h"
#include "policydb.h"
#include "reqgate_internal.h"
#include "seams.h"
#include "upfetch_request.h"

namespace vor::reqgate {

namespace {

constexpr uint32_t kSlice = 65536;
constexpr uint64_t kWholeBody = 2147483647;
constexpr int32_t kHeadBuffer = kStoredHeadCapacity + 1;
constexpr size_t kDiskKeyBuffer = 4197;

// The hit path's parser and buffers, one set per slave thread, made once.
struct ThreadHit {
  http_parser* parser = http_parser_make();
  std::unique_ptr<char[]> head{new char[kHeadBuffer]};
  std::unique_ptr<char[]> slice{new char[kSlice]};
  std::string whole;  // head and body of a small answer, written at once
  ~ThreadHit() { http_parser_free(parser); }
};

ThreadHit& thread_hit() {
  static thread_local ThreadHit hit;
  return hit;
}

// ---- headers --------------------------------------------------------------------------------

// A header's value when it fits size - 1 characters; false when absent or longer.
bool whole_value(http_parser* head, const char* name, char* buffer, int32_t size) {
  if (!http_parser_GetKey(head, name, buffer, size)) return false;
  return std::strlen(buffer) < static_cast<size_t>(size - 1);
}

// ---- numbers --------------------------------------------------------------------------------

// Reads decimal digits at *p, saturating instead of wrapping; false when there are none.
bool read_number(const char*& p, uint64_t* value) {
  if (*p < '0' || *p > '9') return false;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    v = v > (UINT64_MAX - digit) / 10 ? UINT64_MAX : v * 10 + digit;
  }
  *value = v;
  return true;
}

const char* skip(const char* p, const char* set) {
  while (*p && std::strchr(set, *p)) ++p;
  return p;
}

// ---- ranges ---------------------------------------------------------------------------------

struct Range {
  bool partial = false;
  uint64_t from = 0;
  uint64_t to = kWholeBody;
  uint64_t total = 0;
};

// If-Range lets a range through only when it names this very copy: a strong Etag or the
// Last-Modified, equal byte for byte, of an uncoded copy (a gzipped copy is not the origin's).
bool if_range_holds(http_parser* request, http_parser* stored) {
  char wanted[100];
  if (!http_parser_IsKey(request, "If-Range")) return true;
  if (!whole_value(request, "If-Range", wanted, sizeof wanted)) return false;
  if (http_parser_IsKey(stored, "Content-Encoding")) return false;
  char tag[100];
  if (whole_value(stored, "Etag", tag, sizeof tag) && std::strncmp(tag, "W/", 2) != 0 &&
      std::strcmp(tag, wanted) == 0) {
    return true;
  }
  char modified[100];
  return whole_value(stored, "Last-Modified", modified, sizeof modified) && std::strcmp(modified, wanted) == 0;
}

// On disk only the record's strong Etag can name the copy.
bool if_range_names_record(http_parser* request, const char* index_record) {
  if (!http_parser_IsKey(request, "If-Range")) return true;
  char wanted[100];
  char tag[100];
  return whole_value(request, "If-Range", wanted, sizeof wanted) && std::strncmp(wanted, "W/", 2) != 0 &&
         index_value(index_record, "et", tag, sizeof tag) && std::strcmp(tag, wanted) == 0;
}

// The part of a stored 200 a range request asks for; whole otherwise.
Range memory_range(http_parser* request, http_parser* stored) {
  Range r;
  char value[100];
  if (status_code(stored) != 200 || !range_request(request)) return r;
  if (!http_parser_GetKey(request, "Range", value, sizeof value)) return r;
  const Length length = content_length(stored);
  if (length.field != LengthField::kValid || length.value == 0) return r;
  const char* bytes = std::strstr(value, "bytes");
  if (!bytes || !if_range_holds(request, stored)) return r;
  uint64_t from = 0;
  uint64_t to = 0;
  if (!parse_range(length.value, &from, &to, bytes)) return r;
  return Range{true, from, to, length.value};
}

void mark_partial(http_parser* stored, const Range& r) {
  char text[96];
  http_parser_ModifyStatus(stored, "206 Partial Content");
  std::snprintf(text, sizeof text, "%" PRIu64, r.to - r.from);
  http_parser_ModifyKey(stored, "Content-Length", text);
  std::snprintf(text, sizeof text, "bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64, r.from, r.to - 1, r.total);
  http_parser_ModifyKey(stored, "Content-Range", text);
}

// ---- the memory hit -------------------------------------------------------------------------

struct Entry {
  const MemoryTable* table;
  uint32_t expire = 0;
  char tag[17] = {};
};

void count_page_view(int64_t client_sid, http_parser* request, const char* cache_key) {
  if (!policydb_system_get_IsUsedPageViewStat()) return;
  if (policydb_system_get_UnenableStatBySpider() && is_spider(request)) return;
  seams::stat_is_hit(client_sid, cache_key);
}

void log_hit(int64_t client_sid, http_parser* request, const char* cache_key, const char* status, uint64_t bytes) {
  access_log_hit(client_sid, request, cache_key, status, bytes);
}

const char* hit_title(uint8_t kind) {
  return kind == kIntelligent ? "Inteligent" : kind_name(kind);
}

// Bytes of the slice at pos, at most 64 KiB and never past to; -1 when the copy is gone.
uint32_t slice_size(uint64_t pos, uint64_t to) { return static_cast<uint32_t>(std::min<uint64_t>(kSlice, to - pos)); }

int32_t read_slice(const Entry& e, const char* cache_key, uint64_t pos, uint64_t to) {
  const auto first = static_cast<uint32_t>(std::min<uint64_t>(pos, UINT32_MAX));
  return e.table->get(cache_key, e.tag, nullptr, 0, first, first + slice_size(pos, to), thread_hit().slice.get());
}

// The body from..to in slices, the first already read (n bytes); false when the copy went away
// (replaced or purged) midway.
bool send_slices(int64_t client_sid, http_parser* request, http_parser* stored, const char* cache_key,
                 const Entry& e, const Range& r, int32_t n, uint64_t* sent) {
  char* slice = thread_hit().slice.get();
  for (uint64_t pos = r.from; n > 0;) {
    const uint32_t want = slice_size(pos, r.to);
    pos += static_cast<uint64_t>(n);
    const bool last = static_cast<uint32_t>(n) < want || pos >= r.to;
    *sent += static_cast<uint64_t>(n);
    Chunk chunk{slice, n};
    run_body_hooks(client_sid, request, 0, stored, 1, last, chunk);
    if (chunk.send && chunk.len > 0) edgeserv_WriteJitter(client_sid, chunk.data, chunk.len);
    release_chunk(chunk, slice);
    if (last) return true;
    n = read_slice(e, cache_key, pos, r.to);
  }
  return n == 0;
}

enum class Sent : uint8_t { kWhole, kCut, kReplaced };

// A chunked copy for a client that reads no chunked framing: the data alone, with their length.
// kReplaced when the copy went away, or its framing does not end soundly (then not served).
Sent send_dechunked(int64_t client_sid, http_parser* request, http_parser* stored, const char* cache_key,
                    const Entry& e, uint64_t* sent) {
  ChunkPayload payload;
  std::string plain;
  for (uint64_t pos = 0;;) {
    const int32_t n = read_slice(e, cache_key, pos, kWholeBody);
    if (n < 0) return Sent::kReplaced;
    payload.feed(thread_hit().slice.get(), static_cast<size_t>(n), plain);
    pos += static_cast<uint64_t>(n);
    if (static_cast<uint32_t>(n) < kSlice) break;
  }
  if (!payload.done() || plain.size() > INT32_MAX) return Sent::kReplaced;
  while (http_parser_IsKey(stored, "Transfer-Encoding")) http_parser_DelKey(stored, "Transfer-Encoding");
  http_parser_ModifyKey(stored, "Content-Length", std::to_string(plain.size()).c_str());
  send_whole_hit(client_sid, request, stored, plain.data(), static_cast<uint32_t>(plain.size()), sent);
  return Sent::kWhole;
}

// Writes the head and the body (or its range). The first slice is read before the head goes
// out, so a copy replaced before then is not served at all (kReplaced); kCut when it went away
// later.
Sent send_copy(int64_t client_sid, http_parser* request, http_parser* stored, const char* cache_key, const Entry& e,
               uint64_t* sent) {
  const Range r = memory_range(request, stored);
  const int32_t first = read_slice(e, cache_key, r.from, r.to);
  if (first < 0) return Sent::kReplaced;
  if (wants_close(request)) http_parser_ModifyKey(stored, "Connection", "close");
  if (r.partial) mark_partial(stored, r);
  if (policydb_system_get_AddXCacheToHeader()) http_parser_ModifyKey(stored, "X-Cache", "HIT");
  const ResponseHooks hooks = response_hooks();
  if (hooks.head && !hooks.head(client_sid, request, 0, stored, 1)) {
    return send_slices(client_sid, request, stored, cache_key, e, r, first, sent) ? Sent::kWhole : Sent::kCut;
  }
  const bool one_slice = static_cast<uint32_t>(first) < slice_size(r.from, r.to) || r.from + first >= r.to;
  if (one_slice && !hooks.body && !hooks.ext_body) {
    // A small answer goes out in one write: one pass through the edge server's queue.
    std::string& whole = thread_hit().whole;
    whole.assign(http_parser_GetStr(stored), static_cast<size_t>(http_parser_GetLen(stored)));
    whole.append(thread_hit().slice.get(), static_cast<size_t>(first));
    edgeserv_WriteJitter(client_sid, whole.data(), static_cast<int32_t>(whole.size()));
    *sent = static_cast<uint64_t>(first);
    return Sent::kWhole;
  }
  edgeserv_WriteJitter(client_sid, http_parser_GetStr(stored), http_parser_GetLen(stored));
  return send_slices(client_sid, request, stored, cache_key, e, r, first, sent) ? Sent::kWhole : Sent::kCut;
}

bool find_entry(const char* cache_key, uint8_t kind, Entry& e) {
  e.table = memory_table(kind);
  if (!e.table || !e.table->check(cache_key, &e.expire, e.tag)) return false;
  return e.table->get(cache_key, e.tag, thread_hit().head.get(), kStoredHeadCapacity, 0, 0, nullptr) >= 0;
}

bool fresh_enough(http_parser* request, const char* cache_key, const Entry& e) {
  return static_cast<int64_t>(e.expire) > edgeserv_mytime() && !request_no_cache(request, cache_key);
}

HitResult serve_not_modified(int64_t client_sid, http_parser* request, const char* cache_key, uint8_t kind,
                             const Entry& e) {
  trace("[Hit%sMemCache: Status -> 304] %s\r\n", hit_title(kind), cache_key);
  count_page_view(client_sid, request, cache_key);
  e.table->add_access(cache_key, nullptr);
  log_hit(client_sid, request, cache_key, "304", 0);
  return HitResult::kServed;
}

}  // namespace

bool range_request(http_parser* request) {
  char value[50];
  for (const char* name : {"Range", "Quo-Hit-Diskcache-Range"}) {
    if (http_parser_GetKey(request, name, value, sizeof value)) return strcasecmp(value, "bytes=0-") != 0;
  }
  return false;
}

bool request_no_cache(http_parser* request, const char* cache_key) {
  if (policydb_system_get_IsHitCacheForRefresh()) return false;
  const char* key = cache_key ? cache_key : "URL";
  char value[100];
  if (http_parser_GetKey(request, "Pragma", value, sizeof value) && contains_ignore_case(value, "no-cache")) {
    trace("[NoCache: Request -> Pragma -> no-cache] %s\r\n", key);
    return true;
  }
  if (!http_parser_GetKey(request, "Cache-Control", value, sizeof value)) return false;
  for (const char* directive : {"no-cache", "max-age=0", "no-store"}) {
    if (contains_ignore_case(value, directive)) {
      trace("[NoCache: Request -> Cache-Control -> %s] %s\r\n", directive, key);
      return true;
    }
  }
  return false;
}

bool parse_range(uint64_t total, uint64_t* from, uint64_t* to, const char* text) {
  const char* p = text ? std::strchr(text, '=') : nullptr;
  if (!p) return false;
  p = skip(p + 1, " ,");
  uint64_t first = 0;
  if (read_number(p, &first)) {
    if (first >= total || (*p != '-' && *p != ' ')) return false;
    p = skip(p, "- ");
    uint64_t last = 0;
    const uint64_t end = read_number(p, &last) ? std::min(last == UINT64_MAX ? last : last + 1, total) : total;
    if (first >= end) return false;
    *from = first;
    *to = end;
    return true;
  }
  p = skip(p, "- ");
  uint64_t suffix = 0;
  if (!read_number(p, &suffix) || suffix == 0 || suffix > total) return false;
  // A suffix ends the list, or a comma or blank follows it.
  if (*p != '\0' && *p != ',' && *p != ' ') return false;
  *from = total - suffix;
  *to = total;
  return true;
}

bool disk_range(http_parser* request, const char* index_record, uint64_t* total, uint64_t* from, uint64_t* to) {
  char value[100];
  if (!http_parser_GetKey(request, "Range", value, sizeof value) &&
      !http_parser_GetKey(request, "Quo-Hit-Diskcache-Range", value, sizeof value)) {
    return false;
  }
  *total = index_hex(index_record, "cl", 0);
  const char* bytes = std::strstr(value, "bytes");
  return bytes && if_range_names_record(request, index_record) && parse_range(*total, from, to, bytes);
}

void rewrite_cache_control(http_parser* head, int64_t expiry) {
  static constexpr const char* kKeepAsIs[] = {"no-cache",    "max-age=0", "max-age=-", "s-maxage=0",      "s-maxage=-",
                                              "no-store",    "private",   "must-revalidate", "proxy-revalidate"};
  char value[100];
  if (!http_parser_GetKey(head, "Cache-Control", value, sizeof value)) return;
  for (const char* word : kKeepAsIs) {
    if (contains_ignore_case(value, word)) return;
  }
  const bool shared = contains_ignore_case(value, "public");
  const int64_t now = edgeserv_mytime();
  const uint64_t left = expiry > now ? static_cast<uint64_t>(expiry - now) : 0;
  const char* name = contains_ignore_case(value, "max-age=")    ? "max-age"
                     : contains_ignore_case(value, "s-maxage=") ? "s-maxage"
                                                                : nullptr;
  if (!name) return;
  char text[64];
  std::snprintf(text, sizeof text, "%s%s=%" PRIu64, shared ? "public, " : "", name, left);
  http_parser_ModifyKey(head, "Cache-Control", text);
}

void rewrite_cache_control_disk(const char* index_record, http_parser* head) {
  rewrite_cache_control(head, static_cast<int64_t>(index_hex(index_record, "ep", 0)));
}

void close_after_hit(int64_t client_sid, http_parser* request) {
  if (wants_close(request)) {
    edgeserv_TryFasterSafeClose(client_sid);
  } else {
    edgeserv_close(client_sid, 6000);
    edgeserv_AnswerDone(client_sid);
  }
}

namespace {

HitResult memory_hit_once(int64_t client_sid, http_parser* request, const char* cache_key, uint8_t kind,
                          bool check_expiry, HitOutputs& out, bool& replaced) {
  Entry e;
  if (!find_entry(cache_key, kind, e)) return HitResult::kNoEntry;
  http_parser* stored = thread_hit().parser;
  http_parser_empty(stored);
  const char* head = thread_hit().head.get();
  http_parser_parse(stored, head, static_cast<int32_t>(std::strlen(head)));
  if (!http_parser_check(stored)) return HitResult::kNotServed;
  http_parser_buildIndex(stored);
  if (check_expiry && !range_request(request) && !fresh_enough(request, cache_key, e)) {
    out.expired = 1;
    out.revalidate = make_conditional(request, stored) ? 1 : 0;
    trace("[HitExpiredMemCache -> %d:%d] %s\r\n", out.expired, out.revalidate, cache_key);
    return HitResult::kNotServed;
  }
  if (not_modified(client_sid, request, stored)) return serve_not_modified(client_sid, request, cache_key, kind, e);
  rewrite_cache_control(stored, e.expire & kLifetimeMask);
  char status[4] = {};
  http_parser_GetStatus(stored, status, sizeof status);
  trace("[Hit%sMemCache: Status -> 200|206|301|302] %s\r\n", kind == kIntelligent ? "Intelligent" : kind_name(kind),
        cache_key);
  uint64_t sent = 0;
  Sent outcome = Sent::kWhole;
  if (const int coding = needs_decoding(request, stored); coding != kNone) {
    static constexpr const char* kCodings[] = {"", "gzip", "deflate", "compress"};
    trace("[Decoding -> %s] %s\r\n", kCodings[coding], cache_key);
    if (!serve_decoded(client_sid, cache_key, request, stored, kind, e.tag, &sent)) return HitResult::kNotServed;
  } else if (!vor::upfetch::speaks_http11(request) && is_chunked(stored)) {
    outcome = send_dechunked(client_sid, request, stored, cache_key, e, &sent);
  } else {
    outcome = send_copy(client_sid, request, stored, cache_key, e, &sent);
  }
  if (outcome == Sent::kReplaced) {
    replaced = true;
    return HitResult::kNotServed;
  }
  count_page_view(client_sid, request, cache_key);
  log_hit(client_sid, request, cache_key, status, sent);
  return outcome == Sent::kWhole ? HitResult::kServed : HitResult::kServedCut;
}

}  // namespace

HitResult memory_hit(int64_t client_sid, http_parser* request, const char* cache_key, uint8_t kind, bool check_expiry,
                     HitOutputs& out) {
  // A copy replaced between its look-up and its first bytes: the new one is looked up once more.
  bool replaced = false;
  const HitResult result = memory_hit_once(client_sid, request, cache_key, kind, check_expiry, out, replaced);
  if (!replaced) return result;
  replaced = false;
  return memory_hit_once(client_sid, request, cache_key, kind, check_expiry, out, replaced);
}

// ---- the disk hit ---------------------------------------------------------------------------

namespace {

// The index record of a disk key in the store of the kind; false when there is none.
bool find_index(uint8_t kind, const std::string& disk_key, char* record) {
  char name[33];
  cu_md5_encode(name, disk_key.c_str());
  std::memset(record, 0, kIndexRecordSize + 1);
  return seams::disk_calls().index_get(kind, name, record);
}

// The disk key: a rewrite entry's answer, else the cache key; false when the entry says skip.
bool disk_key_of(const char* cache_key, http_parser* request, HitOutputs& out, std::string& key) {
  key = cache_key;
  if (rewrite_entry_count() == 0) return true;
  char buffer[kDiskKeyBuffer] = {};
  uint8_t skip = 0;
  if (!call_rewrite_list(cache_key, request, buffer, &skip, nullptr)) return true;
  out.rewritten = 1;
  if (skip) return false;
  key.assign(buffer, strnlen(buffer, sizeof buffer - 1));
  return true;
}

// The record of the disk key, or of the key a hit header names; false when none is found.
bool lookup_record(uint8_t kind, http_parser* request, std::string& key, char* record) {
  if (find_index(kind, key, record)) return true;
  char value[4096];
  for (const char* name : {"Quo-Hit-Diskcache-Rewrite", "Quo-Hit-Request-Url"}) {
    if (http_parser_GetKey(request, name, value, sizeof value) && *value) {
      key = value;
      return find_index(kind, key, record);
    }
  }
  return false;
}

// The cache file's path from the record's disk and folder; empty (record deleted) when unknown.
std::string file_path(uint8_t kind, const std::string& key, const char* record) {
  const std::string name = file_name(key);
  std::string path = record_file_path(kind, name, record);
  if (path.empty()) seams::disk_calls().index_del(kind, name.c_str());
  return path;
}

}  // namespace

HitResult disk_hit(int64_t client_sid, http_parser* request, const char* cache_key, uint8_t cache_kind,
                   bool check_expiry, HitOutputs& out) {
  const uint8_t kind = cache_kind == kIntelligent ? static_cast<uint8_t>(kPublic) : cache_kind;
  std::string key;
  if (!disk_key_of(cache_key, request, out, key)) return HitResult::kNoEntry;
  char record[kIndexRecordSize + 1];
  if (!lookup_record(kind, request, key, record)) return HitResult::kNoEntry;
  // A copy below the smallest size served from disk stays there until cleaned.
  const uint64_t length = index_hex(record, "cl", UINT64_MAX);
  if (length != UINT64_MAX && length < policydb_system_get_MinDiskCacheContentSize()) return HitResult::kNoEntry;
  const int64_t expiry = static_cast<int64_t>(index_hex(record, "ep", 0));
  if (check_expiry && !range_request(request) &&
      !(expiry > edgeserv_mytime() && !request_no_cache(request, cache_key))) {
    out.expired = 1;
    out.revalidate = make_conditional_disk(request, record) ? 1 : 0;
    trace("[HitExpiredDiskCache -> %d:%d] %s\r\n", out.expired, out.revalidate, cache_key);
    return HitResult::kNoEntry;
  }
  const char* title = cache_kind == kIntelligent ? "Inteligent" : kind_name(kind);
  if (not_modified_disk(client_sid, request, record)) {
    trace("[Hit%sDiskCache: Status -> 304] %s\r\n", title, cache_key);
    count_page_view(client_sid, request, cache_key);
    log_hit(client_sid, request, cache_key, "304", 0);
    close_after_hit(client_sid, request);
    return HitResult::kServed;
  }
  trace("[Hit%sDiskCache: Status -> 200|206|301|302] %s\r\n",
        cache_kind == kIntelligent ? "Intelligent" : kind_name(kind), cache_key);
  const std::string path = file_path(kind, key, record);
  if (path.empty()) return HitResult::kNoEntry;
  uint64_t total = 0;
  uint64_t from = 0;
  uint64_t to = 0;
  const bool ranged = disk_range(request, record, &total, &from, &to);
  if (!seams::disk_calls().serve(client_sid, wants_close(request), cache_key, key.c_str(), path.c_str(), record, kind,
                                 ranged ? static_cast<int64_t>(from) : 0, ranged ? static_cast<int64_t>(to) : -1)) {
    return HitResult::kNoEntry;
  }
  // The access-log line follows once the stored head is read.
  count_page_view(client_sid, request, cache_key);
  seams::rtdiskcache_message(client_sid, request, cache_key, path.c_str(), 0);
  return HitResult::kServed;
}

}  // namespace vor::reqgate

using namespace vor::reqgate;

uint8_t reqgate_HitCache_v4(int64_t client_sid, http_parser* request, const char* cache_key, uint8_t cache_kind,
                            uint8_t check_expiry, uint8_t* expired, uint8_t* revalidate, uint8_t* rewritten,
                            uint8_t disk_permitted) {
  if (cache_kind == kNotCacheable || !request || !cache_key) return 0;
  HitOutputs out;
  const HitResult memory = memory_hit(client_sid, request, cache_key, cache_kind, check_expiry != 0, out);
  HitResult result = memory;
  if (memory == HitResult::kServed) {
    close_after_hit(client_sid, request);
  } else if (memory == HitResult::kServedCut) {
    // The client has a head and part of a body: only a close tells it the answer ended.
    edgeserv_close(client_sid, 0);
  } else if (memory == HitResult::kNoEntry && disk_permitted && policydb_system_get_IsDiskCache()) {
    result = disk_hit(client_sid, request, cache_key, cache_kind, check_expiry != 0, out);
  }
  if (expired) *expired = out.expired;
  if (revalidate) *revalidate = out.revalidate;
  if (rewritten) *rewritten = out.rewritten;
  return result == HitResult::kServed || result == HitResult::kServedCut ? 1 : 0;
}

uint8_t reqgate_HitCache_v3(int64_t client_sid, http_parser* request, const char* cache_key, uint8_t cache_kind,
                            uint8_t check_expiry, uint8_t* expired, uint8_t* revalidate, uint8_t* rewritten) {
  return reqgate_HitCache_v4(client_sid, request, cache_key, cache_kind, check_expiry, expired, revalidate, rewritten,
                             1);
}
