// cu_pattern: compiled glob patterns ('*' any run of bytes, '?' one byte) matched many times,
// case-sensitively or not. Prefix, suffix and exact shapes are plain compares; the general
// shape runs the wildcard matcher from whichever end has fewer wildcards nearby.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

#define M_MATCH_ALL 0
#define M_MATCH_ALL_TAIL 1
#define M_MATCH_HEAD 2
#define M_MATCH_TAIL 3
#define M_MATCH_EXACT 4

typedef struct cu_pattern {
  int32_t match_type;      /* M_MATCH_* */
  uint32_t pattern_length; /* length of text */
  uint32_t min_length;     /* fewest bytes a matching string has */
  uint32_t max_length;     /* most bytes (0xFFFFFFFF when the pattern has a '*') */
  char* text;              /* canonical text; reversed for M_MATCH_ALL_TAIL */
} cu_pattern;

/* Creates the pattern pool once; ends the process when it cannot. */
VOR_API void cu_pattern__xmem_init(void);
/* Compiles a glob; NULL for NULL text or when the pool has no room. */
VOR_API cu_pattern* cu_pattern_make(const char* glob);
/* Gives the pattern back to the pool; NULL ignored. */
VOR_API void cu_pattern_free(cu_pattern* p);
/* 1 when both are given with the same type, length and text. */
VOR_API uint8_t cu_pattern_equal(const cu_pattern* a, const cu_pattern* b);
/* Case-sensitive match of a whole NUL-terminated string. */
VOR_API uint8_t cu_pattern_match_string(const cu_pattern* p, const char* s);
/* The same with ASCII letters compared without regard to case. */
VOR_API uint8_t cu_pattern_match_istring(const cu_pattern* p, const char* s);
/* Matches the first len bytes of s; reversed may be NULL (it is not needed); case_sensitive 1 or 0. */
VOR_API uint8_t cu_pattern_match(const cu_pattern* p, int32_t len, const char* s, const char* reversed,
                                 uint8_t case_sensitive);
/* Compiles, matches case-sensitively and frees; 0 when either is NULL or compiling fails. */
VOR_API uint8_t cu_pattern_match_simple(const char* glob, const char* s);
/* The same, case-insensitive. */
VOR_API uint8_t cu_pattern_match_isimple(const char* glob, const char* s);

VOR_EXTERN_C_END
