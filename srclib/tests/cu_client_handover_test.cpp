#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "cu_box.h"
#include "cu_sock.h"
#include "vor_net_test_util.h"
#include "vor_sid.h"

namespace {

// A listener on 127.0.0.1 (backlog large enough for the tests).
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = vor::test::loopback(0);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 16);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
};

bool writable_within(int64_t sid, int ms) {
  pollfd p{vor::sid_fd(sid), POLLOUT, 0};
  return poll(&p, 1, ms) == 1;
}

TEST(ClientHandOver, SocketStaysOpenAndConnectsAfterTheObjectIsGone) {
  Listener l;
  cu_client* client = nullptr;
  ASSERT_GT(cu_box_sock_AddLocalTcpClient_STEP1_ext("127.0.0.2", 0, "127.0.0.1", l.port, &client), 0);
  int32_t error = -1;
  int64_t sid = cu_box_sock_HandOverTcpClient(client, &error);
  ASSERT_GT(sid, 0);
  EXPECT_EQ(error, 0);
  ASSERT_TRUE(writable_within(sid, 20000));
  EXPECT_EQ(cu_sock_fd_status(sid, nullptr), 0);
  char local[20];
  uint16_t port = 0;
  ASSERT_TRUE(cu_sock_GetLocalIPFromFd(sid, local, &port));
  EXPECT_STREQ(local, "127.0.0.2");  // bound without a port, the address is still ours
  EXPECT_NE(port, 0);
  EXPECT_TRUE(vor::sid_close(sid));
}

TEST(ClientHandOver, RefusedConnectIsReportedByTheSocketOrTheKeptError) {
  uint16_t closed_port = vor::test::free_port();
  cu_client* client = nullptr;
  ASSERT_GT(cu_box_sock_AddLocalTcpClient_STEP1_ext(nullptr, 0, "127.0.0.1", closed_port, &client), 0);
  int32_t error = 0;
  int64_t sid = cu_box_sock_HandOverTcpClient(client, &error);
  ASSERT_GT(sid, 0);
  ASSERT_TRUE(writable_within(sid, 20000));
  int32_t later = 0;
  cu_sock_fd_status(sid, &later);
  EXPECT_EQ(error ? error : later, ECONNREFUSED);
  EXPECT_TRUE(vor::sid_close(sid));
}

TEST(ClientHandOver, NothingToHandOver) {
  int32_t error = 5;
  EXPECT_EQ(cu_box_sock_HandOverTcpClient(nullptr, &error), -1);
  EXPECT_EQ(error, 0);
  cu_client* client = nullptr;
  // A local address that is not on this machine fails the bind before any packet.
  EXPECT_LE(cu_box_sock_AddLocalTcpClient_STEP1_ext("192.0.2.77", 0, "127.0.0.1", 80, &client), 0);
  EXPECT_EQ(client, nullptr);
}

}  // namespace
