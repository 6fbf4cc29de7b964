// Proxy hosts and upstreams: the upstream choice as tables (balancing, down and disabled
// upstreams, wildcards, host templates), changes with their refusals, changes failing at each
// statement, loader rows and migrations, TLS settings through a stand-in context builder.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "policydb.h"
#include "policydb_internal.h"
#include "policydb_proxy.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

std::string u(uint64_t n) { return std::to_string(n); }

// The upstream host chosen for a request, or "-" when none.
std::string pick(const char* host, const char* client = "10.0.0.1", const char* url = "a.com/x", int32_t len = 200) {
  char buffer[256] = "untouched";
  if (!policydb_proxy_IsHit(host, client, url, buffer, len)) return std::string("-") + (std::string(buffer) == "untouched" ? "" : "written!");
  return buffer;
}

std::string picks(const char* host, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += pick(host) + " ";
  return out;
}

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t.make_default_db();
    ASSERT_EQ(t.init(), 1);
  }
  uint32_t add_proxy(const char* host, uint8_t balance, std::vector<const char*> upstreams) {
    uint32_t wid = 0;
    EXPECT_TRUE(policydb_proxy_append(host, balance, "", &wid)) << host;
    for (const char* up : upstreams) {
      uint32_t id = 0;
      EXPECT_TRUE(policydb_upstream_append(wid, up, 1, "", &id)) << up;
      ids.push_back(id);
    }
    return wid;
  }
  Tree t;
  std::vector<uint32_t> ids;
};

TEST(ProxyHash, KnownValues) {
  EXPECT_EQ(proxy::hash_of("1.2.3.4"), 1902545280);
  EXPECT_EQ(proxy::hash_of("a.b/rua1lwx"), INT32_MIN);
  EXPECT_EQ(proxy::hash_of(""), 0);
  EXPECT_EQ(proxy::hash_of("\xff"), -1);  // bytes are signed
}

struct TemplateCase {
  const char* tmpl;
  const char* host;
  int32_t len;
  const char* out;
};
const TemplateCase kTemplates[] = {
    {"$0:81", "a.b.c", 200, "a.b.c:81"},
    {"$1x", "a.b.c", 200, "x"},
    {"a$", "a.b.c", 200, "a$"},
    {"$$0", "h", 200, "$h"},
    {"$a$0", "h", 200, "$ah"},
    {"pre-$0-post", "host", 200, "pre-host-post"},
    {"$0:8080", "a.com", 5, "a.co"},   // the host cut to the room left
    {"abcdef$0", "h", 4, "abc"},       // the run before it cut
    {"$0$0", "ab", 4, "aba"},          // the second host cut to the one byte left
    {"$0", "ab", 1, ""},
};

TEST(ProxyTemplate, ExpansionTable) {
  for (const TemplateCase& c : kTemplates) {
    SCOPED_TRACE(std::string(c.tmpl) + " len " + u(c.len));
    char out[256];
    std::memset(out, 'Z', sizeof out);
    proxy::expand_host(c.tmpl, c.host, out, c.len);
    EXPECT_STREQ(out, c.out);
  }
}

TEST(ProxyTemplate, OnlyPlainHostsAreCopiedIntoAnAddress) {
  const std::pair<const char*, bool> kHosts[] = {
      {"img.a.com", true}, {"img.a.com:81", true}, {"10.0.0.1", true},    {"10.0.0.1:22x.a.com", false},
      {"a.com/x", false},  {"A.com", false},       {"a.com:", false},     {":80", false},
      {"", false},         {"a_b.com", false},     {"a.com:8a", false},   {"a-b.com:65535", true},
  };
  for (const auto& [host, fits] : kHosts) EXPECT_EQ(proxy::host_fits_template(host), fits) << host;
}

