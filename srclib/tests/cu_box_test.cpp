// One box on 127.0.0.1: TCP and UDP echo, chunked reads, failed connects, peer closes, and
// readiness that arrives for a descriptor already closed and reused.
#include "cu_box.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include "cu_sock_internal.h"
#include "vor_net_test_util.h"
#include "vor_sid.h"
#include "vor_wait.h"

namespace {

using vor::test::connect_blocking;
using vor::test::free_port;

void watchdog(void* handle, void*, int32_t, int32_t) {
  ADD_FAILURE() << "the box loop ran into its watchdog";
  cu_box_BreakLoop(static_cast<cu_box*>(handle));
}

// Runs the loop with a watchdog timer so that a broken test ends instead of hanging.
void run_bounded(cu_box* box, uint32_t ms = 5000) {
  int32_t id = cu_box_timer_AddOnceTimer(box, ms, watchdog, nullptr);
  cu_box_StartLoop(box);
  cu_box_timer_Delete(box, id);
}

int64_t listen_on_free_port(cu_box* box, cu_box_accept_fn fn, void* ud, uint16_t* port) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    *port = free_port();
    int64_t sid = cu_box_sock_AddLocalTcpServer(box, "127.0.0.1", *port, fn, ud);
    if (sid > 0) return sid;
  }
  return -1;
}

int64_t udp_on_free_port(cu_box* box, cu_box_datagram_fn fn, void* ud, uint16_t* port) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    *port = free_port(SOCK_DGRAM);
    int64_t sid = cu_box_sock_AddLocalUdpServer(box, "127.0.0.1", *port, fn, ud);
    if (sid > 0) return sid;
  }
  return -1;
}

// --- TCP echo -------------------------------------------------------------------------------
struct Echo {
  explicit Echo(cu_box* b) : box(b) {}
  cu_box* box;
  int64_t client = -1;
  std::string received;
  std::string sent = "hello over loopback";
  int accepted = 0;
  int connected = 0;
  std::vector<int64_t> server_side;
};

void echo_back(void*, void*, int64_t sid, const char* data, int32_t len) {
  EXPECT_EQ(data[len], '\0');
  EXPECT_EQ(cu_box_sock_TcpWrite(nullptr, sid, data, len), len);
}

void echo_closed(void* handle, void*, int64_t sid) { cu_box_sock_Delete(static_cast<cu_box*>(handle), sid); }

void echo_accept(void* handle, void* ud, int64_t, int64_t sid, const char* ip, uint16_t port) {
  auto* e = static_cast<Echo*>(ud);
  ++e->accepted;
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_NE(port, 0);
  EXPECT_EQ(cu_box_sock_AddRemoteTcpClient(static_cast<cu_box*>(handle), sid, echo_back, e, echo_closed, e), sid);
  EXPECT_EQ(cu_box_sock_AddRemoteTcpClient(static_cast<cu_box*>(handle), sid, echo_back, e, echo_closed, e), -1);
  e->server_side.push_back(sid);
}

void client_connected(void*, void* ud, int64_t sid) {
  auto* e = static_cast<Echo*>(ud);
  ++e->connected;
  EXPECT_EQ(sid, e->client);
  cu_box_sock_TcpWrite(nullptr, sid, e->sent.data(), static_cast<int32_t>(e->sent.size()));
}

void client_read(void* handle, void* ud, int64_t, const char* data, int32_t len) {
  auto* e = static_cast<Echo*>(ud);
  e->received.append(data, static_cast<size_t>(len));
  if (e->received.size() >= e->sent.size()) cu_box_BreakLoop(static_cast<cu_box*>(handle));
}

void unexpected_sock(void*, void*, int64_t) { ADD_FAILURE() << "unexpected failure or close"; }

