#include "vor_uri.h"

#include "cu_lib.h"
#include "cu_lib_internal.h"
#include "cu_malloc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr char kUnit[] = "vor\\vor_uri";
constexpr int32_t kKeepRaw = 2;

using Text = std::optional<std::string>;

// A URI's components while it is parsed or built; copied into a vor_uri record at the end.
struct Parts {
  Text scheme, opaque, authority, host, user;
  int32_t port = 0;
  Text path, query, fragment, query_raw;
};

struct DefaultPort {
  const char* scheme;
  int32_t port;
};

constexpr DefaultPort kDefaultPorts[] = {
    {"http", 80},     {"ftp", 21},      {"https", 443},   {"gopher", 70},    {"ldap", 389},
    {"nntp", 119},    {"snews", 563},   {"imap", 143},    {"pop", 110},      {"sip", 5060},
    {"rtsp", 554},    {"wais", 210},    {"z39.50r", 210}, {"z39.50s", 210},  {"prospero", 191},
    {"nfs", 2049},    {"tip", 3372},    {"acap", 674},    {"telnet", 23},    {"ssh", 22},
};

int32_t default_port(const Text& scheme) {
  if (!scheme) return 0;
  for (const auto& d : kDefaultPorts) {
    if (cu_stricmp(d.scheme, scheme->c_str()) == 0) return d.port;
  }
  return 0;
}

using cu_internal::is_digit;
using cu_internal::is_letter;
bool is_alnum(char c) { return is_letter(c) || is_digit(c); }
int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
bool is_mark(char c) { return c && std::strchr("-_.!~*'()", c); }
bool is_unreserved(char c) { return is_alnum(c) || is_mark(c); }
bool is_reserved(char c) { return c && std::strchr(";/?:@&=+$,", c); }
bool in(char c, const char* set) { return c && std::strchr(set, c); }
bool is_escaped(const char* p) { return p[0] == '%' && hex_value(p[1]) >= 0 && hex_value(p[2]) >= 0; }

// Length of the run at p made of unreserved bytes, escapes and bytes of the extra set.
size_t run_of(const char* p, const char* extra) {
  const char* q = p;
  for (;;) {
    if (is_escaped(q)) {
      q += 3;
    } else if (is_unreserved(*q) || in(*q, extra)) {
      ++q;
    } else {
      return static_cast<size_t>(q - p);
    }
  }
}

// The byte classes of each escaping rule: what is written unescaped.
bool path_keeps(char c) { return is_unreserved(c) || in(c, "/;@&=+$,"); }
bool user_keeps(char c) { return is_unreserved(c) || in(c, ";:&=+$,"); }
bool authority_keeps(char c) { return is_unreserved(c) || in(c, "$,;:@&=+"); }
bool uric_keeps(char c) { return is_unreserved(c) || is_reserved(c) || c == '[' || c == ']'; }

