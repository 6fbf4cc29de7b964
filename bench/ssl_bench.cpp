// TLS handshakes per second and bulk throughput through a BIO pair, on one thread.
#include "cu_ssl.h"

#include <benchmark/benchmark.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <string>

namespace {

std::string pem_of(int (*write)(BIO*, void*), void* obj) {
  BIO* bio = BIO_new(BIO_s_mem());
  write(bio, obj);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(len));
  BIO_free(bio);
  return text;
}

// A P-256 key and a self-signed certificate made in memory for the bench's server.
struct Identity {
  std::string cert, key;
  Identity() {
    EVP_PKEY* pkey = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, pkey);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_sign(x, pkey, EVP_sha256());
    cert = pem_of([](BIO* b, void* o) { return PEM_write_bio_X509(b, static_cast<X509*>(o)); }, x);
    key = pem_of(
        [](BIO* b, void* o) {
          return PEM_write_bio_PrivateKey(b, static_cast<EVP_PKEY*>(o), nullptr, nullptr, 0, nullptr, nullptr);
        },
        pkey);
    X509_free(x);
    EVP_PKEY_free(pkey);
  }
};

struct Contexts {
  cu_ssl_ctx client{nullptr}, server{nullptr};
  Contexts() {
    static Identity id;
    if (!cu_ssl_ctx_init(&client, 60) || !cu_ssl_ctx_init(&server, 60) ||
        !cu_ssl_ctx_UseCertificateChainString(&server, id.cert.data(), static_cast<int32_t>(id.cert.size()),
                                              id.key.data(), static_cast<int32_t>(id.key.size()), nullptr) ||
        !cu_ssl_ctx_SetECDHCurve(&server, nullptr)) {
      std::abort();
    }
  }
  ~Contexts() {
    cu_ssl_ctx_destroy(&client);
    cu_ssl_ctx_destroy(&server);
  }
};

struct Link {
  cu_ssl_conn client{}, server{};
  Link(Contexts& c, int max_version, size_t buffer) {
    BIO *a = nullptr, *b = nullptr;
    if (!BIO_new_bio_pair(&a, buffer, &b, buffer) || !cu_ssl_conn_init(&client, &c.client) ||
        !cu_ssl_conn_init(&server, &c.server)) {
      std::abort();
    }
    SSL_set_max_proto_version(client.ssl, max_version);
    cu_ssl_conn_SetBIO(&client, a, 0);
    cu_ssl_conn_SetBIO(&server, b, 1);
  }
  ~Link() {
    cu_ssl_conn_destroy(&client);
    cu_ssl_conn_destroy(&server);
  }
  bool handshake() {
    for (int i = 0; i < 20; ++i) {
      bool c = client.handshake_done || cu_ssl_conn_handshake(&client);
      bool s = server.handshake_done || cu_ssl_conn_handshake(&server);
      if (c && s) return true;
    }
    return false;
  }
};

void BM_Handshake(benchmark::State& state) {
  Contexts ctx;
  for (auto _ : state) {
    Link link(ctx, static_cast<int>(state.range(0)), 0);
    if (!link.handshake()) state.SkipWithError("handshake failed");
  }
  state.counters["handshakes/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Handshake)->Arg(TLS1_2_VERSION)->Arg(TLS1_3_VERSION)->Unit(benchmark::kMicrosecond);

// Server to client: each iteration pushes one chunk through and reads it back out.
void BM_Bulk(benchmark::State& state) {
  Contexts ctx;
  Link link(ctx, TLS1_3_VERSION, 256 * 1024);
  if (!link.handshake()) std::abort();
  std::string chunk(static_cast<size_t>(state.range(0)), 'x');
  std::string sink(64 * 1024, '\0');
  int64_t bytes = 0;
  for (auto _ : state) {
    size_t sent = 0;
    while (sent < chunk.size()) {
      int32_t n = cu_ssl_conn_write(&link.server, chunk.data() + sent, static_cast<int32_t>(chunk.size() - sent));
      if (n > 0) sent += static_cast<size_t>(n);
      int32_t r;
      while ((r = cu_ssl_conn_read(&link.client, sink.data(), static_cast<int32_t>(sink.size()))) > 0) bytes += r;
      if (n < 0) {
        state.SkipWithError("write failed");
        break;
      }
    }
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_Bulk)->Arg(16 * 1024)->Arg(256 * 1024);

}  // namespace
