// vor_http_filter_request: turns the bytes of one connection, in whatever pieces they arrive,
// into whole HTTP requests (a parsed head and a body queue), several per connection.
#pragma once
#include "cu_jitter.h"
#include "vor_export.h"
#include "vor_http_table.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_http_filter vor_http_filter_request;

/* A new empty request parser; NULL when memory is short. */
VOR_API vor_http_filter_request* vor_http_filter_request_make(void);
/* Takes the bytes; false on a malformed or oversized message, a parser already in error, NULL or memory short. */
VOR_API bool vor_http_filter_request_input(vor_http_filter_request* f, const void* data, int32_t len);
/* The first complete request (state 13, removed; caller frees table and body), else NULL with state 11, 12 or 0. */
VOR_API vor_http_table* vor_http_filter_request_get(vor_http_filter_request* f, cu_jitter** body, int32_t* state);
/* Shows the first request without removing it: true with its table, body and state when it is 12 or 13. */
VOR_API bool vor_http_filter_request_peek(vor_http_filter_request* f, vor_http_table** table, cu_jitter** body,
                                          int32_t* state);
/* Frees every record and the parser; NULL ignored. */
VOR_API void vor_http_filter_request_free(vor_http_filter_request* f);

VOR_EXTERN_C_END
