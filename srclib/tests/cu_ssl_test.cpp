// TLS contexts and connections over in-memory BIOs.
#include "cu_malloc.h"
#include "cu_ssl.h"
#include "cu_ssl_internal.h"
#include "ssl_test_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <cstring>
#include <unistd.h>
#include <string>
#include <vector>

using namespace ssltest;
using testing::HasSubstr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// ---------------------------------------------------------------- contexts

struct MaskCase {
  int32_t mask;
  int min_version;
  bool tls12_off;
};
const MaskCase kMasks[] = {
    {60, TLS1_2_VERSION, false},    // SSLv3..TLSv1.2 asked: only TLSv1.2 and TLSv1.3 given
    {0x38, TLS1_2_VERSION, false},  // TLSv1..TLSv1.2
    {0x20, TLS1_2_VERSION, false},  // TLSv1.2 only: TLSv1.3 stays on
    {0x1C, TLS1_3_VERSION, true},   // no TLSv1.2 bit: TLSv1.3 only
    {0, TLS1_3_VERSION, true},      // every bit clear: TLSv1.3 cannot be switched off
};

TEST(SslCtx, ProtocolMaskNeverEnablesOldVersionsAndKeepsTls13) {
  for (const auto& c : kMasks) {
    SCOPED_TRACE(c.mask);
    Ctx ctx(c.mask);
    uint64_t opts = SSL_CTX_get_options(ctx.get());
    EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx.get()), c.min_version);
    EXPECT_EQ(SSL_CTX_get_max_proto_version(ctx.get()), 0);
    EXPECT_TRUE(opts & SSL_OP_NO_SSLv3);
    EXPECT_TRUE(opts & SSL_OP_NO_TLSv1);
    EXPECT_TRUE(opts & SSL_OP_NO_TLSv1_1);
    EXPECT_EQ((opts & SSL_OP_NO_TLSv1_2) != 0, c.tls12_off);
    EXPECT_FALSE(opts & SSL_OP_NO_TLSv1_3);
  }
}

TEST(SslCtx, NewContextHasModesReadAheadAndNoCompression) {
  Ctx ctx(60);
  long want = SSL_MODE_RELEASE_BUFFERS | SSL_MODE_NO_AUTO_CHAIN | SSL_MODE_AUTO_RETRY |
              SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER;
  EXPECT_EQ(SSL_CTX_get_mode(ctx.get()) & want, want);
  EXPECT_EQ(SSL_CTX_get_read_ahead(ctx.get()), 1);
  EXPECT_TRUE(SSL_CTX_get_options(ctx.get()) & SSL_OP_NO_COMPRESSION);
  EXPECT_TRUE(SSL_CTX_get_options(ctx.get()) & SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS);
  EXPECT_TRUE(cu_ssl_ctx_SetPreferServerCipher(&ctx.h) & SSL_OP_CIPHER_SERVER_PREFERENCE);
  EXPECT_EQ(cu_ssl_ctx_InnerCTX(&ctx.h), ctx.get());
}

TEST(SslCtx, DestroyEmptiesHolderAndEmptyHolderIsRefused) {
  cu_ssl_ctx h{nullptr};
  ASSERT_TRUE(cu_ssl_ctx_init(&h, 60));
  cu_ssl_ctx_destroy(&h);
  EXPECT_EQ(h.ctx, nullptr);
  cu_ssl_ctx_destroy(&h);  // empty: left alone
  EXPECT_EQ(cu_ssl_ctx_InnerCTX(&h), nullptr);
  EXPECT_FALSE(cu_ssl_ctx_SetCipherList(&h, nullptr));
  EXPECT_FALSE(cu_ssl_ctx_SetECDHCurve(&h, nullptr));
  EXPECT_FALSE(cu_ssl_ctx_init(nullptr, 60));
  EXPECT_EQ(cu_ssl_ctx_InnerCTX(nullptr), nullptr);
  cu_ssl_ctx_SetAlpnSelect_HTTP2(nullptr);
}

TEST(SslCtx, CipherListDefaultAndRefusal) {
  Ctx ctx(60);
  EXPECT_TRUE(cu_ssl_ctx_SetCipherList(&ctx.h, nullptr));
  EXPECT_FALSE(cu_ssl_ctx_SetCipherList(&ctx.h, "NO-SUCH-CIPHER"));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(SslCtx, ChainFromFileAndFromText) {
  const Certs& cs = Certs::get();
  Ctx a(60);
  EXPECT_TRUE(ssl_ctx_UseCertificateChainFile(a.get(), cs.path("chain.pem").c_str()));
  STACK_OF(X509)* chain = nullptr;
  SSL_CTX_get0_chain_certs(a.get(), &chain);
  EXPECT_EQ(sk_X509_num(chain), 1);
  EXPECT_EQ(ERR_peek_error(), 0u);

  Ctx b(60);
  std::string one = cs.text("server.pem");  // a single certificate ends at "no start line"
  EXPECT_TRUE(ssl_ctx_UseCertificateChainString(b.get(), one.data(), static_cast<int32_t>(one.size())));
  chain = nullptr;
  SSL_CTX_get0_chain_certs(b.get(), &chain);
  EXPECT_TRUE(chain == nullptr || sk_X509_num(chain) == 0);
}

TEST(SslCtx, ReloadingACertificateReplacesItsChain) {
  const Certs& cs = Certs::get();
  Ctx a(60);
  ASSERT_TRUE(ssl_ctx_UseCertificateChainFile(a.get(), cs.path("chain.pem").c_str()));
  ASSERT_TRUE(ssl_ctx_UseCertificateChainFile(a.get(), cs.path("chain.pem").c_str()));
  STACK_OF(X509)* chain = nullptr;
  SSL_CTX_get0_chain_certs(a.get(), &chain);
  EXPECT_EQ(sk_X509_num(chain), 1);
}

TEST(SslCtx, BrokenChainTextsAreRefusedWithTheCallNamed) {
  const Certs& cs = Certs::get();
  std::string first = cs.text("server.pem");
  std::string ca = cs.text("ca.pem");
  std::string broken = first + ca.substr(0, 40) + "!!!!" + ca.substr(60);
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {broken, "PEM_read_bio_X509() failed\r\n"},
      {"not a certificate", "PEM_read_bio_X509_AUX() failed\r\n"},
  };
  for (const auto& c : cases) {
    Ctx ctx(60);
    CaptureStdout();
    EXPECT_FALSE(ssl_ctx_UseCertificateChainString(ctx.get(), c.text.data(), static_cast<int32_t>(c.text.size())));
    EXPECT_EQ(GetCapturedStdout(), c.message);
  }
  Ctx ctx(60);
  CaptureStdout();
  EXPECT_FALSE(ssl_ctx_UseCertificateChainFile(ctx.get(), "/nonexistent/chain.pem"));
  EXPECT_EQ(GetCapturedStdout(), "BIO_new_file(\"/nonexistent/chain.pem\") failed\r\n");
}

