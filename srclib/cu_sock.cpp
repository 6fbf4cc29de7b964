#include "cu_sock.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "cu_lib.h"
#include "cu_sock_internal.h"
#include "vor_io.h"
#include "vor_sid.h"

namespace {

std::atomic<bool> g_started{false};

bool set_int_option(int64_t sock, int level, int name, int value) {
  int fd = vor::sid_fd_checked(sock);
  return fd >= 0 && setsockopt(fd, level, name, &value, sizeof value) == 0;
}

int32_t set_blocking(int64_t sock, bool nonblock) {
  int fd = vor::sid_fd_checked(sock);
  if (fd < 0) return -1;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return -1;
  flags = nonblock ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0 ? 0 : -1;
}

void fill_peer(cu_peer_addr* peer, const sockaddr_in& from, socklen_t len) {
  peer->addr = from;
  peer->addr_len = static_cast<int32_t>(len);
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  cu_strncpy(peer->ip, text, 16);
  peer->ip32 = ntohl(from.sin_addr.s_addr);
  peer->port = ntohs(from.sin_port);
}

int32_t send_to(int64_t sock, const void* data, int32_t len, const sockaddr_in& to, socklen_t to_len) {
  int fd = vor::sid_fd_checked(sock);
  if (fd < 0 || !data) return -1;
  ssize_t n = vor::io::sendto_some(fd, data, static_cast<size_t>(len), 0, reinterpret_cast<const sockaddr*>(&to), to_len);
  return static_cast<int32_t>(n);
}

bool local_address(int64_t sock, sockaddr_in* out) {
  int fd = vor::sid_fd_checked(sock);
  socklen_t len = sizeof *out;
  return fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr*>(out), &len) == 0 && out->sin_family == AF_INET;
}
}  // namespace

namespace vor::sock {

bool parse_ipv4(const char* text, uint32_t* network_order) {
  in_addr a{};
  if (!text || inet_aton(text, &a) == 0 || a.s_addr == INADDR_NONE) return false;
  *network_order = a.s_addr;
  return true;
}

int32_t resolve_ipv4(const char* name, uint32_t* out, int32_t max) {
  uint32_t direct;
  if (parse_ipv4(name, &direct)) {
    if (max > 0) out[0] = direct;
    return 1;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (!name || getaddrinfo(name, nullptr, &hints, &list) != 0) return -1;
  int32_t count = 0;
  for (addrinfo* a = list; a && count < max; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    out[count++] = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
  }
  freeaddrinfo(list);
  return count;
}

int32_t recv_datagram(int64_t sock, char* buf, int32_t size, cu_peer_addr* peer) {
  int fd = vor::sid_fd_checked(sock);
  if (fd < 0 || !buf || size < 0) return -1;
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  ssize_t n = vor::io::recvfrom_some(fd, buf, static_cast<size_t>(size), MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                                     &from_len);
  if (n > size) {
    // MSG_TRUNC answers the datagram's real length: a cut datagram is not handed on as whole.
    errno = EMSGSIZE;
    return -1;
  }
  if (n > 0 && peer) fill_peer(peer, from, from_len);
  return static_cast<int32_t>(n);
}

int32_t recv_stream(int64_t sock, char* buf, int32_t size) {
  int fd = vor::sid_fd_checked(sock);
  if (fd < 0 || !buf || size < 0) return -1;
  return static_cast<int32_t>(vor::io::recv_some(fd, buf, static_cast<size_t>(size)));
}

void close_record_sock(int64_t* sock, int32_t* state) {
  if (*sock > 0) vor::sid_close(*sock);
  *sock = -1;
  *state = -1;
}

}  // namespace vor::sock

using vor::sock::parse_ipv4;

bool cu_sock_startup(void) {
  g_started.store(true);
  return true;
}

void cu_sock_cleanup(void) { g_started.store(false); }

bool cu_sock_set_recv_buff(int64_t sock, int32_t n) { return set_int_option(sock, SOL_SOCKET, SO_RCVBUF, n); }
bool cu_sock_set_send_buff(int64_t sock, int32_t n) { return set_int_option(sock, SOL_SOCKET, SO_SNDBUF, n); }
bool cu_sock_keep_alive(int64_t sock) { return set_int_option(sock, SOL_SOCKET, SO_KEEPALIVE, 1); }
bool cu_sock_keep_nonalive(int64_t sock) { return set_int_option(sock, SOL_SOCKET, SO_KEEPALIVE, 0); }
bool cu_sock_set_nondelay(int64_t sock) { return set_int_option(sock, IPPROTO_TCP, TCP_NODELAY, 1); }
bool cu_sock_set_delay(int64_t sock) { return set_int_option(sock, IPPROTO_TCP, TCP_NODELAY, 0); }
bool cu_sock_set_reuse(int64_t sock) { return set_int_option(sock, SOL_SOCKET, SO_REUSEADDR, 1); }
bool cu_sock_set_nonreuse(int64_t sock) { return set_int_option(sock, SOL_SOCKET, SO_REUSEADDR, 0); }
int32_t cu_sock_set_nonblock(int64_t sock) { return set_blocking(sock, true); }
int32_t cu_sock_set_block(int64_t sock) { return set_blocking(sock, false); }

bool cu_sock_set_linger(int64_t sock, uint16_t seconds) {
  int fd = vor::sid_fd_checked(sock);
  linger l{1, seconds};
  return fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0;
}

bool cu_sock_set_nonlinger(int64_t sock) {
  int fd = vor::sid_fd_checked(sock);
  linger l{0, 0};
  return fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0;
}

bool cu_sock_is_fd_valid(int64_t sock, int32_t* error) {
  int fd = vor::sid_fd_checked(sock);
  int value = 0;
  socklen_t len = sizeof value;
  if (fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &len) == 0) return true;
  if (error) *error = errno;
  return false;
}

