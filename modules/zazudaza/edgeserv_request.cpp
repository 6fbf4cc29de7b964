// Request tracking: each chunk of request bytes is fed to the connection's head parser and moves
// the state of the current request (new, head incomplete, body pending, complete, error).
// A complete head is refused when it frames its body in a way that another reader on the path
// could take differently (request smuggling): the node frames bodies by one plain length only.
#include <string.h>

#include <algorithm>
#include <string_view>

#include "cu_lib.h"
#include "edgeserv_internal.h"

namespace edge {
namespace {

// Lengths from here up are the range of the protocol-switch marker.
constexpr uint64_t kMaxContentLength = 4294967279ull;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool same_name(std::string_view name, std::string_view wanted) {
  if (name.size() != wanted.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char a = name[i];
    char b = wanted[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// One member of a Content-Length value: plain digits, blanks around allowed.
bool parse_length(std::string_view member, uint64_t* out) {
  member = trim_blanks(member);
  if (member.empty()) return false;
  uint64_t value = 0;
  for (char c : member) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > kMaxContentLength) return false;
  }
  *out = value;
  return true;
}

// Every member of every Content-Length header must give the same length.
bool take_lengths(std::string_view value, bool* has_length, uint64_t* length) {
  while (true) {
    const size_t comma = value.find(',');
    uint64_t v = 0;
    if (!parse_length(value.substr(0, comma), &v)) return false;
    if (*has_length && v != *length) return false;
    *has_length = true;
    *length = v;
    if (comma == std::string_view::npos) return true;
    value.remove_prefix(comma + 1);
  }
}

void start_new_request(client_rec* rec) {
  http_parser_empty(rec->parser);
  rec->body_expected = 0;
  rec->body_received = 0;
  rec->state = EDGESERV_STATE_NEW;
  rec->taken = 0;
  rec->lifetime = 0;
  rec->cache_kind = 0;
  rec->icookie = 1;
  rec->expired = 0;
  rec->revalidate = 0;
  rec->rewritten = 0;
  rec->disk_permission = 1;
  rec->disk_refusal = 0;
}

bool is_tunnel(const client_rec* rec) {
  return rec->body_expected == EDGESERV_CONNECT_BODY || rec->body_expected == EDGESERV_SWITCHED_BODY;
}

// Body bytes arrived: takes those the request still expects (a tunnel takes all) and moves the
// state; answers how many it took. The rest start the next request.
int32_t take_body(client_rec* rec, int32_t arrived) {
  if (is_tunnel(rec)) {
    const uint64_t total = static_cast<uint64_t>(rec->body_received) + static_cast<uint64_t>(arrived);
    rec->body_received = static_cast<uint32_t>(total > UINT32_MAX - 1 ? UINT32_MAX - 1 : total);
    rec->state = EDGESERV_STATE_BODY;
    return arrived;
  }
  const uint64_t left = rec->body_expected > rec->body_received ? rec->body_expected - rec->body_received : 0;
  const auto taken = static_cast<int32_t>(std::min<uint64_t>(left, static_cast<uint64_t>(arrived)));
  rec->body_received += static_cast<uint32_t>(taken);
  rec->state = rec->body_received == rec->body_expected ? EDGESERV_STATE_COMPLETE : EDGESERV_STATE_BODY;
  return taken;
}

// The head just completed: method, framing, expected length; bytes after the head are body.
void head_complete(client_rec* rec, int32_t body_bytes, ChunkOutcome* out) {
  http_parser_buildIndex(rec->parser);
  char method[8];
  if (!http_parser_GetMothod(rec->parser, method)) {
    rec->state = EDGESERV_STATE_ERROR;
    return;
  }
  uint32_t length = 0;
  bool has_length = false;
  if (!framing_acceptable(http_parser_GetStr(rec->parser), http_parser_GetLen(rec->parser), &length, &has_length)) {
    rec->state = EDGESERV_STATE_ERROR;
    out->refused = true;
    return;
  }
  if (cu_stricmp(method, "CONNECT") == 0)
    rec->body_expected = EDGESERV_CONNECT_BODY;
  else
    rec->body_expected = has_length ? length : 0;
  out->body_len = take_body(rec, body_bytes);
  out->used += out->body_len;
}

}  // namespace

bool framing_acceptable(const char* head, int32_t len, uint32_t* content_length, bool* has_length) {
  std::string_view text(head ? head : "", head && len > 0 ? static_cast<size_t>(len) : 0);
  uint64_t length = 0;
  *has_length = false;
  size_t pos = text.find("\r\n");  // past the start line
  pos = pos == std::string_view::npos ? text.size() : pos + 2;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 2;
    if (line.empty()) break;                  // the empty line that ends the head
    if (is_blank(line.front())) return false;  // a folded line continues the header above it
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    if (!name.empty() && is_blank(name.back())) return false;
    if (same_name(name, "Transfer-Encoding")) return false;
    if (same_name(name, "Content-Length") && !take_lengths(line.substr(colon + 1), has_length, &length)) return false;
  }
  *content_length = static_cast<uint32_t>(length);
  return true;
}

ChunkOutcome track_request(client_rec* rec, const char* chunk, int32_t len) {
  ChunkOutcome out;
  if (!rec || !chunk || len <= 0) return out;
  if (rec->state == EDGESERV_STATE_COMPLETE) start_new_request(rec);
  switch (rec->state) {
    case EDGESERV_STATE_NEW:
    case EDGESERV_STATE_HEAD: {
      const int32_t consumed = http_parser_parse(rec->parser, chunk, len);
      out.body = chunk + consumed;
      out.used = consumed;
      if (http_parser_check(rec->parser))
        head_complete(rec, len - consumed, &out);
      else
        rec->state = consumed < len ? EDGESERV_STATE_ERROR : EDGESERV_STATE_HEAD;
      break;
    }
    case EDGESERV_STATE_BODY:
      out.body = chunk;
      out.body_len = take_body(rec, len);
      out.used = out.body_len;
      break;
    default:
      out.body = chunk + len;
      break;
  }
  if (rec->state == EDGESERV_STATE_ERROR) {
    out.body_len = 0;
    out.used = len;
  }
  return out;
}

}  // namespace edge
