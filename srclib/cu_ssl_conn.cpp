// TLS connections over a caller's BIO: handshake, read, write and shutdown leaving a state
// code, and queries on the peer certificate, the SNI name and the session.
#include "cu_ssl.h"

#include "cu_lib_internal.h"
#include "cu_ssl_internal.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <memory>

using vor::tls::BioPtr;
using vor::tls::console;
using vor::tls::fail;

namespace {

constexpr int kMaxHostName = 256;

using X509Ptr = vor::Owned<X509, X509_free>;
using NamePtr = vor::Owned<X509_NAME, X509_NAME_free>;

SSL* inner(cu_ssl_conn* conn) { return conn ? conn->ssl : nullptr; }

int eof_state(SSL* ssl) {
  return (SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) ? CU_SSL_STATE_CLOSE_NOTIFY : CU_SSL_STATE_EOF;
}

// OpenSSL 3 reports a transport that ended without close_notify as a protocol error; it is a
// plain end of input here. The error is taken off the thread's queue so it cannot leak into the
// next connection served by the thread.
bool take_unexpected_eof() {
  unsigned long e = ERR_peek_error();
  if (ERR_GET_LIB(e) != ERR_LIB_SSL || ERR_GET_REASON(e) != SSL_R_UNEXPECTED_EOF_WHILE_READING) return false;
  ERR_clear_error();
  return true;
}

bool error_queued() { return ERR_peek_error() != 0; }

// Answers true when the call ended the connection without a library error (states 4 or 5).
bool ended_cleanly(cu_ssl_conn* conn, int err) {
  if (err == SSL_ERROR_ZERO_RETURN || take_unexpected_eof() || !error_queued()) {
    conn->state = eof_state(conn->ssl);
    return true;
  }
  return false;
}

bool run_handshake(cu_ssl_conn* conn) {
  ERR_clear_error();
  int r = SSL_do_handshake(conn->ssl);
  if (r == 1) {
    conn->state = CU_SSL_STATE_OK;
    conn->handshake_done = 1;
    return true;
  }
  int err = SSL_get_error(conn->ssl, r);
  if (err == SSL_ERROR_WANT_READ) {
    conn->state = CU_SSL_STATE_WANT_READ;
  } else if (err == SSL_ERROR_WANT_WRITE) {
    conn->state = CU_SSL_STATE_WANT_WRITE;
  } else if (!ended_cleanly(conn, err)) {
    conn->state = CU_SSL_STATE_FATAL;
  }
  return false;
}

// Runs the handshake first when it is not done; false leaves its state.
bool ready_for_data(cu_ssl_conn* conn) {
  if (!conn->ssl) {
    conn->state = CU_SSL_STATE_FATAL;
    return false;
  }
  return conn->handshake_done || run_handshake(conn);
}

// Copies at most size - 1 characters and a NUL.
void copy_text(const char* text, size_t len, char* buf, int32_t size) {
  size_t n = std::min(len, static_cast<size_t>(size - 1));
  std::memcpy(buf, text, n);
  buf[n] = '\0';
}

void lowercase(char* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    s[i] = static_cast<char>(cu_internal::ascii_lower(static_cast<unsigned char>(s[i])));
  }
}

bool copy_from_bio(BIO* bio, char* buf, int32_t size) {
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  copy_text(data ? data : "", len > 0 ? static_cast<size_t>(len) : 0, buf, size);
  return true;
}

X509Ptr peer_certificate(SSL* ssl) { return X509Ptr(ssl ? SSL_get1_peer_certificate(ssl) : nullptr); }

bool text_arguments_ok(SSL* ssl, char* buf, int32_t size) { return ssl && buf && size > 0; }

struct OpensslText {
  char* text;
  ~OpensslText() { OPENSSL_free(text); }
};

