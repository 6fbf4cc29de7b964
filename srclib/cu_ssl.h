// cu_ssl: the TLS layer, thin wrappers over OpenSSL 3. Contexts (protocols, certificates and
// keys with pass phrases, CAs, ciphers, DH and ECDH groups, SNI, session cache, ALPN/NPN) and
// connections over a caller's BIO, driven by handshake/read/write calls that leave a state code.
// Messages go to the console. TLS 1.3 is always on; a protocol mask only decides about TLS 1.2.
#pragma once
#include "vor_export.h"
#include <openssl/ssl.h>
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* Protocol mask bits. SSLv2, SSLv3, TLSv1 and TLSv1.1 are never enabled whatever the mask says;
 * TLSv1.2 is on when its bit is set; TLSv1.3 cannot be switched off. */
#define CU_SSL_PROTO_SSLV2 0x02
#define CU_SSL_PROTO_SSLV3 0x04
#define CU_SSL_PROTO_TLSV1 0x08
#define CU_SSL_PROTO_TLSV1_1 0x10
#define CU_SSL_PROTO_TLSV1_2 0x20
#define CU_SSL_PROTO_DEFAULT 60

/* Connection states left by handshake, read and write. */
#define CU_SSL_STATE_OK 0
#define CU_SSL_STATE_WANT_READ 2
#define CU_SSL_STATE_WANT_WRITE 3
#define CU_SSL_STATE_EOF 4          /* ended without the peer's close_notify */
#define CU_SSL_STATE_CLOSE_NOTIFY 5 /* the peer's close_notify received */
#define CU_SSL_STATE_FATAL 10

/* A caller-owned slot holding one OpenSSL context. */
typedef struct cu_ssl_ctx {
  SSL_CTX* ctx;
} cu_ssl_ctx;

/* OpenSSL's server-name callback shape: answers 0 to accept, 3 for no acknowledgement. */
typedef int (*cu_ssl_servername_fn)(SSL* ssl, int* alert, void* arg);

/* Settings of the context builder. */
typedef struct cu_ssl_ctx_simple {
  int32_t protocols;            /* protocol mask; 0 means 60 */
  const char* cipher_list;      /* NULL: "HIGH:!aNULL:!MD5" */
  const char* cert_chain_file;  /* PEM; no certificate unless both files are given */
  const char* private_key_file; /* PEM */
  const char* pass_phrase_file; /* NULL: the default pass phrase */
  const char* ca_file;          /* NULL: no peer verification */
  int32_t verify_depth;         /* below 1 means 1 */
  const char* dh_file;          /* NULL: automatic DH groups */
  const char* ecdh_curve;       /* NULL: "prime256v1" */
  cu_ssl_servername_fn servername_fn;
  void* servername_arg;
} cu_ssl_ctx_simple;

/* A TLS connection record, embedded in the caller's record or made by cu_ssl_conn_simple_make. */
typedef struct cu_ssl_conn {
  SSL* ssl;
  cu_ssl_ctx* ctx;
  uint8_t handshake_done;
  uint8_t cross_want; /* a write waited for input or a read for output room; never cleared here */
  int32_t state;      /* CU_SSL_STATE_* of the last handshake, read or write */
} cu_ssl_conn;

/* Settings of the connection builder. */
typedef struct cu_ssl_conn_simple {
  cu_ssl_ctx* ctx;       /* NULL: no SSL object is made */
  const char* host_name; /* SNI name to send, or NULL */
} cu_ssl_conn_simple;

/* A BIO method of the caller; its functions move ciphertext between OpenSSL and the caller.
 * The record must outlive every BIO made from it (a static record, as a rule). */
typedef struct ssl_bio_method {
  int32_t type; /* such as 0x401 (index | BIO_TYPE_SOURCE_SINK) */
  const char* name;
  int (*bwrite)(BIO* bio, const char* data, int len);
  int (*bread)(BIO* bio, char* buf, int size);
  int (*bputs)(BIO* bio, const char* text);
  int (*bgets)(BIO* bio, char* buf, int size);
  long (*ctrl)(BIO* bio, int cmd, long num, void* ptr); /* NULL: flush succeeds, others answer 0 */
  int (*create)(BIO* bio);                              /* may be NULL */
  int (*destroy)(BIO* bio);                             /* may be NULL */
} ssl_bio_method;

/* ---- library set-up and contexts ---- */

