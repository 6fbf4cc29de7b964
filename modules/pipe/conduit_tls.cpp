// TLS towards the upstream: the pipe's connection runs over a memory channel whose reads take
// the ciphertext the upstream sent (queued by the pipe) and whose writes go to the active
// upstream connection. Request bytes wait in a queue of their own until the handshake is done.
// Every function here runs under the pipe's own lock, so one thread at a time drives a connection.
#include <arpa/inet.h>

#include <cstring>

#include "conduit_internal.h"
#include "cu_ssl.h"
#include "policydb.h"
#include "replier.h"
#include "vor_kit.h"

namespace vor::conduit {

namespace {

constexpr uint64_t kBlock = 2048;
constexpr uint64_t kMaxBlocks = 8192;
constexpr int32_t kFlushPiece = 4096;
constexpr size_t kServerName = 256;

constexpr char kBySslShutdown[] = "Bad Gateway - Cann't Connect To Upstream Server By SSL Shutdown";
constexpr char kBySslException[] = "Bad Gateway - Cann't Connect To Upstream Server By SSL Exception";
constexpr char kBySslRead[] = "Bad Gateway - Cann't Connect To Upstream Server By SSL Read";

Pipe* channel_pipe(BIO* bio) { return static_cast<Pipe*>(ssl_bio_GetVariable_ptr(bio)); }

// An empty queue asks OpenSSL to wait for more: the upstream's end of stream arrives as a
// close of the connection, never as a read of nothing.
int channel_read(BIO* bio, char* buf, int size) {
  ssl_bio_clear_retry_flags(bio);
  Pipe* pipe = channel_pipe(bio);
  const uint64_t n = pipe && size > 0 ? cu_xjitter_GetData(&pipe->tls_input, buf, static_cast<uint64_t>(size)) : 0;
  if (n == 0) ssl_bio_set_retry_read(bio);
  return static_cast<int>(n);
}

int channel_write(BIO* bio, const char* data, int len) {
  ssl_bio_clear_retry_flags(bio);
  Pipe* pipe = channel_pipe(bio);
  return pipe ? replier_write(pipe->active(), data, len) : -1;
}

int channel_puts(BIO* bio, const char* text) { return channel_write(bio, text, static_cast<int>(std::strlen(text))); }

const ssl_bio_method kChannel = {0x401, "QuorinZazudazaPipe", channel_write, channel_read, channel_puts, nullptr,
                                 ssl_bio_channel_ctrl, ssl_bio_channel_create, ssl_bio_channel_destroy};

// Encrypts the whole chunk: one write sends at most one record. False when a write fails (the
// peer's close_notify then gets ours).
bool write_all(Pipe* pipe, const char* data, uint32_t len) {
  while (len > 0) {
    const int32_t n = cu_ssl_conn_write(pipe->tls, data, static_cast<int32_t>(len));
    if (n <= 0) {
      if (pipe->tls->state == CU_SSL_STATE_CLOSE_NOTIFY) cu_ssl_conn_shutdown(pipe->tls);
      return false;
    }
    data += n;
    len -= static_cast<uint32_t>(n);
  }
  return true;
}

// Sends what waited for the handshake, a piece at a time, until it is sent or a write fails.
void flush_held(Pipe* pipe) {
  char piece[kFlushPiece];
  while (cu_xjitter_GetLen(&pipe->tls_output) > 0) {
    const uint64_t n = cu_xjitter_GetData(&pipe->tls_output, piece, sizeof piece);
    if (!write_all(pipe, piece, static_cast<uint32_t>(n))) return;
  }
}

bool append(cu_xjitter* queue, const char* data, uint64_t len) {
  return len == 0 || cu_xjitter_SetData(queue, data, len) == len;
}

void save_session(Pipe* pipe) { policydb_upstream_ssl_SaveSession(pipe->tls, pipe->user_id, pipe->host_id); }

// An address is never sent as a server name.
bool is_address(const char* name) {
  unsigned char scratch[16];
  return inet_pton(AF_INET, name, scratch) == 1 || inet_pton(AF_INET6, name, scratch) == 1;
}

Decrypted handshake_failed(Pipe* pipe) {
  switch (pipe->tls->state) {
    case CU_SSL_STATE_CLOSE_NOTIFY:
      cu_ssl_conn_shutdown(pipe->tls);
      return {Decrypted::kPage, 0, kBySslShutdown};
    case CU_SSL_STATE_FATAL:
      return {Decrypted::kPage, 0, kBySslException};
    default:
      return {Decrypted::kWait, 0, nullptr};
  }
}

// Nothing decrypted: an upstream that ends its session before any answer gets the client a
// page; one that ends it after answering (its Connection: close, an idle kept-alive upstream)
// ends like a closed connection, with no page behind the answer.
Decrypted nothing_read(Pipe* pipe) {
  const int32_t state = pipe->tls->state;
  if (state != CU_SSL_STATE_CLOSE_NOTIFY && state != CU_SSL_STATE_FATAL) return {Decrypted::kWait, 0, nullptr};
  if (state == CU_SSL_STATE_CLOSE_NOTIFY) cu_ssl_conn_shutdown(pipe->tls);
  if (!pipe->answered) return {Decrypted::kPage, 0, kBySslRead};
  return {state == CU_SSL_STATE_CLOSE_NOTIFY ? Decrypted::kEndAsClosed : Decrypted::kEndBoth, 0, nullptr};
}

}  // namespace

bool tls_attach(Pipe* pipe, cu_ssl_conn* conn, cu_xmem* pool) {
  BIO* bio = ssl_bio_create(&kChannel);
  if (!bio) {
    vor::console_line("ssl_bio_create() failed\r\n");
    return false;
  }
  ssl_bio_SetVariable_ptr(bio, pipe);
  if (!cu_ssl_conn_SetBIO(conn, bio, 0)) {
    ssl_bio_free(bio);
    return false;
  }
  cu_xjitter_init(&pipe->tls_input, pool, kBlock, kMaxBlocks);
  cu_xjitter_init(&pipe->tls_output, pool, kBlock, kMaxBlocks);
  pipe->tls = conn;
  pipe->tls_on = 1;
  return true;
}

void tls_release(Pipe* pipe) {
  if (!pipe->tls_on) return;
  policydb_upstream_ssl_ConnFree(pipe->tls);
  cu_xjitter_destroy(&pipe->tls_input);
  cu_xjitter_destroy(&pipe->tls_output);
  pipe->tls = nullptr;
  pipe->tls_on = 0;
}

void tls_begin(Pipe* pipe, const char* host_header) {
  char name[kServerName + 1] = {0};
  std::strncpy(name, host_header ? host_header : "", kServerName);
  if (char* colon = std::strchr(name, ':')) *colon = '\0';
  if (name[0] != '\0' && !is_address(name)) cu_ssl_conn_SetHostName(pipe->tls, name, static_cast<int32_t>(std::strlen(name)));
  policydb_upstream_ssl_SetSession(pipe->tls, pipe->user_id, pipe->host_id);
  cu_ssl_conn_handshake(pipe->tls);
}

bool tls_send(Pipe* pipe, const char* data, uint32_t len) {
  if (!pipe->tls->handshake_done) return append(&pipe->tls_output, data, len);
  if (cu_xjitter_GetLen(&pipe->tls_output) == 0) {
    write_all(pipe, data, len);
    return true;
  }
  if (!append(&pipe->tls_output, data, len)) return false;
  flush_held(pipe);
  return true;
}

uint64_t tls_held(Pipe* pipe) { return pipe->tls_on ? cu_xjitter_GetLen(&pipe->tls_output) : 0; }

Decrypted tls_receive(Pipe* pipe, const char* data, int32_t len, char* out) {
  if (len > 0 && !append(&pipe->tls_input, data, static_cast<uint64_t>(len))) return {Decrypted::kEndBoth, 0, nullptr};
  if (!pipe->tls->handshake_done) {
    if (!cu_ssl_conn_handshake(pipe->tls)) return handshake_failed(pipe);
    save_session(pipe);
    flush_held(pipe);
  }
  const int32_t n = cu_ssl_conn_read(pipe->tls, out, kDecryptBatch);
  if (n <= 0) return nothing_read(pipe);
  out[n] = '\0';
  pipe->answered = 1;
  // A TLS 1.3 server sends its ticket after the handshake: the session is saved again once
  // it has carried data.
  if (!pipe->saved_with_data) {
    pipe->saved_with_data = 1;
    save_session(pipe);
  }
  return {Decrypted::kBytes, n, nullptr};
}

}  // namespace vor::conduit
