// HTTPS in one process: the edge server's context over a bigbox with an https_port listener, a
// server-name hook that moves named connections to a context with an openssl-made certificate,
// and a sub-module that answers each request head; the clients are openssl s_client, curl and
// python ssl.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "edge_fixture.h"
#include "edge_tls_fixture.h"
#include "edgeserv_internal.h"
#include "vor_net_test_util.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

using vor::test::run_shell;
using vor::test::shell_output;

// A context that another thread keeps replacing: each replacement is built in a zeroed holder
// and the old holder is destroyed at once, while handshakes may still use its context.
struct Rotating {
  std::mutex lock;
  cu_ssl_ctx* current = nullptr;

  bool move(SSL* ssl) {
    std::lock_guard<std::mutex> g(lock);
    return current && ssl_conn_ResetCTX(ssl, cu_ssl_ctx_InnerCTX(current));
  }
  bool replace(const std::string& chain, const std::string& key) {
    auto* fresh = new cu_ssl_ctx{};
    if (!edge::test::build_certified(fresh, chain, key)) {
      cu_ssl_ctx_destroy(fresh);
      delete fresh;
      return false;
    }
    cu_ssl_ctx* old;
    {
      std::lock_guard<std::mutex> g(lock);
      old = current;
      current = fresh;
    }
    if (old) cu_ssl_ctx_destroy(old);
    delete old;
    return true;
  }
};

// The names the hook saw, and the contexts it moves accepted names to.
struct Names {
  std::mutex lock;
  std::vector<std::string> seen;
  cu_ssl_ctx certified{};
  cu_ssl_ctx big{};  // a chain bigger than a small send buffer
  Rotating rotating;
  void add(const char* name) {
    std::lock_guard<std::mutex> g(lock);
    seen.push_back(name);
  }
  bool saw(const std::string& name) {
    std::lock_guard<std::mutex> g(lock);
    for (const auto& n : seen)
      if (n == name) return true;
    return false;
  }
};
Names& names() {
  static Names n;
  return n;
}

// "disabled.com" is refused; "big.com" and "rotating.com" get their own contexts; every other
// name (or none) gets the certificate.
uint8_t reset_ctx(SSL* ssl, const char* name) {
  names().add(name);
  const std::string n = name;
  if (n == "disabled.com") return 0;
  if (n == "rotating.com") return names().rotating.move(ssl) ? 1 : 0;
  cu_ssl_ctx* to = n == "big.com" ? &names().big : &names().certified;
  return ssl_conn_ResetCTX(ssl, cu_ssl_ctx_InnerCTX(to)) ? 1 : 0;
}

// Chunks as the slots saw them, each marked with whether reading was paused at the time.
struct Chunks {
  std::mutex lock;
  std::vector<std::string> texts;
  std::atomic<bool> paused{false};
  std::thread resumer;
  void add(const std::string& text) {
    std::lock_guard<std::mutex> g(lock);
    texts.push_back((paused.load() ? "paused:" : "") + text);
  }
  std::vector<std::string> all() {
    std::lock_guard<std::mutex> g(lock);
    return texts;
  }
  void clear() {
    std::lock_guard<std::mutex> g(lock);
    texts.clear();
  }
  // The resumer is started on a slave thread and joined on the test's: both under the lock.
  void start_resumer(std::thread t) {
    std::lock_guard<std::mutex> g(lock);
    resumer = std::move(t);
  }
  void join_resumer() {
    std::thread t;
    {
      std::lock_guard<std::mutex> g(lock);
      t = std::move(resumer);
    }
    if (t.joinable()) t.join();
  }
};
Chunks& chunks() {
  static Chunks c;
  return c;
}

// A head for "/pause" stops reading, as a pending look-up does, and another thread restarts it.
void pause_for_a_while(int64_t sid) {
  edgeserv_ExportSock_ForRead(sid);
  chunks().paused.store(true);
  chunks().start_resumer(std::thread([sid] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    chunks().paused.store(false);
    edgeserv_ImportSock_ForRead(sid);
  }));
}

