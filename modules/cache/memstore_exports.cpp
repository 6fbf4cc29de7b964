// The three table families: each export hands its call to the process-wide store with its own
// table; before init every call answers as for an absent url.
#include "memstore.h"
#include "memstore_internal.h"

using vor::memstore::instance;
using vor::memstore::Kind;
using vor::memstore::Store;

namespace {

// Runs f on the store, or answers `absent` before init.
template <typename R, typename F>
R on_store(R absent, F&& f) {
  Store* s = instance();
  return s ? f(*s) : absent;
}

template <typename F>
void on_store(F&& f) {
  if (Store* s = instance()) f(*s);
}

void release_unstored(cu_xjitter* body) { cu_xjitter_destroy(body); }
void release_unstored(cu_jitter* body) { cu_jitter_free(body); }

}  // namespace

// One row per table: the family's exports differ only in their prefix and their table.
#define MEMSTORE_FAMILY(P, K)                                                                                        \
  uint8_t P##_CheckData(const char* url, uint32_t* expire) {                                                         \
    return on_store<uint8_t>(0, [&](Store& s) { return s.check(K, url, expire, nullptr); });                         \
  }                                                                                                                  \
  uint8_t P##_CheckDataX(const char* url, uint32_t* expire, char* tag) {                                             \
    return on_store<uint8_t>(0, [&](Store& s) { return s.check(K, url, expire, tag); });                             \
  }                                                                                                                  \
  uint32_t P##_GetExpire(const char* url) {                                                                          \
    return on_store<uint32_t>(0, [&](Store& s) { return s.get_expire(K, url); });                                    \
  }                                                                                                                  \
  uint8_t P##_RefreshExpire(const char* url, uint32_t expire) {                                                      \
    return on_store<uint8_t>(0, [&](Store& s) { return s.refresh_expire(K, url, expire); });                         \
  }                                                                                                                  \
  uint8_t P##_AddAccessCount(const char* url, const char* tag) {                                                     \
    return on_store<uint8_t>(0, [&](Store& s) { return s.add_access(K, url, tag); });                                \
  }                                                                                                                  \
  int32_t P##_GetData(const char* url, char* head, uint32_t head_capacity, uint32_t from, uint32_t to, void* body) { \
    return on_store<int32_t>(                                                                                        \
        -1, [&](Store& s) { return s.get_data(K, url, false, nullptr, head, head_capacity, from, to, body); });      \
  }                                                                                                                  \
  int32_t P##_GetDataX(const char* url, const char* tag, char* head, uint32_t head_capacity, uint32_t from,          \
                       uint32_t to, void* body) {                                                                    \
    return on_store<int32_t>(                                                                                        \
        -1, [&](Store& s) { return s.get_data(K, url, true, tag, head, head_capacity, from, to, body); });           \
  }                                                                                                                  \
  void P##_SetData(uint32_t type, const char* url, const char* head, cu_jitter* body, uint32_t expire,               \
                   uint8_t content_class) {                                                                          \
    Store* s = instance();                                                                                           \
    if (s)                                                                                                           \
      s->set_data(K, type, url, head, body, expire, content_class);                                                  \
    else if (body)                                                                                                   \
      release_unstored(body);                                                                                        \
  }                                                                                                                  \
  void P##_SetDataX(uint32_t type, const char* url, const char* head, cu_xjitter* body, uint32_t expire,             \
                    uint8_t content_class) {                                                                         \
    Store* s = instance();                                                                                           \
    if (s)                                                                                                           \
      s->set_data_x(K, type, url, head, body, expire, content_class);                                                \
    else if (body)                                                                                                   \
      release_unstored(body);                                                                                        \
  }                                                                                                                  \
  uint64_t P##_GetCacheSize(void) {                                                                                  \
    return on_store<uint64_t>(0, [](Store& s) { return s.table_size(K); });                                          \
  }                                                                                                                  \
  uint32_t P##_GetNumOfCaches(void) {                                                                                \
    return on_store<uint32_t>(0, [](Store& s) { return s.table_count(K); });                                         \
  }                                                                                                                  \
  void P##_RefreshIcache(void) {                                                                                     \
    on_store([](Store& s) { s.refresh_icache(K); });                                                                 \
  }                                                                                                                  \
  void P##_RefreshFcache(void) {                                                                                     \
    on_store([](Store& s) { s.refresh_fcache(K); });                                                                 \
  }                                                                                                                  \
  void P##_RefreshRcache(void) {                                                                                     \
    on_store([](Store& s) { s.refresh_rcache(K); });                                                                 \
  }                                                                                                                  \
  void P##_CleanThisCache(const char* url) {                                                                         \
    on_store([&](Store& s) { s.clean_this(K, url); });                                                               \
  }                                                                                                                  \
  void P##_CleanIcache(void) {                                                                                       \
    on_store([](Store& s) { s.clean_type(K, 0); });                                                                  \
  }                                                                                                                  \
  void P##_CleanFcache(void) {                                                                                       \
    on_store([](Store& s) { s.clean_type(K, 1); });                                                                  \
  }                                                                                                                  \
  uint8_t P##_CleanRulesCache(const char* text, uint8_t icase, uint8_t rules) {                                      \
    return on_store<uint8_t>(0, [&](Store& s) { return s.clean_rules(K, text, icase, rules); });                     \
  }                                                                                                                  \
  void P##_CleanAllCache(void) {                                                                                     \
    on_store([](Store& s) { s.clean_all(K); });                                                                      \
  }                                                                                                                  \
  void P##_GetCacheList(wtb* out) {                                                                                  \
    on_store([&](Store& s) { s.list_text(K, out); });                                                                \
  }                                                                                                                  \
  void P##_GetCacheList2X(cu_jitter* out) {                                                                          \
    on_store([&](Store& s) { s.list_queue(K, out); });                                                               \
  }

MEMSTORE_FAMILY(wc_publiccache, Kind::kPublic)
MEMSTORE_FAMILY(wc_membercache, Kind::kMember)
MEMSTORE_FAMILY(wc_visitorcache, Kind::kVisitor)
