// The client and server socket objects behind the box's sockets, and the look-up helpers the
// socket units share. Internal to vorcore.
#pragma once
#include "vor_internal.h"
#include <netinet/in.h>
#include <stdint.h>

#include "cu_sock.h"

namespace vor::sock {
// inet_addr's reading of an IPv4 text (short, octal and hex forms); the all-ones address refused.
bool parse_ipv4(const char* text, uint32_t* network_order);
// Up to max IPv4 addresses (network order) of a dotted text or a name; the count found, -1 when
// the name does not resolve. A dotted text answers 1 even with max 0.
int32_t resolve_ipv4(const char* name, uint32_t* out, int32_t max);
// One recvfrom into buf; a datagram longer than size answers -1 (EMSGSIZE), never a cut copy.
int32_t recv_datagram(int64_t sock, char* buf, int32_t size, cu_peer_addr* peer);
// One recv of a stream socket into buf (EINTR retried); -1 for a stale sid.
int32_t recv_stream(int64_t sock, char* buf, int32_t size);
// Closes a client's or server's socket through its sid and marks the record closed.
void close_record_sock(int64_t* sock, int32_t* state);
}  // namespace vor::sock

constexpr int32_t kCuSockReadMax = 5120;

// An outgoing TCP connection or a UDP client socket.
struct cu_client {
  int32_t kind;          // 1 TCP, 2 UDP
  char local_ip[21];     // empty when no local address is given
  uint16_t local_port;   // 0 = any
  char remote_ip[21];
  uint32_t remote_addr;  // host order
  uint16_t remote_port;
  sockaddr_in remote;
  int64_t sock;          // sid, -1 when none
  int32_t state;         // 0 new, 1 prepared, 2 open, -1 closed
  int32_t connect_error; // errno of a connect that failed at once, else 0
};

// A listening TCP socket or a bound UDP socket.
struct cu_server {
  int32_t kind;          // 1 TCP, 2 UDP
  sockaddr_in local;
  char local_ip[16];     // empty = any address
  uint16_t port;
  uint32_t addr;         // host order
  int32_t backlog;
  int64_t sock;          // sid, -1 when none
  int32_t state;         // 1 prepared, 2 open, -1 closed
};

// Makes the pool of client objects once; the process ends when it cannot be made.
void cu_client__xmem_init();
// Resolves the remote host (before any box lock is taken) and prepares the object.
bool cu_client_init(cu_client* c, int32_t kind, const char* local_ip, uint16_t local_port, const char* host,
                    uint16_t port);
// Makes the socket, binds it when asked, starts a TCP connect; the sid, or -1 / -2 as documented.
int64_t cu_client_open(cu_client* c);
// A prepared and opened object from the pool; NULL when either step fails.
cu_client* cu_client_new(int32_t kind, const char* local_ip, uint16_t local_port, const char* host, uint16_t port);
// One read of at most 5,120 bytes; -1 when not applicable.
int32_t cu_client_read(cu_client* c, char* buf, cu_peer_addr* peer);
// Closes the socket of an open object.
void cu_client_close(cu_client* c);
// Closes and returns the object to its pool; NULL ignored.
void cu_client_free(cu_client* c);

// Prepares the object; false for port 0. An empty or NULL text means any address.
bool cu_server_init(cu_server* s, int32_t kind, const char* local_ip, uint16_t port);
// The listening or bound sid; -1 not prepared, -2 bad kind, -3 no socket, -4 bind, -5 listen.
int64_t cu_server_open(cu_server* s);
// One accept: the new sid (non-blocking, close-on-exec) with the peer text (20 bytes) and port.
int64_t cu_server_accept(cu_server* s, char* ip, uint16_t* port);
// cu_server_accept on a listening sid that has no server object.
int64_t cu_server_accept_on(int64_t listen_sid, char* ip, uint16_t* port);
// One read of at most 5,120 bytes; -1 when not open, -2 for a TCP object asked for a sender.
int32_t cu_server_read(cu_server* s, char* buf, cu_peer_addr* peer);
// Closes the socket of an open object.
void cu_server_close(cu_server* s);
