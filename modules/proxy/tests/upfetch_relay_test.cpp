// The node as a reverse proxy between curl and python origins on 127.0.0.1: bodies both ways
// byte for byte, upstream connections reused per host text, framing cut at the body's end, slow
// peers on either side, and failing or vanishing upstreams.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "relay_fixture.h"

namespace {

using quorin::test::pattern_sha;
using quorin::test::Relay;

std::string sha_of(const std::string& output) { return output.substr(0, 64); }

// Peer ports of the origin's log lines for a path.
std::vector<std::string> peers_for(const Relay& relay, const std::string& path) {
  std::vector<std::string> peers;
  for (const std::string& line : relay.origin_log()) {
    if (line.find(" " + path) != std::string::npos) peers.push_back(line.substr(0, line.find(' ')));
  }
  return peers;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Relay, BodiesBothWaysArriveWhole) {
  Relay relay;
  EXPECT_EQ(sha_of(relay.curl("a.test", relay.url("/bytes/1000000") + " | sha256sum")), pattern_sha(1000000));
  EXPECT_EQ(sha_of(relay.curl("a.test", relay.url("/close/300000") + " | sha256sum")), pattern_sha(300000));
  const std::string head = relay.curl("a.test", "-I " + relay.url("/bytes/1000"));
  EXPECT_NE(head.find("Content-Length: 1000"), std::string::npos) << head;
  EXPECT_NE(head.find("X-Via: "), std::string::npos) << head;
  const std::string body_sha = vor::test::shell_output("head -c 300000 /dev/zero | sha256sum").substr(0, 64);
  for (const char* expect : {"", "-H 'Expect: 100-continue'", "-H 'Expect:'"}) {
    const std::string echo = relay.curl("a.test", std::string(expect) + " --data-binary @- " + relay.url("/echo"),
                                        "head -c 300000 /dev/zero");
    EXPECT_NE(echo.find("body-sha256: " + body_sha), std::string::npos) << expect << "\n" << echo;
  }
}

TEST(Relay, KeepAliveRequestsShareAnUpstreamConnectionPerHostText) {
  Relay relay;
  relay.curl("a.test", relay.url("/bytes/10") + " " + relay.url("/bytes/11") + " -o /dev/null -o /dev/null");
  const auto first = peers_for(relay, "/bytes/10");
  const auto second = peers_for(relay, "/bytes/11");
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(first[0], second[0]) << "one upstream connection for both requests";
  // Another proxy host's upstream text on the same client connection: a new upstream connection.
  relay.curl("a.test", relay.url("/bytes/12") + " -o /dev/null --next -s -H 'Host: b.test' " +
                           relay.url("/bytes/13") + " -o /dev/null");
  const auto other = peers_for(relay, "/bytes/13");
  ASSERT_EQ(other.size(), 1u);
  EXPECT_NE(other[0], peers_for(relay, "/bytes/12").at(0));
}

// Bytes an upstream sends past its body's end, and bodiless answers with a length, never reach
// the client's next answer.
TEST(Relay, EachAnswerEndsWhereItsFramingEnds) {
  Relay relay;
  struct Case {
    const char* first;
    const char* options;  // for the first request
    const char* expected_start;
  };
  const Case cases[] = {
      {"/overrun", "", "hello"},
      {"/chunks-overrun", "", "hello"},
      {"/status/204", "", ""},
      {"/status/304", "", ""},
      {"/bytes/5", "-I", "HTTP/1.1 200"},
  };
  for (const Case& c : cases) {
    const std::string first = relay.curl("a.test", std::string(c.options) + " " + relay.url(c.first));
    EXPECT_EQ(first.rfind(c.expected_start, 0), 0u) << c.first << ": " << first;
    const std::string second =
        relay.curl("a.test", std::string(c.options) + " -o /dev/null " + relay.url(c.first) +
                                 " --next -s -H 'Host: a.test' " + relay.url("/bytes/300") + " | sha256sum");
    EXPECT_EQ(sha_of(second), pattern_sha(300)) << c.first << " then a GET on the same connection";
  }
  const auto peers = peers_for(relay, "/bytes/300");
  EXPECT_EQ(peers.size(), std::size(cases));
}

TEST(Relay, CloseDelimitedErrorAnswerReachesTheClient) {
  Relay relay;
  const std::string out = relay.curl("a.test", "-i '" + relay.url("/close/10?status=404%20Not%20Found") + "'");
  EXPECT_EQ(out.rfind("HTTP/1.1 404 Not Found", 0), 0u) << out;
}

TEST(Relay, UpstreamThatIsDownGetsExactlyOne502) {
  Relay relay;
  const std::string out = relay.curl("c.test", "-i " + relay.url("/x"));
  EXPECT_EQ(count(out, "HTTP/1.1 502"), 1) << out;
  EXPECT_NE(out.find("Bad Gateway - Cann't Connect To Upstream Server"), std::string::npos) << out;
}

TEST(Relay, UnknownHostIsRefused) {
  Relay relay;
  const std::string out = relay.curl("nowhere.test", "-i " + relay.url("/x"));
  EXPECT_EQ(out.rfind("HTTP/1.1 400", 0), 0u) << out;
  EXPECT_NE(out.find("Bad Request - Invalid Host"), std::string::npos) << out;
}

TEST(Relay, SlowClientAndSlowOriginGetEveryByte) {
  Relay relay;
  const size_t n = 12 * 1000 * 1000;
  EXPECT_EQ(sha_of(relay.curl("a.test", "--limit-rate 4M " + relay.url("/bytes/" + std::to_string(n)) +
                                            " | sha256sum")),
            pattern_sha(n));
  const std::string body_sha = vor::test::shell_output("head -c 4000000 /dev/zero | sha256sum").substr(0, 64);
  const std::string echo =
      relay.curl("a.test", "--data-binary @- " + relay.url("/upload-slow"), "head -c 4000000 /dev/zero");
  EXPECT_NE(echo.find("body-length: 4000000"), std::string::npos) << echo;
  EXPECT_NE(echo.find("body-sha256: " + body_sha), std::string::npos);
}

// Established connections with the origin's port as their local port.
int origin_connections(uint16_t port) {
  const std::string out =
      vor::test::shell_output("ss -Htn state established '( sport = :" + std::to_string(port) + " )' | wc -l");
  return std::atoi(out.c_str());
}

TEST(Relay, ClientAbortClosesTheUpstream) {
  Relay relay;
  relay.curl("a.test", "--max-time 1 --limit-rate 100k -o /dev/null " + relay.url("/slowbytes/200000000"));
  EXPECT_TRUE(vor::test::wait_until([&] { return origin_connections(relay.origin(0)) == 0; }))
      << origin_connections(relay.origin(0));
}

}  // namespace
