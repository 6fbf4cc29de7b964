#include "nameres.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "cu_console.h"
#include "cu_jitter.h"
#include "dnsmasq_fixture.h"
#include "nameres_internal.h"
#include "vor_child_process.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

using nameres_test::Dnsmasq;
using nameres_test::SilentServer;
using vor::test::wait_until;

// What one look-up's callback saw.
struct Answer {
  int calls = 0;
  bool ok = false;
  bool on_resolver_thread = false;
  std::string name, ip;
  int64_t sid = 0;
  std::chrono::steady_clock::time_point at;
};

std::mutex g_mu;
std::vector<Answer> g_answers;

void record(nameres_dns*, const char* name, const char* ip, bool ok, int64_t sid, char* data, int32_t, vor_box*,
            char* tag, int32_t, char* host) {
  std::lock_guard<std::mutex> g(g_mu);
  Answer& a = g_answers.at(static_cast<size_t>(sid));
  ++a.calls;
  a.ok = ok;
  a.on_resolver_thread = nameres_internal::on_resolver_thread();
  a.name = name;
  a.ip = ip;
  a.sid = sid;
  a.at = std::chrono::steady_clock::now();
  free(data);
  free(tag);
  free(host);
}

class NameresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cu_console_Free();  // console lines stay out of the working folder
    ASSERT_TRUE(dns_.ready()) << "dnsmasq did not start";
    use_servers(dns_.server());
    std::lock_guard<std::mutex> g(g_mu);
    g_answers.assign(200, Answer{});
  }
  void TearDown() override { nameres_internal::reset(); }

  static void use_servers(const std::string& servers) {
    setenv("NAMERES_SERVERS", servers.c_str(), 1);
    nameres_internal::reset();  // rebuilds the channel with them
  }

  // Starts a look-up whose answer lands in g_answers[sid], with copies the callback frees.
  static bool ask(const char* name, int64_t sid) {
    return nameres_AddRequest(nameres_GetDnsHandle(), name, record, sid, strdup("body"), 4, nullptr, strdup("tag"), 1,
                              strdup(name), 0, 0);
  }
  static Answer answer(int64_t sid) {
    std::lock_guard<std::mutex> g(g_mu);
    return g_answers.at(static_cast<size_t>(sid));
  }
  static bool answered(int64_t from, int64_t to) {
    std::lock_guard<std::mutex> g(g_mu);
    for (int64_t i = from; i < to; ++i)
      if (g_answers[static_cast<size_t>(i)].calls == 0) return false;
    return true;
  }
  static Answer resolve(const char* name, int64_t sid) {
    EXPECT_TRUE(ask(name, sid)) << name;
    EXPECT_TRUE(wait_until([&] { return answered(sid, sid + 1); })) << name;
    return answer(sid);
  }

  Dnsmasq dns_{1};
};

struct LookupCase {
  const char* name;
  bool ok;
  const char* ip;
  bool cached;
};
const LookupCase kLookups[] = {
    {"a.test", true, "10.0.0.1", true},
    {"A.Test", true, "10.0.0.1", true},       // cached by its lower-case text
    {"x.wild.test", true, "10.1.1.1", true},
    {"nx.test", false, "", false},            // NXDOMAIN
    {"10.2.3.4", true, "10.2.3.4", false},    // a literal answers itself, uncached
};

TEST_F(NameresTest, LookupsAnswerOnceOnTheResolverThread) {
  int64_t sid = 0;
  for (const auto& c : kLookups) {
    SCOPED_TRACE(c.name);
    nameres_CleanAllCache();
    Answer a = resolve(c.name, sid++);
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(a.ok, c.ok);
    EXPECT_EQ(a.ip, c.ip);
    EXPECT_EQ(a.name, c.name);
    EXPECT_TRUE(a.on_resolver_thread);
    char ip[32] = "";
    EXPECT_EQ(nameres_HitCache(c.name, ip), c.ok);
    if (c.ok) {
      EXPECT_STREQ(ip, c.ip);
    }
    EXPECT_EQ(nameres_NumOfCache(), c.cached ? 1u : 0u);
  }
  // A hit is answered from the cache: no second query reaches the server. The server logs in
  // order, so a later marker query shows when every earlier one is in the log.
  ASSERT_TRUE(resolve("a.test", sid++).ok);
  ASSERT_TRUE(resolve("marker1.wild.test", sid++).ok);
  ASSERT_TRUE(wait_until([&] { return dns_.queries_of("marker1.wild.test") == 1; }));
  int before = dns_.queries_of("a.test");
  EXPECT_TRUE(resolve("a.test", sid++).ok);
  ASSERT_TRUE(resolve("marker2.wild.test", sid++).ok);
  ASSERT_TRUE(wait_until([&] { return dns_.queries_of("marker2.wild.test") == 1; }));
  EXPECT_EQ(dns_.queries_of("a.test"), before);
}

