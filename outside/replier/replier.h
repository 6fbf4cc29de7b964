// replier: the pipe's connections to upstream servers, on the bigbox. A connection is made in two
// steps (the socket and its connect, then its registration on the calling slave thread) and is
// named by its vorcore sid. It queues what is written until the socket takes it, delivers what
// it reads, and calls its user only from the loop of the slave it lives on, never inside a call
// of this library and never under its lock.
#pragma once
#include "cu_box.h"
#include "cu_jitter.h"
#include "vor_bigbox.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* on-connected: (user argument, id, 0, 0). */
typedef void (*replier_connected_fn)(void* ud, int64_t id, int32_t a, int32_t b);
/* on-failed, on-closed and writable notices: (user argument, id). */
typedef void (*replier_sock_fn)(void* ud, int64_t id);
/* on-data: bytes read into a block of at least 32,768 writable bytes, valid during the call. */
typedef void (*replier_data_fn)(void* ud, int64_t id, char* data, int32_t len);

/* A socket (bound to local_ip when given, without fixing a port) connecting to ip:port: above 0 with
   *handle set, else 0 (a bad or foreign local address fails here, before any packet). */
VOR_API int64_t replier_make_STEP1_ext(const char* local_ip, uint16_t local_port, const char* ip, uint16_t port,
                                       cu_client** handle);
/* Registers the handle on the calling slave thread of bb (consumed either way): the connection id, or 0 off
   a slave or on failure. Then exactly one of on-connected or on-failed (5,000 ms at most); after on-connected
   on-data and one on-closed when the upstream ends. */
VOR_API int64_t replier_make_STEP2(vor_bigbox* bb, cu_client* handle, replier_connected_fn on_connected,
                                   void* ud_connected, replier_sock_fn on_failed, void* ud_failed,
                                   replier_data_fn on_data, void* ud_data, replier_sock_fn on_closed,
                                   void* ud_closed);
/* Queues the bytes behind those waiting (also before the connection is up) and sends what the socket takes;
   len 0 only sends. The length, or -1 for an unknown or closing id. */
VOR_API int32_t replier_write(int64_t id, const void* data, int32_t len);
/* Bytes queued and not yet sent; -1 for an unknown id. */
VOR_API int64_t replier_GetWritableLen(int64_t id);
/* fn(ud, id) runs from the loop once the queue is empty and again after each drain, until removed. */
VOR_API bool replier_AddWritableNotice(int64_t id, replier_sock_fn fn, void* ud);
VOR_API bool replier_DelWritableNotice(int64_t id);
/* Resumes delivering data. */
VOR_API bool replier_ImportSock_ForRead(int64_t id);
/* Stops delivering data until replier_ImportSock_ForRead, also across the connect. */
VOR_API bool replier_ExportSock_ForRead(int64_t id);
/* Sends what waits; the socket is watched for writability while bytes wait. */
VOR_API bool replier_ImportSock_ForWrite(int64_t id);
/* The unsent bytes of old_id go behind those of new_id. */
VOR_API bool replier_JitterMove(int64_t new_id, int64_t old_id);
/* No more callbacks; closes once the queue is sent (at once when not connected, after 30 s at most). */
VOR_API void replier_WaitingForClose(int64_t id);
/* No more callbacks; closes at once. Unknown ids are ignored. */
VOR_API void replier_close(int64_t id);
/* Bytes of memory the connections hold. */
VOR_API int64_t replier_GetCacheSize(void);
/* Appends one text line per connection. */
VOR_API void replier_GetSockList(cu_jitter* out);

VOR_EXTERN_C_END
