// Form-style percent encoding of byte strings (query strings and urlencoded bodies).
#pragma once
#include "vor_export.h"
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* A new string: blank -> '+', A-Z a-z 0-9 '*' kept, every other byte "%XX"; length 0 means
   strlen(text). NULL for a NULL text, a negative length or when memory is short. */
VOR_API char* cu_url_escape_malloc(const char* text, int32_t length);
/* A new decoded string ('+' -> blank, "%xx" -> byte, any other '%' copied); length 0 means
   strlen(text). NULL for a NULL text, a negative length or when memory is short. */
VOR_API char* cu_url_unescape_malloc(const char* text, int32_t length);
/* Frees a result of either function; NULL ignored. */
VOR_API void cu_url_escape_free(char* s);
/* The same operation as cu_url_escape_free. */
VOR_API void cu_url_unescape_free(char* s);

VOR_EXTERN_C_END
