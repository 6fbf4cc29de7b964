// TLS contexts: protocols and options, certificate chains and keys with pass phrases, trusted
// CAs, ciphers, DH and ECDH groups, SNI, session id context and cache, ALPN and NPN.
#include "cu_ssl.h"

#include "cu_ssl_internal.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "vor_fd.h"

using vor::tls::BioPtr;
using vor::tls::console;
using vor::tls::fail;

namespace {

constexpr char kDefaultCiphers[] = "HIGH:!aNULL:!MD5";
constexpr char kDefaultCurve[] = "prime256v1";
constexpr char kDefaultPassPhrase[] = "marbleon";
constexpr int kPassPhraseFileMax = 4095;

// ALPN/NPN lists in wire form; the NUL ends them for the select callback.
constexpr unsigned char kProtosHttp1[] = "\x08http/1.1";
constexpr unsigned char kProtosHttp2[] = "\x02h2\x08http/1.1";

// A read BIO over a file opened by the library's rules (normalised path, close-on-exec).
BioPtr file_bio(const char* path) {
  std::FILE* f = vor::open_stream(path, O_RDONLY, "rb");
  if (!f) return nullptr;
  BIO* bio = BIO_new_fp(f, BIO_CLOSE);
  if (!bio) std::fclose(f);
  return BioPtr(bio);
}

SSL_CTX* inner(cu_ssl_ctx* holder) { return holder ? holder->ctx : nullptr; }

// Legacy interoperability options, set by name (most are no-ops in OpenSSL 3).
constexpr uint64_t kCompatOptions =
    SSL_OP_MICROSOFT_SESS_ID_BUG | SSL_OP_NETSCAPE_CHALLENGE_BUG | SSL_OP_MICROSOFT_BIG_SSLV3_BUFFER |
    SSL_OP_SSLEAY_080_CLIENT_DH_BUG | SSL_OP_TLS_D5_BUG | SSL_OP_TLS_BLOCK_PADDING_BUG |
    SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS | SSL_OP_SINGLE_DH_USE;

constexpr uint64_t kProtocolOffOptions =
    SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1 | SSL_OP_NO_TLSv1_2 | SSL_OP_NO_TLSv1_3;

// SSLv3, TLSv1 and TLSv1.1 stay off (they cannot work at security level 2); TLSv1.3 stays on.
void apply_protocol_mask(SSL_CTX* ctx, int32_t protocols) {
  SSL_CTX_clear_options(ctx, kProtocolOffOptions);
  SSL_CTX_set_options(ctx, SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1);
  bool tls12 = (protocols & CU_SSL_PROTO_TLSV1_2) != 0;
  if (!tls12) SSL_CTX_set_options(ctx, SSL_OP_NO_TLSv1_2);
  SSL_CTX_set_min_proto_version(ctx, tls12 ? TLS1_2_VERSION : TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx, 0);
}

// The pass phrase at the cursor ends at NUL, CR or LF.
int pass_phrase_cb(char* buf, int size, int rwflag, void* userdata) {
  if (rwflag || !userdata || size <= 0) return 0;
  const char* phrase = static_cast<const char*>(userdata);
  int len = static_cast<int>(std::strcspn(phrase, "\r\n"));
  if (len > size) {
    console("warn: pass phrase cut to %d bytes\r\n", size);
    len = size;
  }
  std::memcpy(buf, phrase, static_cast<size_t>(len));
  return len;
}

// The next pass phrase of a CR/LF-separated list, or NULL at the end of the list.
const char* next_pass_phrase(const char* cur) {
  cur += std::strcspn(cur, "\r\n");
  if (!*cur) return nullptr;
  cur += std::strspn(cur, "\r\n");
  return *cur ? cur : nullptr;
}

// Tries each pass phrase of the list with load(phrase) until one opens the key.
template <typename Load>
bool try_pass_phrases(const char* list, Load load) {
  const char* cur = list ? list : kDefaultPassPhrase;
  while (cur) {
    if (load(const_cast<char*>(cur))) {
      ERR_clear_error();
      return true;
    }
    if (!list) break;
    cur = next_pass_phrase(cur);
  }
  ERR_clear_error();
  return false;
}

bool is_pem_end_of_input(unsigned long err) {
  return ERR_GET_LIB(err) == ERR_LIB_PEM && ERR_GET_REASON(err) == PEM_R_NO_START_LINE;
}

bool use_chain_from_bio(SSL_CTX* ctx, BIO* bio) {
  ERR_clear_error();
  X509* cert = PEM_read_bio_X509_AUX(bio, nullptr, nullptr, nullptr);
  if (!cert) {
    return fail("PEM_read_bio_X509_AUX() failed\r\n");
  }
  int ok = SSL_CTX_use_certificate(ctx, cert);
  X509_free(cert);
  if (ok != 1) {
    return fail("SSL_CTX_use_certificate() failed\r\n");
  }
  // A new certificate starts a new chain, so reloading never mixes chains.
  SSL_CTX_clear_chain_certs(ctx);
  while (X509* ca = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    if (SSL_CTX_add0_chain_cert(ctx, ca) != 1) {
      X509_free(ca);
      return fail("SSL_CTX_add0_chain_cert() failed\r\n");
    }
  }
  unsigned long last = ERR_peek_last_error();
  if (last == 0 || is_pem_end_of_input(last)) {
    ERR_clear_error();
    return true;
  }
  return fail("PEM_read_bio_X509() failed\r\n");
}

BioPtr mem_bio(const char* text, int32_t len) {
  if (!text || len < 0) return nullptr;
  return BioPtr(BIO_new_mem_buf(text, len));
}

bool use_private_key_bio(SSL_CTX* ctx, BIO* bio, char* phrase) {
  if (!bio) return false;
  EVP_PKEY* pkey = PEM_read_bio_PrivateKey(bio, nullptr, pass_phrase_cb, phrase);
  if (!pkey) return false;
  int ok = SSL_CTX_use_PrivateKey(ctx, pkey);
  EVP_PKEY_free(pkey);
  return ok == 1;
}

bool use_private_key_pem(SSL_CTX* ctx, const char* key, int32_t len, char* phrase) {
  return use_private_key_bio(ctx, mem_bio(key, len).get(), phrase);
}

bool use_private_key_file(SSL_CTX* ctx, const char* path, char* phrase) {
  return use_private_key_bio(ctx, file_bio(path).get(), phrase);
}

// Adds every certificate and CRL of a PEM file to the context's trust store; false when the
// file cannot be read, holds none, or one is refused.
bool load_trusted_file(SSL_CTX* ctx, const char* path) {
  BioPtr bio = file_bio(path);
  if (!bio) return false;
  char no_phrase[] = "";  // encrypted keys in the file are skipped, never prompted for
  STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, no_phrase);
  if (!infos) return false;
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  int count = 0;
  bool ok = true;
  for (int i = 0; ok && i < sk_X509_INFO_num(infos); ++i) {
    const X509_INFO* info = sk_X509_INFO_value(infos, i);
    if (info->x509) {
      ok = X509_STORE_add_cert(store, info->x509) == 1;
      ++count;
    }
    if (ok && info->crl) {
      ok = X509_STORE_add_crl(store, info->crl) == 1;
      ++count;
    }
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  return ok && count > 0;
}

// Up to 4,095 bytes of the pass-phrase file; false when it cannot be opened.
bool read_pass_phrase_file(const char* path, char (&out)[kPassPhraseFileMax + 1], bool* have) {
  *have = false;
  std::FILE* f = vor::open_stream(path, O_RDONLY, "rb");
  if (!f) return false;
  size_t n = std::fread(out, 1, kPassPhraseFileMax, f);
  std::fclose(f);
  out[n] = '\0';
  *have = n > 0;
  return true;
}

// The peer verification outcome is read later (GetVerifyResult); it never stops a handshake.
int accept_any_peer(int, X509_STORE_CTX*) { return 1; }

int alpn_select(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
                unsigned int inlen, void* arg) {
  const auto* server = static_cast<const unsigned char*>(arg);
  unsigned int server_len = static_cast<unsigned int>(std::strlen(reinterpret_cast<const char*>(server)));
  unsigned char* chosen = nullptr;
  int r = SSL_select_next_proto(&chosen, outlen, server, server_len, in, inlen);
  if (r != OPENSSL_NPN_NEGOTIATED) return SSL_TLSEXT_ERR_NOACK;
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

int npn_advertise(SSL*, const unsigned char** out, unsigned int* outlen, void* arg) {
  const auto* list = static_cast<const unsigned char*>(arg);
  *out = list;
  *outlen = static_cast<unsigned int>(std::strlen(reinterpret_cast<const char*>(list)));
  return SSL_TLSEXT_ERR_OK;
}

void set_alpn(SSL_CTX* ctx, const unsigned char* list) {
  if (ctx) SSL_CTX_set_alpn_select_cb(ctx, alpn_select, const_cast<unsigned char*>(list));
}

void set_npn(SSL_CTX* ctx, const unsigned char* list) {
  if (ctx) SSL_CTX_set_next_protos_advertised_cb(ctx, npn_advertise, const_cast<unsigned char*>(list));
}

bool digest_update(EVP_MD_CTX* md, const void* data, size_t len) {
  if (EVP_DigestUpdate(md, data, len) == 1) return true;
  return fail("EVP_DigestUpdate() failed\r\n");
}

bool digest_own_certificate(SSL_CTX* ctx, EVP_MD_CTX* md) {
  X509* cert = SSL_CTX_get0_certificate(ctx);
  if (!cert) return true;
  unsigned char buf[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (X509_digest(cert, vor::tls::layer_digest(), buf, &n) != 1) {
    return fail("X509_digest() failed\r\n");
  }
  return digest_update(md, buf, n);
}

bool digest_client_ca_names(SSL_CTX* ctx, EVP_MD_CTX* md) {
  STACK_OF(X509_NAME)* names = SSL_CTX_get_client_CA_list(ctx);
  for (int i = 0; names && i < sk_X509_NAME_num(names); ++i) {
    unsigned char buf[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_NAME_digest(sk_X509_NAME_value(names, i), vor::tls::layer_digest(), buf, &n) != 1) {
      return fail("X509_NAME_digest() failed\r\n");
    }
    if (!digest_update(md, buf, n)) return false;
  }
  return true;
}

bool set_session_id_context(SSL_CTX* ctx, const void* text, int32_t len) {
  vor::Owned<EVP_MD_CTX, EVP_MD_CTX_free> md(EVP_MD_CTX_new());
  if (!md || EVP_DigestInit_ex(md.get(), vor::tls::layer_digest(), nullptr) != 1) {
    return fail("EVP_DigestInit_ex() failed\r\n");
  }
  if (text && len > 0 && !digest_update(md.get(), text, static_cast<size_t>(len))) return false;
  if (!digest_own_certificate(ctx, md.get()) || !digest_client_ca_names(ctx, md.get())) return false;
  unsigned char sid[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(md.get(), sid, &n) != 1) {
    return fail("EVP_DigestUpdate() failed\r\n");
  }
  n = std::min<unsigned int>(n, SSL_MAX_SID_CTX_LENGTH);
  if (SSL_CTX_set_session_id_context(ctx, sid, n) != 1) {
    return fail("SSL_CTX_set_session_id_context() failed\r\n");
  }
  return true;
}

bool set_dh_from_file(SSL_CTX* ctx, const char* path) {
  BioPtr bio = file_bio(path);
  if (!bio) {
    return fail("BIO_new_file(\"%s\") failed\r\n", path);
  }
  EVP_PKEY* params = PEM_read_bio_Parameters(bio.get(), nullptr);
  if (!params || (EVP_PKEY_get_base_id(params) != EVP_PKEY_DH && EVP_PKEY_get_base_id(params) != EVP_PKEY_DHX)) {
    EVP_PKEY_free(params);
    return fail("PEM_read_bio_DHparams(\"%s\") failed\r\n", path);
  }
  // OpenSSL refuses groups below the security level; the context then keeps working with
  // automatic groups instead of silently offering no DHE suite.
  if (SSL_CTX_set0_tmp_dh_pkey(ctx, params) != 1) {
    EVP_PKEY_free(params);
    ERR_clear_error();
    console("SSL_CTX_set0_tmp_dh_pkey(\"%s\") refused, automatic DH used instead\r\n", path);
    SSL_CTX_set_dh_auto(ctx, 1);
    return true;
  }
  SSL_CTX_set_dh_auto(ctx, 0);
  return true;
}

}  // namespace

void _cu_minfo(const SSL*, int, int) {}

bool cu_ssl_ctx_init(cu_ssl_ctx* holder, int32_t protocols) {
  if (!holder) return false;
  cu_ssl_init();
  holder->ctx = SSL_CTX_new(TLS_method());
  if (!holder->ctx) {
    return fail("SSL_CTX_new() failed\r\n");
  }
  SSL_CTX* ctx = holder->ctx;
  SSL_CTX_set_options(ctx, kCompatOptions);
  apply_protocol_mask(ctx, protocols);
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_NO_AUTO_CHAIN | SSL_MODE_AUTO_RETRY |
                            SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_info_callback(ctx, _cu_minfo);
  SSL_CTX_set_dh_auto(ctx, 1);
  return true;
}

void cu_ssl_ctx_destroy(cu_ssl_ctx* holder) {
  if (!holder || !holder->ctx) return;
  SSL_CTX_free(holder->ctx);
  holder->ctx = nullptr;
}

SSL_CTX* cu_ssl_ctx_InnerCTX(cu_ssl_ctx* holder) { return inner(holder); }

bool ssl_ctx_UseCertificateChainFile(SSL_CTX* ctx, const char* chain_file) {
  if (!ctx || !chain_file) return false;
  BioPtr bio = file_bio(chain_file);
  if (!bio) {
    return fail("BIO_new_file(\"%s\") failed\r\n", chain_file);
  }
  return use_chain_from_bio(ctx, bio.get());
}

bool ssl_ctx_UseCertificateChainString(SSL_CTX* ctx, const char* chain, int32_t len) {
  if (!ctx || !chain || len < 0) return false;
  BioPtr bio = mem_bio(chain, len);
  if (!bio) {
    return fail("BIO_new_mem_buf(\"%.*s\") failed\r\n", static_cast<int>(len), chain);
  }
  return use_chain_from_bio(ctx, bio.get());
}

bool ssl_ctx_UsePrivateKeyFile(SSL_CTX* ctx, const char* key_file, const char* pass_phrases) {
  if (!ctx || !key_file) return false;
  return try_pass_phrases(pass_phrases, [&](char* p) { return use_private_key_file(ctx, key_file, p); });
}

bool ssl_ctx_UsePrivateKeyString(SSL_CTX* ctx, const char* key, int32_t len, const char* pass_phrases) {
  if (!ctx || !key || len < 0) return false;
  return try_pass_phrases(pass_phrases, [&](char* p) { return use_private_key_pem(ctx, key, len, p); });
}

bool ssl_ctx_CheckPrivateKey(SSL_CTX* ctx) {
  if (!ctx) return false;
  ERR_clear_error();
  bool ok = SSL_CTX_check_private_key(ctx) == 1;
  ERR_clear_error();
  return ok;
}

bool cu_ssl_ctx_UseCertificateChainFile(cu_ssl_ctx* holder, const char* chain_file, const char* key_file,
                                        const char* pass_phrase_file) {
  SSL_CTX* ctx = inner(holder);
  if (!ctx || !chain_file || !key_file) return false;
  char list[kPassPhraseFileMax + 1];
  bool have_list = false;
  if (pass_phrase_file && !read_pass_phrase_file(pass_phrase_file, list, &have_list)) return false;
  if (!ssl_ctx_UseCertificateChainFile(ctx, chain_file)) return false;
  if (!ssl_ctx_UsePrivateKeyFile(ctx, key_file, have_list ? list : nullptr)) return false;
  return ssl_ctx_CheckPrivateKey(ctx);
}

bool cu_ssl_ctx_UseCertificateChainString(cu_ssl_ctx* holder, const char* chain, int32_t chain_len,
                                          const char* key, int32_t key_len, const char* pass_phrases) {
  SSL_CTX* ctx = inner(holder);
  if (!ctx) return false;
  if (!ssl_ctx_UseCertificateChainString(ctx, chain, chain_len)) return false;
  if (!ssl_ctx_UsePrivateKeyString(ctx, key, key_len, pass_phrases)) return false;
  return ssl_ctx_CheckPrivateKey(ctx);
}

bool cu_ssl_ctx_SetCipherList(cu_ssl_ctx* holder, const char* ciphers) {
  SSL_CTX* ctx = inner(holder);
  if (!ctx) return false;
  ERR_clear_error();
  bool ok = SSL_CTX_set_cipher_list(ctx, ciphers ? ciphers : kDefaultCiphers) == 1;
  ERR_clear_error();
  return ok;
}

bool cu_ssl_ctx_TrustedCertificate(cu_ssl_ctx* holder, const char* ca_file, int32_t depth) {
  SSL_CTX* ctx = inner(holder);
  if (!ctx) return false;
  if (!ca_file) return true;
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, accept_any_peer);
  SSL_CTX_set_verify_depth(ctx, depth);
  if (!load_trusted_file(ctx, ca_file)) {
    return fail("SSL_CTX_load_verify_locations(\"%s\") failed\r\n", ca_file);
  }
  ERR_clear_error();
  return true;
}

bool cu_ssl_ctx_SetDHParam(cu_ssl_ctx* holder, const char* dh_file) {
  SSL_CTX* ctx = inner(holder);
  if (!ctx) return false;
  if (dh_file) return set_dh_from_file(ctx, dh_file);
  SSL_CTX_set_dh_auto(ctx, 1);
  return true;
}

bool cu_ssl_ctx_SetECDHCurve(cu_ssl_ctx* holder, const char* curve) {
  SSL_CTX* ctx = inner(holder);
  if (!ctx) return false;
  const char* name = curve ? curve : kDefaultCurve;
  if (OBJ_sn2nid(name) == NID_undef) {
    return fail("Unknown curve name \"%s\"\r\n", name);
  }
  if (SSL_CTX_set1_groups_list(ctx, name) != 1) {
    ERR_clear_error();
    return fail("Unable to create curve \"%s\"\r\n", name);
  }
  SSL_CTX_set_options(ctx, SSL_OP_SINGLE_ECDH_USE);
  return true;
}

uint64_t cu_ssl_ctx_SetPreferServerCipher(cu_ssl_ctx* holder) {
  SSL_CTX* ctx = inner(holder);
  if (!ctx) return 0;
  return SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
}

bool cu_ssl_ctx_SetGetServerNameCallback(cu_ssl_ctx* holder, cu_ssl_servername_fn fn, void* arg) {
  SSL_CTX* ctx = inner(holder);
  if (!ctx) return false;
  if (SSL_CTX_set_tlsext_servername_callback(ctx, fn) != 1) return false;
  return SSL_CTX_set_tlsext_servername_arg(ctx, arg) == 1;
}

bool cu_ssl_session_SetSessionIDContext(cu_ssl_ctx* holder, const void* text, int32_t len) {
  SSL_CTX* ctx = inner(holder);
  if (!ctx) return false;
  return set_session_id_context(ctx, text, len);
}

bool cu_ssl_session_SetCacheAttribute(cu_ssl_ctx* holder, int64_t timeout, int64_t size) {
  SSL_CTX* ctx = inner(holder);
  if (!ctx) return false;
  SSL_CTX_set_timeout(ctx, timeout);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  SSL_CTX_sess_set_cache_size(ctx, size);
  return true;
}

void ssl_ctx_SetAlpnSelect_HTTP1(SSL_CTX* ctx) { set_alpn(ctx, kProtosHttp1); }
void ssl_ctx_SetAlpnSelect_HTTP2(SSL_CTX* ctx) { set_alpn(ctx, kProtosHttp2); }
void ssl_ctx_SetNextProtos_HTTP1(SSL_CTX* ctx) { set_npn(ctx, kProtosHttp1); }
void ssl_ctx_SetNextProtos_HTTP2(SSL_CTX* ctx) { set_npn(ctx, kProtosHttp2); }
void cu_ssl_ctx_SetAlpnSelect_HTTP1(cu_ssl_ctx* holder) { set_alpn(inner(holder), kProtosHttp1); }
void cu_ssl_ctx_SetAlpnSelect_HTTP2(cu_ssl_ctx* holder) { set_alpn(inner(holder), kProtosHttp2); }
void cu_ssl_ctx_SetNextProtos_HTTP1(cu_ssl_ctx* holder) { set_npn(inner(holder), kProtosHttp1); }
void cu_ssl_ctx_SetNextProtos_HTTP2(cu_ssl_ctx* holder) { set_npn(inner(holder), kProtosHttp2); }