TEST(SslCtx, CertificateAndKeyMustMatch) {
  const Certs& cs = Certs::get();
  Ctx good(60);
  EXPECT_TRUE(cu_ssl_ctx_UseCertificateChainFile(&good.h, cs.path("chain.pem").c_str(),
                                                 cs.path("server.key").c_str(), nullptr));
  Ctx bad(60);
  EXPECT_FALSE(cu_ssl_ctx_UseCertificateChainFile(&bad.h, cs.path("server.pem").c_str(),
                                                  cs.path("other.key").c_str(), nullptr));
  std::string cert = cs.text("server.pem"), key = cs.text("other.key");
  Ctx bad_text(60);
  EXPECT_FALSE(cu_ssl_ctx_UseCertificateChainString(&bad_text.h, cert.data(), static_cast<int32_t>(cert.size()),
                                                    key.data(), static_cast<int32_t>(key.size()), nullptr));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

struct PassCase {
  const char* name;
  const char* key;
  const char* list;  // NULL: the default pass phrase
  bool ok;
};
const PassCase kPassCases[] = {
    {"second of two, CR LF CR LF between", "enc.key", "wrong\r\n\r\nsecond-pass", true},
    {"leading break tries empty first", "enc.key", "\nsecond-pass", true},
    {"only wrong phrases", "enc.key", "wrong\nworse\r", false},
    {"default phrase does not fit", "enc.key", nullptr, false},
    {"default phrase fits", "default.key", nullptr, true},
    {"list without the default", "default.key", "other", false},
    {"plain key needs none", "server.key", "unused", true},
};

TEST(SslCtx, PassPhraseListsAreTriedInTurnFromTextAndFile) {
  const Certs& cs = Certs::get();
  for (const auto& c : kPassCases) {
    SCOPED_TRACE(c.name);
    std::string key = cs.text(c.key);
    Ctx text(60);
    EXPECT_EQ(ssl_ctx_UsePrivateKeyString(text.get(), key.data(), static_cast<int32_t>(key.size()), c.list), c.ok);
    Ctx file(60);
    EXPECT_EQ(ssl_ctx_UsePrivateKeyFile(file.get(), cs.path(c.key).c_str(), c.list), c.ok);
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
}

TEST(SslCtx, PassPhraseFileOpensTheKeyAndAMissingFileFails) {
  const Certs& cs = Certs::get();
  std::string list = cs.path("pass.txt");
  write_file(list, "nope\r\nsecond-pass\r\n");
  Ctx ctx(60);
  EXPECT_TRUE(cu_ssl_ctx_UseCertificateChainFile(&ctx.h, cs.path("enc.pem").c_str(), cs.path("enc.key").c_str(),
                                                 list.c_str()));
  Ctx empty_list(60);  // an empty file means the default pass phrase
  std::string empty = cs.path("empty.txt");
  write_file(empty, "");
  EXPECT_TRUE(cu_ssl_ctx_UseCertificateChainFile(&empty_list.h, cs.path("default.pem").c_str(),
                                                 cs.path("default.key").c_str(), empty.c_str()));
  Ctx missing(60);
  EXPECT_FALSE(cu_ssl_ctx_UseCertificateChainFile(&missing.h, cs.path("enc.pem").c_str(), cs.path("enc.key").c_str(),
                                                  "/nonexistent/pass.txt"));
}

TEST(SslCtx, OverlongPassPhraseIsCutToTheBufferWithAWarning) {
  const Certs& cs = Certs::get();
  std::string phrase(1100, 'p');
  for (size_t i = 0; i < phrase.size(); ++i) phrase[i] = static_cast<char>('a' + i % 26);
  std::string cut = phrase.substr(0, PEM_BUFSIZE);
  ASSERT_EQ(run_shell("cd '" + cs.dir() + "' && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 "
               "-aes-128-cbc -pass pass:" + cut + " -out long.key 2>/dev/null"), 0);
  std::string key = cs.text("long.key");
  Ctx ctx(60);
  CaptureStdout();
  EXPECT_TRUE(ssl_ctx_UsePrivateKeyString(ctx.get(), key.data(), static_cast<int32_t>(key.size()), phrase.c_str()));
  EXPECT_THAT(GetCapturedStdout(), HasSubstr(std::to_string(PEM_BUFSIZE)));
}

TEST(SslCtx, TrustedCertificateWithoutFileChangesNothing) {
  Ctx ctx(60);
  EXPECT_TRUE(cu_ssl_ctx_TrustedCertificate(&ctx.h, nullptr, 3));
  EXPECT_EQ(SSL_CTX_get_verify_mode(ctx.get()), SSL_VERIFY_NONE);
  CaptureStdout();
  EXPECT_FALSE(cu_ssl_ctx_TrustedCertificate(&ctx.h, "/nonexistent/ca.pem", 3));
  EXPECT_EQ(GetCapturedStdout(), "SSL_CTX_load_verify_locations(\"/nonexistent/ca.pem\") failed\r\n");
  Ctx ok(60);
  EXPECT_TRUE(cu_ssl_ctx_TrustedCertificate(&ok.h, Certs::get().path("ca.pem").c_str(), 2));
  EXPECT_EQ(SSL_CTX_get_verify_mode(ok.get()), SSL_VERIFY_PEER);
  EXPECT_EQ(SSL_CTX_get_verify_depth(ok.get()), 2);
}

TEST(SslCtx, FilesNamedWithBackslashesLoad) {
  const Certs& cs = Certs::get();
  auto windows = [&](const char* name) { return cs.dir() + "\\" + name; };
  Ctx ctx(60);
  EXPECT_TRUE(cu_ssl_ctx_UseCertificateChainFile(&ctx.h, windows("chain.pem").c_str(), windows("server.key").c_str(),
                                                 nullptr));
  EXPECT_TRUE(cu_ssl_ctx_TrustedCertificate(&ctx.h, windows("ca.pem").c_str(), 2));
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx.get()))), 1);
  EXPECT_TRUE(cu_ssl_ctx_SetDHParam(&ctx.h, windows("dh2048.pem").c_str()));
}

