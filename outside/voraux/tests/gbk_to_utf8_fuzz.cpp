// Any bytes and any capacity: the output is NUL-terminated inside the buffer and valid UTF-8.
#include "gbk_to_utf8.h"

#include "utf8_check.h"
#include "vor_fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int32_t capacity = 1 + data[0] % 64;
  std::vector<char> out(static_cast<size_t>(capacity) + 1, '\x7f');
  const char* gbk = reinterpret_cast<const char*>(data + 1);
  char* r = gbk_to_utf8_static(gbk_to_utf8_make(), gbk, static_cast<int32_t>(size - 1), out.data(), capacity, 0);
  vor::test::require(r == out.data());
  const void* nul = std::memchr(out.data(), '\0', static_cast<size_t>(capacity));
  vor::test::require(nul != nullptr);
  vor::test::require(out[static_cast<size_t>(capacity)] == '\x7f');
  vor::test::require(vor::test::valid_utf8(std::string_view(out.data())));
  return 0;
}