template <typename Keeps>
std::string escape(const std::string& s, Keeps keeps) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : s) {
    if (keeps(c)) {
      out += c;
    } else {
      const auto b = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::string escape_list(const std::string& s, const char* list) {
  return escape(s, [list](char c) { return is_alnum(c) || c == '@' || is_mark(c) || in(c, list); });
}

// Reads a URI reference; every failure leaves the whole text refused.
class Parser {
 public:
  Parser(const std::string& text, bool raw) : text_(text), raw_(raw) {}

  bool parse(Parts& out) {
    if (absolute(out)) return true;
    out = Parts{};
    return relative(out);
  }

 private:
  const char* at(size_t i) const { return text_.c_str() + i; }
  char ch() const { return text_.c_str()[p_]; }

  // Decoding a run; a decoded NUL would cut the text short, so it refuses the URI.
  bool decode(size_t from, size_t len, Text& out) {
    if (raw_) {
      out = text_.substr(from, len);
      return true;
    }
    std::string s;
    for (size_t i = from; i < from + len; ++i) {
      if (is_escaped(at(i))) {
        const char c = static_cast<char>(hex_value(text_[i + 1]) * 16 + hex_value(text_[i + 2]));
        if (c == '\0') return false;
        s += c;
        i += 2;
      } else {
        s += text_[i] == '+' ? ' ' : text_[i];
      }
    }
    out = std::move(s);
    return true;
  }

  void skip_blanks() {
    while (ch() == ' ') ++p_;
  }

  bool absolute(Parts& u) {
    p_ = 0;
    skip_blanks();
    const size_t start = p_;
    if (!is_letter(ch())) return false;
    while (is_alnum(ch()) || in(ch(), "+-.")) ++p_;
    if (ch() != ':') return false;
    u.scheme = text_.substr(start, p_ - start);
    ++p_;
    if (ch() == '/') {
      if (!hierarchical(u)) return false;
    } else if (!opaque(u)) {
      return false;
    }
    return finish(u);
  }

  bool opaque(Parts& u) {
    const size_t start = p_;
    if (ch() == '/' || !(is_escaped(at(p_)) || is_unreserved(ch()) || is_reserved(ch()))) return false;
    p_ += run_of(at(p_), ";/?:@&=+$,[]");
    return decode(start, p_ - start, u.opaque);
  }

  bool hierarchical(Parts& u) {
    if (text_.compare(p_, 2, "//") == 0) {
      p_ += 2;
      while (ch() == '/') ++p_;
      if (!ch()) return true;
      if (!authority(u)) return false;
      if (ch() == '/' && !segments(u)) return false;
    } else if (!segments(u)) {
      return false;
    }
    return ch() != '?' || query(u);
  }

  bool relative(Parts& u) {
    p_ = 0;
    if (text_.compare(0, 2, "//") == 0) {
      p_ = 2;
      if (!authority(u)) return false;
      if (ch() == '/' && !segments(u)) return false;
    } else if (ch() == '/') {
      if (!segments(u)) return false;
    } else if (ch() == '?') {
      if (!query(u)) return false;
      return finish(u);
    } else if (ch() != '#') {
      const size_t n = run_of(at(0), ";@&=+$,");
      if (n == 0 || !decode(0, n, u.path)) return false;
      p_ = n;
      if (ch() == '/' && !segments(u)) return false;
    }
    if (ch() == '?' && !query(u)) return false;
    return finish(u);
  }

  // At a '/': it and the segments after it are added to the path. A '/' with nothing after
  // it stays: "/" is a path, and "g/" names a folder, not the file "g".
  bool segments(Parts& u) {
    ++p_;
    const size_t start = p_;
    p_ += run_of(at(p_), ":@&=+$,;/");
    Text run;
    if (p_ > start && !decode(start, p_ - start, run)) return false;
    u.path = u.path.value_or("") + "/" + run.value_or("");
    return true;
  }

  // At a '?'.
  bool query(Parts& u) {
    ++p_;
    const size_t start = p_;
    p_ += run_of(at(p_), ";/?:@&=+$,[]");
    u.query_raw = text_.substr(start, p_ - start);
    return decode(start, p_ - start, u.query);
  }

  bool finish(Parts& u) {
    if (ch() == '#') {
      ++p_;
      const size_t start = p_;
      p_ += run_of(at(p_), ";/?:@&=+$,[]{}|\\^`");
      if (!decode(start, p_ - start, u.fragment)) return false;
    }
    skip_blanks();
    return ch() == '\0';
  }

  bool authority(Parts& u) {
    const size_t start = p_;
    if (server(u) && (!ch() || in(ch(), "/? "))) return true;
    p_ = start;
    u.host.reset();
    u.user.reset();
    u.port = 0;
    const size_t n = run_of(at(p_), "$,;:@&=+");
    if (n == 0) return false;
    p_ += n;
    return decode(start, n, u.authority);
  }

  bool server(Parts& u) {
    const size_t n = run_of(at(p_), ";:&=+$,");
    if (text_[p_ + n] == '@') {
      if (!decode(p_, n, u.user)) return false;
      p_ += n + 1;
    }
    if (ch() == '/') {
      u.host.reset();
      u.authority.reset();
      u.port = 0;
      return true;
    }
    if (ch() == '[') {
      if (!ipv6(u)) return false;
    } else if (!name_or_quad(u)) {
      return false;
    }
    if (ch() == ':') {
      ++p_;
      if (is_digit(ch())) u.port = read_port();
    }
    return true;
  }

  int32_t read_port() {
    int64_t v = 0;
    for (; is_digit(ch()); ++p_) v = std::min<int64_t>(v * 10 + (ch() - '0'), INT32_MAX);
    return static_cast<int32_t>(v);
  }

  // At '[': hexadecimal groups, exactly 8 unless one "::" stands for the missing ones.
  bool ipv6(Parts& u) {
    size_t q = p_ + 1;
    const size_t start = q;
    int groups = 0;
    bool elided = false;
    if (text_[q] == ':') {
      if (text_[q + 1] != ':') return false;
      elided = true;
      q += 2;
    }
    while (hex_value(text_[q]) >= 0) {
      int digits = 0;
      while (hex_value(text_[q]) >= 0 && digits < 4) ++q, ++digits;
      if (++groups > 8) return false;
      if (text_[q] != ':') break;
      if (text_[q + 1] == ':') {
        if (elided) return false;
        elided = true;
        q += 2;
      } else {
        ++q;
        if (hex_value(text_[q]) < 0) return false;
      }
    }
    if (text_[q] != ']' || (elided ? groups > 7 : groups != 8)) return false;
    u.host = text_.substr(start, q - start);
    p_ = q + 1;
    return true;
  }

  bool name_or_quad(Parts& u) {
    const size_t start = p_;
    size_t q = p_;
    int runs = 0;
    for (; runs < 4; ++runs) {
      if (text_[q] == '.') return false;
      const size_t digits = q;
      while (is_digit(text_[q])) ++q;
      if (q == digits) break;
      if (text_[q] != '.') {
        ++runs;
        break;
      }
      if (runs < 3) ++q;
    }
    if (runs == 4 && text_[q] != '.' && !is_letter(text_[q])) {
      p_ = q;
      return decode(start, q - start, u.host);
    }
    if (runs == 4 && text_[q] == '.') ++q;
    size_t end = 0;
    if (!domain_end(q, &end)) return false;
    p_ = end;
    return decode(start, end - start, u.host);
  }

  // A domain name from q: labels of letters, digits and '-', no ".-", "-." or "..";
  // its last label may not look like a number.
  bool domain_end(size_t q, size_t* end) const {
    if (!is_alnum(text_[q])) return false;
    const size_t start = q;
    while (is_alnum(text_[q]) || text_[q] == '-' || text_[q] == '.') {
      const char next = text_[q + 1];
      if ((text_[q] == '.' && (next == '-' || next == '.')) || (text_[q] == '-' && next == '.')) return false;
      ++q;
    }
    size_t last_end = q;
    if (last_end > start && text_[last_end - 1] == '.') --last_end;
    size_t label = last_end;
    while (label > start && text_[label - 1] != '.') --label;
    bool alnum_only = true;
    for (size_t i = label; i < last_end; ++i) alnum_only = alnum_only && is_alnum(text_[i]);
    if (label < last_end && alnum_only && is_digit(text_[label])) return false;
    *end = q;
    return true;
  }

  std::string text_;
  bool raw_;
  size_t p_ = 0;
};

// Path normalising on segments: "." dropped, "x/.." pairs removed, runs of '/' made one,
// and a rooted path never climbs above its root.
std::string normalize(std::string s) {
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  const bool rooted = !s.empty() && s[0] == '/';
  std::vector<std::string> segs;
  bool trailing = false;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == '/') ++i;
    if (i >= s.size()) break;
    const size_t j = std::min(s.find('/', i), s.size());
    std::string seg = s.substr(i, j - i);
    trailing = j < s.size();
    if (seg == ".") {
      if (j >= s.size()) trailing = true;
    } else {
      segs.push_back(std::move(seg));
    }
    i = j;
  }
  if (segs.empty()) return rooted ? "/" : "";
  std::vector<std::string> kept;
  for (size_t k = 0; k < segs.size(); ++k) {
    if (segs[k] == ".." && !kept.empty() && kept.back() != "..") {
      kept.pop_back();
      if (k + 1 == segs.size()) trailing = true;
    } else {
      kept.push_back(segs[k]);
    }
  }
  size_t first = 0;
  if (rooted) {
    while (first < kept.size() && kept[first] == "..") ++first;
  }
  std::string out = rooted ? "/" : "";
  for (size_t k = first; k < kept.size(); ++k) {
    out += kept[k];
    if (k + 1 < kept.size()) out += '/';
  }
  if (trailing && first < kept.size()) out += '/';
  return out;
}