TEST(SslCtx, TrustedCertificateRefusesAFileWithoutCertificates) {
  Ctx ctx(60);
  CaptureStdout();
  EXPECT_FALSE(cu_ssl_ctx_TrustedCertificate(&ctx.h, Certs::get().path("server.key").c_str(), 3));
  EXPECT_THAT(GetCapturedStdout(), HasSubstr("SSL_CTX_load_verify_locations("));
}

TEST(SslCtx, EcdhCurveDefaultAndUnknownName) {
  Ctx ctx(60);
  EXPECT_TRUE(cu_ssl_ctx_SetECDHCurve(&ctx.h, nullptr));
  EXPECT_TRUE(cu_ssl_ctx_SetECDHCurve(&ctx.h, "secp384r1"));
  CaptureStdout();
  EXPECT_FALSE(cu_ssl_ctx_SetECDHCurve(&ctx.h, "nosuchcurve"));
  EXPECT_EQ(GetCapturedStdout(), "Unknown curve name \"nosuchcurve\"\r\n");
}

TEST(SslCtx, DhParametersFromFileAndWeakGroupFallsBackToAuto) {
  const Certs& cs = Certs::get();
  write_file(cs.path("garbage.pem"), "-----BEGIN DH PARAMETERS-----\nAAAA\n-----END DH PARAMETERS-----\n");
  struct Case {
    std::string file;
    bool ok;
    std::string message;
  };
  const Case cases[] = {
      {cs.path("dh2048.pem"), true, ""},
      {cs.path("dh1024.pem"), true,
       "SSL_CTX_set0_tmp_dh_pkey(\"" + cs.path("dh1024.pem") + "\") refused, automatic DH used instead\r\n"},
      {cs.path("garbage.pem"), false, "PEM_read_bio_DHparams(\"" + cs.path("garbage.pem") + "\") failed\r\n"},
      {"/nonexistent/dh.pem", false, "BIO_new_file(\"/nonexistent/dh.pem\") failed\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Ctx ctx(60);
    CaptureStdout();
    EXPECT_EQ(cu_ssl_ctx_SetDHParam(&ctx.h, c.file.c_str()), c.ok);
    EXPECT_EQ(GetCapturedStdout(), c.message);
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
  Ctx builtin(60);
  EXPECT_TRUE(cu_ssl_ctx_SetDHParam(&builtin.h, nullptr));
}

// The built-in group and weak configured groups must still leave DHE suites usable at
// OpenSSL's default security level.
TEST(SslCtx, DheSuiteIsNegotiatedWithAutoGroupsAndAfterARefusedWeakFile) {
  const Certs& cs = Certs::get();
  if (!vor::test::exists(cs.path("rsa.pem"))) {
    ASSERT_EQ(run_shell("cd '" + cs.dir() + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout rsa.key "
                 "-subj /CN=rsa -days 2 -out rsa.pem >/dev/null 2>&1"), 0);
  }
  const std::string files[] = {"", cs.path("dh1024.pem"), cs.path("dh2048.pem")};
  for (const auto& f : files) {
    SCOPED_TRACE(f);
    Ctx srv(60), cli(60);
    load_server(srv, "rsa.pem", "rsa.key");
    CaptureStdout();
    ASSERT_TRUE(cu_ssl_ctx_SetDHParam(&srv.h, f.empty() ? nullptr : f.c_str()));
    GetCapturedStdout();
    ASSERT_TRUE(cu_ssl_ctx_SetCipherList(&cli.h, "DHE-RSA-AES128-GCM-SHA256"));
    Pair p(&cli.h, &srv.h);
    SSL_set_max_proto_version(p.client.ssl, TLS1_2_VERSION);
    ASSERT_TRUE(p.handshake());
    EXPECT_STREQ(cu_ssl_conn_GetCipherName(&p.client), "DHE-RSA-AES128-GCM-SHA256");
  }
}

TEST(SslCtx, CacheAttributesAreSet) {
  Ctx a(60);
  EXPECT_TRUE(cu_ssl_session_SetCacheAttribute(&a.h, 300, 1024));
  EXPECT_EQ(SSL_CTX_get_timeout(a.get()), 300);
  EXPECT_EQ(SSL_CTX_sess_get_cache_size(a.get()), 1024);
  EXPECT_EQ(SSL_CTX_get_session_cache_mode(a.get()), SSL_SESS_CACHE_SERVER);
  Ctx empty(60);  // no text, no certificate: the digest of nothing
  EXPECT_TRUE(cu_ssl_session_SetSessionIDContext(&empty.h, nullptr, 0));
}

// ---------------------------------------------------------------- connections over memory

class SslPair : public testing::Test {
 protected:
  void SetUp() override {
    load_server(server_ctx);
    ERR_clear_error();
  }
  Ctx client_ctx{60};
  Ctx server_ctx{60};
};

TEST_F(SslPair, HandshakeExchangesDataBothWays) {
  Pair p(&client_ctx.h, &server_ctx.h);
  ASSERT_TRUE(p.handshake());
  EXPECT_STREQ(cu_ssl_conn_GetProtocol(&p.client), "TLSv1.3");
  EXPECT_STRNE(cu_ssl_conn_GetCipherName(&p.server), "");
  EXPECT_EQ(cu_ssl_conn_write(&p.client, "hello", 5), 5);
  EXPECT_EQ(Pair::read_all(&p.server), "hello");
  EXPECT_EQ(p.server.state, CU_SSL_STATE_WANT_READ);
  EXPECT_EQ(cu_ssl_conn_write(&p.server, "world!", 6), 6);
  EXPECT_EQ(Pair::read_all(&p.client), "world!");
  EXPECT_EQ(cu_ssl_conn_InnerSSL(&p.client), p.client.ssl);
}

TEST_F(SslPair, ServerWithoutBytesWantsRead) {
  Pair p(&client_ctx.h, &server_ctx.h);
  EXPECT_FALSE(cu_ssl_conn_handshake(&p.server));
  EXPECT_EQ(p.server.state, CU_SSL_STATE_WANT_READ);
  char buf[16];
  EXPECT_EQ(cu_ssl_conn_read(&p.server, buf, sizeof buf), -1);
  EXPECT_EQ(p.server.state, CU_SSL_STATE_WANT_READ);
  // The client's first write sends its hello and then waits for the server.
  EXPECT_EQ(cu_ssl_conn_write(&p.client, "x", 1), -1);
  EXPECT_EQ(p.client.state, CU_SSL_STATE_WANT_READ);
  EXPECT_FALSE(p.to_server.bytes.empty());
}

TEST_F(SslPair, Tls12IsNegotiatedWhenTheClientCapsIt) {
  Pair p(&client_ctx.h, &server_ctx.h);
  SSL_set_max_proto_version(p.client.ssl, TLS1_2_VERSION);
  ASSERT_TRUE(p.handshake());
  EXPECT_STREQ(cu_ssl_conn_GetProtocol(&p.server), "TLSv1.2");
}

TEST_F(SslPair, ServerWithoutTls12RefusesATls12Client) {
  Ctx tls13_only(0x1C);
  load_server(tls13_only);
  Pair p(&client_ctx.h, &tls13_only.h);
  SSL_set_max_proto_version(p.client.ssl, TLS1_2_VERSION);
  EXPECT_FALSE(p.handshake());
  EXPECT_EQ(p.server.state, CU_SSL_STATE_FATAL);
}

TEST_F(SslPair, CloseNotifyIsSentOnceAndReadAsState5) {
  Pair p(&client_ctx.h, &server_ctx.h);
  ASSERT_TRUE(p.handshake());
  Pair::read_all(&p.client);  // session tickets
  size_t before = p.to_server.written;
  cu_ssl_conn_shutdown(&p.client);
  size_t once = p.to_server.written;
  EXPECT_GT(once, before);
  cu_ssl_conn_shutdown(&p.client);
  EXPECT_EQ(p.to_server.written, once);
  char buf[64];
  EXPECT_EQ(cu_ssl_conn_read(&p.server, buf, sizeof buf), 0);
  EXPECT_EQ(p.server.state, CU_SSL_STATE_CLOSE_NOTIFY);
  // The server answers with its own close_notify and never waits for more.
  size_t server_before = p.to_client.written;
  cu_ssl_conn_shutdown(&p.server);
  EXPECT_GT(p.to_client.written, server_before);
  EXPECT_EQ(cu_ssl_conn_read(&p.client, buf, sizeof buf), 0);
  EXPECT_EQ(p.client.state, CU_SSL_STATE_CLOSE_NOTIFY);
}

TEST_F(SslPair, BareEofIsState4AndLeavesNoErrorQueued) {
  Pair p(&client_ctx.h, &server_ctx.h);
  ASSERT_TRUE(p.handshake());
  p.to_server.eof = true;
  char buf[64];
  EXPECT_EQ(cu_ssl_conn_read(&p.server, buf, sizeof buf), 0);
  EXPECT_EQ(p.server.state, CU_SSL_STATE_EOF);
  EXPECT_EQ(ERR_peek_error(), 0u);
  size_t before = p.to_client.written;
  cu_ssl_conn_shutdown(&p.server);
  EXPECT_EQ(p.to_client.written, before);
}

TEST_F(SslPair, EofDuringHandshakeIsState4) {
  Pair p(&client_ctx.h, &server_ctx.h);
  p.to_server.eof = true;
  EXPECT_FALSE(cu_ssl_conn_handshake(&p.server));
  EXPECT_EQ(p.server.state, CU_SSL_STATE_EOF);
}

TEST_F(SslPair, GarbageIsFatalAndShutdownSendsNothing) {
  Pair p(&client_ctx.h, &server_ctx.h);
  p.to_server.bytes = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  EXPECT_FALSE(cu_ssl_conn_handshake(&p.server));
  EXPECT_EQ(p.server.state, CU_SSL_STATE_FATAL);
  size_t before = p.to_client.written;
  cu_ssl_conn_shutdown(&p.server);
  // An alert may have gone out with the failure itself, but shutdown adds no close_notify.
  EXPECT_EQ(p.to_client.written, before);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(SslPair, GarbageAfterHandshakeFailsTheRead) {
  Pair p(&client_ctx.h, &server_ctx.h);
  ASSERT_TRUE(p.handshake());
  p.to_server.bytes = std::string(64, '\x17');
  char buf[64];
  EXPECT_EQ(cu_ssl_conn_read(&p.server, buf, sizeof buf), -1);
  EXPECT_EQ(p.server.state, CU_SSL_STATE_FATAL);
}

TEST_F(SslPair, PartialWriteAnswersTheCountSentAndTheRestFollows) {
  Pair p(&client_ctx.h, &server_ctx.h);
  ASSERT_TRUE(p.handshake());
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
  p.to_client.cap = p.to_client.bytes.size() + 20000;
  int32_t first = cu_ssl_conn_write(&p.server, data.data(), static_cast<int32_t>(data.size()));
  EXPECT_GT(first, 0);
  EXPECT_LT(first, static_cast<int32_t>(data.size()));
  std::string got;
  size_t sent = static_cast<size_t>(std::max(first, 0));
  for (int i = 0; i < 100 && sent < data.size(); ++i) {
    // A copy at another address: the moving-buffer mode allows it.
    std::string rest = data.substr(sent);
    int32_t n = cu_ssl_conn_write(&p.server, rest.data(), static_cast<int32_t>(rest.size()));
    if (n == 0) {
      EXPECT_EQ(p.server.state, CU_SSL_STATE_WANT_WRITE);
    }
    ASSERT_GE(n, 0);
    sent += static_cast<size_t>(n);
    got += Pair::read_all(&p.client);
  }
  got += Pair::read_all(&p.client);
  EXPECT_EQ(sent, data.size());
  EXPECT_EQ(got, data);
}

TEST(SslConn, RecordWithoutSslObject) {
  cu_ssl_conn c{};
  EXPECT_FALSE(cu_ssl_conn_handshake(&c));
  EXPECT_EQ(c.state, CU_SSL_STATE_FATAL);
  char buf[32] = "x";
  c.state = 0;
  EXPECT_EQ(cu_ssl_conn_read(&c, buf, sizeof buf), -1);
  EXPECT_EQ(c.state, CU_SSL_STATE_FATAL);
  c.state = 0;
  EXPECT_EQ(cu_ssl_conn_write(&c, "a", 1), -1);
  EXPECT_EQ(c.state, CU_SSL_STATE_FATAL);
  int32_t len = 32;
  EXPECT_FALSE(cu_ssl_conn_GetSessionLen(&c, &len));
  EXPECT_FALSE(cu_ssl_conn_SaveSession(&c, buf, &len));
  EXPECT_FALSE(cu_ssl_conn_GetSessionID(&c, buf, &len));
  EXPECT_FALSE(cu_ssl_conn_GetSubjectName(&c, buf, sizeof buf));
  EXPECT_FALSE(cu_ssl_conn_GetVerifyResult(&c));
  EXPECT_FALSE(cu_ssl_conn_SetHostName(&c, "a", 1));
  EXPECT_FALSE(cu_ssl_conn_SetBIO(&c, nullptr, 1));
  EXPECT_FALSE(cu_ssl_conn_IsSessionReused(&c));
  EXPECT_STREQ(cu_ssl_conn_GetProtocol(&c), "");
  EXPECT_STREQ(cu_ssl_conn_GetCipherName(&c), "");
  cu_ssl_conn_shutdown(&c);
  cu_ssl_conn_destroy(&c);
  EXPECT_FALSE(cu_ssl_conn_handshake(nullptr));
  EXPECT_EQ(cu_ssl_conn_read(nullptr, buf, 1), -1);
  EXPECT_FALSE(ssl_conn_ResetCTX(nullptr, nullptr));
}

// ---------------------------------------------------------------- SNI and context switch

struct SniSwitch {
  SSL_CTX* other;
  std::string seen;
  int calls = 0;
};

int switch_on_name(SSL* ssl, int*, void* arg) {
  auto* sw = static_cast<SniSwitch*>(arg);
  ++sw->calls;
  char name[257];
  if (!ssl_conn_GetServerName(ssl, name, sizeof name)) return SSL_TLSEXT_ERR_OK;
  sw->seen = name;
  if (sw->seen == "other.test" && !ssl_conn_ResetCTX(ssl, sw->other)) return SSL_TLSEXT_ERR_NOACK;
  return SSL_TLSEXT_ERR_OK;
}

TEST_F(SslPair, ServerNameCallbackSwitchesToTheNamedHostsContext) {
  Ctx other(60);
  load_server(other, "other.pem", "other.key");
  SniSwitch sw{other.get(), "", 0};
  ASSERT_TRUE(cu_ssl_ctx_SetGetServerNameCallback(&server_ctx.h, switch_on_name, &sw));
  Pair p(&client_ctx.h, &server_ctx.h);
  ASSERT_TRUE(cu_ssl_conn_SetHostName(&p.client, "Other.TEST", 10));
  ASSERT_TRUE(p.handshake());
  EXPECT_EQ(sw.seen, "other.test");
  char cn[64];
  ASSERT_TRUE(cu_ssl_conn_GetSubjectNameCN(&p.client, cn, sizeof cn));
  EXPECT_STREQ(cn, "Other.Test");
  char small[5];
  ASSERT_TRUE(cu_ssl_conn_GetServerName(&p.server, small, sizeof small));
  EXPECT_STREQ(small, "othe");
  EXPECT_TRUE(cu_ssl_conn_GetServerName(&p.server, nullptr, 0));
}

TEST_F(SslPair, EmptyOrMissingHostNameSendsNoSni) {
  const char* names[] = {nullptr, ""};
  for (const char* name : names) {
    Pair p(&client_ctx.h, &server_ctx.h);
    EXPECT_TRUE(cu_ssl_conn_SetHostName(&p.client, name, 0));
    ASSERT_TRUE(p.handshake());
    EXPECT_FALSE(cu_ssl_conn_GetServerName(&p.server, nullptr, 0));
  }
  Pair p(&client_ctx.h, &server_ctx.h);
  std::string longest(300, 'a');
  CaptureStdout();  // 256 characters are more than a DNS name may have
  EXPECT_FALSE(cu_ssl_conn_SetHostName(&p.client, longest.c_str(), 300));
  EXPECT_EQ(GetCapturedStdout(), "SSL_set_tlsext_host_name() failed\r\n");
}

TEST_F(SslPair, ResetCtxLeavesExactlyTheNewContextsOptions) {
  Ctx other(60);
  load_server(other, "other.pem", "other.key");
  SSL_CTX_set_options(other.get(), SSL_OP_NO_TICKET);
  ASSERT_TRUE(cu_ssl_ctx_TrustedCertificate(&other.h, Certs::get().path("ca.pem").c_str(), 4));
  cu_ssl_conn c{};
  ASSERT_TRUE(cu_ssl_conn_init(&c, &server_ctx.h));
  SSL_set_options(c.ssl, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
  ASSERT_TRUE(ssl_conn_ResetCTX(c.ssl, other.get()));
  EXPECT_EQ(SSL_get_options(c.ssl), SSL_CTX_get_options(other.get()));
  EXPECT_EQ(SSL_get_verify_mode(c.ssl), SSL_VERIFY_PEER);
  EXPECT_EQ(SSL_get_verify_depth(c.ssl), 4);
  EXPECT_EQ(SSL_get_SSL_CTX(c.ssl), other.get());
  cu_ssl_conn_destroy(&c);
}

// ---------------------------------------------------------------- ALPN

struct AlpnCase {
  bool http2;
  std::string offer;  // wire form
  const char* chosen;
};
const AlpnCase kAlpn[] = {
    {true, std::string("\x02h2\x08http/1.1", 12), "h2"},
    {true, std::string("\x08http/1.1\x02h2", 12), "h2"},  // the server's order decides
    {true, std::string("\x08http/1.1", 9), "http/1.1"},
    {true, std::string("\x06spdy/3", 7), ""},  // no overlap: no ALPN, handshake goes on
    {false, std::string("\x02h2\x08http/1.1", 12), "http/1.1"},
    {false, std::string("\x02h2", 3), ""},
};

TEST_F(SslPair, AlpnSelectionFollowsTheServersList) {
  for (const auto& c : kAlpn) {
    SCOPED_TRACE(c.chosen);
    Ctx srv(60);
    load_server(srv);
    if (c.http2) {
      cu_ssl_ctx_SetAlpnSelect_HTTP2(&srv.h);
    } else {
      ssl_ctx_SetAlpnSelect_HTTP1(srv.get());
    }
    Pair p(&client_ctx.h, &srv.h);
    SSL_set_alpn_protos(p.client.ssl, reinterpret_cast<const unsigned char*>(c.offer.data()),
                        static_cast<unsigned>(c.offer.size()));
    ASSERT_TRUE(p.handshake());
    const unsigned char* proto = nullptr;
    unsigned int len = 0;
    SSL_get0_alpn_selected(p.client.ssl, &proto, &len);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(proto), len), c.chosen);
  }
}

TEST_F(SslPair, NpnAdvertisesTheList) {
  cu_ssl_ctx_SetNextProtos_HTTP2(&server_ctx.h);
  ssl_ctx_SetNextProtos_HTTP1(server_ctx.get());
  cu_ssl_ctx_SetNextProtos_HTTP1(&server_ctx.h);
  Pair p(&client_ctx.h, &server_ctx.h);
  SSL_set_max_proto_version(p.client.ssl, TLS1_2_VERSION);  // NPN is a TLS 1.2 extension
  SSL_CTX_set_next_proto_select_cb(
      client_ctx.get(),
      [](SSL*, unsigned char** out, unsigned char* outlen, const unsigned char* in, unsigned int inlen, void*) {
        static const unsigned char mine[] = "\x08http/1.1";
        SSL_select_next_proto(out, outlen, in, inlen, mine, 9);
        return SSL_TLSEXT_ERR_OK;
      },
      nullptr);
  ASSERT_TRUE(p.handshake());
  const unsigned char* proto = nullptr;
  unsigned int len = 0;
  SSL_get0_next_proto_negotiated(p.client.ssl, &proto, &len);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(proto), len), "http/1.1");
}