int32_t cu_sock_fd_status(int64_t sock, int32_t* error) {
  int fd = vor::sid_fd_checked(sock);
  int value = 0;
  socklen_t len = sizeof value;
  if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &len) != 0) {
    if (!error) return -1;
    *error = errno;
    return *error;
  }
  if (error) *error = value;
  return value;
}

bool cu_sock_is_fd_writable(int64_t sock) {
  int fd = vor::sid_fd_checked(sock);
  if (fd < 0) return false;
  pollfd p{fd, POLLOUT, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLOUT);
}

bool cu_sock_IsRealIp(const char* text) {
  uint32_t v;
  return parse_ipv4(text, &v);
}

int32_t cu_sock_GetLocalHostname(char* buf, int32_t size) {
  if (!buf || size <= 0) return -1;
  return gethostname(buf, static_cast<size_t>(size)) == 0 ? 0 : -1;
}

bool cu_sock_GetHostIP(const char* name, char* slots, int32_t max, int32_t* count) {
  if (!name || (max > 0 && !slots)) return false;
  constexpr int32_t kMaxAddresses = 64;
  uint32_t found[kMaxAddresses];
  int32_t want = max < kMaxAddresses ? (max > 0 ? max : 0) : kMaxAddresses;
  int32_t n = vor::sock::resolve_ipv4(name, found, want);
  if (n < 0) return false;
  int32_t written = n < want ? n : want;
  for (int32_t i = 0; i < written; ++i) cu_sock_32bitsToIP(slots + 21 * i, ntohl(found[i]));
  if (count) *count = max > 0 ? written : n;  // a dotted text counts 1 even with max 0
  return true;
}

bool cu_sock_GetHostFirstIP(const char* name, char* out) {
  char slot[21];
  int32_t count = 0;
  if (!out || !cu_sock_GetHostIP(name, slot, 1, &count) || count < 1) return false;
  cu_strncpy(out, slot, 15);
  return true;
}

