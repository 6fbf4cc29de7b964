// Helpers of the TLS tests: certificates made once per test program with the openssl command,
// and an in-memory transport between two connections through BIOs of our own method.
#pragma once
#include "cu_ssl.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "vor_tempdir.h"

namespace ssltest {

using vor::test::read_file;
using vor::test::run_shell;
using vor::test::write_file;

constexpr char kEncPass[] = "second-pass";

// Keys and certificates in a fresh temporary folder, made once per process.
class Certs {
 public:
  static const Certs& get() {
    static Certs certs;
    return certs;
  }
  std::string path(const std::string& name) const { return dir_.file(name); }
  std::string text(const std::string& name) const { return read_file(path(name)); }
  const std::string& dir() const { return dir_.path(); }

 private:
  Certs() {
    if (dir_.path().empty()) std::abort();
    make();
  }

  void run(const std::string& cmd) {
    if (run_shell("cd '" + dir() + "' && (" + cmd + ") >>gen.log 2>&1") != 0) {
      std::fprintf(stderr, "certificate set-up failed: %s\n%s\n", cmd.c_str(), read_file(path("gen.log")).c_str());
      std::abort();
    }
  }

  void ec_key(const std::string& name, const std::string& cipher_args = "") {
    run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 " + cipher_args + " -out " + name);
  }

  // A certificate for key signed by the CA, with the subject and subjectAltName given.
  void signed_cert(const std::string& name, const std::string& key, const std::string& subj,
                   const std::string& san, const std::string& passin = "") {
    write_file(path(name + ".ext"), "subjectAltName=" + san + "\n");
    run("openssl req -new -key " + key + passin + " -subj '" + subj + "' -out " + name + ".csr");
    run("openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile " + name +
        ".ext -out " + name);
  }

  void make() {
    ec_key("ca.key");
    run("openssl req -x509 -new -key ca.key -subj '/O=Vor Test/CN=Vor Test CA' -days 2 -out ca.pem");
    ec_key("server.key");
    signed_cert("server.pem", "server.key", "/O=Vor Test/CN=localhost", "DNS:localhost,IP:127.0.0.1");
    ec_key("other.key");
    signed_cert("other.pem", "other.key", "/O=Vor Test/CN=Other.Test", "DNS:other.test");
    ec_key("nocn.key");
    run("openssl req -x509 -new -key nocn.key -subj '/O=No Name' -days 2 -out nocn.pem");
    // An organisation whose value holds "/CN=", with and without a common name of its own.
    run("openssl req -x509 -new -key nocn.key -subj '/O=Spoof\\/CN=admin/CN=real' -days 2 -out spoof.pem");
    run("openssl req -x509 -new -key nocn.key -subj '/O=Spoof\\/CN=admin' -days 2 -out spoofnocn.pem");
    ec_key("enc.key", std::string("-aes-128-cbc -pass pass:") + kEncPass);
    signed_cert("enc.pem", "enc.key", "/CN=enc", "DNS:enc.test", std::string(" -passin pass:") + kEncPass);
    ec_key("default.key", "-aes-128-cbc -pass pass:marbleon");
    signed_cert("default.pem", "default.key", "/CN=default", "DNS:default.test", " -passin pass:marbleon");
    run("cat server.pem ca.pem > chain.pem");
    run("openssl genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out dh2048.pem");
    run("openssl genpkey -genparam -algorithm DH -pkeyopt dh_rfc5114:1 -out dh1024.pem");
  }

