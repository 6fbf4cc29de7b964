// The rule-table families: one descriptor per family (its statements, parameters and checks in
// order, error numbers and rules-store calls) and one driver per command that reads it.
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <string>

#include "adminweb_commands.h"
#include "adminweb_internal.h"
#include "cu_date.h"
#include "cu_lib.h"
#include "cu_sock.h"
#include "policydb.h"

namespace vor::adminweb {
namespace {

constexpr size_t kMaxParams = 9;
constexpr int64_t kMaxUrl = 2048, kMaxNote = 1024;
constexpr char kLastExpiry[] = "2030-01-01 00:00:00";

enum class Check : uint8_t {
  kUrl,       // prefixes stripped, then its length lo..hi bytes
  kText,      // length lo..hi bytes
  kNumber,    // lo..hi
  kAddress,   // dotted IPv4
  kHigh,      // dotted IPv4 not below the parameter before it
  kDate,      // a local date-time; the earlier of it and kLastExpiry is kept
};

struct Param {
  const char* name;
  const char* fallback;  // nullptr: required
  Check check;
  int64_t lo, hi;
  uint32_t error;
  const char* strip = nullptr;       // removed from the start, case ignored
  const char* strip_else = nullptr;  // tried only when strip is absent
  bool pair_on_modify = false;       // modify: counts only when both of a pair are present
};

struct Values {
  std::array<std::string, kMaxParams> text;
  std::array<int64_t, kMaxParams> num{};
  std::array<bool, kMaxParams> present{};
  const char* s(size_t i) const { return text[i].c_str(); }
  uint8_t flag(size_t i) const { return num[i] != 0 ? 1 : 0; }
  uint8_t byte(size_t i) const { return static_cast<uint8_t>(num[i]); }
  uint32_t u(size_t i) const { return static_cast<uint32_t>(num[i]); }
};

struct Member {
  const char* name;
  int32_t column;
  bool date = false;  // seconds since 1970 shown as a local date
};

struct RuleFamily {
  const char* type;
  const char* table;           // named in the failed-SELECT line
  const char* list_sql;        // permit: "%u" the protection rule
  const char* query_sql;       // "%u" the id (permit: the id, then the protection rule)
  const char* id_name;         // the id parameter and reply member
  const char* parent_name;     // permit's "ProtectID", else nullptr
  std::span<const Member> members;
  std::span<const Param> params;  // in check order
  uint32_t add_error, modify_error;
  bool cache;  // a new rule's number below 0 is refused too
  bool (*add)(uint32_t parent, const Values& v, uint32_t* id);
  bool (*modify)(uint32_t parent, uint32_t id, const Values& v);
  bool (*del)(uint32_t parent, uint32_t id);
  bool (*up)(uint32_t id);
  bool (*down)(uint32_t id);
  void (*adjust)(Values& v);  // after the checks
};

// --- the families ---

constexpr Param kIcase{"Icase", nullptr, Check::kNumber, 0, 1, 23};
constexpr Param kRules{"Rules", nullptr, Check::kNumber, 0, 2, 23};
constexpr Param kNote{"Note", "", Check::kText, 0, kMaxNote, 23};
constexpr Param kCacheUrl{"Url", nullptr, Check::kUrl, 1, kMaxUrl, 30, "http://"};
constexpr Param kExpire{"Expire", nullptr, Check::kNumber, 1, INT32_MAX, 23};
constexpr Param kUnit{"Unit", nullptr, Check::kNumber, 0, 3, 23};
constexpr Param kIcookie{"Icookie", "1", Check::kNumber, 0, 1, 23};
constexpr Param kOlimit{"Olimit", "0", Check::kNumber, 0, 2, 23};
constexpr Param kIsDiskCache{"IsDiskCache", "1", Check::kNumber, 0, 1, 23};

constexpr Member kScacheMembers[] = {{"Wid", 0},           {"ActionUrl", 2},         {"Icase", 3}, {"Rules", 4},
                                     {"SessionExpire", 5}, {"SetCookieSessionID", 6}, {"Note", 7}};
constexpr Param kScacheParams[] = {{"ActionUrl", nullptr, Check::kUrl, 1, kMaxUrl, 30, "http://"},
                                   kIcase,
                                   kRules,
                                   {"SessionExpire", nullptr, Check::kNumber, 1, INT32_MAX, 23},
                                   {"SetCookieSessionID", nullptr, Check::kText, 1, 64, 23},
                                   kNote};

constexpr Member kFcacheMembers[] = {{"Wid", 0},     {"Url", 2},    {"Icase", 3},  {"Rules", 4},
                                     {"Expire", 5},  {"Unit", 6},   {"Icookie", 7}, {"Olimit", 8},
                                     {"IsDiskCache", 9}, {"Note", 10}};
constexpr Param kFcacheParams[] = {kCacheUrl, kIcase,   kRules,       kExpire, kUnit,
                                   kIcookie,  kOlimit, kIsDiskCache, kNote};

constexpr Member kIcacheMembers[] = {{"Wid", 0},    {"Url", 2},     {"Icase", 3},       {"Rules", 4}, {"Expire", 5},
                                     {"Unit", 6},   {"Icookie", 7}, {"IsDiskCache", 8}, {"Note", 9}};
constexpr Param kIcacheParams[] = {kCacheUrl, kIcase, kRules, kExpire, kUnit, kIcookie, kIsDiskCache, kNote};

constexpr Member kRcacheMembers[] = {{"Wid", 0},    {"Url", 2},           {"Icase", 3}, {"Rules", 4},
                                     {"Olimit", 5}, {"CacheLocation", 6}, {"Note", 7}};
constexpr Param kRcacheParams[] = {
    kCacheUrl, kIcase, kRules, kOlimit, {"CacheLocation", "0", Check::kNumber, 0, 1, 23}, kNote};

constexpr Member kProtectMembers[] = {
    {"ProtectID", 0}, {"ProtectUrl", 1}, {"LocationUrl", 2}, {"Icase", 3}, {"Note", 4}};
constexpr Param kProtectParams[] = {{"ProtectUrl", nullptr, Check::kUrl, 1, kMaxUrl, 23, "http://", "https://"},
                                    {"LocationUrl", nullptr, Check::kText, 0, kMaxUrl, 23},
                                    kIcase,
                                    kNote};

constexpr Member kPermitMembers[] = {{"PermitID", 0}, {"PermitUrl", 2}, {"Icase", 3}, {"Note", 4}};
constexpr Param kPermitParams[] = {{"PermitUrl", nullptr, Check::kUrl, 1, kMaxUrl, 23, "http://", "https://"},
                                   kIcase,
                                   kNote};

constexpr Member kRewriteMembers[] = {{"RewriteID", 0},      {"SourceUrl", 2}, {"DestinationUrl", 3},
                                      {"Icase", 4},          {"Flag", 5},      {"Note", 6}};
constexpr Param kRewriteParams[] = {{"SourceUrl", nullptr, Check::kUrl, 1, kMaxUrl, 23, "http://"},
                                    {"DestinationUrl", nullptr, Check::kText, 0, kMaxUrl, 23},
                                    kIcase,
                                    {"Flag", nullptr, Check::kNumber, 0, 3, 23},
                                    kNote};

constexpr Member kBlackMembers[] = {{"BlackID", 0}, {"Low", 1}, {"High", 2}, {"Expire", 3, true}, {"Note", 4}};
constexpr Member kWhiteMembers[] = {{"WhiteID", 0}, {"Low", 1}, {"High", 2}, {"Expire", 3, true}, {"Note", 4}};
constexpr Param kRangeParams[] = {{"Low", nullptr, Check::kAddress, 0, 0, 23, nullptr, nullptr, true},
                                  {"High", nullptr, Check::kHigh, 0, 0, 23, nullptr, nullptr, true},
                                  {"Expire", nullptr, Check::kDate, 0, 0, 23},
                                  kNote};

// A 302 rewrite keeps the scheme of its destination.
void strip_destination(Values& v) {
  if (v.num[3] != 1 && strncasecmp(v.s(1), "http://", 7) == 0) v.text[1].erase(0, 7);
}

template <uint8_t (*Modify)(uint32_t, uint32_t, const char*),
          uint8_t (*ModifyExt)(uint32_t, uint32_t, uint32_t, uint32_t, const char*)>
bool modify_range(uint32_t, uint32_t id, const Values& v) {
  if (v.present[0] && v.present[1]) return ModifyExt(id, v.u(0), v.u(1), v.u(2), v.s(3));
  return Modify(id, v.u(2), v.s(3));
}

template <uint8_t (*Append)(uint32_t, uint32_t, uint32_t, const char*, uint32_t*)>
bool append_range(uint32_t, const Values& v, uint32_t* id) {
  return Append(v.u(0), v.u(1), v.u(2), v.s(3), id);
}

template <uint8_t (*Delete)(uint32_t)>
bool delete_row(uint32_t, uint32_t id) {
  return Delete(id);
}
template <uint8_t (*Move)(uint32_t)>
bool move_row(uint32_t id) {
  return Move(id);
}

constexpr RuleFamily kScache{
    "scache", "wc_scache",
    "select wid, num, url, icase, rules, expire, sessionid, note from wc_scache order by num limit 1000",
    "select wid, num, url, icase, rules, expire, sessionid, note from wc_scache where wid=%u order by num limit 1",
    "Wid", nullptr, kScacheMembers, kScacheParams, 30, 31, true,
    [](uint32_t, const Values& v, uint32_t* id) -> bool {
      return policydb_scache_append(v.s(0), v.flag(1), v.byte(2), static_cast<int32_t>(v.num[3]), v.s(4), v.s(5), id);
    },
    [](uint32_t, uint32_t id, const Values& v) -> bool {
      return policydb_scache_modify(id, v.s(0), v.flag(1), v.byte(2), static_cast<int32_t>(v.num[3]), v.s(4), v.s(5));
    },
    delete_row<policydb_scache_delete>, move_row<policydb_scache_moveup>, move_row<policydb_scache_movedown>,
    nullptr};

constexpr RuleFamily kFcache{
    "fcache", "wc_fcache",
    "select wid, num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note from wc_fcache order by "
    "num limit 1000",
    "select wid, num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note from wc_fcache where "
    "wid=%u order by num limit 1",
    "Wid", nullptr, kFcacheMembers, kFcacheParams, 30, 31, true,
    [](uint32_t, const Values& v, uint32_t* id) -> bool {
      return policydb_fcache_append_x(v.s(0), v.flag(1), v.byte(2), v.u(3), v.byte(4), v.flag(5), v.u(6), v.u(7),
                                      v.s(8), id);
    },
    [](uint32_t, uint32_t id, const Values& v) -> bool {
      return policydb_fcache_modify_x(id, v.s(0), v.flag(1), v.byte(2), v.u(3), v.byte(4), v.flag(5), v.u(6), v.u(7),
                                      v.s(8));
    },
    delete_row<policydb_fcache_delete>, move_row<policydb_fcache_moveup>, move_row<policydb_fcache_movedown>,
    nullptr};

constexpr RuleFamily kIcache{
    "icache", "wc_icache",
    "select wid, num, url, icase, rules, expire, unit, icookie, isdiskcache, note from wc_icache order by num "
    "limit 1000",
    "select wid, num, url, icase, rules, expire, unit, icookie, isdiskcache, note from wc_icache where wid=%u "
    "order by num limit 1",
    "Wid", nullptr, kIcacheMembers, kIcacheParams, 30, 31, true,
    [](uint32_t, const Values& v, uint32_t* id) -> bool {
      return policydb_icache_append_x(v.s(0), v.flag(1), v.byte(2), v.u(3), v.byte(4), v.flag(5), 0, v.u(6), v.s(7),
                                      id);
    },
    [](uint32_t, uint32_t id, const Values& v) -> bool {
      return policydb_icache_modify_x(id, v.s(0), v.flag(1), v.byte(2), v.u(3), v.byte(4), v.flag(5), 0, v.u(6),
                                      v.s(7));
    },
    delete_row<policydb_icache_delete>, move_row<policydb_icache_moveup>, move_row<policydb_icache_movedown>,
    nullptr};

constexpr RuleFamily kRcache{
    "rcache", "wc_rcache",
    "select wid, num, url, icase, rules, olimit, cachelocation, note from wc_rcache order by num limit 1000",
    "select wid, num, url, icase, rules, olimit, cachelocation, note from wc_rcache where wid=%u order by num "
    "limit 1",
    "Wid", nullptr, kRcacheMembers, kRcacheParams, 30, 31, true,
    [](uint32_t, const Values& v, uint32_t* id) -> bool {
      return policydb_rcache_append_x(v.s(0), v.flag(1), v.byte(2), v.u(3), v.u(4), v.s(5), id);
    },
    [](uint32_t, uint32_t id, const Values& v) -> bool {
      return policydb_rcache_modify_x(id, v.s(0), v.flag(1), v.byte(2), v.u(3), v.u(4), v.s(5));
    },
    delete_row<policydb_rcache_delete>, move_row<policydb_rcache_moveup>, move_row<policydb_rcache_movedown>,
    nullptr};

constexpr RuleFamily kProtect{
    "protect", "wc_protect", "select wid, pturl, lcurl, icase, note from wc_protect order by wid limit 1000",
    "select wid, pturl, lcurl, icase, note from wc_protect where wid=%u limit 1", "ProtectID", nullptr,
    kProtectMembers, kProtectParams, 70, 71, false,
    [](uint32_t, const Values& v, uint32_t* id) -> bool {
      return policydb_protect_append(v.s(0), v.s(1), v.flag(2), v.s(3), id);
    },
    [](uint32_t, uint32_t id, const Values& v) -> bool {
      return policydb_protect_modify(id, v.s(0), v.s(1), v.flag(2), v.s(3));
    },
    delete_row<policydb_protect_delete>, nullptr, nullptr, nullptr};

constexpr RuleFamily kPermit{
    "permit", "wc_permit",
    "select permitid, wid, pturl, icase, note from wc_permit where wid=%u order by permitid limit 1000",
    "select permitid, wid, pturl, icase, note from wc_permit where permitid=%u and wid=%u limit 1", "PermitID",
    "ProtectID", kPermitMembers, kPermitParams, 72, 73, false,
    [](uint32_t parent, const Values& v, uint32_t* id) -> bool {
      return policydb_permit_append(parent, v.s(0), v.flag(1), v.s(2), id);
    },
    [](uint32_t parent, uint32_t id, const Values& v) -> bool {
      return policydb_permit_modify(id, parent, v.s(0), v.flag(1), v.s(2));
    },
    [](uint32_t parent, uint32_t id) -> bool { return policydb_permit_delete(parent, id); }, nullptr, nullptr,
    nullptr};

constexpr RuleFamily kRewrite{
    "rewrite", "wc_rewrite",
    "select wid, num, src, dst, icase, flag, note from wc_rewrite order by num limit 1000",
    "select wid, num, src, dst, icase, flag, note from wc_rewrite where wid=%u order by num limit 1", "RewriteID",
    nullptr, kRewriteMembers, kRewriteParams, 60, 61, false,
    [](uint32_t, const Values& v, uint32_t* id) -> bool {
      return policydb_rewrite_append(v.s(0), v.s(1), v.flag(2), v.byte(3), v.s(4), id);
    },
    [](uint32_t, uint32_t id, const Values& v) -> bool {
      return policydb_rewrite_modify(id, v.s(0), v.s(1), v.flag(2), v.byte(3), v.s(4));
    },
    delete_row<policydb_rewrite_delete>, move_row<policydb_rewrite_moveup>, move_row<policydb_rewrite_movedown>,
    strip_destination};

constexpr RuleFamily kBlack{
    "black", "wc_black", "select wid, low, high, expire, note from wc_black order by wid limit 1000",
    "select wid, low, high, expire, note from wc_black where wid=%u limit 1", "BlackID", nullptr, kBlackMembers,
    kRangeParams, 40, 41, false,
    append_range<policydb_black_append>, modify_range<policydb_black_modify, policydb_black_modify_ext>,
    delete_row<policydb_black_delete>, nullptr, nullptr, nullptr};

constexpr RuleFamily kWhite{
    "white", "wc_white", "select wid, low, high, expire, note from wc_white order by wid limit 1000",
    "select wid, low, high, expire, note from wc_white where wid=%u limit 1", "WhiteID", nullptr, kWhiteMembers,
    kRangeParams, 40, 41, false,
    append_range<policydb_white_append>, modify_range<policydb_white_modify, policydb_white_modify_ext>,
    delete_row<policydb_white_delete>, nullptr, nullptr, nullptr};

// --- the checks ---

void strip_prefix(std::string& text, const Param& p) {
  for (const char* prefix : {p.strip, p.strip_else}) {
    if (prefix && strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0) {
      text.erase(0, strlen(prefix));
      return;
    }
  }
}

// 0 when the value passes, else the parameter's error.
uint32_t check_value(const Param& p, size_t i, Values& v) {
  std::string& text = v.text[i];
  int64_t& num = v.num[i];
  const auto length = static_cast<int64_t>(text.size());
  switch (p.check) {
    case Check::kUrl:
      strip_prefix(text, p);
      return static_cast<int64_t>(text.size()) >= p.lo && static_cast<int64_t>(text.size()) <= p.hi ? 0 : p.error;
    case Check::kText:
      return length >= p.lo && length <= p.hi ? 0 : p.error;
    case Check::kNumber:
      num = number(text.c_str());
      return num >= p.lo && num <= p.hi ? 0 : p.error;
    case Check::kAddress:
    case Check::kHigh: {
      uint32_t address = 0;
      if (!cu_sock_IPTo32bits(&address, text.c_str())) return p.error;
      num = address;
      return p.check == Check::kHigh && i > 0 && num < v.num[i - 1] ? p.error : 0;
    }
    case Check::kDate: {
      const int64_t when = cu_DateToTime(text.c_str());
      if (when <= 0) return p.error;
      num = std::min(when, cu_DateToTime(kLastExpiry));
      return 0;
    }
  }
  return p.error;
}

bool modifying_skips(const Param& p, const Values& v, size_t i, bool modify) {
  if (!modify || !p.pair_on_modify) return false;
  const size_t other = p.check == Check::kHigh ? i - 1 : i + 1;
  return !(v.present[i] && v.present[other]);
}

// Reads every parameter (fallbacks for absent optional ones); false when a required one is missing.
bool read_params(const RuleFamily& f, const Request& r, Values& v, bool modify) {
  for (size_t i = 0; i < f.params.size(); ++i) {
    const Param& p = f.params[i];
    const char* value = param(r, p.name);
    v.present[i] = value != nullptr;
    if (!value && !p.fallback && !(modify && p.pair_on_modify)) return false;
    v.text[i] = value ? value : (p.fallback ? p.fallback : "");
  }
  return true;
}

uint32_t check_params(const RuleFamily& f, Values& v, bool modify) {
  for (size_t i = 0; i < f.params.size(); ++i) {
    if (modifying_skips(f.params[i], v, i, modify)) continue;
    if (const uint32_t error = check_value(f.params[i], i, v)) return error;
  }
  if (f.adjust) f.adjust(v);
  return 0;
}

// --- the drivers ---

struct Ids {
  int64_t id = 0, parent = 0;
};

// The id parameters a command needs are present (read as numbers).
bool read_ids(const RuleFamily& f, const Request& r, bool id, bool parent, Ids& ids) {
  const char* id_text = id ? param(r, f.id_name) : "";
  const char* parent_text = parent && f.parent_name ? param(r, f.parent_name) : "";
  if (!id_text || !parent_text) return false;
  ids.id = id ? number(id_text) : 0;
  ids.parent = parent && f.parent_name ? number(parent_text) : 0;
  return true;
}

void reply_ids(const RuleFamily& f, const Request& r, const Ids& ids) {
  Body body(r.params, true);
  if (f.parent_name) body.number(f.parent_name, static_cast<int32_t>(ids.parent));
  body.number(f.id_name, static_cast<int32_t>(ids.id));
  reply_text(r.sid, body.finish());
}

void select_rows(const RuleFamily& f, const Request& r, const Ids& ids, bool one) {
  DbLock db;
  SqlResult rows(one ? (f.parent_name ? vor_sqlite_ExecExt(state().db, f.query_sql, static_cast<uint32_t>(ids.id),
                                                           static_cast<uint32_t>(ids.parent))
                                      : vor_sqlite_ExecExt(state().db, f.query_sql, static_cast<uint32_t>(ids.id)))
                     : (f.parent_name ? vor_sqlite_ExecExt(state().db, f.list_sql, static_cast<uint32_t>(ids.parent))
                                      : vor_sqlite_exec(state().db, f.list_sql)));
  if (!rows) {
    const std::string line = std::string("[vuved -> zazudaza] select '") + f.table + "' table error!\r\n";
    report_db_error(line.c_str());
    return reply_error(r.sid, r.params, 10);
  }
  Body body(r.params, true);
  if (f.parent_name) body.number(f.parent_name, static_cast<int32_t>(ids.parent));
  std::array<const char*, 12> names{};
  for (size_t c = 0; c < f.members.size(); ++c) names[c] = f.members[c].name;
  std::string date;
  body.list(vor_sqlite_result_GetNumRows(rows.get()), names.data(), static_cast<int32_t>(f.members.size()),
            [&](int32_t row, int32_t c) -> const char* {
              const Member& m = f.members[static_cast<size_t>(c)];
              const char* cell = nullptr;
              vor_sqlite_result_GetValue(rows.get(), m.column, row, &cell);
              if (!m.date) return cell;
              date = local_date(cu_strtoll(cell ? cell : "0", nullptr, 10));
              return date.c_str();
            });
  const std::string text = body.finish();
  rows.reset();
  reply_text(r.sid, text);
}

template <const RuleFamily& F>
void run_list(const Request& r) {
  Ids ids;
  if (!param(r, "SessionID") || !read_ids(F, r, false, true, ids)) return reply_error(r.sid, r.params, 23);
  if (const uint32_t error = check_session(r, Access::kRead)) return reply_error(r.sid, r.params, error);
  if (ids.parent < 0) return reply_error(r.sid, r.params, 23);
  select_rows(F, r, ids, false);
}

template <const RuleFamily& F>
void run_query(const Request& r) {
  Ids ids;
  if (!param(r, "SessionID") || !read_ids(F, r, true, true, ids)) return reply_error(r.sid, r.params, 23);
  if (const uint32_t error = check_session(r, Access::kRead)) return reply_error(r.sid, r.params, error);
  if (ids.id < 0 || ids.parent < 0) return reply_error(r.sid, r.params, 23);
  select_rows(F, r, ids, true);
}

// del, up and down: the id, a rules-store call answering true or false.
template <const RuleFamily& F, bool (*Call)(const RuleFamily&, const Ids&)>
void run_change(const Request& r) {
  Ids ids;
  if (!param(r, "SessionID") || !read_ids(F, r, true, true, ids)) return reply_error(r.sid, r.params, 23);
  if (const uint32_t error = check_session(r, Access::kChange)) return reply_error(r.sid, r.params, error);
  if (ids.id < 0 || ids.parent < 0) return reply_error(r.sid, r.params, 23);
  if (!Call(F, ids)) return reply_error(r.sid, r.params, 10);
  reply_ids(F, r, ids);
}

bool call_delete(const RuleFamily& f, const Ids& ids) {
  return f.del(static_cast<uint32_t>(ids.parent), static_cast<uint32_t>(ids.id));
}
bool call_up(const RuleFamily& f, const Ids& ids) { return f.up(static_cast<uint32_t>(ids.id)); }
bool call_down(const RuleFamily& f, const Ids& ids) { return f.down(static_cast<uint32_t>(ids.id)); }

template <const RuleFamily& F, bool kModify>
void run_write(const Request& r) {
  Ids ids;
  Values v;
  if (!param(r, "SessionID") || !read_ids(F, r, kModify, true, ids) || !read_params(F, r, v, kModify)) {
    return reply_error(r.sid, r.params, 23);
  }
  if (const uint32_t error = check_session(r, Access::kChange)) return reply_error(r.sid, r.params, error);
  if (ids.id < 0 || ids.parent < 0) return reply_error(r.sid, r.params, 23);
  if (const uint32_t error = check_params(F, v, kModify)) return reply_error(r.sid, r.params, error);
  const auto parent = static_cast<uint32_t>(ids.parent);
  if (kModify) {
    if (!F.modify(parent, static_cast<uint32_t>(ids.id), v)) return reply_error(r.sid, r.params, F.modify_error);
  } else {
    uint32_t id = 0;
    if (!F.add(parent, v, &id) || (F.cache && static_cast<int32_t>(id) < 0)) {
      return reply_error(r.sid, r.params, F.add_error);
    }
    ids.id = static_cast<int32_t>(id);
  }
  reply_ids(F, r, ids);
}

template <const RuleFamily& F, typename... Extra>
constexpr auto ordered_commands(Extra... extra) {
  return std::array<Command, 7 + sizeof...(Extra)>{
      Command{"list", run_list<F>, 0},        Command{"query", run_query<F>, 0},
      Command{"up", run_change<F, call_up>, 0}, Command{"down", run_change<F, call_down>, 0},
      Command{"add", run_write<F, false>, 0}, Command{"modify", run_write<F, true>, 0},
      Command{"del", run_change<F, call_delete>, 0}, extra...};
}

template <const RuleFamily& F>
constexpr std::array<Command, 5> kUnorderedCommands{
    Command{"list", run_list<F>, 0}, Command{"query", run_query<F>, 0}, Command{"add", run_write<F, false>, 0},
    Command{"modify", run_write<F, true>, 0}, Command{"del", run_change<F, call_delete>, 0}};

constexpr auto kScacheCommands = ordered_commands<kScache>(Command{"cleancache", purge_scache, 0});
constexpr auto kFcacheCommands = ordered_commands<kFcache>(Command{"cleancache", purge_clean_fcache, 0},
                                                           Command{"freshcache", purge_fresh_fcache, 0});
constexpr auto kIcacheCommands = ordered_commands<kIcache>(Command{"cleancache", purge_clean_icache, 0},
                                                           Command{"freshcache", purge_fresh_icache, 0});
constexpr auto kRcacheCommands = ordered_commands<kRcache>(Command{"freshcache", purge_fresh_rcache, 0});
constexpr auto kRewriteCommands = ordered_commands<kRewrite>();

}  // namespace

std::span<const Command> scache_commands() { return kScacheCommands; }
std::span<const Command> fcache_commands() { return kFcacheCommands; }
std::span<const Command> icache_commands() { return kIcacheCommands; }
std::span<const Command> rcache_commands() { return kRcacheCommands; }
std::span<const Command> protect_commands() { return kUnorderedCommands<kProtect>; }
std::span<const Command> permit_commands() { return kUnorderedCommands<kPermit>; }
std::span<const Command> rewrite_commands() { return kRewriteCommands; }
std::span<const Command> black_commands() { return kUnorderedCommands<kBlack>; }
std::span<const Command> white_commands() { return kUnorderedCommands<kWhite>; }

}  // namespace vor::adminweb
