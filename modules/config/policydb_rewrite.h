// The URL rewrite rules: an ordered family of regular expressions over the request URL, each with
// a replacement template and a flag saying how the scan goes on after it matched.
#pragma once
#include "policydb_family.h"
#include "policydb_urlrule.h"

#include <cstdint>
#include <string>

namespace policydb::rewrite {

enum Flag : uint8_t { kLast = 0, kRedirect = 1, kRound = 2, kContinue = 3 };

struct RewriteRule {
  uint32_t wid = 0;
  uint32_t num = 0;
  url::Pattern pattern;  // always a regular expression
  std::string dst;
  uint8_t flag = kLast;
};

// The flag first, so that a bad flag is reported before the texts.
inline constexpr family::Column kRewriteColumns[] = {
    {"flag", true, true, 0, 3},
    {"src", false, true, 0, 0},
    {"dst", false, false, 0, 0},
    {"icase", true, true, INT32_MIN, INT32_MAX},
};
inline constexpr const char* kSrcKey[] = {"src"};

inline constexpr family::Shape kRewriteShape = {
    "wc_rewrite", "rewrite", "wid", true, 2000, kRewriteColumns, 4, kSrcKey, 1, nullptr, 0,
    "[zazudaza -> config] read 'wc_rewrite' table error!\r\n",
    "[zazudaza -> config] select 'wc_rewrite' table error(max(wid))!\r\n",
    "[zazudaza -> config] insert 'wc_rewrite' table error(src=%s)!\r\n",
    "[zazudaza -> config] update 'wc_rewrite' table error(wid=%u)!\r\n",
    "[zazudaza -> config] delete 'wc_rewrite' table error(wid=%u)!\r\n",
    "Config -> RewriteList:\r\n",
    "+--+----------------------------------+--------------------------------+-----+\r\n",
    "|NO|Src                               |Dst                             |Flag |\r\n"};

struct RewriteTraits {
  using Rule = RewriteRule;
  static constexpr const family::Shape& shape = kRewriteShape;
  static bool from_row(const family::Row& row, Rule& rule);
  static void values(const Rule& rule, family::Values& v);
  static void setup_row(const Rule& rule, int32_t index);
  static const char* subject(const Rule& rule) { return rule.pattern.text().c_str(); }
};

using RewriteFamily = family::Family<RewriteTraits>;
RewriteFamily& rules();
void load();

}  // namespace policydb::rewrite