// ---------------------------------------------------------------- sessions

class SslSession : public SslPair, public testing::WithParamInterface<int> {};

// The session to resume from: after the handshake the client reads once so that TLS 1.3
// tickets, which arrive after the handshake, are taken in.
std::vector<unsigned char> first_session(cu_ssl_ctx* client, cu_ssl_ctx* server, int max_version) {
  Pair p(client, server);
  SSL_set_max_proto_version(p.client.ssl, max_version);
  EXPECT_TRUE(p.handshake());
  EXPECT_FALSE(cu_ssl_conn_IsSessionReused(&p.client));
  cu_ssl_conn_write(&p.server, "t", 1);
  Pair::read_all(&p.client);
  int32_t need = 0;
  EXPECT_TRUE(cu_ssl_conn_GetSessionLen(&p.client, &need));
  int32_t probe = 0;
  EXPECT_TRUE(cu_ssl_conn_SaveSession(&p.client, nullptr, &probe));
  EXPECT_EQ(probe, need);
  std::vector<unsigned char> der(static_cast<size_t>(need));
  int32_t small = need - 1;
  EXPECT_FALSE(cu_ssl_conn_SaveSession(&p.client, der.data(), &small));
  int32_t len = need + 10;
  EXPECT_TRUE(cu_ssl_conn_SaveSession(&p.client, der.data(), &len));
  EXPECT_EQ(len, need);
  return der;
}