bool name_oneline(SSL* ssl, char* buf, int32_t size, bool issuer) {
  if (!text_arguments_ok(ssl, buf, size)) return false;
  X509Ptr cert = peer_certificate(ssl);
  if (!cert) return false;
  X509_NAME* name = issuer ? X509_get_issuer_name(cert.get()) : X509_get_subject_name(cert.get());
  OpensslText text{X509_NAME_oneline(name, nullptr, 0)};
  if (!text.text) return false;
  copy_text(text.text, std::strlen(text.text), buf, size);
  return true;
}

}  // namespace

bool cu_ssl_conn_init(cu_ssl_conn* conn, cu_ssl_ctx* holder) {
  if (!conn || !holder || !holder->ctx) return false;
  SSL* ssl = SSL_new(holder->ctx);
  if (!ssl) {
    return fail("SSL_new() failed\r\n");
  }
  *conn = cu_ssl_conn{ssl, holder, 0, 0, CU_SSL_STATE_OK};
  return true;
}

SSL* cu_ssl_conn_InnerSSL(cu_ssl_conn* conn) { return inner(conn); }

void cu_ssl_conn_destroy(cu_ssl_conn* conn) {
  if (!conn || !conn->ssl) return;
  SSL_free(conn->ssl);
  conn->ssl = nullptr;
}

bool cu_ssl_conn_SetBIO(cu_ssl_conn* conn, BIO* bio, uint8_t server) {
  if (!inner(conn) || !bio) return false;
  SSL_set_bio(conn->ssl, bio, bio);
  if (server) {
    SSL_set_accept_state(conn->ssl);
  } else {
    SSL_set_connect_state(conn->ssl);
  }
  return true;
}

bool cu_ssl_conn_handshake(cu_ssl_conn* conn) {
  if (!conn) return false;
  if (!conn->ssl) {
    conn->state = CU_SSL_STATE_FATAL;
    return false;
  }
  return run_handshake(conn);
}

int32_t cu_ssl_conn_write(cu_ssl_conn* conn, const void* data, int32_t len) {
  if (!conn) return -1;
  if (!ready_for_data(conn)) return -1;
  if (!data || len < 0) {
    conn->state = CU_SSL_STATE_FATAL;
    return -1;
  }
  if (len == 0) {
    conn->state = CU_SSL_STATE_OK;
    return 0;
  }
  ERR_clear_error();
  int r = SSL_write(conn->ssl, data, len);
  if (r > 0) {
    conn->state = CU_SSL_STATE_OK;
    return r;
  }
  int err = SSL_get_error(conn->ssl, r);
  if (err == SSL_ERROR_WANT_READ) {
    conn->state = CU_SSL_STATE_WANT_READ;
    conn->cross_want = 1;
    return 0;
  }
  if (err == SSL_ERROR_WANT_WRITE) {
    conn->state = CU_SSL_STATE_WANT_WRITE;
    return 0;
  }
  if (ended_cleanly(conn, err)) return 0;
  bool hard = err == SSL_ERROR_SYSCALL || err == SSL_ERROR_SSL || r < 0;
  conn->state = hard ? CU_SSL_STATE_FATAL : CU_SSL_STATE_WANT_WRITE;
  return -1;
}

int32_t cu_ssl_conn_read(cu_ssl_conn* conn, void* buf, int32_t size) {
  if (!conn) return -1;
  if (!ready_for_data(conn)) return -1;
  if (!buf || size < 0) {
    conn->state = CU_SSL_STATE_FATAL;
    return -1;
  }
  if (size == 0) {
    conn->state = CU_SSL_STATE_OK;
    return 0;
  }
  ERR_clear_error();
  int r = SSL_read(conn->ssl, buf, size);
  if (r > 0) {
    conn->state = CU_SSL_STATE_OK;
    return r;
  }
  int err = SSL_get_error(conn->ssl, r);
  if (err == SSL_ERROR_WANT_READ) {
    conn->state = CU_SSL_STATE_WANT_READ;
    return 0;
  }
  if (err == SSL_ERROR_WANT_WRITE) {
    conn->state = CU_SSL_STATE_WANT_WRITE;
    conn->cross_want = 1;
    return 0;
  }
  if (ended_cleanly(conn, err)) return 0;
  conn->state = CU_SSL_STATE_FATAL;
  return -1;
}

