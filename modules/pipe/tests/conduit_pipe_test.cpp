// The pipe as a state model: the upstream connection layer, the edge server's writers and the
// request filter are fakes defined here (the program's own definitions take the place of the
// libraries'), so every connect, failure, retry, drain and close is driven by the test and every
// page, pause and close the pipe asks for is seen. Upstream TLS is checked against an OpenSSL
// server over memory BIOs standing in for the origin.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "conduit.h"
#include "cu_malloc.h"
#include "cu_ssl.h"
#include "edgeserv.h"
#include "http_parser.h"
#include "nameres.h"
#include "policydb.h"
#include "reqgate.h"
#include "replier.h"
#include "vor_bigbox.h"
#include "vor_test_identity.h"

namespace {

struct Upstream {
  std::string ip;
  uint16_t port = 0;
  std::string local;
  int64_t queued = 0;  // bytes written and not yet sent
  std::string wire;    // every byte written, in order
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
  bool tls = false;  // the rules speak TLS to every upstream
  cu_ssl_ctx* client_ctx = nullptr;
  client_rec* client = nullptr;
  int saves = 0;
  int restores = 0;
  std::string session;
  std::map<int64_t, std::string> responses;  // response sid -> bytes the filter got
  std::vector<int64_t> response_closes;
  uint8_t filter_answer = 1;
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
int32_t replier_write(int64_t id, const void* data, int32_t len) {
  if (!w.upstreams.count(id)) return -1;
  if (len > 0) w.upstreams[id].wire.append(static_cast<const char*>(data), static_cast<size_t>(len));
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
client_rec* edgeserv_GetClient_BySid(int64_t) { return w.client; }
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

uint8_t reqgate_ResponseInput_v3(int64_t sid, const char* data, uint32_t len, reqgate_writer, reqgate_writer) {
  w.responses[sid].append(data, len);
  return w.filter_answer;
}
void reqgate_OnResponseClose(int64_t sid) { w.response_closes.push_back(sid); }
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
uint8_t policydb_upstream_ssl_NeedSSL(int64_t, uint32_t, uint32_t) { return w.tls ? 1 : 0; }
cu_ssl_conn* policydb_upstream_ssl_ConnNew(int64_t, uint32_t, uint32_t) {
  if (!w.tls) return nullptr;
  cu_ssl_conn_simple settings{w.client_ctx, nullptr};
  return cu_ssl_conn_simple_make(&settings);
}
void policydb_upstream_ssl_ConnFree(cu_ssl_conn* conn) {
  if (!conn) return;
  cu_ssl_conn_destroy(conn);
  _cu_free(conn, __FILE__, __LINE__);
}
void policydb_upstream_ssl_SetSession(cu_ssl_conn* conn, uint32_t, uint32_t) {
  ++w.restores;
  if (!w.session.empty()) cu_ssl_conn_RestoreSession(conn, w.session.data(), static_cast<int32_t>(w.session.size()));
}
void policydb_upstream_ssl_SaveSession(cu_ssl_conn* conn, uint32_t, uint32_t) {
  int32_t len = 0;
  if (!cu_ssl_conn_GetSessionLen(conn, &len) || len <= 0) return;
  std::string der(static_cast<size_t>(len), '\0');
  if (!cu_ssl_conn_SaveSession(conn, der.data(), &len)) return;
  der.resize(static_cast<size_t>(len));
  w.session = der;
  ++w.saves;
}

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

// ---- upstream TLS ----------------------------------------------------------------------------

// The origin's end of a TLS pipe: an OpenSSL server over memory BIOs. It reads what the pipe
// wrote to the upstream connection and answers through the pipe's on-data.
class TlsOrigin {
 public:
  explicit TlsOrigin(int max_version) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_max_proto_version(ctx_, max_version);
    const vor::test::TestIdentity identity("origin");
    SSL_CTX_use_certificate(ctx_, identity.cert());
    SSL_CTX_use_PrivateKey(ctx_, identity.key());
  }
  ~TlsOrigin() {
    if (ssl_) SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }

  // A new connection for the upstream sid.
  void accept(int64_t sid) {
    if (ssl_) SSL_free(ssl_);
    ssl_ = SSL_new(ctx_);
    SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_accept_state(ssl_);
    sid_ = sid;
    taken_ = w.upstreams[sid].wire.size();
    received.clear();
  }
  // Takes what the pipe sent, answers, and hands the answer to the pipe; until nothing moves.
  void exchange() {
    for (int round = 0; round < 20; ++round) {
      const std::string& wire = w.upstreams[sid_].wire;
      const bool input = wire.size() > taken_;
      if (input) BIO_write(SSL_get_rbio(ssl_), wire.data() + taken_, static_cast<int>(wire.size() - taken_));
      taken_ = wire.size();
      char buf[16384];
      for (int n; (n = SSL_read(ssl_, buf, sizeof buf)) > 0;) received.append(buf, static_cast<size_t>(n));
      if (!deliver() && !input) return;
    }
  }
  void send(const std::string& plain) { SSL_write(ssl_, plain.data(), static_cast<int>(plain.size())); }
  void close_notify() { SSL_shutdown(ssl_); }
  // Raw bytes from the origin, past the TLS layer.
  void send_raw(const std::string& bytes) { on_data(bytes); }
  bool handshake_done() const { return ssl_ && SSL_is_init_finished(ssl_); }
  bool resumed() const { return SSL_session_reused(ssl_) == 1; }
  std::string server_name() const {
    const char* n = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
    return n ? n : "";
  }

  std::string received;

 private:
  bool deliver() {
    BIO* out = SSL_get_wbio(ssl_);
    std::string bytes;
    char buf[16384];
    for (int n; (n = BIO_read(out, buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(n));
    if (bytes.empty()) return false;
    on_data(bytes);
    return true;
  }
  // The pipe's buffer holds at least 32,768 bytes whatever arrived.
  void on_data(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size(); at += 32768) {
      std::string block = bytes.substr(at, 32768);
      const auto len = static_cast<int32_t>(block.size());
      block.resize(32768);
      w.on_data(nullptr, sid_, block.data(), len);
    }
  }

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  int64_t sid_ = 0;
  size_t taken_ = 0;
};

cu_ssl_ctx* client_context() {
  static cu_ssl_ctx holder{};
  if (!holder.ctx) {
    cu_ssl_init();
    cu_ssl_ctx_init(&holder, 56);
  }
  return &holder;
}

const std::string kRequest = "GET / HTTP/1.1\r\nHost: www.a.example:8080\r\n\r\n";
const std::string kAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
constexpr char kSslRead[] = "502 Bad Gateway - Cann't Connect To Upstream Server By SSL Read";

class PipeTls : public Pipe, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    Pipe::SetUp();
    w.tls = true;
    w.client_ctx = client_context();
    parser_ = http_parser_make();
    http_parser_parse(parser_, kRequest.data(), static_cast<int32_t>(kRequest.size()));
    client_ = client_rec{};
    client_.parser = parser_;
    w.client = &client_;
  }
  void TearDown() override {
    Pipe::TearDown();
    http_parser_free(parser_);
  }
  // A TLS pipe for the client, connected, its request sent and the handshake done.
  int64_t connect(TlsOrigin& origin, int64_t client) {
    const int64_t up = build(client, "origin");
    conduit_WriteToResponse(up, kRequest.data(), static_cast<uint32_t>(kRequest.size()));
    EXPECT_EQ(w.upstreams[up].wire, "") << "request bytes wait for the handshake";
    origin.accept(up);
    w.on_connected(nullptr, up, 0, 0);
    origin.exchange();
    EXPECT_TRUE(origin.handshake_done());
    return up;
  }

