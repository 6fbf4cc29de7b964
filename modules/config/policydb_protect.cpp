// Hotlink protection: loading rules and their permits, changes that keep a rule's permits with it,
// and the request path's question: which location, if any, a request from that Referer is sent to.
#include "policydb_protect.h"

#include "cu_lib.h"
#include "policydb.h"

#include <cstring>
#include <optional>
#include <strings.h>

namespace policydb::protect {

namespace {

uint8_t flag_of(int32_t n) { return n != 0 ? 1 : 0; }

bool rule_loaded(uint32_t wid) {
  return rules().first([wid](const ProtectRule& r) { return r.wid == wid; });
}

}  // namespace

bool ProtectTraits::from_row(const family::Row& row, Rule& rule) {
  rule.location = row.text(1) ? row.text(1) : "";
  if (rule.pattern.make(row.text(0), flag_of(row.number(2)), url::kRegex)) return true;
  report_error("[zazudaza -> config] 'wc_protect'->'pturl=%s' pattern(or regex) error(wid=%s)!\r\n", row.text(0),
               row.id_text());
  return false;
}

void ProtectTraits::values(const Rule& rule, family::Values& v) {
  v.text("pturl", rule.pattern.text().c_str());
  v.text("lcurl", rule.location.c_str());
  v.number("icase", rule.pattern.icase());
}

void ProtectTraits::setup_row(const Rule& rule, int32_t index) {
  setup_log_write("|%-2.2s|%-34.34s|%-32.32s|%-5.5s|\r\n", std::to_string(index).c_str(), rule.pattern.text().c_str(),
                  rule.location.c_str(), std::to_string(rule.wid).c_str());
}

// Only the permits of loaded rules are kept: the rules load first.
bool PermitTraits::from_row(const family::Row& row, Rule& rule) {
  rule.rule = static_cast<uint32_t>(row.number(0));
  if (!rule_loaded(rule.rule)) return false;
  if (rule.pattern.make(row.text(1), flag_of(row.number(2)), url::kRegex)) return true;
  report_error("[zazudaza -> config] 'wc_permit'->'pturl=%s' pattern(or regex) error(wid=%s)!\r\n", row.text(1),
               row.text(0));
  return false;
}

void PermitTraits::values(const Rule& rule, family::Values& v) {
  v.number("wid", rule.rule);
  v.text("pturl", rule.pattern.text().c_str());
  v.number("icase", rule.pattern.icase());
}

void PermitTraits::setup_row(const Rule& rule, int32_t index) {
  setup_log_write("|%-2.2s|%-34.34s|%-5.5s|\r\n", std::to_string(index).c_str(), rule.pattern.text().c_str(),
                  std::to_string(rule.rule).c_str());
}

ProtectFamily& rules() {
  static ProtectFamily f;
  return f;
}
PermitFamily& permits() {
  static PermitFamily f;
  return f;
}

void load() {
  rules().load();
  permits().load();
}

void reset() {
  rules().reset();
  permits().reset();
}

namespace {

std::optional<url::Pattern> expression(const char* text, uint8_t icase, const char* refusal) {
  url::Pattern p;
  if (p.make(text, flag_of(icase), url::kRegex)) return p;
  report_error(refusal, text);
  return std::nullopt;
}

std::optional<Permit> permit_of(uint32_t permitid) {
  return permits().locked([permitid](const std::vector<Permit>& list, const auto&) -> std::optional<Permit> {
    for (const Permit& p : list) {
      if (p.wid == permitid) return p;
    }
    return std::nullopt;
  });
}

// Whether a permit of the rule lets the Referer use it; a permit template names the request's host.
bool permitted(uint32_t rule, const char* url, const char* referer) {
  return permits().first([&](const Permit& p) { return p.rule == rule && p.pattern.matches_for(url, referer); });
}

}  // namespace

}  // namespace policydb::protect

using namespace policydb;
using protect::permits;
using protect::rules;

void policydb_protect_load(void) { protect::load(); }

