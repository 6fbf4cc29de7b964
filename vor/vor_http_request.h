// vor_http_request: one HTTP request sent from a thread-owned box, its response handed to the
// caller piece by piece as it arrives. Only the scheme http is served.
#pragma once
#include "cu_jitter.h"
#include "vor_box.h"
#include "vor_export.h"
#include "vor_http_table.h"
#include "vor_uri.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_http_request vor_http_request;

/* Failure, close and the reserved callback: (user data, box, socket id). */
typedef void (*vor_http_request_sock_fn)(void* ud, vor_box* box, int64_t sid);
/* A piece of the response: the head (a copy), the body bytes since the last call, state 12 or 13 (the last). */
typedef void (*vor_http_request_response_fn)(void* ud, vor_box* box, int64_t sid, const char* url,
                                             vor_http_table* head, cu_jitter* body, int32_t state);

/* A new record with an empty request table; NULL when memory is short. */
VOR_API vor_http_request* vor_http_request_make(void);
/* Starts the request through an HTTP proxy (NULL host: none); on false the record is freed unless an argument was NULL or stale. */
VOR_API bool vorx_http_request_attach(vor_box* box, void* ignored, vor_http_request* r, const char* url,
                                      const char* proxy_host, uint16_t proxy_port, vor_http_request_sock_fn reserved,
                                      void* ud_reserved, vor_http_request_sock_fn on_failed, void* ud_failed,
                                      vor_http_request_response_fn on_response, void* ud_response,
                                      vor_http_request_sock_fn on_close, void* ud_close);
/* vorx_http_request_attach without a proxy. */
VOR_API bool vor_http_request_attach(vor_box* box, void* ignored, vor_http_request* r, const char* url,
                                     vor_http_request_sock_fn reserved, void* ud_reserved,
                                     vor_http_request_sock_fn on_failed, void* ud_failed,
                                     vor_http_request_response_fn on_response, void* ud_response,
                                     vor_http_request_sock_fn on_close, void* ud_close);
/* Sets the request's method. */
VOR_API void vor_http_request_SetMethod(vor_http_request* r, const char* method);
/* Sets a header field of the request. */
VOR_API void vor_http_request_SetField(vor_http_request* r, const char* name, const char* value);
/* Removes the first header field of that name. */
VOR_API void vor_http_request_UnsetField(vor_http_request* r, const char* name);
/* Adds a form parameter from its decoded value. */
VOR_API void vor_http_request_SetForm(vor_http_request* r, const char* name, const char* value);
/* Removes the first form parameter of that name. */
VOR_API void vor_http_request_UnsetForm(vor_http_request* r, const char* name);
/* The record's own URI (valid until the record is freed), or NULL. */
VOR_API vor_uri* vor_http_request_GetUri_in(vor_http_request* r);
/* A copy of the URI (free with vor_uri_free), or NULL. */
VOR_API vor_uri* vor_http_request_GetUri(vor_http_request* r);
/* The URL as new text (free with _cu_free), or NULL. */
VOR_API char* vor_http_request_GetUrl(vor_http_request* r);
/* The box the record runs on, or NULL. */
VOR_API vor_box* vor_http_request_GetBox(vor_http_request* r);
/* Closes the connection, deletes the timer and frees the record; nothing for a stale record. */
VOR_API void vor_http_request_free(vor_http_request* r);

VOR_EXTERN_C_END
