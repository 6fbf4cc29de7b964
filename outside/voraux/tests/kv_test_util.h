// Keys and values of the index-store tests: 32-byte keys like the index's MD5 names and
// values of the index's fixed sizes.
#pragma once
#include "vor_kv2.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace vor::test {

inline std::string kv_key(uint64_t n, char prefix = 'k') {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%c%031llx", prefix, static_cast<unsigned long long>(n));
  return std::string(buf, 32);
}

// A 170-byte value whose text names the key number and a version.
inline std::string kv_value(uint64_t n, uint64_t version, size_t size = 170) {
  std::string v = "vs=371&n=" + std::to_string(n) + "&ver=" + std::to_string(version);
  v.resize(size, '\0');
  return v;
}

inline bool kv_put(vor_kv2* s, const std::string& k, const std::string& v) {
  return vor_kv2_put(s, 0, k.data(), static_cast<int32_t>(k.size()), v.data(), static_cast<int32_t>(v.size()));
}

inline bool kv_del(vor_kv2* s, const std::string& k) {
  return vor_kv2_del(s, 0, k.data(), static_cast<int32_t>(k.size()));
}

// The value, or nothing when absent.
inline bool kv_get(vor_kv2* s, const std::string& k, std::string* v, int32_t room = 170) {
  std::string buf(static_cast<size_t>(room), '\0');
  int32_t len = room;
  if (!vor_kv2_get(s, 0, k.data(), static_cast<int32_t>(k.size()), buf.data(), &len)) return false;
  buf.resize(static_cast<size_t>(len));
  *v = buf;
  return true;
}

inline bool kv_next(vor_kv2* s, std::string* k, std::string* v, int32_t room = 170) {
  char key[32];
  std::string buf(static_cast<size_t>(room), '\0');
  int32_t len = room;
  if (!vor_kv2_Foreach_GetNext(s, key, sizeof key, buf.data(), &len)) return false;
  buf.resize(static_cast<size_t>(len));
  *k = std::string(key, sizeof key);
  *v = buf;
  return true;
}

}  // namespace vor::test
