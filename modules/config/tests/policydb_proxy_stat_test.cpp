// Proxy counters and listings: replies compared whole with golden texts (times replaced by
// markers), counters on and off, stored TLS texts on and off, unknown ids, and the counting rules
// (never below 0, unknown upstreams count nothing, a reset keeps connection counts).
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "policydb.h"
#include "policydb_internal.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

void* fake_new(const char*, const char*, const char*, int32_t*) { return new int(1); }
void fake_free(void* context) { delete static_cast<int*>(context); }

// The reply's text with its times made fixed: local dates as D, the tick count as T.
std::string text_of(wtb* w) {
  if (!w) return "NULL";
  std::string s = wtb_GetTextString(w);
  wtb_free(w);
  s = std::regex_replace(s, std::regex(R"([1-9]\d{3}-\d\d-\d\d \d\d:\d\d:\d\d)"), "D");
  s = std::regex_replace(s, std::regex(R"("CurrentTickCount":"\d+")"), "\"CurrentTickCount\":\"T\"");
  return s;
}

class ProxyStatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = seams::tls();
    seams::tls() = {fake_new, fake_free, fake_new, fake_free};
    t.make_default_db();
    ASSERT_EQ(t.init("[system]\ndisplay_console=0\n"), 1);
  }
  void TearDown() override {
    policydb::reset_for_tests();
    seams::tls() = saved;
  }
  void two_proxies() {
    ASSERT_TRUE(policydb_proxy_append_ext("A.com", 1, "first \"one\"", 1, "CRT", "KEY", nullptr, &a));
    ASSERT_TRUE(policydb_proxy_append("b.com", 0, "", &b));
    ASSERT_TRUE(policydb_upstream_append(a, "10.0.0.1:80", 1, "u1", &u1));
    ASSERT_TRUE(policydb_upstream_append(a, "10.0.0.2:80", 1, "u2", &u2));
  }

  Tree t;
  seams::TlsBuilders saved{};
  uint32_t a = 0, b = 0, u1 = 0, u2 = 0;
};

TEST_F(ProxyStatTest, NoProxiesListNoRowsAndCountingAnswersTrue) {
  EXPECT_EQ(text_of(policydb_proxy_stat_GetProxyListAllByJson(nullptr)),
            "{\r\n  \"Return\":\"True\",\r\n  \"NumOfLists\":\"0\"\r\n}");
  EXPECT_EQ(text_of(policydb_proxy_stat_GetProxyListAllByJson_ext("r-7", 0, 1)),
            "{\r\n  \"Return\":\"True\",\r\n  \"RequestID\":\"r-7\",\r\n  \"NumOfLists\":\"0\"\r\n}");
  EXPECT_EQ(text_of(policydb_proxy_stat_GetProxyInfoByJson(1, nullptr)), "NULL");
  EXPECT_EQ(text_of(policydb_proxy_stat_GetUpstreamListAllByJson(1, nullptr)), "NULL");
  EXPECT_TRUE(policydb_proxy_stat_SynUploadCount(5, 5, 10));
  EXPECT_TRUE(policydb_proxy_stat_SynUserConnectionDel(5, 5));
  EXPECT_TRUE(policydb_proxy_stat_SynIP(5, 5, 1));
  EXPECT_TRUE(policydb_proxy_stat_reset());
}

