// Index records of the disk cache as text: key=value pairs joined by '&', ending at the first
// blank or NUL, in a fixed 170-byte value.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reqgate_internal.h"

namespace vor::reqgate {

namespace {

// The text part of a record: up to its first blank or NUL.
size_t text_end(const char* record) { return std::strcspn(record, " "); }

// Where "key=" starts a pair: at the start or after '&'; NULL when absent.
const char* find_pair(const char* record, const char* key) {
  const size_t key_len = std::strlen(key);
  const size_t end = text_end(record);
  for (const char* at = record; at < record + end; ++at) {
    if ((at == record || at[-1] == '&') && std::strncmp(at, key, key_len) == 0 && at[key_len] == '=') return at;
  }
  return nullptr;
}

size_t value_length(const char* value) { return std::strcspn(value, "& "); }

}  // namespace

char* index_value(const char* record, const char* key, char* buffer, size_t size) {
  const char* pair = record ? find_pair(record, key) : nullptr;
  if (!pair || size == 0) return nullptr;
  const char* value = pair + std::strlen(key) + 1;
  const size_t n = std::min(value_length(value), size - 1);
  std::memcpy(buffer, value, n);
  buffer[n] = '\0';
  return buffer;
}

uint64_t index_hex(const char* record, const char* key, uint64_t fallback) {
  char value[32];
  if (!index_value(record, key, value, sizeof value)) return fallback;
  return std::strtoull(value, nullptr, 16);
}

void index_drop_ep(char* record) {
  char* pair = const_cast<char*>(find_pair(record, "ep"));
  if (!pair) return;
  char* value_end = pair + 3 + value_length(pair + 3);
  char* cut_from = pair;
  char* cut_to = value_end;
  if (*value_end == '&') {
    ++cut_to;
  } else if (pair > record && pair[-1] == '&') {
    --cut_from;
  }
  std::memmove(cut_from, cut_to, std::strlen(cut_to) + 1);
}

bool index_append(char* record, const char* key, const char* value) {
  const size_t end = text_end(record);
  const bool amp = end > 0 && record[end - 1] != '&';
  const std::string pair = std::string(amp ? "&" : "") + key + "=" + value;
  if (end + pair.size() >= kIndexRecordSize) return false;
  std::memcpy(record + end, pair.c_str(), pair.size() + 1);
  return true;
}

}  // namespace vor::reqgate