TEST(Box, TcpEchoClientAndServer) {
  cu_box* box = cu_box_malloc();
  Echo e(box);
  uint16_t port;
  int64_t listener = listen_on_free_port(box, echo_accept, &e, &port);
  ASSERT_GT(listener, 0);
  e.client = cu_box_sock_AddLocalTcpClient(box, "127.0.0.1", port, client_connected, &e, unexpected_sock, &e,
                                           client_read, &e, unexpected_sock, &e);
  ASSERT_GT(e.client, 0);
  EXPECT_EQ(cu_box_sock_GetNumSock(box), 2);
  run_bounded(box);
  EXPECT_EQ(e.received, e.sent);
  EXPECT_EQ(e.accepted, 1);
  EXPECT_EQ(e.connected, 1);
  EXPECT_EQ(cu_box_sock_GetNumSock(box), 3);
  cu_box_free(box);
}

// --- UDP echo -------------------------------------------------------------------------------
struct UdpEcho {
  std::string got;
  int64_t server = -1;
};

void udp_server_echo(void* handle, void*, int64_t sid, const char* data, int32_t len, cu_peer_addr* from) {
  ASSERT_NE(from, nullptr);
  EXPECT_STREQ(from->ip, "127.0.0.1");
  EXPECT_EQ(cu_box_sock_UdpWrite(static_cast<cu_box*>(handle), sid, data, len, from), len);
}

void udp_client_got(void* handle, void* ud, int64_t, const char* data, int32_t len, cu_peer_addr*) {
  static_cast<UdpEcho*>(ud)->got.assign(data, static_cast<size_t>(len));
  cu_box_BreakLoop(static_cast<cu_box*>(handle));
}

TEST(Box, UdpEchoClientAndServer) {
  cu_box* box = cu_box_malloc();
  UdpEcho u;
  uint16_t port;
  u.server = udp_on_free_port(box, udp_server_echo, &u, &port);
  ASSERT_GT(u.server, 0);
  int64_t client = cu_box_sock_AddLocalUdpClient(box, "127.0.0.1", port, udp_client_got, &u);
  ASSERT_GT(client, 0);
  EXPECT_EQ(cu_box_sock_UdpWriteByIp(nullptr, client, "ping", 4, "127.0.0.1", port), 4);
  run_bounded(box);
  EXPECT_EQ(u.got, "ping");
  cu_box_free(box);
}

// --- reads in chunks ------------------------------------------------------------------------
struct Chunks {
  std::vector<int32_t> sizes;
  std::string data;
  int closes = 0;
};

void chunk_read(void*, void* ud, int64_t, const char* data, int32_t len) {
  auto* c = static_cast<Chunks*>(ud);
  EXPECT_EQ(data[len], '\0');
  c->sizes.push_back(len);
  c->data.append(data, static_cast<size_t>(len));
}

void chunk_close(void* handle, void* ud, int64_t) {
  ++static_cast<Chunks*>(ud)->closes;
  // Let a few more passes run: a second close report would show here.
  cu_box_timer_AddOnceTimer(static_cast<cu_box*>(handle), 50, [](void* h, void*, int32_t, int32_t) {
    cu_box_BreakLoop(static_cast<cu_box*>(h));
  }, nullptr);
}

void chunk_accept(void* handle, void* ud, int64_t, int64_t sid, const char*, uint16_t) {
  auto* box = static_cast<cu_box*>(handle);
  cu_box_sock_AddRemoteTcpClient(box, sid, chunk_read, ud, chunk_close, ud);
  cu_box_sock_SetMaxReadLen(box, sid, 1000);
}

TEST(Box, LargeWriteArrivesInChunksNoLargerThanTheReadSizeAndCloseComesOnce) {
  cu_box* box = cu_box_malloc();
  Chunks c;
  uint16_t port;
  ASSERT_GT(listen_on_free_port(box, chunk_accept, &c, &port), 0);
  int peer = connect_blocking(port);
  ASSERT_GE(peer, 0);
  std::string payload;
  for (int i = 0; i < 12000; ++i) payload.push_back(static_cast<char>('a' + i % 26));
  ASSERT_EQ(write(peer, payload.data(), payload.size()), 12000);
  close(peer);
  run_bounded(box);
  EXPECT_EQ(c.data, payload);
  for (int32_t n : c.sizes) EXPECT_LE(n, 1000);
  EXPECT_GE(c.sizes.size(), 12u);
  EXPECT_EQ(c.closes, 1);
  EXPECT_EQ(cu_box_sock_GetNumSock(box), 2);  // the closed connection stays until deleted
  cu_box_free(box);
}

