// Memory copies: what a complete response leaves in the memory table of its cache kind (its head
// cleaned, a text body gzipped), and a stored copy served decoded to a client that cannot take
// its coding.
#include <cstring>
#include <memory>

#include "memstore.h"
#include "policydb.h"
#include "reqgate_internal.h"

namespace vor::reqgate {

namespace {

constexpr const char* kTextTypes[] = {"text/plain",      "text/css",          "text/html",
                                      "text/htm",        "text/xml",          "text/shtml",
                                      "application/xhtml", "application/xml", "application/javascript",
                                      "application/x-javascript"};
constexpr const char* kBinaryTypes[] = {"image/", "application/", "video/", "audio/", "/zip", "/pdf", "octet-stream"};
constexpr const char* kDroppedHeaders[] = {"Age", "Via", "X-Cache", "X-Cache-Lookup", "X-Powered-By", "Keep-Alive"};
constexpr uint64_t kEncodeMin = 512;
constexpr uint64_t kEncodeMax = 1048576;
constexpr uint32_t kReadMax = kWorkBuffer - 1;

MemoryTable g_tables[3] = {
    {wc_publiccache_CheckDataX, wc_publiccache_GetDataX, wc_publiccache_SetDataX, wc_publiccache_RefreshExpire,
     wc_publiccache_AddAccessCount, wc_publiccache_CleanThisCache},
    {wc_membercache_CheckDataX, wc_membercache_GetDataX, wc_membercache_SetDataX, wc_membercache_RefreshExpire,
     wc_membercache_AddAccessCount, wc_membercache_CleanThisCache},
    {wc_visitorcache_CheckDataX, wc_visitorcache_GetDataX, wc_visitorcache_SetDataX, wc_visitorcache_RefreshExpire,
     wc_visitorcache_AddAccessCount, wc_visitorcache_CleanThisCache},
};

struct BufferFree {
  void operator()(char* p) const { codec_free(nullptr, p); }
};
using Buffer = std::unique_ptr<char, BufferFree>;

bool status_stored(http_parser* response) {
  const int status = status_code(response);
  if (status == 200 || status == 404) return true;
  return settings().mem_cache_30x && (status == 301 || status == 302);
}

// A text body becomes gzip when that works; otherwise it stays as it is. False when the body
// was lost: the pool could not take the coded copy.
bool encode_for_cache(cu_xjitter* body, http_parser* head, uint8_t cls, const char* cache_key) {
  const uint64_t len = cu_xjitter_GetLen(body);
  if (cls != 1 || len < kEncodeMin || len > kEncodeMax) return true;  // only text types
  Buffer plain(work_buffer());
  if (!plain) return true;
  cu_xjitter_PeekDatax(body, plain.get(), 0, len);
  char* coded = nullptr;
  uint32_t coded_len = 0;
  if (!reqgate_plugin__EncodeContent(nullptr, head, plain.get(), static_cast<uint32_t>(len), &coded, &coded_len)) {
    return true;
  }
  Buffer holder(coded);
  cu_xjitter_empty(body);
  if (cu_xjitter_SetData(body, coded, coded_len) != coded_len) {
    cu_xjitter_empty(body);
    return false;
  }
  trace("[Encoding -> gzip, deflate, compress] %s\r\n", cache_key);
  return true;
}

void clean_head(http_parser* head, bool strip_cookies) {
  if (strip_cookies) {
    for (int i = 0; i < 100 && http_parser_IsKey(head, "Set-Cookie"); ++i) http_parser_DelKey(head, "Set-Cookie");
  }
  for (const char* name : kDroppedHeaders) {
    for (int i = 0; i < 100 && http_parser_IsKey(head, name); ++i) http_parser_DelKey(head, name);
  }
  http_parser_ModifyKey(head, "Connection", "keep-alive");
}

uint32_t absolute_expiry(uint32_t lifetime) {
  return static_cast<uint32_t>(edgeserv_mytime() + (lifetime & kLifetimeMask));
}

}  // namespace

MemoryTable* memory_tables() { return g_tables; }

const MemoryTable* memory_table(uint8_t kind) {
  switch (kind) {
    case kIntelligent:
    case kPublic:
      return &g_tables[0];
    case kMember:
      return &g_tables[1];
    case kVisitor:
      return &g_tables[2];
    default:
      return nullptr;
  }
}

const char* kind_name(uint8_t kind) { return kind == kMember ? "Member" : kind == kVisitor ? "Visitor" : "Public"; }

uint8_t content_class(http_parser* response) {
  char type[255];
  if (!http_parser_GetKey(response, "Content-Type", type, sizeof type)) return 2;
  for (const char* t : kTextTypes) {
    if (contains_ignore_case(type, t)) return 1;
  }
  for (const char* t : kBinaryTypes) {
    if (contains_ignore_case(type, t)) return 0;
  }
  return 2;
}

void store_memory(FilterRecord& record) {
  CacheDecision& d = record.decision;
  d.keep_memory_copy = 0;  // one store per record
  const MemoryTable* table = d.cache_kind >= kPublic ? memory_table(d.cache_kind) : nullptr;
  const bool spider_refused = record.spider && policydb_system_get_UnenableZazudazaBySpider();
  if (spider_refused || !status_stored(record.response) || !table) {
    cu_xjitter_empty(&record.body);
    return;
  }
  const uint8_t cls = content_class(record.response);
  if (!encode_for_cache(&record.body, record.response, cls, d.cache_key.c_str())) return;
  clean_head(record.response, d.strip_cookies != 0);
  table->set(d.cache_source == kForced ? 1 : 0, d.cache_key.c_str(), http_parser_GetStr(record.response),
             &record.body, absolute_expiry(d.lifetime), cls);
  trace("[Add%sMemCache: %c -> %us] %s\r\n", kind_name(d.cache_kind), "HIF"[d.cache_source > kForced ? 0 : d.cache_source],
        d.lifetime & kLifetimeMask, d.cache_key.c_str());
}

void store_memory_from_disk(const char* cache_key, const char* head, cu_xjitter* body, uint8_t kind, uint32_t type,
                            int64_t expiry) {
  const MemoryTable* table = memory_table(kind);
  if (!table || !cache_key || !head) {
    cu_xjitter_empty(body);
    return;
  }
  http_parser* parsed = http_parser_make();
  if (!parsed) {
    cu_xjitter_empty(body);
    return;
  }
  http_parser_parse(parsed, head, static_cast<int32_t>(std::strlen(head)));
  http_parser_buildIndex(parsed);
  const uint8_t cls = content_class(parsed);
  if (encode_for_cache(body, parsed, cls, cache_key)) table->set(type, cache_key, http_parser_GetStr(parsed), body, static_cast<uint32_t>(expiry), cls);
  http_parser_free(parsed);
  const int64_t left = expiry - edgeserv_mytime();
  trace("[Add%sMemCacheFromDiskCache: %c -> %us] %s\r\n", kind_name(kind), type == 1 ? 'F' : 'I',
        left > 0 ? static_cast<uint32_t>(left) : 1u, cache_key);
}

bool serve_decoded(int64_t client_sid, const char* cache_key, http_parser* request, http_parser* stored, uint8_t kind,
                   const char* tag, uint64_t* bytes_sent) {
  const MemoryTable* table = memory_table(kind);
  if (!table) return false;
  Buffer coded(work_buffer());
  if (!coded) {
    trace("[Decoding] __ende_mem_alloc() Return NULL!\r\n");
    edgeserv_return500(client_sid, nullptr, "Internal Server Error - Memory Isn't Enough");
    return true;
  }
  const int32_t n = table->get(cache_key, tag, nullptr, 0, 0, kReadMax, coded.get());
  if (n < 0) return false;
  char* plain = nullptr;
  uint32_t plain_len = 0;
  // De-chunks and decodes; the head loses its coding, framing and Vary and gets the decoded length.
  if (!reqgate_plugin__DecodeContent(nullptr, stored, coded.get(), static_cast<uint32_t>(n), &plain, &plain_len)) {
    return false;
  }
  Buffer holder(plain);
  coded.reset();
  send_whole_hit(client_sid, request, stored, plain, plain_len, bytes_sent);
  return true;
}

void send_whole_hit(int64_t client_sid, http_parser* request, http_parser* stored, char* body, uint32_t len,
                    uint64_t* bytes_sent) {
  if (wants_close(request)) http_parser_ModifyKey(stored, "Connection", "close");
  if (policydb_system_get_AddXCacheToHeader()) http_parser_ModifyKey(stored, "X-Cache", "HIT");
  const ResponseHooks hooks = response_hooks();
  if (!hooks.head || hooks.head(client_sid, request, 0, stored, 1)) {
    edgeserv_WriteJitter(client_sid, http_parser_GetStr(stored), http_parser_GetLen(stored));
  }
  Chunk chunk{body, static_cast<int32_t>(len)};
  run_body_hooks(client_sid, request, 0, stored, 1, true, chunk);
  if (chunk.send && chunk.len > 0) edgeserv_WriteJitter(client_sid, chunk.data, chunk.len);
  if (bytes_sent) *bytes_sent = chunk.len > 0 ? static_cast<uint64_t>(chunk.len) : 0;
  release_chunk(chunk, body);
}

}  // namespace vor::reqgate