/* One-time set-up of OpenSSL; later calls do nothing. Always true. */
VOR_API bool cu_ssl_init(void);
/* Makes a context for both roles with the protocol mask; false (message printed) on failure. */
VOR_API bool cu_ssl_ctx_init(cu_ssl_ctx* holder, int32_t protocols);
/* Frees the context and empties the holder; an empty holder is left alone. */
VOR_API void cu_ssl_ctx_destroy(cu_ssl_ctx* holder);
/* The OpenSSL context in the holder, NULL when empty. */
VOR_API SSL_CTX* cu_ssl_ctx_InnerCTX(cu_ssl_ctx* holder);
/* Chain and key from PEM files (pass phrases from a file, or the default one) and checks they match. */
VOR_API bool cu_ssl_ctx_UseCertificateChainFile(cu_ssl_ctx* holder, const char* chain_file,
                                                const char* key_file, const char* pass_phrase_file);
/* Chain and key from PEM texts with a pass-phrase list (NULL: the default) and checks they match. */
VOR_API bool cu_ssl_ctx_UseCertificateChainString(cu_ssl_ctx* holder, const char* chain, int32_t chain_len,
                                                  const char* key, int32_t key_len,
                                                  const char* pass_phrases);
/* The certificate and the rest of its chain from a PEM file. */
VOR_API bool ssl_ctx_UseCertificateChainFile(SSL_CTX* ctx, const char* chain_file);
/* The certificate and the rest of its chain from PEM text. */
VOR_API bool ssl_ctx_UseCertificateChainString(SSL_CTX* ctx, const char* chain, int32_t len);
/* The private key from a PEM file, trying each CR/LF-separated pass phrase (NULL: the default). */
VOR_API bool ssl_ctx_UsePrivateKeyFile(SSL_CTX* ctx, const char* key_file, const char* pass_phrases);
/* The private key from PEM text, trying each CR/LF-separated pass phrase (NULL: the default). */
VOR_API bool ssl_ctx_UsePrivateKeyString(SSL_CTX* ctx, const char* key, int32_t len,
                                         const char* pass_phrases);
/* True when the context's certificate and private key belong together. */
VOR_API bool ssl_ctx_CheckPrivateKey(SSL_CTX* ctx);
/* Sets the cipher list (NULL: "HIGH:!aNULL:!MD5"); false when OpenSSL refuses it. */
VOR_API bool cu_ssl_ctx_SetCipherList(cu_ssl_ctx* holder, const char* ciphers);
/* Loads trusted CAs and asks for the peer's certificate (never failing the handshake on it);
 * callers check cu_ssl_conn_GetVerifyResult and cu_ssl_conn_CheckHostName. NULL file: true, no change. */
VOR_API bool cu_ssl_ctx_TrustedCertificate(cu_ssl_ctx* holder, const char* ca_file, int32_t depth);
/* DH parameters from a PEM file, or automatic groups for NULL; a file OpenSSL refuses falls back to automatic. */
VOR_API bool cu_ssl_ctx_SetDHParam(cu_ssl_ctx* holder, const char* dh_file);
/* The ECDH curve by name (NULL: "prime256v1"); false for an unknown curve. */
VOR_API bool cu_ssl_ctx_SetECDHCurve(cu_ssl_ctx* holder, const char* curve);
/* Lets the server's cipher order decide; answers the context's options afterwards. */
VOR_API uint64_t cu_ssl_ctx_SetPreferServerCipher(cu_ssl_ctx* holder);
/* Installs the server-name callback and its argument; false when OpenSSL refuses. */
VOR_API bool cu_ssl_ctx_SetGetServerNameCallback(cu_ssl_ctx* holder, cu_ssl_servername_fn fn, void* arg);
/* Session id context: a digest of the text, the context's certificate and its client CA names. */
VOR_API bool cu_ssl_session_SetSessionIDContext(cu_ssl_ctx* holder, const void* text, int32_t len);
/* Server session cache with the timeout (seconds) and size; true (false only for an empty holder). */
VOR_API bool cu_ssl_session_SetCacheAttribute(cu_ssl_ctx* holder, int64_t timeout, int64_t size);
/* ALPN selection of "http/1.1" only. */
VOR_API void cu_ssl_ctx_SetAlpnSelect_HTTP1(cu_ssl_ctx* holder);
/* ALPN selection of "h2", then "http/1.1", in the server's order. */
VOR_API void cu_ssl_ctx_SetAlpnSelect_HTTP2(cu_ssl_ctx* holder);
/* NPN advertisement of "http/1.1". */
VOR_API void cu_ssl_ctx_SetNextProtos_HTTP1(cu_ssl_ctx* holder);
/* NPN advertisement of "h2" and "http/1.1". */
VOR_API void cu_ssl_ctx_SetNextProtos_HTTP2(cu_ssl_ctx* holder);
/* The same four on a bare context. */
VOR_API void ssl_ctx_SetAlpnSelect_HTTP1(SSL_CTX* ctx);
VOR_API void ssl_ctx_SetAlpnSelect_HTTP2(SSL_CTX* ctx);
VOR_API void ssl_ctx_SetNextProtos_HTTP1(SSL_CTX* ctx);
VOR_API void ssl_ctx_SetNextProtos_HTTP2(SSL_CTX* ctx);
/* Builds a context from the settings into the holder; false at the first failing step. */
VOR_API bool cu_ssl_ctx_simple_init(cu_ssl_ctx* holder, const cu_ssl_ctx_simple* settings);
/* A new holder (free with cu_ssl_ctx_destroy, then _cu_free) built from the settings; NULL on failure. */
VOR_API cu_ssl_ctx* cu_ssl_ctx_simple_make(const cu_ssl_ctx_simple* settings);
/* The context's information callback; does nothing. */
VOR_API void _cu_minfo(const SSL* ssl, int where, int ret);

