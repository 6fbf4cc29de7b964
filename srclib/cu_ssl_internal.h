// Internals of the TLS layer shared by its source files; not exported.
#pragma once
#include "vor_internal.h"
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <memory>

#include "vor_kit.h"

namespace vor::tls {

// A BIO freed with its owner.
using BioPtr = vor::Owned<BIO, BIO_free>;

// The one digest of the layer: session id contexts and certificate fingerprints. Its 32 bytes
// fit OpenSSL's session id context exactly.
inline const EVP_MD* layer_digest() { return EVP_sha256(); }

// Prints one console line of the layer (the text carries its own "\r\n").
void console(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Prints the line naming the failed call, drops OpenSSL's queued errors (the queue is per thread
// and shared by every connection of the thread) and answers false.
bool fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vor::tls

// Routes OpenSSL's allocations to the process allocator. Off unless called, and only possible
// before OpenSSL has allocated anything (so before cu_ssl_init); false when too late. TLS memory
// then sits behind the allocator's global lock but is not in its per-site figures.
bool cu_ssl_UseProcessAllocator();
