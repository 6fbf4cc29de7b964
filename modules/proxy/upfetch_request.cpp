#include "upfetch_request.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "vor_kit.h"

namespace vor::upfetch {
namespace {

constexpr int32_t kHeadMax = 16384;  // the longest head a parser holds
constexpr int32_t kUpgradeSize = 32;
constexpr int32_t kProxyConnectionSize = 200;
constexpr int32_t kForwardedSize = 900;
constexpr size_t kHostMax = kHostSize - 1;
constexpr size_t kPortDigitsMax = 5;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
char to_lower(char c) { return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignore_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return to_lower(x) == to_lower(y);
         });
}

bool contains_ignore_case(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (equal_ignore_case(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

// A header value cut to size - 1 characters, as the fixed buffers of the head readers keep it.
// One reading buffer per thread: a head holds at most kHeadMax characters.
char* read_buffer() {
  thread_local char buffer[kHeadMax];
  return buffer;
}

std::optional<std::string> read_header(http_parser* head, const char* name, int32_t size = kHeadMax,
                                       int32_t occurrence = 0) {
  char* buffer = read_buffer();
  if (!http_parser_GetNthKey(head, name, occurrence, buffer, std::min(size, kHeadMax))) return std::nullopt;
  return std::string(buffer);
}

std::optional<std::string> read_target(http_parser* head) {
  char* buffer = read_buffer();
  if (!http_parser_GetRequest(head, buffer, kHeadMax)) return std::nullopt;
  return std::string(buffer);
}

std::string lower_case(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), to_lower);
  return out;
}

// A Host that two readers could read differently makes keys ambiguous: only one is accepted.
bool has_one_host_at_most(http_parser* head) { return !http_parser_IsKey(head, "Host") || !read_header(head, "Host", 2, 1); }

// The first value of a header that may repeat, every occurrence joined in order (cut as the
// buffer of size bytes keeps it), and every occurrence removed, so the caller sets one line.
std::string take_joined(http_parser* head, const char* name, const char* separator, int32_t size) {
  std::string joined;
  for (int32_t k = 0;; ++k) {
    auto value = read_header(head, name, kHeadMax, k);
    if (!value) break;
    if (value->empty()) continue;
    if (!joined.empty()) joined += separator;
    joined += *value;
  }
  while (http_parser_IsKey(head, name)) http_parser_DelKey(head, name);
  if (joined.size() > static_cast<size_t>(size - 1)) joined.resize(static_cast<size_t>(size - 1));
  return joined;
}

bool add_forwarded(http_parser* head, const char* name, const char* separator, const char* client_ip) {
  if (!http_parser_IsKey(head, name)) return http_parser_InsertKey(head, name, client_ip);
  std::string value = take_joined(head, name, separator, kForwardedSize);
  value = value.empty() ? std::string(client_ip) : value + separator + client_ip;
  return http_parser_InsertKey(head, name, value.c_str());
}

void drop_h2_upgrade(http_parser* head) {
  const auto upgrade = read_header(head, "Upgrade", kUpgradeSize);
  if (!upgrade || !(equal_ignore_case(*upgrade, "h2") || equal_ignore_case(*upgrade, "h2c"))) return;
  http_parser_DelKey(head, "Upgrade");
  http_parser_DelKey(head, "HTTP2-Settings");
  http_parser_ModifyKey(head, "Connection", "keep-alive");
}

bool set_host(http_parser* head, const std::string& host) { return http_parser_ModifyKey(head, "Host", host.c_str()); }

bool normalize_connect(http_parser* head, const RequestContext& context, const char* method,
                       const std::string& target) {
  if (!context.connect_allowed) {
    if (context.display) vor::console_line("[Proxy -> Request -> Method -> IsNotUsed] %s %s\r\n", method, target.c_str());
    return false;
  }
  auto host = read_header(head, "Host");
  if (!host) {
    host = target;
    if (!http_parser_InsertKey(head, "Host", host->c_str())) return false;
  } else if (!equal_ignore_case(*host, target) && target.find('/') == std::string::npos) {
    host = target;
    if (!set_host(head, *host)) return false;
  }
  if (std::any_of(host->begin(), host->end(), is_upper)) {
    host = lower_case(*host);
    if (!set_host(head, *host)) return false;
    http_parser_ModifyRequest(head, host->c_str());
  }
  return host->size() <= kHostMax && is_valid_host(*host);
}

// An absolute target names its own authority, which wins over Host; the target becomes the
// path. Without a slash after the authority there is no path to forward.
bool take_absolute_target(http_parser* head, const std::string& target, std::optional<std::string>& host) {
  constexpr std::string_view kScheme = "http://";
  const size_t slash = target.find('/', kScheme.size());
  if (slash == std::string::npos) return false;
  const std::string authority = target.substr(kScheme.size(), slash - kScheme.size());
  if (authority.empty() || authority.size() > kHostMax) return false;
  if (!host || !equal_ignore_case(*host, authority)) {
    host = authority;
    if (!set_host(head, *host)) return false;
  }
  http_parser_ModifyRequest(head, target.c_str() + slash);
  return true;
}

// ":80" on a plain connection or ":443" on a TLS connection is the scheme's own port.
bool strip_default_port(std::string& host, bool tls_on) {
  const size_t http_port = host.find(":80");
  if (http_port != std::string::npos) {
    if (tls_on || http_port + 3 != host.size()) return false;
    host.resize(http_port);
    return true;
  }
  if (!tls_on || host.size() < 4 || host.compare(host.size() - 4, 4, ":443") != 0) return false;
  host.resize(host.size() - 4);
  return true;
}

// A blank or tab ends the host; otherwise the host is lower-cased. True when it changed.
bool settle_host_text(std::string& host) {
  for (size_t i = 0; i < host.size(); ++i) {
    if (is_blank(host[i])) {
      host.resize(i);
      return true;
    }
  }
  if (!std::any_of(host.begin(), host.end(), is_upper)) return false;
  host = lower_case(host);
  return true;
}

// The q value of one coding entry ("gzip;q=0.5"); 1 when absent.
bool has_zero_quality(std::string_view entry) {
  for (size_t semi = entry.find(';'); semi != std::string_view::npos; semi = entry.find(';', semi + 1)) {
    std::string_view param = entry.substr(semi + 1);
    while (!param.empty() && is_blank(param.front())) param.remove_prefix(1);
    if (param.size() < 2 || to_lower(param[0]) != 'q' || param[1] != '=') continue;
    param.remove_prefix(2);
    const size_t end = param.find_first_of(";, \t");
    param = param.substr(0, end);
    return !param.empty() && param.find_first_not_of("0.") == std::string_view::npos;
  }
  return false;
}

// True when some entry names gzip without refusing it (q=0).
bool accepts_gzip(std::string_view value) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    const std::string_view entry = value.substr(0, comma);
    const std::string_view coding = entry.substr(0, entry.find(';'));
    if (contains_ignore_case(coding, "gzip") && !has_zero_quality(entry)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

// Read whole: a value cut inside "gzip;q=0" would read as accepting gzip.
void reduce_accept_encoding(http_parser* head) {
  const auto value = read_header(head, "Accept-Encoding");
  if (!value) return;
  if (accepts_gzip(*value)) {
    http_parser_ModifyKey(head, "Accept-Encoding", "gzip");
  } else {
    http_parser_DelKey(head, "Accept-Encoding");
  }
}

void move_proxy_connection(http_parser* head) {
  const auto value = read_header(head, "Proxy-Connection", kProxyConnectionSize);
  if (!value) return;
  http_parser_DelKey(head, "Proxy-Connection");
  if (!http_parser_IsKey(head, "Connection")) http_parser_InsertKey(head, "Connection", value->c_str());
}

// Calls visit(token) for each comma-separated token of every line of a header, blanks trimmed;
// stops early when visit returns true, and then returns true.
template <class Visit>
bool any_header_token(http_parser* head, const char* name, Visit visit) {
  char* buffer = read_buffer();
  for (int32_t k = 0; http_parser_GetNthKey(head, name, k, buffer, kHeadMax); ++k) {
    std::string_view rest(buffer);
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      std::string_view token = rest.substr(0, comma);
      while (!token.empty() && is_blank(token.front())) token.remove_prefix(1);
      while (!token.empty() && is_blank(token.back())) token.remove_suffix(1);
      if (!token.empty() && visit(token)) return true;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return false;
}

std::vector<std::string> header_tokens(http_parser* head, const char* name) {
  std::vector<std::string> tokens;
  any_header_token(head, name, [&](std::string_view token) {
    tokens.emplace_back(token);
    return false;
  });
  return tokens;
}

bool has_token(http_parser* head, const char* name, std::string_view wanted) {
  return any_header_token(head, name, [&](std::string_view token) { return equal_ignore_case(token, wanted); });
}

void delete_every(http_parser* head, const std::string& name) {
  // Bounded: a head holds at most a few hundred lines.
  for (int i = 0; i < 1000 && http_parser_IsKey(head, name.c_str()); ++i) http_parser_DelKey(head, name.c_str());
}

// A field name as HTTP spells it: one or more token characters. A Connection token that is no
// field name (a colon, a blank, a control byte inside) names nothing to remove.
bool is_field_name(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum && std::string_view("!#$%&'*+-.^_`|~").find(c) == std::string_view::npos) return false;
  }
  return true;
}

// Fields this node frames or routes by itself: a Connection token never removes them.
bool kept_by_node(std::string_view name) {
  for (std::string_view kept : {"Host", "Content-Length", "Transfer-Encoding", "Connection", "Upgrade"}) {
    if (equal_ignore_case(name, kept)) return true;
  }
  return false;
}

}  // namespace

