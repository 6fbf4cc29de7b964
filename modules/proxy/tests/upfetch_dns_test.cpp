// The tag that ties a name look-up's completion to the client still waiting for it.
#include <gtest/gtest.h>

#include "upfetch_chain.h"

namespace {

TEST(DnsTag, SidAndClockEachTakeTheirRemainderBy9999999) {
  struct Row {
    int64_t sid;
    int64_t now;
    const char* tag;
  };
  const Row rows[] = {
      {12345678, 0, "2345679-0"},
      {9999999, 9999998, "0-9999998"},
      {(int64_t{1} << 32) + 5, -12345678, "4967730-2345679"},  // a sid above 2^32 keeps its high bits
      {int64_t{1} << 40, 1765400000, "1737727-5400176"},
  };
  for (const Row& row : rows) {
    const std::string tag = vor::upfetch::dns_tag(row.sid, row.now);
    EXPECT_EQ(tag, row.tag) << row.sid;
    EXPECT_LE(tag.size(), 15u);
  }
}

}  // namespace
