// cu_box: a socket and timer event box driven by one thread. It reads for its sockets, accepts
// on its listeners, completes non-blocking connects and fires timers itself, and calls the user
// with whole results. Sockets are named by sid (descriptor and generation). A box made with a
// lock may be called from any thread holding that lock's discipline; callbacks always run on
// the thread running the loop, never with the lock held.
#pragma once
#include "cu_sem.h"
#include "cu_sock.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct cu_box cu_box;
typedef struct cu_client cu_client;

/* on_connected, on_failed and on_close: (handle, user data, sid). */
typedef void (*cu_box_sock_fn)(void* handle, void* ud, int64_t sid);
/* on_read: data followed by a NUL byte, valid only during the call; len 1 to the read size. */
typedef void (*cu_box_read_fn)(void* handle, void* ud, int64_t sid, const char* data, int32_t len);
/* on_datagram: len 0 when the read failed; from filled only when it succeeded. */
typedef void (*cu_box_datagram_fn)(void* handle, void* ud, int64_t sid, const char* data, int32_t len,
                                   cu_peer_addr* from);
/* on_accept: the new sid is non-blocking and registered nowhere; it belongs to the callback. */
typedef void (*cu_box_accept_fn)(void* handle, void* ud, int64_t listen_sid, int64_t new_sid, const char* ip,
                                 uint16_t port);
/* Callback of an imported socket: user data only; the sid comes from cu_box_sock_GetThisId. */
typedef void (*cu_box_import_fn)(void* ud);
/* Timer callback: (handle, user data, timer id, fire count after this firing). */
typedef void (*cu_box_timer_fn)(void* handle, void* ud, int32_t id, int32_t count);
/* cu_box_sock_foreach walker: (handle, kind, sid, arg). */
typedef void (*cu_box_foreach_fn)(void* handle, int32_t kind, int64_t sid, void* arg);

/* A new box using the given lock (NULL: single-thread box); NULL when it cannot be made. */
VOR_API cu_box* cu_box_mallocx(cu_sem* lock);
/* cu_box_mallocx(NULL). */
VOR_API cu_box* cu_box_malloc(void);
/* Runs the loop until it is broken or, without a keep-alive owner, nothing is registered. */
VOR_API void cu_box_StartLoop(cu_box* box);
/* Stops the loop after the callback or pass in progress; it cannot run again. */
VOR_API void cu_box_BreakLoop(cu_box* box);
/* Sets the first argument of every later callback. */
VOR_API void cu_box_SetUserCallbackHandle(cu_box* box, void* handle);
/* Closes every socket and frees every timer without calling anything; the box may then only be freed. */
VOR_API void cu_box_destroy(cu_box* box);
/* cu_box_destroy, then frees the record; NULL ignored. */
VOR_API void cu_box_free(cu_box* box);

/* Outgoing TCP connection (the host is resolved before any lock): sid, or -1. */
VOR_API int64_t cu_box_sock_AddLocalTcpClient(cu_box* box, const char* host, uint16_t port,
                                              cu_box_sock_fn on_connected, void* ud_connected,
                                              cu_box_sock_fn on_failed, void* ud_failed, cu_box_read_fn on_read,
                                              void* ud_read, cu_box_sock_fn on_close, void* ud_close);
/* Without a box: starts a connect and hands the client object to the caller; its sid or -1. */
VOR_API int64_t cu_box_sock_AddLocalTcpClient_STEP1(const char* host, uint16_t port, cu_client** client);
/* As STEP1 with the socket bound to the local address first. */
VOR_API int64_t cu_box_sock_AddLocalTcpClient_STEP1_ext(const char* local_ip, uint16_t local_port, const char* host,
                                                        uint16_t port, cu_client** client);
/* Registers a STEP1 client on the box; NULL client -1; on other failures the client is closed and freed. */
VOR_API int64_t cu_box_sock_AddLocalTcpClient_STEP2(cu_box* box, cu_client* client, cu_box_sock_fn on_connected,
                                                    void* ud_connected, cu_box_sock_fn on_failed, void* ud_failed,
                                                    cu_box_read_fn on_read, void* ud_read, cu_box_sock_fn on_close,
                                                    void* ud_close);
/* Hands a STEP1 client's socket to another owner (the bigbox): its sid, still connecting and non-blocking, with
   the connect error kept by STEP1 (0 none) in *connect_error; the object is freed, the socket stays open.
   NULL: -1; a client that is no open TCP client: -1, closed and freed. */
VOR_API int64_t cu_box_sock_HandOverTcpClient(cu_client* client, int32_t* connect_error);
/* An accepted TCP socket registered for read; -1 when the sid is already held or stale. */
VOR_API int64_t cu_box_sock_AddRemoteTcpClient(cu_box* box, int64_t sid, cu_box_read_fn on_read, void* ud_read,
                                               cu_box_sock_fn on_close, void* ud_close);
/* UDP client socket (bound when a local address or port is given): sid, or -1. */
VOR_API int64_t cu_box_sock_AddLocalUdpClient_ext(cu_box* box, const char* local_ip, uint16_t local_port,
                                                  const char* host, uint16_t port, cu_box_datagram_fn on_datagram,
                                                  void* ud);
/* UDP client socket without a local address: sid, or -1. */
VOR_API int64_t cu_box_sock_AddLocalUdpClient(cu_box* box, const char* host, uint16_t port,
                                              cu_box_datagram_fn on_datagram, void* ud);
/* Listening TCP socket (NULL or empty address: any): sid, or -1. */
VOR_API int64_t cu_box_sock_AddLocalTcpServer(cu_box* box, const char* local_ip, uint16_t port,
                                              cu_box_accept_fn on_accept, void* ud);
