// vor_box: the thread-owned box every module uses. One cu_box owned by one thread, which runs
// its loop and receives all of its callbacks and in-events, one at a time; any other thread may
// call any operation: each call checks the handle against the box registry and holds that
// box's own lock. A call on a freed handle answers its failure value and touches nothing.
// Callbacks get the vor_box as their first (void*) argument, with the shapes of cu_box.h.
#pragma once
#include "cu_box.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_box vor_box;

/* An in-event: runs on the owner thread; text is a copy valid during the call (NULL stays NULL). */
typedef void (*vor_box_inevent_fn)(vor_box* box, const char* text, void* a1, void* a2, void* a3, void* a4, void* a5,
                                   void* a6, void* a7, void* a8);

/* A new box owned by the calling thread; NULL on failure. */
VOR_API vor_box* vor_box_new(void);
/* Runs the box's loop until it is broken, then frees the box. */
VOR_API void vor_box_loop(vor_box* box);
/* The owner outside its loop frees the box; any other caller only breaks its loop. */
VOR_API void vor_box_free(vor_box* box);
/* Breaks the box's loop; the owner's vor_box_loop then frees it. */
VOR_API void vor_box_BreakLoop(vor_box* box);

/* Outgoing TCP connection (resolved before any lock): sid, or -1. */
VOR_API int64_t vor_box_NewTcpClient(vor_box* box, const char* host, uint16_t port, cu_box_sock_fn on_connected,
                                     void* ud_connected, cu_box_sock_fn on_failed, void* ud_failed,
                                     cu_box_read_fn on_read, void* ud_read, cu_box_sock_fn on_close, void* ud_close);
/* Registers a STEP1 client: NULL box closes and frees it (0); NULL client 0; invalid box -1 (kept by the caller). */
VOR_API int64_t vor_box_NewTcpClient_STEP2(vor_box* box, cu_client* client, cu_box_sock_fn on_connected,
                                           void* ud_connected, cu_box_sock_fn on_failed, void* ud_failed,
                                           cu_box_read_fn on_read, void* ud_read, cu_box_sock_fn on_close,
                                           void* ud_close);
/* cu_box_sock_AddLocalTcpClient_STEP1. */
VOR_API int64_t vor_box_NewTcpClient_STEP1(const char* host, uint16_t port, cu_client** client);
/* cu_box_sock_AddLocalTcpClient_STEP1_ext. */
VOR_API int64_t vor_box_NewTcpClient_STEP1_ext(const char* local_ip, uint16_t local_port, const char* host,
                                               uint16_t port, cu_client** client);
/* UDP client socket bound to a local address: sid, or -1. */
VOR_API int64_t vor_box_NewUdpClient_ext(vor_box* box, const char* local_ip, uint16_t local_port, const char* host,
                                         uint16_t port, cu_box_datagram_fn on_datagram, void* ud);
/* UDP client socket: sid, or -1. */
VOR_API int64_t vor_box_NewUdpClient(vor_box* box, const char* host, uint16_t port, cu_box_datagram_fn on_datagram,
                                     void* ud);
/* Listening TCP socket: sid, or -1. */
VOR_API int64_t vor_box_NewTcpServer(vor_box* box, const char* local_ip, uint16_t port, cu_box_accept_fn on_accept,
                                     void* ud);
/* Bound UDP socket: sid, or -1. */
VOR_API int64_t vor_box_NewUdpServer(vor_box* box, const char* local_ip, uint16_t port,
                                     cu_box_datagram_fn on_datagram, void* ud);
/* Registers an accepted TCP socket for reading: sid, or -1. */
VOR_API int64_t vor_box_AcceptTcpClient(vor_box* box, int64_t sid, cu_box_read_fn on_read, void* ud_read,
                                        cu_box_sock_fn on_close, void* ud_close);
/* Unregisters and closes a socket. */
VOR_API void vor_box_DeleteSock(vor_box* box, int64_t sid);
/* TCP read size clamped to 1..5120. */
VOR_API void vorx_box_SetMaxReadLen(vor_box* box, int64_t sid, int32_t n);
/* Registers a socket for read readiness with a plain callback; false for NULL callback or invalid box. */
VOR_API bool vorx_box_ImportSockId_ForRead(vor_box* box, int64_t sid, cu_box_import_fn fn, void* ud);
/* The same for write readiness. */
VOR_API bool vorx_box_ImportSockId_ForWrite(vor_box* box, int64_t sid, cu_box_import_fn fn, void* ud);
/* The same for urgent data. */
VOR_API bool vorx_box_ImportSockId_ForExcept(vor_box* box, int64_t sid, cu_box_import_fn fn, void* ud);
/* cu_box_sock_ExportSocketId_ForRead; false for an invalid box. */
VOR_API bool vorx_box_ExportSockId_ForRead(vor_box* box, int64_t sid);
/* cu_box_sock_ExportSocketId_ForWrite; false for an invalid box. */
VOR_API bool vorx_box_ExportSockId_ForWrite(vor_box* box, int64_t sid);
/* cu_box_sock_ExportSocketId_ForExcept; false for an invalid box. */
VOR_API bool vorx_box_ExportSockId_ForExcept(vor_box* box, int64_t sid);
/* cu_box_sock_ExportSocketId; false for an invalid box. */
VOR_API bool vorx_box_ExportSockId(vor_box* box, int64_t sid);