void complete(Parts& u) {
  if (u.port == 0 && u.host && u.scheme) u.port = default_port(u.scheme);
  if (u.path) u.path = normalize(*u.path);
  if (!u.path && (u.host || u.authority)) u.path = "/";
}

std::optional<Parts> parse(const char* text, bool raw) {
  std::string copy(text);
  for (char& c : copy) {
    if (c == '\\') c = '/';
  }
  Parts u;
  if (!Parser(copy, raw).parse(u)) return std::nullopt;
  complete(u);
  return u;
}

std::string to_string(const Parts& u) {
  std::string out;
  if (u.scheme) out += *u.scheme + ":";
  if (u.opaque) return out + escape(*u.opaque, uric_keeps);
  if (u.host) {
    out += "//";
    if (u.user) out += escape(*u.user, user_keeps) + "@";
    // An IPv6 literal keeps its brackets so that the text parses again.
    out += u.host->find(':') != std::string::npos ? "[" + *u.host + "]" : *u.host;
    if (u.port > 0 && u.port != default_port(u.scheme)) out += ":" + std::to_string(u.port);
  } else if (u.authority) {
    out += "//" + escape(*u.authority, authority_keeps);
  } else if (u.scheme) {
    out += "//";
  }
  if (u.path) out += escape(*u.path, path_keeps);
  if (u.query_raw) {
    out += "?" + *u.query_raw;
  } else if (u.query) {
    out += "?" + escape(*u.query, uric_keeps);
  }
  if (u.fragment) out += "#" + escape(*u.fragment, uric_keeps);
  return out;
}

