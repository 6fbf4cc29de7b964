// Response capture: the record of each proxied response, its heads parsed and judged, head and
// body streamed to the client through the pipe's writer and copied to the caches, purges asked
// for by the upstream, and the end of the upstream connection.
#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <strings.h>

#include "cu_sem.h"
#include "cu_util.h"
#include "policydb.h"
#include "reqgate.h"
#include "reqgate_internal.h"
#include "reqgate_session.h"
#include "seams.h"
#include "upfetch_request.h"
#include "vor_bigbox.h"
#include "vor_box.h"

namespace vor::reqgate {

namespace {

constexpr char kConnectHead[] = "HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\n\r\n";
// The head put in front of bytes that do not start with a readable response head, so that they
// pass to the client unchanged and read to the close.
constexpr char kPassThroughHead[] = "HTTP/1.1 200 OK\r\nConnection:close\r\n\r\n";
constexpr uint32_t kTenYears = 315360000;
constexpr int32_t kKeptHeadMax = 16384;
constexpr size_t kRewriteKeyBuffer = 4197;
constexpr const char* kInternalHitHeaders[] = {"Quo-Hit-Request-Url", "Quo-Hit-Diskcache-Rewrite",
                                               "Quo-Hit-Diskcache-Range"};

// ---- threads -----------------------------------------------------------------------------

// The thread of the slave box that owns the client; 0 when no bigbox serves it.
int64_t owner_thread_of(int64_t client_sid) {
  edgeserv_ctx* ctx = edge_context();
  vor_bigbox* bb = ctx && ctx->daemon ? ctx->daemon->bigbox : nullptr;
  vor_box* box = bb ? vor_bigbox_GetSlaveBox(bb, client_sid) : nullptr;
  return box ? vorx_box_GetThreadId(box) : 0;
}

bool on_owner_thread(int64_t client_sid) {
  const int64_t owner = owner_thread_of(client_sid);
  return owner == 0 || owner == static_cast<int64_t>(cu_GetThisThreadId());
}

// Every call for a record runs on its client's thread; debug builds check it.
void check_thread([[maybe_unused]] const FilterRecord& record) { assert(on_owner_thread(record.client_sid)); }

// ---- purges ------------------------------------------------------------------------------

// Purge marks: what a record's end does once its copy is stored.
constexpr uint8_t kPurgeByRule = 1;      // the purge of an X-RefreshCacheURL value
constexpr uint8_t kInvalidateAtEnd = 2;  // the exact drop of its own URL

struct MarkWalk {
  xcache_rules* rule;
};

void mark_if_matching(FilterRecord& record, void* arg) {
  auto* walk = static_cast<MarkWalk*>(arg);
  if (record.shared_kind.load(std::memory_order_relaxed) == kNotCacheable) return;
  if (record.purge_mark.load(std::memory_order_relaxed)) return;
  if (xcache_rules_ishit(walk->rule, record.decision.cache_key.c_str())) {
    record.purge_mark.store(kPurgeByRule, std::memory_order_relaxed);
  }
}

void mark_same_url(FilterRecord& record, void* arg) {
  const auto* unsafe = static_cast<const FilterRecord*>(arg);
  if (&record == unsafe || record.shared_kind.load(std::memory_order_relaxed) == kNotCacheable ||
      record.decision.cache_key != unsafe->decision.cache_key) {
    return;
  }
  uint8_t clear = 0;
  record.purge_mark.compare_exchange_strong(clear, kInvalidateAtEnd, std::memory_order_relaxed);
}

// A successful unsafe request changed its URL: every stored copy goes, and an answer of that URL
// still in flight (fetched before the change, maybe) goes once it is stored. Marks first, so a
// copy stored between the two steps is dropped by one or the other.
void invalidate_after_unsafe(FilterRecord& record) {
  if (!invalidates(record.request, record.response)) return;
  for_each_record(mark_same_url, &record);
  invalidate_url(record.decision.cache_key.c_str());
}

// Marks the in-flight responses the rule matches, so their copies are purged once stored.
void mark_in_flight(const char* text, uint8_t icase, uint8_t rule_type) {
  xcache_rules* rule = xcache_rules_make(text, icase, rule_type);
  if (!rule) return;
  MarkWalk walk{rule};
  for_each_record(mark_if_matching, &walk);
  xcache_rules_free(rule);
}

void purge_url(const char* text) {
  const RefreshSettings s = refresh_settings();
  if (reqgate_url_purge_fn hook = url_purge_hook()) hook(text, s.icase, s.rules);
  if (policydb_system_get_IsDiskCache()) reqgate_CleanDiskCache(text);
  seams::clean_rules_caches(text, s.icase, s.rules);
}

// One purge header: marks matching in-flight responses and purges the URL it names.
void purge_by_header(http_parser* response, const char* name) {
  char value[4096];
  if (!http_parser_GetKey(response, name, value, sizeof value)) return;
  std::string_view url(value);
  if (starts_ignore_case(url, "http://")) url.remove_prefix(7);
  if (url.empty()) return;
  const std::string text(url);
  mark_in_flight(text.c_str(), refresh_settings().icase, refresh_settings().rules);
  purge_url(text.c_str());
}

void refresh_cache_url(http_parser* response) {
  if (!http_parser_IsKey(response, "X-RefreshCacheURL")) return;
  purge_by_header(response, "X-RefreshCacheURL");
  for (int digit = 0; digit <= 9; ++digit) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%d%s", "X-", digit, "RefreshCacheURL");
    purge_by_header(response, name);
  }
}

// ---- the new record ----------------------------------------------------------------------

void remove_internal_hit_headers(http_parser* request) {
  for (const char* name : kInternalHitHeaders) {
    for (int i = 0; i < 100 && http_parser_IsKey(request, name); ++i) http_parser_DelKey(request, name);
  }
}

// A plug-in may give the response another key on disk, or keep it off the disk.
void apply_disk_rewrite(FilterRecord& record, http_parser* client_request) {
  char key_buffer[kRewriteKeyBuffer] = {};
  uint8_t skip = 0;
  uint32_t lifetime = 0;
  CacheDecision& d = record.decision;
  if (!call_rewrite_list(d.cache_key.c_str(), nullptr, key_buffer, &skip, &lifetime)) return;
  if (skip) {
    d.no_disk = 1;
  } else {
    d.no_disk = 0;
    d.disk_key.assign(key_buffer, strnlen(key_buffer, sizeof key_buffer - 1));
    if (d.cache_kind == kIntelligent) {
      set_cache_kind(record, kPublic);
      d.lifetime = lifetime != 0 ? lifetime : kTenYears;
    }
  }
  if (settings().diskcache_rewrite_ext) remove_internal_hit_headers(client_request);
}

bool is_connect(http_parser* request) {
  char method[8];
  return http_parser_GetMothod(request, method) && std::strcmp(method, "CONNECT") == 0;
}

// The client was answered "200" by the request handler: every upstream byte is tunnel body.
void connect_head(FilterRecord& record) {
  http_parser_parse(record.response, kConnectHead, static_cast<int32_t>(sizeof kConnectHead - 1));
  http_parser_buildIndex(record.response);
}

// ---- heads -------------------------------------------------------------------------------

void add_via(http_parser* response) {
  const char* token = edgeserv_XFlag();
  if (!token || !*token) return;
  char value[1025];
  if (http_parser_GetKey(response, "X-Via", value, sizeof value) && std::strlen(value) < sizeof value - 1) {
    const std::string joined = std::string(value) + ", " + token;
    http_parser_ModifyKey(response, "X-Via", joined.c_str());
  } else {
    http_parser_InsertKey(response, "X-Via", token);
  }
}

void print_head(const FilterRecord& record) {
  std::lock_guard<std::mutex> hold(filter_lock());
  std::printf("[ZazUdaza -> Filter -> Response -> HTTP] %s\r\n", record.decision.cache_key.c_str());
  std::printf("%s", http_parser_GetStr(record.response));
  std::fflush(stdout);
}

// All later bytes of the client flow to the upstream: its request becomes an endless body.
void switch_client_protocols(int64_t client_sid) {
  edgeserv_ctx* ctx = edge_context();
  if (!ctx) return;
  cu_sem_lock(ctx->lock);
  if (client_rec* client = edgeserv_GetClient_BySid(client_sid)) {
    client->body_expected = EDGESERV_SWITCHED_BODY;
    client->state = EDGESERV_STATE_BODY;
  }
  cu_sem_unlock(ctx->lock);
}

bool is_protocol_upgrade(http_parser* response) {
  char upgrade[32];
  if (!http_parser_GetKey(response, "Upgrade", upgrade, sizeof upgrade)) return false;
  return strcasecmp(upgrade, "websocket") == 0 || strcasecmp(upgrade, "h2") == 0 || strcasecmp(upgrade, "h2c") == 0;
}

enum class HeadKind : uint8_t { kFinal, kInterim, kSwitched };

HeadKind classify_head(FilterRecord& record) {
  char status[100];
  if (!http_parser_GetStatus(record.response, status, sizeof status)) return HeadKind::kFinal;
  if (std::strncmp(status, "101", 3) == 0 && is_protocol_upgrade(record.response)) {
    trace("[Filter -> Response: Status -> %s] %s\r\n", status, record.decision.cache_key.c_str());
    switch_client_protocols(record.client_sid);
    return HeadKind::kSwitched;
  }
  if (std::strncmp(status, "10", 2) != 0) return HeadKind::kFinal;
  trace("[Filter -> Response: Status -> %s] %s\r\n", status, record.decision.cache_key.c_str());
  // A session action's interim head may set the session; it is still only an interim head.
  if (record.decision.cache_kind == kSessionAction) learn_sessions(record.response, record.decision.cache_key.c_str());
  return HeadKind::kInterim;
}

bool disk_size_ok(const FilterRecord& record, uint64_t length) {
  if (length < policydb_system_get_MinDiskCacheContentSize()) return false;
  const uint64_t active = policydb_system_get_MinSizeForActivePageByDiskCache();
  if (length >= active) return true;
  if (http_parser_IsKey(record.response, "Content-Encoding") && length * 4 >= active) return true;
  return record.decision.cache_key.find('?') == std::string::npos;
}

enum class Verdict : uint8_t { kStream, kAnswered };

// Sets the framing and judges a final head; kAnswered when revalidation took the call over.
Verdict judge_final_head(FilterRecord& record, reqgate_writer upstream_writer, uint32_t& length) {
  const char* key = record.decision.cache_key.c_str();
  const bool fit = integrity_init(record.integrity, record.request, record.response, key);
  if (status_code(record.response) == 101) record.integrity.mode = kToClose;
  if (!fit) set_cache_kind(record, kNotCacheable);
  if (record.decision.cache_kind == kNotCacheable) return Verdict::kStream;
  const bool cacheable = judge_response(record.decision, record.request, record.response, &length);
  // A 304 to the validators we added answers for the stored copy, never for the client, who sent
  // none: whatever its fields say of sharing, the copy serves this request (and goes after it).
  const bool own_revalidation = record.decision.revalidating && status_code(record.response) == 304;
  if (cacheable) set_cache_kind(record, record.decision.cache_kind);
  if (record.expired && (cacheable || own_revalidation) && upstream_not_modified(record, upstream_writer)) {
    return Verdict::kAnswered;
  }
  if (!cacheable) {
    set_cache_kind(record, kNotCacheable);
    return Verdict::kStream;
  }
  if (record.decision.keep_memory_copy && compressible(record.response)) {
    http_parser_DelKey(record.response, "Accept-Ranges");
  }
  return Verdict::kStream;
}

void strip_set_cookies(http_parser* response) {
  for (int i = 0; i < 100 && http_parser_IsKey(response, "Set-Cookie"); ++i) http_parser_DelKey(response, "Set-Cookie");
}

// Begins the cache file of a 200 response bound for a cache disk.
void set_up_disk(FilterRecord& record, uint32_t length) {
  const CacheDecision& d = record.decision;
  const bool kind_on_disk = d.cache_kind >= kPublic && d.cache_kind <= kVisitor;
  if (!kind_on_disk || !policydb_system_get_IsDiskCache() || d.no_disk || status_code(record.response) != 200) return;
  bool hdd_first = false;
  if (content_length(record.response).field == LengthField::kValid) {
    if (!disk_size_ok(record, length)) return;
    if (d.lifetime == 0 && length <= policydb_system_get_MaxCacheBlockSize()) return;
    hdd_first = length > settings().max_ssd_cache_file_size;
  } else if (!policydb_system_get_EnableDiskCacheForChunkedPage() || d.lifetime == 0) {
    return;
  }
  uint32_t disk = 0;
  std::string disk_path;
  if (!choose_disk(hdd_first, &disk, &disk_path)) return;
  const std::string& key = d.disk_key.empty() ? d.cache_key : d.disk_key;
  record.cache_file_path = cache_path(d.cache_kind, disk_path, key);
  if (record.cache_file_path.empty()) return;
  if (d.strip_cookies) strip_set_cookies(record.response);
  const WriterStart start{d.cache_kind, d.cache_source == kForced, d.lifetime, disk, key, record.cache_file_path};
  record.writing = writer_begin(start, record.request, record.response) ? 1 : 0;
  if (!record.writing) return;
  const char* kind_name = d.cache_kind == kMember ? "Member" : d.cache_kind == kVisitor ? "Visitor" : "Public";
  const char source = "HIF"[std::min<int>(d.cache_source, kForced)];
  trace("[Add%sDiskCache: %c -> %us] %s -> %s\r\n", kind_name, source, d.lifetime & 0x1FFFFFF, d.cache_key.c_str(),
        record.cache_file_path.c_str());
  seams::rtdiskcache_message(record.client_sid, record.request, d.cache_key.c_str(), record.cache_file_path.c_str(),
                             10);
}

// A client that does not speak HTTP/1.1 reads no chunked framing: its copy of the head loses
// Transfer-Encoding and says whether the connection stays. Without a clone the head goes as is.
void write_old_client_head(FilterRecord& record, reqgate_writer client_writer) {
  http_parser* head = http_parser_clone(record.response);
  if (!head) {
    client_writer(record.client_sid, http_parser_GetStr(record.response),
                  static_cast<uint32_t>(http_parser_GetLen(record.response)));
    return;
  }
  http_parser_buildIndex(head);
  while (http_parser_IsKey(head, "Transfer-Encoding")) http_parser_DelKey(head, "Transfer-Encoding");
  const bool close = record.dechunk_for_client || record.integrity.mode == kToClose || wants_close(record.request);
  http_parser_ModifyKey(head, "Connection", close ? "close" : "keep-alive");
  client_writer(record.client_sid, http_parser_GetStr(head), static_cast<uint32_t>(http_parser_GetLen(head)));
  http_parser_free(head);
}

// Sends the head to the client (unless the head hook keeps it back) and sets the disk up.
void send_head(FilterRecord& record, reqgate_writer client_writer, uint32_t length) {
  const ResponseHooks hooks = response_hooks();
  if (hooks.head && !hooks.head(record.client_sid, record.request, record.response_sid, record.response, 0)) return;
  if (!client_writer) return;
  if (vor::upfetch::speaks_http11(record.request)) {
    client_writer(record.client_sid, http_parser_GetStr(record.response),
                  static_cast<uint32_t>(http_parser_GetLen(record.response)));
  } else {
    write_old_client_head(record, client_writer);
  }
  set_up_disk(record, length);
}

// A complete head: judged, sent and taken out of the parser when interim. kAnswered when the
// rest of the call is revalidation's.
Verdict take_head(FilterRecord& record, reqgate_writer client_writer, reqgate_writer upstream_writer,
                  HeadKind& kind) {
  http_parser_buildIndex(record.response);
  vor::upfetch::drop_hop_by_hop(record.response, status_code(record.response) == 101);
  add_via(record.response);
  if (policydb_system_get_AddXCacheToHeader()) http_parser_ModifyKey(record.response, "X-Cache", "MISS");
  if (settings().debug_http) print_head(record);
  kind = classify_head(record);
  uint32_t length = 0;
  if (kind == HeadKind::kSwitched) {
    set_cache_kind(record, kNotCacheable);
  } else if (kind == HeadKind::kInterim) {
    if (record.decision.cache_kind != kSessionAction) set_cache_kind(record, kNotCacheable);
  } else if (judge_final_head(record, upstream_writer, length) == Verdict::kAnswered) {
    return Verdict::kAnswered;
  } else {
    invalidate_after_unsafe(record);
  }
  seams::rtp_message(record.client_sid, record.request);
  if (policydb_system_get_IsUsedPageViewStat() && !(record.spider && policydb_system_get_UnenableStatBySpider())) {
    seams::stat_is_hit(record.client_sid, record.decision.cache_key.c_str());
  }
  if (kind == HeadKind::kFinal && !vor::upfetch::speaks_http11(record.request)) {
    record.dechunk_for_client = record.integrity.mode == kChunked;
  }
  // An interim head means nothing to a client that does not speak HTTP/1.1.
  if (kind != HeadKind::kInterim || vor::upfetch::speaks_http11(record.request)) {
    send_head(record, client_writer, kind == HeadKind::kFinal ? length : 0);
  }
  refresh_cache_url(record.response);
  if (kind == HeadKind::kInterim) http_parser_empty(record.response);
  return Verdict::kStream;
}

// ---- bodies ------------------------------------------------------------------------------

void copy_to_memory(FilterRecord& record, const Chunk& chunk, bool complete) {
  if (!record.decision.keep_memory_copy) return;
  const uint64_t after = cu_xjitter_GetLen(&record.body) + static_cast<uint64_t>(chunk.len);
  if (after > policydb_system_get_MaxCacheBlockSize()) {
    trace("[MemCacheBlockSize: TooLarge] %s\r\n", record.decision.cache_key.c_str());
    cu_xjitter_empty(&record.body);
    record.decision.keep_memory_copy = 0;
    return;
  }
  if (append_body(record, chunk.data, static_cast<uint64_t>(chunk.len)) && complete) store_memory_copy(record);
}

// A client that said "close" (or, not speaking HTTP/1.1, did not say "keep-alive") gets the
// close behind its final answer, whatever the upstream does with its own connection; so does a
// client whose answer the close ends. Any other connection goes on to its next request.
void close_if_asked(const FilterRecord& record) {
  char value[32];
  const bool named = http_parser_GetKey(record.request, "Connection", value, sizeof value) != nullptr;
  const bool asked = vor::upfetch::speaks_http11(record.request) ? named && contains_ignore_case(value, "close")
                                                                 : wants_close(record.request);
  if (asked || record.dechunk_for_client) {
    edgeserv_close(record.client_sid, 0);
  } else {
    edgeserv_AnswerDone(record.client_sid);
  }
}

// Body bytes to the client: the chunk data alone when its framing is not for this client.
void write_body(FilterRecord& record, reqgate_writer client_writer, const char* data, int32_t len) {
  if (!record.dechunk_for_client) {
    client_writer(record.client_sid, data, static_cast<uint32_t>(len));
    return;
  }
  std::string plain;
  record.client_payload.feed(data, static_cast<size_t>(len), plain);
  if (!plain.empty()) client_writer(record.client_sid, plain.data(), static_cast<uint32_t>(plain.size()));
}

// The body is whole: the record ends, and a purge asked for while it was in flight follows.
void finish_response(FilterRecord& record) {
  close_if_asked(record);
  std::unique_ptr<FilterRecord> owned(take_by_response(record.response_sid));
  if (!owned) return;
  apply_purge_mark(*owned);
  access_log_miss(*owned);
}

void take_body(FilterRecord& record, const char* data, uint32_t len, reqgate_writer client_writer) {
  // Bytes past the body's end belong to no response of this client: they are dropped.
  const auto own = static_cast<int32_t>(integrity_feed(record.integrity, data, len));
  record.bytes_received += static_cast<uint32_t>(own);
  const bool complete = integrity_complete(record.integrity);
  char* const original = const_cast<char*>(data);
  Chunk chunk{original, own};
  run_body_hooks(record.client_sid, record.request, record.response_sid, record.response, 0, complete, chunk);
  if (chunk.len >= 1) {
    if (record.decision.cache_kind != kNotCacheable) {
      if (record.writing) {
        writer_append(record.cache_file_path.c_str(), chunk.data, chunk.len);
        if (complete) end_cache_file(record);
      }
      copy_to_memory(record, chunk, complete);
    }
    if (chunk.send && client_writer) write_body(record, client_writer, chunk.data, chunk.len);
    if (complete) finish_response(record);
  } else if (complete && own == 0 && !record.bodiless_done) {
    // A body-less answer (HEAD, 304, a zero length) ends with its head: the close rule runs once.
    record.bodiless_done = true;
    close_if_asked(record);
  }
  release_chunk(chunk, original);
}

// The bytes do not start with a readable head: they reach the client unchanged, uncached.
bool pass_through(FilterRecord& record, const char* rest, uint32_t rest_len, reqgate_writer client_writer,
                  reqgate_writer upstream_writer) {
  trace("[Response: HttpHeaderError] %s\r\n", record.decision.cache_key.c_str());
  set_cache_kind(record, kNotCacheable);
  const int32_t kept_len = std::min(http_parser_GetLen(record.response), kKeptHeadMax);
  const std::string kept(http_parser_GetStr(record.response), static_cast<size_t>(kept_len));
  http_parser_empty(record.response);
  const int64_t sid = record.response_sid;
  if (!reqgate_ResponseInput_v3(sid, kPassThroughHead, sizeof kPassThroughHead - 1, nullptr, upstream_writer)) {
    return false;
  }
  FilterRecord* again = record_by_response(sid);
  if (!again || !http_parser_check(again->response)) return false;
  reqgate_ResponseInput_v3(sid, kept.data(), static_cast<uint32_t>(kept.size()), client_writer, upstream_writer);
  if (rest_len > 0) reqgate_ResponseInput_v3(sid, rest, rest_len, client_writer, upstream_writer);
  return true;
}

bool has_status(http_parser* response) {
  char status[49];
  return http_parser_GetStatus(response, status, sizeof status) != nullptr;
}

// An incomplete head that can no longer become one: no status line in its first bytes, or the
// parser stopped before the end of the input.
bool unreadable_head(http_parser* response, int32_t used, uint32_t len) {
  if (used < static_cast<int32_t>(len)) return true;
  return http_parser_GetLen(response) > 12 && !has_status(response);
}

bool response_input(FilterRecord& record, const char* data, uint32_t len, reqgate_writer client_writer,
                    reqgate_writer upstream_writer) {
  while (!http_parser_check(record.response)) {
    if (len == 0) return true;
    const int32_t used = http_parser_parse(record.response, data, static_cast<int32_t>(len));
    const bool complete = http_parser_check(record.response);
    // A blank line after bytes that are no status line ends no head either.
    if (complete ? !has_status(record.response) : unreadable_head(record.response, used, len)) {
      return pass_through(record, data + used, len - static_cast<uint32_t>(used), client_writer, upstream_writer);
    }
    if (!complete) return true;
    data += used;
    len -= static_cast<uint32_t>(used);
    HeadKind kind = HeadKind::kFinal;
    if (take_head(record, client_writer, upstream_writer, kind) == Verdict::kAnswered) return true;
    if (kind != HeadKind::kInterim) break;
  }
  take_body(record, data, len, client_writer);
  return true;
}

// The last word of a body hook on a close-delimited body; its data go out before the close.
void last_hook_call(FilterRecord& record) {
  if (record.decision.cache_source == kForced) final_body_check(record.integrity, record.response, &record.body);
  const ResponseHooks hooks = response_hooks();
  if (record.integrity.mode != kToClose || (!hooks.ext_body && !hooks.body)) return;
  char empty[1] = {0};
  Chunk chunk{empty, 0};
  run_body_hooks(record.client_sid, record.request, record.response_sid, record.response, 0, true, chunk);
  if (chunk.send && chunk.len > 0) {
    edgeserv_WriteJitter(record.client_sid, chunk.data, chunk.len);
    // The write took the place of the close the pipe had queued: queue it again.
    edgeserv_close(record.client_sid, 0);
  }
  release_chunk(chunk, empty);
}

}  // namespace

