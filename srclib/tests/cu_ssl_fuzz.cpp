// Arbitrary bytes from the network into a server or a client connection: whatever arrives,
// the layer answers a state and never crashes. The first byte picks the role.
#include "cu_ssl.h"

#include <openssl/bio.h>

#include <cstddef>
#include <cstdint>

namespace {

struct Contexts {
  cu_ssl_ctx server{nullptr}, client{nullptr};
  Contexts() {
    cu_ssl_ctx_init(&server, 60);
    cu_ssl_ctx_init(&client, 60);
    cu_ssl_ctx_SetAlpnSelect_HTTP2(&server);
  }
};

bool known_state(int32_t s) {
  return s == CU_SSL_STATE_OK || s == CU_SSL_STATE_WANT_READ || s == CU_SSL_STATE_WANT_WRITE ||
         s == CU_SSL_STATE_EOF || s == CU_SSL_STATE_CLOSE_NOTIFY || s == CU_SSL_STATE_FATAL;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Contexts ctx;
  if (size < 1) return 0;
  bool server = data[0] & 1;
  bool end_input = data[0] & 2;
  cu_ssl_conn conn{};
  if (!cu_ssl_conn_init(&conn, server ? &ctx.server : &ctx.client)) __builtin_trap();
  if (!server) cu_ssl_conn_SetHostName(&conn, "fuzz.test", 9);
  BIO *ours = nullptr, *peer = nullptr;
  BIO_new_bio_pair(&ours, 0, &peer, 0);
  cu_ssl_conn_SetBIO(&conn, ours, server ? 1 : 0);
  // Two halves, the handshake stepped between them, so split records are covered too.
  size_t half = (size - 1) / 2;
  const uint8_t* parts[2] = {data + 1, data + 1 + half};
  size_t lens[2] = {half, size - 1 - half};
  char buf[4096];
  for (int i = 0; i < 2; ++i) {
    char drain[4096];
    while (BIO_read(peer, drain, sizeof drain) > 0) {
    }
    if (lens[i]) BIO_write(peer, parts[i], static_cast<int>(lens[i]));
    if (i == 1 && end_input) BIO_shutdown_wr(peer);
    cu_ssl_conn_read(&conn, buf, sizeof buf);
    if (!known_state(conn.state)) __builtin_trap();
  }
  cu_ssl_conn_shutdown(&conn);
  cu_ssl_conn_destroy(&conn);
  BIO_free(peer);
  return 0;
}
