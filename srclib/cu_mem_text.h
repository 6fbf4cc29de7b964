// Internal to vorcore: the string copies that arenas and pools both offer, written once over
// an allocation function.
#pragma once
#include "vor_internal.h"
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "cu_lib_internal.h"

namespace cu_text {
using AllocFn = void* (*)(void* context, uint64_t n);

// One new string holding the concatenation; NULL when any part is NULL or no room.
inline char* concat(AllocFn alloc, void* context, std::initializer_list<const char*> parts) {
  uint64_t total = 1;
  for (const char* s : parts) {
    if (!s) return nullptr;
    total += std::strlen(s);
  }
  auto* out = static_cast<char*>(alloc(context, total));
  if (!out) return nullptr;
  char* at = out;
  for (const char* s : parts) {
    const size_t len = std::strlen(s);
    std::memcpy(at, s, len);
    at += len;
  }
  *at = '\0';
  return out;
}

// n + 1 bytes: up to n characters of s (stopping at a NUL), the rest NUL.
inline char* strndup(AllocFn alloc, void* context, const char* s, int32_t n) {
  if (!s || n < 0) return nullptr;
  auto* out = static_cast<char*>(alloc(context, static_cast<uint64_t>(n) + 1));
  if (!out) return nullptr;
  const size_t len = strnlen(s, static_cast<size_t>(n));
  std::memcpy(out, s, len);
  std::memset(out + len, 0, static_cast<size_t>(n) + 1 - len);
  return out;
}

// n bytes copied and a NUL after them.
inline void* memdup(AllocFn alloc, void* context, const void* data, int32_t n) {
  if (!data || n < 0) return nullptr;
  auto* out = static_cast<char*>(alloc(context, static_cast<uint64_t>(n) + 1));
  if (!out) return nullptr;
  std::memcpy(out, data, static_cast<size_t>(n));
  out[n] = '\0';
  return out;
}

// A copy with ASCII letters mapped to one case; other bytes unchanged.
inline char* mapped_case(AllocFn alloc, void* context, const char* s, bool upper) {
  char* out = concat(alloc, context, {s});
  if (!out) return nullptr;
  for (char* c = out; *c; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    *c = static_cast<char>(upper ? cu_internal::ascii_upper(byte) : cu_internal::ascii_lower(byte));
  }
  return out;
}

// The first n characters of s (cut at a NUL) in reverse order; NULL for n <= 0 or NULL s.
inline char* reversed(AllocFn alloc, void* context, const char* s, int32_t n) {
  if (!s || n <= 0) return nullptr;
  const size_t len = strnlen(s, static_cast<size_t>(n));
  if (len == 0) return nullptr;
  auto* out = static_cast<char*>(alloc(context, len + 1));
  if (!out) return nullptr;
  for (size_t i = 0; i < len; ++i) out[i] = s[len - 1 - i];
  out[len] = '\0';
  return out;
}
}  // namespace cu_text
