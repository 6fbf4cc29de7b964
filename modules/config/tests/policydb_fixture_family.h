// A small ordered rule family on a table of its own (wc_fixture), for the family driver's tests.
#pragma once
#include <climits>
#include <string>

#include "policydb_family.h"

namespace policydb::test {

using family::Column;
using family::Migration;
using family::Row;
using family::Shape;
using family::Values;

// The table the fixture family reads; "extra" is added by its migration.
constexpr char kFixtureTable[] =
    "create table wc_fixture(wid integer primary key autoincrement, num int not null, url text, rules int,"
    " expire int, note text)";

struct FixtureRule {
  uint32_t wid = 0;
  uint32_t num = 0;
  std::string url;
  uint32_t rules = 0;
  uint32_t expire = 0;
  uint32_t extra = 0;
  bool operator==(const FixtureRule&) const = default;
};

inline constexpr Column kColumns[] = {
    {"url", false, true, 0, 0},
    {"rules", true, true, 0, 2},
    {"expire", true, false, INT32_MIN, INT32_MAX},
    {"extra", true, false, INT32_MIN, INT32_MAX},
};
inline constexpr const char* kKeys[] = {"url"};
inline constexpr Migration kMigrations[] = {{"extra", "alter table wc_fixture add extra int default '5' not null"}};

struct FixtureTraits {
  using Rule = FixtureRule;
  static constexpr Shape shape = {
      "wc_fixture", "fixture", "wid", true, 4, kColumns, 4, kKeys, 1, kMigrations, 1,
      "[zazudaza -> config] read 'wc_fixture' table error!\r\n",
      "[zazudaza -> config] select 'wc_fixture' table error(max(wid))!\r\n",
      "[zazudaza -> config] insert 'wc_fixture' table error!\r\n",
      "[zazudaza -> config] update 'wc_fixture' table error(wid=%u)!\r\n",
      "[zazudaza -> config] delete 'wc_fixture' table error(wid=%u)!\r\n",
      "Config -> FixtureList:\r\n", "+--+----------+\r\n", "|NO|Url       |\r\n"};
  static bool from_row(const Row& row, Rule& rule) {
    rule.url = row.text(0);
    rule.rules = static_cast<uint32_t>(row.number(1));
    rule.expire = static_cast<uint32_t>(row.number(2));
    rule.extra = static_cast<uint32_t>(row.number(3));
    return rule.url != "skip";
  }
  static void values(const Rule& rule, Values& v) {
    v.text("url", rule.url.c_str());
    v.number("rules", rule.rules);
    v.number("expire", rule.expire);
  }
  static void setup_row(const Rule& rule, int32_t index) {
    setup_log_write("|%-2.2s|%-10.10s|\r\n", std::to_string(index).c_str(), rule.url.c_str());
  }
};

using Fixture = family::Family<FixtureTraits>;

inline FixtureRule rule(const char* url, uint32_t rules = 1) {
  FixtureRule r;
  r.url = url;
  r.rules = rules;
  r.expire = 60;
  return r;
}

}  // namespace policydb::test