TEST_F(ProxyStatTest, ListsWithoutCountersAndWithStoredTlsTexts) {
  two_proxies();
  EXPECT_EQ(text_of(policydb_proxy_stat_GetProxyListAllByJson_ext("9", 0, 1)),
            "{\r\n  \"Return\":\"True\",\r\n  \"RequestID\":\"9\",\r\n  \"NumOfLists\":\"2\",\r\n"
            "  \"Lists\":\r\n   [\r\n"
            "     {\"NO\":\"1\",\"ProxyID\":\"1\",\"Enable\":\"1\",\"Host\":\"a.com\",\"Balance\":\"1\",\"SSLOpt\":\"1\","
            "\"SSLCrtContent\":\"CRT\",\"SSLKeyContent\":\"KEY\",\"SSLExtraParams\":\"\",\"Note\":\"first \\\"one\\\"\"},\r\n"
            "     {\"NO\":\"2\",\"ProxyID\":\"2\",\"Enable\":\"1\",\"Host\":\"b.com\",\"Balance\":\"0\",\"SSLOpt\":\"0\","
            "\"SSLCrtContent\":\"\",\"SSLKeyContent\":\"\",\"SSLExtraParams\":\"\",\"Note\":\"\"}\r\n"
            "   ]\r\n}");
  EXPECT_EQ(text_of(policydb_proxy_stat_GetUpstreamListAllByJson_ext(a, nullptr, 0, 0)),
            "{\r\n  \"Return\":\"True\",\r\n  \"NumOfLists\":\"2\",\r\n  \"Lists\":\r\n   [\r\n"
            "     {\"NO\":\"1\",\"ProxyID\":\"1\",\"UpstreamID\":\"1\",\"Host\":\"10.0.0.1:80\",\"SSLOpt\":\"0\","
            "\"SSLCrtContent\":\"Your SSL Certificate ...\",\"SSLKeyContent\":\"Your SSL Private Key ...\","
            "\"SSLExtraParams\":\"Your SSL Extra Parameters ...\",\"Note\":\"u1\"},\r\n"
            "     {\"NO\":\"2\",\"ProxyID\":\"1\",\"UpstreamID\":\"2\",\"Host\":\"10.0.0.2:80\",\"SSLOpt\":\"0\","
            "\"SSLCrtContent\":\"Your SSL Certificate ...\",\"SSLKeyContent\":\"Your SSL Private Key ...\","
            "\"SSLExtraParams\":\"Your SSL Extra Parameters ...\",\"Note\":\"u2\"}\r\n"
            "   ]\r\n}");
  EXPECT_EQ(text_of(policydb_proxy_stat_GetUpstreamListAllByJson_ext(b, "x", 0, 0)),
            "{\r\n  \"Return\":\"True\",\r\n  \"RequestID\":\"x\",\r\n  \"NumOfLists\":\"0\"\r\n}");
  EXPECT_EQ(text_of(policydb_proxy_stat_GetUpstreamInfoByJson(a, 99, nullptr)), "NULL");
  EXPECT_EQ(text_of(policydb_proxy_stat_GetUpstreamInfoByJson(99, u1, nullptr)), "NULL");
  EXPECT_EQ(text_of(policydb_proxy_stat_GetUpstreamListAllByJson(99, nullptr)), "NULL");
}