TEST_F(ProxyTest, RoundRobinSkipsDownUpstreamsUntilAllAreDown) {
  const uint32_t wid = add_proxy("a.com", 0, {"u1", "u2", "u3"});
  EXPECT_EQ(picks("a.com", 4), "u1 u2 u3 u1 ");
  ASSERT_TRUE(t.reload());  // counters start again with a load
  EXPECT_EQ(picks("a.com", 2), "u1 u2 ");
  ASSERT_TRUE(policydb_upstream_down_2(wid, ids[1], 1));
  EXPECT_EQ(picks("a.com", 4), "u1 u3 u1 u3 ");
  ASSERT_TRUE(policydb_upstream_down_1("U1", 1));
  ASSERT_TRUE(policydb_upstream_down_1("u3", 1));
  // All enabled upstreams down: chosen among all as if they were up.
  EXPECT_EQ(picks("a.com", 3), "u1 u2 u3 ");
  ASSERT_TRUE(policydb_upstream_down_1("u2", 0));
  EXPECT_EQ(picks("a.com", 2), "u2 u2 ");
  for (const char* h : {"u1", "u2", "u3"}) ASSERT_TRUE(policydb_upstream_enable(h, 0));
  EXPECT_EQ(pick("a.com"), "-");
  EXPECT_TRUE(policydb_upstream_enable("nowhere", 1));
}

TEST_F(ProxyTest, IndexHitIsFinalWhileWildcardsLetTheWalkGoOn) {
  add_proxy("a.com", 0, {"plain"});
  const uint32_t star = add_proxy("*.A.com", 0, {"star"});
  add_proxy("*.com", 0, {"any"});
  EXPECT_EQ(pick("img.a.com"), "star");
  EXPECT_EQ(pick("IMG.A.COM"), "star");
  EXPECT_EQ(pick("A.COM"), "plain");  // capitals walk the whole list
  ASSERT_TRUE(policydb_upstream_enable("plain", 0));
  EXPECT_EQ(pick("a.com"), "-");      // the index hit answers alone
  ASSERT_TRUE(policydb_upstream_enable("star", 0));
  EXPECT_EQ(pick("img.a.com"), "any");
  ASSERT_TRUE(policydb_proxy_enable_2(star, 1));
  ASSERT_TRUE(policydb_upstream_enable("star", 1));
  ASSERT_TRUE(policydb_proxy_enable_1("*.a.COM", 0));
  EXPECT_EQ(pick("img.a.com"), "any");
  EXPECT_EQ(t.sql("select host, unable from upfetch order by wid"), "a.com|0\n*.A.com|1\n*.com|0\n");
}

TEST_F(ProxyTest, HashBalancesPickTheSameUpstreamEveryTime) {
  add_proxy("ip.com", 1, {"first", "second"});
  add_proxy("url.com", 2, {"first", "second", "third"});
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pick("ip.com", "1.2.3.4"), "first");                // 1,902,545,280 is even
    EXPECT_EQ(pick("ip.com", "1.2.3.5"), "second");
    EXPECT_EQ(pick("url.com", "1.2.3.4", "a.b/rua1lwx"), "first");  // INT32_MIN: the first candidate
  }
}

TEST_F(ProxyTest, OutputsNameTheChoiceAndFailuresWriteNothing) {
  const uint32_t wid = add_proxy("a.com", 0, {"longupstreamname:8080"});
  char buffer[8];
  uint32_t got_wid = 0, got_id = 0, proxy_ssl = 9, upstream_ssl = 9;
  ASSERT_TRUE(policydb_proxy_IsHitExtExt("a.com", "1.1.1.1", "a.com/", buffer, sizeof buffer, &got_wid, &got_id,
                                         &proxy_ssl, &upstream_ssl));
  EXPECT_STREQ(buffer, "longups");
  EXPECT_EQ(got_wid, wid);
  EXPECT_EQ(got_id, ids[0]);
  EXPECT_EQ(proxy_ssl, 0u);
  EXPECT_EQ(upstream_ssl, 0u);
  char untouched[4] = {'Z', 'Z', 'Z', 'Z'};
  EXPECT_FALSE(policydb_proxy_IsHitExt("a.com", "1.1.1.1", "a.com/", untouched, 0, &got_wid, &got_id));
  EXPECT_FALSE(policydb_proxy_IsHit("a.com", nullptr, "a.com/", untouched, 4));
  EXPECT_FALSE(policydb_proxy_IsHit("b.com", "1.1.1.1", "a.com/", untouched, 4));
  EXPECT_EQ(std::string(untouched, 4), "ZZZZ");
  uint8_t down = 9;
  int64_t when = 9;
  char host[257] = "x";
  EXPECT_FALSE(policydb_upstream_down_status(wid, ids[0] + 1, &down, &when, host));
  EXPECT_EQ(down, 0);
  EXPECT_EQ(when, 0);
  EXPECT_STREQ(host, "");
  Capture out(1, t.path("down.out"));
  ASSERT_TRUE(policydb_upstream_down_2(wid, ids[0], 1));
  ASSERT_TRUE(policydb_upstream_down_2(wid, ids[0], 1));
  // Printed on every marking, also when it was down already.
  EXPECT_EQ(out.text(),
            "[a.com -> longupstreamname:8080] upstream is down!\r\n"
            "[a.com -> longupstreamname:8080] upstream is down!\r\n");
  out.stop();
  ASSERT_TRUE(policydb_upstream_down_status(wid, ids[0], &down, nullptr, host));
  EXPECT_EQ(down, 1);
  EXPECT_STREQ(host, "longupstreamname:8080");
}

