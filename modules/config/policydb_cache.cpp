// The cache rule families on the family driver, their request-path questions and their exports.
#include "policydb_cache.h"

#include "cu_lib.h"
#include "cu_malloc.h"
#include "cu_mem.h"
#include "policydb.h"

#include <cstring>
#include <optional>
#include <set>

namespace policydb::cache {

namespace {

constexpr char kUnit[] = "zazudaza\\policydb_cache";

const char* kind_word(uint8_t kind) {
  static const char* const kWords[] = {"wild", "regex", "exact"};
  return kind < 3 ? kWords[kind] : "?";
}

const char* unit_word(uint8_t unit) {
  static const char* const kWords[] = {"day", "hour", "min", "sec"};
  return unit < 4 ? kWords[unit] : "?";
}

uint8_t flag(int32_t n) { return n != 0 ? 1 : 0; }

// The row's pattern (columns rules, url, icase come first in every cache shape); a pattern that
// does not compile skips the row with its message.
bool pattern_of_row(const family::Shape& shape, const family::Row& row, url::Pattern& pattern) {
  if (pattern.make(row.text(1), flag(row.number(2)), static_cast<uint8_t>(row.number(0)))) return true;
  report_error("[zazudaza -> config] '%s'->'url=%s' pattern(or regex) error(wid=%s)!\r\n", shape.table, row.text(1),
               row.id_text());
  return false;
}

void pattern_values(const url::Pattern& p, family::Values& v) {
  v.text("url", p.text().c_str());
  v.number("icase", p.icase());
  v.number("rules", p.kind());
}

// The pattern of an append or modify; a text that does not compile is reported and refused.
std::optional<url::Pattern> pattern_for(const family::Shape& shape, bool modify, const char* text, uint8_t icase,
                                        uint8_t kind) {
  url::Pattern p;
  if (p.make(text, icase, kind)) return p;
  if (modify) {
    report_error("[zazudaza -> config] modify '%s' error(url=%s)!\r\n", shape.table, text);
  } else {
    report_error("[zazudaza -> config] '%s'->'url=%s' add pattern(or regex) error!\r\n", shape.table, text);
  }
  return std::nullopt;
}

// Copies at most len - 1 characters of text and a NUL; nothing for a NULL buffer or len below 1.
void copy_out(char* out, int32_t len, const std::string& text) {
  if (!out || len < 1) return;
  const size_t n = std::min(text.size(), static_cast<size_t>(len - 1));
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

template <typename T>
void put(T* out, T value) {
  if (out) *out = value;
}

bool no_handle() { return db() == nullptr; }

}  // namespace

// --- session-cache rules ------------------------------------------------------------------

void SessionNames::rebuild(const std::vector<SessionRule>& rules) {
  std::set<std::string> seen;
  names.clear();
  for (const SessionRule& rule : rules) {
    if (seen.insert(rule.name).second) names.push_back(rule.name);
  }
}

bool SessionTraits::from_row(const family::Row& row, Rule& rule) {
  if (!pattern_of_row(shape, row, rule.pattern)) return false;
  rule.name = row.text(3);
  rule.expire = row.number(4);
  return true;
}

void SessionTraits::values(const Rule& rule, family::Values& v) {
  pattern_values(rule.pattern, v);
  v.signed_number("expire", rule.expire);
  v.text("sessionid", rule.name.c_str());
}

void SessionTraits::setup_row(const Rule& rule, int32_t) {
  setup_log_write("|%-2.2s|%-55.55s|%-5.5s|%-6.6s|%-4.4s|\r\n", std::to_string(rule.num).c_str(),
                  rule.pattern.text().c_str(), kind_word(rule.pattern.kind()), std::to_string(rule.expire).c_str(),
                  "sec");
}

// --- intelligent- and force-cache rules ---------------------------------------------------

template <const family::Shape& S>
bool CacheTraits<S>::from_row(const family::Row& row, Rule& rule) {
  if (!pattern_of_row(shape, row, rule.pattern)) return false;
  rule.unit = static_cast<uint8_t>(row.number(3));
  rule.icookie = flag(row.number(4));
  rule.olimit = static_cast<uint32_t>(row.number(5));
  rule.isdiskcache = static_cast<uint32_t>(row.number(6));
  rule.expire = static_cast<uint32_t>(row.number(7));
  return true;
}

template <const family::Shape& S>
void CacheTraits<S>::values(const Rule& rule, family::Values& v) {
  pattern_values(rule.pattern, v);
  v.number("expire", rule.expire);
  v.number("unit", rule.unit);
  v.number("icookie", rule.icookie);
  v.number("olimit", rule.olimit);
  v.number("isdiskcache", rule.isdiskcache);
}

template <const family::Shape& S>
void CacheTraits<S>::setup_row(const Rule& rule, int32_t) {
  setup_log_write("|%-2.2s|%-55.55s|%-5.5s|%-6.6s|%-4.4s|\r\n", std::to_string(rule.num).c_str(),
                  rule.pattern.text().c_str(), kind_word(rule.pattern.kind()), std::to_string(rule.expire).c_str(),
                  unit_word(rule.unit));
}

template struct CacheTraits<kIcacheShape>;
template struct CacheTraits<kFcacheShape>;

// --- refuse-cache rules -------------------------------------------------------------------

bool RefuseTraits::from_row(const family::Row& row, Rule& rule) {
  if (!pattern_of_row(shape, row, rule.pattern)) return false;
  rule.olimit = static_cast<uint32_t>(row.number(3));
  rule.cachelocation = static_cast<uint32_t>(row.number(4));
  return true;
}

void RefuseTraits::values(const Rule& rule, family::Values& v) {
  pattern_values(rule.pattern, v);
  v.number("olimit", rule.olimit);
  v.number("cachelocation", rule.cachelocation);
}

void RefuseTraits::setup_row(const Rule& rule, int32_t) {
  setup_log_write("|%-2.2s|%-55.55s|%-5.5s|\r\n", std::to_string(rule.num).c_str(), rule.pattern.text().c_str(),
                  kind_word(rule.pattern.kind()));
}

// --- the families -------------------------------------------------------------------------

SessionFamily& scache() {
  static SessionFamily f;
  return f;
}
IcacheFamily& icache() {
  static IcacheFamily f;
  return f;
}
FcacheFamily& fcache() {
  static FcacheFamily f;
  return f;
}
RefuseFamily& rcache() {
  static RefuseFamily f;
  return f;
}

void load_scache() { scache().load(); }
void load_icache() { icache().load(); }
void load_fcache() { fcache().load(); }
void load_rcache() { rcache().load(); }

void reset_all() {
  scache().reset();
  icache().reset();
  fcache().reset();
  rcache().reset();
}

uint32_t expire_seconds(uint32_t count, uint8_t unit) {
  switch (unit) {
    case 0: return std::min<uint32_t>(count, 3650) * 86400;
    case 1: return std::min<uint32_t>(count, 87600) * 3600;
    case 2: return std::min<uint32_t>(count, 5256000) * 60;
    default: return count;
  }
}

// --- the questions and changes behind the exports -----------------------------------------

namespace {

constexpr uint32_t kAnyClass = UINT32_MAX;

// The first rule (of the class, unless any) that matches the url, copied out.
template <typename Fam>
std::optional<typename Fam::Rule> first_hit(const Fam& f, const char* url, uint32_t olimit) {
  using Rule = typename Fam::Rule;
  constexpr bool kClassed = requires(const Rule& r) { r.olimit; };
  if (!url || !f.has_rules()) return std::nullopt;
  if constexpr (kClassed) {
    if (olimit != kAnyClass && f.index().empty(olimit)) return std::nullopt;
  }
  std::optional<Rule> hit;
  f.first([&](const Rule& rule) {
    if constexpr (kClassed) {
      if (olimit != kAnyClass && rule.olimit != olimit) return false;
    }
    if (!rule.pattern.matches(url)) return false;
    hit = rule;
    return true;
  });
  return hit;
}

template <typename Fam>
uint8_t cache_is_hit(const Fam& f, const char* url, uint32_t olimit, uint8_t* icookie, uint32_t* cls,
                     uint32_t* isdiskcache) {
  const auto hit = first_hit(f, url, olimit);
  if (!hit) return 0;
  put(icookie, hit->icookie);
  put(cls, hit->olimit);
  put(isdiskcache, hit->isdiskcache);
  return 1;
}

template <typename Fam>
uint32_t cache_get_expire(const Fam& f, const char* url, uint32_t olimit, uint8_t* icookie, uint32_t* cls,
                          uint32_t* isdiskcache) {
  const auto hit = first_hit(f, url, olimit);
  if (!hit) return 0;
  put(icookie, hit->icookie);
  put(cls, hit->olimit);
  put(isdiskcache, hit->isdiskcache);
  return expire_seconds(hit->expire, hit->unit);
}

std::optional<CacheRule> cache_rule(const family::Shape& shape, bool modify, const char* url, uint8_t icase,
                                    uint8_t kind, uint32_t expire, uint8_t unit, uint8_t icookie, uint32_t olimit,
                                    uint32_t isdiskcache) {
  if (no_handle() || !url || kind > 2 || expire == 0 || unit > 3 || olimit > 2 || isdiskcache > 1) return std::nullopt;
  auto pattern = pattern_for(shape, modify, url, icase, kind);
  if (!pattern) return std::nullopt;
  CacheRule rule;
  rule.pattern = std::move(*pattern);
  rule.expire = expire;
  rule.unit = unit;
  rule.icookie = flag(icookie);
  rule.olimit = olimit;
  rule.isdiskcache = isdiskcache;
  return rule;
}

template <typename Fam>
uint8_t cache_append(Fam& f, const char* url, uint8_t icase, uint8_t kind, uint32_t expire, uint8_t unit,
                     uint8_t icookie, uint32_t olimit, uint32_t isdiskcache, const char* note, uint32_t* wid) {
  auto rule = cache_rule(Fam::shape, false, url, icase, kind, expire, unit, icookie, olimit, isdiskcache);
  return rule && f.append(std::move(*rule), note, wid) ? 1 : 0;
}

template <typename Fam>
uint8_t cache_modify(Fam& f, uint32_t wid, const char* url, uint8_t icase, uint8_t kind, uint32_t expire,
                     uint8_t unit, uint8_t icookie, uint32_t olimit, uint32_t isdiskcache, const char* note) {
  auto rule = cache_rule(Fam::shape, true, url, icase, kind, expire, unit, icookie, olimit, isdiskcache);
  return rule && f.modify(wid, std::move(*rule), note) ? 1 : 0;
}

template <typename Fam>
uint8_t change_delete(Fam& f, uint32_t wid) {
  return f.remove(wid) ? 1 : 0;
}

template <typename Fam>
uint8_t change_move(Fam& f, uint32_t wid, bool up) {
  return f.move(wid, up) ? 1 : 0;
}

std::optional<SessionRule> session_rule(bool modify, const char* url, uint8_t icase, uint8_t kind, int32_t expire,
                                        const char* name) {
  if (no_handle() || !url || kind > 2 || expire == 0 || !name || !*name) return std::nullopt;
  auto pattern = pattern_for(kScacheShape, modify, url, icase, kind);
  if (!pattern) return std::nullopt;
  SessionRule rule;
  rule.pattern = std::move(*pattern);
  rule.expire = expire;
  rule.name = name;
  return rule;
}

std::optional<RefuseRule> refuse_rule(bool modify, const char* url, uint8_t icase, uint8_t kind, uint32_t olimit,
                                      uint32_t cachelocation) {
  if (no_handle() || !url || kind > 2 || olimit > 2 || cachelocation > 1) return std::nullopt;
  auto pattern = pattern_for(kRcacheShape, modify, url, icase, kind);
  if (!pattern) return std::nullopt;
  RefuseRule rule;
  rule.pattern = std::move(*pattern);
  rule.olimit = olimit;
  rule.cachelocation = cachelocation;
  return rule;
}

uint8_t refuse_is_hit(const char* url, uint32_t olimit, uint32_t* cls, uint32_t* cachelocation) {
  const auto hit = first_hit(rcache(), url, olimit);
  if (!hit) return 0;
  put(cls, hit->olimit);
  put(cachelocation, hit->cachelocation);
  return 1;
}

// A hit-list entry: the signed expire, then the NUL-terminated name, in one block.
scache_hit_entry* fill_entry(void* block, int32_t expire, const std::string& name) {
  auto* entry = static_cast<scache_hit_entry*>(block);
  entry->expire = expire;
  std::memcpy(reinterpret_cast<char*>(entry) + offsetof(scache_hit_entry, name), name.c_str(), name.size() + 1);
  return entry;
}

size_t entry_size(const std::string& name) { return offsetof(scache_hit_entry, name) + name.size() + 1; }

void* arena_alloc(void* arena, uint64_t size) { return cu_mem_malloc(static_cast<cu_mem*>(arena), size); }

struct SessionHit {
  int32_t expire;
  std::string name;
};

std::vector<SessionHit> session_hits(const char* url) {
  if (!url || !scache().has_rules()) return {};
  return scache().locked([&](const std::vector<SessionRule>& rules, const SessionNames&) {
    std::vector<SessionHit> hits;
    for (const SessionRule& rule : rules) {
      if (rule.pattern.matches(url)) hits.push_back({rule.expire, rule.name});
    }
    return hits;
  });
}

std::vector<std::string> session_names() {
  if (!scache().has_rules()) return {};
  return scache().locked([](const std::vector<SessionRule>&, const SessionNames& index) { return index.names; });
}

cu_mem* arena_in(void* block, int32_t size) {
  if (!block || size <= 0) return nullptr;
  return cu_mem_init(block, static_cast<uint64_t>(size));
}

}  // namespace

}  // namespace policydb::cache

using namespace policydb;
using namespace policydb::cache;

// --- session-cache exports ----------------------------------------------------------------

void policydb_scache_load(void) { load_scache(); }

uint8_t policydb_scache_append(const char* url, uint8_t icase, uint8_t rules, int32_t expire, const char* sessionid,
                               const char* note, uint32_t* wid) {
  auto rule = session_rule(false, url, icase, rules, expire, sessionid);
  return rule && scache().append(std::move(*rule), note, wid) ? 1 : 0;
}

uint8_t policydb_scache_modify(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, int32_t expire,
                               const char* sessionid, const char* note) {
  auto rule = session_rule(true, url, icase, rules, expire, sessionid);
  return rule && scache().modify(wid, std::move(*rule), note) ? 1 : 0;
}

uint8_t policydb_scache_delete(uint32_t wid) { return change_delete(scache(), wid); }
uint8_t policydb_scache_moveup(uint32_t wid) { return change_move(scache(), wid, true); }
uint8_t policydb_scache_movedown(uint32_t wid) { return change_move(scache(), wid, false); }

uint8_t policydb_scache_IsHit(const char* url, int32_t* expire, char* name, int32_t len) {
  const auto hit = first_hit(scache(), url, kAnyClass);
  if (!hit) return 0;
  put(expire, hit->expire);
  copy_out(name, len, hit->name);
  return 1;
}

int32_t policydb_scache_GetExpire(const char* url, char* name, int32_t len) {
  const auto hit = first_hit(scache(), url, kAnyClass);
  if (!hit) return 0;
  copy_out(name, len, hit->name);
  return hit->expire;
}

uint8_t policydb_scache_GetHitList(const char* url, cu_list** list) {
  if (list) *list = nullptr;
  if (!list) return 0;
  const std::vector<SessionHit> hits = session_hits(url);
  for (const SessionHit& hit : hits) {
    void* block = _cu_malloc(entry_size(hit.name), kUnit, __LINE__);
    if (!block) continue;
    if (!cu_list_append_s(list, fill_entry(block, hit.expire, hit.name))) _cu_free(block, kUnit, __LINE__);
  }
  return hits.empty() ? 0 : 1;
}

void policydb_scache_FreeHitList(cu_list* list) {
  cu_list_free_all(list, [](void* data, void*) { _cu_free(data, kUnit, __LINE__); }, nullptr);
}

uint8_t policydb_scache_GetHitListMM(const char* url, cu_list** list, void* block, int32_t size) {
  if (list) *list = nullptr;
  if (!list) return 0;
  const std::vector<SessionHit> hits = session_hits(url);
  if (hits.empty()) return 0;
  cu_mem* arena = arena_in(block, size);
  if (!arena) return 0;
  for (const SessionHit& hit : hits) {
    void* entry = cu_mem_malloc(arena, entry_size(hit.name));
    if (!entry) continue;  // left out: it does not fit
    if (!cu_list_MM_append_s(list, fill_entry(entry, hit.expire, hit.name), arena_alloc, arena)) {
      cu_mem_free(arena, entry);
    }
  }
  return 1;
}

cu_list* policydb_scache_GetSessionidList(void) {
  cu_list* list = nullptr;
  for (const std::string& name : session_names()) {
    char* copy = cu_strdup(name.c_str());
    if (!copy) break;
    if (!cu_list_append_s(&list, copy)) {
      _cu_free(copy, kUnit, __LINE__);
      break;
    }
  }
  return list;
}

void policydb_scache_FreeSessionidList(cu_list* list) {
  cu_list_free_all(list, [](void* data, void*) { _cu_free(data, kUnit, __LINE__); }, nullptr);
}

cu_list* policydb_scache_GetSessionidListMM(void* block, int32_t size) {
  const std::vector<std::string> names = session_names();
  if (names.empty()) return nullptr;
  cu_mem* arena = arena_in(block, size);
  if (!arena) return nullptr;
  cu_list* list = nullptr;
  for (const std::string& name : names) {
    char* copy = cu_mem_strdup(arena, name.c_str());
    if (!copy) break;
    if (!cu_list_MM_append_s(&list, copy, arena_alloc, arena)) break;
  }
  return list;
}

uint8_t policydb_scache_IsExist(void) { return scache().has_rules() ? 1 : 0; }

// --- intelligent- and force-cache exports (one design, stamped twice) ----------------------

#define POLICYDB_CACHE_CLASS_EXPORTS(prefix, family, n)                                                              \
  uint8_t prefix##_IsHit__olimit##n##_x(const char* url, uint8_t* icookie, uint32_t* olimit, uint32_t* isdiskcache) { \
    return cache_is_hit(family(), url, n, icookie, olimit, isdiskcache);                                              \
  }                                                                                                                   \
  uint8_t prefix##_IsHit__olimit##n(const char* url, uint8_t* icookie, uint32_t* olimit) {                            \
    return cache_is_hit(family(), url, n, icookie, olimit, nullptr);                                                  \
  }                                                                                                                   \
  uint32_t prefix##_GetExpire__olimit##n##_x(const char* url, uint8_t* icookie, uint32_t* olimit,                     \
                                             uint32_t* isdiskcache) {                                                 \
    return cache_get_expire(family(), url, n, icookie, olimit, isdiskcache);                                          \
  }                                                                                                                   \
  uint32_t prefix##_GetExpire__olimit##n(const char* url, uint8_t* icookie, uint32_t* olimit) {                       \
    return cache_get_expire(family(), url, n, icookie, olimit, nullptr);                                              \
  }                                                                                                                   \
  uint8_t prefix##_IsExist__olimit##n(void) { return family().has_rules() && !family().index().empty(n) ? 1 : 0; }