TEST_P(SslSession, SavedSessionIsResumed) {
  ASSERT_TRUE(cu_ssl_session_SetSessionIDContext(&server_ctx.h, "HTTPS", 5));
  ASSERT_TRUE(cu_ssl_session_SetCacheAttribute(&server_ctx.h, 300, 1024));
  std::vector<unsigned char> der = first_session(&client_ctx.h, &server_ctx.h, GetParam());
  Pair p(&client_ctx.h, &server_ctx.h);
  SSL_set_max_proto_version(p.client.ssl, GetParam());
  ASSERT_TRUE(cu_ssl_conn_RestoreSession(&p.client, der.data(), static_cast<int32_t>(der.size())));
  ASSERT_TRUE(p.handshake());
  EXPECT_TRUE(cu_ssl_conn_IsSessionReused(&p.client));
  EXPECT_TRUE(cu_ssl_conn_IsSessionReused(&p.server));
  unsigned char id[SSL_MAX_SSL_SESSION_ID_LENGTH];
  int32_t id_len = sizeof id;
  CaptureStdout();
  EXPECT_TRUE(cu_ssl_conn_GetSessionID(&p.server, id, &id_len));
  EXPECT_THAT(GetCapturedStdout(), HasSubstr("SessionID: "));
}

INSTANTIATE_TEST_SUITE_P(Versions, SslSession, testing::Values(TLS1_2_VERSION, TLS1_3_VERSION));