TEST_F(NameresTest, RefusedNamesAreNotTaken) {
  const std::string too_long(254, 'a');
  const char* refused[] = {"", "a b.test", "a/b.test", "host:80", "x\r\n.test", "caf\xc3\xa9.test", too_long.c_str()};
  for (const char* name : refused) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(nameres_AddRequest(nameres_GetDnsHandle(), name, record, 0, nullptr, 0, nullptr, nullptr, 1, nullptr,
                                    0, 0));
    char ip[32];
    EXPECT_FALSE(nameres_HitCache(name, ip));
    EXPECT_FALSE(wc_gethostbyname(name, ip));
  }
  EXPECT_TRUE(ask(std::string(253, 'b').c_str(), 0));  // the longest name still taken
  EXPECT_FALSE(nameres_AddRequest(nullptr, "a.test", record, 0, nullptr, 0, nullptr, nullptr, 1, nullptr, 0, 0));
  EXPECT_FALSE(nameres_AddRequest(nameres_GetDnsHandle(), "a.test", nullptr, 0, nullptr, 0, nullptr, nullptr, 1,
                                  nullptr, 0, 0));
  EXPECT_FALSE(nameres_AddRequest(nameres_GetDnsHandle(), nullptr, record, 0, nullptr, 0, nullptr, nullptr, 1,
                                  nullptr, 0, 0));
  EXPECT_TRUE(wait_until([] { return answered(0, 1); }));
}

TEST_F(NameresTest, ManyRequestsForOneNameMakeOneQuery) {
  for (int64_t i = 0; i < 100; ++i) ASSERT_TRUE(ask("x100.wild.test", i));
  ASSERT_TRUE(wait_until([] { return answered(0, 100); }));
  for (int64_t i = 0; i < 100; ++i) {
    Answer a = answer(i);
    EXPECT_EQ(a.calls, 1);
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.ip, "10.1.1.1");
  }
  ASSERT_TRUE(resolve("marker.wild.test", 100).ok);
  ASSERT_TRUE(wait_until([&] { return dns_.queries_of("marker.wild.test") == 1; }));
  EXPECT_EQ(dns_.queries_of("x100.wild.test"), 1);
}

TEST_F(NameresTest, SilentServerFailsAtTheDeadline) {
  SilentServer silent;
  use_servers(silent.server());
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(ask("quiet.test", 0));
  ASSERT_TRUE(wait_until([] { return answered(0, 1); }));
  Answer a = answer(0);
  EXPECT_EQ(a.calls, 1);
  EXPECT_FALSE(a.ok);
  EXPECT_EQ(a.ip, "");
  // Not before its deadline: c-ares was still trying.
  EXPECT_GE(a.at - start, std::chrono::milliseconds(4500));
  EXPECT_EQ(nameres_internal::waiting(), 0u);
}

TEST_F(NameresTest, LateAnswerFailsTheWaiterButFillsTheCache) {
  std::string script = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/slow_dns.py";
  vor::test::ChildProcess slow({"python3", script, "6"});  // answers 6 s late
  std::string port;
  ASSERT_TRUE(slow.read_line(&port));
  use_servers("127.0.0.1:" + port);
  ASSERT_TRUE(ask("late.test", 0));
  ASSERT_TRUE(wait_until([] { return answered(0, 1); }));
  EXPECT_FALSE(answer(0).ok);
  char ip[32];
  ASSERT_TRUE(wait_until([&] { return nameres_HitCache("late.test", ip); }));
  EXPECT_STREQ(ip, "10.3.3.3");
  EXPECT_EQ(answer(0).calls, 1);
}

std::atomic<int> g_counted{0};
void count_only(nameres_dns*, const char*, const char*, bool, int64_t, char*, int32_t, vor_box*, char*, int32_t,
                char*) {
  g_counted.fetch_add(1);
}

TEST_F(NameresTest, AtMost65536LookupsWait) {
  SilentServer silent;
  use_servers(silent.server());
  g_counted = 0;
  int accepted = 0;
  for (int i = 0; i < 65537; ++i)
    accepted += nameres_AddRequest(nameres_GetDnsHandle(), "q.test", count_only, i, nullptr, 0, nullptr, nullptr, 1,
                                   nullptr, 0, 0);
  EXPECT_EQ(accepted, 65536);
  nameres_internal::reset();  // fails every waiter at once
  EXPECT_EQ(g_counted.load(), 65536);
  EXPECT_TRUE(ask("a.test", 0));  // room again
}