// Copies a text into a block of the process allocator, which the caller frees.
char* hand_out(const std::string& s) {
  auto* out = static_cast<char*>(_cu_malloc(s.size() + 1, kUnit, __LINE__));
  if (out) std::memcpy(out, s.c_str(), s.size() + 1);
  return out;
}

char* hand_out(const char* s) { return s ? hand_out(std::string(s)) : nullptr; }

void free_text(char*& s) {
  _cu_free(s, kUnit, __LINE__);
  s = nullptr;
}

void clean(vor_uri* r) {
  for (char** f : {&r->scheme, &r->opaque, &r->authority, &r->host, &r->user, &r->path, &r->path_raw, &r->query,
                   &r->fragment, &r->query_raw}) {
    free_text(*f);
  }
  r->port = 0;
  r->port_string[0] = '\0';
}

bool set_text(char*& field, const Text& value) {
  if (!value) return true;
  field = hand_out(*value);
  return field != nullptr;
}

void set_port(vor_uri* r, int32_t port) {
  r->port = port;
  std::snprintf(r->port_string, sizeof r->port_string, "%u", static_cast<unsigned>(port) & 0xFFFFu);
}

bool fill(vor_uri* r, const Parts& u) {
  set_port(r, u.port);
  const Text path_raw = u.path ? Text(escape(*u.path, path_keeps)) : std::nullopt;
  return set_text(r->scheme, u.scheme) && set_text(r->opaque, u.opaque) && set_text(r->authority, u.authority) &&
         set_text(r->host, u.host) && set_text(r->user, u.user) && set_text(r->path, u.path) &&
         set_text(r->path_raw, path_raw) && set_text(r->query, u.query) && set_text(r->fragment, u.fragment) &&
         set_text(r->query_raw, u.query_raw);
}

