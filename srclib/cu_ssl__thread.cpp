// Library set-up of the TLS layer. OpenSSL 3 locks its shared state itself, so no lock array
// or thread-id callback is installed.
#include "cu_malloc.h"
#include "cu_ssl.h"
#include "cu_ssl_internal.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr char kUnit[] = "srclib\\cu_ssl";

std::atomic<bool> g_ready{false};

void* ssl_malloc(size_t n, const char*, int) { return _cu_malloc(n ? n : 1, kUnit, __LINE__); }

void* ssl_realloc(void* p, size_t n, const char*, int) {
  if (!p) return _cu_malloc(n ? n : 1, kUnit, __LINE__);
  if (n == 0) {
    _cu_free(p, kUnit, __LINE__);
    return nullptr;
  }
  return _cu_realloc(p, n, kUnit, __LINE__);
}

void ssl_free(void* p, const char*, int) { _cu_free(p, kUnit, __LINE__); }

void print_line(const char* fmt, va_list ap) {
  std::vfprintf(stdout, fmt, ap);
  std::fflush(stdout);
}

}  // namespace

namespace vor::tls {

void console(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  print_line(fmt, ap);
  va_end(ap);
}

bool fail(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  print_line(fmt, ap);
  va_end(ap);
  ERR_clear_error();
  return false;
}

}  // namespace vor::tls

bool cu_ssl_UseProcessAllocator() {
  return CRYPTO_set_mem_functions(ssl_malloc, ssl_realloc, ssl_free) == 1;
}

bool cu_ssl_init(void) {
  if (g_ready.load(std::memory_order_acquire)) return true;
  // Loads the error strings, ciphers and digests; OpenSSL makes repeated calls harmless.
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  g_ready.store(true, std::memory_order_release);
  return true;
}