TEST_F(NameresTest, ExpiredEntryStillServesThePipeForAMinute) {
  nameres_set_MinTTLOfDNSCache(0);
  ASSERT_TRUE(resolve("a.test", 0).ok);  // TTL 1
  char ip[32];
  ASSERT_TRUE(wait_until([&] { return !nameres_HitCache("a.test", ip); }));
  int queries = dns_.queries_of("a.test");
  EXPECT_TRUE(wc_gethostbyname("a.test", ip));
  EXPECT_STREQ(ip, "10.0.0.1");
  EXPECT_TRUE(nameres_HitAnyCache("a.test", ip));
  EXPECT_EQ(dns_.queries_of("a.test"), queries);
}

TEST_F(NameresTest, ZeroTtlIsStillThereForTheSynchronousResolve) {
  Dnsmasq zero(0);
  ASSERT_TRUE(zero.ready());
  use_servers(zero.server());
  nameres_set_MinTTLOfDNSCache(0);
  Answer a = resolve("a.test", 0);
  ASSERT_TRUE(a.ok);
  char ip[32];
  EXPECT_TRUE(wc_gethostbyname("a.test", ip));
  EXPECT_STREQ(ip, "10.0.0.1");
}

TEST_F(NameresTest, AddressesRotateAndTheRetryGetsAnotherOne) {
  ASSERT_TRUE(resolve("multi.test", 0).ok);
  char first[32], second[32], retry[32], fresh[32];
  ASSERT_TRUE(nameres_HitCache("multi.test", fresh));
  ASSERT_TRUE(wc_gethostbyname("multi.test", first));
  EXPECT_STREQ(first, fresh);  // the hit names the address the pipe connects to
  ASSERT_TRUE(nameres_HitAnyCache("multi.test", retry));
  EXPECT_STRNE(first, retry);
  ASSERT_TRUE(wc_gethostbyname("multi.test", second));
  EXPECT_STREQ(second, first);
  for (const char* ip : {first, retry}) EXPECT_TRUE(std::string(ip) == "10.0.0.2" || std::string(ip) == "10.0.0.3");
}

TEST_F(NameresTest, UncachedNameIsLookedUpWhileTheCallerWaits) {
  char ip[32];
  EXPECT_TRUE(wc_gethostbyname("wait.wild.test", ip));
  EXPECT_STREQ(ip, "10.1.1.1");
  EXPECT_FALSE(wc_gethostbyname("gone.test", ip));
  EXPECT_TRUE(wc_gethostbyname("127.0.0.1", ip));
  EXPECT_STREQ(ip, "127.0.0.1");
}

TEST_F(NameresTest, CapEvictsTheLeastRecentlyUsed) {
  nameres_set_MaxNumOfDNSCache(3);
  const char* names[] = {"e1.wild.test", "e2.wild.test", "e3.wild.test", "e4.wild.test", "e5.wild.test"};
  int64_t sid = 0;
  for (const char* n : names) {
    ASSERT_TRUE(resolve(n, sid++).ok);
    char ip[32];
    if (sid == 3) {
      ASSERT_TRUE(nameres_HitCache("e1.wild.test", ip));  // e1 used again: e2 goes first
    }
  }
  char ip[32];
  EXPECT_EQ(nameres_NumOfCache(), 3u);
  EXPECT_FALSE(nameres_HitAnyCache("e2.wild.test", ip));
  EXPECT_FALSE(nameres_HitAnyCache("e3.wild.test", ip));
  EXPECT_TRUE(nameres_HitAnyCache("e1.wild.test", ip));
  nameres_set_MaxNumOfDNSCache(1);  // at once
  EXPECT_EQ(nameres_NumOfCache(), 1u);
  nameres_set_MaxNumOfDNSCache(0);  // read as 1: the pipe's resolve still finds the last answer
  ASSERT_TRUE(resolve("e6.wild.test", sid++).ok);
  EXPECT_TRUE(wc_gethostbyname("e6.wild.test", ip));
  EXPECT_GT(nameres_GetCacheSize(), 0);
  EXPECT_TRUE(nameres_DelCache("E6.wild.test"));
  EXPECT_EQ(nameres_NumOfCache(), 0u);
  EXPECT_EQ(nameres_GetCacheSize(), 0);
}