// The host's own IPv4 addresses come from its interfaces (a host name may not resolve); the
// loopback address only when there is no other.
bool cu_sock_GetLocalHostIP(char* slots, int32_t max, int32_t* count) {
  if (max > 0 && !slots) return false;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  std::vector<uint32_t> found, loopbacks;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    uint32_t a = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    ((i->ifa_flags & IFF_LOOPBACK) ? loopbacks : found).push_back(a);
  }
  freeifaddrs(list);
  if (found.empty()) found = loopbacks;
  if (found.empty()) return false;
  int32_t written = 0;
  for (uint32_t a : found) {
    if (written >= max) break;
    cu_sock_32bitsToIP(slots + 21 * written++, a);
  }
  if (count) *count = written;
  return true;
}

bool cu_sock_HostnameTo32bits(uint32_t* value, const char* name) {
  uint32_t first;
  if (!value || !name || vor::sock::resolve_ipv4(name, &first, 1) < 1) return false;
  *value = ntohl(first);
  return true;
}

bool cu_sock_GetPeer(int64_t sock, char* buf, int32_t n, uint16_t* port) {
  int fd = vor::sid_fd_checked(sock);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return false;
  if (buf && n > 0) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    cu_strncpy(buf, text, n - 1);
  }
  if (port) *port = ntohs(a.sin_port);
  return true;
}

bool cu_sock_GetPortFromFd(int64_t sock, uint16_t* port) {
  sockaddr_in a{};
  if (!local_address(sock, &a)) return false;
  if (port) *port = ntohs(a.sin_port);
  return true;
}

bool cu_sock_GetLocalIPFromFd(int64_t sock, char* buf, uint16_t* port) {
  sockaddr_in a{};
  if (buf) buf[0] = '\0';
  if (!local_address(sock, &a)) return false;
  if (buf) inet_ntop(AF_INET, &a.sin_addr, buf, 17);
  if (port) *port = ntohs(a.sin_port);
  return true;
}

int32_t cu_inet_aton(const char* text, uint32_t* value) {
  if (!text || !value) return 0;
  in_addr a{};
  *value = inet_aton(text, &a) ? a.s_addr : INADDR_NONE;
  return *value != INADDR_NONE ? 1 : 0;
}

bool cu_sock_IPTo32bits(uint32_t* value, const char* text) {
  uint32_t v;
  if (!value || !parse_ipv4(text, &v)) return false;
  *value = ntohl(v);
  return true;
}

void cu_sock_32bitsToIP(char* buf, uint32_t value) {
  if (!buf) return;
  snprintf(buf, 16, "%u.%u.%u.%u", value >> 24, (value >> 16) & 0xff, (value >> 8) & 0xff, value & 0xff);
}

int32_t cu_sock_write_ByPeerIp(int64_t sock, const void* data, int32_t len, const char* ip, uint16_t port) {
  if (!ip || len <= 0 || port == 0) return 0;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  uint32_t a;
  if (!parse_ipv4(ip, &a)) return -1;
  to.sin_addr.s_addr = a;
  return send_to(sock, data, len, to, sizeof to);
}

int32_t cu_sock_write_ByAddr(int64_t sock, const void* data, int32_t len, const cu_peer_addr* peer) {
  if (!peer || len <= 0) return 0;
  socklen_t to_len = peer->addr_len > 0 ? static_cast<socklen_t>(peer->addr_len) : sizeof peer->addr;
  if (to_len > sizeof peer->addr) to_len = sizeof peer->addr;
  return send_to(sock, data, len, peer->addr, to_len);
}

int32_t cu_sock_read_ByPeerIp(int64_t sock, void* buf, int32_t size, char* ip, uint16_t* port) {
  cu_peer_addr peer{};
  int32_t n = vor::sock::recv_datagram(sock, static_cast<char*>(buf), size, ip ? &peer : nullptr);
  if (n > 0 && ip) {
    cu_strncpy(ip, peer.ip, 16);
    if (port) *port = peer.port;
  }
  return n;
}

int32_t cu_sock_read_ByAddr(int64_t sock, void* buf, int32_t size, cu_peer_addr* peer) {
  return vor::sock::recv_datagram(sock, static_cast<char*>(buf), size, peer);
}