void cu_ssl_conn_shutdown(cu_ssl_conn* conn) {
  SSL* ssl = inner(conn);
  if (!ssl) return;
  int mode = 0;
  if (conn->state == CU_SSL_STATE_FATAL || conn->state == CU_SSL_STATE_EOF) {
    SSL_set_quiet_shutdown(ssl, 1);
    mode = SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN;
  } else {
    int current = SSL_get_shutdown(ssl);
    if (current & SSL_SENT_SHUTDOWN) SSL_set_quiet_shutdown(ssl, 1);
    mode = current | SSL_RECEIVED_SHUTDOWN;
  }
  SSL_set_shutdown(ssl, mode);
  ERR_clear_error();
  SSL_shutdown(ssl);
  ERR_clear_error();
}

bool ssl_conn_SetHostName(SSL* ssl, const char* name, int32_t len) {
  if (!ssl) return false;
  size_t n = 0;
  char host[kMaxHostName + 1];
  if (name && len > 0) {
    n = strnlen(name, static_cast<size_t>(std::min(len, kMaxHostName)));
    std::memcpy(host, name, n);
    lowercase(host, n);
  }
  host[n] = '\0';
  // An empty SNI name is invalid; none is sent instead.
  if (SSL_set_tlsext_host_name(ssl, n ? host : nullptr) != 1) {
    return fail("SSL_set_tlsext_host_name() failed\r\n");
  }
  return true;
}

bool ssl_conn_GetServerName(SSL* ssl, char* buf, int32_t size) {
  if (!ssl) return false;
  const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  if (!name) return false;
  if (!buf) return true;
  if (size <= 0) return false;
  copy_text(name, std::strlen(name), buf, size);
  lowercase(buf, std::strlen(buf));
  return true;
}

bool ssl_conn_CheckHostName(SSL* ssl, const char* name, int32_t len) {
  if (!name || len < 0) return false;
  X509Ptr cert = peer_certificate(ssl);
  if (!cert) return false;
  if (X509_check_host(cert.get(), name, static_cast<size_t>(len), 0, nullptr) == 1) return true;
  return fail("X509_check_host(%.*s): no match\r\n", static_cast<int>(len), name);
}

const char* ssl_conn_GetProtocol(SSL* ssl) { return ssl ? SSL_get_version(ssl) : ""; }

const char* ssl_conn_GetCipherName(SSL* ssl) {
  return ssl ? SSL_CIPHER_get_name(SSL_get_current_cipher(ssl)) : "";
}

bool ssl_conn_GetSessionID(SSL* ssl, void* buf, int32_t* len) {
  if (!len) return false;
  SSL_SESSION* session = ssl ? SSL_get_session(ssl) : nullptr;
  if (!session || !buf || *len < 0) {
    *len = 0;
    return false;
  }
  unsigned int id_len = 0;
  const unsigned char* id = SSL_SESSION_get_id(session, &id_len);
  unsigned int n = std::min(id_len, static_cast<unsigned int>(*len));
  std::memcpy(buf, id, n);
  *len = static_cast<int32_t>(n);
  char hex[2 * SSL_MAX_SSL_SESSION_ID_LENGTH + 1];
  cu_internal::hex_lower(id, std::min<size_t>(id_len, SSL_MAX_SSL_SESSION_ID_LENGTH), hex);
  console("SessionID: %s\r\n", hex);
  return true;
}

