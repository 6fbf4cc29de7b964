// vor_proxy_http: a TCP tunnel to a target host through an HTTP proxy's CONNECT method, with
// Basic proxy authorisation when a user name is given. Once the proxy answers 200 the caller
// gets the tunnelled bytes through a callback and writes through the box on the same socket id.
#pragma once
#include "vor_box.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_proxy_http vor_proxy_http;

/* Established, failure and close: (user data, socket id). */
typedef void (*vor_proxy_http_sock_fn)(void* ud, int64_t sid);
/* Tunnelled bytes: (user data, socket id, bytes, length). */
typedef void (*vor_proxy_http_data_fn)(void* ud, int64_t sid, const char* data, int32_t len);

/* A new zeroed record; NULL when memory is short. */
VOR_API vor_proxy_http* vor_proxy_http_make(void);
/* Connects to the proxy and asks for the tunnel; false (record kept by the caller) on a bad argument or failure. */
VOR_API bool vor_proxy_http_attach(vor_box* box, vor_proxy_http* p, const char* proxy_host, uint16_t proxy_port,
                                   const char* user, const char* pass, const char* target_host, uint16_t target_port,
                                   vor_proxy_http_sock_fn on_established, void* ud_established,
                                   vor_proxy_http_sock_fn on_failed, void* ud_failed, vor_proxy_http_data_fn on_data,
                                   void* ud_data, vor_proxy_http_sock_fn on_close, void* ud_close);
/* Closes the connection, deletes the timer and frees the record; nothing for a stale record. */
VOR_API void vor_proxy_http_free(vor_proxy_http* p);

VOR_EXTERN_C_END
