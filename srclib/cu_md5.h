// cu_md5: MD5 digests (RFC 1321) handed out as 32 lowercase hexadecimal characters and a NUL,
// in one call for a string or through a streaming context that may be embedded in a record.
#pragma once
#include "vor_export.h"
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* The streaming context; callers may embed it and reset it with cu_md5_init. */
typedef struct cu_md5 {
  uint32_t bits_low;
  uint32_t bits_high;
  uint32_t state[4];
  uint8_t block[64];
} cu_md5;

/* A new context, already initialised; NULL when memory is short. */
VOR_API cu_md5* cu_md5_make(void);
/* Resets the bit count and the chaining state; NULL ignored. */
VOR_API void cu_md5_init(cu_md5* ctx);
/* Adds len bytes to the digest; a length of 0 or below does nothing. */
VOR_API void cu_md5_append(cu_md5* ctx, const void* data, int32_t len);
/* Pads, processes the last block and writes 32 hex characters and a NUL (out holds 33 bytes). */
VOR_API void cu_md5_finish(cu_md5* ctx, char* out);
/* Frees a context from cu_md5_make; NULL ignored. */
VOR_API void cu_md5_free(cu_md5* ctx);
/* Writes the MD5 text of the bytes of s (without its NUL) into out (33 bytes). */
VOR_API void cu_md5_encode(char* out, const char* s);

VOR_EXTERN_C_END