// One answer per request head, then a close behind it when the client asked for one.
uint8_t answer_heads(edgeserv_ctx*, int64_t sid, const char* chunk, int32_t len, const char*, int32_t) {
  const std::string text(chunk, static_cast<size_t>(len));
  chunks().add(text);
  if (text.find("GET /pause") == 0) pause_for_a_while(sid);
  if (text.find("\r\n\r\n") == std::string::npos) return 1;
  static const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
  edgeserv_WriteJitter(sid, kAnswer, static_cast<int32_t>(sizeof kAnswer - 1));
  if (text.find("Connection: close") != std::string::npos) edgeserv_close(sid, 0);
  return 1;
}

std::atomic<uint16_t> g_accepted_port{0};

uint8_t note_port(edgeserv_ctx*, int64_t sid, const char*, uint16_t) {
  if (client_rec* rec = edgeserv_GetClient_BySid(sid)) g_accepted_port.store(rec->local_port);
  return 1;
}

submodule_desc g_answer = {371, "answer", nullptr, nullptr, note_port, nullptr, answer_heads};
submodule_desc g_small_send = {371, "small-send", nullptr, nullptr, edge::test::small_send_buffer, nullptr, nullptr};
submodule_desc g_over_limit = {371, "over-limit", nullptr, nullptr, edge::test::over_the_limit, nullptr, nullptr};

// The python client of the tests below, by mode (argv: mode, port, argument):
//   big PORT -       names big.com with a 4 KB receive buffer and reads nothing for 300 ms
//                    after its hello; prints the handshake's bytes received, then the answer
//   silent PORT GO   connects and sends nothing until the file GO exists; prints the answer
//   many PORT NAME   20 clients at once, each one request; prints "ok=N failed=N stuck=N"
//   paused PORT -    "GET /pause" and "GET /second" as two records in one send; prints the
//                    number of answers
constexpr char kClient[] = R"(import os, socket, ssl, sys, threading, time
mode, port, arg = sys.argv[1], int(sys.argv[2]), sys.argv[3]

def context():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx

def request(name, path="/", close=True):
    return ("GET %s HTTP/1.1\r\nHost: %s\r\n%s\r\n" % (path, name, "Connection: close\r\n" if close else "")).encode()

def connect(rcvbuf=0):
    sock = socket.socket()
    if rcvbuf: sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.settimeout(20)
    sock.connect(("127.0.0.1", port))
    return sock

def memory_fetch(sock, name, pause, requests):
    """(handshake bytes received, the answers up to the end) over memory BIOs; each request is a
    record of its own, all sent at once."""
    inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context().wrap_bio(inc, out, server_hostname=name)
    def pump():
        data = out.read()
        if data: sock.sendall(data)
    received = 0
    while True:
        try:
            tls.do_handshake(); break
        except ssl.SSLWantReadError:
            pump()
            time.sleep(pause); pause = 0
            more = sock.recv(65536)
            if not more: return received, b"closed in the handshake"
            received += len(more); inc.write(more)
    pump()
    for one in requests: tls.write(one)
    pump()
    got = b""
    while True:
        try:
            data = tls.read(65536)
            if not data: break
            got += data
        except ssl.SSLWantReadError:
            more = sock.recv(65536)
            if not more: break
            inc.write(more)
        except ssl.SSLZeroReturnError:
            break
    return received, got

if mode == "big":
    received, got = memory_fetch(connect(4096), "big.com", 0.3, [request("big.com")])
    print("handshake", received); print(got.decode("latin-1"))
elif mode == "silent":
    sock = connect()
    deadline = time.monotonic() + 20
    while not os.path.exists(arg) and time.monotonic() < deadline: time.sleep(0.01)
    print(memory_fetch(sock, "a.com", 0, [request("a.com")])[1].decode("latin-1"))