TEST_F(SslPair, SessionIdContextIsTheDigestOfTextThenCertificate) {
  ASSERT_TRUE(cu_ssl_session_SetSessionIDContext(&server_ctx.h, "HTTPS", 5));
  Pair p(&client_ctx.h, &server_ctx.h);
  ASSERT_TRUE(p.handshake());
  unsigned int len = 0;
  const unsigned char* got = SSL_SESSION_get0_id_context(SSL_get_session(p.server.ssl), &len);
  unsigned char cert_md[EVP_MAX_MD_SIZE], want[EVP_MAX_MD_SIZE];
  unsigned int cert_len = 0, want_len = 0;
  ASSERT_EQ(X509_digest(SSL_CTX_get0_certificate(server_ctx.get()), EVP_sha256(), cert_md, &cert_len), 1);
  std::string input = std::string("HTTPS") + std::string(reinterpret_cast<char*>(cert_md), cert_len);
  ASSERT_EQ(EVP_Digest(input.data(), input.size(), want, &want_len, EVP_sha256(), nullptr), 1);
  ASSERT_EQ(len, want_len);
  EXPECT_EQ(std::memcmp(got, want, len), 0);
}

TEST(SslConn, RestoreSessionRefusesGarbage) {
  Ctx ctx(60);
  cu_ssl_conn c{};
  ASSERT_TRUE(cu_ssl_conn_init(&c, &ctx.h));
  const unsigned char junk[] = {0x30, 0x03, 0x02, 0x01};
  EXPECT_FALSE(cu_ssl_conn_RestoreSession(&c, junk, sizeof junk));
  EXPECT_EQ(ERR_peek_error(), 0u);
  cu_ssl_conn_destroy(&c);
}

// ---------------------------------------------------------------- peer certificate