void drop_hop_by_hop(http_parser* head, bool keep_upgrade) {
  bool upgrade_named = false;
  for (const std::string& token : header_tokens(head, "Connection")) {
    if (equal_ignore_case(token, "upgrade")) upgrade_named = true;
    if (is_field_name(token) && !kept_by_node(token)) delete_every(head, token);
  }
  delete_every(head, "Keep-Alive");
  delete_every(head, "TE");
  if (!(keep_upgrade && upgrade_named)) delete_every(head, "Upgrade");
}

bool wants_close(http_parser* request) {
  if (!http_parser_IsKey(request, "Connection")) return true;
  if (has_token(request, "Connection", "close")) return true;
  // Before HTTP/1.1 a connection persists only when the client asks for it.
  return !speaks_http11(request) && !has_token(request, "Connection", "keep-alive");
}

bool speaks_http11(http_parser* head) {
  const char* text = head ? http_parser_GetStr(head) : nullptr;
  const int32_t len = head ? http_parser_GetLen(head) : 0;
  if (!text || len <= 0) return false;
  std::string_view line(text, static_cast<size_t>(len));
  line = line.substr(0, line.find("\r\n"));
  constexpr std::string_view kVersion = "HTTP/1.1";
  return line.size() >= kVersion.size() && equal_ignore_case(line.substr(line.size() - kVersion.size()), kVersion);
}

