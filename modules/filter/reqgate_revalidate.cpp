// Conditional answers and revalidation: a client's If-None-Match / If-Modified-Since answered
// "304 Not Modified" from a stored copy, the validators of an expired copy added to its upstream
// request, and the upstream's 304 renewing that copy.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <strings.h>

#include "cu_date.h"
#include "cu_md5.h"
#include "policydb.h"
#include "reqgate_internal.h"
#include "seams.h"

namespace vor::reqgate {

namespace {

constexpr int32_t kValidator = 100;
constexpr int32_t kModifiedOnRecord = 32;
constexpr int32_t kEtagOnRecord = 100;

// A header value when it fits size - 1 characters: a longer one is never compared by its prefix.
bool read_whole(http_parser* head, const char* name, char* buffer, int32_t size) {
  char value[4096];
  if (!http_parser_GetKey(head, name, value, sizeof value)) return false;
  if (std::strlen(value) >= static_cast<size_t>(size)) return false;
  std::strcpy(buffer, value);
  return true;
}

struct Validators {
  bool has_ims = false;
  bool has_inm = false;
  char ims[kValidator] = {};
  char inm[kValidator] = {};
};

// The client's validators; a present one that does not fit stays present but matches nothing.
Validators client_validators(http_parser* request) {
  Validators v;
  v.has_ims = http_parser_IsKey(request, "If-Modified-Since");
  v.has_inm = http_parser_IsKey(request, "If-None-Match");
  if (v.has_ims && !read_whole(request, "If-Modified-Since", v.ims, sizeof v.ims)) v.ims[0] = '\0';
  if (v.has_inm && !read_whole(request, "If-None-Match", v.inm, sizeof v.inm)) v.inm[0] = '\0';
  return v;
}

// Two dates name one moment: the same text, or texts that both parse to one time.
bool same_moment(const char* a, const char* b) {
  if (!*a || !*b) return false;
  if (strcasecmp(a, b) == 0) return true;
  const int64_t ta = cu_DateParse(a);
  return ta != -1 && ta == cu_DateParse(b);
}

void add_line(std::string& head, const char* name, const char* value) {
  head += name;
  head += ": ";
  head += value;
  head += "\r\n";
}

// The start of every 304 head. It has no Content-Length: a cache below us would take 0 for the
// length of the copy it holds.
std::string head_start(http_parser* request) {
  std::string head = "HTTP/1.1 304 Not Modified\r\nAccept-Ranges: bytes\r\n";
  head += wants_close(request) ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
  return head;
}

void add_date(std::string& head) {
  char date[32];
  if (cu_GetGMTString2(edgeserv_mytime(), date, sizeof date)) add_line(head, "Date", date);
}

void add_validators(std::string& head, const Validators& v, http_parser* request) {
  char value[kValidator];
  if (v.has_ims && http_parser_GetKey(request, "If-Modified-Since", value, sizeof value)) {
    add_line(head, "Last-Modified", value);
  }
  if (v.has_inm && http_parser_GetKey(request, "If-None-Match", value, sizeof value)) add_line(head, "Etag", value);
}

void add_tail(std::string& head) {
  const char* token = edgeserv_XFlag();
  add_line(head, "X-Via", token ? token : "");
  if (policydb_system_get_AddXCacheToHeader()) head += "X-Cache: HIT\r\n";
  head += "\r\n";
}

// Parses the head; when complete, hands it to the head hook and writes it unless refused.
bool send_not_modified(int64_t client_sid, http_parser* request, const std::string& text) {
  http_parser* head = http_parser_make();
  if (!head) return false;
  http_parser_parse(head, text.data(), static_cast<int32_t>(text.size()));
  const bool complete = http_parser_check(head);
  if (complete) {
    http_parser_buildIndex(head);
    const ResponseHooks hooks = response_hooks();
    if (!hooks.head || hooks.head(client_sid, request, 0, head, 1)) {
      edgeserv_WriteJitter(client_sid, http_parser_GetStr(head), http_parser_GetLen(head));
    }
  }
  http_parser_free(head);
  return complete;
}

bool stored_copy_matches(const Validators& v, http_parser* stored) {
  char value[kValidator];
  if (v.has_inm && (!read_whole(stored, "Etag", value, sizeof value) || !*v.inm || std::strcmp(value, v.inm) != 0)) {
    return false;
  }
  return !v.has_ims || (read_whole(stored, "Last-Modified", value, sizeof value) && same_moment(v.ims, value));
}

bool record_matches(const Validators& v, const char* record) {
  char value[kEtagOnRecord];
  bool tag_matched = false;
  if (v.has_inm && index_value(record, "et", value, sizeof value)) {
    if (!*v.inm || std::strcmp(value, v.inm) != 0) return false;
    tag_matched = true;
  }
  if (!v.has_ims) return tag_matched;
  char modified[kModifiedOnRecord];
  if (!index_value(record, "lm", modified, sizeof modified) || !*v.ims) return false;
  const int64_t asked = cu_DateParse(v.ims);
  return asked != -1 && asked == static_cast<int64_t>(std::strtoull(modified, nullptr, 16));
}

// The upstream connection may stay open for a follow-up request (the copy gone at the 304). A
// client that said "close" keeps its word: the answer and the connection end as it asked.
void keep_upstream_open(http_parser* request) {
  if (!http_parser_IsKey(request, "Connection")) http_parser_InsertKey(request, "Connection", "keep-alive");
}

bool upstream_status_is_304(http_parser* response) { return status_code(response) == 304; }

}  // namespace

bool not_modified(int64_t client_sid, http_parser* request, http_parser* stored) {
  const Validators v = client_validators(request);
  if ((!v.has_ims && !v.has_inm) || !stored_copy_matches(v, stored)) return false;
  std::string head = head_start(request);
  char value[4096];
  if (http_parser_GetKey(stored, "Server", value, sizeof value)) add_line(head, "Server", value);
  add_date(head);
  add_validators(head, v, request);
  if (http_parser_GetKey(stored, "Content-Location", value, sizeof value)) add_line(head, "Content-Location", value);
  if (http_parser_GetKey(stored, "Content-Type", value, sizeof value)) add_line(head, "Content-Type", value);
  add_tail(head);
  return send_not_modified(client_sid, request, head);
}

bool not_modified_disk(int64_t client_sid, http_parser* request, const char* index_record) {
  const Validators v = client_validators(request);
  if ((!v.has_ims && !v.has_inm) || !record_matches(v, index_record)) return false;
  std::string head = head_start(request);
  add_date(head);
  add_validators(head, v, request);
  add_tail(head);
  return send_not_modified(client_sid, request, head);
}

bool make_conditional(http_parser* request, http_parser* stored) {
  if (http_parser_IsKey(request, "If-Modified-Since") || http_parser_IsKey(request, "If-None-Match")) return false;
  char modified[kModifiedOnRecord];
  char tag[kValidator];
  const bool has_modified = read_whole(stored, "Last-Modified", modified, sizeof modified);
  const bool has_tag = read_whole(stored, "Etag", tag, sizeof tag);
  if (has_modified) http_parser_ModifyKey(request, "If-Modified-Since", modified);
  if (has_tag) http_parser_ModifyKey(request, "If-None-Match", tag);
  if (!has_modified && !has_tag) return false;
  keep_upstream_open(request);
  return true;
}

bool make_conditional_disk(http_parser* request, const char* index_record) {
  if (http_parser_IsKey(request, "If-Modified-Since") || http_parser_IsKey(request, "If-None-Match")) return false;
  char modified[kModifiedOnRecord];
  char tag[kEtagOnRecord];
  char date[32];
  const bool has_modified = index_value(index_record, "lm", modified, sizeof modified) &&
                            cu_GetGMTString2(static_cast<int64_t>(std::strtoull(modified, nullptr, 16)), date,
                                             sizeof date);
  const bool has_tag = index_value(index_record, "et", tag, sizeof tag) && *tag;
  if (has_modified) http_parser_ModifyKey(request, "If-Modified-Since", date);
  if (has_tag) http_parser_ModifyKey(request, "If-None-Match", tag);
  if (!has_modified && !has_tag) return false;
  keep_upstream_open(request);
  return true;
}

bool restamp_disk_expiry(FilterRecord& record, const char* cache_key, uint8_t kind, int64_t expiry) {
  std::string disk_key = record.decision.disk_key;
  if (disk_key.empty()) {
    disk_key = cache_key;
    char buffer[4197] = {};
    uint8_t skip = 0;
    if (rewrite_entry_count() > 0 && call_rewrite_list(cache_key, nullptr, buffer, &skip, nullptr) && !skip) {
      disk_key.assign(buffer, strnlen(buffer, sizeof buffer - 1));
    }
  }
  const uint8_t store = kind == kIntelligent ? static_cast<uint8_t>(kPublic) : kind;
  char name[33];
  cu_md5_encode(name, disk_key.c_str());
  char text[kIndexRecordSize + 1] = {};
  if (!seams::disk_calls().index_get(store, name, text)) return false;
  index_drop_ep(text);
  char hex[24];
  std::snprintf(hex, sizeof hex, "%" PRIx64, static_cast<uint64_t>(expiry));
  if (!index_append(text, "ep", hex)) return false;
  seams::disk_calls().index_put(store, name, text);
  return true;
}

bool upstream_not_modified(FilterRecord& record, reqgate_writer upstream_writer) {
  if (!upstream_status_is_304(record.response)) return false;
  CacheDecision& d = record.decision;
  const char* key = d.cache_key.c_str();
  const int64_t expiry = edgeserv_mytime() + (d.lifetime & kLifetimeMask);
  const MemoryTable* table = d.cache_kind >= kPublic ? memory_table(d.cache_kind) : nullptr;
  bool renewed = false;
  if (d.lifetime != 0) {
    if (!table) return false;
    renewed = table->refresh_expire(key, static_cast<uint32_t>(expiry)) != 0;
  }
  const bool disk_on = policydb_system_get_IsDiskCache() && !d.no_disk;
  if (disk_on && d.lifetime != 0 && !renewed) restamp_disk_expiry(record, key, d.cache_kind, expiry);
  if (!d.revalidating) return false;  // the client's own conditional: its 304 goes on to it
  record.expired = 0;
  d.revalidating = 0;
  http_parser_DelKey(record.request, "If-Modified-Since");
  http_parser_DelKey(record.request, "If-None-Match");
  HitOutputs ignored;
  HitResult hit = memory_hit(record.client_sid, record.request, key, d.cache_kind, false, ignored);
  if (hit == HitResult::kNoEntry && disk_on) {
    hit = disk_hit(record.client_sid, record.request, key, d.cache_kind, false, ignored);
  }
  if (hit == HitResult::kServed || hit == HitResult::kServedCut) {
    // Off the client's read path a faster close would wait for its next bytes: close behind
    // the answer instead.
    if (hit == HitResult::kServed && !wants_close(record.request)) {
      edgeserv_close(record.client_sid, 6000);
      edgeserv_AnswerDone(record.client_sid);
    } else {
      edgeserv_close(record.client_sid, 0);
    }
    seams::rtp_hit(record.client_sid, d.cache_kind == kMember ? 1 : 0, record.request);
    return true;
  }
  // The copy went away meanwhile: the request goes out again, now unconditional, and the next
  // answer arrives on this record as a fresh response.
  http_parser_empty(record.response);
  cu_xjitter_empty(&record.body);
  record.integrity = IntegrityState{};  // incomplete until the new head
  if (upstream_writer) {
    upstream_writer(record.response_sid, http_parser_GetStr(record.request),
                    static_cast<uint32_t>(http_parser_GetLen(record.request)));
  }
  seams::rtp_resend(record.client_sid, record.request);
  return true;
}

}  // namespace vor::reqgate
