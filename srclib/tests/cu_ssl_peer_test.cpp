// TLS connections against real peers on 127.0.0.1: openssl s_client and curl against our
// server, our client against openssl s_server.
#include "cu_ssl.h"
#include "ssl_test_util.h"
#include "vor_wait.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace ssltest;
using testing::HasSubstr;

namespace {

constexpr int kIoTimeoutMs = static_cast<int>(vor::test::kPatience.count());

int listen_loopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

void set_timeouts(int fd) {
  timeval tv{kIoTimeoutMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int accept_one(int listener) {
  pollfd p{listener, POLLIN, 0};
  if (poll(&p, 1, kIoTimeoutMs) != 1) return -1;
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) set_timeouts(fd);
  return fd;
}

// Connects to 127.0.0.1:port, retrying while the peer process starts.
int connect_loopback(int port) {
  int connected = -1;
  vor::test::wait_until([&] {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      set_timeouts(fd);
      connected = fd;
      return true;
    }
    close(fd);
    return false;
  });
  return connected;
}

// Attaches a socket (blocking, with time-outs) to a connection; the BIO closes it.
bool attach_socket(cu_ssl_conn* conn, int fd, bool server) {
  BIO* bio = BIO_new_socket(fd, BIO_CLOSE);
  return bio && cu_ssl_conn_SetBIO(conn, bio, server ? 1 : 0);
}

bool handshake(cu_ssl_conn* conn) {
  for (int i = 0; i < 50; ++i) {
    if (cu_ssl_conn_handshake(conn)) return true;
    if (conn->state != CU_SSL_STATE_WANT_READ && conn->state != CU_SSL_STATE_WANT_WRITE) return false;
  }
  return false;
}

// Reads until the text holds `until` (or, when empty, until the peer ends the stream).
std::string read_until(cu_ssl_conn* conn, const std::string& until) {
  std::string got;
  char buf[4096];
  for (int i = 0; i < 1000; ++i) {
    int32_t n = cu_ssl_conn_read(conn, buf, sizeof buf);
    if (n > 0) {
      got.append(buf, static_cast<size_t>(n));
      if (!until.empty() && got.find(until) != std::string::npos) break;
      continue;
    }
    if (conn->state != CU_SSL_STATE_WANT_READ) break;
  }
  return got;
}

void write_all(cu_ssl_conn* conn, const std::string& data) {
  size_t sent = 0;
  for (int i = 0; i < 1000 && sent < data.size(); ++i) {
    int32_t n = cu_ssl_conn_write(conn, data.data() + sent, static_cast<int32_t>(data.size() - sent));
    if (n < 0) break;
    sent += static_cast<size_t>(n);
  }
  EXPECT_EQ(sent, data.size());
}

// What our server saw of one client.
struct Served {
  bool handshake = false;
  std::string sni, alpn, protocol, request;
  bool reused = false;
};

// Serves one TLS client on the listener: reads up to `until`, answers `reply`, closes.
Served serve_one(int listener, cu_ssl_ctx* ctx, const std::string& until, const std::string& reply) {
  Served s;
  int fd = accept_one(listener);
  if (fd < 0) return s;
  cu_ssl_conn conn{};
  if (!cu_ssl_conn_init(&conn, ctx) || !attach_socket(&conn, fd, true)) {
    close(fd);
    cu_ssl_conn_destroy(&conn);
    return s;
  }
  s.handshake = handshake(&conn);
  if (s.handshake) {
    char name[257];
    if (cu_ssl_conn_GetServerName(&conn, name, sizeof name)) s.sni = name;
    const unsigned char* proto = nullptr;
    unsigned int len = 0;
    SSL_get0_alpn_selected(conn.ssl, &proto, &len);
    s.alpn.assign(reinterpret_cast<const char*>(proto), len);
    s.protocol = cu_ssl_conn_GetProtocol(&conn);
    s.reused = cu_ssl_conn_IsSessionReused(&conn);
    s.request = read_until(&conn, until);
    write_all(&conn, reply);
  }
  cu_ssl_conn_shutdown(&conn);
  cu_ssl_conn_destroy(&conn);
  return s;
}

// Context holders of our server: localhost by default, other.test chosen by SNI.
class PeerServer : public testing::Test {
 protected:
  static int pick(SSL* ssl, int*, void* arg) {
    char name[257];
    if (ssl_conn_GetServerName(ssl, name, sizeof name) && std::string(name) == "other.test") {
      return ssl_conn_ResetCTX(ssl, static_cast<SSL_CTX*>(arg)) ? SSL_TLSEXT_ERR_OK : SSL_TLSEXT_ERR_NOACK;
    }
    return SSL_TLSEXT_ERR_OK;
  }
  void SetUp() override {
    load_server(main_ctx);
    load_server(other_ctx, "other.pem", "other.key");
    for (Ctx* c : {&main_ctx, &other_ctx}) {
      ASSERT_TRUE(cu_ssl_session_SetSessionIDContext(&c->h, "HTTPS", 5));
      ASSERT_TRUE(cu_ssl_session_SetCacheAttribute(&c->h, 300, 1024));
      cu_ssl_ctx_SetAlpnSelect_HTTP1(&c->h);
    }
    ASSERT_TRUE(cu_ssl_ctx_SetGetServerNameCallback(&main_ctx.h, pick, other_ctx.get()));
    listener = listen_loopback(&port);
    ASSERT_GE(listener, 0);
  }
  void TearDown() override {
    if (listener >= 0) close(listener);
  }

