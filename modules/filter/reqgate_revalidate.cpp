// Conditional answers and revalidation: a client's If-None-Match / If-Modified-Since answered
// "304 Not Modified" from a stored copy, the validators of an expired copy added to its upstream
// request, and the upstream's 304 renewing that copy and updating its stored head.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <strings.h>
#include <sys/types.h>

#include "cu_date.h"
#include "cu_md5.h"
#include "cu_xfile.h"
#include "policydb.h"
#include "reqgate_internal.h"
#include "seams.h"
#include "vor_io.h"

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

// ---- the stored copies after an upstream 304 ----

// Fields a 304 never changes in a stored head: the stored body's framing and coding, the fields
// of one hop, and those no stored head keeps.
constexpr const char* kKeptByStore[] = {"Content-Length", "Transfer-Encoding", "Content-Encoding", "Connection",
                                        "Keep-Alive",     "Proxy-Connection",  "TE",               "Trailer",
                                        "Upgrade",        "Age",               "Via",              "X-Via",
                                        "X-Cache",        "X-Cache-Lookup",    "X-Powered-By"};
constexpr size_t kFieldValue = 16384;  // a stored head is never longer

bool kept_by_store(std::string_view name, bool strip_cookies, bool keep_date) {
  const auto same = [&](std::string_view other) { return name.size() == other.size() && starts_ignore_case(name, other); };
  for (const char* kept : kKeptByStore) {
    if (same(kept)) return true;
  }
  return (strip_cookies && same("Set-Cookie")) || (keep_date && same("Date"));
}

// The distinct field names of a head, in their order.
std::vector<std::string> field_names(http_parser* head) {
  std::vector<std::string> names;
  std::string_view text(http_parser_GetStr(head), static_cast<size_t>(http_parser_GetLen(head)));
  size_t at = text.find("\r\n");
  while (at != std::string_view::npos) {
    at += 2;
    const size_t end = text.find("\r\n", at);
    const std::string_view line = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    const size_t colon = line.find(':');
    if (!line.empty() && line[0] != ' ' && line[0] != '\t' && colon != std::string_view::npos && colon > 0) {
      const std::string_view name = line.substr(0, colon);
      const bool seen = std::any_of(names.begin(), names.end(), [&](const std::string& n) {
        return n.size() == name.size() && starts_ignore_case(n, name);
      });
      if (!seen) names.emplace_back(name);
    }
    at = end;
  }
  return names;
}

// The lifetime an updated head gives: a rule's copy keeps the rule's; any other is judged anew
// from its head. False when the head no longer lets a shared cache keep the copy.
bool updated_lifetime(const FilterRecord& record, http_parser* updated, uint32_t* lifetime) {
  const CacheDecision& d = record.decision;
  if (d.cache_source == kForced) {
    *lifetime = d.lifetime;
    return true;
  }
  CacheDecision again;
  again.cache_key = d.cache_key;
  again.disk_key = d.disk_key;
  again.lifetime = d.lifetime;
  uint32_t length = 0;
  if (!judge_response(again, record.request, updated, &length)) return false;
  *lifetime = again.lifetime;
  return true;
}

// What the copies' update decided: the lifetime of the updated head and whether it may be kept.
struct Update {
  bool judged = false;
  bool keep = true;
  uint32_t lifetime = 0;
};

void judge_once(const FilterRecord& record, http_parser* updated, Update& update) {
  if (update.judged) return;
  update.judged = true;
  update.keep = updated_lifetime(record, updated, &update.lifetime);
}

// Reads the whole memory copy of that version into the record's body queue; false when it is
// gone or does not fit.
bool read_memory_body(FilterRecord& record, const MemoryTable& table, const char* tag) {
  constexpr uint32_t kSlice = 65536;
  std::string slice(kSlice, '\0');
  cu_xjitter_empty(&record.body);
  for (uint32_t from = 0;; from += kSlice) {
    const int32_t n = table.get(record.decision.cache_key.c_str(), tag, nullptr, 0, from, from + kSlice, slice.data());
    if (n < 0 || cu_xjitter_SetData(&record.body, slice.data(), static_cast<uint64_t>(n)) != static_cast<uint64_t>(n)) {
      return false;
    }
    if (static_cast<uint32_t>(n) < kSlice) return true;
  }
}

// The memory copy with the 304's fields in its head; its lifetime judged from that head.
void update_memory_copy(FilterRecord& record, const MemoryTable& table, Update& update) {
  const char* key = record.decision.cache_key.c_str();
  uint32_t expire = 0;
  char tag[17] = {};
  std::string head(kStoredHeadCapacity + 1, '\0');
  if (!table.check(key, &expire, tag) || table.get(key, tag, head.data(), kStoredHeadCapacity, 0, 0, nullptr) < 0) return;
  OwnedHead stored(http_parser_make());
  if (!stored) return;
  http_parser_parse(stored.get(), head.c_str(), static_cast<int32_t>(std::strlen(head.c_str())));
  if (!http_parser_check(stored.get())) return;
  http_parser_buildIndex(stored.get());
  merge_not_modified(stored.get(), record.response, record.decision.strip_cookies != 0, false);
  judge_once(record, stored.get(), update);
  if (!read_memory_body(record, table, tag)) {
    // Another version took its place, or the copy outgrew the queue: it cannot carry the new head.
    cu_xjitter_empty(&record.body);
    if (table.clean) table.clean(key);
    return;
  }
  const uint32_t lifetime = update.keep ? update.lifetime : 0;
  table.set(record.decision.cache_source == kForced ? 1 : 0, key, http_parser_GetStr(stored.get()), &record.body,
            static_cast<uint32_t>(edgeserv_mytime() + (lifetime & kLifetimeMask)), content_class(stored.get()));
}