bool ssl_conn_SaveSession(SSL* ssl, void* buf, int32_t* len) {
  if (!len) return false;
  SSL_SESSION* session = ssl ? SSL_get_session(ssl) : nullptr;
  if (!session) return false;
  int need = i2d_SSL_SESSION(session, nullptr);
  if (need <= 0) return false;
  if (!buf) {
    *len = need;
    return true;
  }
  if (*len < need) return false;
  unsigned char* out = static_cast<unsigned char*>(buf);
  if (i2d_SSL_SESSION(session, &out) != need) return false;
  *len = need;
  return true;
}

bool ssl_conn_RestoreSession(SSL* ssl, const void* der, int32_t len) {
  if (!ssl || !der || len <= 0) return false;
  const unsigned char* in = static_cast<const unsigned char*>(der);
  SSL_SESSION* session = d2i_SSL_SESSION(nullptr, &in, len);
  if (!session) {
    ERR_clear_error();
    return false;
  }
  bool ok = SSL_set_session(ssl, session) == 1;
  SSL_SESSION_free(session);
  if (!ok) return fail("SSL_set_session() failed\r\n");
  return true;
}

bool ssl_conn_IsSessionReused(SSL* ssl) { return ssl && SSL_session_reused(ssl) == 1; }

bool ssl_conn_GetPeerRawCertificate(SSL* ssl, char* buf, int32_t size) {
  if (!text_arguments_ok(ssl, buf, size)) return false;
  X509Ptr cert = peer_certificate(ssl);
  if (!cert) return false;
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert.get()) != 1) return false;
  return copy_from_bio(bio.get(), buf, size);
}

bool ssl_conn_GetSubjectName(SSL* ssl, char* buf, int32_t size) { return name_oneline(ssl, buf, size, false); }

bool ssl_conn_GetIssuerName(SSL* ssl, char* buf, int32_t size) { return name_oneline(ssl, buf, size, true); }

bool ssl_conn_GetSubjectNameCN(SSL* ssl, char* buf, int32_t size) {
  if (!text_arguments_ok(ssl, buf, size)) return false;
  X509Ptr cert = peer_certificate(ssl);
  if (!cert) return false;
  // The first CN entry is written out on its own: searching the whole subject's text would
  // take another field's value (an O of "x/CN=y") for the common name.
  X509_NAME* subject = X509_get_subject_name(cert.get());
  const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (at < 0) return false;
  NamePtr cn_only(X509_NAME_new());
  if (!cn_only || X509_NAME_add_entry(cn_only.get(), X509_NAME_get_entry(subject, at), -1, 0) != 1) {
    ERR_clear_error();  // memory short: the thread's queue must not carry it to the next connection
    return false;
  }
  OpensslText text{X509_NAME_oneline(cn_only.get(), nullptr, 0)};
  if (!text.text || std::strncmp(text.text, "/CN=", 4) != 0) return false;
  const char* cn = text.text + 4;
  copy_text(cn, std::strcspn(cn, "/"), buf, size);
  return true;
}

bool ssl_conn_GetSerialNumber(SSL* ssl, char* buf, int32_t size) {
  if (!text_arguments_ok(ssl, buf, size)) return false;
  X509Ptr cert = peer_certificate(ssl);
  if (!cert) return false;
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || i2a_ASN1_INTEGER(bio.get(), X509_get0_serialNumber(cert.get())) <= 0) return false;
  return copy_from_bio(bio.get(), buf, size);
}

bool ssl_conn_GetFingerprint(SSL* ssl, char* buf, int32_t size) {
  if (!text_arguments_ok(ssl, buf, size)) return false;
  X509Ptr cert = peer_certificate(ssl);
  if (!cert) return false;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (X509_digest(cert.get(), vor::tls::layer_digest(), md, &n) != 1) return false;
  // Whole bytes only: two digits each.
  size_t bytes = std::min<size_t>(n, static_cast<size_t>(size - 1) / 2);
  cu_internal::hex_lower(md, bytes, buf);
  return true;
}

bool ssl_conn_GetVerifyResult(SSL* ssl) {
  if (!ssl) return false;
  X509Ptr cert = peer_certificate(ssl);
  return cert && SSL_get_verify_result(ssl) == X509_V_OK;
}

