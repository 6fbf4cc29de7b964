#include "http_setcookie.h"

#include "cu_lib.h"
#include "cu_lib_internal.h"
#include "cu_pattern.h"
#include "vor_kit.h"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr size_t kMaxExactName = 100;
constexpr size_t kMaxPatternName = 256;

using cu_internal::is_blank;
bool is_word_start_boundary(char c) { return c == ' ' || c == '\t' || c == ';'; }
bool is_attribute_separator(char c) { return c == ' ' || c == '\t' || c == ';' || c == '='; }

std::string_view trim_right(std::string_view s) {
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view trim_left(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  return s;
}

// Copies at most size - 1 characters, then drops the copy's trailing blanks and tabs.
void copy_trimmed(char* buf, int32_t size, std::string_view s) {
  if (!buf || size < 1) return;
  const size_t n = s.size() < static_cast<size_t>(size - 1) ? s.size() : static_cast<size_t>(size - 1);
  const std::string_view cut = trim_right(s.substr(0, n));
  if (!cut.empty()) std::memcpy(buf, cut.data(), cut.size());
  buf[cut.size()] = '\0';
}

void empty_buffer(char* buf, int32_t size) {
  if (buf && size > 0) buf[0] = '\0';
}

bool has_wildcard(const char* name) { return std::strpbrk(name, "?*") != nullptr; }

// One attribute: [start, end) of the value, end at its ';' or the string's end.
struct Attribute {
  size_t start = 0;
  size_t end = 0;
  size_t eq = std::string_view::npos;  // its first '=', if any

  std::string_view raw_name(std::string_view s) const {
    return s.substr(start, (eq == std::string_view::npos ? end : eq) - start);
  }
  std::string_view raw_value(std::string_view s) const {
    return eq == std::string_view::npos ? std::string_view() : s.substr(eq + 1, end - eq - 1);
  }
};

// Walks the attributes in order; an empty attribute ends the walk.
class AttributeWalk {
 public:
  explicit AttributeWalk(std::string_view s) : s_(s) {}

  bool next(Attribute* a) {
    if (done_) return false;
    while (pos_ < s_.size() && is_attribute_separator(s_[pos_])) ++pos_;
    if (pos_ >= s_.size()) return false;
    a->start = pos_;
    const size_t semi = s_.find(';', pos_);
    a->end = semi == std::string_view::npos ? s_.size() : semi;
    const size_t eq = s_.find('=', pos_);
    a->eq = eq < a->end ? eq : std::string_view::npos;
    pos_ = a->end;
    done_ = semi == std::string_view::npos;
    return true;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
  bool done_ = false;
};

// The k-th attribute whose name (cut to 256 characters, trailing blanks dropped) matches the
// glob without regard to case; a pattern that cannot be compiled matches nothing.
bool find_pattern_attribute(std::string_view s, int32_t k, const char* pattern, Attribute* out) {
  vor::Owned<cu_pattern, cu_pattern_free> glob(cu_pattern_make(pattern));
  if (!glob) return false;
  AttributeWalk walk(s);
  Attribute a;
  int32_t seen = 0;
  while (walk.next(&a)) {
    const std::string name(trim_right(a.raw_name(s).substr(0, kMaxPatternName)));
    if (cu_pattern_match_istring(glob.get(), name.c_str()) && seen++ == k) {
      *out = a;
      return true;
    }
  }
  return false;
}

// Where name followed by '=' starts an attribute (at the start or after a blank, tab or ';').
size_t find_exact_name(std::string_view s, const char* name) {
  std::string needle(name, strnlen(name, kMaxExactName));
  needle.push_back('=');
  for (size_t h = 0; h + needle.size() <= s.size(); ++h) {
    if (h > 0 && !is_word_start_boundary(s[h - 1])) continue;
    if (cu_strnicmp(s.data() + h, needle.data(), static_cast<int32_t>(needle.size())) == 0) return h;
  }
  return std::string_view::npos;
}

size_t name_length_for_search(const char* name) { return strnlen(name, kMaxExactName) + 1; }

// Cuts [from, to) out of the string, moving the rest (NUL included) up.
void cut(char* value, size_t from, size_t to) { std::memmove(value + from, value + to, std::strlen(value + to) + 1); }

size_t back_over_separators(const char* value, size_t at) {
  while (at > 0 && is_word_start_boundary(value[at - 1])) --at;
  return at;
}

bool get_nth_key(const char* value, int32_t k, char* name, int32_t name_size, char* buf, int32_t size) {
  const std::string_view s(value);
  AttributeWalk walk(s);
  Attribute a;
  for (int32_t i = 0; walk.next(&a); ++i) {
    if (i < k) continue;
    copy_trimmed(name, name_size, a.raw_name(s));
    copy_trimmed(buf, size, trim_left(a.raw_value(s)));
    return true;
  }
  empty_buffer(name, name_size);
  empty_buffer(buf, size);
  return false;
}

char* get_nth_pattern_key(const char* value, int32_t k, const char* pattern, char* name, int32_t name_size,
                          char* buf, int32_t size) {
  const std::string_view s(value);
  Attribute a;
  if (!find_pattern_attribute(s, k, pattern, &a)) {
    empty_buffer(name, name_size);
    empty_buffer(buf, size);
    return nullptr;
  }
  copy_trimmed(name, name_size, a.raw_name(s));
  copy_trimmed(buf, size, trim_left(a.raw_value(s)));
  return buf;
}

char* get_key(const char* value, const char* name, char* buf, int32_t size) {
  if (has_wildcard(name)) return get_nth_pattern_key(value, 0, name, nullptr, 0, buf, size);
  const std::string_view s(value);
  const size_t h = find_exact_name(s, name);
  if (h == std::string_view::npos) return nullptr;
  const size_t from = h + name_length_for_search(name);
  const size_t semi = s.find(';', from);
  copy_trimmed(buf, size, s.substr(from, (semi == std::string_view::npos ? s.size() : semi) - from));
  return buf;
}

bool is_secure(const char* value) {
  constexpr std::string_view kWord = "secure";
  const std::string_view s(value);
  for (size_t h = 0; h + kWord.size() <= s.size(); ++h) {
    if (h > 0 && !is_word_start_boundary(s[h - 1])) continue;
    if (cu_strnicmp(s.data() + h, kWord.data(), static_cast<int32_t>(kWord.size())) != 0) continue;
    const size_t after = h + kWord.size();
    if (after == s.size() || is_word_start_boundary(s[after])) return true;
  }
  return false;
}

std::string_view before_port(const char* text) {
  const std::string_view s(text);
  return s.substr(0, s.find(':'));
}

bool equal_icase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && cu_strnicmp(a.data(), b.data(), static_cast<int32_t>(a.size())) == 0;
}

bool match_domain(const char* domain_text, const char* host_text) {
  std::string_view domain = before_port(domain_text);
  const std::string_view host = before_port(host_text);
  if (domain.empty() || domain.front() != '.') return equal_icase(domain, host);
  domain.remove_prefix(1);
  return host.size() >= domain.size() && equal_icase(host.substr(host.size() - domain.size()), domain);
}

void del_nth_pattern_key(char* value, int32_t k, const char* pattern) {
  Attribute a;
  if (!find_pattern_attribute(value, k, pattern, &a)) return;
  cut(value, back_over_separators(value, a.start), a.end);
}

void del_key(char* value, const char* name) {
  if (has_wildcard(name)) return del_nth_pattern_key(value, 0, name);
  const std::string_view s(value);
  const size_t h = find_exact_name(s, name);
  if (h == std::string_view::npos) return;
  const size_t semi = s.find(';', h);
  cut(value, back_over_separators(value, h), semi == std::string_view::npos ? s.size() : semi);
}

// The edit is made on a copy first so that a result too long for the buffer changes nothing.
bool modify_key(char* value, int32_t value_size, const char* name, const char* new_value) {
  if (value_size < 1) return false;
  std::string work(value);
  if (name) {
    del_key(work.data(), name);
    work.resize(std::strlen(work.c_str()));
  }
  if (!work.empty()) work += work.back() == ';' ? " " : "; ";
  if (name) work += name;
  work += '=';
  if (new_value) work += new_value;
  if (work.size() + 1 > static_cast<size_t>(value_size)) return false;
  std::memcpy(value, work.c_str(), work.size() + 1);
  return true;
}

}  // namespace

