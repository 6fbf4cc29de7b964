// The IP black and white lists: IPv4 address ranges with an expiry each, ranges of one list never
// overlapping. Each list is an unordered family of the family driver kept in wid order, with an
// index of its ranges sorted by their first address for the request path.
#pragma once
#include "policydb_family.h"

#include <cstdint>
#include <string>
#include <vector>

namespace policydb::iplist {

struct Range {
  uint32_t wid = 0;
  uint32_t low = 0;  // first and last address, host order
  uint32_t high = 0;
  uint32_t expire = 0;  // Unix seconds; the range counts while the clock is below it
};

// The ranges sorted by low; disjoint, so one binary search finds the range holding an address.
struct RangeIndex {
  std::vector<Range> sorted;
  void rebuild(const std::vector<Range>& ranges);
  const Range* holding(uint32_t address) const;
  // A range other than `except` that shares an address with [low, high].
  const Range* intersecting(uint32_t low, uint32_t high, uint32_t except_wid) const;
};

inline constexpr family::Column kRangeColumns[] = {
    {"low", false, false, 0, 0},  // NULL low or high is refused by the row check with both names
    {"high", false, false, 0, 0},
    {"expire", true, false, INT32_MIN, INT32_MAX},
};
inline constexpr const char* kRangeKey[] = {"low", "high"};

#define POLICYDB_RANGE_SHAPE(table, word, heading)                                                               \
  family::Shape {                                                                                               \
    table, word, "wid", false, 10000, kRangeColumns, 3, kRangeKey, 2, nullptr, 0,                              \
        "[zazudaza -> config] read '" table "' table error!\r\n",                                                \
        "[zazudaza -> config] select '" table "' table error(max(wid))!\r\n",                                    \
        "[zazudaza -> config] insert '" table "' table error(%s)!\r\n",                                          \
        "[zazudaza -> config] update '" table "' table error(wid=%u)!\r\n",                                      \
        "[zazudaza -> config] delete '" table "' table error(wid=%u)!\r\n", heading,                             \
        "+---+-------------------+-------------------+-------------------------+\r\n",                           \
        "|NO |Low                |High               |Expire                   |\r\n"                            \
  }

inline constexpr family::Shape kBlackShape = POLICYDB_RANGE_SHAPE("wc_black", "black", "Config -> BlackList:\r\n");
inline constexpr family::Shape kWhiteShape = POLICYDB_RANGE_SHAPE("wc_white", "white", "Config -> WhiteList:\r\n");
#undef POLICYDB_RANGE_SHAPE

template <const family::Shape& S>
struct RangeTraits {
  using Rule = Range;
  using Index = RangeIndex;
  static constexpr const family::Shape& shape = S;
  static bool from_row(const family::Row& row, Rule& rule);
  static void values(const Rule& rule, family::Values& v);
  static void setup_row(const Rule& rule, int32_t index);
  static const char* subject(const Rule& rule);  // "low=%s,high=%s"
  // The ranges accepted so far while the table loads (main thread, one load at a time).
  static std::vector<Range>& loading();
};

using BlackList = family::Family<RangeTraits<kBlackShape>>;
using WhiteList = family::Family<RangeTraits<kWhiteShape>>;

BlackList& black();
WhiteList& white();
void load_black();
void load_white();

// The clock IsHit compares expiries with; the edge server's cached clock unless a test sets one.
extern int64_t (*clock)();

// Dotted text of a host-order address.
std::string dotted(uint32_t address);

}  // namespace policydb::iplist