// --- accepts without descriptors ---------------------------------------------------------------
struct Starved {
  int accepted = 0;
  std::vector<int> hoard;
};

void starved_accept(void* handle, void* ud, int64_t, int64_t sid, const char*, uint16_t) {
  ++static_cast<Starved*>(ud)->accepted;
  cu_box_sock_Delete(static_cast<cu_box*>(handle), sid);
  cu_box_BreakLoop(static_cast<cu_box*>(handle));
}

void release_hoard(void*, void* ud, int32_t, int32_t) {
  auto* s = static_cast<Starved*>(ud);
  for (int fd : s->hoard) close(fd);
  s->hoard.clear();
}

double thread_cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

TEST(Box, ListenerOutOfDescriptorsRestsInsteadOfSpinningAndAcceptsLater) {
  cu_box* box = cu_box_malloc();
  Starved s;
  uint16_t port;
  ASSERT_GT(listen_on_free_port(box, starved_accept, &s, &port), 0);
  int peer = connect_blocking(port);  // completes in the backlog; the accept is what fails
  ASSERT_GE(peer, 0);
  for (int fd; (fd = dup(0)) >= 0 && s.hoard.size() < 100000;) s.hoard.push_back(fd);  // every descriptor taken
  ASSERT_EQ(errno, EMFILE);
  cu_box_timer_AddOnceTimer(box, 300, release_hoard, &s);
  double cpu = thread_cpu_seconds();
  run_bounded(box);
  cpu = thread_cpu_seconds() - cpu;
  EXPECT_EQ(s.accepted, 1);
  EXPECT_LT(cpu, 0.15) << "the loop spun while accepts failed";
  release_hoard(nullptr, &s, 0, 0);
  close(peer);
  cu_box_free(box);
}

// --- failed connect ------------------------------------------------------------------------
struct Failing {
  bool inside_call = false;
  int failed = 0;
  int64_t sid = -1;
};

void on_failed_outside_call(void* handle, void* ud, int64_t sid) {
  auto* f = static_cast<Failing*>(ud);
  EXPECT_FALSE(f->inside_call);
  EXPECT_EQ(sid, f->sid);
  ++f->failed;
  cu_box_BreakLoop(static_cast<cu_box*>(handle));
}

void never_connected(void*, void*, int64_t) { ADD_FAILURE() << "connected to a closed port"; }

TEST(Box, ConnectToAClosedPortCallsOnFailedFromTheLoop) {
  cu_box* box = cu_box_malloc();
  Failing f;
  uint16_t port = free_port();
  f.inside_call = true;
  f.sid = cu_box_sock_AddLocalTcpClient(box, "127.0.0.1", port, never_connected, &f, on_failed_outside_call, &f,
                                        nullptr, nullptr, nullptr, nullptr);
  f.inside_call = false;
  ASSERT_GT(f.sid, 0);
  run_bounded(box);
  EXPECT_EQ(f.failed, 1);
  EXPECT_TRUE(cu_box_sock_IsExist(box, f.sid));
  EXPECT_EQ(cu_box_sock_GetNumSock(box), 1);
  cu_box_sock_Delete(box, f.sid);
  EXPECT_EQ(cu_box_sock_GetNumSock(box), 0);
  EXPECT_FALSE(vor::sid_current(f.sid));
  cu_box_free(box);
}

