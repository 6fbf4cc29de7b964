// vor_http_filter_response: turns the bytes of one connection into HTTP responses, following
// Content-Length, chunked and read-until-close bodies; a body in progress can be taken piece by piece.
#pragma once
#include "cu_jitter.h"
#include "vor_export.h"
#include "vor_http_table.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_http_filter vor_http_filter_response;

/* A new empty response parser; NULL when memory is short. */
VOR_API vor_http_filter_response* vor_http_filter_response_make(void);
/* Takes the bytes; false on a malformed or oversized message, a parser already in error, NULL or memory short. */
VOR_API bool vor_http_filter_response_input(vor_http_filter_response* f, const void* data, int32_t len);
/* The first complete response (state 13, removed), or a copy of the head and the body bytes so far (state 12); else NULL. */
VOR_API vor_http_table* vor_http_filter_response_get(vor_http_filter_response* f, cu_jitter** body, int32_t* state);
/* Frees every record and the parser; NULL ignored. */
VOR_API void vor_http_filter_response_free(vor_http_filter_response* f);

VOR_EXTERN_C_END
