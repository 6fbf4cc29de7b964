// What the static-file module's files share: the range reader and the request's answer.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

#include "panelbase.h"

namespace vor::panelbase {

struct ByteRange {
  uint32_t from;
  uint32_t to;  // exclusive
};

// The first range of a "Range" value (from its "bytes" on) on a file of size bytes, when it
// is honoured: it must lie inside the file; numbers saturate instead of wrapping.
std::optional<ByteRange> parse_range(std::string_view value, uint32_t size);

// Answers one request; 0 when answered.
uint8_t answer(int64_t sid, vor_http_table* request, RTParser* parser);

}  // namespace vor::panelbase