// A connect refused at once (not EINPROGRESS) leaves a socket that never connected: the box
// still reports on_failed from its loop, never inside the call.
TEST(Box, ConnectFailingAtOnceCallsOnFailedFromTheLoop) {
  cu_box* box = cu_box_malloc();
  cu_client* client = cu_client_new(2, nullptr, 0, "127.0.0.1", free_port(SOCK_DGRAM));
  ASSERT_NE(client, nullptr);
  vor::sid_close(client->sock);
  client->kind = 1;
  client->sock = vor::sid_make(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  client->connect_error = ENETUNREACH;
  Failing f;
  f.sid = client->sock;
  f.inside_call = true;
  EXPECT_EQ(cu_box_sock_AddLocalTcpClient_STEP2(box, client, never_connected, &f, on_failed_outside_call, &f,
                                                nullptr, nullptr, nullptr, nullptr),
            f.sid);
  f.inside_call = false;
  run_bounded(box);
  EXPECT_EQ(f.failed, 1);
  cu_box_sock_Delete(box, f.sid);
  EXPECT_EQ(cu_box_sock_GetNumSock(box), 0);
  cu_box_free(box);
}

TEST(Box, ClientRefusesLowPortsAndUnresolvableHosts) {
  cu_box* box = cu_box_malloc();
  EXPECT_EQ(cu_box_sock_AddLocalTcpClient(box, "127.0.0.1", 2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr),
            -1);
  EXPECT_EQ(cu_box_sock_AddLocalTcpClient(box, "no-such-host.invalid", 80, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr),
            -1);
  EXPECT_EQ(cu_box_sock_AddLocalTcpServer(box, "127.0.0.1", 0, nullptr, nullptr), -1);
  EXPECT_EQ(cu_box_sock_AddLocalTcpServer(box, "not-an-address", free_port(), nullptr, nullptr), -1);
  EXPECT_EQ(cu_box_sock_GetNumSock(box), 0);
  cu_box_free(box);
}

// --- stale readiness and descriptor reuse -----------------------------------------------------
struct Reuse {
  cu_box* box;
  int64_t a = -1, b = -1;
  int64_t fresh = -1;
  int fresh_fd = -1;
  int first_calls = 0;
  int fresh_calls = 0;
};

void fresh_readable(void* ud) { ++static_cast<Reuse*>(ud)->fresh_calls; }

// Whichever of A and B is served first closes the other and opens a socket on its descriptor.
void reuse_datagram(void*, void* ud, int64_t sid, const char*, int32_t, cu_peer_addr*) {
  auto* r = static_cast<Reuse*>(ud);
  if (r->first_calls++ > 0) return;
  int64_t other = sid == r->a ? r->b : r->a;
  int other_fd = vor::sid_fd(other);
  cu_box_sock_Delete(r->box, other);
  r->fresh_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  r->fresh = vor::sid_make(r->fresh_fd);
  EXPECT_EQ(r->fresh_fd, other_fd) << "the descriptor was not reused";
  EXPECT_TRUE(cu_box_sock_ImportSocketId_ForRead(r->box, r->fresh, fresh_readable, r));
  // The old sid must not reach the new socket.
  cu_box_sock_Delete(r->box, other);
  EXPECT_TRUE(cu_box_sock_IsExist(r->box, r->fresh));
  EXPECT_EQ(fcntl(r->fresh_fd, F_GETFD), FD_CLOEXEC);
  cu_box_timer_AddOnceTimer(r->box, 30, [](void* h, void*, int32_t, int32_t) {
    cu_box_BreakLoop(static_cast<cu_box*>(h));
  }, nullptr);
}

TEST(Box, StaleReadinessNeverReachesASocketThatReusedTheDescriptor) {
  cu_box* box = cu_box_malloc();
  Reuse r{box};
  uint16_t pa, pb;
  r.a = udp_on_free_port(box, reuse_datagram, &r, &pa);
  r.b = udp_on_free_port(box, reuse_datagram, &r, &pb);
  ASSERT_GT(r.a, 0);
  ASSERT_GT(r.b, 0);
  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to_a = vor::test::loopback(pa), to_b = vor::test::loopback(pb);
  sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr*>(&to_a), sizeof to_a);
  sendto(sender, "y", 1, 0, reinterpret_cast<sockaddr*>(&to_b), sizeof to_b);
  close(sender);
  // Both datagrams queued, so one wait reports both sockets.
  auto queued = [](int64_t sid) {
    char c;
    return recv(vor::sid_fd(sid), &c, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
  };
  ASSERT_TRUE(vor::test::wait_until([&] { return queued(r.a) && queued(r.b); }));
  run_bounded(box);
  EXPECT_EQ(r.first_calls, 1);
  EXPECT_EQ(r.fresh_calls, 0);
  EXPECT_EQ(fcntl(r.fresh_fd, F_GETFD), FD_CLOEXEC);  // still open
  cu_box_sock_Delete(box, r.fresh);
  EXPECT_EQ(fcntl(r.fresh_fd, F_GETFD), -1);
  cu_box_free(box);
}

// --- imports, exports and listeners -------------------------------------------------------------
struct Imported {
  cu_box* box;
  int64_t expected = -1;
  int64_t seen = -1;
};

void imported_readable(void* ud) {
  auto* i = static_cast<Imported*>(ud);
  i->seen = cu_box_sock_GetThisId(i->box);
  cu_box_BreakLoop(i->box);
}

TEST(Box, ImportedSocketCallbackLearnsItsSidFromTheLoop) {
  cu_box* box = cu_box_malloc();
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
  Imported i{box, vor::sid_make(fds[0])};
  EXPECT_FALSE(cu_box_sock_ImportSocketId_ForRead(box, i.expected, nullptr, &i));
  ASSERT_TRUE(cu_box_sock_ImportSocketId_ForRead(box, i.expected, imported_readable, &i));
  ASSERT_EQ(write(fds[1], "z", 1), 1);
  run_bounded(box);
  EXPECT_EQ(i.seen, i.expected);
  EXPECT_EQ(cu_box_sock_GetThisId(box), -1);
  EXPECT_EQ(cu_box_sock_GetNumSock(box), 0);  // imports get no record
  EXPECT_TRUE(cu_box_sock_IsExist(box, i.expected));
  cu_box_sock_Delete(box, i.expected);
  close(fds[1]);
  cu_box_free(box);
}

TEST(Box, ExportKeepsTheSocketOpenAndDeleteOfAnImportedListenerLeavesItOpen) {
  cu_box* box = cu_box_malloc();
  uint16_t port;
  Echo e(box);
  ASSERT_GT(listen_on_free_port(box, echo_accept, &e, &port), 0);
  int64_t client = cu_box_sock_AddLocalTcpClient(box, "127.0.0.1", port, nullptr, nullptr, nullptr, nullptr,
                                                 nullptr, nullptr, nullptr, nullptr);
  ASSERT_GT(client, 0);
  EXPECT_TRUE(cu_box_sock_ExportSocketId_ForWrite(box, client));
  EXPECT_TRUE(cu_box_sock_IsExist(box, client));  // still waits for except
  EXPECT_TRUE(cu_box_sock_ExportSocketId_ForExcept(box, client));
  EXPECT_FALSE(cu_box_sock_IsExist(box, client));
  EXPECT_TRUE(vor::sid_current(client));
  EXPECT_EQ(fcntl(vor::sid_fd(client), F_GETFD), FD_CLOEXEC);
  vor::sid_close(client);

  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = vor::test::loopback(0);
  ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(lfd, 8), 0);
  int64_t lsid = vor::sid_make(lfd);
  ASSERT_EQ(cu_box_sock_AddLocalTcpServer2(box, lsid, echo_accept, &e), lsid);
  cu_box_sock_Delete(box, lsid);
  EXPECT_EQ(fcntl(lfd, F_GETFD), FD_CLOEXEC);
  close(lfd);
  cu_box_free(box);
}

TEST(Box, SetMaxReadLenClampsAndIgnoresOtherKinds) {
  cu_box* box = cu_box_malloc();
  uint16_t port;
  Echo e(box);
  int64_t listener = listen_on_free_port(box, echo_accept, &e, &port);
  cu_box_sock_SetMaxReadLen(box, listener, 10);  // a listener: nothing
  int64_t stale = listener + (int64_t{1} << 32);
  cu_box_sock_Delete(box, stale);  // not current: closes nothing
  EXPECT_TRUE(cu_box_sock_IsExist(box, listener));
  EXPECT_FALSE(cu_box_sock_IsExist(box, 0));
  cu_box_free(box);
}

}  // namespace