elif mode == "paused":
    requests = [request("a.com", "/pause", False), request("a.com", "/second")]
    print(memory_fetch(connect(), "a.com", 0, requests)[1].count(b"HTTP/1.1 200 OK"))
else:
    results, start = [], threading.Barrier(20)
    def one():
        try:
            sock = connect(); start.wait()
            tls = context().wrap_socket(sock, server_hostname=arg)
            tls.sendall(request(arg))
            got = b""
            while True:
                data = tls.recv(65536)
                if not data: break
                got += data
            results.append("ok" if got.endswith(b"hello") else "failed")
        except (ssl.SSLError, ConnectionError):
            results.append("failed")
        except socket.timeout:
            results.append("stuck")
    threads = [threading.Thread(target=one) for _ in range(20)]
    for t in threads: t.start()
    for t in threads: t.join()
    print("ok=%d failed=%d stuck=%d" % tuple(results.count(k) for k in ("ok", "failed", "stuck")))
)";

class Https : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new vor::test::TempDir;
    ASSERT_TRUE(edge::test::make_certificate(*dir_));
    ASSERT_TRUE(edge::test::make_big_chain(*dir_));
    vor::test::write_file(dir_->file("client.py"), kClient);
    cu_ssl_init();
    ASSERT_TRUE(edge::test::build_certified(&names().certified, dir_->file("cert.pem"), dir_->file("key.pem")));
    ASSERT_TRUE(edge::test::build_certified(&names().big, dir_->file("big-chain.pem"), dir_->file("big-key.pem")));
  }
  static void TearDownTestSuite() {
    cu_ssl_ctx_destroy(&names().certified);
    cu_ssl_ctx_destroy(&names().big);
    delete dir_;
  }

  // The sub-modules of the edge server, in walk order.
  virtual std::vector<submodule_desc*> submodules() { return {&g_answer}; }

  void SetUp() override {
    edge_ = std::make_unique<edge::test::Edge>(submodules());
    https_port_ = vor::test::free_port();
    cu_config_SetKey(edge_->ctx()->daemon->config, "system", "https_port",
                     ("127.0.0.1:" + std::to_string(https_port_)).c_str());
    edgeserv_ImportResetCtxFunc(reset_ctx);
    edge::tls_start(edge_->ctx());
  }
  void TearDown() override {
    edge_.reset();
    edgeserv_ImportResetCtxFunc(nullptr);
  }

  // s_client with the options, one request with a close; its whole output.
  std::string s_client(const std::string& options, const std::string& request_host = "a.com") {
    const std::string request = "GET / HTTP/1.1\\r\\nHost: " + request_host + "\\r\\nConnection: close\\r\\n\\r\\n";
    return shell_output("printf '" + request + "' | timeout 20 openssl s_client -connect 127.0.0.1:" +
                        std::to_string(https_port_) + " " + options + " -ign_eof 2>&1; echo \"exit=$?\"");
  }

  // The python client in a mode (see kClient); its whole output.
  std::string client(const std::string& mode, const std::string& arg = "-") {
    return shell_output("timeout 60 python3 " + dir_->file("client.py") + " " + mode + " " +
                        std::to_string(https_port_) + " " + arg + " 2>&1");
  }

  static vor::test::TempDir* dir_;
  std::unique_ptr<edge::test::Edge> edge_;
  uint16_t https_port_ = 0;
};
vor::test::TempDir* Https::dir_ = nullptr;

TEST(HttpsSettings, ProtocolMaskTable) {
  struct Case {
    const char* value;
    int32_t mask;
  };
  const Case kCases[] = {
      {"TLSv1.2", 32},       {"TLSv1 TLSv1.1", 24},       {"TLSv1.1 TLSv1", 16}, {"SSLv2+SSLv3", 6},
      {"nothing", 60},       {"", 60},                    {"TLSv1.0;TLSv1.2", 40}, {"xTLSv1.2", 60},
      {"TLSv1.2x TLSv1", 60},  // only the first "TLSv1" counts, and it is not alone
      {"SSLv3/TLSv1\tTLSv1.2", 44},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(edge::protocol_mask(c.value), c.mask);
  }
}