void run_body_hooks(int64_t client_sid, http_parser* request, int64_t response_sid, http_parser* response,
                    uint8_t from_cache, bool is_last, Chunk& chunk) {
  const ResponseHooks hooks = response_hooks();
  if (hooks.ext_body) {
    chunk.send = hooks.ext_body(client_sid, request, response_sid, response, from_cache, is_last ? 1 : 0, &chunk.data,
                                &chunk.len, &chunk.free_fn, &chunk.free_arg) != 0;
  } else if (hooks.body) {
    chunk.send = hooks.body(client_sid, request, response_sid, response, from_cache, chunk.data, chunk.len) != 0;
  }
}

void apply_purge_mark(const FilterRecord& record) {
  const uint8_t mark = record.purge_mark.load(std::memory_order_relaxed);
  if (mark == kPurgeByRule) purge_url(record.decision.cache_key.c_str());
  if (mark == kInvalidateAtEnd) invalidate_url(record.decision.cache_key.c_str());
}

void release_chunk(Chunk& chunk, const char* original) {
  if (chunk.free_fn && chunk.data != original) chunk.free_fn(chunk.free_arg, chunk.data);
}

void end_cache_file(FilterRecord& record) {
  // A copy marked for a purge while in flight is never indexed: its index record, written once
  // the file is, would come after the purge and outlive it.
  const bool keep = integrity_complete(record.integrity) && disk_size_ok(record, record.bytes_received) &&
                    record.purge_mark.load(std::memory_order_relaxed) == 0;
  if (keep) {
    writer_finish(record.cache_file_path.c_str());
  } else {
    writer_abort(record.cache_file_path.c_str());
  }
  seams::rtdiskcache_message(record.client_sid, record.request, record.decision.cache_key.c_str(),
                             record.cache_file_path.c_str(), keep ? 11 : 12);
  record.writing = 0;
}

}  // namespace vor::reqgate

