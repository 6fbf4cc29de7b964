// Connections of several threads at once over shared contexts, as the box threads of a bigbox
// use them: each connection stays on its thread, the contexts and the session cache are shared.
#include "cu_ssl.h"
#include "ssl_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace ssltest;

namespace {

TEST(SslThreads, ConcurrentHandshakesAndExchangesOverSharedContexts) {
  Certs::get();
  Ctx client(60), server(60);
  load_server(server);
  ASSERT_TRUE(cu_ssl_session_SetSessionIDContext(&server.h, "HTTPS", 5));
  ASSERT_TRUE(cu_ssl_session_SetCacheAttribute(&server.h, 300, 64));
  cu_ssl_ctx_SetAlpnSelect_HTTP1(&server.h);
  constexpr int kThreads = 4, kRounds = 10;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      cu_ssl_init();
      for (int i = 0; i < kRounds; ++i) {
        Pair p(&client.h, &server.h);
        if (i % 2) SSL_set_max_proto_version(p.client.ssl, TLS1_2_VERSION);
        if (!p.handshake()) continue;
        std::string msg = "thread " + std::to_string(t) + " round " + std::to_string(i);
        if (cu_ssl_conn_write(&p.client, msg.data(), static_cast<int32_t>(msg.size())) != static_cast<int32_t>(msg.size())) continue;
        if (Pair::read_all(&p.server) != msg) continue;
        cu_ssl_conn_shutdown(&p.client);
        char buf[16];
        if (cu_ssl_conn_read(&p.server, buf, sizeof buf) == 0 && p.server.state == CU_SSL_STATE_CLOSE_NOTIFY) ++ok;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok.load(), kThreads * kRounds);
}

}  // namespace
