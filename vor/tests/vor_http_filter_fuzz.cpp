// Feeds arbitrary bytes to both stream parsers whole, byte by byte and split at a point the
// input chooses, and checks that every way of cutting the stream gives the same messages.
#include "http_filter_harness.h"
#include "vor_fuzz_check.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool response = data[0] & 1;
  const std::string in(reinterpret_cast<const char*>(data + 2), size - 2);
  const auto whole = http_filter_harness::feed(response, in, {});
  vor::test::require(http_filter_harness::feed(response, in, http_filter_harness::every_byte(in.size())) == whole);
  const size_t cut = in.empty() ? 0 : data[1] % in.size();
  if (cut > 0) vor::test::require(http_filter_harness::feed(response, in, {cut}) == whole);
  return 0;
}
