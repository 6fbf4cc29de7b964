// The pipe as a state model: the upstream connection layer, the edge server's writers and the
// request filter are fakes defined here (the program's own definitions take the place of the
// libraries'), so every connect, failure, retry, drain and close is driven by the test and every
// page, pause and close the pipe asks for is seen.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "conduit.h"
#include "edgeserv.h"
#include "nameres.h"
#include "policydb.h"
#include "reqgate.h"
#include "replier.h"
#include "vor_bigbox.h"

namespace {

struct Upstream {
  std::string ip;
  uint16_t port = 0;
  std::string local;
  int64_t queued = 0;  // bytes written and not yet sent
  bool reading = true;
  bool closed = false;
  bool waiting_for_close = false;
  replier_sock_fn notice = nullptr;
};

struct World {
  std::map<int64_t, Upstream> upstreams;
  int64_t next_id = 100;
  replier_connected_fn on_connected = nullptr;
  replier_sock_fn on_failed = nullptr;
  replier_data_fn on_data = nullptr;
  replier_sock_fn on_closed = nullptr;
  std::map<int64_t, std::vector<std::string>> pages;  // client sid -> "502 text" lines
  std::map<int64_t, int> closes;
  std::map<int64_t, bool> client_reading;
  std::map<int64_t, uint32_t> client_backlog;
  std::map<int64_t, std::string> client_bytes;
  std::vector<int64_t> dropped;
  uint32_t max_upstreams = 100;
  bool on_slave = true;
  bool known_names = true;
  uint16_t last_port = 0;
};
World w;

}  // namespace

// ---- the fakes ---------------------------------------------------------------------------

extern "C" {

int64_t replier_make_STEP1_ext(const char*, uint16_t, const char*, uint16_t port, cu_client** handle) {
  w.last_port = port;
  *handle = reinterpret_cast<cu_client*>(0x1);
  return 1;
}
int64_t replier_make_STEP2(vor_bigbox*, cu_client*, replier_connected_fn connected, void*, replier_sock_fn failed,
                           void*, replier_data_fn data, void*, replier_sock_fn closed, void*) {
  w.on_connected = connected;
  w.on_failed = failed;
  w.on_data = data;
  w.on_closed = closed;
  const int64_t id = ++w.next_id;
  w.upstreams[id] = Upstream{};
  return id;
}
int32_t replier_write(int64_t id, const void*, int32_t len) {
  if (!w.upstreams.count(id)) return -1;
  w.upstreams[id].queued += len;
  return len;
}
int64_t replier_GetWritableLen(int64_t id) { return w.upstreams.count(id) ? w.upstreams[id].queued : -1; }
bool replier_AddWritableNotice(int64_t id, replier_sock_fn fn, void*) {
  w.upstreams[id].notice = fn;
  return true;
}
bool replier_DelWritableNotice(int64_t id) {
  w.upstreams[id].notice = nullptr;
  return true;
}
bool replier_ImportSock_ForRead(int64_t id) {
  w.upstreams[id].reading = true;
  return true;
}
bool replier_ExportSock_ForRead(int64_t id) {
  w.upstreams[id].reading = false;
  return true;
}
bool replier_ImportSock_ForWrite(int64_t) { return true; }
bool replier_JitterMove(int64_t new_id, int64_t old_id) {
  w.upstreams[new_id].queued += w.upstreams[old_id].queued;
  w.upstreams[old_id].queued = 0;
  return true;
}
void replier_WaitingForClose(int64_t id) { w.upstreams[id].waiting_for_close = true; }
void replier_close(int64_t id) { w.upstreams[id].closed = true; }

void edgeserv_return502(int64_t sid, const char*, const char* text) { w.pages[sid].push_back(std::string("502 ") + text); }
void edgeserv_return503(int64_t sid, const char*, const char* text) { w.pages[sid].push_back(std::string("503 ") + text); }
void edgeserv_close(int64_t sid, uint32_t) { ++w.closes[sid]; }
client_rec* edgeserv_GetClient_BySid(int64_t) { return nullptr; }
edgeserv_ctx* edgeserv_GetHandle(void) { return nullptr; }
uint8_t edgeserv_WriteJitter(int64_t sid, const char* data, int32_t len) {
  w.client_bytes[sid].append(data, static_cast<size_t>(len));
  return 1;
}
uint32_t edgeserv_GetWritableLen(int64_t sid) { return w.client_backlog[sid]; }
void edgeserv_AddWritableNotice(int64_t, edgeserv_writable_fn, void*) {}
void edgeserv_DelWritableNotice(int64_t) {}
void edgeserv_ImportSock_ForWrite(int64_t) {}
void edgeserv_ImportSock_ForRead(int64_t sid) { w.client_reading[sid] = true; }
void edgeserv_ExportSock_ForRead(int64_t sid) { w.client_reading[sid] = false; }

uint8_t reqgate_ResponseInput_v3(int64_t, const char* data, uint32_t len, reqgate_writer client, reqgate_writer) {
  (void)data;
  (void)len;
  (void)client;
  return 1;
}
void reqgate_OnResponseClose(int64_t) {}
uint8_t reqgate_DropResponse(int64_t sid) {
  w.dropped.push_back(sid);
  return 1;
}

uint8_t policydb_system_get_IsUsedPageViewStat(void) { return 0; }
uint32_t policydb_system_get_MaxUpstreamConnections(void) { return w.max_upstreams; }
uint8_t policydb_system_get_UseExpiredCacheWhenUpstreamIsFail(void) { return 1; }
uint32_t policydb_system_get_MaxClientSendBuffer(void) { return 32768; }
uint32_t policydb_system_get_MaxClientRecvBuffer(void) { return 8192; }
uint8_t policydb_proxy_stat_SynUpstreamConnectionAdd(uint32_t, uint32_t) { return 1; }
uint8_t policydb_proxy_stat_SynUpstreamConnectionDel(uint32_t, uint32_t) { return 1; }
void policydb_upstream_down_checking(uint32_t, uint32_t, uint8_t) {}

bool wc_gethostbyname(const char* name, char* ip) {
  if (!w.known_names) return false;
  std::strcpy(ip, std::strcmp(name, "origin") == 0 ? "10.0.0.7" : name);
  return true;
}
bool nameres_HitAnyCache(const char* name, char* ip) { return wc_gethostbyname(name, ip); }
vor_box* vor_bigbox_InvokeSlaveBox(vor_bigbox*) { return w.on_slave ? reinterpret_cast<vor_box*>(0x1) : nullptr; }

}  // extern "C"

