// TLS of proxy hosts and upstreams: the context builders' error table with openssl-made
// certificates and keys, the session clamps, the ssl_protocols keywords, and NeedSSL and
// ConnNew agreeing on every kind of upstream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "policydb.h"
#include "policydb_internal.h"
#include "policydb_proxy.h"
#include "policydb_test_env.h"
#include "vor_tempdir.h"

namespace policydb::test {
namespace {

using vor::test::read_file;
using vor::test::run_shell;

// Two certificates with their keys, and the first key again under a pass phrase.
struct Pems {
  std::string cert_a, key_a, cert_b, key_b, key_a_locked;
};

const Pems& pems() {
  static Pems p = [] {
    vor::test::TempDir dir;
    Pems out;
    for (const char* name : {"a", "b"}) {
      const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + std::string(name) +
                              ".com -keyout " + dir.file(std::string(name) + ".key") + " -out " +
                              dir.file(std::string(name) + ".crt") + " >/dev/null 2>&1";
      EXPECT_EQ(run_shell(cmd), 0);
    }
    EXPECT_EQ(run_shell("openssl pkey -in " + dir.file("a.key") + " -aes256 -passout pass:secret -out " +
                        dir.file("a.locked") + " >/dev/null 2>&1"),
              0);
    out.cert_a = read_file(dir.file("a.crt"));
    out.key_a = read_file(dir.file("a.key"));
    out.cert_b = read_file(dir.file("b.crt"));
    out.key_b = read_file(dir.file("b.key"));
    out.key_a_locked = read_file(dir.file("a.locked"));
    return out;
  }();
  return p;
}

struct BuildCase {
  const char* what;
  const std::string* cert;
  const std::string* key;
  const char* extra;
  int32_t error;
};

TEST(TlsContexts, BuilderErrorTable) {
  const Pems& p = pems();
  const std::string garbage = "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n";
  const BuildCase kCases[] = {
      {"certificate and key", &p.cert_a, &p.key_a, nullptr, 0},
      {"empty extra", &p.cert_a, &p.key_a, "", 0},
      {"extra not a form", &p.cert_a, &p.key_a, "SessionSize", -1},
      {"certificate refused", &garbage, &p.key_a, nullptr, -2},
      {"key refused", &p.cert_a, &garbage, nullptr, -3},
      {"locked key without its pass phrase", &p.cert_a, &p.key_a_locked, nullptr, -3},
      {"locked key, second line fits", &p.cert_a, &p.key_a_locked, "Password=wrong%0D%0Asecret", 0},
      {"key of another certificate", &p.cert_a, &p.key_b, nullptr, -4},
  };
  for (const BuildCase& c : kCases) {
    SCOPED_TRACE(c.what);
    int32_t error = 12345;
    void* ctx = policydb_proxy_ssl_CtxNew(c.cert->c_str(), c.key->c_str(), c.extra, &error);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ctx != nullptr, c.error == 0);
    policydb_proxy_ssl_CtxFree(ctx);
  }
  policydb_proxy_ssl_CtxFree(nullptr);
}

TEST(TlsContexts, SessionSettingsAreClamped) {
  struct Case {
    const char* extra;
    long size;
    long timeout;
  };
  const Case kCases[] = {
      {"SessionSize=10&SessionTimeout=100000", 1024, 86400},
      {"SessionSize=99999&SessionTimeout=1", 20480, 60},
      {"SessionSize=2000&SessionTimeout=600", 2000, 600},
      {"Other=1", 5000, 3600},  // the ssl.ini defaults
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.extra);
    int32_t error = 0;
    auto* holder = static_cast<cu_ssl_ctx*>(
        policydb_proxy_ssl_CtxNew(pems().cert_a.c_str(), pems().key_a.c_str(), c.extra, &error));
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(SSL_CTX_sess_get_cache_size(cu_ssl_ctx_InnerCTX(holder)), c.size);
    EXPECT_EQ(SSL_CTX_get_timeout(cu_ssl_ctx_InnerCTX(holder)), c.timeout);
    policydb_proxy_ssl_CtxFree(holder);
  }
}

// The settings file is read from ../config/ssl/ssl.ini: the test runs from a folder of its own.
class SslIni : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(run_shell("mkdir -p " + dir_.file("bin") + " " + dir_.file("config/ssl")), 0);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.file("bin"));
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    tls::load_settings();
  }
  void write_ini(const std::string& body) {
    vor::test::write_file(dir_.file("config/ssl/ssl.ini"), "[ssl]\r\n" + body);
    tls::load_settings();
  }
  vor::test::TempDir dir_;
  std::filesystem::path old_;
};