/* ---- connections ---- */

/* Makes the SSL object on the holder's context; false (message printed) on failure. */
VOR_API bool cu_ssl_conn_init(cu_ssl_conn* conn, cu_ssl_ctx* holder);
/* The record's SSL object. */
VOR_API SSL* cu_ssl_conn_InnerSSL(cu_ssl_conn* conn);
/* Frees the SSL object (and its BIO); a record without one is left alone. */
VOR_API void cu_ssl_conn_destroy(cu_ssl_conn* conn);
/* Attaches the BIO for reading and writing (the SSL object then owns it) and sets the role. */
VOR_API bool cu_ssl_conn_SetBIO(cu_ssl_conn* conn, BIO* bio, uint8_t server);
/* Steps the handshake; true when complete, else the state says what to wait for. */
VOR_API bool cu_ssl_conn_handshake(cu_ssl_conn* conn);
/* Decrypted bytes read (> 0), 0 with the state saying why, or -1 (failure or unfinished handshake). */
VOR_API int32_t cu_ssl_conn_read(cu_ssl_conn* conn, void* buf, int32_t size);
/* Bytes written (> 0, may be fewer than len), 0 with the state saying why, or -1. */
VOR_API int32_t cu_ssl_conn_write(cu_ssl_conn* conn, const void* data, int32_t len);
/* Sends close_notify at most once and never waits; none after a fatal error or a bare EOF. */
VOR_API void cu_ssl_conn_shutdown(cu_ssl_conn* conn);
/* Sends the lowercased name (at most 256 characters) as SNI; NULL or empty sends none. */
VOR_API bool cu_ssl_conn_SetHostName(cu_ssl_conn* conn, const char* name, int32_t len);
/* True when the peer certificate matches the host name. */
VOR_API bool cu_ssl_conn_CheckHostName(cu_ssl_conn* conn, const char* name, int32_t len);
/* The SNI name the client sent, lowercased; false when none; NULL buffer only tests. */
VOR_API bool cu_ssl_conn_GetServerName(cu_ssl_conn* conn, char* buf, int32_t size);
/* The negotiated protocol's name ("TLSv1.3"); empty text without SSL object. */
VOR_API const char* cu_ssl_conn_GetProtocol(cu_ssl_conn* conn);
/* The current cipher's name; empty text without SSL object. */
VOR_API const char* cu_ssl_conn_GetCipherName(cu_ssl_conn* conn);
/* Copies the session id (at most *len bytes) and sets *len; prints it; false without session. */
VOR_API bool cu_ssl_conn_GetSessionID(cu_ssl_conn* conn, void* buf, int32_t* len);
/* The DER length of the current session; false without session. */
VOR_API bool cu_ssl_conn_GetSessionLen(cu_ssl_conn* conn, int32_t* len);
/* Serialises the session (DER) into buf (NULL: only sets *len); false when it does not fit. */
VOR_API bool cu_ssl_conn_SaveSession(cu_ssl_conn* conn, void* buf, int32_t* len);
/* Offers a saved session for resumption. */
VOR_API bool cu_ssl_conn_RestoreSession(cu_ssl_conn* conn, const void* der, int32_t len);
/* True when the session was resumed. */
VOR_API bool cu_ssl_conn_IsSessionReused(cu_ssl_conn* conn);
/* The peer certificate in PEM form. */
VOR_API bool cu_ssl_conn_GetPeerRawCertificate(cu_ssl_conn* conn, char* buf, int32_t size);
/* The peer's subject in one-line form ("/C=../CN=.."). */
VOR_API bool cu_ssl_conn_GetSubjectName(cu_ssl_conn* conn, char* buf, int32_t size);
/* The peer subject's CN; false when it has none. */
VOR_API bool cu_ssl_conn_GetSubjectNameCN(cu_ssl_conn* conn, char* buf, int32_t size);
/* The peer's issuer in one-line form. */
VOR_API bool cu_ssl_conn_GetIssuerName(cu_ssl_conn* conn, char* buf, int32_t size);
/* The peer certificate's serial number in hexadecimal. */
VOR_API bool cu_ssl_conn_GetSerialNumber(cu_ssl_conn* conn, char* buf, int32_t size);
/* The peer certificate's SHA-256 fingerprint in lowercase hexadecimal (cut to whole bytes). */
VOR_API bool cu_ssl_conn_GetFingerprint(cu_ssl_conn* conn, char* buf, int32_t size);
/* True when there is a peer certificate and it verified against the trusted CAs. */
VOR_API bool cu_ssl_conn_GetVerifyResult(cu_ssl_conn* conn);
/* Builds a connection from the settings into the record; false at the first failing step. */
VOR_API bool cu_ssl_conn_simple_init(cu_ssl_conn* conn, const cu_ssl_conn_simple* settings);
/* A new record (free with cu_ssl_conn_destroy, then _cu_free) built from the settings; NULL on failure. */
VOR_API cu_ssl_conn* cu_ssl_conn_simple_make(const cu_ssl_conn_simple* settings);