Text text_of(const char* s) { return s ? Text(s) : std::nullopt; }

Parts parts_of(const vor_uri* r) {
  Parts u;
  u.scheme = text_of(r->scheme);
  u.opaque = text_of(r->opaque);
  u.authority = text_of(r->authority);
  u.host = text_of(r->host);
  u.user = text_of(r->user);
  u.port = r->port;
  u.path = text_of(r->path);
  u.query = text_of(r->query);
  u.fragment = text_of(r->fragment);
  u.query_raw = text_of(r->query_raw);
  return u;
}

vor_uri* new_record(int32_t flags) {
  auto* r = static_cast<vor_uri*>(_cu_calloc(1, sizeof(vor_uri), kUnit, __LINE__));
  if (r) r->flags = flags;
  return r;
}

void free_record(vor_uri* r) {
  if (!r) return;
  clean(r);
  _cu_free(r, kUnit, __LINE__);
}

vor_uri* make(const char* text, int32_t flags) {
  if (!text) return nullptr;
  vor_uri* r = new_record(flags);
  if (!r) return nullptr;
  const auto u = parse(text, (flags & kKeepRaw) != 0);
  if (!u || !fill(r, *u)) {
    free_record(r);
    return nullptr;
  }
  return r;
}

bool parses(const std::string& text) { return parse(text.c_str(), false).has_value(); }

// The reference's query: as written when known, else decoded.
void take_query(Parts& to, const Parts& from) {
  to.query_raw = from.query_raw;
  to.query = from.query;
}

std::optional<std::string> resolve(const char* reference, const char* base) {
  const bool empty = reference[0] == '\0';
  std::optional<Parts> ref;
  if (!empty) {
    ref = parse(reference, false);
    if (!ref) return std::nullopt;
    if (ref->scheme) return std::string(reference);
  }
  const auto b = base ? parse(base, false) : std::nullopt;
  if (!b) {
    if (empty) return base ? std::nullopt : std::optional<std::string>("");
    return to_string(*ref);
  }
  Parts out = *b;
  out.fragment.reset();
  if (empty) return to_string(out);
  if (!ref->path && !ref->authority && !ref->host) {
    if (ref->query) take_query(out, *ref);
    out.fragment = ref->fragment;
    return to_string(out);
  }
  take_query(out, *ref);
  out.fragment = ref->fragment;
  if (ref->authority || ref->host) {
    out.authority = ref->authority;
    out.host = ref->host;
    out.user = ref->user;
    out.port = ref->port;
    out.path = ref->path;
    return to_string(out);
  }
  if ((*ref->path)[0] == '/') {
    out.path = ref->path;
    return to_string(out);
  }
  const std::string& bp = b->path.value_or("");
  const size_t slash = bp.rfind('/');
  std::string merged = slash == std::string::npos ? "" : bp.substr(0, slash + 1);
  if (!ref->path->empty()) {
    if (merged.empty() && b->host) merged = "/";
    merged += *ref->path;
  }
  out.path = normalize(merged);
  return to_string(out);
}

// A text that begins with '.' is a bare path; anything else must parse.
std::optional<Parts> path_or_parse(const char* text) {
  if (text[0] == '.') {
    Parts u;
    u.path = text;
    return u;
  }
  return parse(text, false);
}

bool differ(const Text& a, const Text& b) { return (a || b) && a != b; }