// The disk key a record's copy was stored under.
std::string disk_key_of(const FilterRecord& record, const char* cache_key) {
  if (!record.decision.disk_key.empty()) return record.decision.disk_key;
  char buffer[4197] = {};
  uint8_t skip = 0;
  if (rewrite_entry_count() > 0 && call_rewrite_list(cache_key, nullptr, buffer, &skip, nullptr) && !skip) {
    return std::string(buffer, strnlen(buffer, sizeof buffer - 1));
  }
  return cache_key;
}

// The stored response head of a cache file (r2 bytes after the r1 of the stored request); empty
// when the file cannot be read now (gone, or being written or deleted).
std::string read_disk_head(const std::string& path, uint64_t r1, uint64_t r2) {
  if (path.empty() || r2 == 0 || r1 + r2 > 65536) return {};
  int32_t error = 0;
  cu_xfile* file = edgeserv_fopen_r(path.c_str(), &error);
  if (!file) return {};
  std::string head(r2, '\0');
  const ssize_t n = vor::io::pread_some(cu_xfile_GetFd(file), head.data(), r2, static_cast<off_t>(r1));
  edgeserv_fclose(path.c_str(), file);
  return n == static_cast<ssize_t>(r2) ? head : std::string();
}

// The disk copy after the 304: kept (its expiry renewed) when the 304 changes no field of its
// head but the Date; otherwise dropped, since the body follows the head in its file. A file that
// cannot be read now keeps its copy expired.
void update_disk_copy(FilterRecord& record, uint8_t kind, Update& update) {
  const uint8_t store = kind == kIntelligent ? static_cast<uint8_t>(kPublic) : kind;
  const char* key = record.decision.cache_key.c_str();
  const std::string name = file_name(disk_key_of(record, key));
  char text[kIndexRecordSize + 1] = {};
  if (!seams::disk_calls().index_get(store, name.c_str(), text)) return;
  const std::string path = record_file_path(store, name, text);
  const std::string head = read_disk_head(path, index_hex(text, "r1", 0), index_hex(text, "r2", 0));
  OwnedHead stored(head.empty() ? nullptr : http_parser_make());
  if (!stored) return;
  http_parser_parse(stored.get(), head.data(), static_cast<int32_t>(head.size()));
  if (!http_parser_check(stored.get())) return;
  http_parser_buildIndex(stored.get());
  const std::string before = http_parser_GetStr(stored.get());
  merge_not_modified(stored.get(), record.response, record.decision.strip_cookies != 0, true);
  const bool changed = before != http_parser_GetStr(stored.get());
  if (!update.judged) {
    merge_not_modified(stored.get(), record.response, false, false);  // the 304's Date counts
    judge_once(record, stored.get(), update);
  }
  if (changed || !update.keep) {
    edgeserv_fdelete(path.c_str());
    seams::disk_calls().index_del(store, name.c_str());
    trace("[DropDiskCache: Head -> 304] %s\r\n", key);
    return;
  }
  if (update.lifetime != 0) {
    restamp_disk_expiry(record, key, kind, edgeserv_mytime() + (update.lifetime & kLifetimeMask));
  }
}

// Every value of a field, in order (at most 100 lines).
std::vector<std::string> field_values(http_parser* head, const char* name) {
  std::vector<std::string> values;
  std::string value(kFieldValue, '\0');
  for (int32_t k = 0; k < 100 && http_parser_GetNthKey(head, name, k, value.data(), kFieldValue); ++k) {
    values.emplace_back(value.c_str());
  }
  return values;
}

}  // namespace

void merge_not_modified(http_parser* stored, http_parser* not_modified, bool strip_cookies, bool keep_date) {
  for (const std::string& name : field_names(not_modified)) {
    if (kept_by_store(name, strip_cookies, keep_date)) continue;
    const std::vector<std::string> values = field_values(not_modified, name.c_str());
    if (values == field_values(stored, name.c_str())) continue;  // the same lines stay where they are
    for (int i = 0; i < 100 && http_parser_IsKey(stored, name.c_str()); ++i) http_parser_DelKey(stored, name.c_str());
    for (const std::string& value : values) http_parser_InsertKey(stored, name.c_str(), value.c_str());
  }
}

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
  const std::string disk_key = disk_key_of(record, cache_key);
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
  const MemoryTable* table = memory_table(d.cache_kind);  // kind 0: a 304 judged on its own refused
  if (!table) return false;
  // The stored heads take the 304's fields; the lifetime comes from the updated head.
  Update update;
  update_memory_copy(record, *table, update);
  const bool disk_on = policydb_system_get_IsDiskCache() && !d.no_disk;
  if (disk_on) update_disk_copy(record, d.cache_kind, update);
  if (update.judged) d.lifetime = update.keep ? update.lifetime : 0;
  // A head that no longer lets a shared cache keep the copy: it answers this request at most.
  const auto drop_if_refused = [&] {
    if (!update.keep) invalidate_url(key);
  };
  if (!d.revalidating) {  // the client's own conditional: its 304 goes on to it
    drop_if_refused();
    return false;
  }
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
    drop_if_refused();
    return true;
  }
  drop_if_refused();
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
