#include "cu_escape.h"

#include "cu_malloc.h"

#include <cstring>

namespace {

constexpr char kUnit[] = "srclib\\cu_escape";
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool kept_as_is(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*';
}

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

size_t effective_length(const char* text, int32_t length) {
  return length == 0 ? std::strlen(text) : static_cast<size_t>(length);
}

char* escape(const unsigned char* in, size_t n) {
  auto* out = static_cast<char*>(_cu_malloc(3 * static_cast<uint64_t>(n) + 2, kUnit, __LINE__));
  if (!out) return nullptr;
  char* w = out;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = in[i];
    if (c == ' ') {
      *w++ = '+';
    } else if (kept_as_is(c)) {
      *w++ = static_cast<char>(c);
    } else {
      *w++ = '%';
      *w++ = kHexDigits[c >> 4];
      *w++ = kHexDigits[c & 15];
    }
  }
  *w = '\0';
  return out;
}

// A '%' is decoded only when two hex digits follow it inside the length; anything else
// (a sign, a blank, one digit, the end) leaves the '%' as a literal byte.
char* unescape(const unsigned char* in, size_t n) {
  auto* out = static_cast<char*>(_cu_malloc(static_cast<uint64_t>(n) + 1, kUnit, __LINE__));
  if (!out) return nullptr;
  char* w = out;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = in[i];
    if (c == '+') {
      *w++ = ' ';
    } else if (c == '%' && i + 2 < n && hex_value(in[i + 1]) >= 0 && hex_value(in[i + 2]) >= 0) {
      *w++ = static_cast<char>(hex_value(in[i + 1]) * 16 + hex_value(in[i + 2]));
      i += 2;
    } else {
      *w++ = static_cast<char>(c);
    }
  }
  *w = '\0';
  return out;
}

}  // namespace

char* cu_url_escape_malloc(const char* text, int32_t length) {
  if (!text || length < 0) return nullptr;
  return escape(reinterpret_cast<const unsigned char*>(text), effective_length(text, length));
}

char* cu_url_unescape_malloc(const char* text, int32_t length) {
  if (!text || length < 0) return nullptr;
  return unescape(reinterpret_cast<const unsigned char*>(text), effective_length(text, length));
}

void cu_url_escape_free(char* s) { _cu_free(s, kUnit, __LINE__); }

void cu_url_unescape_free(char* s) { _cu_free(s, kUnit, __LINE__); }
