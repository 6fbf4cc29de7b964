// vor_http_server: a small HTTP server on a thread-owned box. It tells the caller about every
// accepted connection and hands every complete request of an adopted one to the caller, who
// writes the response on the connection's socket id through the box.
#pragma once
#include "cu_jitter.h"
#include "vor_box.h"
#include "vor_export.h"
#include "vor_http_table.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_http_server vor_http_server;

/* A new connection: (server, user data, socket id, peer IPv4 text, peer port). */
typedef void (*vor_http_server_accept_fn)(vor_http_server* s, void* ud, int64_t sid, const char* ip, uint16_t port);
/* A complete request; table and body are freed after the call. */
typedef void (*vor_http_server_request_fn)(vor_http_server* s, void* ud, int64_t sid, vor_http_table* table,
                                           cu_jitter* body);
/* The connection ended, was refused or stayed idle too long. */
typedef void (*vor_http_server_close_fn)(vor_http_server* s, void* ud, int64_t sid);

/* A new server with no clients; NULL when memory is short. */
VOR_API vor_http_server* vor_http_server_make(void);
/* Listens on every local address at the port; false for NULL arguments, port 0 or no listener. */
VOR_API bool vor_http_server_attach(vor_box* box, vor_http_server* s, uint16_t port, vor_http_server_accept_fn on_accept,
                                    void* ud);
/* Adopts an accepted connection; false when it already has a record, the server is stale or memory is short. */
VOR_API bool vor_http_server_AcceptClient(vor_http_server* s, int64_t sid, vor_http_server_request_fn on_request,
                                          void* ud_request, vor_http_server_close_fn on_close, void* ud_close);
/* Closes the connection and drops its record. */
VOR_API void vor_http_server_DeleteClient(vor_http_server* s, int64_t sid);
/* The number of adopted connections; 0 for a stale server. */
VOR_API int32_t vor_http_server_NumClients(vor_http_server* s);
/* Closes the listener and every client and frees the server; nothing for a stale server. */
VOR_API void vor_http_server_free(vor_http_server* s);

VOR_EXTERN_C_END
