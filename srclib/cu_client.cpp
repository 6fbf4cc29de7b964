#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "cu_lib.h"
#include "cu_pool_failure.h"
#include "cu_sock_internal.h"
#include "cu_xmem.h"
#include "vor_fd.h"
#include "vor_io.h"
#include "vor_sid.h"

namespace {

cu_xmem* g_pool = nullptr;
cu_sem g_pool_lock;

bool bind_local(int fd, const cu_client& c) {
  if (!c.local_ip[0] && c.local_port == 0) return true;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(c.local_port);
  uint32_t addr = htonl(INADDR_ANY);
  if (c.local_ip[0]) vor::sock::parse_ipv4(c.local_ip, &addr);
  a.sin_addr.s_addr = addr;
  // Without a port the kernel picks one at connect, per destination: many clients bound to one
  // address are not limited to one ephemeral range shared by every destination.
  int on = 1;
  if (c.local_port == 0) setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
  return bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}
}  // namespace

void cu_client__xmem_init() {
  static bool once = [] {
    g_pool = vor::pool::make_unit_pool(
        &g_pool_lock, 64 * 1024, 1024, 16, false,
        "cu_client_xmem -> cu_client__xmem_init() -> cu_xmem_init_ext(client struct) -> return NULL -> exit!\r\n");
    return true;
  }();
  (void)once;
}

bool cu_client_init(cu_client* c, int32_t kind, const char* local_ip, uint16_t local_port, const char* host,
                    uint16_t port) {
  if (!c || !host || port <= 2 || (kind != 1 && kind != 2)) return false;
  uint32_t remote;
  if (vor::sock::resolve_ipv4(host, &remote, 1) < 1) return false;
  memset(c, 0, sizeof *c);
  c->kind = kind;
  uint32_t ignored;
  if (local_ip && vor::sock::parse_ipv4(local_ip, &ignored)) cu_strncpy(c->local_ip, local_ip, 20);
  c->local_port = local_port;
  inet_ntop(AF_INET, &remote, c->remote_ip, sizeof c->remote_ip);
  c->remote_addr = ntohl(remote);
  c->remote_port = port;
  c->remote.sin_family = AF_INET;
  c->remote.sin_port = htons(port);
  c->remote.sin_addr.s_addr = remote;
  c->sock = -1;
  c->state = 1;
  return true;
}

int64_t cu_client_open(cu_client* c) {
  if (!c || c->state != 1) return -1;
  int type = (c->kind == 1 ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC;
  int fd = vor::fd_above_stdio(socket(AF_INET, type, c->kind == 1 ? IPPROTO_TCP : IPPROTO_UDP));
  if (fd < 0) return -2;
  if (!bind_local(fd, *c)) {
    close(fd);
    return -2;
  }
  c->sock = vor::sid_make(fd);
  c->state = 2;
  if (c->kind == 1) {
    const int rc = vor::io::retry([&] { return connect(fd, reinterpret_cast<sockaddr*>(&c->remote), sizeof c->remote); });
    // Completion is seen by the box; a connect refused at once is kept for it to report.
    if (rc != 0 && errno != EINPROGRESS) c->connect_error = errno;
  }
  return c->sock;
}

cu_client* cu_client_new(int32_t kind, const char* local_ip, uint16_t local_port, const char* host, uint16_t port) {
  cu_client__xmem_init();
  auto* c = static_cast<cu_client*>(cu_xmem_malloc(g_pool, sizeof(cu_client)));
  if (!c) return nullptr;
  if (!cu_client_init(c, kind, local_ip, local_port, host, port) || cu_client_open(c) <= 0) {
    cu_xmem_free(g_pool, c);
    return nullptr;
  }
  return c;
}

int32_t cu_client_read(cu_client* c, char* buf, cu_peer_addr* peer) {
  if (!c || !buf || c->state != 2) return -1;
  if (peer && c->kind != 2) return -1;
  if (c->kind == 2) return vor::sock::recv_datagram(c->sock, buf, kCuSockReadMax, peer);
  return vor::sock::recv_stream(c->sock, buf, kCuSockReadMax);
}

void cu_client_close(cu_client* c) {
  if (!c || c->state != 2) return;
  vor::sock::close_record_sock(&c->sock, &c->state);
}

void cu_client_free(cu_client* c) {
  if (!c) return;
  cu_client_close(c);
  cu_xmem_free(g_pool, c);
}