std::string openssl_out(const std::string& args) {
  std::string out = Certs::get().path("cmd.out");
  EXPECT_EQ(run_shell("openssl " + args + " > '" + out + "'"), 0);
  std::string text = read_file(out);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

TEST_F(SslPair, PeerCertificateQueriesMatchTheOpensslCommand) {
  const Certs& cs = Certs::get();
  ASSERT_TRUE(cu_ssl_ctx_TrustedCertificate(&client_ctx.h, cs.path("ca.pem").c_str(), 4));
  Pair p(&client_ctx.h, &server_ctx.h);
  ASSERT_TRUE(p.handshake());
  char buf[4096];
  ASSERT_TRUE(cu_ssl_conn_GetPeerRawCertificate(&p.client, buf, sizeof buf));
  EXPECT_EQ(std::string(buf), cs.text("server.pem"));
  ASSERT_TRUE(cu_ssl_conn_GetSubjectName(&p.client, buf, sizeof buf));
  EXPECT_STREQ(buf, "/O=Vor Test/CN=localhost");
  ASSERT_TRUE(cu_ssl_conn_GetIssuerName(&p.client, buf, sizeof buf));
  EXPECT_STREQ(buf, "/O=Vor Test/CN=Vor Test CA");
  ASSERT_TRUE(cu_ssl_conn_GetSubjectNameCN(&p.client, buf, sizeof buf));
  EXPECT_STREQ(buf, "localhost");
  ASSERT_TRUE(cu_ssl_conn_GetSerialNumber(&p.client, buf, sizeof buf));
  std::string serial = openssl_out("x509 -noout -serial -in '" + cs.path("server.pem") + "'");
  EXPECT_EQ("serial=" + std::string(buf), serial);
  ASSERT_TRUE(cu_ssl_conn_GetFingerprint(&p.client, buf, sizeof buf));
  std::string fp = openssl_out("x509 -noout -fingerprint -sha256 -in '" + cs.path("server.pem") + "'");
  std::string want;
  for (char ch : fp.substr(fp.find('=') + 1)) {
    if (ch != ':') want += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  }
  EXPECT_EQ(std::string(buf), want);
  char cut[10];  // room for 4 whole bytes
  ASSERT_TRUE(cu_ssl_conn_GetFingerprint(&p.client, cut, sizeof cut));
  EXPECT_EQ(std::string(cut), want.substr(0, 8));
  char tiny[4];
  ASSERT_TRUE(cu_ssl_conn_GetSubjectName(&p.client, tiny, sizeof tiny));
  EXPECT_STREQ(tiny, "/O=");
  // The server asked for no client certificate.
  EXPECT_FALSE(cu_ssl_conn_GetSubjectName(&p.server, buf, sizeof buf));
}

TEST_F(SslPair, VerifyResultAndHostNameCheckAgainstTrustedCa) {
  const Certs& cs = Certs::get();
  ASSERT_TRUE(cu_ssl_ctx_TrustedCertificate(&client_ctx.h, cs.path("ca.pem").c_str(), 4));
  Pair p(&client_ctx.h, &server_ctx.h);
  ASSERT_TRUE(p.handshake());
  EXPECT_TRUE(cu_ssl_conn_GetVerifyResult(&p.client));
  EXPECT_TRUE(cu_ssl_conn_CheckHostName(&p.client, "localhost", 9));
  EXPECT_TRUE(cu_ssl_conn_CheckHostName(&p.client, "LOCALHOST", 9));
  CaptureStdout();
  EXPECT_FALSE(cu_ssl_conn_CheckHostName(&p.client, "evil.test", 9));
  EXPECT_EQ(GetCapturedStdout(), "X509_check_host(evil.test): no match\r\n");
}

TEST_F(SslPair, UntrustedPeerCompletesTheHandshakeButFailsVerification) {
  const Certs& cs = Certs::get();
  ASSERT_TRUE(cu_ssl_ctx_TrustedCertificate(&client_ctx.h, cs.path("nocn.pem").c_str(), 4));
  Pair p(&client_ctx.h, &server_ctx.h);
  ASSERT_TRUE(p.handshake());
  EXPECT_FALSE(cu_ssl_conn_GetVerifyResult(&p.client));
  Ctx no_ca(60);  // and without any CA: not verified either
  Pair p2(&no_ca.h, &server_ctx.h);
  ASSERT_TRUE(p2.handshake());
  EXPECT_FALSE(cu_ssl_conn_GetVerifyResult(&p2.client));
}

TEST_F(SslPair, ServerWithCaFileAsksForAClientCertificateButNeverFailsOnIt) {
  ASSERT_TRUE(cu_ssl_ctx_TrustedCertificate(&server_ctx.h, Certs::get().path("ca.pem").c_str(), 4));
  Pair anonymous(&client_ctx.h, &server_ctx.h);
  ASSERT_TRUE(anonymous.handshake());
  EXPECT_FALSE(cu_ssl_conn_GetVerifyResult(&anonymous.server));
  Ctx with_cert(60);
  load_server(with_cert, "other.pem", "other.key");
  Pair named(&with_cert.h, &server_ctx.h);
  ASSERT_TRUE(named.handshake());
  EXPECT_TRUE(cu_ssl_conn_GetVerifyResult(&named.server));
  char cn[64];
  ASSERT_TRUE(cu_ssl_conn_GetSubjectNameCN(&named.server, cn, sizeof cn));
  EXPECT_STREQ(cn, "Other.Test");
}

TEST_F(SslPair, SubjectWithoutCommonNameHasNoCn) {
  Ctx nocn(60);
  load_server(nocn, "nocn.pem", "nocn.key");
  Pair p(&client_ctx.h, &nocn.h);
  ASSERT_TRUE(p.handshake());
  char buf[128];
  EXPECT_FALSE(cu_ssl_conn_GetSubjectNameCN(&p.client, buf, sizeof buf));
  EXPECT_TRUE(cu_ssl_conn_GetSubjectName(&p.client, buf, sizeof buf));
  EXPECT_STREQ(buf, "/O=No Name");
}

TEST_F(SslPair, CommonNameIsNeverTakenFromAnotherFieldsValue) {
  struct Case {
    const char* cert;
    const char* cn;  // nullptr: no common name
  };
  const Case cases[] = {{"spoof.pem", "real"}, {"spoofnocn.pem", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cert);
    Ctx server(60);
    load_server(server, c.cert, "nocn.key");
    Pair p(&client_ctx.h, &server.h);
    ASSERT_TRUE(p.handshake());
    char buf[128];
    ASSERT_TRUE(cu_ssl_conn_GetSubjectName(&p.client, buf, sizeof buf));
    EXPECT_THAT(buf, HasSubstr("/O=Spoof\\/CN=admin"));
    if (c.cn) {
      ASSERT_TRUE(cu_ssl_conn_GetSubjectNameCN(&p.client, buf, sizeof buf));
      EXPECT_STREQ(buf, c.cn);
    } else {
      EXPECT_FALSE(cu_ssl_conn_GetSubjectNameCN(&p.client, buf, sizeof buf));
    }
  }
}

// ---------------------------------------------------------------- BIO layer

int g_created = 0;
int counting_create(BIO* bio) {
  ++g_created;
  ssl_bio_SetVariable_num(bio, 7);
  return 1;
}
int failing_create(BIO*) { return 0; }
int g_destroyed = 0;
int counting_destroy(BIO*) {
  ++g_destroyed;
  return 1;
}

TEST(SslBio, FieldsAndRetryMarksLiveOnTheBio) {
  const ssl_bio_method m = {0x401, "fields", nullptr, nullptr, nullptr, nullptr, nullptr, counting_create,
                            counting_destroy};
  g_created = g_destroyed = 0;
  BIO* bio = ssl_bio_create(&m);
  ASSERT_NE(bio, nullptr);
  EXPECT_EQ(g_created, 1);
  EXPECT_EQ(ssl_bio_GetVariable_init(bio), 1);
  EXPECT_EQ(ssl_bio_GetVariable_num(bio), 7);
  int x = 0;
  ssl_bio_SetVariable_ptr(bio, &x);
  EXPECT_EQ(ssl_bio_GetVariable_ptr(bio), &x);
  ssl_bio_SetVariable_shutdown(bio, 0);
  EXPECT_EQ(ssl_bio_GetVariable_shutdown(bio), 0);
  ssl_bio_set_retry_read(bio);
  EXPECT_TRUE(BIO_should_retry(bio));
  EXPECT_TRUE(BIO_should_read(bio));
  ssl_bio_clear_retry_flags(bio);
  EXPECT_FALSE(BIO_should_retry(bio));
  ssl_bio_set_retry_write(bio);
  EXPECT_TRUE(BIO_should_write(bio));
  EXPECT_EQ(ssl_bio_GetVariable_flags(bio), BIO_get_flags(bio));
  ssl_bio_SetVariable_flags(bio, 0);
  EXPECT_FALSE(BIO_should_retry(bio));
  ssl_bio_SetVariable_init(bio, 0);
  EXPECT_EQ(BIO_get_init(bio), 0);
  EXPECT_EQ(BIO_flush(bio), 1);  // no control function: flushing succeeds
  ssl_bio_free(bio);
  EXPECT_EQ(g_destroyed, 1);
  ssl_bio_free(nullptr);
  EXPECT_EQ(ssl_bio_create(nullptr), nullptr);
}

TEST(SslBio, FailedCreateAnswersNullWithoutDestroy) {
  const ssl_bio_method m = {0x402, "failing", nullptr, nullptr, nullptr, nullptr, nullptr, failing_create,
                            counting_destroy};
  g_destroyed = 0;
  EXPECT_EQ(ssl_bio_create(&m), nullptr);
  EXPECT_EQ(g_destroyed, 0);
}

TEST_F(SslPair, TheConnectionOwnsAndFreesItsBio) {
  g_lane_destroys = 0;
  {
    Pair p(&client_ctx.h, &server_ctx.h);
    ASSERT_TRUE(p.handshake());
  }
  EXPECT_EQ(g_lane_destroys, 2);
}

// ---------------------------------------------------------------- builders

TEST(SslSimple, ContextBuilderFromFiles) {
  const Certs& cs = Certs::get();
  std::string pass = cs.path("builder_pass.txt");
  write_file(pass, std::string(kEncPass) + "\n");
  cu_ssl_ctx_simple s{};
  s.cert_chain_file = cs.path("enc.pem").c_str();
  std::string key = cs.path("enc.key");
  s.private_key_file = key.c_str();
  s.pass_phrase_file = pass.c_str();
  std::string ca = cs.path("ca.pem");
  s.ca_file = ca.c_str();
  std::string ok_chain = cs.path("enc.pem");
  s.cert_chain_file = ok_chain.c_str();
  cu_ssl_ctx* holder = cu_ssl_ctx_simple_make(&s);
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(SSL_CTX_get_verify_depth(holder->ctx), 1);  // depth below 1 means 1
  EXPECT_EQ(SSL_CTX_get_min_proto_version(holder->ctx), TLS1_2_VERSION);  // mask 0 means 60
  cu_ssl_ctx_destroy(holder);
  _cu_free(holder, "test", __LINE__);

  s.ecdh_curve = "nosuchcurve";
  CaptureStdout();
  EXPECT_EQ(cu_ssl_ctx_simple_make(&s), nullptr);
  GetCapturedStdout();
  s.ecdh_curve = nullptr;
  s.pass_phrase_file = nullptr;  // the default pass phrase does not open enc.key
  EXPECT_EQ(cu_ssl_ctx_simple_make(&s), nullptr);
  s.private_key_file = nullptr;  // no key: no certificate is loaded at all
  holder = cu_ssl_ctx_simple_make(&s);
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(SSL_CTX_get0_certificate(holder->ctx), nullptr);
  cu_ssl_ctx_destroy(holder);
  _cu_free(holder, "test", __LINE__);
}

TEST(SslSimple, ConnectionBuilderSetsTheHostName) {
  Ctx ctx(60);
  cu_ssl_conn_simple s{&ctx.h, "WWW.Example.TEST"};
  cu_ssl_conn* c = cu_ssl_conn_simple_make(&s);
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(SSL_get_servername(c->ssl, TLSEXT_NAMETYPE_host_name), "www.example.test");
  EXPECT_EQ(c->ctx, &ctx.h);
  cu_ssl_conn_destroy(c);
  _cu_free(c, "test", __LINE__);
  cu_ssl_conn_simple no_ctx{nullptr, "a.test"};
  EXPECT_EQ(cu_ssl_conn_simple_make(&no_ctx), nullptr);
  cu_ssl_conn_simple nothing{nullptr, nullptr};
  c = cu_ssl_conn_simple_make(&nothing);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->ssl, nullptr);
  _cu_free(c, "test", __LINE__);
}

