// Strict UTF-8 validity (no overlong forms, no surrogates, nothing above U+10FFFF), for tests
// that check converted or reported text.
#pragma once
#include <cstddef>
#include <string_view>

namespace vor::test {

inline bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t n;
    unsigned cp;
    if (b < 0x80) { ++i; continue; }
    if (b >= 0xc2 && b <= 0xdf) { n = 1; cp = b & 0x1f; }
    else if (b >= 0xe0 && b <= 0xef) { n = 2; cp = b & 0x0f; }
    else if (b >= 0xf0 && b <= 0xf4) { n = 3; cp = b & 0x07; }
    else return false;
    if (i + n >= s.size()) return false;  // cut sequence
    for (size_t k = 1; k <= n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3f);
    }
    if ((n == 2 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) || (n == 3 && (cp < 0x10000 || cp > 0x10ffff))) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

}  // namespace vor::test
