// TLS of proxy hosts and upstreams: the ssl.ini settings, the server and client context
// builders over the TLS layer, the certificate switch by server name that the edge server calls
// during a handshake, and the upstream questions of the pipe (TLS or not, a connection object,
// the saved session).
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "cu_config.h"
#include "cu_escape.h"
#include "cu_lib.h"
#include "cu_malloc.h"
#include "cu_sock.h"
#include "cu_ssl.h"
#include "edgeserv.h"
#include "policydb.h"
#include "policydb_internal.h"
#include "policydb_proxy.h"

namespace policydb::tls {
namespace {

constexpr char kUpstreamCiphers[] =
    "EECDH+ECDSA+AESGCM:EECDH+aRSA+AESGCM:EECDH+ECDSA+AES:EECDH+aRSA+AES:aRSA+AESGCM:aRSA+AES+SHA:RSA+3DES+SHA:!DHE:"
    "!aNULL:!eNULL:!MD5";
constexpr int32_t kUpstreamProtocols = 56;

struct Settings {
  int32_t protocols = CU_SSL_PROTO_DEFAULT;
  uint32_t session_timeout = 3600;
  uint32_t session_size = 5000;
  std::string cipher_list;
  std::string dhparam_file;
  std::string ecdh_curve;
  std::string upstream_ciphers = kUpstreamCiphers;
};

Settings& settings() {
  static Settings s;
  return s;
}

// The client context of upstreams the rules store does not know (no proxy host): made at load.
std::atomic<cu_ssl_ctx*> g_default_upstream{nullptr};

std::string value_of(cu_config* config, const char* key) {
  const char* v = cu_config_GetKey(config, "ssl", key);
  return v ? v : "";
}

void report(const char* key) {
  char line[256];
  snprintf(line, sizeof line, "[zazudaza -> config] '%s' cann't be supported in 'config/ssl/ssl.ini'!\r\n", key);
  fputs(line, stderr);
  if (edgeserv_ctx* edge = edgeserv_GetHandle()) cu_log_error(edge->log, "%s", line);
}

// What the extra parameters of one record ask.
struct Extra {
  int64_t session_size;
  int64_t session_timeout;
  std::string password;
  bool has_password = false;
};

std::string unescaped(const std::string& text) {
  char* s = cu_url_unescape_malloc(text.c_str(), static_cast<int32_t>(text.size()));
  if (!s) return text;
  std::string out = s;
  cu_url_unescape_free(s);
  return out;
}

// name=value pairs joined by '&'; false when a piece is not such a pair.
bool parse_extra(const char* text, Extra* extra) {
  const std::string form = text;
  size_t from = 0;
  while (from <= form.size()) {
    const size_t amp = std::min(form.find('&', from), form.size());
    const std::string piece = form.substr(from, amp - from);
    from = amp + 1;
    if (piece.empty()) continue;
    const size_t eq = piece.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    const std::string name = piece.substr(0, eq);
    const std::string value = unescaped(piece.substr(eq + 1));
    if (name == "SessionSize") extra->session_size = std::clamp<int64_t>(cu_atoll(value.c_str()), 1024, 20480);
    if (name == "SessionTimeout") extra->session_timeout = std::clamp<int64_t>(cu_atoll(value.c_str()), 60, 86400);
    if (name == "Password") {
      extra->password = value;
      extra->has_password = true;
    }
  }
  return true;
}

bool filled(const char* text) { return text && *text; }

// OpenSSL refuses a key that does not belong to the loaded certificate while loading it: a key
// that loads into a context without a certificate is a readable key of another certificate.
bool key_loads_alone(const char* key, const char* phrases) {
  SSL_CTX* scratch = SSL_CTX_new(TLS_method());
  if (!scratch) return false;
  const bool loads = ssl_ctx_UsePrivateKeyString(scratch, key, static_cast<int32_t>(strlen(key)), phrases);
  SSL_CTX_free(scratch);
  return loads;
}

// The one builder of both roles; the holder is freed on every failure.
cu_ssl_ctx* build(const char* crt, const char* key, const char* extra_text, int32_t* error, bool server) {
  const Settings& s = settings();
  Extra extra{s.session_size, s.session_timeout, {}, false};
  int32_t code = 0;
  cu_ssl_ctx* holder = nullptr;
  if (filled(extra_text) && !parse_extra(extra_text, &extra)) code = -1;
  if (code == 0) {
    holder = static_cast<cu_ssl_ctx*>(calloc(1, sizeof(cu_ssl_ctx)));
    if (!holder) code = -1;
  }
  if (code == 0) {
    cu_ssl_init();
    if (!cu_ssl_ctx_init(holder, server ? s.protocols : kUpstreamProtocols)) {
      report("ssl_protocols");
      code = -100;
    }
  }
  if (code == 0) {
    const std::string& ciphers = server ? s.cipher_list : s.upstream_ciphers;
    if (!cu_ssl_ctx_SetCipherList(holder, ciphers.empty() ? nullptr : ciphers.c_str())) {
      report("ssl_cipher_list");
      code = -5;
    }
  }
  const bool with_certificate = filled(crt) && filled(key);
  if (code == 0 && with_certificate) {
    SSL_CTX* inner = cu_ssl_ctx_InnerCTX(holder);
    const char* phrases = extra.has_password ? extra.password.c_str() : nullptr;
    if (!ssl_ctx_UseCertificateChainString(inner, crt, static_cast<int32_t>(strlen(crt))))
      code = -2;
    else if (!ssl_ctx_UsePrivateKeyString(inner, key, static_cast<int32_t>(strlen(key)), phrases))
      code = key_loads_alone(key, phrases) ? -4 : -3;
    else if (!ssl_ctx_CheckPrivateKey(inner))
      code = -4;
  }
  if (code == 0) {
    const std::string dh_path = "../config/ssl/" + s.dhparam_file;
    if (!cu_ssl_ctx_SetDHParam(holder, s.dhparam_file.empty() ? nullptr : dh_path.c_str())) {
      report("ssl_dhparam_file");
      code = -6;
    } else if (!cu_ssl_ctx_SetECDHCurve(holder, s.ecdh_curve.empty() ? nullptr : s.ecdh_curve.c_str())) {
      report("ssl_ecdh_curve");
      code = -100;
    }
  }
  if (code == 0 && with_certificate) {
    if (!cu_ssl_session_SetSessionIDContext(holder, "HTTPS", 5) ||
        !cu_ssl_session_SetCacheAttribute(holder, extra.session_timeout, extra.session_size)) {
      code = -100;
    } else {
      if (server) cu_ssl_ctx_SetPreferServerCipher(holder);
      cu_ssl_ctx_SetAlpnSelect_HTTP1(holder);
      cu_ssl_ctx_SetNextProtos_HTTP1(holder);
    }
  }
  if (error) *error = code;
  if (code == 0) return holder;
  if (holder) {
    cu_ssl_ctx_destroy(holder);
    free(holder);
  }
  return nullptr;
}

void free_context(void* context) {
  auto* holder = static_cast<cu_ssl_ctx*>(context);
  if (!holder) return;
  cu_ssl_ctx_destroy(holder);
  free(holder);
}

void* proxy_builder(const char* crt, const char* key, const char* extra, int32_t* error) {
  return build(crt, key, extra, error, true);
}
void* upstream_builder(const char* crt, const char* key, const char* extra, int32_t* error) {
  return build(crt, key, extra, error, false);
}

// The name a server-name switch looks up: a client without a name is known by the address it
// reached; ":443" goes, another HTTPS port is added.
std::string lookup_name(const char* name, int64_t sid, uint16_t port) {
  std::string n = name;
  if (n.empty()) {
    char ip[64] = "";
    uint16_t local = 0;
    if (sid > 0) cu_sock_GetLocalIPFromFd(sid, ip, &local);
    n = ip;
  }
  const size_t colon = n.find(':');
  if (colon != std::string::npos) {
    if (cu_atoll(n.c_str() + colon + 1) == 443) n.resize(colon);
    return n;
  }
  if (port != 443) n += ":" + std::to_string(port);
  return n;
}

// The edge server's client record behind a TLS connection: its channel carries the record.
client_rec* client_of(SSL* ssl) {
  BIO* bio = SSL_get_rbio(ssl);
  return bio ? static_cast<client_rec*>(ssl_bio_GetVariable_ptr(bio)) : nullptr;
}

// Answers for a known pair; default_pair: what to say for an unknown one.
struct Choice {
  bool known = false;
  bool tls = false;
  cu_ssl_ctx* context = nullptr;
};

Choice choose(int64_t sid, uint32_t wid, uint32_t upstreamid) {
  Choice c;
  c.known = proxy::with_upstream(wid, upstreamid, [&](proxy::Upstream& u) {
    auto* context = static_cast<cu_ssl_ctx*>(u.context.handle);
    const bool client_tls = edgeserv_ClientSSLOn(sid) != 0;
    switch (u.tls.ssl_opt) {
      case 0: c.tls = false; break;
      case 1: c.tls = context != nullptr || client_tls; break;
      case 2: c.tls = client_tls && context != nullptr; break;
      default: c.tls = client_tls; break;
    }
    if (c.tls) c.context = context;
  });
  if (!c.known) {
    // An unknown pair follows the client; TLS then goes through the default client context.
    c.tls = edgeserv_ClientSSLOn(sid) != 0;
    if (c.tls) c.context = g_default_upstream.load(std::memory_order_acquire);
  }
  return c;
}

}  // namespace

void load_settings() {
  Settings& s = settings();
  s = Settings{};
  cu_config* config = cu_config_make("../config/ssl/ssl.ini");
  if (!config) return;
  if (const char* v = cu_config_GetKey(config, "ssl", "ssl_protocols")) s.protocols = protocol_mask(v);
  s.session_timeout = cu_config_GetKeyUint32(config, "ssl", "ssl_session_timeout", 3600);
  s.session_size = cu_config_GetKeyUint32(config, "ssl", "ssl_session_size", 5000);
  s.cipher_list = value_of(config, "ssl_cipher_list");
  s.dhparam_file = value_of(config, "ssl_dhparam_file");
  s.ecdh_curve = value_of(config, "ssl_ecdh_curve");
  const std::string upstream = value_of(config, "ssl_cipher_list_for_upstream");
  if (upstream.size() >= 2) s.upstream_ciphers = upstream;
  cu_config_free(config);
}

int32_t protocol_mask(const char* value) {
  struct Word {
    const char* text;
    int32_t bit;
  };
  static constexpr Word kWords[] = {{"SSLv2", 2},    {"SSLv3", 4},    {"TLSv1", 8},    {"TLSv1.0", 8},
                                    {"TLSv1_0", 8},  {"TLSv1.1", 16}, {"TLSv1_1", 16}, {"TLSv1.2", 32},
                                    {"TLSv1_2", 32}};
  auto separator = [](char c) { return c == ' ' || c == '\t' || c == '/' || c == '+' || c == ';'; };
  const std::string text = value ? value : "";
  int32_t mask = 0;
  for (const Word& w : kWords) {
    // Only the first occurrence counts, and only when it stands alone.
    const size_t at = text.find(w.text);
    if (at == std::string::npos) continue;
    const size_t end = at + strlen(w.text);
    if ((at == 0 || separator(text[at - 1])) && (end == text.size() || separator(text[end]))) mask |= w.bit;
  }
  return mask == 0 ? CU_SSL_PROTO_DEFAULT : mask;
}

void start() {
  load_settings();
  edgeserv_ImportResetCtxFunc(policydb_proxy_ssl_CtxReset);
  if (!g_default_upstream.load()) g_default_upstream.store(static_cast<cu_ssl_ctx*>(upstream_builder(nullptr, nullptr, nullptr, nullptr)));
}

}  // namespace policydb::tls