  vor::test::TempDir dir_;
};

// A context holder that frees itself.
struct Ctx {
  cu_ssl_ctx h{nullptr};
  Ctx() = default;
  explicit Ctx(int32_t protocols) { EXPECT_TRUE(cu_ssl_ctx_init(&h, protocols)); }
  ~Ctx() { cu_ssl_ctx_destroy(&h); }
  Ctx(const Ctx&) = delete;
  Ctx& operator=(const Ctx&) = delete;
  SSL_CTX* get() { return h.ctx; }
};

// A server context with the certificate and key named (PEM files of Certs).
inline void load_server(Ctx& c, const std::string& cert = "server.pem", const std::string& key = "server.key") {
  const Certs& cs = Certs::get();
  ASSERT_TRUE(cu_ssl_ctx_UseCertificateChainFile(&c.h, cs.path(cert).c_str(), cs.path(key).c_str(), nullptr));
}

// One direction of the in-memory transport.
struct Lane {
  std::string bytes;
  bool eof = false;      // the writer has gone: reads then end without retry
  size_t cap = 1 << 30;  // room for unread bytes; a full lane asks the writer to retry
  size_t written = 0;    // all bytes ever written
};

struct End {
  Lane* in;
  Lane* out;
};

inline int lane_read(BIO* bio, char* buf, int size) {
  ssl_bio_clear_retry_flags(bio);
  auto* end = static_cast<End*>(ssl_bio_GetVariable_ptr(bio));
  if (end->in->bytes.empty()) {
    if (end->in->eof) return 0;
    ssl_bio_set_retry_read(bio);
    return -1;
  }
  size_t n = std::min(end->in->bytes.size(), static_cast<size_t>(size));
  end->in->bytes.copy(buf, n);
  end->in->bytes.erase(0, n);
  return static_cast<int>(n);
}

inline int lane_write(BIO* bio, const char* data, int len) {
  ssl_bio_clear_retry_flags(bio);
  auto* end = static_cast<End*>(ssl_bio_GetVariable_ptr(bio));
  Lane* out = end->out;
  size_t room = out->cap > out->bytes.size() ? out->cap - out->bytes.size() : 0;
  if (room == 0) {
    ssl_bio_set_retry_write(bio);
    return -1;
  }
  size_t n = std::min(room, static_cast<size_t>(len));
  out->bytes.append(data, n);
  out->written += n;
  return static_cast<int>(n);
}

inline std::atomic<int> g_lane_destroys{0};
inline int lane_destroy(BIO*) {
  ++g_lane_destroys;
  return 1;
}

inline const ssl_bio_method kLaneMethod = {0x401, "vor test lane", lane_write, lane_read, nullptr, nullptr,
                                           nullptr, nullptr, lane_destroy};

// A client and a server connection joined by two lanes.
class Pair {
 public:
  Pair(cu_ssl_ctx* client_ctx, cu_ssl_ctx* server_ctx) {
    EXPECT_TRUE(cu_ssl_conn_init(&client, client_ctx));
    EXPECT_TRUE(cu_ssl_conn_init(&server, server_ctx));
    attach(client, client_end, false);
    attach(server, server_end, true);
  }
  ~Pair() {
    cu_ssl_conn_destroy(&client);
    cu_ssl_conn_destroy(&server);
  }
  Pair(const Pair&) = delete;
  Pair& operator=(const Pair&) = delete;

  // Steps both handshakes until both are done or one of them stops for good.
  bool handshake() {
    for (int i = 0; i < 20; ++i) {
      bool c = client.handshake_done || cu_ssl_conn_handshake(&client);
      bool s = server.handshake_done || cu_ssl_conn_handshake(&server);
      if (c && s) return true;
      if (stopped(client) || stopped(server)) return false;
    }
    return false;
  }

  // Reads whatever is readable on conn into a text (up to a bounded number of calls).
  static std::string read_all(cu_ssl_conn* conn) {
    std::string got;
    char buf[16384];
    for (int i = 0; i < 1000; ++i) {
      int32_t n = cu_ssl_conn_read(conn, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

  cu_ssl_conn client{};
  cu_ssl_conn server{};
  Lane to_server, to_client;

 private:
  static bool stopped(const cu_ssl_conn& c) { return c.state == CU_SSL_STATE_FATAL || c.state == CU_SSL_STATE_EOF || c.state == CU_SSL_STATE_CLOSE_NOTIFY; }
  void attach(cu_ssl_conn& conn, End& end, bool is_server) {
    end = is_server ? End{&to_server, &to_client} : End{&to_client, &to_server};
    BIO* bio = ssl_bio_create(&kLaneMethod);
    ASSERT_NE(bio, nullptr);
    ssl_bio_SetVariable_ptr(bio, &end);
    ASSERT_TRUE(cu_ssl_conn_SetBIO(&conn, bio, is_server ? 1 : 0));
  }
  End client_end{}, server_end{};
};

}  // namespace ssltest
