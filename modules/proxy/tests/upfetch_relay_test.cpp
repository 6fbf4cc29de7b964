// The node as a reverse proxy between curl and python origins on 127.0.0.1: bodies both ways
// byte for byte, upstream connections reused per host text, framing cut at the body's end, slow
// peers on either side, and failing or vanishing upstreams.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <set>
#include <sstream>

#include "dnsmasq_fixture.h"
#include "relay_fixture.h"

namespace {

using quorin::test::pattern_sha;
using quorin::test::Relay;

std::string sha_of(const std::string& output) { return output.substr(0, 64); }

// Peer ports of the origin's log lines for a path.
std::vector<std::string> peers_for(const Relay& relay, const std::string& path) {
  std::vector<std::string> peers;
  for (const std::string& line : relay.origin_log()) {
    std::istringstream fields(line);
    std::string port, peer, method, logged;
    fields >> port >> peer >> method >> logged;
    if (logged == path) peers.push_back(peer);
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

namespace {

// One request judged by the rules the row seeds: the answer's status line and a text it holds.
struct AdmissionCase {
  const char* name;
  std::string settings_sql;
  std::string curl_options;  // besides the Host header of a.test and the URL /bytes/5
  const char* status;
  const char* text;
};

const std::string kFarFuture = "4000000000";
const std::string kWhiteTable =
    "create table wc_white(wid integer primary key autoincrement, low varchar(20) not null, high varchar(20) not "
    "null, expire unsigned int(4) not null, note text);";

const AdmissionCase kAdmissionCases[] = {
    {"black_list_holding_the_client",
     "insert into wc_black(low, high, expire, note) values('127.0.0.1', '127.0.0.1', " + kFarFuture + ", '');", "",
     "HTTP/1.1 403", "Forbidden - By BlackList(127.0.0.1)"},
    {"black_list_elsewhere",
     "insert into wc_black(low, high, expire, note) values('10.0.0.1', '10.0.0.9', " + kFarFuture + ", '');", "",
     "HTTP/1.1 200", "\x00\x01\x02"},
    {"white_list_without_the_client",
     kWhiteTable + "update wc_system set value='1' where name='EnableWhiteList';", "", "HTTP/1.1 403",
     "Forbidden - By WhiteList"},
    {"white_list_holding_the_client",
     kWhiteTable + "insert into wc_white(low, high, expire, note) values('127.0.0.0', '127.0.0.255', " + kFarFuture +
         ", '');update wc_system set value='1' where name='EnableWhiteList';",
     "", "HTTP/1.1 200", "\x00\x01\x02"},
    {"rewrite_redirect", "insert into wc_rewrite(num, src, dst, icase, flag, note) values(1, '^a.test/old$', "
                         "'http://a.test/new', 0, 1, '');",
     "-i " , "HTTP/1.1 301", "Location: http://a.test/new"},
    {"rewrite_in_place", "insert into wc_rewrite(num, src, dst, icase, flag, note) values(1, '^a.test/bytes/5$', "
                         "'a.test/bytes/7', 0, 0, '');",
     "", "HTTP/1.1 200", "\x00\x01\x02\x03\x04\x05\x06"},
    {"rewrite_to_nothing", "insert into wc_rewrite(num, src, dst, icase, flag, note) values(1, '^a.test/bytes/5$', "
                           "'', 0, 0, '');",
     "", "HTTP/1.1 400", "Bad Request - By Rewriting Rules"},
    {"upstream_limit", "update wc_system set value='0' where name='MaxUpstreamConnections';", "", "HTTP/1.1 503",
     "Reach To Maximum Upstream Connections Setting"},
};

const char kProtect[] =
    "insert into wc_protect(pturl, lcurl, icase, note) values('bytes', 'http://a.test/denied', 0, '');";

class Admission : public ::testing::TestWithParam<AdmissionCase> {};

TEST_P(Admission, AnswerFollowsTheRules) {
  const AdmissionCase& c = GetParam();
  Relay relay(c.settings_sql);
  const std::string url = std::string(c.name) == "rewrite_redirect" ? "/old" : "/bytes/5";
  const std::string out = relay.curl("a.test", "-i " + c.curl_options + " " + relay.url(url));
  EXPECT_EQ(out.rfind(c.status, 0), 0u) << out;
  EXPECT_NE(out.find(std::string(c.text, std::strlen(c.text) ? std::strlen(c.text) : 3)), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Rules, Admission, ::testing::ValuesIn(kAdmissionCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A foreign Referer is sent to the protection rule's location; the request's own site is not,
// and sites that merely share the host's first characters are foreign.
TEST(Admission, ProtectionRedirectsForeignReferersOnly) {
  Relay relay(kProtect);
  struct Row {
    const char* referer;
    bool redirected;
  };
  const Row rows[] = {{"http://evil.example/page", true},
                      {"http://a.test/page", false},
                      {"http://A.TEST/page", false},
                      {"http://a.test.evil.example/page", true},
                      {"http://a.te/page", true}};
  for (const Row& row : rows) {
    const std::string out =
        relay.curl("a.test", "-i -H 'Referer: " + std::string(row.referer) + "' " + relay.url("/bytes/5"));
    EXPECT_EQ(out.find("Location: http://a.test/denied") != std::string::npos, row.redirected) << row.referer << out;
  }
}

// A request that already passed this node (its token in X-Quorin) is answered by the node
// itself; another node's token passes.
TEST(Admission, LoopIsAnsweredByTheNode) {
  Relay relay;
  const std::string first = relay.curl("a.test", "-i " + relay.url("/bytes/5"));
  const size_t at = first.find("X-Via: ");
  ASSERT_NE(at, std::string::npos) << first;
  const std::string token = first.substr(at + 7, first.find("\r\n", at) - at - 7);
  const std::string looped = relay.curl("a.test", "-i -H 'X-Quorin: other; " + token + "' " + relay.url("/bytes/5"));
  EXPECT_EQ(looped.rfind("HTTP/1.1 200", 0), 0u) << looped;
  EXPECT_NE(looped.find("Welcome To Quorin!"), std::string::npos) << looped;
  const std::string passed = relay.curl("a.test", "-i -H 'X-Quorin: 1.1 elsewhere' " + relay.url("/bytes/5"));
  EXPECT_EQ(passed.find("Welcome To Quorin!"), std::string::npos) << passed;
}

// Listening ports of the origins that served a path, in order.
std::vector<std::string> servers_for(const Relay& relay, const std::string& path) {
  std::vector<std::string> ports;
  for (const std::string& line : relay.origin_log()) {
    std::istringstream fields(line);
    std::string port, peer, method, logged;
    fields >> port >> peer >> method >> logged;
    if (logged == path) ports.push_back(port);
  }
  return ports;
}

TEST(Admission, UpstreamsTakeTurnsOrStickToTheClient) {
  Relay relay;
  for (int i = 0; i < 4; ++i) relay.curl("d.test", relay.url("/bytes/21") + " -o /dev/null");
  for (int i = 0; i < 4; ++i) relay.curl("e.test", relay.url("/bytes/22") + " -o /dev/null");
  const auto turns = servers_for(relay, "/bytes/21");
  ASSERT_EQ(turns.size(), 4u);
  EXPECT_NE(turns[0], turns[1]);
  EXPECT_EQ(turns[0], turns[2]);
  EXPECT_EQ(turns[1], turns[3]);
  EXPECT_EQ(std::set<std::string>(turns.begin(), turns.end()).size(), 2u);
  const auto sticky = servers_for(relay, "/bytes/22");
  ASSERT_EQ(sticky.size(), 4u);
  EXPECT_EQ(std::set<std::string>(sticky.begin(), sticky.end()).size(), 1u);
}

TEST(Admission, OpenProxyForwardsUnknownHostsToTheirHostHeader) {
  Relay relay("select 1;", "IsOpenProxy=1");
  const std::string host = "127.0.0.1:" + std::to_string(relay.origin(1));
  EXPECT_EQ(relay.curl(host, relay.url("/bytes/300") + " | sha256sum").substr(0, 64), pattern_sha(300));
  EXPECT_EQ(servers_for(relay, "/bytes/300"), std::vector<std::string>{std::to_string(relay.origin(1))});
}

}  // namespace

namespace {

// Upstream names resolved through a dnsmasq on 127.0.0.1: the look-up runs while the client
// waits, and a name it refuses answers the look-up's 502.
TEST(RelayDns, UpstreamNamesAreLookedUpAsynchronously) {
  nameres_test::Dnsmasq dns;
  ASSERT_TRUE(dns.ready());
  Relay relay(
      "insert into upfetch(wid, host, balance, note) values(6, 'g.test', 0, ''), (7, 'h.test', 0, '');"
      "insert into wc_upstream(wid, host, weight, note) values(6, 'origin.test:{ORIGIN0}', 1, ''),"
      " (7, 'nowhere.test:80', 1, '');",
      "", {"NAMERES_SERVERS=" + dns.server()});
  // The body bytes that came with the head wait for the look-up and follow the head upstream.
  const std::string echo =
      relay.curl("g.test", "-H 'Expect:' --data-binary @- " + relay.url("/echo"), "head -c 100000 /dev/zero");
  EXPECT_NE(echo.find("body-length: 100000"), std::string::npos) << echo << relay.node_out();
  EXPECT_NE(echo.find("Host: g.test"), std::string::npos) << echo;
  EXPECT_GE(dns.queries_of("origin.test"), 1);
  const std::string failed = relay.curl("h.test", "-i " + relay.url("/x"));
  EXPECT_EQ(failed.rfind("HTTP/1.1 502", 0), 0u) << failed;
  EXPECT_NE(failed.find("Bad Gateway - DNS Resolving Fail For Upstream Server"), std::string::npos) << failed;
}

}  // namespace

namespace {

std::string read_some(int fd, size_t at_least) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.size() < at_least && std::chrono::steady_clock::now() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

// After a websocket switch every later client byte goes to the upstream and back, never read as
// a request.
TEST(Relay, SwitchedProtocolsTunnelBothWays) {
  Relay relay;
  const int fd = vor::test::connect_blocking(relay.port());
  ASSERT_GE(fd, 0);
  const std::string upgrade = "GET /ws HTTP/1.1\r\nHost: a.test\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
  ASSERT_EQ(send(fd, upgrade.data(), upgrade.size(), MSG_NOSIGNAL), static_cast<ssize_t>(upgrade.size()));
  const std::string head = read_some(fd, 4);
  ASSERT_EQ(head.rfind("HTTP/1.1 101", 0), 0u) << head;
  for (const std::string frame : {"hello", "GET / HTTP/1.1\r\n\r\n"}) {
    ASSERT_EQ(send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
    std::string upper = frame;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(read_some(fd, frame.size()), upper);
  }
  close(fd);
}

}  // namespace

namespace {

// Clients that leave while their upstream's name is being looked up. A client waiting for a
// look-up is not read, so its close is seen only once the look-up ends: each completion then
// ends its client (a page to a closed peer, or nothing when the client is already gone), and the
// node ends without a leak.
TEST(RelayDns, ClientsGoneDuringTheirLookupsLeaveNothing) {
  nameres_test::SilentServer dns;  // no look-up is ever answered
  Relay relay(
      "insert into upfetch(wid, host, balance, note) values(6, 'g.test', 0, '');"
      "insert into wc_upstream(wid, host, weight, note) values(6, 'origin.test:{ORIGIN0}', 1, '');"
      "update wc_system set value='60000' where name='MaxConnections';",
      "", {"NAMERES_SERVERS=" + dns.server()});
  constexpr int kClients = 10000;
  const std::string request = "POST /echo HTTP/1.1\r\nHost: g.test\r\nContent-Length: 10\r\n\r\n12345";
  for (int i = 0; i < kClients; ++i) {
    const int fd = vor::test::connect_blocking(relay.port());
    ASSERT_GE(fd, 0) << i;
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    close(fd);
  }
  const auto ended = [&] {
    const std::string out = relay.node_out();
    return count(out, "'s client have exited in asyn requesting!") + count(out, "get host (origin.test) ip fail!");
  };
  EXPECT_TRUE(vor::test::wait_until([&] { return ended() == kClients; }, std::chrono::seconds(90))) << ended();
  EXPECT_EQ(relay.curl("a.test", relay.url("/bytes/100") + " | wc -c").substr(0, 3), "100") << "the node still serves";
  const std::string err = relay.stop();
  EXPECT_EQ(err.find("LeakSanitizer"), std::string::npos) << err.substr(0, 4000);
  EXPECT_EQ(err.find("AddressSanitizer"), std::string::npos) << err.substr(0, 4000);
}

}  // namespace

namespace {

// A plug-in's last words on a body that ends with its connection go out before the close, and
// the close still follows them: the client does not wait for the idle sweep.
TEST(RelayPlugins, TailOfACloseDelimitedBodyIsSentAndTheConnectionEnds) {
  Relay relay("select 1;", "", {}, QUO_TAIL_PLUGIN);
  // curl ends with 28 when its time runs out before the connection does.
  const std::string out = relay.curl("a.test", "--max-time 20 " + relay.url("/close/10") + "; echo \" exit=$?\"");
  EXPECT_EQ(out, std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09", 10) + "<!--tail--> exit=0\n");
}

}  // namespace

namespace {

// What the origin sees of a request: its canonical head, stamped, with one forwarding list.
TEST(Relay, OriginSeesTheCanonicalStampedHead) {
  Relay relay;
  const std::string echo = relay.curl(
      "A.TEST", "-H 'Accept-Encoding: gzip, br' -H 'X-Forwarded-For: 1.2.3.4' " + relay.url("/echo"));
  EXPECT_NE(echo.find("\r\nHost: a.test\r\n"), std::string::npos) << echo;
  EXPECT_NE(echo.find("\r\nAccept-Encoding: gzip\r\n"), std::string::npos) << echo;
  EXPECT_EQ(count(echo, "X-Forwarded-For:"), 1) << echo;
  EXPECT_NE(echo.find("X-Forwarded-For: 1.2.3.4, 127.0.0.1\r\n"), std::string::npos) << echo;
  EXPECT_NE(echo.find("\r\nX-Quorin: "), std::string::npos) << echo;
}

// A chunked request body is refused by the edge server before any module sees it.
TEST(Relay, ChunkedRequestIsRefusedAndNeverForwarded) {
  Relay relay;
  const std::string out =
      relay.curl("a.test", "-i -H 'Transfer-Encoding: chunked' --data-binary abc " + relay.url("/echo"));
  EXPECT_EQ(out.rfind("HTTP/1.1 400", 0), 0u) << out;
  EXPECT_TRUE(relay.origin_log().empty());
}

}  // namespace