bool http_setcookie_GetNthKey(const char* value, int32_t k, char* name, int32_t name_size, char* buf,
                              int32_t size) {
  if (!value || k < 0) {
    empty_buffer(name, name_size);
    empty_buffer(buf, size);
    return false;
  }
  return get_nth_key(value, k, name, name_size, buf, size);
}

char* http_setcookie_GetNthPatternKey(const char* value, int32_t k, const char* pattern, char* name,
                                      int32_t name_size, char* buf, int32_t size) {
  if (!value || !pattern || !buf || k < 0) return nullptr;
  return get_nth_pattern_key(value, k, pattern, name, name_size, buf, size);
}

char* http_setcookie_GetPatternKey(const char* value, const char* pattern, char* name, int32_t name_size,
                                   char* buf, int32_t size) {
  return http_setcookie_GetNthPatternKey(value, 0, pattern, name, name_size, buf, size);
}

char* http_setcookie_GetKey(const char* value, const char* name, char* buf, int32_t size) {
  if (!value || !name || !buf || size < 1) return nullptr;
  return get_key(value, name, buf, size);
}

char* http_setcookie_GetExpires(const char* value, char* buf, int32_t size) {
  return http_setcookie_GetKey(value, "expires", buf, size);
}

char* http_setcookie_GetPath(const char* value, char* buf, int32_t size) {
  return http_setcookie_GetKey(value, "path", buf, size);
}

char* http_setcookie_GetDomain(const char* value, char* buf, int32_t size) {
  return http_setcookie_GetKey(value, "domain", buf, size);
}

bool http_setcookie_IsSecure(const char* value) { return value && is_secure(value); }

bool http_setcookie_MatchDomain(const char* domain, const char* host) {
  return domain && host && match_domain(domain, host);
}

bool http_setcookie_MatchPath(const char* cookie_path, const char* request_path) {
  return cookie_path && request_path && std::strncmp(request_path, cookie_path, std::strlen(cookie_path)) == 0;
}

bool http_setcookie_DelNthPatternKey(char* value, int32_t k, const char* pattern) {
  if (value && pattern && k >= 0) del_nth_pattern_key(value, k, pattern);
  return true;
}

bool http_setcookie_DelPatternKey(char* value, const char* pattern) {
  return http_setcookie_DelNthPatternKey(value, 0, pattern);
}

bool http_setcookie_DelKey(char* value, const char* name) {
  if (value && name) del_key(value, name);
  return true;
}

bool http_setcookie_DelExpires(char* value) { return http_setcookie_DelKey(value, "expires"); }

bool http_setcookie_ModifyKey(char* value, int32_t value_size, const char* name, const char* new_value) {
  return !value || modify_key(value, value_size, name, new_value);
}

bool http_setcookie_ModifyExpires(char* value, int32_t value_size, const char* new_value) {
  return http_setcookie_ModifyKey(value, value_size, "expires", new_value);
}

bool http_setcookie_InsertKey(char* value, int32_t value_size, const char* name, const char* new_value) {
  return http_setcookie_ModifyKey(value, value_size, name, new_value);
}