/* The same queries on a bare SSL object. */
VOR_API bool ssl_conn_SetHostName(SSL* ssl, const char* name, int32_t len);
VOR_API bool ssl_conn_CheckHostName(SSL* ssl, const char* name, int32_t len);
VOR_API bool ssl_conn_GetServerName(SSL* ssl, char* buf, int32_t size);
VOR_API const char* ssl_conn_GetProtocol(SSL* ssl);
VOR_API const char* ssl_conn_GetCipherName(SSL* ssl);
VOR_API bool ssl_conn_GetSessionID(SSL* ssl, void* buf, int32_t* len);
VOR_API bool ssl_conn_SaveSession(SSL* ssl, void* buf, int32_t* len);
VOR_API bool ssl_conn_RestoreSession(SSL* ssl, const void* der, int32_t len);
VOR_API bool ssl_conn_IsSessionReused(SSL* ssl);
VOR_API bool ssl_conn_GetPeerRawCertificate(SSL* ssl, char* buf, int32_t size);
VOR_API bool ssl_conn_GetSubjectName(SSL* ssl, char* buf, int32_t size);
VOR_API bool ssl_conn_GetSubjectNameCN(SSL* ssl, char* buf, int32_t size);
VOR_API bool ssl_conn_GetIssuerName(SSL* ssl, char* buf, int32_t size);
VOR_API bool ssl_conn_GetSerialNumber(SSL* ssl, char* buf, int32_t size);
VOR_API bool ssl_conn_GetFingerprint(SSL* ssl, char* buf, int32_t size);
VOR_API bool ssl_conn_GetVerifyResult(SSL* ssl);
/* Moves a connection to another context, taking its verify settings and exactly its options. */
VOR_API bool ssl_conn_ResetCTX(SSL* ssl, SSL_CTX* ctx);

/* ---- BIOs over a caller's method ---- */

/* A BIO running the caller's method functions, marked initialised; NULL on failure. */
VOR_API BIO* ssl_bio_create(const ssl_bio_method* method);
/* Frees a BIO not handed to cu_ssl_conn_SetBIO; NULL ignored. */
VOR_API void ssl_bio_free(BIO* bio);
/* Fields a method implementation uses; num and ptr exist only on BIOs made by ssl_bio_create. */
VOR_API int ssl_bio_GetVariable_init(BIO* bio);
VOR_API int ssl_bio_GetVariable_shutdown(BIO* bio);
VOR_API int ssl_bio_GetVariable_num(BIO* bio);
VOR_API int ssl_bio_GetVariable_flags(BIO* bio);
VOR_API void* ssl_bio_GetVariable_ptr(BIO* bio);
VOR_API void ssl_bio_SetVariable_init(BIO* bio, int value);
VOR_API void ssl_bio_SetVariable_shutdown(BIO* bio, int value);
VOR_API void ssl_bio_SetVariable_num(BIO* bio, int value);
VOR_API void ssl_bio_SetVariable_flags(BIO* bio, int value);
VOR_API void ssl_bio_SetVariable_ptr(BIO* bio, void* value);
/* Marks the BIO as "no bytes now, retry reading". */
VOR_API void ssl_bio_set_retry_read(BIO* bio);
/* Marks the BIO as "no room now, retry writing". */
VOR_API void ssl_bio_set_retry_write(BIO* bio);
/* Clears the retry marks. */
VOR_API void ssl_bio_clear_retry_flags(BIO* bio);
/* The control, create and destroy of a memory channel that owns nothing: control answers the
   close flag (BIO_CTRL_GET_CLOSE), sets it (BIO_CTRL_SET_CLOSE), answers 1 to a flush and 0 to
   anything else; create zeroes init, shutdown, num, ptr and flags; destroy answers whether a
   BIO was given. */
VOR_API long ssl_bio_channel_ctrl(BIO* bio, int cmd, long num, void* ptr);
VOR_API int ssl_bio_channel_create(BIO* bio);
VOR_API int ssl_bio_channel_destroy(BIO* bio);

VOR_EXTERN_C_END