std::optional<std::string> relativise(const char* uri_text, const char* base_text) {
  const auto uri = path_or_parse(uri_text);
  if (!uri) return std::nullopt;
  if (!base_text || !base_text[0]) return std::string(uri_text);
  const auto base = path_or_parse(base_text);
  if (!base) return std::nullopt;
  if ((uri->scheme && !base->scheme) || (uri->scheme && base->scheme && *uri->scheme != *base->scheme) ||
      differ(uri->host, base->host)) {
    return std::string(uri_text);
  }
  if (uri->path && base->path && *uri->path == *base->path) return std::string();
  if (!base->path) return uri->path.value_or("");
  std::string up = uri->path.value_or("/");
  std::string bp = *base->path;
  if (up.compare(0, 2, "./") == 0) up.erase(0, 2);
  if (bp.compare(0, 2, "./") == 0) {
    bp.erase(0, 2);
  } else if (!bp.empty() && bp[0] == '/' && (up.empty() || up[0] != '/')) {
    bp.erase(0, 1);
  }
  size_t diff = 0;
  while (diff < up.size() && diff < bp.size() && up[diff] == bp[diff]) ++diff;
  if (diff == up.size() && diff == bp.size()) return std::string();
  size_t from = 0;
  if (diff > 0) {
    const size_t slash = up.rfind('/', diff - 1);
    if (slash != std::string::npos) from = slash + 1;
  }
  std::string remainder = up.substr(from);
  size_t levels = 0;
  for (size_t k = from; k < bp.size(); ++k) levels += bp[k] == '/';
  std::string out;
  for (size_t k = 0; k < levels; ++k) out += "../";
  if (!out.empty() && !remainder.empty() && remainder[0] == '/') remainder.erase(0, 1);
  return escape_list(out + remainder, "/;&=+$,");
}

bool starts_with_scheme_and_slashes(const std::string& s) {
  size_t n = 0;
  while (n < s.size() && is_letter(s[n])) ++n;
  return n >= 1 && n <= 20 && s.compare(n, 3, "://") == 0;
}

std::string slashes_forward(std::string s) {
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  return s;
}

std::string canonic(const std::string& text) {
  if (parses(text)) return text;
  if (starts_with_scheme_and_slashes(text)) {
    const std::string escaped = escape_list(text, ":/?_.#&;=");
    if (parses(escaped)) return escaped;
  }
  const bool drive = text.size() > 2 && is_letter(text[0]) && text[1] == ':' && (text[2] == '/' || text[2] == '\\');
  if (!drive) return slashes_forward(text);
  Parts u;
  u.scheme = "file";
  u.path = slashes_forward("/" + text);
  return to_string(u);
}

std::string path_to_uri(const std::string& text) {
  if (parses(text)) return text;
  const std::string c = canonic(text);
  if (parses(c)) return c;
  Parts u;
  u.path = slashes_forward(c);
  return to_string(u);
}

char* hand_out_or_null(const std::optional<std::string>& s) { return s ? hand_out(*s) : nullptr; }

}  // namespace

vor_uri* vor_uri_malloc(const char* text) { return make(text, 0); }

vor_uri* vor_uri_mallocx(const char* text, int32_t raw) { return make(text, raw ? kKeepRaw : 0); }

void vor_uri_free(vor_uri* uri) { free_record(uri); }

void vor_uri_cleanall(vor_uri* uri) {
  if (uri) clean(uri);
}

vor_uri* vor_uri_clone(const vor_uri* uri) {
  if (!uri) return nullptr;
  vor_uri* r = new_record(uri->flags);
  if (!r) return nullptr;
  bool ok = true;
  for (auto [to, from] : {std::pair{&r->scheme, uri->scheme}, {&r->opaque, uri->opaque},
                          {&r->authority, uri->authority}, {&r->host, uri->host}, {&r->user, uri->user},
                          {&r->path, uri->path}, {&r->path_raw, uri->path_raw}, {&r->query, uri->query},
                          {&r->fragment, uri->fragment}, {&r->query_raw, uri->query_raw}}) {
    if (from && !(*to = hand_out(from))) ok = false;
  }
  r->port = uri->port;
  std::memcpy(r->port_string, uri->port_string, sizeof r->port_string);
  if (!ok) {
    free_record(r);
    return nullptr;
  }
  return r;
}