namespace {

vor_bigbox* const kBigbox = reinterpret_cast<vor_bigbox*>(0x1);

class Pipe : public ::testing::Test {
 protected:
  void SetUp() override {
    w = World{};
    static bool initialised = false;
    if (!initialised) conduit_module_init(nullptr);
    initialised = true;
  }
  void TearDown() override {
    for (int64_t client = 1; client < 20; ++client) conduit_on_close(nullptr, client);
  }
  static int64_t build(int64_t client, const char* host) {
    return conduit_BuildResponseSid_v2(kBigbox, host, client, 0xFFFFFFFFu, 0xFFFFFFFFu);
  }
};

TEST_F(Pipe, ReusedForTheSameHostTextWithoutRegardToCase) {
  const int64_t first = build(1, "origin:8080");
  ASSERT_GT(first, 0);
  EXPECT_EQ(w.upstreams[first].closed, false);
  EXPECT_EQ(build(1, "ORIGIN:8080"), first);
  EXPECT_EQ(conduit_GetNumOfConnections(), 1u);
}

TEST_F(Pipe, ReplacedForAnotherHostTextOrAClosedUpstream) {
  struct Row {
    const char* first;
    const char* second;
  };
  for (const Row& row : {Row{"origin:8080", "origin"}, Row{"origin", "origin:80"}, Row{"a", "b"}}) {
    const int64_t first = build(2, row.first);
    const int64_t second = build(2, row.second);
    EXPECT_NE(second, first) << row.first << " then " << row.second;
    EXPECT_TRUE(w.upstreams[first].closed);
    EXPECT_EQ(conduit_GetAnotherSid(2), second);
    conduit_on_close(nullptr, 2);
  }
  const int64_t open = build(3, "origin");
  w.on_closed(nullptr, open);
  EXPECT_EQ(w.closes[3], 1) << "the client's close is queued behind the answer";
  EXPECT_NE(build(3, "origin"), open) << "a closed pipe is never reused";
}

TEST_F(Pipe, ConnectsToPort80WhenThePortIsMissingOrZero) {
  EXPECT_GT(build(4, "origin:0"), 0);
  EXPECT_EQ(w.last_port, 80);
  EXPECT_GT(build(5, "origin"), 0);
  EXPECT_EQ(w.last_port, 80);
  EXPECT_GT(build(6, "origin:8081"), 0);
  EXPECT_EQ(w.last_port, 8081);
}

TEST_F(Pipe, RetryConnectionsCountTowardTheLimit) {
  w.max_upstreams = 2;
  const int64_t first = build(16, "origin");
  w.on_failed(nullptr, first);  // the retry connection is the second entry
  EXPECT_EQ(conduit_GetNumOfConnections(), 2u);
  EXPECT_EQ(build(7, "origin"), -1);
  ASSERT_EQ(w.pages[7].size(), 1u);
  EXPECT_EQ(w.pages[7][0],
            "503 Service Temporarily Unavailable - Reach To Maximum Upstream Connections Setting");
}

TEST_F(Pipe, FailRetryFailAnswersOne502) {
  const int64_t first = build(8, "origin");
  w.on_failed(nullptr, first);
  EXPECT_TRUE(w.pages[8].empty()) << "the first failure is retried silently";
  EXPECT_TRUE(w.upstreams[first].waiting_for_close);
  const int64_t retry = w.next_id;
  ASSERT_NE(retry, first);
  EXPECT_EQ(conduit_GetAnotherSid(retry), 8);
  EXPECT_EQ(conduit_GetAnotherSid(8), first) << "the client's other end stays the first upstream sid";
  w.on_failed(nullptr, retry);
  ASSERT_EQ(w.pages[8].size(), 1u);
  EXPECT_EQ(w.pages[8][0], "502 Bad Gateway - Cann't Connect To Upstream Server");
  EXPECT_EQ(w.closes[8], 1);
}

TEST_F(Pipe, RetryWithoutACachedAddressAnswers502) {
  const int64_t first = build(9, "origin");
  w.known_names = false;
  w.on_failed(nullptr, first);
  ASSERT_EQ(w.pages[9].size(), 1u);
  EXPECT_EQ(w.pages[9][0], "502 Bad Gateway - Cann't Connect To Upstream Server");
}

TEST_F(Pipe, ClientPausedBehindAFailedUpstreamResumesWithTheRetry) {
  const int64_t first = build(10, "origin");
  std::string body(70000, 'x');
  conduit_WriteToResponse(first, body.data(), static_cast<uint32_t>(body.size()));
  EXPECT_FALSE(w.client_reading[10]) << "64 KiB or more waiting pauses the client";
  w.on_failed(nullptr, first);
  const int64_t retry = w.next_id;
  EXPECT_EQ(w.upstreams[retry].queued, 70000) << "the waiting bytes moved to the retry";
  ASSERT_NE(w.upstreams[retry].notice, nullptr) << "the retry's drain resumes the client";
  w.upstreams[retry].queued = 0;
  w.upstreams[retry].notice(nullptr, retry);
  EXPECT_TRUE(w.client_reading[10]);
}

TEST_F(Pipe, SlowClientPausesTheUpstreamUntilItDrains) {
  const int64_t up = build(11, "origin");
  w.client_backlog[11] = 0x3FFFF;
  conduit_WriteToRequest(11, "abc", 3);
  EXPECT_TRUE(w.upstreams[up].reading) << "262,143 bytes waiting is not yet too many";
  w.client_backlog[11] = 0x40000;
  conduit_WriteToRequest(11, "abc", 3);
  EXPECT_FALSE(w.upstreams[up].reading);
  EXPECT_EQ(w.client_bytes[11], "abcabc");
  EXPECT_EQ(conduit_WriteToRequest(12, "abc", 3), 0u) << "a client without a pipe";
}

TEST_F(Pipe, OffTheSlaveThreadsNoPipeIsMade) {
  w.on_slave = false;
  EXPECT_EQ(build(13, "origin"), -1);
  ASSERT_EQ(w.pages[13].size(), 1u);
  EXPECT_EQ(w.pages[13][0], "502 Bad Gateway - Cann't Connect To Upstream Server");
}

TEST_F(Pipe, UnresolvableNameAnswersTheDnsPage) {
  w.known_names = false;
  EXPECT_EQ(build(14, "origin"), -1);
  ASSERT_EQ(w.pages[14].size(), 1u);
  EXPECT_EQ(w.pages[14][0], "502 Bad Gateway - DNS Resolving Fail For Upstream Server");
}

TEST_F(Pipe, ClientCloseClosesBothUpstreams) {
  const int64_t first = build(15, "origin");
  w.on_failed(nullptr, first);
  const int64_t retry = w.next_id;
  conduit_on_close(nullptr, 15);
  EXPECT_TRUE(w.upstreams[first].closed);
  EXPECT_TRUE(w.upstreams[retry].closed);
  EXPECT_EQ(conduit_GetAnotherSid(retry), 0);
  EXPECT_EQ(conduit_GetNumOfConnections(), 0u);
}

}  // namespace