// Runs in a fresh copy of this program, where OpenSSL has not allocated yet: with the process
// allocator chosen, a whole exchange works (every block OpenSSL frees or resizes is one of ours).
TEST(SslSetup, ProcessAllocatorCarriesAWholeExchange) {
  if (!std::getenv("VOR_SSL_ROUTE_CHILD")) {
    std::string self = "VOR_SSL_ROUTE_CHILD=1 /proc/" + std::to_string(getpid()) + "/exe "
                       "--gtest_filter=SslSetup.ProcessAllocatorCarriesAWholeExchange >/dev/null 2>&1";
    EXPECT_EQ(run_shell(self), 0);
    return;
  }
  ASSERT_TRUE(cu_ssl_UseProcessAllocator());
  ASSERT_TRUE(cu_ssl_init());
  Ctx client(60), server(60);
  load_server(server);
  Pair p(&client.h, &server.h);
  ASSERT_TRUE(p.handshake());
  std::string big(100000, 'z');
  EXPECT_GT(cu_ssl_conn_write(&p.server, big.data(), static_cast<int32_t>(big.size())), 0);
  EXPECT_FALSE(Pair::read_all(&p.client).empty());
}

TEST(SslSetup, ProcessAllocatorCanOnlyBeChosenBeforeOpensslAllocates) {
  EXPECT_TRUE(cu_ssl_init());
  EXPECT_TRUE(cu_ssl_init());
  Ctx ctx(60);  // OpenSSL has allocated by now
  EXPECT_FALSE(cu_ssl_UseProcessAllocator());
}

}  // namespace