  // Runs the shell command (bounded by `timeout`) while our server serves one client.
  Served run_client(const std::string& cmd, int* rc, const std::string& until, const std::string& reply) {
    Served served;
    std::thread server([&] { served = serve_one(listener, &main_ctx.h, until, reply); });
    *rc = run_shell("timeout 20 " + cmd);
    server.join();
    return served;
  }

  Ctx main_ctx{60};
  Ctx other_ctx{60};
  int listener = -1;
  int port = 0;
};

std::string s_client(int port, const std::string& extra) {
  const Certs& cs = Certs::get();
  return "sh -c \"printf 'ping\\n' | openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
         " -CAfile '" + cs.path("ca.pem") + "' -ign_eof " + extra + "\" > '" + cs.path("s_client.out") +
         "' 2>&1";
}

TEST_F(PeerServer, OpensslClientSwitchesContextBySniAndGetsHttp1ByAlpn) {
  int rc = -1;
  Served s = run_client(s_client(port, "-servername Other.Test -alpn h2,http/1.1"), &rc, "\n", "pong\n");
  std::string out = Certs::get().text("s_client.out");
  EXPECT_EQ(rc, 0) << out;
  EXPECT_TRUE(s.handshake);
  EXPECT_EQ(s.sni, "other.test");
  EXPECT_EQ(s.alpn, "http/1.1");
  EXPECT_EQ(s.request, "ping\n");
  EXPECT_THAT(out, HasSubstr("CN = Other.Test"));
  EXPECT_THAT(out, HasSubstr("ALPN protocol: http/1.1"));
  EXPECT_THAT(out, HasSubstr("Verify return code: 0 (ok)"));
  EXPECT_THAT(out, HasSubstr("pong"));
}

TEST_F(PeerServer, OpensslClientWithoutSniGetsTheDefaultCertificate) {
  int rc = -1;
  Served s = run_client(s_client(port, "-noservername"), &rc, "\n", "pong\n");
  std::string out = Certs::get().text("s_client.out");
  EXPECT_TRUE(s.handshake) << out;
  EXPECT_EQ(s.sni, "");
  EXPECT_THAT(out, HasSubstr("CN = localhost"));
}

class PeerResume : public PeerServer, public testing::WithParamInterface<const char*> {};

TEST_P(PeerResume, OpensslClientResumesItsSavedSession) {
  const Certs& cs = Certs::get();
  std::string sess = cs.path("s_client.sess");
  unlink(sess.c_str());
  int rc = -1;
  Served first = run_client(s_client(port, std::string(GetParam()) + " -sess_out '" + sess + "'"), &rc, "\n", "one\n");
  ASSERT_TRUE(first.handshake) << cs.text("s_client.out");
  EXPECT_FALSE(first.reused);
  Served second = run_client(s_client(port, std::string(GetParam()) + " -sess_in '" + sess + "'"), &rc, "\n", "two\n");
  std::string out = cs.text("s_client.out");
  ASSERT_TRUE(second.handshake) << out;
  EXPECT_TRUE(second.reused) << out;
  EXPECT_THAT(out, HasSubstr("Reused, TLSv1."));
}

INSTANTIATE_TEST_SUITE_P(Versions, PeerResume, testing::Values("-tls1_2", "-tls1_3"));

TEST_F(PeerServer, CurlFetchesOverTls12AndTls13) {
  const Certs& cs = Certs::get();
  const char* versions[][2] = {{"--tlsv1.2 --tls-max 1.2", "TLSv1.2"}, {"--tlsv1.3", "TLSv1.3"}};
  for (auto& v : versions) {
    SCOPED_TRACE(v[1]);
    std::string out = cs.path("curl.out");
    std::string cmd = "curl -sS " + std::string(v[0]) + " --cacert '" + cs.path("ca.pem") + "' --resolve localhost:" +
                      std::to_string(port) + ":127.0.0.1 https://localhost:" + std::to_string(port) +
                      "/ping -o '" + out + "' 2>'" + cs.path("curl.err") + "'";
    int rc = -1;
    Served s = run_client(cmd, &rc, "\r\n\r\n",
                          "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello");
    EXPECT_EQ(rc, 0) << cs.text("curl.err");
    EXPECT_EQ(s.protocol, v[1]);
    EXPECT_EQ(s.alpn, "http/1.1");
    EXPECT_EQ(s.sni, "localhost");
    EXPECT_THAT(s.request, HasSubstr("GET /ping HTTP/1.1\r\n"));
    EXPECT_EQ(read_file(out), "hello");
  }
}

// ---------------------------------------------------------------- our client, openssl s_server

class PeerClient : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cu_ssl_ctx_TrustedCertificate(&ctx.h, Certs::get().path("ca.pem").c_str(), 4));
  }
  void TearDown() override { stop_server(); }

  // Starts `openssl s_server -www` for `accepts` connections on a free port.
  void start_server(int accepts, const std::vector<std::string>& extra = {}) {
    int fd = listen_loopback(&port);
    ASSERT_GE(fd, 0);
    close(fd);
    const Certs& cs = Certs::get();
    std::vector<std::string> args = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                                     "-cert", cs.path("server.pem"), "-key", cs.path("server.key"), "-www",
                                     "-naccept", std::to_string(accepts), "-quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::string log = cs.path("s_server.out");
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    ASSERT_EQ(posix_spawnp(&server_pid, "openssl", &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
  }

  void stop_server() {
    if (server_pid <= 0) return;
    kill(server_pid, SIGTERM);
    waitpid(server_pid, nullptr, 0);
    server_pid = -1;
  }

  // One GET through our client; answers the page.
  std::string fetch(cu_ssl_conn* conn, const char* host) {
    int fd = connect_loopback(port);
    EXPECT_GE(fd, 0);
    if (fd < 0) return "";
    EXPECT_TRUE(cu_ssl_conn_init(conn, &ctx.h));
    EXPECT_TRUE(cu_ssl_conn_SetHostName(conn, host, static_cast<int32_t>(std::strlen(host))));
    if (!session.empty()) {
      EXPECT_TRUE(cu_ssl_conn_RestoreSession(conn, session.data(), static_cast<int32_t>(session.size())));
    }
    EXPECT_TRUE(attach_socket(conn, fd, false));
    EXPECT_TRUE(handshake(conn)) << conn->state;
    write_all(conn, "GET / HTTP/1.0\r\n\r\n");
    std::string page = read_until(conn, "");
    int32_t len = 0;
    if (cu_ssl_conn_GetSessionLen(conn, &len)) {
      session.resize(static_cast<size_t>(len));
      EXPECT_TRUE(cu_ssl_conn_SaveSession(conn, session.data(), &len));
    }
    return page;
  }

  Ctx ctx{56};
  int port = 0;
  pid_t server_pid = -1;
  std::vector<unsigned char> session;
};

TEST_F(PeerClient, OurClientVerifiesAndFetchesFromOpensslServer) {
  start_server(1);
  cu_ssl_conn conn{};
  std::string page = fetch(&conn, "LocalHost");
  EXPECT_THAT(page, HasSubstr("HTTP/1.0 200 ok"));
  EXPECT_THAT(page, HasSubstr("TLSv1.3"));
  EXPECT_TRUE(cu_ssl_conn_GetVerifyResult(&conn));
  EXPECT_TRUE(cu_ssl_conn_CheckHostName(&conn, "localhost", 9));
  EXPECT_TRUE(conn.state == CU_SSL_STATE_CLOSE_NOTIFY || conn.state == CU_SSL_STATE_EOF) << conn.state;
  cu_ssl_conn_shutdown(&conn);
  cu_ssl_conn_destroy(&conn);
}

TEST_F(PeerClient, OurClientResumesWithASessionSavedAfterReading) {
  start_server(2);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    cu_ssl_conn conn{};
    std::string page = fetch(&conn, "localhost");
    EXPECT_THAT(page, HasSubstr("HTTP/1.0 200 ok"));
    EXPECT_EQ(cu_ssl_conn_IsSessionReused(&conn), round == 1);
    cu_ssl_conn_shutdown(&conn);
    cu_ssl_conn_destroy(&conn);
  }
}

TEST_F(PeerClient, OurTls12ClientGetsTls12) {
  start_server(1, {"-tls1_2"});
  cu_ssl_conn conn{};
  std::string page = fetch(&conn, "localhost");
  EXPECT_STREQ(cu_ssl_conn_GetProtocol(&conn), "TLSv1.2");
  EXPECT_THAT(page, HasSubstr("HTTP/1.0 200 ok"));
  cu_ssl_conn_shutdown(&conn);
  cu_ssl_conn_destroy(&conn);
}

}  // namespace
