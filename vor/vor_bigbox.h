// vor_bigbox: the multi-thread socket engine every client and upstream connection lives on.
// One master box (a ThreadBox) accepts on the listening sockets; each connection is served by
// one of the slave boxes (one thread each), the least loaded when it was placed. The bigbox
// reads for its connections and calls the module with whole chunks; a write is one send,
// nothing is queued. Callbacks of a connection run only on its slave's thread; any thread may
// call any operation. A handle that is not live answers the operation's failure value.
#pragma once
#include "vor_box.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_bigbox vor_bigbox;

/* accept: runs on the master thread; the new sid is registered nowhere and belongs to the callback. */
typedef void (*vor_bigbox_accept_fn)(vor_bigbox* bb, void* ud, int64_t listen_sid, int64_t sid, const char* ip,
                                     uint16_t port);
/* read: data followed by a NUL byte, valid only during the call; slave thread. */
typedef void (*vor_bigbox_read_fn)(vor_bigbox* bb, void* ud, int64_t sid, const char* data, int32_t len);
/* close and write-ready: slave thread. */
typedef void (*vor_bigbox_sock_fn)(vor_bigbox* bb, void* ud, int64_t sid);

/* A bigbox with that many slave threads (clamped to 1..1000) and connection limit (1..1000000, else 1000000). */
VOR_API vor_bigbox* vor_bigbox_make(int32_t threads, int32_t max_connections);
/* Closes every listener and connection and stops the threads; later calls on the handle fail. */
VOR_API void vor_bigbox_free(vor_bigbox* bb);
/* Listening TCP socket on the master box (NULL address: every address): its sid, or -1. */
VOR_API int64_t vor_bigbox_attach(vor_bigbox* bb, const char* ip, uint16_t port, vor_bigbox_accept_fn on_accept,
                                  void* ud);
/* Records an accepted connection on the least-loaded slave and starts reading; false leaves the socket the caller's. */
VOR_API bool vor_bigbox_accept(vor_bigbox* bb, int64_t sid, const char* ip, uint16_t port, vor_bigbox_read_fn on_read,
                               void* ud_read, vor_bigbox_sock_fn on_close, void* ud_close);
/* As vor_bigbox_accept, but nothing is read until vorx_bigbox_start_ForRead. */
VOR_API bool vor_bigbox_accept_WithPause(vor_bigbox* bb, int64_t sid, const char* ip, uint16_t port,
                                         vor_bigbox_read_fn on_read, void* ud_read, vor_bigbox_sock_fn on_close,
                                         void* ud_close);
/* New read and close callbacks for a recorded sid, or a new sid placed on the least-loaded slave (below the limit). */
VOR_API bool vorx_bigbox_import_ForRead(vor_bigbox* bb, int64_t sid, vor_bigbox_read_fn on_read, void* ud_read,
                                        vor_bigbox_sock_fn on_close, void* ud_close);
/* The same for write-ready notices (callback required). */
VOR_API bool vorx_bigbox_import_ForWrite(vor_bigbox* bb, int64_t sid, vor_bigbox_sock_fn on_write, void* ud);
/* vorx_bigbox_import_ForRead on a named slave box (false when the sid lives elsewhere or the box is no slave). */
VOR_API bool vorxx_bigbox_import_ForRead(vor_bigbox* bb, vor_box* slave, int64_t sid, vor_bigbox_read_fn on_read,
                                         void* ud_read, vor_bigbox_sock_fn on_close, void* ud_close);
/* vorx_bigbox_import_ForWrite on a named slave box. */
VOR_API bool vorxx_bigbox_import_ForWrite(vor_bigbox* bb, vor_box* slave, int64_t sid, vor_bigbox_sock_fn on_write,
                                          void* ud);
/* Records a listening sid (or replaces its accept callback); the socket is not added to the master box. */
VOR_API bool vorx_bigbox_import_ForListen(vor_bigbox* bb, int64_t listen_sid, vor_bigbox_accept_fn on_accept,
                                          void* ud);
/* Stops reading; the record stays while a write callback is set, else it is dropped. The socket stays open. */
VOR_API bool vorx_bigbox_export_ForRead(vor_bigbox* bb, int64_t sid);
/* Stops write notices; the record stays while a read callback is set, else it is dropped. The socket stays open. */
VOR_API bool vorx_bigbox_export_ForWrite(vor_bigbox* bb, int64_t sid);
/* Takes a listener out of the master box and drops its record; the socket stays open. */
VOR_API bool vorx_bigbox_export_ForListen(vor_bigbox* bb, int64_t listen_sid);
/* Stops reading a recorded connection; record and callbacks stay. */
VOR_API bool vorx_bigbox_pause_ForRead(vor_bigbox* bb, int64_t sid);
/* Starts (again) reading a recorded connection. */
VOR_API bool vorx_bigbox_start_ForRead(vor_bigbox* bb, int64_t sid);
/* One send on a recorded connection: bytes sent, 0 when it would block (or bad arguments), -1 on error. */
VOR_API int32_t vor_bigbox_write(vor_bigbox* bb, int64_t sid, const void* data, int32_t len);
/* One send without a handle: bytes sent, 0 when it would block, -1 on error. */
VOR_API int32_t vorx_bigbox_write(int64_t sid, const void* data, int32_t len);
/* Closes a connection or listener and drops its record; any other live sid is closed; a stale one is ignored. */
VOR_API void vor_bigbox_DeleteSock(vor_bigbox* bb, int64_t sid);
/* The slave box of a recorded connection, or NULL. */
VOR_API vor_box* vor_bigbox_GetSlaveBox(vor_bigbox* bb, int64_t sid);
/* The master box, or NULL. */
VOR_API vor_box* vor_bigbox_GetMasterBox(vor_bigbox* bb);
/* The box of the calling slave thread, or NULL when the caller is none of this bigbox's slaves. */
VOR_API vor_box* vor_bigbox_InvokeSlaveBox(vor_bigbox* bb);
/* The sid the calling slave thread is serving now (-1 when none), 0 when the caller is no slave. */
VOR_API int64_t vor_bigbox_InvokeClientID(vor_bigbox* bb);
/* Peer address text (at most len characters and a NUL) and port of a recorded connection; either may be NULL. */
VOR_API bool vor_bigbox_GetSockIP(vor_bigbox* bb, int64_t sid, char* buf, int32_t len, uint16_t* port);
/* Recorded connections; 0 for a bad handle. */
VOR_API int32_t vor_bigbox_nnodes(vor_bigbox* bb);
/* The connection limit; 0 for a bad handle. */
VOR_API int32_t vor_bigbox_maxnodes(vor_bigbox* bb);

VOR_EXTERN_C_END