/* Once timer: id, or -1. */
VOR_API int32_t vor_box_NewOnceTimer(vor_box* box, uint32_t ms, cu_box_timer_fn fn, void* ud);
/* Loop timer: id, or -1. */
VOR_API int32_t vor_box_NewLoopTimer(vor_box* box, uint32_t ms, cu_box_timer_fn fn, void* ud);
/* Limit timer: id, or -1. */
VOR_API int32_t vor_box_NewLimitTimer(vor_box* box, int32_t count, uint32_t ms, cu_box_timer_fn fn, void* ud);
/* The timer's expiry moved ms later than its current one; false for a bad id, ms 0 or an invalid box. */
VOR_API bool vor_box_RefreshTimeout(vor_box* box, int32_t id, uint32_t ms);
/* New callback and data; false for a bad id, NULL fn or an invalid box. */
VOR_API bool vor_box_RefreshCallback(vor_box* box, int32_t id, cu_box_timer_fn fn, void* ud);
/* Removes a timer. */
VOR_API void vor_box_DeleteTimer(vor_box* box, int32_t id);

/* Queues fn(box, copy of text, a1..a8) to run on the owner thread; false for an invalid box or no memory. */
VOR_API bool vor_box_AddInEvent(vor_box* box, const char* text, vor_box_inevent_fn fn, void* a1, void* a2, void* a3,
                                void* a4, void* a5, void* a6, void* a7, void* a8);

/* One send from the calling thread: bytes sent, 0 when it would block, -1 on error or an invalid box. */
VOR_API int32_t vor_box_TcpWrite(vor_box* box, int64_t sid, const void* data, int32_t len);
/* cu_sock_write_ByPeerIp; -1 for an invalid box. */
VOR_API int32_t vor_box_UdpWrite(vor_box* box, int64_t sid, const void* data, int32_t len, const char* ip,
                                 uint16_t port);
/* Sockets held; -1 for an invalid box. */
VOR_API int32_t vor_box_GetNumSock(vor_box* box);
/* Timers held; -1 for an invalid box. */
VOR_API int32_t vor_box_GetNumTimer(vor_box* box);
/* The sid whose callback runs; -1 when none or for an invalid box. */
VOR_API int64_t vor_box_GetThisSockId(vor_box* box);
/* The timer id whose callback runs; -1 when none or for an invalid box. */
VOR_API int32_t vor_box_GetThisTimerId(vor_box* box);
/* cu_box_sock_IsExist; false for an invalid box. */
VOR_API bool vor_box_IsSockExist(vor_box* box, int64_t sid);
/* True when the box holds the timer id. */
VOR_API bool vor_box_IsTimerExist(vor_box* box, int32_t id);
/* The owner thread's id; -1 for an invalid box. */
VOR_API int64_t vorx_box_GetThreadId(vor_box* box);
/* True when the handle is a live box. */
VOR_API bool vorx_box_IsValid(vor_box* box);
/* One recv on the socket. */
VOR_API int32_t vorx_box_TcpRead(void* ignored, int64_t sid, void* buf, int32_t size);
/* cu_sock_read_ByAddr. */
VOR_API int32_t vorx_box_UdpRead(void* ignored, int64_t sid, void* buf, int32_t size, cu_peer_addr* peer);
/* cu_box_sock_TcpWrite. */
VOR_API int32_t vorx_box_TcpWrite(void* ignored, int64_t sid, const void* data, int32_t len);
/* cu_box_sock_UdpWriteByIp. */
VOR_API int32_t vorx_box_UdpWrite(void* ignored, int64_t sid, const void* data, int32_t len, const char* ip,
                                  uint16_t port);

/* A box owned by a new thread (512 KB stack) that runs its loop; NULL when either cannot be made. */
VOR_API vor_box* vorx_ThreadBox_create(void);
/* Breaks a ThreadBox's loop; its thread frees the box and ends. Does not wait. */
VOR_API void vorx_ThreadBox_destroy(vor_box* box);

VOR_EXTERN_C_END
