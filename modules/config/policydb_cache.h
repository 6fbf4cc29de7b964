// The cache rule families: session-cache rules (which responses start a visitor's session),
// intelligent- and force-cache rules (how long a response of a class may be cached) and
// refuse-cache rules (which responses of a class must not be cached). Each is an ordered family
// of the family driver whose rules carry a URL pattern.
#pragma once
#include "policydb_family.h"
#include "policydb_urlrule.h"

#include <array>
#include <climits>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace policydb::cache {

constexpr int kClasses = 3;  // olimit: 0 public, 1 member, 2 visitor

struct SessionRule {
  uint32_t wid = 0;
  uint32_t num = 0;
  url::Pattern pattern;
  int32_t expire = 0;  // seconds
  std::string name;    // the session cookie
};

struct CacheRule {
  uint32_t wid = 0;
  uint32_t num = 0;
  url::Pattern pattern;
  uint32_t expire = 0;  // in units
  uint8_t unit = 0;     // 0 day, 1 hour, 2 minute, 3 second
  uint8_t icookie = 0;
  uint32_t olimit = 0;
  uint32_t isdiskcache = 0;
};

struct RefuseRule {
  uint32_t wid = 0;
  uint32_t num = 0;
  url::Pattern pattern;
  uint32_t olimit = 0;
  uint32_t cachelocation = 0;  // 0 refuse every cache, 1 the disk cache only
};

// The distinct cookie names in the order each is first met walking the rules.
struct SessionNames {
  std::vector<std::string> names;
  void rebuild(const std::vector<SessionRule>& rules);
};

// How many rules each class holds; read without the lock as a quick "empty" test.
struct ClassCounts {
  std::array<std::atomic<uint32_t>, kClasses> counts{};
  template <typename Rules>
  void rebuild(const Rules& rules) {
    std::array<uint32_t, kClasses> n{};
    for (const auto& rule : rules) {
      if (rule.olimit < kClasses) ++n[rule.olimit];
    }
    for (int c = 0; c < kClasses; ++c) counts[c].store(n[c], std::memory_order_relaxed);
  }
  bool empty(uint32_t olimit) const { return counts[olimit].load(std::memory_order_relaxed) == 0; }
};

// Columns in the order the loader checks them; expire last, since it is never refused.
inline constexpr family::Column kSessionColumns[] = {
    {"rules", true, true, 0, 2},
    {"url", false, true, 0, 0},
    {"icase", true, true, INT32_MIN, INT32_MAX},
    {"sessionid", false, true, 0, 0},
    {"expire", true, false, INT32_MIN, INT32_MAX},
};
inline constexpr family::Column kCacheColumns[] = {
    {"rules", true, true, 0, 2},
    {"url", false, true, 0, 0},
    {"icase", true, true, INT32_MIN, INT32_MAX},
    {"unit", true, true, 0, 3},
    {"icookie", true, true, INT32_MIN, INT32_MAX},
    {"olimit", true, true, 0, 2, true},
    {"isdiskcache", true, true, 0, 1, true},
    {"expire", true, false, INT32_MIN, INT32_MAX},
};
inline constexpr family::Column kRefuseColumns[] = {
    {"rules", true, true, 0, 2},
    {"url", false, true, 0, 0},
    {"icase", true, true, INT32_MIN, INT32_MAX},
    {"olimit", true, true, 0, 2, true},
    {"cachelocation", true, true, 0, 1, true},
};
inline constexpr const char* kUrlKey[] = {"url"};
inline constexpr const char* kUrlClassKey[] = {"url", "olimit"};
inline constexpr family::Migration kIcacheMigrations[] = {
    {"isdiskcache", "alter table wc_icache add isdiskcache int default '1' not null"}};
inline constexpr family::Migration kFcacheMigrations[] = {
    {"isdiskcache", "alter table wc_fcache add isdiskcache int default '1' not null"}};
inline constexpr family::Migration kRcacheMigrations[] = {
    {"cachelocation", "alter table wc_rcache add cachelocation int default '0' not null"}};

inline constexpr const char* kRuledWide = "+--+-------------------------------------------------------+-----+------+----+\r\n";
inline constexpr const char* kRuledNarrow = "+--+-------------------------------------------------------+-----+\r\n";

inline constexpr family::Shape kScacheShape = {
    "wc_scache", "scache", "wid", true, 1000, kSessionColumns, 5, kUrlKey, 1, nullptr, 0,
    "[zazudaza -> config] read 'wc_scache' table error!\r\n",
    "[zazudaza -> config] select 'wc_scache' table error(max(wid))!\r\n",
    "[zazudaza -> config] insert 'wc_scache' table error(url=%s)!\r\n",
    "[zazudaza -> config] update 'wc_scache' table error(wid=%u)!\r\n",
    "[zazudaza -> config] delete 'wc_scache' table error(wid=%u)!\r\n",
    "Config -> SessionCacheList:\r\n", kRuledWide,
    "|NO|GetSessionUrl - Login Action Url                       |Rules|Expire|Unit|\r\n"};
