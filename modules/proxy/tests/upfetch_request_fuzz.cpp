// Random heads through the head parser, normalisation and the key. The first byte picks TLS and
// CONNECT; the rest is the head. Checked: an accepted request has a path target (CONNECT: the
// host) and the key Host + target; a second pass changes nothing (heads without repeated header
// names, when the first pass neither cut the host at a blank nor left a default port at its end);
// a stamp keeps the whole token inside the part of X-Quorin the loop test reads.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "http_parser.h"
#include "upfetch_request.h"
#include "vor_fuzz_check.h"

namespace {

using namespace vor::upfetch;
using vor::test::require;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return out;
}

// True when two header lines share a name (without regard to case).
bool has_repeated_names(std::string_view head) {
  std::set<std::string> names;
  size_t line = head.find("\r\n");
  while (line != std::string_view::npos && line + 2 < head.size()) {
    const size_t start = line + 2;
    const size_t end = head.find("\r\n", start);
    const std::string_view text = head.substr(start, end == std::string_view::npos ? end : end - start);
    // A name ends where the head parser ends it.
    const size_t name_end = text.find_first_of(": \t\r\n");
    if (!names.insert(lower(text.substr(0, name_end))).second) return true;
    line = end;
  }
  return false;
}

std::string value_of(http_parser* head, const char* name) {
  static char buffer[16384];
  return http_parser_GetKey(head, name, buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

bool ends_with(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

void check(http_parser* head, const RequestContext& context) {
  const std::string original_host = value_of(head, "Host");
  const bool repeated = has_repeated_names(std::string_view(http_parser_GetStr(head), http_parser_GetLen(head)));
  if (!normalize_request(head, context)) return;

  char method[8];
  require(http_parser_GetMothod(head, method) != nullptr);
  const bool connect = strcasecmp(method, "CONNECT") == 0;
  static char target[16384];
  require(http_parser_GetRequest(head, target, sizeof target) != nullptr);
  const std::string host = value_of(head, "Host");
  require(is_valid_host(host));
  require(connect || target[0] == '/');
  static char key[kKeySize];
  static char key_host[kHostSize];
  if (cache_key(head, key, key_host, method)) {
    require(host == key_host);
    require(std::string(key) == (connect ? host : host + target));
  }

  const std::string once(http_parser_GetStr(head), http_parser_GetLen(head));
  const bool cut = original_host.find_first_of(" \t") != std::string::npos;
  const bool default_port = ends_with(host, context.tls_on ? ":443" : ":80");
  if (!repeated && !cut && !default_port) {
    require(normalize_request(head, context));
    require(std::string(http_parser_GetStr(head), http_parser_GetLen(head)) == once);
  }

  const std::string token = "1.1 " + std::string(63, 'n') + " (random:998997 Quorin/Zazudaza/3.7.9)";
  const std::string stamped = stamped_x_quorin(value_of(head, "X-Quorin"), token);
  require(stamped.size() <= kXQuorinRead && ends_with(stamped, token));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 16000) return 0;
  RequestContext context;
  context.tls_on = data[0] & 1;
  context.connect_allowed = data[0] & 2;
  http_parser* head = http_parser_make();
  if (!head) return 0;
  const bool indexed = data[0] & 4;
  http_parser_parse(head, reinterpret_cast<const char*>(data + 1), static_cast<int32_t>(size - 1));
  if (http_parser_check(head)) {
    if (indexed) http_parser_buildIndex(head);
    check(head, context);
  }
  http_parser_free(head);
  return 0;
}
