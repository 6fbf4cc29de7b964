// vor_regex: a compiled regular expression (PCRE2 syntax) that many threads may match at
// once, with "$N" template replacement.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_regex vor_regex;

/* One entry of a match record: start and end offsets in the subject; -1 for a group that took no part. */
typedef struct vor_regmatch {
  int32_t rm_so;
  int32_t rm_eo;
} vor_regmatch;

/* A compiled, case-sensitive object; NULL for a NULL pattern, a pattern that does not compile or memory short. */
VOR_API vor_regex* vor_regex_make(const char* pattern);
/* The same, compiled without regard to case. */
VOR_API vor_regex* vor_regex_imake(const char* pattern);
/* Releases the object; NULL ignored. */
VOR_API void vor_regex_free(vor_regex* re);
/* The same operation as vor_regex_free. */
VOR_API void vor_regex_ifree(vor_regex* re);
/* True when the subject matches. */
VOR_API bool vor_regex_match(vor_regex* re, const char* subject);
/* The same operation as vor_regex_match. */
VOR_API bool vor_regex_imatch(vor_regex* re, const char* subject);
/* True when the subject matches, with count entries of the caller's record filled (entry 0: the whole match). */
VOR_API bool vorx_regex_match(vor_regex* re, const char* subject, vor_regmatch* match, int32_t count);
/* The same operation as vorx_regex_match. */
VOR_API bool vorx_regex_imatch(vor_regex* re, const char* subject, vor_regmatch* match, int32_t count);
/* On a match: the match's offsets and the template expanded ($0-$9) into output; false (output emptied) otherwise. */
VOR_API bool vor_regex_replace_ext(vor_regex* re, const char* subject, int32_t* start, int32_t* end,
                                   const char* tmpl, char* output, int32_t size);
/* The same operation as vor_regex_replace_ext. */
VOR_API bool vor_regex_ireplace_ext(vor_regex* re, const char* subject, int32_t* start, int32_t* end,
                                    const char* tmpl, char* output, int32_t size);
/* vor_regex_replace_ext without the offsets. */
VOR_API bool vor_regex_replace(vor_regex* re, const char* subject, const char* tmpl, char* output, int32_t size);
/* The same operation as vor_regex_replace. */
VOR_API bool vor_regex_ireplace(vor_regex* re, const char* subject, const char* tmpl, char* output, int32_t size);
/* Compiles (case-sensitive), matches and frees; false also when the pattern does not compile. */
VOR_API bool vor_regex_match_simple(const char* pattern, const char* subject);
/* The same without regard to case. */
VOR_API bool vor_regex_match_isimple(const char* pattern, const char* subject);
/* Compiles, matches, expands the template and frees; false, output untouched, when nothing matches. */
VOR_API bool vor_regex_replace_simple(const char* pattern, const char* subject, const char* tmpl, char* output,
                                      int32_t size);
/* The same without regard to case. */
VOR_API bool vor_regex_replace_isimple(const char* pattern, const char* subject, const char* tmpl, char* output,
                                       int32_t size);
/* The pattern-text slot of the object; no operation fills it, so NULL. */
VOR_API const char* vor_regex_pattern(vor_regex* re);

VOR_EXTERN_C_END
