// http_parser: one HTTP request or response head held as one NUL-terminated text in one
// buffer (2,048 bytes, grown once to 16,384), edited in place, with an optional index of up
// to 64 header names. Fed by the edge server, read and edited by every module on the path.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

struct cu_xmem;

/* Where one header name starts in the text and how many characters it has. */
typedef struct http_parser_index {
  uint16_t offset;
  uint16_t length;
} http_parser_index;

/* The head object; callers may hold it in their own records (see http_parser_init). */
typedef struct http_parser {
  char* text;
  int32_t capacity;
  int32_t length;
  http_parser_index index[64];
  uint16_t index_count;
  struct cu_xmem* pool;
} http_parser;

/* A new empty object from the process allocator; NULL when memory is short. */
VOR_API http_parser* http_parser_make(void);
/* A new empty object from the pool (NULL: the process allocator); NULL when memory is short. */
VOR_API http_parser* http_parser_makex(struct cu_xmem* pool);
/* Sets caller storage up as a new object without a pool; NULL ignored. */
VOR_API void http_parser_init(http_parser* parser);
/* Sets caller storage up as a new object taking its buffer from the pool; NULL ignored. */
VOR_API void http_parser_init_ext(http_parser* parser, struct cu_xmem* pool);
/* Frees the buffer; the object becomes empty, its pool stays; NULL ignored. */
VOR_API void http_parser_destroy(http_parser* parser);
/* http_parser_destroy, then frees the object itself; NULL ignored. */
VOR_API void http_parser_free(http_parser* parser);
/* Empties the head and drops the index; the buffer stays; NULL ignored. */
VOR_API void http_parser_empty(http_parser* parser);
/* Appends input up to the end of the head; answers how many input bytes belong to the head. */
VOR_API int32_t http_parser_parse(http_parser* parser, const char* bytes, int32_t len);
/* True when the head ends with CR LF CR LF. */
VOR_API bool http_parser_check(http_parser* parser);
/* The head text; NULL only when no buffer can be had. */
VOR_API char* http_parser_GetStr(http_parser* parser);
/* Characters of head text held. */
VOR_API int32_t http_parser_GetLen(http_parser* parser);
/* Indexes the header names of a complete head (none kept for 64 or more); false when incomplete. */
VOR_API bool http_parser_buildIndex(http_parser* parser);
/* Prints one console line per index entry. */
VOR_API void http_parser_IndexInfo(http_parser* parser);
/* A deep copy from the process allocator; NULL for NULL or when memory is short. */
VOR_API http_parser* http_parser_clone(const http_parser* parser);
/* A deep copy from the pool (NULL: the process allocator); NULL for NULL or when memory is short. */
VOR_API http_parser* http_parser_clonex(const http_parser* parser, struct cu_xmem* pool);

/* The status text of a response into buffer (at most n - 1 characters); NULL when there is none. */
VOR_API char* http_parser_GetStatus(http_parser* parser, char* buffer, int32_t n);
/* The status text in a new 4,096-byte block (free with _cu_free); NULL when there is none. */
VOR_API char* http_parser_GetStatus_ext(http_parser* parser);
/* Replaces the status text of a response; text holding CR or LF changes nothing. */
VOR_API void http_parser_ModifyStatus(http_parser* parser, const char* text);
/* A known method word of a request into buffer (8 bytes); NULL for others. */
VOR_API char* http_parser_GetMothod(http_parser* parser, char* buffer);
/* A known method word in a new 64-byte block (free with _cu_free); NULL for others. */
VOR_API char* http_parser_GetMethod_ext(http_parser* parser);
/* Replaces the method word of a request; text holding CR or LF changes nothing. */
VOR_API void http_parser_ModifyMethod(http_parser* parser, const char* text);
/* The request target into buffer (at most n - 1 characters); NULL when there is none. */
VOR_API char* http_parser_GetRequest(http_parser* parser, char* buffer, int32_t n);
/* The request target in a new 4,096-byte block (free with _cu_free); NULL when there is none. */
VOR_API char* http_parser_GetRequest_ext(http_parser* parser);
/* Replaces the request target; text holding CR or LF changes nothing. */
VOR_API void http_parser_ModifyRequest(http_parser* parser, const char* text);
/* The value of occurrence k (from 0) of a header into buffer; NULL when there is none. */
VOR_API char* http_parser_GetNthKey(http_parser* parser, const char* name, int32_t k, char* buffer, int32_t n);
/* The value of the first header of that name into buffer; NULL when there is none. */
VOR_API char* http_parser_GetKey(http_parser* parser, const char* name, char* buffer, int32_t n);
/* The first value in a new 4,096-byte block (free with _cu_free); NULL when absent. */
VOR_API char* http_parser_GetKey_ext(http_parser* parser, const char* name);
/* True when a header of that name exists, even with an empty value. */
VOR_API bool http_parser_IsKey(http_parser* parser, const char* name);
/* Appends "name: value" to a complete head; false when refused (bad text, no room, incomplete). */
VOR_API bool http_parser_InsertKey(http_parser* parser, const char* name, const char* value);
/* Removes occurrence k (from 0) of a header line; always true. */
VOR_API bool http_parser_DelNthKey(http_parser* parser, const char* name, int32_t k);
/* Removes the first header line of that name; always true. */
VOR_API bool http_parser_DelKey(http_parser* parser, const char* name);
/* Removes the first header of that name and appends it with the new value; false when refused. */
VOR_API bool http_parser_ModifyKey(http_parser* parser, const char* name, const char* value);
/* The value of a cookie of the first Cookie header into buffer; NULL when absent. */
VOR_API char* http_parser_GetCookie(http_parser* parser, const char* name, char* buffer, int32_t n);
/* The cookie value in a new 4,096-byte block (free with _cu_free); NULL when absent. */
VOR_API char* http_parser_GetCookie_ext(http_parser* parser, const char* name);
/* True when the first Cookie header holds that cookie. */
VOR_API bool http_parser_IsCookieKey(http_parser* parser, const char* name);

VOR_EXTERN_C_END