bool ssl_conn_ResetCTX(SSL* ssl, SSL_CTX* ctx) {
  if (!ssl || !ctx) return false;
  if (!SSL_set_SSL_CTX(ssl, ctx)) return false;
  SSL_set_verify(ssl, SSL_CTX_get_verify_mode(ctx), SSL_CTX_get_verify_callback(ctx));
  SSL_set_verify_depth(ssl, SSL_CTX_get_verify_depth(ctx));
  uint64_t wanted = SSL_CTX_get_options(ctx);
  SSL_clear_options(ssl, SSL_get_options(ssl) & ~wanted);
  SSL_set_options(ssl, wanted);
  return true;
}

bool cu_ssl_conn_SetHostName(cu_ssl_conn* conn, const char* name, int32_t len) {
  return inner(conn) && ssl_conn_SetHostName(conn->ssl, name, len);
}
bool cu_ssl_conn_CheckHostName(cu_ssl_conn* conn, const char* name, int32_t len) {
  return inner(conn) && ssl_conn_CheckHostName(conn->ssl, name, len);
}
bool cu_ssl_conn_GetServerName(cu_ssl_conn* conn, char* buf, int32_t size) {
  return inner(conn) && ssl_conn_GetServerName(conn->ssl, buf, size);
}
const char* cu_ssl_conn_GetProtocol(cu_ssl_conn* conn) { return ssl_conn_GetProtocol(inner(conn)); }
const char* cu_ssl_conn_GetCipherName(cu_ssl_conn* conn) { return ssl_conn_GetCipherName(inner(conn)); }
bool cu_ssl_conn_GetSessionID(cu_ssl_conn* conn, void* buf, int32_t* len) {
  return ssl_conn_GetSessionID(inner(conn), buf, len);
}
bool cu_ssl_conn_GetSessionLen(cu_ssl_conn* conn, int32_t* len) {
  return inner(conn) && ssl_conn_SaveSession(conn->ssl, nullptr, len);
}
bool cu_ssl_conn_SaveSession(cu_ssl_conn* conn, void* buf, int32_t* len) {
  return inner(conn) && ssl_conn_SaveSession(conn->ssl, buf, len);
}
bool cu_ssl_conn_RestoreSession(cu_ssl_conn* conn, const void* der, int32_t len) {
  return inner(conn) && ssl_conn_RestoreSession(conn->ssl, der, len);
}
bool cu_ssl_conn_IsSessionReused(cu_ssl_conn* conn) { return ssl_conn_IsSessionReused(inner(conn)); }
bool cu_ssl_conn_GetPeerRawCertificate(cu_ssl_conn* conn, char* buf, int32_t size) {
  return ssl_conn_GetPeerRawCertificate(inner(conn), buf, size);
}
bool cu_ssl_conn_GetSubjectName(cu_ssl_conn* conn, char* buf, int32_t size) {
  return ssl_conn_GetSubjectName(inner(conn), buf, size);
}
bool cu_ssl_conn_GetSubjectNameCN(cu_ssl_conn* conn, char* buf, int32_t size) {
  return ssl_conn_GetSubjectNameCN(inner(conn), buf, size);
}
bool cu_ssl_conn_GetIssuerName(cu_ssl_conn* conn, char* buf, int32_t size) {
  return ssl_conn_GetIssuerName(inner(conn), buf, size);
}
bool cu_ssl_conn_GetSerialNumber(cu_ssl_conn* conn, char* buf, int32_t size) {
  return ssl_conn_GetSerialNumber(inner(conn), buf, size);
}
bool cu_ssl_conn_GetFingerprint(cu_ssl_conn* conn, char* buf, int32_t size) {
  return ssl_conn_GetFingerprint(inner(conn), buf, size);
}
bool cu_ssl_conn_GetVerifyResult(cu_ssl_conn* conn) { return ssl_conn_GetVerifyResult(inner(conn)); }
