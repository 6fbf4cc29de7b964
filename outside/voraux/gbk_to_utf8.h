// gbk_to_utf8: GBK text to UTF-8 through the C library's iconv. One converter serves every
// thread: each thread converts with its own conversion state.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct gbk_to_utf8 gbk_to_utf8;

/* The converter, made once and never freed; NULL when the C library cannot convert GBK. */
VOR_API gbk_to_utf8* gbk_to_utf8_make(void);
/* Converts len bytes of GBK (stopping at a NUL; len below 0: up to the NUL) into out: at most
   capacity - 1 bytes and a NUL, never a cut UTF-8 sequence; a bad or cut GBK character gives '?'.
   flags must be 0. Answers out, NULL for bad arguments. */
VOR_API char* gbk_to_utf8_static(gbk_to_utf8* converter, const char* gbk, int32_t len, char* out,
                                 int32_t capacity, int32_t flags);

VOR_EXTERN_C_END