using namespace vor::reqgate;

uint8_t reqgate_NewFilter_v4(int64_t client_sid, http_parser* request, int64_t response_sid, const char* cache_key,
                             uint8_t cache_kind, uint8_t icookie, uint32_t lifetime, uint8_t expired,
                             uint8_t revalidate, uint8_t rewritten, uint8_t disk_permitted) {
  if (!cache_key || !request) return 0;
  std::unique_ptr<FilterRecord> record(make_record(client_sid, request, response_sid, cache_key));
  if (!record) return 0;
  CacheDecision& d = record->decision;
  set_cache_kind(*record, cache_kind);
  d.strip_cookies = icookie != 0 ? 1 : 0;
  d.lifetime = lifetime;
  d.revalidating = revalidate;
  d.no_disk = disk_permitted == 0 ? 1 : 0;
  record->expired = expired;
  record->spider = policydb_system_get_UnenableStatBySpider() && is_spider(request) ? 1 : 0;
  if (rewritten && rewrite_entry_count() > 0) apply_disk_rewrite(*record, request);
  if (!on_owner_thread(client_sid)) return 0;
  if (!register_record(record.get())) return 0;
  FilterRecord* registered = record.release();
  if (!connect_by_upstream() && is_connect(request)) connect_head(*registered);
  return 1;
}