const char* vor_uri_GetScheme(const vor_uri* uri) { return uri ? uri->scheme : nullptr; }
const char* vor_uri_GetHost(const vor_uri* uri) { return uri ? uri->host : nullptr; }
const char* vor_uri_GetUser(const vor_uri* uri) { return uri ? uri->user : nullptr; }
const char* vor_uri_GetPath(const vor_uri* uri) { return uri ? uri->path : nullptr; }
const char* vor_uri_GetPathRaw(const vor_uri* uri) { return uri ? uri->path_raw : nullptr; }
const char* vor_uri_GetQuery(const vor_uri* uri) { return uri ? uri->query : nullptr; }
const char* vor_uri_GetQueryRaw(const vor_uri* uri) { return uri ? uri->query_raw : nullptr; }
const char* vor_uri_GetFragment(const vor_uri* uri) { return uri ? uri->fragment : nullptr; }
uint16_t vor_uri_GetPort(const vor_uri* uri) { return uri ? static_cast<uint16_t>(uri->port & 0xFFFF) : 0; }
const char* vor_uri_GetPortString(const vor_uri* uri) { return uri ? uri->port_string : nullptr; }

char* vor_uri_GetURIString(const vor_uri* uri) {
  if (!uri) return nullptr;
  try {
    return hand_out(to_string(parts_of(uri)));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* vor_uri_GetURIRequest(const vor_uri* uri) {
  if (!uri) return nullptr;
  try {
    std::string out = uri->path_raw ? uri->path_raw : "";
    if (uri->query_raw) out += std::string("?") + uri->query_raw;
    return hand_out(out);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int32_t vor_uri_NormalizeURIPath(char* path) {
  if (!path) return -1;
  const std::string out = normalize(path);
  std::memcpy(path, out.c_str(), out.size() + 1);  // never longer than the input
  return 0;
}

char* vor_uri_BuildURI(const char* reference, const char* base) {
  if (!reference) return nullptr;
  try {
    return hand_out_or_null(resolve(reference, base));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* vor_uri_BuildRelativeURI(const char* uri, const char* base) {
  if (!uri || !uri[0]) return nullptr;
  try {
    return hand_out_or_null(relativise(uri, base));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* vor_uri_CanonicPath(const char* text) {
  if (!text) return nullptr;
  try {
    return hand_out(canonic(text));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* vor_uri_PathToURI(const char* text) {
  if (!text) return nullptr;
  try {
    return hand_out(path_to_uri(text));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void vor_uri_print(const vor_uri* uri) {
  if (!uri) return;
  char* text = vor_uri_GetURIString(uri);
  char* request = vor_uri_GetURIRequest(uri);
  std::printf("==URI print==:\n");
  std::printf("uri : %s\n", text ? text : "");
  if (uri->scheme) std::printf("scheme: [%s]\n", uri->scheme);
  if (uri->opaque) std::printf("opaque: [%s]\n", uri->opaque);
  if (uri->authority) std::printf("authority: [%s]\n", uri->authority);
  if (uri->user) std::printf("user: [%s]\n", uri->user);
  if (uri->host) std::printf("host:port: [%s:%d]\n", uri->host, uri->port);
  if (uri->path) std::printf("path: [%s]\n", uri->path);
  if (uri->path_raw) std::printf("path_raw: [%s]\n", uri->path_raw);
  if (uri->query) std::printf("query: [%s]\n", uri->query);
  if (uri->query_raw) std::printf("query_raw: [%s]\n", uri->query_raw);
  if (request) std::printf("request: [%s]\n", request);
  if (uri->fragment) std::printf("fragment: [%s]\n", uri->fragment);
  _cu_free(text, kUnit, __LINE__);
  _cu_free(request, kUnit, __LINE__);
}
