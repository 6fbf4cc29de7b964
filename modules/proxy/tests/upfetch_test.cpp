// The request handler's own mechanisms: proxy.ini readings, the accept slot over a stand-in for
// the edge server and the settings, the address tables, the X-Quorin decision, and the memory
// report text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "upfetch.h"
#include "upfetch_internal.h"
#include "upfetch_request.h"
#include "vor_tempdir.h"

namespace {

using namespace vor::upfetch;

struct IniCase {
  const char* text;
  bool connect_by_upstream, host_statistics;
  int32_t mode;
  bool open_proxy, show_invalid, cache_info;
  uint32_t period_ms;
};

const IniCase kIni[] = {
    {"", false, true, 1, false, false, false, 3601000},
    {"[system]\nCONNECTByUpstream=true\nProxyHostStat=0\nEnable_HTTP_X_Quorin=2\n", true, false, 2, false, false, false,
     3601000},
    {"[system]\nCONNECTByUpstream=TRUE\nEnable_HTTP_X_Quorin=0\n", true, true, 0, false, false, false, 3601000},
    {"[system]\nEnable_HTTP_X_Quorin=3\n", false, true, 1, false, false, false, 3601000},
    {"[system]\nEnable_HTTP_X_Quorin= 2x\n", false, true, 1, false, false, false, 3601000},
    {"[debug]\nIsOpenProxy=1\nIsDisplayInvalidRequest=3\nIsWriteCacheInfoLog=1\nCacheInfoLogTimeOut=9\n", false, true,
     1, true, true, true, 10000},
    // "true" is on for the other flags but starts no report timer.
    {"[debug]\nIsOpenProxy=true\nIsWriteCacheInfoLog=true\n", false, true, 1, true, false, false, 3601000},
    {"[debug]\nIsWriteCacheInfoLog=3\nCacheInfoLogTimeOut=-1\n", false, true, 1, false, false, true, 3601000},
    {"[debug]\nIsWriteCacheInfoLog=0\nCacheInfoLogTimeOut=0\n", false, true, 1, false, false, false, 1000},
    {"[debug]\nCacheInfoLogTimeOut=99999999999\n", false, true, 1, false, false, false, 3601000},
    {"[system]\nProxyHostStat=no\n", false, false, 1, false, false, false, 3601000},
};

TEST(ProxyIni, Table) {
  for (const auto& c : kIni) {
    SCOPED_TRACE(c.text);
    cu_config* ini = cu_config_make1(c.text);
    ASSERT_NE(ini, nullptr);
    const Settings s = read_settings(ini);
    cu_config_free(ini);
    EXPECT_EQ(s.connect_by_upstream, c.connect_by_upstream);
    EXPECT_EQ(s.host_statistics, c.host_statistics);
    EXPECT_EQ(s.x_quorin_mode, c.mode);
    EXPECT_EQ(s.open_proxy, c.open_proxy);
    EXPECT_EQ(s.show_invalid_requests, c.show_invalid);
    EXPECT_EQ(s.cache_info_log, c.cache_info);
    EXPECT_EQ(s.cache_info_period_ms, c.period_ms);
  }
}

// Runs init from <tree>/bin, the node's working folder.
class InitInTree : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(tree_.file("bin"));
    std::filesystem::create_directories(tree_.file("modules/zazudaza"));
    old_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(tree_.file("bin"));
  }
  void TearDown() override { std::filesystem::current_path(old_dir_); }

  vor::test::TempDir tree_;
  std::filesystem::path old_dir_;
};