struct DollarCase {
  const char* request_host;
  const char* chosen;  // "-" when no proxy answers
};
const DollarCase kDollars[] = {
    {"img.a.com", "img.a.com:81"},
    {"img.a.com:81", "img.a.com:81:81"},
    {"10.0.0.1:22x.a.com", "fallback"},  // refused by the template, the walk goes on
    {"a.com/x", "-"},
};

TEST_F(ProxyTest, TheClientsHostIsCopiedOnlyWhenItIsAPlainHost) {
  add_proxy("*.a.com*", 0, {"$0:81"});
  add_proxy("10.0.0.1:*", 0, {"fallback"});
  add_proxy("a.com/*", 0, {"$0"});
  for (const DollarCase& c : kDollars) EXPECT_EQ(pick(c.request_host), c.chosen) << c.request_host;
}

TEST_F(ProxyTest, AHostAlreadyLoadedIsRefusedWithItsWid) {
  const uint32_t wid = add_proxy("a.com", 0, {"u"});
  uint32_t got = 0;
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(policydb_proxy_append("A.com", 0, "", &got)); }),
            "[zazudaza -> config] insert 'upfetch' table error(host=A.com)!\r\n");
  EXPECT_EQ(got, wid);
  EXPECT_EQ(t.sql("select count(*) from upfetch"), "1\n");
}

TEST_F(ProxyTest, AModifyOntoAnotherProxysHostIsRefusedAndBothStay) {
  const uint32_t a = add_proxy("a.com", 0, {"ua"});
  add_proxy("b.com", 0, {"ub"});
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(policydb_proxy_modify(a, "B.COM", 0, "")); }),
            "[zazudaza -> config] update 'upfetch' table error(wid=" + u(a) + ", host=B.COM)!\r\n");
  EXPECT_EQ(pick("a.com"), "ua");
  EXPECT_EQ(pick("b.com"), "ub");
  EXPECT_FALSE(policydb_proxy_modify(a + 10, "c.com", 0, ""));
  EXPECT_FALSE(policydb_proxy_modify(a, "c.com", 3, ""));
  ASSERT_TRUE(policydb_proxy_modify(a, "C.com", 0, "n"));
  EXPECT_EQ(pick("a.com"), "-");
  EXPECT_EQ(pick("c.com"), "ua");
}

TEST_F(ProxyTest, UpstreamModifyAddressesThePair) {
  const uint32_t a = add_proxy("a.com", 0, {"ua"});
  const uint32_t b = add_proxy("b.com", 0, {"ub"});
  // The pair (upstream of b, wid of a) does not belong together: no row changes.
  EXPECT_FALSE(policydb_upstream_modify(ids[1], a, "evil", 1, ""));
  EXPECT_EQ(t.sql("select host from wc_upstream order by upstreamid"), "ua\nub\n");
  EXPECT_FALSE(policydb_upstream_modify(ids[1], a + 100, "evil", 1, ""));
  ASSERT_TRUE(policydb_upstream_down_2(b, ids[1], 1));
  ASSERT_TRUE(policydb_upstream_modify(ids[1], b, "UB2", 7, "n"));
  EXPECT_EQ(t.sql("select host, weight, note from wc_upstream where upstreamid=" + u(ids[1])), "UB2|7|n\n");
  uint8_t down = 9;
  ASSERT_TRUE(policydb_upstream_down_status(b, ids[1], &down, nullptr, nullptr));
  EXPECT_EQ(down, 0);  // a new host starts up
  EXPECT_EQ(pick("b.com"), "ub2");
  EXPECT_FALSE(policydb_upstream_delete(a + 100, ids[0]));
  ASSERT_TRUE(policydb_upstream_delete(a, ids[0]));
  EXPECT_TRUE(policydb_upstream_delete(a, ids[0]));
  EXPECT_EQ(pick("a.com"), "-");
  EXPECT_FALSE(policydb_upstream_append(a + 100, "x", 1, "", nullptr));
  EXPECT_FALSE(policydb_upstream_append(a, nullptr, 1, "", nullptr));
}

