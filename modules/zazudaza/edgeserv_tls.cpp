// HTTPS: the TLS server context built from ../config/ssl/ssl.ini, the https_port listeners, the
// TLS set-up at accept, the memory channel between OpenSSL and the client's socket, and the TLS
// read step that feeds decrypted batches to the request steps.
//
// One thread per SSL object: after accept a TLS connection is stepped only on its slave thread
// (the read path, the pump and the writers that run there); handshakes never run under a
// record's lock, since the server-name hook takes the rules store's own lock.
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <string>

#include "cu_config.h"
#include "cu_lib.h"
#include "cu_sock.h"
#include "cu_ssl.h"
#include "edgeserv_internal.h"
#include "vor_box.h"

namespace edge {
namespace {

constexpr char kSslIni[] = "../config/ssl/ssl.ini";
constexpr char kSslIniName[] = "config/ssl/ssl.ini";
constexpr int kExtraPorts = 128;
constexpr uint64_t kInputBlock = 2048;
constexpr uint64_t kInputBlocks = 8192;
constexpr int32_t kBatch = 32767;
constexpr int64_t kSessions = 1024;

struct TlsSettings {
  int32_t protocols = CU_SSL_PROTO_DEFAULT;
  int64_t session_timeout = 3600;
  std::string cipher_list;  // empty: the TLS layer's default
  std::string dhparam_file;
  std::string ecdh_curve;
};

cu_ssl_ctx g_server{};
std::atomic<bool> g_server_ready{false};
std::atomic<edgeserv_sni_fn> g_sni_hook{nullptr};

// Decrypted batches go here: one buffer per slave thread.
thread_local char t_batch[kBatch + 1];

const char* value_or_empty(cu_config* config, const char* key) {
  const char* v = cu_config_GetKey(config, "ssl", key);
  return v ? v : "";
}

TlsSettings read_tls_settings() {
  TlsSettings s;
  cu_config* config = cu_config_make(kSslIni);
  if (!config) return s;
  if (const char* v = cu_config_GetKey(config, "ssl", "ssl_protocols")) s.protocols = protocol_mask(v);
  s.session_timeout = cu_config_GetKeyInt64(config, "ssl", "ssl_session_timeout", 3600);
  s.cipher_list = value_or_empty(config, "ssl_cipher_list");
  s.dhparam_file = value_or_empty(config, "ssl_dhparam_file");
  s.ecdh_curve = value_or_empty(config, "ssl_ecdh_curve");
  cu_config_free(config);
  return s;
}

void report_unsupported(edgeserv_ctx* ctx, const char* key) {
  char line[256];
  snprintf(line, sizeof line, "[quorin] '%s' cann't be supported in '%s'!\r\n", key, kSslIniName);
  console_error(line);
  cu_log_error(ctx->log, "%s", line);
}

int sni_callback(SSL* ssl, int*, void*) {
  char name[257] = "";
  if (!ssl_conn_GetServerName(ssl, name, sizeof name)) name[0] = '\0';
  edgeserv_sni_fn hook = g_sni_hook.load(std::memory_order_acquire);
  if (!hook) return SSL_TLSEXT_ERR_NOACK;
  return hook(ssl, name) ? SSL_TLSEXT_ERR_OK : SSL_TLSEXT_ERR_NOACK;
}

// Builds the server context into g_server; on any failure the holder is left empty.
bool build_server_context(edgeserv_ctx* ctx, const TlsSettings& s) {
  cu_ssl_ctx holder{};
  const char* failed = nullptr;
  const std::string dh_path = "../config/ssl/" + s.dhparam_file;
  if (!cu_ssl_ctx_init(&holder, s.protocols))
    failed = "ssl_protocols";
  else if (!cu_ssl_ctx_SetCipherList(&holder, s.cipher_list.empty() ? nullptr : s.cipher_list.c_str()))
    failed = "ssl_cipher_list";
  else if (!cu_ssl_ctx_SetDHParam(&holder, s.dhparam_file.empty() ? nullptr : dh_path.c_str()))
    failed = "ssl_dhparam_file";
  else if (!cu_ssl_ctx_SetECDHCurve(&holder, s.ecdh_curve.empty() ? nullptr : s.ecdh_curve.c_str()))
    failed = "ssl_ecdh_curve";
  if (failed) {
    report_unsupported(ctx, failed);
    cu_ssl_ctx_destroy(&holder);
    return false;
  }
  if (!cu_ssl_ctx_SetGetServerNameCallback(&holder, sni_callback, nullptr) ||
      !cu_ssl_session_SetSessionIDContext(&holder, "HTTPS", 5) ||
      !cu_ssl_session_SetCacheAttribute(&holder, s.session_timeout, kSessions)) {
    cu_ssl_ctx_destroy(&holder);
    return false;
  }
  cu_ssl_ctx_SetAlpnSelect_HTTP1(&holder);
  cu_ssl_ctx_SetNextProtos_HTTP1(&holder);
  g_server = holder;
  g_server_ready.store(true, std::memory_order_release);
  return true;
}

void on_accept_ssl(vor_bigbox* bb, void* ud, int64_t listen_sid, int64_t sid, const char* ip, uint16_t port) {
  accept_client(bb, static_cast<edgeserv_ctx*>(ud), listen_sid, sid, ip, port, true);
}

vor_bigbox* bigbox_of(edgeserv_ctx* ctx) { return ctx && ctx->daemon ? ctx->daemon->bigbox : nullptr; }

int64_t listen_https(edgeserv_ctx* ctx, const char* value, uint16_t* port) {
  const std::string text = value;
  const size_t colon = text.find(':');
  const std::string ip = colon == std::string::npos ? "" : text.substr(0, colon);
  *port = static_cast<uint16_t>(cu_atoll((colon == std::string::npos ? text : text.substr(colon + 1)).c_str()));
  if (*port == 0) return -1;
  return vor_bigbox_attach(bigbox_of(ctx), ip.empty() ? nullptr : ip.c_str(), *port, on_accept_ssl, ctx);
}

void listen_failed(edgeserv_ctx* ctx, const char* line) {
  console_error(line);
  cu_log_error(ctx->log, "%s", line);
}

void attach_https_listeners(edgeserv_ctx* ctx) {
  cu_config* config = ctx->daemon ? ctx->daemon->config : nullptr;
  char line[512];
  uint16_t port = 0;
  if (const char* value = cu_config_GetKey(config, "system", "https_port")) {
    const int64_t sid = listen_https(ctx, value, &port);
    if (sid > 0) {
      ctx->listener = sid;
    } else {
      snprintf(line, sizeof line,
               "[quorin -> zazudaza] config 'quorind.ini -> system -> https_port -> %s' cann't be listened!\r\n", value);
      listen_failed(ctx, line);
    }
  }
  for (int n = 1; n <= kExtraPorts; ++n) {
    char key[32];
    snprintf(key, sizeof key, "https_port_%d", n);
    const char* extra = cu_config_GetKey(config, "system", key);
    if (!extra || listen_https(ctx, extra, &port) > 0) continue;
    snprintf(line, sizeof line, "[quorin -> zazudaza] config 'quorind.ini -> system -> %s -> %d' cann't be listened!\r\n",
             key, static_cast<int>(port));
    listen_failed(ctx, line);
  }
}

// --- the memory channel ----------------------------------------------------------------------

client_rec* channel_client(BIO* bio) { return static_cast<client_rec*>(ssl_bio_GetVariable_ptr(bio)); }

int channel_read(BIO* bio, char* buf, int size) {
  ssl_bio_clear_retry_flags(bio);
  client_rec* rec = channel_client(bio);
  const uint64_t n = rec && size > 0 ? cu_xjitter_GetData(&rec->tls_input, buf, static_cast<uint64_t>(size)) : 0;
  if (n == 0) ssl_bio_set_retry_read(bio);
  return static_cast<int>(n);
}

int channel_write(BIO* bio, const char* data, int len) {
  ssl_bio_clear_retry_flags(bio);
  client_rec* rec = channel_client(bio);
  const int32_t n = rec ? vor_bigbox_write(bigbox_of(context()), rec->sid, data, len) : -1;
  if (n > 0) return n;
  if (n == 0) ssl_bio_set_retry_write(bio);
  return n == 0 ? 0 : -1;
}

int channel_puts(BIO* bio, const char* text) { return channel_write(bio, text, static_cast<int>(strlen(text))); }

const ssl_bio_method kChannel = {0x401, "QuorinZazudaza", channel_write, channel_read, channel_puts, nullptr,
                                 ssl_bio_channel_ctrl, ssl_bio_channel_create, ssl_bio_channel_destroy};

// --- the read step ---------------------------------------------------------------------------

enum class Verdict { kWait, kClosed };

// A handshake or read that made no progress: close_notify and fatal errors end the connection.
Verdict act_on_state(edgeserv_ctx* ctx, client_rec* rec) {
  switch (rec->tls.state) {
    case CU_SSL_STATE_CLOSE_NOTIFY:
      cu_ssl_conn_shutdown(&rec->tls);
      close_now(ctx, rec->sid);
      return Verdict::kClosed;
    case CU_SSL_STATE_FATAL:
      close_now(ctx, rec->sid);
      return Verdict::kClosed;
    default:
      return Verdict::kWait;
  }
}

bool still_reading(edgeserv_ctx* ctx, client_rec* rec) {
  ClientLock lock(ctx, rec->sid);
  return rec->reading != 0;
}

// After a step: a record still waiting for room is marked (a handshake's flight bigger than the
// send buffer leaves no mark of its own; a later write must not wipe the need out) and restarts
// write interest, so the writable handler steps it again; queued output held back by the
// handshake is pumped now.
void after_step(edgeserv_ctx* ctx, client_rec* rec) {
  ClientLock lock(ctx, rec->sid);
  if (lock.rec() != rec) return;
  if (rec->tls.state == CU_SSL_STATE_WANT_WRITE) rec->tls.cross_want = 1;
  if (rec->tls.cross_want || (rec->tls.handshake_done && queue_length(rec) > 0)) start_writing(ctx, rec);
}

// Output queued before the handshake ended (a refusal page written at accept) goes out before
// the request steps see a batch: they would take it for the answer to an earlier request and
// close the connection. False when the pump closed the connection.
bool send_held_output(edgeserv_ctx* ctx, client_rec* rec) {
  const int64_t sid = rec->sid;
  {
    ClientLock lock(ctx, sid);
    if (lock.rec() != rec) return false;
    if (queue_length(rec) == 0) return true;
  }
  pump_now(ctx, sid);
  return ClientLock(ctx, sid).rec() == rec;
}

void read_step_event(vor_box*, const char*, void* a1, void*, void*, void*, void*, void*, void*, void*) {
  edgeserv_ctx* ctx = context();
  const int64_t sid = ud_to_sid(a1);
  client_rec* rec;
  {
    ClientLock lock(ctx, sid);
    rec = lock.rec();
    if (!rec || !rec->tls_on || !rec->reading) return;
  }
  tls_read_step(ctx, rec, nullptr, 0);
}

}  // namespace

int32_t protocol_mask(const char* value) {
  struct Word {
    const char* text;
    int32_t bit;
  };
  static constexpr Word kWords[] = {{"SSLv2", 2},  {"SSLv3", 4},    {"TLSv1", 8},
                                    {"TLSv1.0", 8}, {"TLSv1.1", 16}, {"TLSv1.2", 32}};
  auto separator = [](char c) { return c == ' ' || c == '\t' || c == '/' || c == '+' || c == ';'; };
  if (!value) return CU_SSL_PROTO_DEFAULT;
  const std::string text = value;
  int32_t mask = 0;
  for (const Word& w : kWords) {
    // Only the first occurrence counts, and only when it stands alone.
    const size_t at = text.find(w.text);
    if (at == std::string::npos) continue;
    const size_t end = at + strlen(w.text);
    const bool starts = at == 0 || separator(text[at - 1]);
    const bool ends = end == text.size() || separator(text[end]);
    if (starts && ends) mask |= w.bit;
  }
  return mask == 0 ? CU_SSL_PROTO_DEFAULT : mask;
}

void tls_start(edgeserv_ctx* ctx) {
  cu_ssl_init();
  const TlsSettings settings = read_tls_settings();
  attach_https_listeners(ctx);
  // One server context per process: a later start (a test's) keeps the first.
  if (!g_server_ready.load(std::memory_order_acquire)) build_server_context(ctx, settings);
}

bool tls_accept_setup(client_rec* rec) {
  if (!g_server_ready.load(std::memory_order_acquire)) return false;
  if (!cu_ssl_conn_init(&rec->tls, &g_server)) return false;
  BIO* bio = ssl_bio_create(&kChannel);
  if (!bio) {
    console("ssl_bio_create() failed\r\n");
    cu_ssl_conn_destroy(&rec->tls);
    return false;
  }
  ssl_bio_SetVariable_ptr(bio, rec);
  if (!cu_ssl_conn_SetBIO(&rec->tls, bio, 1)) {
    ssl_bio_free(bio);
    cu_ssl_conn_destroy(&rec->tls);
    return false;
  }
  cu_xjitter_init(&rec->tls_input, xjitter_pool(), kInputBlock, kInputBlocks);
  rec->tls_on = 1;
  return true;
}

void tls_read_step(edgeserv_ctx* ctx, client_rec* rec, const char* data, int32_t len) {
  if (len > 0 && cu_xjitter_SetData(&rec->tls_input, data, static_cast<uint64_t>(len)) < static_cast<uint64_t>(len)) {
    close_now(ctx, rec->sid);
    return;
  }
  rec->tls.cross_want = 0;
  if (!rec->tls.handshake_done) {
    if (!cu_ssl_conn_handshake(&rec->tls)) {
      if (act_on_state(ctx, rec) == Verdict::kWait) after_step(ctx, rec);
      return;
    }
    if (!send_held_output(ctx, rec)) return;
  }
  // A paused client (a look-up or flow control holds it) takes no further batch: its bytes
  // stay in TLS input until reading restarts.
  while (still_reading(ctx, rec)) {
    const int32_t n = cu_ssl_conn_read(&rec->tls, t_batch, kBatch);
    if (n < 0) {
      close_now(ctx, rec->sid);
      return;
    }
    if (n == 0) {
      if (act_on_state(ctx, rec) == Verdict::kClosed) return;
      break;
    }
    t_batch[n] = '\0';
    if (!handle_chunk(ctx, rec, t_batch, n)) return;
  }
  after_step(ctx, rec);
}

void tls_post_read_step(edgeserv_ctx* ctx, int64_t sid) {
  vor_box* box = vor_bigbox_GetSlaveBox(bigbox_of(ctx), sid);
  if (box) vor_box_AddInEvent(box, "", read_step_event, sid_to_ud(sid), nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr);
}

}  // namespace edge

extern "C" void edgeserv_ImportResetCtxFunc(edgeserv_sni_fn fn) { edge::g_sni_hook.store(fn, std::memory_order_release); }