TEST_F(InitInTree, MissingProxyIniKeepsTheDefaultsAndSaysSo) {
  module().settings.x_quorin_mode = 2;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(upfetch_init(nullptr), 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[zazudaza -> proxy] module init!\r\n");
  EXPECT_EQ(err, "[zazudaza -> proxy] cann't open 'modules/zazudaza/proxy.ini' file!\r\n");
  EXPECT_EQ(module().settings.x_quorin_mode, 1);
}

TEST_F(InitInTree, ProxyIniIsRead) {
  vor::test::write_file(tree_.file("modules/zazudaza/proxy.ini"), "[system]\r\nEnable_HTTP_X_Quorin=0\r\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(upfetch_init(nullptr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[zazudaza -> proxy] module init!\r\n");
  EXPECT_EQ(module().settings.x_quorin_mode, 0);
  module().settings = Settings();
}

// A stand-in for the edge server and the settings the accept slot reads.
struct FakeNode {
  int32_t connections = 1;
  uint32_t max_connections = 100;
  uint32_t timeout_s = 0;
  int32_t recv = -1, send = -1;
  std::vector<std::string> pages;
  std::vector<uint32_t> closes;
};
FakeNode fake;

constexpr AcceptCalls kFakeAccept = {
    [] { return fake.connections; },
    [] { return fake.max_connections; },
    [] { return 131072u; },
    [] { return 16384u; },
    [] { return fake.timeout_s; },
    [](int64_t, int32_t n) { return fake.recv = n, true; },
    [](int64_t, int32_t n) { return fake.send = n, true; },
    [](int64_t, const char* text) {
      fake.pages.push_back(text);
      fake.closes.push_back(kOverLimitCloseMs);
    },
    [](int64_t, uint32_t ms) { fake.closes.push_back(ms); },
};

struct AcceptCase {
  int32_t connections;
  uint32_t max_connections, timeout_s;
  const char* page;  // NULL: accepted
  int32_t send;
  std::vector<uint32_t> closes;
};

const char kMaxPage[] = "Service Temporarily Unavailable - Reach To Maximum Quorin Connections Setting";
const char kMemoryPage[] = "Service Temporarily Unavailable - Memory Is Not Enough For This Request";

const AcceptCase kAccepts[] = {
    {99, 100, 0, nullptr, 65536, {}},
    {100, 100, 0, kMaxPage, -1, {2000}},  // the limit counts the new connection
    {3, 3, 1, kMaxPage, -1, {2000}},
    {1000, 100000, 0, nullptr, 65536, {}},
    {1001, 100000, 0, nullptr, 32768, {}},
    {1500, 100000, 1, nullptr, 32768, {1000}},
    {2000, 100000, 0, nullptr, 32768, {}},
    {2001, 100000, 0, nullptr, 16384, {}},
    {2500, 100000, 30, nullptr, 16384, {30000}},
    {59999, 100000, 0, nullptr, 16384, {}},
    {60000, 100000, 0, kMemoryPage, -1, {2000}},
    {5, 100, 5000000, nullptr, 65536, {4294967295u}},  // a time-out beyond 32-bit milliseconds is capped
};

TEST(AcceptSlot, LimitsBuffersAndTimeOut) {
  for (const auto& c : kAccepts) {
    SCOPED_TRACE(c.connections);
    fake = FakeNode();
    fake.connections = c.connections;
    fake.max_connections = c.max_connections;
    fake.timeout_s = c.timeout_s;
    EXPECT_EQ(accept_connection(kFakeAccept, 7), 1);
    if (c.page) {
      ASSERT_EQ(fake.pages.size(), 1u);
      EXPECT_EQ(fake.pages[0], c.page);
      EXPECT_EQ(fake.recv, -1);
    } else {
      EXPECT_TRUE(fake.pages.empty());
      EXPECT_EQ(fake.recv, 131072);
    }
    EXPECT_EQ(fake.send, c.send);
    EXPECT_EQ(fake.closes, c.closes);
  }
}

TEST(Addresses, PrivateRangesComeFirstAndOwnAddressesJoinThem) {
  AddressTables tables;
  tables.build({"192.168.1.5", "8.8.4.4", "127.0.0.1"});
  for (const char* ip : {"10.0.0.1", "172.31.255.255", "192.168.0.1", "192.168.1.5", "127.0.0.2", "224.0.0.1",
                         "239.255.255.255", "169.254.3.3", "240.1.1.1", "8.8.4.4"}) {
    EXPECT_TRUE(tables.is_private(ip)) << ip;
  }
  for (const char* ip : {"172.32.0.1", "8.8.8.8", "100.64.0.1", "223.255.255.255", "bad"}) {
    EXPECT_FALSE(tables.is_private(ip)) << ip;
  }
  EXPECT_TRUE(tables.is_own("192.168.1.5"));
  EXPECT_TRUE(tables.is_own("8.8.4.4"));
  EXPECT_FALSE(tables.is_own("192.168.1.6"));
  EXPECT_FALSE(tables.is_own(nullptr));
}

struct StampCase {
  int32_t mode;
  const char* client;  // NULL: unreadable
  const char* upstream;
  bool stamp;
};

const StampCase kStamps[] = {
    {0, nullptr, "10.1.2.3", false},
    {0, "203.0.113.9", "10.1.2.3", false},
    {2, "203.0.113.9", "8.8.8.8", true},
    {2, nullptr, "8.8.8.8", true},
    {1, "203.0.113.9", "10.1.2.3", true},     // private upstream
    {1, "203.0.113.9", "127.0.0.2", true},    // loopback upstream
    {1, "203.0.113.9", "8.8.8.8", false},     // public upstream, other client
    {1, "203.0.113.9", "8.8.8.8:8080", false},
    {1, nullptr, "8.8.8.8", true},            // client unreadable
    {1, "8.8.8.8", "8.8.8.8:80", true},       // the client is the upstream
    {1, "198.51.100.1", "8.8.8.8", true},     // the client is this host
    {1, "203.0.113.9", "up.example", true},   // no address to judge
    {7, "203.0.113.9", "8.8.8.8", true},
};

TEST(XQuorin, StampDecision) {
  AddressTables tables;
  tables.build({"198.51.100.1"});
  for (const auto& c : kStamps) {
    SCOPED_TRACE(std::to_string(c.mode) + " " + (c.client ? c.client : "-") + " " + c.upstream);
    const auto client = c.client ? std::optional<std::string>(c.client) : std::nullopt;
    EXPECT_EQ(should_stamp(c.mode, client, c.upstream, tables), c.stamp);
  }
}

// A request that keeps coming back through a chain of nodes still carries this node's token
// where the loop test reads it, whatever the length of the host names.
TEST(XQuorin, TokenStaysFindableThroughManyStamps) {
  for (size_t host_len : {10u, 63u}) {
    const std::string mine = "1.1 " + std::string(host_len, 'm') + " (random:998997 Quorin/Zazudaza/3.7.9)";
    std::string value;
    for (int hop = 0; hop < 40; ++hop) {
      const std::string other = "1.1 " + std::string(host_len, static_cast<char>('a' + hop % 20)) +
                                " (random:" + std::to_string(hop) + " Quorin/Zazudaza/3.7.9)";
      value = stamped_x_quorin(value, other);
      const std::string stamped = stamped_x_quorin(value, mine);
      ASSERT_LE(stamped.size(), kXQuorinRead);
      EXPECT_NE(stamped.substr(0, kXQuorinRead).find(mine), std::string::npos);
    }
  }
}

TEST(MemoryReport, ExitLinesInOrder) {
  std::string text;
  for (const std::string& line : exit_memory_report()) text += line;
  text = std::regex_replace(text, std::regex("\\[[0-9]+\\]"), "[N]");
  EXPECT_EQ(text,
            "quorin -> zazudaza -> proxy -> memory infomation:\r\n"
            "afiles    num of opened: [N]\r\n"
            "quorin    memcache size: [N]\r\n"
            "filter    memcache size: [N]\r\n"
            "pipe      memcache size: [N]\r\n"
            "response  memcache size: [N]\r\n"
            "dns       memcache size: [N]\r\n"
            "cache     memcache size: [N]MB\r\n"
            "cache     maxcache size: [N]MB\r\n"
            "based-system cache size: [N]MB\r\n");
  std::string info;
  for (const std::string& line : cache_info_report()) info += line;
  info = std::regex_replace(info, std::regex("\\[[0-9]+\\]"), "[N]");
  EXPECT_EQ(info,
            "proxy -> debug: memory infomation:\r\n"
            "quorin    memcache size: [N]\r\n"
            "filter    memcache size: [N]\r\n"
            "pipe      memcache size: [N]\r\n"
            "response  memcache size: [N]\r\n"
            "dns       memcache size: [N]\r\n"
            "cache     memcache size: [N]\r\n"
            "cache     maxcache size: [N]\r\n");
}

}  // namespace
