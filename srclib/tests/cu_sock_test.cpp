// Socket helpers: address texts, look-ups, datagrams and the client and server objects.
#include "cu_sock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "cu_sock_internal.h"
#include "vor_net_test_util.h"
#include "vor_sid.h"
#include "vor_wait.h"

namespace {

struct IpCase {
  const char* text;
  bool ok;
  uint32_t host_order;
};

// What inet_addr accepts: short, octal and hex forms too; the all-ones address and names refused.
const IpCase kIps[] = {
    {"10.1.2.3", true, 10u << 24 | 1u << 16 | 2u << 8 | 3u},
    {"127.0.0.1", true, 0x7f000001u},
    {"127.1", true, 0x7f000001u},
    {"0x7f.1", true, 0x7f000001u},
    {"010.0.0.1", true, 0x08000001u},
    {"0.0.0.0", true, 0u},
    {"255.255.255.255", false, 0},
    {"256.1.1.1", false, 0},
    {"localhost", false, 0},
    {"", false, 0},
};

TEST(Sock, AddressTextsReadAsInetAddrDoes) {
  for (const IpCase& c : kIps) {
    SCOPED_TRACE(c.text);
    uint32_t v = 0;
    EXPECT_EQ(cu_sock_IPTo32bits(&v, c.text), c.ok);
    EXPECT_EQ(cu_sock_IsRealIp(c.text), c.ok);
    if (c.ok) {
      EXPECT_EQ(v, c.host_order);
    }
    uint32_t net = 0;
    EXPECT_EQ(cu_inet_aton(c.text, &net), c.ok ? 1 : 0);
    if (c.ok) {
      EXPECT_EQ(net, htonl(c.host_order));
    }
  }
  EXPECT_FALSE(cu_sock_IPTo32bits(nullptr, "1.2.3.4"));
  EXPECT_EQ(cu_inet_aton(nullptr, nullptr), 0);
}

TEST(Sock, AddressValuesWriteAsDottedText) {
  char buf[16];
  cu_sock_32bitsToIP(buf, 10u << 24 | 1u << 16 | 2u << 8 | 3u);
  EXPECT_STREQ(buf, "10.1.2.3");
  cu_sock_32bitsToIP(buf, 0xffffffffu);
  EXPECT_STREQ(buf, "255.255.255.255");
  cu_sock_32bitsToIP(nullptr, 1);  // ignored
}

TEST(Sock, HostLookups) {
  char slots[21 * 4] = {};
  int32_t count = -1;
  EXPECT_TRUE(cu_sock_GetHostIP("10.0.0.7", slots, 0, &count));
  EXPECT_EQ(count, 1);
  EXPECT_EQ(slots[0], '\0');  // nothing written with max 0
  EXPECT_TRUE(cu_sock_GetHostIP("10.0.0.7", slots, 4, &count));
  EXPECT_STREQ(slots, "10.0.0.7");
  EXPECT_TRUE(cu_sock_GetHostIP("localhost", slots, 4, &count));
  EXPECT_GE(count, 1);
  EXPECT_STREQ(slots, "127.0.0.1");
  EXPECT_FALSE(cu_sock_GetHostIP("no-such-host.invalid", slots, 4, &count));
  char first[16];
  EXPECT_TRUE(cu_sock_GetHostFirstIP("127.0.0.1", first));
  EXPECT_STREQ(first, "127.0.0.1");
  uint32_t v = 0;
  EXPECT_TRUE(cu_sock_HostnameTo32bits(&v, "localhost"));
  EXPECT_EQ(v, 0x7f000001u);
  char local[21 * 8];
  EXPECT_TRUE(cu_sock_GetLocalHostIP(local, 8, &count));
  EXPECT_GE(count, 1);
  EXPECT_TRUE(cu_sock_IsRealIp(local));
  char name[256];
  EXPECT_EQ(cu_sock_GetLocalHostname(nullptr, 10), -1);
  EXPECT_EQ(cu_sock_GetLocalHostname(name, sizeof name), 0);
}

TEST(Sock, DatagramsWithSenderAndOversizeRefused) {
  cu_server server;
  uint16_t port = 0;
  int64_t sid = -1;
  for (int i = 0; i < 20 && sid <= 0; ++i) {
    port = vor::test::free_port(SOCK_DGRAM);
    ASSERT_TRUE(cu_server_init(&server, 2, "127.0.0.1", port));
    sid = cu_server_open(&server);
  }
  ASSERT_GT(sid, 0);
  cu_client* client = cu_client_new(2, nullptr, 0, "127.0.0.1", port);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(cu_sock_write_ByPeerIp(client->sock, "abc", 3, "127.0.0.1", 0), 0);
  EXPECT_EQ(cu_sock_write_ByPeerIp(client->sock, "abc", 3, nullptr, port), 0);
  EXPECT_EQ(cu_sock_write_ByPeerIp(client->sock, "abc", 3, "127.0.0.1", port), 3);
  std::string big(6000, 'b');
  EXPECT_EQ(cu_sock_write_ByPeerIp(client->sock, big.data(), 6000, "127.0.0.1", port), 6000);
  auto queued = [](int64_t sock) {
    char c;
    return recv(vor::sid_fd(sock), &c, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
  };
  ASSERT_TRUE(vor::test::wait_until([&] { return queued(sid); }));
  char buf[kCuSockReadMax + 1];
  cu_peer_addr from{};
  EXPECT_EQ(cu_server_read(&server, buf, &from), 3);
  EXPECT_STREQ(from.ip, "127.0.0.1");
  uint16_t client_port = 0;
  ASSERT_TRUE(cu_sock_GetPortFromFd(client->sock, &client_port));
  EXPECT_EQ(from.port, client_port);
  EXPECT_EQ(cu_server_read(&server, buf, &from), -1);  // 6,000 bytes do not fit: not cut
  EXPECT_EQ(cu_sock_write_ByAddr(sid, "re", 2, &from), 2);
  ASSERT_TRUE(vor::test::wait_until([&] { return queued(client->sock); }));
  char ip[17];
  uint16_t from_port = 0;
  EXPECT_EQ(cu_sock_read_ByPeerIp(client->sock, buf, sizeof buf, ip, &from_port), 2);
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_EQ(from_port, port);
  cu_client_free(client);
  cu_server_close(&server);
}

TEST(Sock, ClientAndServerObjectsRefuseBadArguments) {
  cu_client c;
  EXPECT_FALSE(cu_client_init(&c, 1, nullptr, 0, "127.0.0.1", 2));
  EXPECT_TRUE(cu_client_init(&c, 1, nullptr, 0, "127.0.0.1", 3));
  EXPECT_FALSE(cu_client_init(&c, 1, nullptr, 0, nullptr, 80));
  cu_server s;
  EXPECT_FALSE(cu_server_init(&s, 1, "127.0.0.1", 0));
  ASSERT_TRUE(cu_server_init(&s, 3, "127.0.0.1", 80));
  EXPECT_EQ(cu_server_open(&s), -2);
}

TEST(Sock, OptionsAndStatusOfStaleSidsFail) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int64_t sid = vor::sid_make(fd);
  EXPECT_TRUE(cu_sock_set_nondelay(sid));
  EXPECT_TRUE(cu_sock_keep_alive(sid));
  EXPECT_TRUE(cu_sock_set_linger(sid, 3));
  EXPECT_EQ(cu_sock_set_nonblock(sid), 0);
  int32_t error = -5;
  EXPECT_TRUE(cu_sock_is_fd_valid(sid, &error));
  EXPECT_EQ(cu_sock_fd_status(sid, &error), 0);
  EXPECT_TRUE(vor::sid_close(sid));
  EXPECT_FALSE(cu_sock_set_nondelay(sid));
  EXPECT_FALSE(cu_sock_is_fd_valid(sid, &error));
  EXPECT_EQ(error, EBADF);
  EXPECT_EQ(cu_sock_fd_status(sid, nullptr), -1);
  EXPECT_FALSE(cu_sock_is_fd_writable(sid));
  EXPECT_FALSE(cu_sock_is_fd_writable(-1));
  char peer[20];
  EXPECT_FALSE(cu_sock_GetPeer(sid, peer, sizeof peer, nullptr));
}

// Sids: a closed connection's sid never names the descriptor's next socket.
TEST(Sid, ClosedSidIsStaleAfterReuse) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int64_t first = vor::sid_make(fd);
  EXPECT_EQ(vor::sid_fd(first), fd);
  EXPECT_GT(first, 0);
  EXPECT_TRUE(vor::sid_current(first));
  EXPECT_TRUE(vor::sid_close(first));
  EXPECT_FALSE(vor::sid_current(first));
  EXPECT_FALSE(vor::sid_close(first));  // a second close touches nothing
  int again = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(again, fd);
  int64_t second = vor::sid_make(again);
  EXPECT_NE(second, first);
  EXPECT_FALSE(vor::sid_close(first));
  EXPECT_EQ(vor::sid_fd_checked(first), -1);
  EXPECT_EQ(vor::sid_fd_checked(second), again);
  EXPECT_TRUE(vor::sid_close(second));
  EXPECT_EQ(vor::sid_fd(0), -1);
  EXPECT_EQ(vor::sid_make(-1), -1);
}

// A descriptor closed through its bare number (a raw sid) takes its tracked sid with it, so a
// late operation on that sid never reaches a socket opened elsewhere on the same number.
TEST(Sid, CloseByBareNumberMakesTheTrackedSidStale) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int64_t tracked = vor::sid_make(fd);
  ASSERT_TRUE(vor::sid_current(tracked));
  EXPECT_TRUE(vor::sid_close(fd));
  EXPECT_FALSE(vor::sid_current(tracked));
  int again = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // not made into a sid
  ASSERT_EQ(again, fd);
  EXPECT_EQ(vor::sid_fd_checked(tracked), -1);
  EXPECT_FALSE(vor::sid_close(tracked));
  EXPECT_EQ(fcntl(again, F_GETFD), FD_CLOEXEC);  // still open
  EXPECT_TRUE(vor::sid_close(again));
}

}  // namespace
