/* The plug-in interface: the entry points a plug-in library may export (each optional, looked up
   by name) and the shapes the request handler calls them with. Sids are the 64-bit connection
   ids; a byte answer of 0 stops the walk over later plug-ins. */
#pragma once
#include "http_parser.h"
#include "vor_export.h"
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* Releases data that a response-body hook put in place of the chunk. */
typedef void (*quo_plugin_free_fn)(void* arg, void* data);

/* quo_plugin_init, quo_plugin_exit: once after loading, once at the request handler's exit. */
typedef void (*quo_plugin_init_fn)(void);
typedef void (*quo_plugin_exit_fn)(void);
/* quo_plugin_sock_init: a connection was accepted from the IPv4 text ip; 0 refuses it. */
typedef uint8_t (*quo_plugin_sock_init_fn)(int64_t sid, const char* ip);
/* quo_plugin_sock_exit: the connection closes. */
typedef void (*quo_plugin_sock_exit_fn)(int64_t sid);
/* quo_plugin_request_http: the request head is complete; 0 takes the request over (the plug-in
   answers or closes it). */
typedef uint8_t (*quo_plugin_request_http_fn)(int64_t sid, http_parser* request);
/* quo_plugin_request_content: a chunk of request body; 0 drops it. */
typedef uint8_t (*quo_plugin_request_content_fn)(int64_t sid, http_parser* request, const char* data, uint32_t len);
/* quo_plugin_response_http: a response head (response sid 0 for an answer from the cache). */
typedef uint8_t (*quo_plugin_response_http_fn)(int64_t sid, http_parser* request, int64_t response_sid,
                                               http_parser* response, uint8_t from_cache);
/* quo_plugin_response_content: a chunk of response body; 0 stops it being sent. */
typedef uint8_t (*quo_plugin_response_content_fn)(int64_t sid, http_parser* request, int64_t response_sid,
                                                  http_parser* response, uint8_t from_cache, const char* data,
                                                  int32_t len);
/* quo_plugin_response_content_x: the chunk through shared pointers, so that a hook may put other
   data in its place (with the free function and argument that release it); later plug-ins see
   what earlier ones left. */
typedef uint8_t (*quo_plugin_response_content_x_fn)(int64_t sid, http_parser* request, int64_t response_sid,
                                                    http_parser* response, uint8_t from_cache, uint8_t last,
                                                    char** data, int32_t* len, quo_plugin_free_fn* free_fn,
                                                    void** free_arg);

VOR_EXTERN_C_END
