// addrline: one line of an address list as an IPv4 range. The rules store's white list, the
// request handler's private addresses and the pipe's REFUSE list all read their lines here, so
// every list means the same by the same text. A static library: each user links its own copy.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace vor::addrline {

// A closed range of addresses in host order.
struct Range {
  uint32_t low;
  uint32_t high;
};

// One line: after optional leading blanks or tabs, an address "a.b.c.d", a block "a.b.c.d/N"
// (N from 0 to 32; the block that holds the address) or a range "a.b.c.d - e.f.g.h" (any run of
// blanks, tabs and dashes between; the second address ends the line or is followed by a blank or
// tab). "#" starts a comment; trailing white space (CR included) is ignored, and a line shorter
// than 7 characters after that is no line. Anything else, and a range whose ends are reversed,
// answers nothing.
std::optional<Range> parse_line(std::string_view line);

// Calls add(range) for every line of text (lines end at LF) that parses.
template <typename Add>
void parse_text(std::string_view text, Add&& add) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (auto range = parse_line(line)) add(*range);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

}  // namespace vor::addrline
