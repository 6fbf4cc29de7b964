// The URL pattern matcher and the exported URL rule object.
#include "policydb_urlrule.h"

#include "cu_lib.h"
#include "policydb.h"

#include <cstring>
#include <new>
#include <string_view>

namespace policydb::url {

namespace {

constexpr std::string_view kPlaceholder = "%{HTTP_HOST}";
// What a placeholder anchored at the start becomes: the characters a host (and port) may hold.
constexpr char kHostClass[] = "[0-9a-z\\:\\.\\_\\-]+";
constexpr std::string_view kRegexSpecials = "$()*+.?[\\]^{|}";

bool has_template(const char* text) { return std::strstr(text, "%{") != nullptr; }

// The URL's host: after an optional "http://", up to the first '/', at most kHostLimit characters.
std::string_view host_of(const char* url) {
  std::string_view u = url ? url : "";
  if (u.size() >= 7 && cu_strnicmp(u.data(), "http://", 7) == 0) u.remove_prefix(7);
  u = u.substr(0, kHostLimit);
  return u.substr(0, u.find('/'));
}

std::string escaped(std::string_view host) {
  std::string out;
  for (char c : host) {
    if (kRegexSpecials.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

// Writes whole pieces into a kBufferSize buffer; the first piece that does not fit closes it.
class Pieces {
 public:
  explicit Pieces(char* out) : out_(out) { out_[0] = '\0'; }
  bool put(std::string_view piece) {
    if (closed_ || len_ + piece.size() > kBufferSize - 1) {
      closed_ = true;
      return false;
    }
    std::memcpy(out_ + len_, piece.data(), piece.size());
    len_ += piece.size();
    out_[len_] = '\0';
    return true;
  }
  size_t length() const { return len_; }

 private:
  char* out_;
  size_t len_ = 0;
  bool closed_ = false;
};

size_t expand_host(std::string_view host, const char* tmpl, char* out) {
  Pieces pieces(out);
  std::string_view rest = tmpl ? tmpl : "";
  for (;;) {
    const size_t at = rest.find(kPlaceholder);
    if (at == std::string_view::npos) {
      pieces.put(rest);
      break;
    }
    if (!pieces.put(rest.substr(0, at)) || !pieces.put(host)) break;
    rest.remove_prefix(at + kPlaceholder.size());
  }
  return pieces.length();
}

// The text's first kBufferSize characters with every placeholder replaced.
std::string replaced(const char* text, std::string_view with) {
  std::string s(text, strnlen(text, kBufferSize));
  for (size_t at = s.find(kPlaceholder); at != std::string::npos; at = s.find(kPlaceholder, at + with.size())) {
    s.replace(at, kPlaceholder.size(), with);
  }
  return s;
}

vor_regex* make_regex(const char* text, uint8_t icase) { return icase ? vor_regex_imake(text) : vor_regex_make(text); }

size_t count_of(std::string_view text, std::string_view what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// A single placeholder right at the start, or after "^", "^(" or "^((".
bool anchored_at_start(std::string_view text) {
  if (count_of(text, kPlaceholder) != 1) return false;
  const std::string_view before = text.substr(0, text.find(kPlaceholder));
  return before.empty() || before == "^" || before == "^(" || before == "^((";
}

bool compile_regex_template(const char* text, uint8_t icase, Form form, Compiled* compiled) {
  if (form == Form::kFamily) return check_template(text);
  const std::string_view view = text;
  if (view.find(kPlaceholder) == std::string_view::npos) {
    compiled->regex = make_regex(text, icase);
    if (compiled->regex && check_template(text)) return true;
    release(compiled);
    return false;
  }
  if (!anchored_at_start(view)) return true;  // a template
  compiled->regex = make_regex(replaced(text, kHostClass).c_str(), icase);
  return compiled->regex != nullptr;
}

}  // namespace

size_t expand(const char* url, const char* tmpl, char* out) { return expand_host(host_of(url), tmpl, out); }

size_t expand_regex(const char* url, const char* tmpl, char* out) {
  return expand_host(escaped(host_of(url)), tmpl, out);
}

bool check_template(const char* tmpl) {
  if (!tmpl) return false;
  vor_regex* re = vor_regex_make(replaced(tmpl, "HOST").c_str());
  vor_regex_free(re);
  return re != nullptr;
}

bool compile(const char* text, uint8_t icase, uint8_t kind, Form form, Compiled* compiled) {
  *compiled = {};
  if (!text) return false;
  if (has_template(text)) return kind == kRegex ? compile_regex_template(text, icase, form, compiled) : true;
  switch (kind) {
    case kWildcard:
      compiled->wildcard = cu_pattern_make(text);
      return compiled->wildcard != nullptr;
    case kRegex:
      compiled->regex = make_regex(text, icase);
      return compiled->regex != nullptr;
    case kExact:
      return true;
    default:
      return false;
  }
}

void release(Compiled* compiled) {
  cu_pattern_free(compiled->wildcard);
  vor_regex_free(compiled->regex);
  *compiled = {};
}

bool matches(const char* text, uint8_t icase, uint8_t kind, const Compiled& compiled, const char* url) {
  if (!text || !url) return false;
  if (compiled.wildcard) {
    return icase ? cu_pattern_match_istring(compiled.wildcard, url) : cu_pattern_match_string(compiled.wildcard, url);
  }
  if (compiled.regex) return vor_regex_match(compiled.regex, url);
  char expanded[kBufferSize];
  switch (kind) {
    case kWildcard:
      expand(url, text, expanded);
      return icase ? cu_pattern_match_isimple(expanded, url) : cu_pattern_match_simple(expanded, url);
    case kRegex:
      expand_regex(url, text, expanded);
      return icase ? vor_regex_match_isimple(expanded, url) : vor_regex_match_simple(expanded, url);
    case kExact:
      expand(url, text, expanded);
      return icase ? cu_stricmp(expanded, url) == 0 : std::strcmp(expanded, url) == 0;
    default:
      return false;
  }
}

bool Pattern::make(const char* text, uint8_t icase, uint8_t kind) {
  auto holder = std::make_shared<Holder>();
  if (!compile(text, icase, kind, Form::kFamily, &holder->compiled)) return false;
  text_ = text;
  icase_ = icase;
  kind_ = kind;
  holder_ = std::move(holder);
  return true;
}

bool Pattern::matches(const char* url) const {
  if (!holder_) return false;
  return url::matches(text_.c_str(), icase_, kind_, holder_->compiled, url);
}

}  // namespace policydb::url

using namespace policydb;

xcache_rules* xcache_rules_make(const char* text, uint8_t icase, uint8_t rules) {
  url::Compiled compiled;
  if (!url::compile(text, icase, rules, url::Form::kObject, &compiled)) return nullptr;
  auto* record = new (std::nothrow) xcache_rules{};
  char* copy = record ? strdup(text) : nullptr;
  if (!copy) {
    delete record;
    url::release(&compiled);
    return nullptr;
  }
  *record = {copy, icase, rules, compiled.wildcard, compiled.regex};
  return record;
}

void xcache_rules_free(xcache_rules* rule) {
  if (!rule) return;
  url::Compiled compiled{rule->wildcard, rule->regex};
  url::release(&compiled);
  free(rule->text);
  delete rule;
}

uint8_t xcache_rules_ishit(xcache_rules* rule, const char* url) {
  if (!rule) return 0;
  return url::matches(rule->text, rule->icase, rule->rules, {rule->wildcard, rule->regex}, url) ? 1 : 0;
}
