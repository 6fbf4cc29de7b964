#include "addrline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vor::addrline::parse_line;
using vor::addrline::parse_text;
using vor::addrline::Range;

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

struct LineCase {
  const char* line;
  bool ok;
  uint32_t low, high;
};

const LineCase kLines[] = {
    {"1.2.3.4", true, ip(1, 2, 3, 4), ip(1, 2, 3, 4)},
    {"  \t1.2.3.4 \t\r", true, ip(1, 2, 3, 4), ip(1, 2, 3, 4)},
    {"1.2.3.4#office", true, ip(1, 2, 3, 4), ip(1, 2, 3, 4)},
    {"1.2.3.4 # office", true, ip(1, 2, 3, 4), ip(1, 2, 3, 4)},
    {"10.1.2.3/8", true, ip(10, 0, 0, 0), ip(10, 255, 255, 255)},
    {"192.168.1.7/32", true, ip(192, 168, 1, 7), ip(192, 168, 1, 7)},
    {"1.2.3.4/0", true, 0, 0xFFFFFFFFu},
    {"172.16.0.0/12", true, ip(172, 16, 0, 0), ip(172, 31, 255, 255)},
    {"224.0.0.0/3", true, ip(224, 0, 0, 0), 0xFFFFFFFFu},
    {"1.2.3.4 - 1.2.3.9", true, ip(1, 2, 3, 4), ip(1, 2, 3, 9)},
    {"1.2.3.4-1.2.3.9", true, ip(1, 2, 3, 4), ip(1, 2, 3, 9)},
    {"1.2.3.4 \t-- 1.2.3.9  ", true, ip(1, 2, 3, 4), ip(1, 2, 3, 9)},
    {"1.2.3.4 1.2.3.9", true, ip(1, 2, 3, 4), ip(1, 2, 3, 9)},
    {"1.2.3.4x", false, 0, 0},
    {"1.2.3.4 - 1.2.3.9x", false, 0, 0},
    {"1.2.3.9 - 1.2.3.4", false, 0, 0},  // reversed ends
    {"1.2.3.4/33", false, 0, 0},        // no block beyond 32 bits
    {"1.2.3.4/", false, 0, 0},
    {"1.2.3.4/8x", false, 0, 0},
    {"1.2.3.256", false, 0, 0},
    {"1.2.3", false, 0, 0},
    {"1.2.3.4.5", false, 0, 0},
    {"1.2.3.0004", false, 0, 0},
    {"#1.2.3.4", false, 0, 0},
    {"1.2.3", false, 0, 0},
    {"", false, 0, 0},
    {"a.b.c.d", false, 0, 0},
    {"-1.2.3.4", false, 0, 0},
};

TEST(AddressLine, Table) {
  for (const auto& c : kLines) {
    SCOPED_TRACE(c.line);
    const auto range = parse_line(c.line);
    ASSERT_EQ(range.has_value(), c.ok);
    if (!range) continue;
    EXPECT_EQ(range->low, c.low);
    EXPECT_EQ(range->high, c.high);
  }
}

TEST(AddressLine, TextSkipsLinesThatDoNotParse) {
  std::vector<Range> got;
  parse_text("1.2.3.4\r\n# all comment\nbad line\n\n10.0.0.0/8\n5.6.7.8 - 5.6.7.9", [&](Range r) { got.push_back(r); });
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].low, ip(1, 2, 3, 4));
  EXPECT_EQ(got[1].high, ip(10, 255, 255, 255));
  EXPECT_EQ(got[2].high, ip(5, 6, 7, 9));
}

}  // namespace