/* An existing listener made non-blocking and registered; on failure it is left open. */
VOR_API int64_t cu_box_sock_AddLocalTcpServer2(cu_box* box, int64_t listen_sid, cu_box_accept_fn on_accept,
                                               void* ud);
/* Bound UDP socket: sid, or -1. */
VOR_API int64_t cu_box_sock_AddLocalUdpServer(cu_box* box, const char* local_ip, uint16_t port,
                                              cu_box_datagram_fn on_datagram, void* ud);

/* Registers a socket for read readiness with a plain callback; false for a NULL callback. */
VOR_API bool cu_box_sock_ImportSocketId_ForRead(cu_box* box, int64_t sid, cu_box_import_fn fn, void* ud);
/* The same for write readiness. */
VOR_API bool cu_box_sock_ImportSocketId_ForWrite(cu_box* box, int64_t sid, cu_box_import_fn fn, void* ud);
/* The same for urgent data (except). */
VOR_API bool cu_box_sock_ImportSocketId_ForExcept(cu_box* box, int64_t sid, cu_box_import_fn fn, void* ud);
/* Drops read interest; a box socket left in no set is forgotten without closing; true. */
VOR_API bool cu_box_sock_ExportSocketId_ForRead(cu_box* box, int64_t sid);
/* Drops write interest, as above; true. */
VOR_API bool cu_box_sock_ExportSocketId_ForWrite(cu_box* box, int64_t sid);
/* Drops except interest, as above; true. */
VOR_API bool cu_box_sock_ExportSocketId_ForExcept(cu_box* box, int64_t sid);
/* Drops every interest and forgets the socket without closing it; true. */
VOR_API bool cu_box_sock_ExportSocketId(cu_box* box, int64_t sid);
/* Unregisters and closes the socket (a sid the box does not hold is closed when still current). */
VOR_API void cu_box_sock_Delete(cu_box* box, int64_t sid);
/* cu_box_sock_Delete of the sid whose callback runs. */
VOR_API void cu_box_sock_DeleteThis(cu_box* box);
/* TCP read size = n clamped to 1..5120; other kinds: nothing. */
VOR_API void cu_box_sock_SetMaxReadLen(cu_box* box, int64_t sid, int32_t n);
/* Sockets held by the box. */
VOR_API int32_t cu_box_sock_GetNumSock(cu_box* box);
/* The sid whose callback runs, -1 when none. */
VOR_API int64_t cu_box_sock_GetThisId(cu_box* box);
/* True when the sid is held or registered; false below 1. */
VOR_API bool cu_box_sock_IsExist(cu_box* box, int64_t sid);
/* fn(handle, kind, sid, arg) for every held socket; fn may delete the sid it is given. */
VOR_API void cu_box_sock_foreach(cu_box* box, cu_box_foreach_fn fn, void* arg);
/* sendto the stored address: its result; 0 for a NULL address or len <= 0. */
VOR_API int32_t cu_box_sock_UdpWrite(cu_box* box, int64_t sock, const void* data, int32_t len,
                                     const cu_peer_addr* peer);
/* One send: bytes sent, 0 when it would block, -1 on another error; nothing is queued. */
VOR_API int32_t cu_box_sock_TcpWrite(void* ignored, int64_t sock, const void* data, int32_t len);
/* cu_sock_write_ByPeerIp. */
VOR_API int32_t cu_box_sock_UdpWriteByIp(void* ignored, int64_t sock, const void* data, int32_t len, const char* ip,
                                         uint16_t port);

/* A timer firing once after ms: id, or -1 (ms 0 answers -1 at once). */
VOR_API int32_t cu_box_timer_AddOnceTimer(cu_box* box, uint32_t ms, cu_box_timer_fn fn, void* ud);
/* A timer firing every ms: id, or -1. */
VOR_API int32_t cu_box_timer_AddLoopTimer(cu_box* box, uint32_t ms, cu_box_timer_fn fn, void* ud);
/* A timer firing count times every ms: id, or -1 (count <= 0 too). */
VOR_API int32_t cu_box_timer_AddLimitTimer(cu_box* box, int32_t count, uint32_t ms, cu_box_timer_fn fn, void* ud);
/* Removes the timer; nothing for an unknown id. */
VOR_API void cu_box_timer_Delete(cu_box* box, int32_t id);
/* cu_box_timer_Delete of the timer whose callback runs. */
VOR_API void cu_box_timer_DeleteThis(cu_box* box);
/* New callback and data, expiry moved ms later; false for id <= 0, NULL fn or an unknown id. */
VOR_API bool cu_box_timer_Refresh(cu_box* box, int32_t id, uint32_t ms, cu_box_timer_fn fn, void* ud);
/* Expiry moved ms later than its current one; false for id <= 0, ms 0 or an unknown id. */
VOR_API bool cu_box_timer_RefreshTimeout(cu_box* box, int32_t id, uint32_t ms);
/* New callback and data, expiry unchanged; false for id <= 0, NULL fn or an unknown id. */
VOR_API bool cu_box_timer_RefreshCallback(cu_box* box, int32_t id, cu_box_timer_fn fn, void* ud);
/* Timers held by the box (spent ones until deleted). */
VOR_API int32_t cu_box_timer_GetNumTimer(cu_box* box);
/* The id whose callback runs, -1 when none. */
VOR_API int32_t cu_box_timer_GetThisId(cu_box* box);
/* True when the box holds the id; false for id <= 0. */
VOR_API bool cu_box_timer_IsExist(cu_box* box, int32_t id);

VOR_EXTERN_C_END
