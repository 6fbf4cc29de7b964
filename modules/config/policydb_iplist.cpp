// The IP black and white lists: loading with the range checks, the white list's table made and
// seeded when missing, the range questions of the request path and the admin changes.
#include "policydb_iplist.h"

#include "cu_date.h"
#include "cu_lib.h"
#include "cu_sock.h"
#include "policydb.h"

#include <algorithm>
#include <ctime>
#include <optional>

namespace policydb::iplist {

int64_t (*clock)() = edgeserv_mytime;

std::string dotted(uint32_t address) {
  char text[16];
  cu_sock_32bitsToIP(text, address);
  return text;
}

void RangeIndex::rebuild(const std::vector<Range>& ranges) {
  sorted = ranges;
  std::sort(sorted.begin(), sorted.end(), [](const Range& a, const Range& b) { return a.low < b.low; });
}

const Range* RangeIndex::holding(uint32_t address) const {
  auto after = std::upper_bound(sorted.begin(), sorted.end(), address,
                                [](uint32_t a, const Range& r) { return a < r.low; });
  if (after == sorted.begin()) return nullptr;
  const Range& r = *(after - 1);
  return address <= r.high ? &r : nullptr;
}

const Range* RangeIndex::intersecting(uint32_t low, uint32_t high, uint32_t except_wid) const {
  for (const Range& r : sorted) {
    if (r.low > high) break;
    if (r.wid != except_wid && r.high >= low) return &r;
  }
  return nullptr;
}

namespace {

bool intersect(const Range& a, uint32_t low, uint32_t high) { return a.low <= high && low <= a.high; }

}  // namespace

template <const family::Shape& S>
std::vector<Range>& RangeTraits<S>::loading() {
  static std::vector<Range> ranges;
  return ranges;
}

template <const family::Shape& S>
bool RangeTraits<S>::from_row(const family::Row& row, Rule& rule) {
  const char* low = row.text(0);
  const char* high = row.text(1);
  const char* wid = row.id_text();
  if (!low || !high) {
    report_error("[zazudaza -> config] '%s'->'low=NULL||high=NULL' error(wid=%s)!\r\n", S.table, wid);
    return false;
  }
  if (!cu_IP_to_32bits(&rule.low, low)) {
    report_error("[zazudaza -> config] '%s'->'low=%s' error(wid=%s)!\r\n", S.table, low, wid);
    return false;
  }
  if (!cu_IP_to_32bits(&rule.high, high)) {
    report_error("[zazudaza -> config] '%s'->'high=%s' error(wid=%s)!\r\n", S.table, high, wid);
    return false;
  }
  if (rule.high < rule.low) {
    report_error("[zazudaza -> config] '%s'->'low>high' error(wid=%s)!\r\n", S.table, wid);
    return false;
  }
  // Checked against the rows accepted before this one; linear, but loading runs once.
  for (const Range& held : loading()) {
    if (!intersect(held, rule.low, rule.high)) continue;
    report_error("[zazudaza -> config] '%s'->'low=%s, high=%s' conflict error(wid=%s)!\r\n", S.table, low, high,
                 wid);
    return false;
  }
  rule.expire = static_cast<uint32_t>(row.number(2));
  loading().push_back(rule);
  return true;
}

template <const family::Shape& S>
void RangeTraits<S>::values(const Rule& rule, family::Values& v) {
  v.text("low", dotted(rule.low).c_str());
  v.text("high", dotted(rule.high).c_str());
  v.number("expire", rule.expire);
}

template <const family::Shape& S>
void RangeTraits<S>::setup_row(const Rule& rule, int32_t index) {
  char date[40];
  cu_GetGMTString2(rule.expire, date, sizeof date);
  setup_log_write("|%-3.3s|%-19.19s|%-19.19s|%-25.25s|\r\n", std::to_string(index).c_str(), dotted(rule.low).c_str(),
                  dotted(rule.high).c_str(), date);
}

template <const family::Shape& S>
const char* RangeTraits<S>::subject(const Rule& rule) {
  thread_local std::string text;
  text = "low=" + dotted(rule.low) + ",high=" + dotted(rule.high);
  return text.c_str();
}

template struct RangeTraits<kBlackShape>;
template struct RangeTraits<kWhiteShape>;

BlackList& black() {
  static BlackList list;
  return list;
}
WhiteList& white() {
  static WhiteList list;
  return list;
}

namespace {

template <typename List>
void load_list(List& list) {
  using Traits = RangeTraits<List::shape>;
  Traits::loading().clear();
  list.load();
  Traits::loading().clear();
  Traits::loading().shrink_to_fit();
}

// The local time 2030-01-01 00:00:00 in Unix seconds: the expiry of the seeded white ranges.
uint32_t seeded_expire() {
  std::tm when{};
  when.tm_year = 2030 - 1900;
  when.tm_mon = 0;
  when.tm_mday = 1;
  when.tm_isdst = -1;
  return static_cast<uint32_t>(std::mktime(&when));
}

struct SeededRange {
  const char* low;
  const char* high;
  const char* note;
};
constexpr SeededRange kSeededWhite[] = {
    {"127.0.0.0", "127.255.255.255", "Local Loopback Address."},
    {"10.0.0.0", "10.255.255.255", "Local Area Network Address."},
    {"169.254.0.0", "169.254.255.255", "Local Area Network Address."},
    {"172.16.0.0", "172.255.255.255", "Local Area Network Address."},
    {"192.168.0.0", "192.168.255.255", "Local Area Network Address."},
    {"224.0.0.0", "224.255.255.255", "Local Area Network Address."},
    {"240.0.0.0", "240.255.255.255", "Local Area Network Address."},
};

// Only a missing table is made and seeded: an existing empty one was emptied on purpose.
void create_white_when_missing() {
  DbLock db_lock;
  if (exec("select low from wc_white limit 1")) return;
  exec("create table if not exists wc_white(wid integer primary key autoincrement, low varchar(20) not null, "
       "high varchar(20) not null, expire unsigned int(4) not null, note text)");
  exec("create unique index if not exists wc_white_low_and_high_index on wc_white(low, high)");
  const uint32_t expire = seeded_expire();
  uint32_t wid = 1;
  for (const SeededRange& r : kSeededWhite) {
    exec_format("insert into wc_white(wid, low, high, expire, note) values(%u, '%s', '%s', %u, '%s')", wid++, r.low,
                r.high, expire, r.note);
  }
}

template <typename List>
std::optional<Range> held(List& list, uint32_t wid) {
  return list.locked([wid](const std::vector<Range>& ranges, const RangeIndex&) -> std::optional<Range> {
    for (const Range& r : ranges) {
      if (r.wid == wid) return r;
    }
    return std::nullopt;
  });
}

// Every change holds the database lock, so a range checked free stays free until it is written.
template <typename List>
uint8_t append(List& list, uint32_t low, uint32_t high, uint32_t expire, const char* note, uint32_t* wid) {
  if (!db() || high < low) return 0;
  DbLock db_lock;
  const bool taken = list.locked([&](const std::vector<Range>&, const RangeIndex& index) {
    return index.intersecting(low, high, 0) != nullptr;
  });
  if (taken) return 0;
  return list.append(Range{0, low, high, expire}, note, wid) ? 1 : 0;
}

template <typename List>
uint8_t modify(List& list, uint32_t wid, uint32_t expire, const char* note) {
  if (!db()) return 0;
  DbLock db_lock;
  std::optional<Range> range = held(list, wid);
  if (!range) return 0;
  range->expire = expire;
  return list.modify(wid, *range, note) ? 1 : 0;
}

template <typename List>
uint8_t modify_ext(List& list, uint32_t wid, uint32_t low, uint32_t high, uint32_t expire, const char* note) {
  if (!db() || high < low) return 0;
  DbLock db_lock;
  const bool free = list.locked([&](const std::vector<Range>& ranges, const RangeIndex& index) {
    const bool known = std::any_of(ranges.begin(), ranges.end(), [wid](const Range& r) { return r.wid == wid; });
    return known && index.intersecting(low, high, wid) == nullptr;
  });
  if (!free) return 0;
  return list.modify(wid, Range{wid, low, high, expire}, note) ? 1 : 0;
}

template <typename List>
uint8_t is_hit(const List& list, uint32_t address) {
  if (!list.has_rules()) return 0;
  const uint32_t now = static_cast<uint32_t>(clock());
  return list.locked([&](const std::vector<Range>&, const RangeIndex& index) -> uint8_t {
    const Range* r = index.holding(address);
    return r && r->expire > now ? 1 : 0;
  });
}

}  // namespace

void load_black() { load_list(black()); }

void load_white() {
  if (db()) create_white_when_missing();
  load_list(white());
}

}  // namespace policydb::iplist

