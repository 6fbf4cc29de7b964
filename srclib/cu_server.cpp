#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "cu_lib.h"
#include "cu_sock_internal.h"
#include "vor_fd.h"
#include "vor_io.h"
#include "vor_sid.h"

bool cu_server_init(cu_server* s, int32_t kind, const char* local_ip, uint16_t port) {
  if (!s || port == 0) return false;
  memset(s, 0, sizeof *s);
  s->kind = kind;
  cu_strncpy(s->local_ip, local_ip, 15);
  s->port = port;
  uint32_t a = htonl(INADDR_ANY);
  if (s->local_ip[0]) vor::sock::parse_ipv4(s->local_ip, &a);
  s->addr = ntohl(a);
  s->local.sin_family = AF_INET;
  s->local.sin_port = htons(port);
  s->local.sin_addr.s_addr = a;
  s->backlog = -1;
  s->sock = -1;
  s->state = 1;
  return true;
}

int64_t cu_server_open(cu_server* s) {
  if (!s || s->state != 1) return -1;
  if (s->kind != 1 && s->kind != 2) return -2;
  int type = (s->kind == 1 ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC;
  int fd = vor::fd_above_stdio(socket(AF_INET, type, 0));
  if (fd < 0) return -3;
  if (s->kind == 1) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  }
  // A text that is not an address must not silently listen everywhere.
  uint32_t check;
  if ((s->local_ip[0] && !vor::sock::parse_ipv4(s->local_ip, &check)) ||
      bind(fd, reinterpret_cast<sockaddr*>(&s->local), sizeof s->local) != 0) {
    close(fd);
    return -4;
  }
  if (s->kind == 1 && listen(fd, SOMAXCONN) != 0) {
    close(fd);
    return -5;
  }
  s->sock = vor::sid_make(fd);
  s->state = 2;
  return s->sock;
}

int64_t cu_server_accept(cu_server* s, char* ip, uint16_t* port) {
  if (!s || s->kind != 1 || s->state != 2) return -1;
  int lfd = vor::sid_fd_checked(s->sock);
  if (lfd < 0) return -1;
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int fd = vor::io::retry(
      [&] { return accept4(lfd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC); });
  fd = vor::fd_above_stdio(fd);
  if (fd < 0) return -1;
  if (ip) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    cu_strncpy(ip, text, 19);
  }
  if (port) *port = ntohs(peer.sin_port);
  return vor::sid_make(fd);
}

int64_t cu_server_accept_on(int64_t listen_sid, char* ip, uint16_t* port) {
  cu_server s{};
  s.kind = 1;
  s.state = 2;
  s.sock = listen_sid;
  return cu_server_accept(&s, ip, port);
}

int32_t cu_server_read(cu_server* s, char* buf, cu_peer_addr* peer) {
  if (!s || !buf || s->state != 2) return -1;
  if (s->kind == 2) return vor::sock::recv_datagram(s->sock, buf, kCuSockReadMax, peer);
  if (peer) return -2;
  return vor::sock::recv_stream(s->sock, buf, kCuSockReadMax);
}

void cu_server_close(cu_server* s) {
  if (!s || s->state != 2) return;
  vor::sock::close_record_sock(&s->sock, &s->state);
}