#define POLICYDB_CACHE_EXPORTS(prefix, family)                                                                        \
  void prefix##_load(void) { family().load(); }                                                                       \
  uint8_t prefix##_append_x(const char* url, uint8_t icase, uint8_t rules, uint32_t expire, uint8_t unit,            \
                            uint8_t icookie, uint32_t olimit, uint32_t isdiskcache, const char* note, uint32_t* wid) { \
    return cache_append(family(), url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note, wid);          \
  }                                                                                                                   \
  uint8_t prefix##_append(const char* url, uint8_t icase, uint8_t rules, uint32_t expire, uint8_t unit,              \
                          uint8_t icookie, uint32_t olimit, const char* note, uint32_t* wid) {                        \
    return cache_append(family(), url, icase, rules, expire, unit, icookie, olimit, 0, note, wid);                    \
  }                                                                                                                   \
  uint8_t prefix##_modify_x(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, uint32_t expire,            \
                            uint8_t unit, uint8_t icookie, uint32_t olimit, uint32_t isdiskcache, const char* note) { \
    return cache_modify(family(), wid, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note);          \
  }                                                                                                                   \
  uint8_t prefix##_modify(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, uint32_t expire, uint8_t unit, \
                          uint8_t icookie, uint32_t olimit, const char* note) {                                       \
    return cache_modify(family(), wid, url, icase, rules, expire, unit, icookie, olimit, 0, note);                    \
  }                                                                                                                   \
  uint8_t prefix##_delete(uint32_t wid) { return change_delete(family(), wid); }                                     \
  uint8_t prefix##_moveup(uint32_t wid) { return change_move(family(), wid, true); }                                 \
  uint8_t prefix##_movedown(uint32_t wid) { return change_move(family(), wid, false); }                              \
  uint8_t prefix##_IsHit_x(const char* url, uint8_t* icookie, uint32_t* olimit, uint32_t* isdiskcache) {              \
    return cache_is_hit(family(), url, kAnyClass, icookie, olimit, isdiskcache);                                      \
  }                                                                                                                   \
  uint8_t prefix##_IsHit(const char* url, uint8_t* icookie, uint32_t* olimit) {                                       \
    return cache_is_hit(family(), url, kAnyClass, icookie, olimit, nullptr);                                          \
  }                                                                                                                   \
  uint32_t prefix##_GetExpire_x(const char* url, uint8_t* icookie, uint32_t* olimit, uint32_t* isdiskcache) {         \
    return cache_get_expire(family(), url, kAnyClass, icookie, olimit, isdiskcache);                                  \
  }                                                                                                                   \
  uint32_t prefix##_GetExpire(const char* url, uint8_t* icookie, uint32_t* olimit) {                                  \
    return cache_get_expire(family(), url, kAnyClass, icookie, olimit, nullptr);                                      \
  }                                                                                                                   \
  POLICYDB_CACHE_CLASS_EXPORTS(prefix, family, 0)                                                                     \
  POLICYDB_CACHE_CLASS_EXPORTS(prefix, family, 1)                                                                     \
  POLICYDB_CACHE_CLASS_EXPORTS(prefix, family, 2)

