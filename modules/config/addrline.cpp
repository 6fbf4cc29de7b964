#include "addrline.h"

namespace vor::addrline {
namespace {

constexpr size_t kShortestLine = 7;  // "1.2.3.4"
constexpr size_t kLongestAddress = 15;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_space(char c) { return is_blank(c) || c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view without_comment_and_trailing_space(std::string_view line) {
  line = line.substr(0, line.find('#'));
  while (!line.empty() && is_space(line.back())) line.remove_suffix(1);
  return line;
}

// A dotted address of exactly four decimal parts, each at most 255 (at most three digits, so
// "01.2.3.4" reads as 1.2.3.4 and "1.2.3.0004" is refused); pos moves past it.
std::optional<uint32_t> read_address(std::string_view text, size_t& pos) {
  const size_t start = pos;
  uint32_t value = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    uint32_t number = 0;
    size_t digits = 0;
    while (pos < text.size() && is_digit(text[pos]) && digits < 3) {
      number = number * 10 + static_cast<uint32_t>(text[pos++] - '0');
      ++digits;
    }
    if (digits == 0 || number > 255) return std::nullopt;
    value = value << 8 | number;
  }
  if (pos - start > kLongestAddress) return std::nullopt;
  if (pos < text.size() && (is_digit(text[pos]) || text[pos] == '.')) return std::nullopt;
  return value;
}

std::optional<Range> read_block(uint32_t address, std::string_view rest) {
  if (rest.empty() || rest.size() > 2) return std::nullopt;
  uint32_t bits = 0;
  for (char c : rest) {
    if (!is_digit(c)) return std::nullopt;
    bits = bits * 10 + static_cast<uint32_t>(c - '0');
  }
  if (bits > 32) return std::nullopt;
  const uint32_t host_mask = bits == 0 ? 0xFFFFFFFFu : (bits == 32 ? 0u : 0xFFFFFFFFu >> bits);
  return Range{address & ~host_mask, address | host_mask};
}

}  // namespace

std::optional<Range> parse_line(std::string_view line) {
  line = without_comment_and_trailing_space(line);
  if (line.size() < kShortestLine) return std::nullopt;
  size_t pos = 0;
  while (pos < line.size() && is_blank(line[pos])) ++pos;
  const auto first = read_address(line, pos);
  if (!first) return std::nullopt;
  if (pos == line.size()) return Range{*first, *first};
  if (line[pos] == '/') return read_block(*first, line.substr(pos + 1));
  const size_t separator = pos;
  while (pos < line.size() && (is_blank(line[pos]) || line[pos] == '-')) ++pos;
  if (pos == separator) return std::nullopt;
  const auto second = read_address(line, pos);
  // Trailing blanks are already gone, so the second address must end the line.
  if (!second || pos != line.size() || *second < *first) return std::nullopt;
  return Range{*first, *second};
}

}  // namespace vor::addrline
