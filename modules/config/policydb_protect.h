// Hotlink protection: rules of a regular expression over the request URL and a location template,
// each with permits (regular expressions over the Referer). Rules and permits are two unordered
// families of the family driver; a permit names its rule by the rule's wid.
#pragma once
#include "policydb_family.h"
#include "policydb_urlrule.h"

#include <cstdint>
#include <string>

namespace policydb::protect {

struct ProtectRule {
  uint32_t wid = 0;
  url::Pattern pattern;  // always a regular expression
  std::string location;
};

struct Permit {
  uint32_t wid = 0;  // the permit's own id (permitid)
  uint32_t rule = 0;  // the wid of its protection rule
  url::Pattern pattern;
};

inline constexpr family::Column kProtectColumns[] = {
    {"pturl", false, true, 0, 0},
    {"lcurl", false, false, 0, 0},
    {"icase", true, true, INT32_MIN, INT32_MAX},
};
inline constexpr const char* kPturlKey[] = {"pturl"};
inline constexpr family::Shape kProtectShape = {
    "wc_protect", "protect", "wid", false, 100, kProtectColumns, 3, kPturlKey, 1, nullptr, 0,
    "[zazudaza -> config] read 'wc_protect' table error!\r\n",
    "[zazudaza -> config] select 'wc_protect' table error(max(wid))!\r\n",
    "[zazudaza -> config] insert 'wc_protect' table error(pturl=%s)!\r\n",
    "[zazudaza -> config] update 'wc_protect' table error(wid=%u)!\r\n",
    "[zazudaza -> config] delete 'wc_protect' table error(wid=%u)!\r\n",
    "Config -> ProtectList:\r\n",
    "+--+----------------------------------+--------------------------------+-----+\r\n",
    "|NO|ProtectUrl                        |LocationUrl                     |Wid  |\r\n"};

// A permit whose icase is NULL reads as 0.
inline constexpr family::Column kPermitColumns[] = {
    {"wid", true, true, 0, UINT32_MAX},
    {"pturl", false, true, 0, 0},
    {"icase", true, false, INT32_MIN, INT32_MAX},
};
inline constexpr const char* kPermitKey[] = {"wid", "pturl"};
inline constexpr family::Shape kPermitShape = {
    "wc_permit", "permit", "permitid", false, 100 * 1000, kPermitColumns, 3, kPermitKey, 2, nullptr, 0,
    "[zazudaza -> config] read 'wc_permit' table error!\r\n",
    "[zazudaza -> config] select 'wc_permit' table error(max(permitid))!\r\n",
    "[zazudaza -> config] insert 'wc_permit' table error(pturl=%s)!\r\n",
    "[zazudaza -> config] update 'wc_permit' table error(permitid=%u)!\r\n",
    "[zazudaza -> config] delete 'wc_permit' table error(permitid=%u)!\r\n",
    "Config -> ProtectList -> PermitList:\r\n",
    "+--+----------------------------------+-----+\r\n",
    "|NO|PermitUrl                         |Wid  |\r\n"};

struct ProtectTraits {
  using Rule = ProtectRule;
  static constexpr const family::Shape& shape = kProtectShape;
  static bool from_row(const family::Row& row, Rule& rule);
  static void values(const Rule& rule, family::Values& v);
  static void setup_row(const Rule& rule, int32_t index);
  static const char* subject(const Rule& rule) { return rule.pattern.text().c_str(); }
};

struct PermitTraits {
  using Rule = Permit;
  static constexpr const family::Shape& shape = kPermitShape;
  static bool from_row(const family::Row& row, Rule& rule);
  static void values(const Rule& rule, family::Values& v);
  static void setup_row(const Rule& rule, int32_t index);
  static const char* subject(const Rule& rule) { return rule.pattern.text().c_str(); }
};

using ProtectFamily = family::Family<ProtectTraits>;
using PermitFamily = family::Family<PermitTraits>;
ProtectFamily& rules();
PermitFamily& permits();
// Loads the rules, then the permits of the loaded rules.
void load();
void reset();

}  // namespace policydb::protect