TEST_F(ProxyStatTest, InfoRepliesShowTheCounters) {
  two_proxies();
  ASSERT_TRUE(policydb_proxy_enable_2(b, 0));
  char host[64];
  uint32_t wid = 0, up = 0;
  ASSERT_TRUE(policydb_proxy_IsHitExt("a.com", "1.2.3.4", "a.com/x", host, sizeof host, &wid, &up));
  EXPECT_TRUE(policydb_proxy_stat_SynIP(wid, up, 0x01020304));
  EXPECT_TRUE(policydb_proxy_stat_SynIP(wid, up, 0x01020304));
  EXPECT_TRUE(policydb_proxy_stat_SynIP(wid, 99, 0x01020305));  // no such upstream: not recorded
  EXPECT_TRUE(policydb_proxy_stat_SynUploadCount(wid, up, 5000000000LL));
  EXPECT_TRUE(policydb_proxy_stat_SynUploadCount(wid, 99, 7));
  EXPECT_TRUE(policydb_proxy_stat_SynDownloadCount(wid, up, 12));
  EXPECT_TRUE(policydb_proxy_stat_SynUserConnectionAdd(wid, up));
  EXPECT_TRUE(policydb_proxy_stat_SynUserConnectionAdd(wid, 99));  // the proxy alone
  EXPECT_TRUE(policydb_proxy_stat_SynUpstreamConnectionAdd(wid, up));
  EXPECT_TRUE(policydb_proxy_stat_SynUpstreamConnectionDel(wid, up));
  EXPECT_TRUE(policydb_proxy_stat_SynUpstreamConnectionDel(wid, up));  // stays 0
  EXPECT_TRUE(policydb_proxy_stat_SynUserConnectionAdd(UINT32_MAX, 0));
  EXPECT_FALSE(policydb_proxy_stat_SynUserConnectionAdd(99, up));
  EXPECT_FALSE(policydb_proxy_stat_SynDownloadCount(99, up, 1));
  EXPECT_FALSE(policydb_proxy_stat_SynIP(99, up, 1));
  ASSERT_TRUE(policydb_upstream_down_2(a, u2, 1));

  EXPECT_EQ(text_of(policydb_proxy_stat_GetProxyInfoByJson(a, "id")),
            "{\r\n  \"Return\":\"True\",\r\n  \"RequestID\":\"id\",\r\n  \"NumOfLists\":\"1\",\r\n"
            "  \"Lists\":\r\n   [\r\n"
            "     {\"NO\":\"1\",\"ProxyID\":\"1\",\"Enable\":\"1\",\"Host\":\"a.com\",\"Balance\":\"1\",\"SSLOpt\":\"1\","
            "\"SSLCrtContent\":\"Your SSL Certificate ...\",\"SSLKeyContent\":\"Your SSL Private Key ...\","
            "\"SSLExtraParams\":\"Your SSL Extra Parameters ...\",\"StartTime\":\"D\",\"EndTime\":\"D\","
            "\"CurrentTickCount\":\"T\",\"RequestCount\":\"1\",\"UploadCount\":\"5000000000\",\"DownloadCount\":\"12\","
            "\"IpCount\":\"1\",\"UserConnections\":\"2\",\"UpstreamConnections\":\"0\",\"Note\":\"first \\\"one\\\"\"}\r\n"
            "   ]\r\n}");
  EXPECT_EQ(text_of(policydb_proxy_stat_GetProxyInfoByJson_ext(b, nullptr, 0, 0)),
            "{\r\n  \"Return\":\"True\",\r\n  \"NumOfLists\":\"1\",\r\n  \"Lists\":\r\n   [\r\n"
            "     {\"NO\":\"1\",\"ProxyID\":\"2\",\"Enable\":\"0\",\"Host\":\"b.com\",\"Balance\":\"0\",\"SSLOpt\":\"0\","
            "\"SSLCrtContent\":\"Your SSL Certificate ...\",\"SSLKeyContent\":\"Your SSL Private Key ...\","
            "\"SSLExtraParams\":\"Your SSL Extra Parameters ...\",\"Note\":\"\"}\r\n   ]\r\n}");
  const std::string counters_of_up =
      "\"StartTime\":\"D\",\"EndTime\":\"D\",\"CurrentTickCount\":\"T\",\"RequestCount\":\"1\","
      "\"UploadCount\":\"5000000000\",\"DownloadCount\":\"12\",\"IpCount\":\"0\",\"UserConnections\":\"1\","
      "\"UpstreamConnections\":\"0\",\"IsDown\":\"0\",\"DownTime\":\"0000-00-00 00:00:00\",";
  EXPECT_EQ(text_of(policydb_proxy_stat_GetUpstreamInfoByJson(a, up, nullptr)),
            "{\r\n  \"Return\":\"True\",\r\n  \"NumOfLists\":\"1\",\r\n  \"Lists\":\r\n   [\r\n"
            "     {\"NO\":\"1\",\"ProxyID\":\"1\",\"UpstreamID\":\"" + std::to_string(up) + "\",\"Host\":\"" + host +
                "\",\"SSLOpt\":\"0\",\"SSLCrtContent\":\"Your SSL Certificate ...\",\"SSLKeyContent\":\"Your SSL "
                "Private Key ...\",\"SSLExtraParams\":\"Your SSL Extra Parameters ...\"," +
                counters_of_up + "\"Note\":\"u" + std::to_string(up) + "\"}\r\n   ]\r\n}");
  const std::string down = text_of(policydb_proxy_stat_GetUpstreamInfoByJson(a, u2, nullptr));
  EXPECT_NE(down.find("\"IsDown\":\"1\",\"DownTime\":\"D\","), std::string::npos) << down;

  // A reset starts the period again; connections stay.
  EXPECT_TRUE(policydb_proxy_stat_reset());
  const std::string after = text_of(policydb_proxy_stat_GetProxyInfoByJson(a, nullptr));
  EXPECT_NE(after.find("\"RequestCount\":\"0\",\"UploadCount\":\"0\",\"DownloadCount\":\"0\",\"IpCount\":\"0\","
                       "\"UserConnections\":\"2\""),
            std::string::npos)
      << after;
  EXPECT_TRUE(policydb_proxy_stat_SynUserConnectionDel(wid, up));
  EXPECT_TRUE(policydb_proxy_stat_SynUserConnectionDel(wid, up));
  EXPECT_TRUE(policydb_proxy_stat_SynUserConnectionDel(wid, up));
  const std::string zero = text_of(policydb_proxy_stat_GetProxyInfoByJson(a, nullptr));
  EXPECT_NE(zero.find("\"UserConnections\":\"0\""), std::string::npos) << zero;
}

}  // namespace
}  // namespace policydb::test