bool starts_ignore_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equal_ignore_case(text.substr(0, prefix.size()), prefix);
}

bool is_valid_host(std::string_view host) {
  const size_t colon = host.find(':');
  const std::string_view name = host.substr(0, colon);
  if (name.empty()) return false;
  for (char c : name) {
    if (!(is_digit(c) || (to_lower(c) >= 'a' && to_lower(c) <= 'z') || c == '-' || c == '.' || c == '_')) return false;
  }
  if (colon == std::string_view::npos) return true;
  const std::string_view port = host.substr(colon + 1);
  return !port.empty() && port.size() <= kPortDigitsMax && std::all_of(port.begin(), port.end(), is_digit);
}

bool normalize_request(http_parser* head, const RequestContext& context) {
  char method[8];
  if (!head || !http_parser_GetMothod(head, method)) return false;
  const auto target = read_target(head);
  // A longer target would be cut, and a cut target is another URL.
  if (!target || target->size() > static_cast<size_t>(kTargetMax)) return false;
  if (!has_one_host_at_most(head)) return false;
  drop_h2_upgrade(head);
  if (equal_ignore_case(method, "CONNECT")) return normalize_connect(head, context, method, *target);

  const bool absolute = starts_ignore_case(*target, "http://");
  if (!absolute && (target->empty() || target->front() != '/')) {
    if (context.display) vor::console_line("[Proxy -> Request -> Unsupported] %s %s HTTP/1.1\r\n", method, target->c_str());
    return false;
  }
  auto host = read_header(head, "Host");
  if (host && host->size() > kHostMax) return false;
  if (absolute) {
    if (!take_absolute_target(head, *target, host)) return false;
  } else if (!host) {
    if (context.display) vor::console_line("[Proxy -> Request] %s %s HTTP/1.1\r\n", method, target->c_str());
    return false;
  }
  if (host->empty()) return false;

  if (context.use_forwarded_for && context.client_ip) {
    if (!add_forwarded(head, "X-Forwarded-For", ", ", context.client_ip)) return false;
    if (!add_forwarded(head, "X-Real-IP", "; ", context.client_ip)) return false;
  }
  move_proxy_connection(head);
  drop_hop_by_hop(head, true);

  bool changed = strip_default_port(*host, context.tls_on);
  changed = settle_host_text(*host) || changed;
  if (changed && !set_host(head, *host)) return false;
  if (!is_valid_host(*host)) return false;
  reduce_accept_encoding(head);
  return true;
}

bool cache_key(http_parser* head, char* key, char* host, const char* method) {
  if (!head || !key || !host) return false;
  const auto host_text = read_header(head, "Host");
  if (!host_text || host_text->size() > kHostMax) return false;
  std::string out = *host_text;
  if (!method || !equal_ignore_case(method, "CONNECT")) {
    const auto target = read_target(head);
    if (!target) return false;
    std::string_view path = *target;
    for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
      if (!starts_ignore_case(path, scheme)) continue;
      const size_t slash = path.find('/', scheme.size());
      if (slash == std::string_view::npos) return false;
      path.remove_prefix(slash);
      break;
    }
    out += path;
  }
  if (out.size() >= static_cast<size_t>(kKeySize)) return false;
  std::memcpy(host, host_text->c_str(), host_text->size() + 1);
  std::memcpy(key, out.c_str(), out.size() + 1);
  return true;
}

std::string stamped_x_quorin(std::string_view old, std::string_view token) {
  constexpr std::string_view kSeparator = "; ";
  if (old.empty()) return std::string(token);
  while (old.size() + kSeparator.size() + token.size() > kXQuorinRead) {
    const size_t next = old.find(kSeparator);
    if (next == std::string_view::npos) return std::string(token);
    old.remove_prefix(next + kSeparator.size());
  }
  std::string value(old);
  value += kSeparator;
  value += token;
  return value;
}

}  // namespace vor::upfetch