TEST_F(SslIni, RefusedSettingsGiveTheirCodes) {
  struct Case {
    const char* ini;
    int32_t error;
  };
  const Case kCases[] = {
      {"ssl_cipher_list=NO-SUCH-CIPHER\r\n", -5},
      {"ssl_ecdh_curve=nosuchcurve\r\n", -100},
      {"ssl_cipher_list=\r\nssl_ecdh_curve=\r\n", 0},  // empty values keep the defaults
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.ini);
    write_ini(c.ini);
    int32_t error = 1;
    void* ctx = policydb_proxy_ssl_CtxNew(pems().cert_a.c_str(), pems().key_a.c_str(), nullptr, &error);
    EXPECT_EQ(error, c.error);
    policydb_proxy_ssl_CtxFree(ctx);
  }
}

TEST(TlsContexts, ProtocolKeywordTable) {
  struct Case {
    const char* value;
    int32_t mask;
  };
  const Case kCases[] = {
      {"TLSv1_1;TLSv1_2", 48}, {"", 60}, {"none", 60}, {"TLSv1 TLSv1.1 TLSv1.2", 56}, {"TLSv1.2 TLSv1", 32},
      {"TLSv1_0", 8},          {"SSLv2/SSLv3", 6},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(tls::protocol_mask(c.value), c.mask);
  }
}

class UpstreamTls : public ::testing::Test {
 protected:
  void SetUp() override {
    t.make_default_db();
    ASSERT_EQ(t.init(), 1);
  }
  Tree t;
};

// For a plain client connection: whether the pipe speaks TLS, and ConnNew agreeing with it.
TEST_F(UpstreamTls, NeedSslAndConnNewAgree) {
  uint32_t wid = 0;
  ASSERT_TRUE(policydb_proxy_append("a.com", 0, "", &wid));
  struct Row {
    const char* what;
    int32_t ssl_opt;
    const char* extra;  // "bad": the client context cannot be built
    bool known;
    bool tls;
  };
  const Row kRows[] = {
      {"never TLS", 0, nullptr, true, false},
      {"TLS with a context whatever the client", 1, nullptr, true, true},
      {"TLS only behind a TLS client", 2, nullptr, true, false},
      {"no context", 2, "bad", true, false},
      {"unknown pair follows the plain client", 0, nullptr, false, false},
  };
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.what);
    uint32_t id = 0;
    ASSERT_TRUE(policydb_upstream_append_ext(wid, "10.0.0.9:443", 1, "", r.ssl_opt, nullptr, nullptr, r.extra, &id));
    const uint32_t asked_wid = r.known ? wid : wid + 1000;
    const uint8_t need = policydb_upstream_ssl_NeedSSL(77, asked_wid, id);
    cu_ssl_conn* conn = policydb_upstream_ssl_ConnNew(77, asked_wid, id);
    EXPECT_EQ(need != 0, r.tls);
    EXPECT_EQ(conn != nullptr, r.tls);
    policydb_upstream_ssl_ConnFree(conn);
  }
  EXPECT_EQ(policydb_upstream_ssl_NeedSSL(77, UINT32_MAX, 1), 0);
  EXPECT_EQ(policydb_upstream_ssl_ConnNew(77, UINT32_MAX, 1), nullptr);
}

// The certificate switch by server name, on a connection that no edge client backs (port 443).
TEST_F(UpstreamTls, ServerNamePicksTheProxysContext) {
  uint32_t wid = 0;
  ASSERT_TRUE(policydb_proxy_append_ext("a.com", 0, "", 1, pems().cert_a.c_str(), pems().key_a.c_str(), nullptr, &wid));
  uint32_t plain = 0;
  ASSERT_TRUE(policydb_proxy_append("b.com", 0, "", &plain));
  struct Case {
    const char* name;
    bool moved;
  };
  const Case kCases[] = {
      {"a.com", true}, {"a.com:443", true}, {"a.com:8443", false}, {"b.com", false}, {"c.com", false}, {"", false},
  };
  SSL_CTX* start = SSL_CTX_new(TLS_method());
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    SSL* ssl = SSL_new(start);
    EXPECT_EQ(policydb_proxy_ssl_CtxReset(ssl, c.name), c.moved ? 1 : 0);
    EXPECT_EQ(SSL_get_SSL_CTX(ssl) != start, c.moved);
    SSL_free(ssl);
  }
  // A disabled proxy keeps the edge server's context.
  ASSERT_TRUE(policydb_proxy_enable_2(wid, 0));
  SSL* ssl = SSL_new(start);
  EXPECT_EQ(policydb_proxy_ssl_CtxReset(ssl, "a.com"), 0);
  SSL_free(ssl);
  SSL_CTX_free(start);
  EXPECT_EQ(policydb_proxy_ssl_CtxReset(nullptr, "a.com"), 0);
}

}  // namespace
}  // namespace policydb::test
