// The URL rewrite rules: loading, changes through the family driver, and the scan of the request
// path with its three ways on after a match (stop, start again once, go on with the next rule).
#include "policydb_rewrite.h"

#include "policydb.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace policydb::rewrite {

namespace {

// The working URL of a scan holds at most this many characters.
constexpr size_t kWorkingLimit = 4096;

const char* flag_word(uint8_t flag) {
  static const char* const kWords[] = {"Last", "302", "Round", "Continue"};
  return flag < 4 ? kWords[flag] : "?";
}

uint8_t flag_of(int32_t n) { return n != 0 ? 1 : 0; }

}  // namespace

bool RewriteTraits::from_row(const family::Row& row, Rule& rule) {
  rule.flag = static_cast<uint8_t>(row.number(0));
  rule.dst = row.text(2) ? row.text(2) : "";
  if (rule.pattern.make(row.text(1), flag_of(row.number(3)), url::kRegex)) return true;
  report_error("[zazudaza -> config] 'wc_rewrite'->'src=%s' regex error(wid=%s)!\r\n", row.text(1), row.id_text());
  return false;
}

void RewriteTraits::values(const Rule& rule, family::Values& v) {
  v.text("src", rule.pattern.text().c_str());
  v.text("dst", rule.dst.c_str());
  v.number("icase", rule.pattern.icase());
  v.number("flag", rule.flag);
}

void RewriteTraits::setup_row(const Rule& rule, int32_t index) {
  setup_log_write("|%-2.2s|%-34.34s|%-32.32s|%-5.5s|\r\n", std::to_string(index).c_str(), rule.pattern.text().c_str(),
                  rule.dst.c_str(), flag_word(rule.flag));
}

RewriteFamily& rules() {
  static RewriteFamily f;
  return f;
}

void load() { rules().load(); }

namespace {

// The rule of an append or modify; a text that does not compile is reported and refused.
std::optional<RewriteRule> rule_of(bool modify, const char* src, const char* dst, uint8_t icase, uint8_t flag) {
  if (!db() || !src || !dst || flag > kContinue) return std::nullopt;
  RewriteRule rule;
  if (!rule.pattern.make(src, flag_of(icase), url::kRegex)) {
    if (modify) {
      report_error("[zazudaza -> config] modify 'wc_rewrite' error(src=%s)!\r\n", src);
    } else {
      report_error("[zazudaza -> config] 'wc_rewrite'->'src=%s' add regex error!\r\n", src);
    }
    return std::nullopt;
  }
  rule.dst = dst;
  rule.flag = flag;
  return rule;
}

void copy_text(char* to, size_t limit, const char* from) {
  const size_t n = strnlen(from, limit);
  std::memcpy(to, from, n);
  to[n] = '\0';
}

// The scan over the rules in order; out holds len characters and a NUL.
bool scan(const std::vector<RewriteRule>& list, const char* url, char* out, int32_t len, uint8_t* flag_out) {
  char copy[kWorkingLimit + 1];
  const char* working = url;
  bool matched = false;
  uint8_t flag = kLast;
  int restarts = 0;
  for (;;) {
    bool pass_matched = false;
    for (const RewriteRule& rule : list) {
      if (!rule.pattern.replace(working, rule.dst.c_str(), out, len + 1)) continue;
      matched = pass_matched = true;
      flag = rule.flag;
      if (flag != kContinue) break;
      copy_text(copy, kWorkingLimit, out);
      working = copy;
    }
    if (!pass_matched || flag != kRound) break;
    // A rule that matches its own output would loop: a second start means no rewrite at all.
    copy_text(copy, kWorkingLimit, out);
    working = copy;
    if (++restarts >= 2) break;
  }
  if (!matched || restarts >= 2) return false;
  if (flag_out) *flag_out = flag;
  if (flag == kRound || flag == kContinue) copy_text(out, static_cast<size_t>(len), working);
  return true;
}

}  // namespace

}  // namespace policydb::rewrite

using policydb::rewrite::rules;

void policydb_rewrite_load(void) { policydb::rewrite::load(); }

uint8_t policydb_rewrite_append(const char* src, const char* dst, uint8_t icase, uint8_t flag, const char* note,
                                uint32_t* wid) {
  auto rule = policydb::rewrite::rule_of(false, src, dst, icase, flag);
  return rule && rules().append(std::move(*rule), note, wid) ? 1 : 0;
}

uint8_t policydb_rewrite_modify(uint32_t wid, const char* src, const char* dst, uint8_t icase, uint8_t flag,
                                const char* note) {
  auto rule = policydb::rewrite::rule_of(true, src, dst, icase, flag);
  return rule && rules().modify(wid, std::move(*rule), note) ? 1 : 0;
}

uint8_t policydb_rewrite_delete(uint32_t wid) { return rules().remove(wid) ? 1 : 0; }
uint8_t policydb_rewrite_moveup(uint32_t wid) { return rules().move(wid, true) ? 1 : 0; }
uint8_t policydb_rewrite_movedown(uint32_t wid) { return rules().move(wid, false) ? 1 : 0; }

uint8_t policydb_rewrite_IsHit(const char* url, char* out, int32_t len, uint8_t* flag) {
  if (!url || !out || len <= 0 || !rules().has_rules()) return 0;
  return rules().locked([&](const std::vector<policydb::rewrite::RewriteRule>& list, const auto&) {
    return policydb::rewrite::scan(list, url, out, len, flag);
  }) ? 1 : 0;
}

uint8_t policydb_rewrite_IsExist(void) { return rules().has_rules() ? 1 : 0; }
