// Reading and editing one Set-Cookie value ("name=value; path=/; domain=...; secure"), held
// by the caller as a NUL-terminated string, and matching a cookie's domain and path.
// Attribute names are compared without regard to ASCII case. Copies into a caller's buffer
// of size n take at most n - 1 characters and a NUL.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* The k-th attribute (0: the cookie itself); false, both buffers emptied, when there is none. */
VOR_API bool http_setcookie_GetNthKey(const char* value, int32_t k, char* name, int32_t name_size, char* buf,
                                      int32_t size);
/* The value of the k-th attribute whose name matches the glob pattern (its name copied too); NULL when none. */
VOR_API char* http_setcookie_GetNthPatternKey(const char* value, int32_t k, const char* pattern, char* name,
                                              int32_t name_size, char* buf, int32_t size);
/* http_setcookie_GetNthPatternKey with k 0. */
VOR_API char* http_setcookie_GetPatternKey(const char* value, const char* pattern, char* name, int32_t name_size,
                                           char* buf, int32_t size);
/* The value of the attribute named name (a name with '?' or '*' is a glob); NULL when absent. */
VOR_API char* http_setcookie_GetKey(const char* value, const char* name, char* buf, int32_t size);
/* http_setcookie_GetKey with "expires". */
VOR_API char* http_setcookie_GetExpires(const char* value, char* buf, int32_t size);
/* http_setcookie_GetKey with "path". */
VOR_API char* http_setcookie_GetPath(const char* value, char* buf, int32_t size);
/* http_setcookie_GetKey with "domain". */
VOR_API char* http_setcookie_GetDomain(const char* value, char* buf, int32_t size);
/* True when "secure" stands as a word of its own. */
VOR_API bool http_setcookie_IsSecure(const char* value);
/* True when a cookie of that domain applies to the host (ports ignored). */
VOR_API bool http_setcookie_MatchDomain(const char* domain, const char* host);
/* True when the cookie path is a prefix of the request path. */
VOR_API bool http_setcookie_MatchPath(const char* cookie_path, const char* request_path);
/* Removes the k-th attribute whose name matches the pattern; true, always. */
VOR_API bool http_setcookie_DelNthPatternKey(char* value, int32_t k, const char* pattern);
/* http_setcookie_DelNthPatternKey with k 0. */
VOR_API bool http_setcookie_DelPatternKey(char* value, const char* pattern);
/* Removes the attribute named name; true, always. */
VOR_API bool http_setcookie_DelKey(char* value, const char* name);
/* http_setcookie_DelKey with "expires". */
VOR_API bool http_setcookie_DelExpires(char* value);
/* Removes the attribute and appends "; name=new_value" within the buffer of value_size bytes;
   false, value unchanged, when the result would not fit. */
VOR_API bool http_setcookie_ModifyKey(char* value, int32_t value_size, const char* name, const char* new_value);
/* http_setcookie_ModifyKey with "expires". */
VOR_API bool http_setcookie_ModifyExpires(char* value, int32_t value_size, const char* new_value);
/* The same operation as http_setcookie_ModifyKey. */
VOR_API bool http_setcookie_InsertKey(char* value, int32_t value_size, const char* name, const char* new_value);

VOR_EXTERN_C_END