TEST_F(ProxyTest, DeleteAndCleanRemoveRowsAndMemory) {
  const uint32_t a = add_proxy("a.com", 0, {"ua", "ua2"});
  add_proxy("b.com", 0, {"ub"});
  EXPECT_TRUE(policydb_proxy_delete(a + 100));
  ASSERT_TRUE(policydb_proxy_delete(a));
  EXPECT_EQ(pick("a.com"), "-");
  EXPECT_EQ(t.sql("select host from upfetch; select host from wc_upstream"), "b.com\nub\n");
  ASSERT_TRUE(policydb_proxy_clean());
  EXPECT_FALSE(policydb_proxy_IsExist());
  EXPECT_EQ(t.sql("select count(*) from upfetch; select count(*) from wc_upstream"), "0\n0\n");
  EXPECT_FALSE(policydb_proxy_enable_1("b.com", 1));  // no proxies
}

struct ProxyFailPoint {
  const char* what;
  const char* trigger;
  const char* held;
  uint8_t (*change)();
};

uint32_t g_wid = 0;

TEST_F(ProxyTest, ChangesFailingAtAnyStatementKeepRowsAndMemory) {
  g_wid = add_proxy("a.com", 0, {"ua"});
  const ProxyFailPoint kPoints[] = {
      {"proxy insert", "create trigger t before insert on upfetch begin select raise(abort, 'no'); end", nullptr,
       [] { return policydb_proxy_append("new.com", 0, "", nullptr); }},
      {"upstream insert", "create trigger t before insert on wc_upstream begin select raise(abort, 'no'); end", nullptr,
       [] { return policydb_upstream_append(g_wid, "new", 1, "", nullptr); }},
      {"first delete of a proxy delete",
       "create trigger t before delete on wc_upstream begin select raise(abort, 'no'); end", nullptr,
       [] { return policydb_proxy_delete(g_wid); }},
      {"second delete of a proxy delete",
       "create trigger t before delete on upfetch begin select raise(abort, 'no'); end", nullptr,
       [] { return policydb_proxy_delete(g_wid); }},
      {"second delete of a clean", "create trigger t before delete on upfetch begin select raise(abort, 'no'); end",
       nullptr, [] { return policydb_proxy_clean(); }},
      {"enable", "create trigger t before update on upfetch begin select raise(abort, 'no'); end", nullptr,
       [] { return policydb_proxy_enable_2(g_wid, 0); }},
      {"delete while another process holds the database", nullptr, "BEGIN EXCLUSIVE;",
       [] { return policydb_proxy_delete(g_wid); }},
      {"enable while another process holds the database", nullptr, "BEGIN EXCLUSIVE;",
       [] { return policydb_proxy_enable_1("a.com", 0); }},
  };
  const std::string rows = t.sql("select * from upfetch; select * from wc_upstream");
  for (const ProxyFailPoint& p : kPoints) {
    SCOPED_TRACE(p.what);
    if (p.trigger) t.sql(p.trigger);
    t.errors_of([&] {
      std::unique_ptr<Holder> holder;
      if (p.held) holder = std::make_unique<Holder>(t.db(), p.held);
      EXPECT_EQ(p.change(), 0);
    });
    if (p.trigger) t.sql("drop trigger t");
    EXPECT_EQ(t.sql("select * from upfetch; select * from wc_upstream"), rows);
    EXPECT_EQ(pick("a.com"), "ua");
    EXPECT_FALSE(policydb_proxy_IsHit("new.com", "1", "u", nullptr, 0));
  }
  // Nothing is left open: the next change commits.
  ASSERT_TRUE(policydb_proxy_enable_2(g_wid, 0));
  EXPECT_EQ(t.sql("select unable from upfetch"), "1\n");
  ASSERT_TRUE(policydb_proxy_delete(g_wid));
  EXPECT_EQ(t.sql("select count(*) from upfetch"), "0\n");
}