TEST_F(NameresTest, RefreshDuringLookupsReissuesThem) {
  for (int64_t i = 0; i < 50; ++i) {
    std::string name = "r" + std::to_string(i) + ".wild.test";
    ASSERT_TRUE(ask(name.c_str(), i));
    if (i == 10 || i == 30) nameres_set_DNSRefresh();
  }
  nameres_set_MaxRetryingTimes(0);  // read as 1, rebuilds too
  ASSERT_TRUE(wait_until([] { return answered(0, 50); }));
  for (int64_t i = 0; i < 50; ++i) {
    Answer a = answer(i);
    EXPECT_EQ(a.calls, 1) << i;
    EXPECT_TRUE(a.ok) << i;
  }
}

TEST_F(NameresTest, SettingsRefuseWhatTheyCannotUse) {
  EXPECT_TRUE(nameres_set_CustomUpstreamDNS1("192.0.2.1"));
  EXPECT_TRUE(nameres_set_CustomUpstreamDNS8(""));
  EXPECT_TRUE(nameres_set_CustomUpstreamDNS3(nullptr));
  EXPECT_FALSE(nameres_set_CustomUpstreamDNS2("dns.example"));
  EXPECT_FALSE(nameres_set_DNSType(3));
  EXPECT_TRUE(nameres_set_DNSType(1));  // NAMERES_SERVERS still replaces them
  EXPECT_TRUE(resolve("a.test", 0).ok);
  EXPECT_TRUE(nameres_set_DefaultRedirectIP("10.9.9.9"));
  EXPECT_FALSE(nameres_set_DefaultRedirectIP("nowhere"));
  // The DNS cache service and the system redirects are not built; asking for it is logged once.
  vor::test::TempDir dir;
  ASSERT_GT(cu_console_Setup(dir.file("console.txt").c_str()), 0);
  EXPECT_FALSE(nameres_BindSetUp());
  EXPECT_FALSE(nameres_BindSetUp());
  cu_console_Free();
  std::string console = vor::test::read_file(dir.file("console.txt"));
  EXPECT_EQ(console, "[nameres] the DNS cache service is not part of this build!\r\n");
  EXPECT_FALSE(nameres_BindCheck());
  EXPECT_TRUE(nameres_BindShutDown());
  EXPECT_FALSE(nameres_EnableRedirectClass("ads", true));
  char note[1024];
  int32_t ttl = 0;
  uint32_t ip = 0;
  EXPECT_FALSE(nameres_HitRedirect("a.test", note, &ttl, &ip));
}

// The lists inside the admin replies they are sent in, parsed by python3.
bool parses_as_json(const std::string& text) {
  vor::test::TempDir dir;
  std::string path = dir.file("reply.json");
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  std::string cmd = "python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " + path;
  return system(cmd.c_str()) == 0;
}

std::string drain(cu_jitter* q) {
  std::string s(static_cast<size_t>(cu_jitter_GetLen(q)), '\0');
  cu_jitter_GetData(q, s.data(), static_cast<int32_t>(s.size()));
  return s;
}

TEST_F(NameresTest, ListsParseInTheirReplies) {
  cu_jitter* q = cu_jitter_mallocx(16384, 10000, nullptr);
  ASSERT_NE(q, nullptr);
  nameres_GetXCacheList(q);
  EXPECT_TRUE(parses_as_json(drain(q)));  // empty
  ASSERT_TRUE(resolve("multi.test", 0).ok);
  ASSERT_TRUE(resolve("a.test", 1).ok);
  nameres_GetXCacheList(q);
  std::string cache = drain(q);
  EXPECT_TRUE(parses_as_json(cache)) << cache;
  EXPECT_NE(cache.find("\"NumOfLists\":\"2\""), std::string::npos);
  EXPECT_NE(cache.find("10.0.0.2,10.0.0.3"), std::string::npos);

  const std::string head = "{\r\n  \"Return\":\"True\",\r\n";
  nameres_GetXRedirectList(q);
  std::string redirect = head + drain(q) +
                         "  \"UserRedirectLists\":\r\n   [\r\n   ],\r\n  \"NumOfUserRedirectLists\":\"0\"\r\n}\r\n";
  EXPECT_TRUE(parses_as_json(redirect)) << redirect;
  nameres_GetXRedirecClassList(q);
  std::string classes = head + drain(q) + "}\r\n";
  EXPECT_TRUE(parses_as_json(classes)) << classes;
  cu_jitter_free(q);
}

}  // namespace