inline constexpr family::Shape kIcacheShape = {
    "wc_icache", "icache", "wid", true, 1000, kCacheColumns, 8, kUrlClassKey, 2, kIcacheMigrations, 1,
    "[zazudaza -> config] read 'wc_icache' table error!\r\n",
    "[zazudaza -> config] select 'wc_icache' table error(max(wid))!\r\n",
    "[zazudaza -> config] insert 'wc_icache' table error(url=%s)!\r\n",
    "[zazudaza -> config] update 'wc_icache' table error(wid=%u)!\r\n",
    "[zazudaza -> config] delete 'wc_icache' table error(wid=%u)!\r\n",
    "Config -> IntelligentCacheList:\r\n", kRuledWide,
    "|NO|iCacheUrl                                              |Rules|Expire|Unit|\r\n"};
inline constexpr family::Shape kFcacheShape = {
    "wc_fcache", "fcache", "wid", true, 1000, kCacheColumns, 8, kUrlClassKey, 2, kFcacheMigrations, 1,
    "[zazudaza -> config] read 'wc_fcache' table error!\r\n",
    "[zazudaza -> config] select 'wc_fcache' table error(max(wid))!\r\n",
    "[zazudaza -> config] insert 'wc_fcache' table error(url=%s)!\r\n",
    "[zazudaza -> config] update 'wc_fcache' table error(wid=%u)!\r\n",
    "[zazudaza -> config] delete 'wc_fcache' table error(wid=%u)!\r\n",
    "Config -> ForceCacheList:\r\n", kRuledWide,
    "|NO|fCacheUrl                                              |Rules|Expire|Unit|\r\n"};
inline constexpr family::Shape kRcacheShape = {
    "wc_rcache", "rcache", "wid", true, 1000, kRefuseColumns, 5, kUrlClassKey, 2, kRcacheMigrations, 1,
    "[zazudaza -> config] read 'wc_rcache' table error!\r\n",
    "[zazudaza -> config] select 'wc_rcache' table error(max(wid))!\r\n",
    "[zazudaza -> config] insert 'wc_rcache' table error(url=%s)!\r\n",
    "[zazudaza -> config] update 'wc_rcache' table error(wid=%u)!\r\n",
    "[zazudaza -> config] delete 'wc_rcache' table error(wid=%u)!\r\n",
    "Config -> RefuseCacheList:\r\n", kRuledNarrow,
    "|NO|rCacheUrl                                              |Rules|\r\n"};

struct SessionTraits {
  using Rule = SessionRule;
  using Index = SessionNames;
  static constexpr const family::Shape& shape = kScacheShape;
  static bool from_row(const family::Row& row, Rule& rule);
  static void values(const Rule& rule, family::Values& v);
  static void setup_row(const Rule& rule, int32_t index);
  static const char* subject(const Rule& rule) { return rule.pattern.text().c_str(); }
};

// One traits type per table: the intelligent- and force-cache families differ only in their shape.
template <const family::Shape& S>
struct CacheTraits {
  using Rule = CacheRule;
  using Index = ClassCounts;
  static constexpr const family::Shape& shape = S;
  static bool from_row(const family::Row& row, Rule& rule);
  static void values(const Rule& rule, family::Values& v);
  static void setup_row(const Rule& rule, int32_t index);
  static const char* subject(const Rule& rule) { return rule.pattern.text().c_str(); }
};

struct RefuseTraits {
  using Rule = RefuseRule;
  using Index = ClassCounts;
  static constexpr const family::Shape& shape = kRcacheShape;
  static bool from_row(const family::Row& row, Rule& rule);
  static void values(const Rule& rule, family::Values& v);
  static void setup_row(const Rule& rule, int32_t index);
  static const char* subject(const Rule& rule) { return rule.pattern.text().c_str(); }
};

using SessionFamily = family::Family<SessionTraits>;
using IcacheFamily = family::Family<CacheTraits<kIcacheShape>>;
using FcacheFamily = family::Family<CacheTraits<kFcacheShape>>;
using RefuseFamily = family::Family<RefuseTraits>;

SessionFamily& scache();
IcacheFamily& icache();
FcacheFamily& fcache();
RefuseFamily& rcache();

// Expiry in seconds of a count in a unit, capped to stay within 32 bits.
uint32_t expire_seconds(uint32_t count, uint8_t unit);

// Loaders and resets in the module's load order.
void load_scache();
void load_icache();
void load_fcache();
void load_rcache();
void reset_all();

}  // namespace policydb::cache
