// The console dump of a request: secrets masked, control bytes made visible.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "adminweb_internal.h"
#include "cu_escape.h"

namespace vor::adminweb {
namespace {

constexpr std::string_view kSecretFields[] = {"Password", "SessionID", "SSLKeyContent", "SSLExtraParams"};

// A field name as the form parser reads it: %XX and '+' decoded.
std::string decoded_name(std::string_view name) {
  if (name.empty() || name.size() > INT32_MAX) return std::string(name);
  char* plain = cu_url_unescape_malloc(name.data(), static_cast<int32_t>(name.size()));
  if (!plain) return std::string(name);
  std::string out(plain);
  cu_url_unescape_free(plain);
  return out;
}

bool is_secret(std::string_view name) {
  const std::string plain = decoded_name(name);
  for (std::string_view secret : kSecretFields) {
    if (plain == secret) return true;
  }
  return false;
}

// "a=1&Password=x" becomes "a=1&Password=***".
std::string masked_form(std::string_view form) {
  std::string out;
  size_t at = 0;
  while (at <= form.size()) {
    size_t end = form.find('&', at);
    if (end == std::string_view::npos) end = form.size();
    const std::string_view pair = form.substr(at, end - at);
    const size_t eq = pair.find('=');
    if (eq != std::string_view::npos && is_secret(pair.substr(0, eq))) {
      out.append(pair.substr(0, eq + 1)).append("***");
    } else {
      out.append(pair);
    }
    if (end == form.size()) break;
    out += '&';
    at = end + 1;
  }
  return out;
}

// The query of the request line masked; the rest of the head as it is.
std::string masked_head(std::string_view head) {
  const size_t line_end = std::min(head.find("\r\n"), head.size());
  const std::string_view line = head.substr(0, line_end);
  const size_t query = line.find('?');
  if (query == std::string_view::npos) return std::string(head);
  size_t query_end = line.rfind(' ');
  if (query_end == std::string_view::npos || query_end < query) query_end = line.size();
  return std::string(line.substr(0, query + 1)) + masked_form(line.substr(query + 1, query_end - query - 1)) +
         std::string(head.substr(query_end));
}

std::string visible(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && c != '\r' && c != '\n') || b == 0x7f) {
      char code[5];
      snprintf(code, sizeof code, "\\x%02X", b);
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string masked_dump(const char* head, const char* form) {
  std::string out = "[vuved -> zazudaza] filter:\r\n";
  if (head) out += visible(masked_head(head));
  if (form) out += visible(masked_form(form)) + "\r\n\r\n";
  return out;
}

}  // namespace vor::adminweb