uint8_t reqgate_NewFilter_v3(int64_t client_sid, http_parser* request, int64_t response_sid, const char* cache_key,
                             uint8_t cache_kind, uint8_t icookie, uint32_t lifetime, uint8_t expired,
                             uint8_t revalidate, uint8_t rewritten) {
  return reqgate_NewFilter_v4(client_sid, request, response_sid, cache_key, cache_kind, icookie, lifetime, expired,
                              revalidate, rewritten, 1);
}

uint8_t reqgate_ResponseInput_v3(int64_t response_sid, const char* data, uint32_t len, reqgate_writer client_writer,
                                 reqgate_writer upstream_writer) {
  FilterRecord* record = record_by_response(response_sid);
  if (!record) return 1;
  check_thread(*record);
  return response_input(*record, data, len, client_writer, upstream_writer) ? 1 : 0;
}

void reqgate_OnResponseClose(int64_t response_sid) {
  FilterRecord* record = nullptr;
  if (settings().fcache_extension) {
    record = record_by_response(response_sid);
    if (record) {
      check_thread(*record);
      last_hook_call(*record);
    }
  }
  if (!policydb_system_get_IsDiskCache()) return;
  if (!record) record = record_by_response(response_sid);
  if (record && seams::disk_read_pending(record->client_sid)) edgeserv_unclose(record->client_sid);
}

void reqgate_RefreshRequestingURL(const char* text, uint8_t icase, uint8_t rule_type) {
  if (text) mark_in_flight(text, icase, rule_type);
}

uint8_t reqgate_DropResponse(int64_t response_sid) {
  std::unique_ptr<FilterRecord> record(take_by_response(response_sid));
  if (!record) return 0;
  check_thread(*record);
  if (record->writing) writer_abort(record->cache_file_path.c_str());
  return 1;
}