  http_parser* parser_ = nullptr;
  client_rec client_{};
};

TEST_P(PipeTls, RequestWaitsForTheHandshakeAndTheAnswerIsDecrypted) {
  TlsOrigin origin(GetParam());
  const int64_t up = connect(origin, 1);
  EXPECT_EQ(w.last_port, 443) << "a host text without a port names 443 over TLS";
  EXPECT_EQ(conduit_ResponseSSLOn(1), 1);
  EXPECT_EQ(origin.server_name(), "www.a.example") << "the client's Host without its port";
  EXPECT_EQ(origin.received, kRequest);
  origin.send(kAnswer);
  origin.exchange();
  EXPECT_EQ(w.responses[up], kAnswer);
  EXPECT_EQ(w.saves, 2) << "saved at the handshake's end and again once it carried data";
  // A second request on the same pipe goes straight through.
  EXPECT_EQ(build(1, "origin"), up);
  conduit_WriteToResponse(up, kRequest.data(), static_cast<uint32_t>(kRequest.size()));
  origin.exchange();
  EXPECT_EQ(origin.received, kRequest + kRequest);
  origin.send(kAnswer);
  origin.exchange();
  EXPECT_EQ(w.responses[up], kAnswer + kAnswer) << "reading found the queue empty in between";
}

TEST_P(PipeTls, SavedSessionResumesTheNextConnection) {
  TlsOrigin origin(GetParam());
  connect(origin, 1);
  origin.send(kAnswer);
  origin.exchange();
  ASSERT_FALSE(w.session.empty());
  connect(origin, 2);
  EXPECT_TRUE(origin.resumed());
  EXPECT_EQ(w.restores, 2);
}

// How the origin ends its session decides whether the client gets a page behind its answer.
TEST_P(PipeTls, EndOfTheUpstreamSession) {
  struct Row {
    const char* name;
    bool answer_first;
    bool reuse_first;  // a second request on the pipe before the end
    bool garbage;      // a broken record instead of close_notify
    const char* page;  // nullptr: none
    bool ended_as_closed;
  };
  const Row rows[] = {
      {"close_notify behind the answer", true, false, false, nullptr, true},
      {"close_notify before any answer", false, false, false, kSslRead, false},
      {"close_notify on a reused, idle pipe", true, true, false, kSslRead, false},
      {"broken record behind the answer", true, false, true, nullptr, false},
      {"broken record before any answer", false, false, true, kSslRead, false},
  };
  int64_t client = 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TlsOrigin origin(GetParam());
    const int64_t up = connect(origin, client);
    if (row.answer_first) origin.send(kAnswer);
    if (row.reuse_first) {
      origin.exchange();
      ASSERT_EQ(build(client, "origin"), up);
    }
    if (row.garbage) {
      origin.exchange();
      origin.send_raw(std::string("\x17\x03\x03\x00\x05xxxxx", 10));
    } else {
      origin.close_notify();
      origin.exchange();
    }
    if (row.answer_first) {
      EXPECT_EQ(w.responses[up], kAnswer);
    }
    if (row.page) {
      ASSERT_EQ(w.pages[client].size(), 1u);
      EXPECT_EQ(w.pages[client][0], row.page);
    } else {
      EXPECT_TRUE(w.pages[client].empty());
    }
    EXPECT_EQ(w.closes[client], 1);
    EXPECT_EQ(!w.response_closes.empty() && w.response_closes.back() == up, row.ended_as_closed);
    EXPECT_EQ(w.upstreams[up].waiting_for_close, row.page == nullptr);
    w.response_closes.clear();
    ++client;
  }
}