struct HandshakeCase {
  const char* options;
  const char* expect_in_output;  // NULL: the handshake must fail
  const char* name_seen;         // what the hook got, NULL: no check
};
const HandshakeCase kHandshakes[] = {
    {"-servername a.com -tls1_2", "hello", "a.com"},
    {"-servername a.com -tls1_3", "hello", "a.com"},
    {"-servername A.com:443", "hello", "a.com:443"},  // the hook gets the name lower-cased, as sent
    {"-noservername", "hello", ""},
    {"-servername disabled.com", nullptr, "disabled.com"},  // no certificate on the edge context
    {"-servername a.com -tls1_1 -cipher DEFAULT@SECLEVEL=0", nullptr, nullptr},
};

TEST_F(Https, HandshakeTable) {
  for (const HandshakeCase& c : kHandshakes) {
    SCOPED_TRACE(c.options);
    const std::string out = s_client(c.options);
    if (c.expect_in_output) {
      EXPECT_NE(out.find("HTTP/1.1 200 OK"), std::string::npos) << out;
      EXPECT_NE(out.find(c.expect_in_output), std::string::npos) << out;
      EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
    } else {
      EXPECT_EQ(out.find("HTTP/1.1 200 OK"), std::string::npos) << out;
    }
    if (c.name_seen) {
      EXPECT_TRUE(names().saw(c.name_seen)) << c.name_seen;
    }
  }
  // Every connection ended: failed handshakes close at once, answered ones after their close.
  EXPECT_TRUE(vor::test::wait_until([] { return edgeserv_GetNumOfConnections() == 0; }));
}

TEST_F(Https, SessionIsReused) {
  for (const char* version : {"-tls1_2", "-tls1_3"}) {
    SCOPED_TRACE(version);
    const std::string session = dir_->file(std::string("session") + version);
    const std::string first = s_client(std::string("-servername a.com ") + version + " -sess_out " + session);
    ASSERT_NE(first.find("hello"), std::string::npos) << first;
    const std::string second = s_client(std::string("-servername a.com ") + version + " -sess_in " + session);
    EXPECT_NE(second.find("hello"), std::string::npos) << second;
    EXPECT_NE(second.find("Reused,"), std::string::npos) << second;
  }
}

TEST_F(Https, CurlAskingForHttp2GetsHttp11) {
  const std::string out = shell_output("curl -sk --max-time 20 --http2 -H 'Connection: close' -o /dev/null -w "
                                       "'%{http_code} %{http_version}' https://127.0.0.1:" +
                                       std::to_string(https_port_) + "/");
  EXPECT_EQ(out, "200 1.1");
}

TEST_F(Https, KeptAliveConnectionServesTwoRequests) {
  const std::string url = "https://127.0.0.1:" + std::to_string(https_port_) + "/";
  const std::string out = shell_output("curl -sk --max-time 20 " + url + " " + url);
  EXPECT_EQ(out, "hellohello");
}

TEST_F(Https, RecordKeepsTheListenersPort) {
  const std::string out = s_client("-servername a.com");
  ASSERT_NE(out.find("hello"), std::string::npos) << out;
  EXPECT_EQ(g_accepted_port.load(), https_port_);
}

// A close-delimited answer ends with close_notify: a strict TLS reader sees a clean end.
TEST_F(Https, CloseDelimitedAnswerEndsWithCloseNotify) {
  const std::string script = dir_->file("strict.py");
  vor::test::write_file(script, R"(import socket, ssl, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
raw = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
tls = ctx.wrap_socket(raw, server_hostname="a.com", suppress_ragged_eofs=False)
tls.sendall(b"GET / HTTP/1.1\r\nHost: a.com\r\nConnection: close\r\n\r\n")
got = b""
try:
    while True:
        data = tls.recv(65536)
        if not data: break
        got += data
    print("clean", got.endswith(b"hello"))
except ssl.SSLEOFError:
    print("ragged")
)");
  const std::string out = shell_output("timeout 30 python3 " + script + " " + std::to_string(https_port_) + " 2>&1");
  EXPECT_EQ(out, "clean True\n");
}