using policydb::iplist::black;
using policydb::iplist::white;

void policydb_black_load(void) { policydb::iplist::load_black(); }
uint8_t policydb_black_append(uint32_t low, uint32_t high, uint32_t expire, const char* note, uint32_t* wid) {
  return policydb::iplist::append(black(), low, high, expire, note, wid);
}
uint8_t policydb_black_modify(uint32_t wid, uint32_t expire, const char* note) {
  return policydb::iplist::modify(black(), wid, expire, note);
}
uint8_t policydb_black_modify_ext(uint32_t wid, uint32_t low, uint32_t high, uint32_t expire, const char* note) {
  return policydb::iplist::modify_ext(black(), wid, low, high, expire, note);
}
uint8_t policydb_black_delete(uint32_t wid) { return black().remove(wid) ? 1 : 0; }
uint8_t policydb_black_IsHit(uint32_t address) { return policydb::iplist::is_hit(black(), address); }

void policydb_white_load(void) { policydb::iplist::load_white(); }
uint8_t policydb_white_append(uint32_t low, uint32_t high, uint32_t expire, const char* note, uint32_t* wid) {
  return policydb::iplist::append(white(), low, high, expire, note, wid);
}
uint8_t policydb_white_modify(uint32_t wid, uint32_t expire, const char* note) {
  return policydb::iplist::modify(white(), wid, expire, note);
}
uint8_t policydb_white_modify_ext(uint32_t wid, uint32_t low, uint32_t high, uint32_t expire, const char* note) {
  return policydb::iplist::modify_ext(white(), wid, low, high, expire, note);
}
uint8_t policydb_white_delete(uint32_t wid) { return white().remove(wid) ? 1 : 0; }
uint8_t policydb_white_IsHit(uint32_t address) { return policydb::iplist::is_hit(white(), address); }
