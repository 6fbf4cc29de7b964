// The relay under load: wrk's keep-alive connections through the node to a python origin get
// only whole, successful answers, also while every slave thread copies cacheable bodies.
#include <gtest/gtest.h>

#include "relay_fixture.h"

namespace {

using quorin::test::Relay;

class RelayLoad : public ::testing::TestWithParam<const char*> {};

TEST_P(RelayLoad, WrkThroughTheRelayHasNoErrors) {
  Relay relay;
  const std::string out =
      vor::test::shell_output("wrk -t4 -c64 -d5s --timeout 30s -H 'Host: a.test' " + relay.url(GetParam()) + " 2>&1");
  EXPECT_EQ(out.find("Non-2xx"), std::string::npos) << out;
  EXPECT_EQ(out.find("Socket errors"), std::string::npos) << out;
  EXPECT_NE(out.find("requests in"), std::string::npos) << out;
  EXPECT_EQ(relay.curl("a.test", relay.url("/bytes/100") + " | wc -c").substr(0, 3), "100") << "the node still serves";
}

INSTANTIATE_TEST_SUITE_P(Paths, RelayLoad, ::testing::Values("/bytes/1024", "/cached/1024", "/bytes/1048576"));

}  // namespace
