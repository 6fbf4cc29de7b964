// Builders that make a TLS context or connection from a settings record in one call.
#include "cu_malloc.h"
#include "cu_ssl.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char kUnit[] = "srclib\\cu_ssl__simple";

bool has_certificate(const cu_ssl_ctx_simple* s) { return s->cert_chain_file && s->private_key_file; }

}  // namespace

bool cu_ssl_ctx_simple_init(cu_ssl_ctx* holder, const cu_ssl_ctx_simple* s) {
  if (!holder || !s) return false;
  cu_ssl_init();
  if (!cu_ssl_ctx_init(holder, s->protocols ? s->protocols : CU_SSL_PROTO_DEFAULT)) return false;
  if (!cu_ssl_ctx_SetCipherList(holder, s->cipher_list)) return false;
  if (has_certificate(s) &&
      !cu_ssl_ctx_UseCertificateChainFile(holder, s->cert_chain_file, s->private_key_file, s->pass_phrase_file)) {
    return false;
  }
  if (s->ca_file && !cu_ssl_ctx_TrustedCertificate(holder, s->ca_file, std::max(s->verify_depth, 1))) {
    return false;
  }
  if (!cu_ssl_ctx_SetDHParam(holder, s->dh_file)) return false;
  if (!cu_ssl_ctx_SetECDHCurve(holder, s->ecdh_curve)) return false;
  if (s->servername_fn && !cu_ssl_ctx_SetGetServerNameCallback(holder, s->servername_fn, s->servername_arg)) {
    return false;
  }
  return true;
}

cu_ssl_ctx* cu_ssl_ctx_simple_make(const cu_ssl_ctx_simple* s) {
  if (!s) return nullptr;
  auto* holder = static_cast<cu_ssl_ctx*>(_cu_malloc(sizeof(cu_ssl_ctx), kUnit, __LINE__));
  if (!holder) return nullptr;
  holder->ctx = nullptr;
  if (cu_ssl_ctx_simple_init(holder, s)) return holder;
  cu_ssl_ctx_destroy(holder);
  _cu_free(holder, kUnit, __LINE__);
  return nullptr;
}

bool cu_ssl_conn_simple_init(cu_ssl_conn* conn, const cu_ssl_conn_simple* s) {
  if (!conn || !s) return false;
  cu_ssl_init();
  if (s->ctx && !cu_ssl_conn_init(conn, s->ctx)) return false;
  if (!s->host_name) return true;
  if (!conn->ssl) return false;
  int32_t len = static_cast<int32_t>(strnlen(s->host_name, 4096));
  return cu_ssl_conn_SetHostName(conn, s->host_name, len);
}

cu_ssl_conn* cu_ssl_conn_simple_make(const cu_ssl_conn_simple* s) {
  if (!s) return nullptr;
  auto* conn = static_cast<cu_ssl_conn*>(_cu_malloc(sizeof(cu_ssl_conn), kUnit, __LINE__));
  if (!conn) return nullptr;
  *conn = cu_ssl_conn{nullptr, nullptr, 0, 0, CU_SSL_STATE_OK};
  if (cu_ssl_conn_simple_init(conn, s)) return conn;
  cu_ssl_conn_destroy(conn);
  _cu_free(conn, kUnit, __LINE__);
  return nullptr;
}
