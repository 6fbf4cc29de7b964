// cu_sock: socket helpers for every module: start-up, options, status tests, name and address
// look-ups, datagram reads and writes, IPv4 text conversion. Sockets are named by sid (a
// descriptor with its generation); a stale sid fails like a closed socket. IPv4 only.
#pragma once
#include "vor_export.h"
#include <netinet/in.h>
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* The sender of a datagram; filled only by a read that succeeded. */
typedef struct cu_peer_addr {
  struct sockaddr_in addr; /* 16 bytes */
  int32_t addr_len;        /* as recvfrom returned it */
  char ip[24];             /* at most 16 characters and a NUL */
  uint32_t ip32;           /* host order */
  uint16_t port;           /* host order */
} cu_peer_addr;

/* Marks the socket layer started; always true on this platform once called. */
VOR_API bool cu_sock_startup(void);
/* Marks the socket layer stopped. */
VOR_API void cu_sock_cleanup(void);

/* SO_RCVBUF = n; true when set. */
VOR_API bool cu_sock_set_recv_buff(int64_t sock, int32_t n);
/* SO_SNDBUF = n; true when set. */
VOR_API bool cu_sock_set_send_buff(int64_t sock, int32_t n);
/* SO_KEEPALIVE on; true when set. */
VOR_API bool cu_sock_keep_alive(int64_t sock);
/* SO_KEEPALIVE off; true when set. */
VOR_API bool cu_sock_keep_nonalive(int64_t sock);
/* SO_LINGER on with that many seconds; true when set. */
VOR_API bool cu_sock_set_linger(int64_t sock, uint16_t seconds);
/* SO_LINGER off; true when set. */
VOR_API bool cu_sock_set_nonlinger(int64_t sock);
/* TCP_NODELAY on (Nagle off); true when set. */
VOR_API bool cu_sock_set_nondelay(int64_t sock);
/* TCP_NODELAY off; true when set. */
VOR_API bool cu_sock_set_delay(int64_t sock);
/* SO_REUSEADDR on; true when set. */
VOR_API bool cu_sock_set_reuse(int64_t sock);
/* SO_REUSEADDR off; true when set. */
VOR_API bool cu_sock_set_nonreuse(int64_t sock);
/* Non-blocking mode on: 0 on success, -1 on error. */
VOR_API int32_t cu_sock_set_nonblock(int64_t sock);
/* Non-blocking mode off: 0 on success, -1 on error. */
VOR_API int32_t cu_sock_set_block(int64_t sock);

/* True when the socket answers SO_ERROR; otherwise false and errno in *error (may be NULL). */
VOR_API bool cu_sock_is_fd_valid(int64_t sock, int32_t* error);
/* The pending error (0 none), also in *error; when the query fails its errno, or -1 without error pointer. */
VOR_API int32_t cu_sock_fd_status(int64_t sock, int32_t* error);
/* True when the socket is writable now (zero wait); false for a negative or stale socket. */
VOR_API bool cu_sock_is_fd_writable(int64_t sock);
/* True when the text is an address inet_addr accepts (255.255.255.255 refused). */
VOR_API bool cu_sock_IsRealIp(const char* text);

/* gethostname into buf; -1 for NULL buf, else 0 or -1. */
VOR_API int32_t cu_sock_GetLocalHostname(char* buf, int32_t size);
/* IPv4 addresses of a name into 21-byte slots (at most max); *count written; false when none resolves. */
VOR_API bool cu_sock_GetHostIP(const char* name, char* slots, int32_t max, int32_t* count);
/* The first address of a name into out (at least 16 bytes); false when there is none. */
VOR_API bool cu_sock_GetHostFirstIP(const char* name, char* out);
/* The addresses of this host into 21-byte slots, as cu_sock_GetHostIP. */
VOR_API bool cu_sock_GetLocalHostIP(char* slots, int32_t max, int32_t* count);
/* First address of a name in host order; false when there is none. */
VOR_API bool cu_sock_HostnameTo32bits(uint32_t* value, const char* name);
/* Peer address text (at most n - 1 characters) and host-order port; false when getpeername fails. */
VOR_API bool cu_sock_GetPeer(int64_t sock, char* buf, int32_t n, uint16_t* port);
/* Local port of the socket; false when getsockname fails. */
VOR_API bool cu_sock_GetPortFromFd(int64_t sock, uint16_t* port);
/* Local address text (buf of at least 17 bytes) and port; false with an empty text on failure. */
VOR_API bool cu_sock_GetLocalIPFromFd(int64_t sock, char* buf, uint16_t* port);
/* inet_addr of the text (network order) into *value; 1 unless refused, 0 for NULL arguments. */
VOR_API int32_t cu_inet_aton(const char* text, uint32_t* value);
/* The host-order address of the text; false for NULL or a refused text. */
VOR_API bool cu_sock_IPTo32bits(uint32_t* value, const char* text);
/* Writes "%u.%u.%u.%u" of a host-order address (buf of at least 16 bytes); NULL ignored. */
VOR_API void cu_sock_32bitsToIP(char* buf, uint32_t value);

/* sendto the text address and port: the sendto result; 0 for NULL text, length <= 0 or port 0. */
VOR_API int32_t cu_sock_write_ByPeerIp(int64_t sock, const void* data, int32_t len, const char* ip, uint16_t port);
/* sendto the stored address: the sendto result; 0 for a NULL address or length <= 0. */
VOR_API int32_t cu_sock_write_ByAddr(int64_t sock, const void* data, int32_t len, const cu_peer_addr* peer);
/* recvfrom; with ip (17 bytes) the sender's text and port are stored when bytes arrive. */
VOR_API int32_t cu_sock_read_ByPeerIp(int64_t sock, void* buf, int32_t size, char* ip, uint16_t* port);
/* recvfrom into peer (may be NULL), filled when bytes arrive; the recvfrom result. */
VOR_API int32_t cu_sock_read_ByAddr(int64_t sock, void* buf, int32_t size, cu_peer_addr* peer);

VOR_EXTERN_C_END