TEST_P(PipeTls, HandshakeFailuresAnswerTheirPage) {
  struct Row {
    std::string bytes;
    const char* page;
  };
  const Row rows[] = {
      {"HTTP/1.1 400 Bad Request\r\n\r\n", "502 Bad Gateway - Cann't Connect To Upstream Server By SSL Exception"},
      {std::string("\x15\x03\x03\x00\x02\x01\x00", 7),
       "502 Bad Gateway - Cann't Connect To Upstream Server By SSL Shutdown"},
  };
  int64_t client = 1;
  for (const Row& row : rows) {
    const int64_t up = build(client, "origin");
    TlsOrigin origin(GetParam());
    origin.accept(up);
    w.on_connected(nullptr, up, 0, 0);
    EXPECT_FALSE(w.upstreams[up].wire.empty()) << "the client hello goes out on connect";
    origin.send_raw(row.bytes);
    ASSERT_EQ(w.pages[client].size(), 1u) << row.page;
    EXPECT_EQ(w.pages[client][0], row.page);
    EXPECT_EQ(w.closes[client], 1);
    ++client;
  }
}

TEST_P(PipeTls, ClientPausedWhileTheHandshakeHoldsItsBytes) {
  const int64_t up = build(3, "origin");
  const std::string body(100000, 'b');
  conduit_WriteToResponse(up, body.data(), static_cast<uint32_t>(body.size()));
  EXPECT_FALSE(w.client_reading[3]) << "bytes held for the handshake count toward the 64 KiB";
  ASSERT_NE(w.upstreams[up].notice, nullptr);
  w.upstreams[up].notice(nullptr, up);
  EXPECT_FALSE(w.client_reading[3]) << "an empty upstream queue does not resume it while bytes are held";
  TlsOrigin origin(GetParam());
  origin.accept(up);
  w.on_connected(nullptr, up, 0, 0);
  origin.exchange();
  EXPECT_EQ(origin.received, body);
  w.upstreams[up].notice(nullptr, up);
  EXPECT_TRUE(w.client_reading[3]);
}

TEST_P(PipeTls, RequestBytesTheQueueCannotTakeEndBothSides) {
  const int64_t up = build(4, "origin");
  const std::string body(17u << 20, 'b');  // past the 16 MiB the handshake may hold
  conduit_WriteToResponse(up, body.data(), static_cast<uint32_t>(body.size()));
  EXPECT_EQ(w.closes[4], 1);
  EXPECT_TRUE(w.upstreams[up].waiting_for_close);
}

TEST_P(PipeTls, RetryConnectionMakesTheHandshake) {
  const int64_t first = build(5, "origin");
  conduit_WriteToResponse(first, kRequest.data(), static_cast<uint32_t>(kRequest.size()));
  w.on_failed(nullptr, first);
  const int64_t retry = w.next_id;
  ASSERT_NE(retry, first);
  EXPECT_EQ(w.last_port, 443);
  TlsOrigin origin(GetParam());
  origin.accept(retry);
  w.on_connected(nullptr, retry, 0, 0);
  origin.exchange();
  EXPECT_EQ(origin.received, kRequest);
  EXPECT_TRUE(w.upstreams[first].wire.empty());
  origin.send(kAnswer);
  origin.exchange();
  EXPECT_EQ(w.responses[first], kAnswer) << "answers are the first upstream sid's response";
}

INSTANTIATE_TEST_SUITE_P(Versions, PipeTls, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == TLS1_2_VERSION ? std::string("Tls12") : std::string("Tls13");
                         });

}  // namespace