POLICYDB_CACHE_EXPORTS(policydb_icache, icache)
POLICYDB_CACHE_EXPORTS(policydb_fcache, fcache)

// --- refuse-cache exports -----------------------------------------------------------------

void policydb_rcache_load(void) { load_rcache(); }

uint8_t policydb_rcache_append_x(const char* url, uint8_t icase, uint8_t rules, uint32_t olimit,
                                 uint32_t cachelocation, const char* note, uint32_t* wid) {
  auto rule = refuse_rule(false, url, icase, rules, olimit, cachelocation);
  return rule && rcache().append(std::move(*rule), note, wid) ? 1 : 0;
}

uint8_t policydb_rcache_append(const char* url, uint8_t icase, uint8_t rules, uint32_t olimit, const char* note,
                               uint32_t* wid) {
  return policydb_rcache_append_x(url, icase, rules, olimit, 0, note, wid);
}

uint8_t policydb_rcache_modify_x(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, uint32_t olimit,
                                 uint32_t cachelocation, const char* note) {
  auto rule = refuse_rule(true, url, icase, rules, olimit, cachelocation);
  return rule && rcache().modify(wid, std::move(*rule), note) ? 1 : 0;
}

uint8_t policydb_rcache_modify(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, uint32_t olimit,
                               const char* note) {
  return policydb_rcache_modify_x(wid, url, icase, rules, olimit, 0, note);
}