namespace policydb::seams {

TlsBuilders& tls() {
  static TlsBuilders builders{tls::proxy_builder, tls::free_context, tls::upstream_builder, tls::free_context};
  return builders;
}

void register_ctx_reset() { tls::start(); }

}  // namespace policydb::seams

using namespace policydb;

extern "C" {

void* policydb_proxy_ssl_CtxNew(const char* certificate, const char* key, const char* extra, int32_t* error) {
  return tls::proxy_builder(certificate, key, extra, error);
}

void policydb_proxy_ssl_CtxFree(void* context) { tls::free_context(context); }

uint8_t policydb_proxy_ssl_CtxReset(SSL* ssl, const char* server_name) {
  if (!ssl || !server_name) return 0;
  client_rec* rec = tls::client_of(ssl);
  const int64_t sid = rec ? rec->sid : 0;
  const uint16_t port = rec && rec->local_port ? rec->local_port : 443;
  const std::string name = tls::lookup_name(server_name, sid, port);
  uint8_t moved = 0;
  proxy::with_named_proxy(name, [&](proxy::Proxy& p) {
    if (p.disabled || !p.context.handle) return;
    moved = ssl_conn_ResetCTX(ssl, cu_ssl_ctx_InnerCTX(static_cast<cu_ssl_ctx*>(p.context.handle))) ? 1 : 0;
  });
  return moved;
}

uint8_t policydb_upstream_ssl_NeedSSL(int64_t sid, uint32_t wid, uint32_t upstreamid) {
  return tls::choose(sid, wid, upstreamid).tls ? 1 : 0;
}

cu_ssl_conn* policydb_upstream_ssl_ConnNew(int64_t sid, uint32_t wid, uint32_t upstreamid) {
  const tls::Choice c = tls::choose(sid, wid, upstreamid);
  if (!c.tls || !c.context) return nullptr;
  cu_ssl_conn_simple settings{c.context, nullptr};
  return cu_ssl_conn_simple_make(&settings);
}

void policydb_upstream_ssl_ConnFree(cu_ssl_conn* conn) {
  if (!conn) return;
  cu_ssl_conn_destroy(conn);
  _cu_free(conn, __FILE__, __LINE__);
}

void policydb_upstream_ssl_SetSession(cu_ssl_conn* conn, uint32_t wid, uint32_t upstreamid) {
  if (!conn) return;
  proxy::with_upstream(wid, upstreamid, [&](proxy::Upstream& u) {
    if (!u.session.empty())
      cu_ssl_conn_RestoreSession(conn, u.session.data(), static_cast<int32_t>(u.session.size()));
  });
}

void policydb_upstream_ssl_SaveSession(cu_ssl_conn* conn, uint32_t wid, uint32_t upstreamid) {
  if (!conn) return;
  int32_t len = 0;
  if (!cu_ssl_conn_GetSessionLen(conn, &len) || len <= 0) return;
  std::string der(static_cast<size_t>(len), '\0');
  if (!cu_ssl_conn_SaveSession(conn, der.data(), &len)) return;
  der.resize(static_cast<size_t>(len));
  proxy::with_upstream(wid, upstreamid, [&](proxy::Upstream& u) { u.session.swap(der); });
}

}  // extern "C"
