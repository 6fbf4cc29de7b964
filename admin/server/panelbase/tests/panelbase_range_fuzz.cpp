// Reads arbitrary bytes as a "Range" value on a file whose size the first four bytes give: an
// honoured range always lies inside the file and is never empty.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "panelbase_internal.h"
#include "vor_fuzz_check.h"

using vor::test::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t file_size = 0;
  std::memcpy(&file_size, data, 4);
  const std::string_view text(reinterpret_cast<const char*>(data) + 4, size - 4);
  const auto range = vor::panelbase::parse_range(text, file_size);
  if (range) require(range->from < range->to && range->to <= file_size);
  return 0;
}