// Two requests as two TLS records in one TCP write: the first pauses reading, so the second
// stays in TLS input until reading restarts, and is then served without new bytes arriving.
TEST_F(Https, PausedClientTakesNoFurtherBatchUntilReadingRestarts) {
  chunks().clear();
  const std::string out = client("paused");
  chunks().join_resumer();
  EXPECT_EQ(out, "2\n");
  const std::vector<std::string> seen = chunks().all();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].rfind("GET /pause ", 0), 0u) << seen[0];
  EXPECT_EQ(seen[1].rfind("GET /second ", 0), 0u) << seen[1];  // not "paused:"
}

// The server's first flight (a 20 KB chain) does not fit a 4 KB send buffer while the client
// reads nothing: the handshake waits for room, and the writable socket steps it on.
class HttpsSmallSendBuffer : public Https {
 protected:
  std::vector<submodule_desc*> submodules() override { return {&g_answer, &g_small_send}; }
};

TEST_F(HttpsSmallSendBuffer, BigChainCompletesItsHandshakeAndServes) {
  const std::string out = client("big");
  unsigned long received = 0;
  ASSERT_EQ(sscanf(out.c_str(), "handshake %lu", &received), 1) << out;
  EXPECT_GT(received, 16384u) << out;
  EXPECT_NE(out.find("HTTP/1.1 200 OK"), std::string::npos) << out;
  EXPECT_NE(out.find("hello"), std::string::npos) << out;
}

// A connection over the limit gets its page queued at accept, before any handshake: while the
// client stays silent the pump must not spin on the writable socket, and the page still goes
// out once the client's handshake is done.
class HttpsOverLimit : public Https {
 protected:
  std::vector<submodule_desc*> submodules() override { return {&g_answer, &g_over_limit}; }
};

TEST_F(HttpsOverLimit, SilentClientLeavesThePumpIdleAndThenGetsThePage) {
  const std::string go = dir_->file("go");
  std::string out;
  const uint64_t before = edge::pump_runs();
  std::thread speaker([&] { out = client("silent", go); });
  EXPECT_TRUE(vor::test::wait_until([] { return edgeserv_GetNumOfConnections() == 1; }));
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the client's silence
  const uint64_t while_silent = edge::pump_runs() - before;
  vor::test::write_file(go, "");
  speaker.join();
  EXPECT_LT(while_silent, 10u) << out;
  EXPECT_NE(out.find("HTTP/1.1 503"), std::string::npos) << out;
  EXPECT_NE(out.find("Reach To Maximum Quorin Connections Setting"), std::string::npos) << out;
}

// The hook moves 20 concurrent handshakes to a context that another thread keeps replacing,
// destroying each old one at once: every handshake still completes on the context it was
// given (a context freed under a connection would show as an ASan report here).
TEST_F(Https, ContextReplacedDuringConcurrentHandshakes) {
  const std::string chain = dir_->file("cert.pem"), key = dir_->file("key.pem");
  ASSERT_TRUE(names().rotating.replace(chain, key));
  std::atomic<bool> done{false};
  std::atomic<int> replaced{0};
  std::thread rotator([&] {
    while (!done.load())
      if (names().rotating.replace(chain, key)) replaced.fetch_add(1);
  });
  std::string out;
  for (int round = 0; round < 3; ++round) {
    out = client("many", "rotating.com");
    if (out != "ok=20 failed=0 stuck=0\n") break;
  }
  done.store(true);
  rotator.join();
  EXPECT_EQ(out, "ok=20 failed=0 stuck=0\n");
  EXPECT_GT(replaced.load(), 3);
  EXPECT_TRUE(vor::test::wait_until([] { return edgeserv_GetNumOfConnections() == 0; }));
}

}  // namespace