// A stand-in context builder: a counted token per context.
std::atomic<int> g_live{0};
void* fake_new(const char* crt, const char*, const char*, int32_t* error) {
  if (crt && std::string(crt) == "bad") {
    if (error) *error = -2;
    return nullptr;
  }
  g_live.fetch_add(1);
  return new int(1);
}
void fake_free(void* context) {
  g_live.fetch_sub(1);
  delete static_cast<int*>(context);
}

class ProxyTlsTest : public ProxyTest {
 protected:
  void SetUp() override {
    saved = seams::tls();
    seams::tls() = {fake_new, fake_free, fake_new, fake_free};
    ProxyTest::SetUp();
  }
  void TearDown() override {
    policydb::reset_for_tests();
    EXPECT_EQ(g_live.load(), 0);
    seams::tls() = saved;
  }
  seams::TlsBuilders saved{};
};

TEST_F(ProxyTlsTest, TlsSettingsNeedCertificateAndKeyAndTheShortModifyClearsThem) {
  uint32_t wid = 0;
  EXPECT_FALSE(policydb_proxy_append_ext("s.com", 0, "", 1, "crt", "", nullptr, &wid));
  EXPECT_FALSE(policydb_proxy_append_ext("s.com", 0, "", 1, "bad", "key", nullptr, &wid));
  EXPECT_FALSE(policydb_proxy_append_ext("s.com", 0, "", 3, "crt", "key", nullptr, &wid));
  EXPECT_EQ(t.sql("select count(*) from upfetch"), "0\n");
  ASSERT_TRUE(policydb_proxy_append_ext("s.com", 0, "", 2, "crt", "key", "SessionSize=10", &wid));
  uint32_t id = 0;
  EXPECT_FALSE(policydb_upstream_append_ext(wid, "tls", 1, "", 1, "bad", nullptr, nullptr, &id));
  ASSERT_TRUE(policydb_upstream_append_ext(wid, "plain-behind-tls", 1, "", 2, "bad", nullptr, nullptr, &id));
  EXPECT_EQ(g_live.load(), 1);
  char buffer[64];
  uint32_t proxy_ssl = 9, upstream_ssl = 9;
  ASSERT_TRUE(policydb_proxy_IsHitExtExt("s.com", "1", "s.com/", buffer, sizeof buffer, nullptr, nullptr, &proxy_ssl,
                                         &upstream_ssl));
  EXPECT_EQ(proxy_ssl, 2u);
  EXPECT_EQ(upstream_ssl, 2u);
  EXPECT_EQ(t.sql("select ssl_opt, ssl_crt_content, ssl_key_content, ssl_extra_params from upfetch"),
            "2|crt|key|SessionSize=10\n");
  ASSERT_TRUE(policydb_proxy_modify(wid, "s.com", 0, ""));
  EXPECT_EQ(g_live.load(), 0);
  EXPECT_EQ(t.sql("select ssl_opt, ssl_crt_content, ssl_key_content, ssl_extra_params from upfetch"), "0|||\n");
  ASSERT_TRUE(policydb_proxy_IsHitExtExt("s.com", "1", "s.com/", buffer, sizeof buffer, nullptr, nullptr, &proxy_ssl,
                                         nullptr));
  EXPECT_EQ(proxy_ssl, 0u);
  // Loading builds the contexts again; rows without a certificate or key fall back to ssl_opt 0.
  t.sql("update upfetch set ssl_opt=1, ssl_crt_content='crt', ssl_key_content='key';"
        "insert into upfetch(wid, host, balance, ssl_opt, ssl_crt_content, ssl_key_content) values"
        "(50, 'k.com', 0, 1, 'crt', ''), (51, 'c.com', 0, 2, null, 'key'), (52, 'b.com', 0, 1, 'bad', 'key');"
        "update wc_upstream set ssl_opt=1, ssl_crt_content=null");
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(t.err(),
            "[zazudaza -> config] 'upfetch'->'ssl_key_content=NULL' error(wid=50)!\r\n"
            "[zazudaza -> config] 'upfetch'->'ssl_crt_content=NULL' error(wid=51)!\r\n");
  EXPECT_EQ(g_live.load(), 2);  // s.com and its upstream
  ASSERT_TRUE(policydb_proxy_IsHitExtExt("s.com", "1", "s.com/", buffer, sizeof buffer, nullptr, nullptr, &proxy_ssl,
                                         &upstream_ssl));
  EXPECT_EQ(proxy_ssl, 1u);
  EXPECT_EQ(upstream_ssl, 1u);
  ASSERT_TRUE(policydb_proxy_delete(wid));
  EXPECT_EQ(g_live.load(), 0);
}