uint8_t policydb_rcache_delete(uint32_t wid) { return change_delete(rcache(), wid); }
uint8_t policydb_rcache_moveup(uint32_t wid) { return change_move(rcache(), wid, true); }
uint8_t policydb_rcache_movedown(uint32_t wid) { return change_move(rcache(), wid, false); }

uint8_t policydb_rcache_IsHit_x(const char* url, uint32_t* olimit, uint32_t* cachelocation) {
  return refuse_is_hit(url, kAnyClass, olimit, cachelocation);
}
uint8_t policydb_rcache_IsHit(const char* url, uint32_t* olimit) { return refuse_is_hit(url, kAnyClass, olimit, nullptr); }

#define POLICYDB_RCACHE_CLASS_EXPORTS(n)                                                                   \
  uint8_t policydb_rcache_IsHit__olimit##n##_x(const char* url, uint32_t* olimit, uint32_t* cachelocation) { \
    return refuse_is_hit(url, n, olimit, cachelocation);                                                    \
  }                                                                                                         \
  uint8_t policydb_rcache_IsHit__olimit##n(const char* url, uint32_t* olimit) {                             \
    return refuse_is_hit(url, n, olimit, nullptr);                                                          \
  }

POLICYDB_RCACHE_CLASS_EXPORTS(0)
POLICYDB_RCACHE_CLASS_EXPORTS(1)
POLICYDB_RCACHE_CLASS_EXPORTS(2)
