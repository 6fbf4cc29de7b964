// TLS handshakes per second and bulk throughput through a BIO pair, on one thread.
#include "cu_ssl.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "vor_test_identity.h"

namespace {

struct Contexts {
  cu_ssl_ctx client{nullptr}, server{nullptr};
  Contexts() {
    static const vor::test::TestIdentity id("bench");
    const std::string cert = id.cert_pem();
    const std::string key = id.key_pem();
    if (!cu_ssl_ctx_init(&client, 60) || !cu_ssl_ctx_init(&server, 60) ||
        !cu_ssl_ctx_UseCertificateChainString(&server, cert.data(), static_cast<int32_t>(cert.size()), key.data(),
                                              static_cast<int32_t>(key.size()), nullptr) ||
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
