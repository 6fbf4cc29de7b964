// Records of the disk-cache index stores as text: key=value pairs joined by '&', ending at the
// first blank or NUL, in a fixed value (170 bytes for an index record, 60 for a content record).
// Every reader and writer stays inside the value: a value filled to its last byte has no NUL.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "reqgate_internal.h"

namespace vor::reqgate {

namespace {

// The text part of a record: up to its first blank or NUL, never past the value.
std::string_view record_text(const char* record, size_t record_size) {
  const size_t len = strnlen(record, record_size);
  const std::string_view all(record, len);
  return all.substr(0, std::min(all.find(' '), len));
}

// Where "key=" starts a pair: at the start or after '&'; npos when absent.
size_t find_pair(std::string_view text, std::string_view key) {
  for (size_t at = 0; at + key.size() < text.size(); ++at) {
    if ((at == 0 || text[at - 1] == '&') && text.compare(at, key.size(), key) == 0 && text[at + key.size()] == '=') {
      return at;
    }
  }
  return std::string_view::npos;
}

// The value of the pair at pair: up to '&' or the end of the text.
std::string_view pair_value(std::string_view text, size_t pair, size_t key_len) {
  const std::string_view rest = text.substr(pair + key_len + 1);
  return rest.substr(0, rest.find('&'));
}

// Hash of a name or path segment: h * 31 + each byte taken as signed, wrapping at 32 bits.
uint32_t segment_hash(std::string_view segment) {
  uint32_t h = 0;
  for (const char c : segment) h = h * 31u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
  return h;
}

// The magnitude of h read as a signed 32-bit number (the most negative value stays 0x80000000).
uint32_t magnitude(uint32_t h) { return (h & 0x80000000u) ? 0u - h : h; }

void append_hex(std::string& out, uint32_t value) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", value);
  out += hex;
}

}  // namespace

char* index_value(const char* record, const char* key, char* buffer, size_t size, size_t record_size) {
  if (!record || !key || !buffer || size == 0) return nullptr;
  const std::string_view text = record_text(record, record_size);
  const size_t key_len = std::strlen(key);
  const size_t pair = find_pair(text, key);
  if (pair == std::string_view::npos) return nullptr;
  const std::string_view value = pair_value(text, pair, key_len);
  const size_t n = std::min(value.size(), size - 1);
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return buffer;
}

uint64_t index_hex(const char* record, const char* key, uint64_t fallback, size_t record_size) {
  char value[kNumberValueSize];
  if (!index_value(record, key, value, sizeof value, record_size)) return fallback;
  return std::strtoull(value, nullptr, 16);
}

void index_drop_ep(char* record, size_t record_size) {
  const std::string_view text = record_text(record, record_size);
  const size_t pair = find_pair(text, "ep");
  if (pair == std::string_view::npos) return;
  const size_t value_end = pair + 3 + pair_value(text, pair, 2).size();
  size_t cut_from = pair;
  size_t cut_to = value_end;
  if (value_end < text.size() && text[value_end] == '&') {
    ++cut_to;
  } else if (pair > 0 && text[pair - 1] == '&') {
    --cut_from;
  }
  // Whatever follows the text (after a blank) moves along; the bytes freed at the end are zeroed.
  const size_t rest = strnlen(record + cut_to, record_size - cut_to);
  std::memmove(record + cut_from, record + cut_to, rest);
  std::memset(record + cut_from + rest, 0, cut_to - cut_from);
}

bool index_append(char* record, const char* key, const char* value, size_t record_size) {
  const size_t end = record_text(record, record_size).size();
  if (end == record_size) return false;  // no NUL: nothing fits
  const bool amp = end > 0 && record[end - 1] != '&';
  const std::string pair = std::string(amp ? "&" : "") + key + "=" + value;
  if (end + pair.size() + 1 > record_size) return false;
  std::memcpy(record + end, pair.c_str(), pair.size() + 1);
  return true;
}

std::string path_signature(std::string_view url) {
  if (url.size() >= 7 && strncasecmp(url.data(), "http://", 7) == 0) url.remove_prefix(7);
  std::string text(url.substr(0, url.find_first_of("?*")));
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::string out;
  size_t slash = text.find('/');
  if (slash == std::string::npos || slash == 0) return out;
  append_hex(out, magnitude(segment_hash(std::string_view(text).substr(0, slash))) & 0xfff);
  out += '/';
  for (int level = 0; level < 3; ++level) {
    const size_t start = slash + 1;
    slash = text.find('/', start);
    if (slash == std::string::npos) break;
    if (slash > start) {
      append_hex(out, magnitude(segment_hash(std::string_view(text).substr(start, slash - start))) & 0xff);
      out += '/';
    }
  }
  return out;
}

}  // namespace vor::reqgate
