// Feeds arbitrary bytes as a head (in pieces whose size the input chooses), runs every reader,
// then edits the head with texts taken from the input; checks the head's invariants after each.
//   byte 0: piece size (0 = whole)   byte 1: option bits   then the head bytes; the last
//   bytes double as the names and values of the edits.
#include "http_parser.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cu_malloc.h"
#include "vor_fuzz_check.h"

namespace {

using vor::test::require;

bool is_name_end(char c) { return c == ':' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; }

void check_invariants(http_parser* p) {
  if (!p->text) {
    require(p->length == 0 && p->capacity == 0);
    return;
  }
  require(p->capacity == 2048 || p->capacity == 16384);
  require(p->length >= 0 && p->length < p->capacity);
  require(p->text[p->length] == '\0');
  require(std::strlen(p->text) == static_cast<size_t>(p->length));
  require(p->index_count <= 64);
  for (int i = 0; i < p->index_count; ++i) {
    const http_parser_index& e = p->index[i];
    require(e.length > 0 && e.offset + e.length <= p->length);
    for (int j = 0; j < e.length; ++j) require(!is_name_end(p->text[e.offset + j]));
    if (i > 0) require(e.offset > p->index[i - 1].offset);
  }
}

void free_block(char* block) { _cu_free(block, "prot\\http_parser_fuzz", __LINE__); }

void read_all(http_parser* p, const char* name) {
  char buffer[64];
  char method[8];
  http_parser_GetStatus(p, buffer, sizeof(buffer));
  http_parser_GetMothod(p, method);
  http_parser_GetRequest(p, buffer, 1 + static_cast<int32_t>(std::strlen(name) % 63));
  free_block(http_parser_GetStatus_ext(p));
  free_block(http_parser_GetMethod_ext(p));
  free_block(http_parser_GetRequest_ext(p));
  for (const char* n : {name, "Host", "cookie", "Content-Length", ""}) {
    for (int k = 0; k < 3; ++k) http_parser_GetNthKey(p, n, k, buffer, sizeof(buffer));
    http_parser_IsKey(p, n);
    http_parser_GetCookie(p, n, buffer, sizeof(buffer));
    http_parser_IsCookieKey(p, n);
    free_block(http_parser_GetKey_ext(p, n));
    free_block(http_parser_GetCookie_ext(p, n));
  }
}

bool ends_with(http_parser* p, const std::string& tail) {
  return static_cast<size_t>(p->length) >= tail.size() &&
         std::memcmp(p->text + p->length - tail.size(), tail.data(), tail.size()) == 0;
}

void edit(http_parser* p, const std::string& name, const std::string& value, uint8_t options) {
  const bool complete = http_parser_check(p);
  if (http_parser_InsertKey(p, name.c_str(), value.c_str())) {
    require(complete && ends_with(p, name + ": " + value + "\r\n\r\n"));
    require(http_parser_IsKey(p, name.c_str()));
  }
  check_invariants(p);
  if (http_parser_ModifyKey(p, name.c_str(), value.c_str())) require(ends_with(p, name + ": " + value + "\r\n\r\n"));
  check_invariants(p);
  http_parser_DelNthKey(p, name.c_str(), options & 3);
  check_invariants(p);
  if (options & 4) http_parser_ModifyStatus(p, value.c_str());
  if (options & 8) http_parser_ModifyMethod(p, name.c_str());
  if (options & 16) http_parser_ModifyRequest(p, value.c_str());
  check_invariants(p);
  require(!complete || http_parser_check(p));  // no edit breaks a complete head
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t piece = data[0];
  const uint8_t options = data[1];
  const char* head = reinterpret_cast<const char*>(data + 2);
  const size_t head_len = size - 2;

  http_parser* p = http_parser_make();
  if (!p) return 0;
  size_t fed = 0;
  while (fed < head_len) {
    const size_t n = piece == 0 ? head_len - fed : std::min(piece, head_len - fed);
    const int32_t taken = http_parser_parse(p, head + fed, static_cast<int32_t>(n));
    require(taken >= 0 && static_cast<size_t>(taken) <= n);
    check_invariants(p);
    fed += n;
    if (static_cast<size_t>(taken) < n || (http_parser_check(p) && !(options & 32))) break;
  }
  if (options & 64) http_parser_buildIndex(p);
  check_invariants(p);

  // Names and values from the input's last bytes: CR, LF, blanks and colons included.
  const std::string tail(head + head_len - std::min<size_t>(head_len, 24), std::min<size_t>(head_len, 24));
  const std::string name = tail.substr(0, tail.size() / 3).c_str();
  const std::string value = tail.substr(tail.size() / 3).c_str();
  read_all(p, name.c_str());

  http_parser* copy = http_parser_clone(p);
  if (copy) {
    require(copy->length == p->length && copy->index_count == p->index_count);
    require(!p->text || std::memcmp(copy->text, p->text, p->length + 1) == 0);
  }
  edit(p, name, value, options);
  edit(p, "X-Fuzz", name, options >> 1);
  read_all(p, name.c_str());
  if (copy) {
    edit(copy, value, name, options >> 2);
    read_all(copy, value.c_str());
  }
  http_parser_free(copy);
  if (options & 128) {
    http_parser_empty(p);
    check_invariants(p);
  }
  http_parser_free(p);
  return 0;
}