uint8_t policydb_protect_append(const char* pturl, const char* lcurl, uint8_t icase, const char* note, uint32_t* wid) {
  if (!db() || !pturl || !lcurl) return 0;
  auto p = protect::expression(pturl, icase, "[zazudaza -> config] 'wc_protect'->'pturl=%s' add regex error!\r\n");
  return p && rules().append(protect::ProtectRule{0, std::move(*p), lcurl}, note, wid) ? 1 : 0;
}

uint8_t policydb_protect_modify(uint32_t wid, const char* pturl, const char* lcurl, uint8_t icase, const char* note) {
  if (!db() || !pturl || !lcurl) return 0;
  auto p = protect::expression(pturl, icase, "[zazudaza -> config] modify 'wc_protect' regex error(pturl=%s)!\r\n");
  return p && rules().modify(wid, protect::ProtectRule{wid, std::move(*p), lcurl}, note) ? 1 : 0;
}

// The rule and its permits go in one transaction; the answer is true whenever a handle exists.
uint8_t policydb_protect_delete(uint32_t wid) {
  if (!db()) return 0;
  DbLock db_lock;
  exec("BEGIN TRANSACTION protect_delete");
  for (const protect::Permit& p : permits().snapshot()) {
    if (p.rule == wid) permits().remove(p.wid);
  }
  exec_format("delete from wc_permit where wid=%u", wid);
  rules().remove(wid);
  exec("END TRANSACTION protect_delete");
  return 1;
}

uint8_t policydb_protect_IsExist(void) { return rules().has_rules() ? 1 : 0; }

uint8_t policydb_protect_IsHit(const char* url, const char* referer, char* location, int32_t len) {
  if (!rules().has_rules() || !url || !referer || !location || len <= 0) return 0;
  if (strncasecmp(referer, "http://", 7) == 0) referer += 7;
  // The first rule whose expression matches and none of whose permits let the Referer in decides.
  const bool decided = rules().first([&](const protect::ProtectRule& rule) {
    if (!rule.pattern.replace(url, rule.location.c_str(), location, len)) return false;
    return !protect::permitted(rule.wid, url, referer);
  });
  return decided && std::strcmp(location, referer) != 0 ? 1 : 0;
}

uint8_t policydb_permit_append(uint32_t wid, const char* pturl, uint8_t icase, const char* note, uint32_t* permitid) {
  if (!db() || !pturl) return 0;
  auto p = protect::expression(pturl, icase, "[zazudaza -> config] 'wc_permit'->'pturl=%s' add regex error!\r\n");
  if (!p) return 0;
  DbLock db_lock;
  if (!protect::rule_loaded(wid)) return 0;
  return permits().append(protect::Permit{0, wid, std::move(*p)}, note, permitid) ? 1 : 0;
}

// The permit must belong to that rule: another rule's permitid changes nothing and answers false.
uint8_t policydb_permit_modify(uint32_t permitid, uint32_t wid, const char* pturl, uint8_t icase, const char* note) {
  if (!db() || !pturl) return 0;
  auto p = protect::expression(pturl, icase, "[zazudaza -> config] modify 'wc_permit' regex error(pturl=%s)!\r\n");
  if (!p) return 0;
  DbLock db_lock;
  if (!protect::rule_loaded(wid)) return 0;
  const auto held = protect::permit_of(permitid);
  if (!held || held->rule != wid) return 0;
  return permits().modify(permitid, protect::Permit{permitid, wid, std::move(*p)}, note) ? 1 : 0;
}

uint8_t policydb_permit_delete(uint32_t wid, uint32_t permitid) {
  if (!db()) return 0;
  DbLock db_lock;
  if (!protect::rule_loaded(wid)) return 0;
  if (!exec_format("delete from wc_permit where permitid=%u and wid=%u", permitid, wid)) {
    report_error("[zazudaza -> config] delete 'wc_permit' table error(wid=%u, permitid=%u)!\r\n", wid, permitid);
    return 0;
  }
  const auto held = protect::permit_of(permitid);
  if (held && held->rule == wid) permits().remove(permitid);
  return 1;
}