TEST(ProxyLoad, BadRowsAreSkippedWithTheirLinesAndOldTablesMigrate) {
  Tree t;
  t.make_default_db();
  t.sql("drop table upfetch; drop table wc_upstream;"
        "create table upfetch(wid integer primary key autoincrement, host varchar(128) collate nocase unique,"
        " balance int, note text);"
        "create table wc_upstream(upstreamid integer primary key autoincrement, wid int, host text, weight int,"
        " note text);"
        "insert into upfetch(wid, host, balance, note) values(1, 'a.com', null, ''), (2, null, 0, ''),"
        " (3, 'c.com', 0, null), (4, 'd.com', 5, 'x');"
        "insert into wc_upstream(upstreamid, wid, host, weight) values(1, 3, null, 1), (2, 3, 'u2', null),"
        " (3, 3, 'U3', 1), (4, 4, 'u4', 1), (5, 9, 'orphan', 1);");
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(t.err(),
            "[zazudaza -> config] 'upfetch'->'balance=NULL' error(wid=1)!\r\n"
            "[zazudaza -> config] 'upfetch'->'host=NULL' error(wid=2)!\r\n"
            "[zazudaza -> config] 'wc_upstream'->'host=NULL' error(wid=3)!\r\n"
            "[zazudaza -> config] 'wc_upstream'->'weight=NULL' error(wid=3)!\r\n");
  EXPECT_EQ(pick("c.com"), "u3");
  EXPECT_EQ(pick("d.com"), "-");  // a stored balance above 2 never matches, even with one upstream
  const std::string schema = t.sql("select sql from sqlite_master where name in ('upfetch', 'wc_upstream')");
  for (const char* column : {"unable int default '0' not null", "ssl_opt int default '0' not null",
                             "ssl_crt_content text", "ssl_key_content text", "ssl_extra_params text"}) {
    EXPECT_NE(schema.find(column), std::string::npos) << column;
  }
  EXPECT_EQ(t.sql("select count(*) from pragma_table_info('wc_upstream') where name like 'ssl%'"), "4\n");
}

TEST(ProxyLoad, CheckIntervalComesFromProxyIni) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(proxy::down_check_interval(), 60u);
  write_file(t.path("modules/zazudaza/proxy.ini"), "[system]\nupstream_down_for_expire=5\n");
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(proxy::down_check_interval(), 5u);
  EXPECT_NE(proxy::check_lock(), nullptr);
}

TEST_F(ProxyTest, HostileTextsAreStoredAsGiven) {
  const std::string hosts[] = {"it's.com", "x'); drop table upfetch;--", "%s%n.com"};
  for (const std::string& h : hosts) {
    uint32_t wid = 0;
    ASSERT_TRUE(policydb_proxy_append(h.c_str(), 0, h.c_str(), &wid)) << h;
    ASSERT_TRUE(policydb_upstream_append(wid, h.c_str(), 1, h.c_str(), nullptr)) << h;
  }
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(t.err(), "");
  EXPECT_EQ(t.sql("select host from upfetch where host=note order by wid"),
            "it's.com\nx'); drop table upfetch;--\n%s%n.com\n");
  EXPECT_EQ(pick("it's.com"), "it's.com");
}

TEST(ProxyWithoutDatabase, EveryChangeIsRefused) {
  Tree t;
  ASSERT_EQ(t.init(), 1);
  EXPECT_FALSE(policydb_proxy_IsExist());
  t.errors_of([] {
    EXPECT_FALSE(policydb_proxy_append("a.com", 0, "", nullptr));
    EXPECT_FALSE(policydb_proxy_delete(1));
  });
  EXPECT_FALSE(policydb_upstream_down_1("a", 1));
  EXPECT_EQ(pick("a.com"), "-");
}

}  // namespace
}  // namespace policydb::test
