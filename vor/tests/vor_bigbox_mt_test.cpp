// The bigbox on 127.0.0.1: placement, the connection limit, reads and writes with real peers,
// stale sids after deletes, exports and frees while slave threads serve traffic.
#include "vor_bigbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vor_net_test_util.h"
#include "vor_setup.h"
#include "vor_sid.h"
#include "vor_wait.h"

namespace {

using namespace std::chrono_literals;
using vor::test::wait_until;

int open_fds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// A TCP connection on 127.0.0.1: the accepted end as a sid of our helpers, the other a plain
// blocking descriptor for the test.
struct Pair {
  int64_t sid = -1;
  int peer = -1;
  Pair() {
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = vor::test::loopback(0);
    socklen_t len = sizeof a;
    if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lfd, 1) != 0 ||
        getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      if (lfd >= 0) close(lfd);
      return;
    }
    peer = vor::test::connect_blocking(ntohs(a.sin_port));
    int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    close(lfd);
    if (fd >= 0) sid = vor::sid_make(fd);
  }
  ~Pair() {
    if (peer >= 0) close(peer);
  }
};

// What the server side saw; callbacks run on slave threads, the test reads from its own.
struct Seen {
  std::mutex mutex;
  std::string data;
  std::vector<int64_t> accepted;
  std::atomic<int> reads{0}, closes{0}, writes{0}, accepts{0};
  std::atomic<int32_t> largest{0};
  std::atomic<bool> bad_nul{false}, wrong_thread{false};
  std::atomic<bool> echo{false}, delete_on_close{false}, reject{false};
  std::atomic<int64_t> client_id{0};
  std::atomic<vor_box*> invoked_box{nullptr};
  std::atomic<int64_t> last_sid{0};
};

void on_read(vor_bigbox* bb, void* ud, int64_t sid, const char* data, int32_t len) {
  auto* s = static_cast<Seen*>(ud);
  if (data[len] != '\0') s->bad_nul = true;
  if (vor_bigbox_GetSlaveBox(bb, sid) != vor_bigbox_InvokeSlaveBox(bb)) s->wrong_thread = true;
  s->client_id = vor_bigbox_InvokeClientID(bb);
  s->invoked_box = vor_bigbox_InvokeSlaveBox(bb);
  int32_t prev = s->largest.load();
  while (len > prev && !s->largest.compare_exchange_weak(prev, len)) {
  }
  {
    std::lock_guard<std::mutex> g(s->mutex);
    s->data.append(data, static_cast<size_t>(len));
  }
  if (s->echo) vor_bigbox_write(bb, sid, data, len);
  s->reads.fetch_add(1);
}

void on_close(vor_bigbox* bb, void* ud, int64_t sid) {
  auto* s = static_cast<Seen*>(ud);
  s->closes.fetch_add(1);
  if (s->delete_on_close) vor_bigbox_DeleteSock(bb, sid);
}

void on_write(vor_bigbox*, void* ud, int64_t) { static_cast<Seen*>(ud)->writes.fetch_add(1); }

void on_accept(vor_bigbox* bb, void* ud, int64_t, int64_t sid, const char* ip, uint16_t port) {
  auto* s = static_cast<Seen*>(ud);
  s->accepts.fetch_add(1);
  s->last_sid = sid;
  if (s->reject || !vor_bigbox_accept(bb, sid, ip, port, on_read, s, on_close, s)) {
    vor_bigbox_DeleteSock(bb, sid);
    return;
  }
  std::lock_guard<std::mutex> g(s->mutex);
  s->accepted.push_back(sid);
}

class Bigbox : public ::testing::Test {
 protected:
  void SetUp() override {
    vor_Setup();
    bb = vor_bigbox_make(slaves_, limit_);
    ASSERT_NE(bb, nullptr);
  }
  void TearDown() override { vor_bigbox_free(bb); }
  uint16_t listen() {
    uint16_t port = vor::test::free_port();
    listen_sid = vor_bigbox_attach(bb, "127.0.0.1", port, on_accept, &seen);
    EXPECT_GT(listen_sid, 0);
    return port;
  }
  int64_t last_accepted() {
    std::lock_guard<std::mutex> g(seen.mutex);
    return seen.accepted.empty() ? -1 : seen.accepted.back();
  }
  std::string data() {
    std::lock_guard<std::mutex> g(seen.mutex);
    return seen.data;
  }

  int32_t slaves_ = 2;
  int32_t limit_ = 0;
  vor_bigbox* bb = nullptr;
  int64_t listen_sid = -1;
  Seen seen;
};

// Reads until EOF, an error or the time limit; answers what arrived.
std::string read_all(int fd, size_t want, std::chrono::milliseconds limit = 10s) {
  std::string got;
  auto end = std::chrono::steady_clock::now() + limit;
  char buf[65536];
  while (got.size() < want && std::chrono::steady_clock::now() < end) {
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      got.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      break;
    } else {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, 10);
    }
  }
  return got;
}

// True when the peer closed (EOF or reset) within the time limit.
bool sees_close(int fd, std::chrono::milliseconds limit = 5s) {
  auto end = std::chrono::steady_clock::now() + limit;
  char c;
  while (std::chrono::steady_clock::now() < end) {
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

TEST(BigboxMake, ClampsThreadsAndLimit) {
  vor_Setup();
  struct Case {
    int32_t threads, limit, want_limit;
  } cases[] = {{0, 0, 1000000}, {3, 2000000, 1000000}, {1, -5, 1000000}, {2, 7, 7}};
  for (const Case& c : cases) {
    vor_bigbox* bb = vor_bigbox_make(c.threads, c.limit);
    ASSERT_NE(bb, nullptr);
    EXPECT_EQ(vor_bigbox_maxnodes(bb), c.want_limit);
    EXPECT_EQ(vor_bigbox_nnodes(bb), 0);
    EXPECT_NE(vor_bigbox_GetMasterBox(bb), nullptr);
    vor_bigbox_free(bb);
  }
}

class Placement : public Bigbox {
 protected:
  Placement() { slaves_ = 3; }
};

TEST_F(Placement, TiesGoToTheFirstLeastLoadedSlaveAndPausedOnesCount) {
  std::vector<std::unique_ptr<Pair>> pairs;
  std::vector<vor_box*> box_of;
  auto add = [&] {
    pairs.push_back(std::make_unique<Pair>());
    EXPECT_TRUE(vor_bigbox_accept_WithPause(bb, pairs.back()->sid, "10.0.0.1", 80, on_read, &seen, on_close, &seen));
    box_of.push_back(vor_bigbox_GetSlaveBox(bb, pairs.back()->sid));
    return box_of.back();
  };
  vor_box* first = add();
  vor_box* second = add();
  vor_box* third = add();
  ASSERT_TRUE(first && second && third);
  EXPECT_NE(first, second);
  EXPECT_NE(second, third);
  EXPECT_NE(first, third);
  for (int i = 0; i < 6; ++i) add();  // loads 3, 3, 3
  // Down to loads 3, 1, 1.
  int dropped_second = 0, dropped_third = 0;
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (box_of[i] == second && dropped_second < 2) {
      vor_bigbox_DeleteSock(bb, pairs[i]->sid);
      ++dropped_second;
    } else if (box_of[i] == third && dropped_third < 2) {
      vor_bigbox_DeleteSock(bb, pairs[i]->sid);
      ++dropped_third;
    }
  }
  EXPECT_EQ(vor_bigbox_nnodes(bb), 5);
  EXPECT_EQ(add(), second);  // 3, 1, 1: the first with load 1
  EXPECT_EQ(add(), third);   // 3, 2, 1
  EXPECT_EQ(add(), second);  // 3, 2, 2
}

class Limited : public Bigbox {
 protected:
  Limited() { limit_ = 2; }
};

TEST_F(Limited, AtTheLimitTheListenerClosesNewSocketsButAcceptStillWorks) {
  uint16_t port = listen();
  int a = vor::test::connect_blocking(port);
  int b = vor::test::connect_blocking(port);
  ASSERT_TRUE(wait_until([&] { return vor_bigbox_nnodes(bb) == 2; }));
  int c = vor::test::connect_blocking(port);
  ASSERT_GE(c, 0);
  EXPECT_TRUE(sees_close(c));
  EXPECT_EQ(seen.accepts.load(), 2);
  Pair other;
  EXPECT_TRUE(vor_bigbox_accept(bb, other.sid, nullptr, 0, on_read, &seen, on_close, &seen));
  uint16_t port_seen = 0;
  EXPECT_TRUE(vor_bigbox_GetSockIP(bb, other.sid, nullptr, 0, &port_seen));  // the socket's own peer
  EXPECT_NE(port_seen, 0);
  EXPECT_EQ(vor_bigbox_nnodes(bb), 3);
  Pair over;
  EXPECT_FALSE(vorx_bigbox_import_ForRead(bb, over.sid, on_read, &seen, on_close, &seen));  // over the limit
  vor::sid_close(over.sid);
  close(a);
  close(b);
  close(c);
}

TEST_F(Bigbox, ABurstOfConnectionsIsAcceptedWholeAndSpreadOverTheSlaves) {
  uint16_t port = listen();
  constexpr int kBurst = 200;
  std::vector<int> clients;
  for (int i = 0; i < kBurst; ++i) {
    int fd = vor::test::connect_blocking(port);  // the backlog fills faster than one accept a pass
    ASSERT_GE(fd, 0);
    clients.push_back(fd);
  }
  EXPECT_TRUE(wait_until([&] { return vor_bigbox_nnodes(bb) == kBurst; }));
  EXPECT_EQ(seen.accepts.load(), kBurst);
  std::vector<int64_t> sids;
  {
    std::lock_guard<std::mutex> g(seen.mutex);
    sids = seen.accepted;
  }
  int on_first = 0;
  vor_box* first = vor_bigbox_GetSlaveBox(bb, sids.front());
  for (int64_t sid : sids) on_first += vor_bigbox_GetSlaveBox(bb, sid) == first;
  EXPECT_EQ(on_first, kBurst / 2);  // two slaves, always the less loaded one
  for (int fd : clients) close(fd);
}

TEST_F(Bigbox, EchoesOnTheSlaveThreadWithNulTerminatedChunks) {
  seen.echo = true;
  uint16_t port = listen();
  int fd = vor::test::connect_blocking(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(wait_until([&] { return last_accepted() > 0; }));
  int64_t sid = last_accepted();
  const std::string msg = "GET / HTTP/1.1\r\n\r\n";
  ASSERT_EQ(send(fd, msg.data(), msg.size(), 0), static_cast<ssize_t>(msg.size()));
  EXPECT_EQ(read_all(fd, msg.size()), msg);
  EXPECT_FALSE(seen.bad_nul.load());
  EXPECT_FALSE(seen.wrong_thread.load());
  EXPECT_EQ(seen.client_id.load(), sid);
  EXPECT_EQ(seen.invoked_box.load(), vor_bigbox_GetSlaveBox(bb, sid));
  // Not a slave thread: nothing to invoke.
  EXPECT_EQ(vor_bigbox_InvokeSlaveBox(bb), nullptr);
  EXPECT_EQ(vor_bigbox_InvokeClientID(bb), 0);

  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
  char ip[20] = "x";
  uint16_t peer_port = 0;
  EXPECT_TRUE(vor_bigbox_GetSockIP(bb, sid, ip, sizeof ip, &peer_port));
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_EQ(peer_port, ntohs(local.sin_port));
  char tiny[4];
  EXPECT_TRUE(vor_bigbox_GetSockIP(bb, sid, tiny, sizeof tiny, nullptr));
  EXPECT_STREQ(tiny, "127");  // cut to the buffer, never past it
  peer_port = 0;
  EXPECT_TRUE(vor_bigbox_GetSockIP(bb, sid, nullptr, 0, &peer_port));
  EXPECT_EQ(peer_port, ntohs(local.sin_port));
  close(fd);
}

TEST_F(Bigbox, LargeSendsArriveInChunksNoLargerThanTheReadSize) {
  uint16_t port = listen();
  int fd = vor::test::connect_blocking(port);
  ASSERT_GE(fd, 0);
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
  size_t sent = 0;
  while (sent < big.size()) {
    ssize_t n = send(fd, big.data() + sent, big.size() - sent, 0);
    ASSERT_GT(n, 0);
    sent += static_cast<size_t>(n);
  }
  ASSERT_TRUE(wait_until([&] { return data().size() == big.size(); }));
  EXPECT_EQ(data(), big);
  EXPECT_LE(seen.largest.load(), 31743);
  EXPECT_FALSE(seen.bad_nul.load());
  close(fd);
}

TEST_F(Bigbox, PeerCloseIsReportedOnceEvenWhenTheModuleKeepsTheSocket) {
  uint16_t port = listen();
  int fd = vor::test::connect_blocking(port);
  ASSERT_TRUE(wait_until([&] { return last_accepted() > 0; }));
  close(fd);
  ASSERT_TRUE(wait_until([&] { return seen.closes.load() == 1; }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(seen.closes.load(), 1);
  EXPECT_EQ(vor_bigbox_nnodes(bb), 1);  // the record stays until the module deletes it
  vor_bigbox_DeleteSock(bb, last_accepted());
  EXPECT_EQ(vor_bigbox_nnodes(bb), 0);
}

// The module's side of a partial write: the rest goes out from the write-ready callback.
struct Writer {
  std::string out;
  size_t done = 0;
  std::atomic<bool> finished{false};
  std::atomic<int> notices{0};
};

void write_rest(vor_bigbox* bb, void* ud, int64_t sid) {
  auto* w = static_cast<Writer*>(ud);
  w->notices.fetch_add(1);
  int32_t n = vor_bigbox_write(bb, sid, w->out.data() + w->done, static_cast<int32_t>(w->out.size() - w->done));
  if (n > 0) w->done += static_cast<size_t>(n);
  if (w->done == w->out.size()) {
    vorx_bigbox_export_ForWrite(bb, sid);
    w->finished = true;
  }
}

TEST_F(Bigbox, PartialWriteThenWriteReadyThenExport) {
  uint16_t port = listen();
  int fd = vor::test::connect_blocking(port);
  ASSERT_TRUE(wait_until([&] { return last_accepted() > 0; }));
  int64_t sid = last_accepted();
  EXPECT_TRUE(cu_sock_set_send_buff(sid, 4096));
  Writer w;
  w.out.resize(2 << 20);
  for (size_t i = 0; i < w.out.size(); ++i) w.out[i] = static_cast<char>(i * 7 + i / 251);
  // The peer does not read: writes go short, then take nothing (nothing is queued).
  int32_t n = 0;
  do {
    n = vor_bigbox_write(bb, sid, w.out.data() + w.done, static_cast<int32_t>(w.out.size() - w.done));
    ASSERT_GE(n, 0);
    w.done += static_cast<size_t>(n);
  } while (n > 0 && w.done < w.out.size());
  ASSERT_LT(w.done, w.out.size());
  ASSERT_TRUE(vorx_bigbox_import_ForWrite(bb, sid, write_rest, &w));
  std::string got = read_all(fd, w.out.size(), 30s);
  EXPECT_TRUE(wait_until([&] { return w.finished.load(); }));
  EXPECT_EQ(got.size(), w.out.size());
  EXPECT_TRUE(got == w.out);
  EXPECT_GT(w.notices.load(), 0);
  int after = w.notices.load();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(w.notices.load(), after);  // exported: no more notices
  EXPECT_EQ(vor_bigbox_nnodes(bb), 1);  // the read side keeps the record
  close(fd);
  vor_bigbox_free(bb);  // before w goes: no callback runs once free has returned
  bb = nullptr;
}

TEST_F(Bigbox, DoubleDeleteNeverReachesANewConnectionOnTheSameDescriptor) {
  seen.echo = true;
  uint16_t port = listen();
  int a = vor::test::connect_blocking(port);
  ASSERT_TRUE(wait_until([&] { return last_accepted() > 0; }));
  int64_t old_sid = last_accepted();
  int b = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // made now, so the accept takes the freed number
  ASSERT_GE(b, 0);
  vor_bigbox_DeleteSock(bb, old_sid);
  EXPECT_TRUE(sees_close(a));
  {
    std::lock_guard<std::mutex> g(seen.mutex);
    seen.accepted.clear();
  }
  sockaddr_in to = vor::test::loopback(port);
  ASSERT_EQ(connect(b, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  ASSERT_TRUE(wait_until([&] { return last_accepted() > 0; }));
  int64_t new_sid = last_accepted();
  ASSERT_NE(new_sid, old_sid);
  if (vor::sid_fd(new_sid) != vor::sid_fd(old_sid)) GTEST_SKIP() << "descriptor not reused";
  vor_bigbox_DeleteSock(bb, old_sid);  // stale: ignored
  EXPECT_EQ(vor_bigbox_write(bb, old_sid, "zz", 2), 0);
  EXPECT_EQ(vor_bigbox_GetSlaveBox(bb, old_sid), nullptr);
  EXPECT_FALSE(vorx_bigbox_pause_ForRead(bb, old_sid));
  EXPECT_FALSE(vorx_bigbox_export_ForRead(bb, old_sid));
  ASSERT_EQ(send(b, "ping", 4, 0), 4);
  EXPECT_EQ(read_all(b, 4), "ping");  // the new connection is alive and read
  EXPECT_EQ(vor_bigbox_nnodes(bb), 1);
  close(a);
  close(b);
}

TEST_F(Bigbox, DeleteOfAnAcceptedSocketNoSlaveHoldsClosesItWithoutLeaks) {
  seen.reject = true;  // the accept callback deletes instead of recording
  uint16_t port = listen();
  int warm = vor::test::connect_blocking(port);  // first connection warms tables and threads
  ASSERT_TRUE(sees_close(warm));
  close(warm);
  std::this_thread::sleep_for(50ms);
  int before = open_fds();
  for (int i = 0; i < 20; ++i) {
    int fd = vor::test::connect_blocking(port);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(sees_close(fd));
    close(fd);
  }
  ASSERT_TRUE(wait_until([&] { return seen.accepts.load() == 21; }));
  EXPECT_TRUE(wait_until([&] { return open_fds() == before; }));
  EXPECT_EQ(vor_bigbox_nnodes(bb), 0);
}

TEST_F(Bigbox, ExportForReadKeepsARecordWithAWriteCallbackAndDropsItOtherwise) {
  Pair with_write, read_only;
  ASSERT_TRUE(vor_bigbox_accept(bb, with_write.sid, "1.2.3.4", 1, on_read, &seen, on_close, &seen));
  ASSERT_TRUE(vor_bigbox_accept(bb, read_only.sid, "1.2.3.4", 2, on_read, &seen, on_close, &seen));
  ASSERT_TRUE(vorx_bigbox_import_ForWrite(bb, with_write.sid, on_write, &seen));
  EXPECT_TRUE(vorx_bigbox_export_ForRead(bb, with_write.sid));
  EXPECT_NE(vor_bigbox_GetSlaveBox(bb, with_write.sid), nullptr);
  EXPECT_TRUE(wait_until([&] { return seen.writes.load() > 0; }));  // write notices still come
  EXPECT_TRUE(vorx_bigbox_export_ForWrite(bb, with_write.sid));
  EXPECT_EQ(vor_bigbox_GetSlaveBox(bb, with_write.sid), nullptr);

  EXPECT_TRUE(vorx_bigbox_export_ForRead(bb, read_only.sid));
  EXPECT_EQ(vor_bigbox_GetSlaveBox(bb, read_only.sid), nullptr);
  EXPECT_EQ(vor_bigbox_nnodes(bb), 0);
  EXPECT_TRUE(vor::sid_current(read_only.sid));  // the socket stays open
  ASSERT_EQ(send(read_only.peer, "q", 1, 0), 1);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(seen.reads.load(), 0);
  vor_bigbox_DeleteSock(bb, read_only.sid);  // no record: closed through the master box
  EXPECT_FALSE(vor::sid_current(read_only.sid));
  EXPECT_TRUE(sees_close(read_only.peer));
  EXPECT_FALSE(vorx_bigbox_export_ForRead(bb, read_only.sid));
  vor_bigbox_DeleteSock(bb, with_write.sid);
}

TEST_F(Bigbox, PauseStopsReadingAndStartResumes) {
  Pair p;
  ASSERT_TRUE(vor_bigbox_accept_WithPause(bb, p.sid, "1.1.1.1", 9, on_read, &seen, on_close, &seen));
  ASSERT_EQ(send(p.peer, "abc", 3, 0), 3);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(seen.reads.load(), 0);
  EXPECT_TRUE(vorx_bigbox_start_ForRead(bb, p.sid));
  ASSERT_TRUE(wait_until([&] { return data() == "abc"; }));
  EXPECT_TRUE(vorx_bigbox_pause_ForRead(bb, p.sid));
  ASSERT_EQ(send(p.peer, "def", 3, 0), 3);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(data(), "abc");
  EXPECT_TRUE(vorx_bigbox_start_ForRead(bb, p.sid));
  EXPECT_TRUE(wait_until([&] { return data() == "abcdef"; }));
  EXPECT_FALSE(vorx_bigbox_start_ForRead(bb, 0));
  EXPECT_FALSE(vorx_bigbox_pause_ForRead(bb, -4));
  vor_bigbox_DeleteSock(bb, p.sid);
}

TEST_F(Bigbox, ImportsOnANamedSlaveAndReplacedCallbacks) {
  Pair p;
  vor_box* master = vor_bigbox_GetMasterBox(bb);
  EXPECT_FALSE(vorxx_bigbox_import_ForRead(bb, master, p.sid, on_read, &seen, on_close, &seen));  // no slave
  Pair first;
  ASSERT_TRUE(vor_bigbox_accept_WithPause(bb, first.sid, "1.1.1.1", 1, on_read, &seen, on_close, &seen));
  vor_box* slave = vor_bigbox_GetSlaveBox(bb, first.sid);
  ASSERT_TRUE(vorxx_bigbox_import_ForRead(bb, slave, p.sid, on_read, &seen, on_close, &seen));
  EXPECT_EQ(vor_bigbox_GetSlaveBox(bb, p.sid), slave);
  Seen other;
  EXPECT_TRUE(vorx_bigbox_import_ForRead(bb, p.sid, on_read, &other, on_close, &other));  // replaced
  ASSERT_EQ(send(p.peer, "hi", 2, 0), 2);
  EXPECT_TRUE(wait_until([&] { return other.reads.load() == 1; }));
  EXPECT_EQ(seen.reads.load(), 0);
  EXPECT_FALSE(vorx_bigbox_import_ForWrite(bb, p.sid, nullptr, nullptr));
  vor_bigbox_DeleteSock(bb, p.sid);
  vor_bigbox_DeleteSock(bb, first.sid);
}

TEST_F(Bigbox, DeletingTheListenerClosesItAndExportKeepsItOpen) {
  uint16_t port = listen();
  vor_bigbox_DeleteSock(bb, listen_sid);
  EXPECT_TRUE(wait_until([&] { return vor::test::connect_blocking(port) < 0; }));

  uint16_t port2 = listen();
  EXPECT_TRUE(vorx_bigbox_export_ForListen(bb, listen_sid));
  EXPECT_FALSE(vorx_bigbox_export_ForListen(bb, listen_sid));
  EXPECT_TRUE(vor::sid_current(listen_sid));
  EXPECT_TRUE(vorx_bigbox_import_ForListen(bb, listen_sid, on_accept, &seen));
  EXPECT_FALSE(vorx_bigbox_import_ForListen(bb, listen_sid, nullptr, &seen));
  vor_bigbox_DeleteSock(bb, listen_sid);
  EXPECT_FALSE(vor::sid_current(listen_sid));
  EXPECT_LT(vor::test::connect_blocking(port2), 0);
  EXPECT_EQ(vor_bigbox_attach(bb, "127.0.0.1", vor::test::free_port(), nullptr, nullptr), -1);
}

TEST(BigboxFreed, CallsOnAFreedHandleAnswerFailureValues) {
  vor_Setup();
  vor_bigbox* bb = vor_bigbox_make(1, 10);
  ASSERT_NE(bb, nullptr);
  Pair p;
  ASSERT_TRUE(vor_bigbox_accept(bb, p.sid, "1.1.1.1", 1, on_read, nullptr, on_close, nullptr));
  vor_bigbox_free(bb);
  EXPECT_FALSE(vor::sid_current(p.sid));  // its connections were closed
  EXPECT_TRUE(sees_close(p.peer));
  Pair q;
  EXPECT_FALSE(vor_bigbox_accept(bb, q.sid, "1.1.1.1", 1, on_read, nullptr, on_close, nullptr));
  EXPECT_EQ(vor_bigbox_attach(bb, "127.0.0.1", vor::test::free_port(), on_accept, nullptr), -1);
  EXPECT_EQ(vor_bigbox_GetMasterBox(bb), nullptr);
  EXPECT_EQ(vor_bigbox_nnodes(bb), 0);
  EXPECT_EQ(vor_bigbox_maxnodes(bb), 0);
  EXPECT_EQ(vor_bigbox_write(bb, q.sid, "x", 1), -1);
  EXPECT_EQ(vor_bigbox_InvokeSlaveBox(bb), nullptr);
  vor_bigbox_DeleteSock(bb, q.sid);
  EXPECT_TRUE(vor::sid_current(q.sid));  // nothing touched
  vor_bigbox_free(bb);                   // a second free is harmless
  vor_bigbox_DeleteSock(nullptr, q.sid);
  EXPECT_EQ(vorx_bigbox_write(q.sid, "x", 1), 1);
  vor::sid_close(q.sid);
}

// --- many threads: clients churn while slaves echo; frees under traffic ----------------------

TEST_F(Bigbox, ClientsFromManyThreadsAreServedAndEveryRecordIsDropped) {
  seen.echo = true;
  seen.delete_on_close = true;
  uint16_t port = listen();
  constexpr int kThreads = 6;
  constexpr int kRounds = 30;
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        int fd = vor::test::connect_blocking(port);
        if (fd < 0) continue;
        std::string msg = "client " + std::to_string(t) + " round " + std::to_string(r);
        if (send(fd, msg.data(), msg.size(), 0) == static_cast<ssize_t>(msg.size()) && read_all(fd, msg.size()) == msg)
          good.fetch_add(1);
        close(fd);
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(good.load(), kThreads * kRounds);
  EXPECT_TRUE(wait_until([&] { return vor_bigbox_nnodes(bb) == 0; }));
  EXPECT_EQ(seen.closes.load(), kThreads * kRounds);
}

void free_in_read(vor_bigbox* bb, void* ud, int64_t, const char*, int32_t) {
  vor_bigbox_free(bb);
  static_cast<std::atomic<bool>*>(ud)->store(true);
}

TEST(BigboxFree, FreeFromItsOwnReadCallbackIsSafe) {
  vor_Setup();
  vor_bigbox* bb = vor_bigbox_make(2, 0);
  ASSERT_NE(bb, nullptr);
  std::atomic<bool> freed{false};
  Pair p;
  ASSERT_TRUE(vor_bigbox_accept(bb, p.sid, "1.1.1.1", 1, free_in_read, &freed, on_close, nullptr));
  ASSERT_EQ(send(p.peer, "x", 1, 0), 1);
  ASSERT_TRUE(wait_until([&] { return freed.load(); }));
  EXPECT_EQ(vor_bigbox_maxnodes(bb), 0);
  EXPECT_TRUE(sees_close(p.peer));
}

TEST(BigboxFree, FreeWhileSlavesServeTrafficIsSafe) {
  vor_Setup();
  for (int round = 0; round < 3; ++round) {
    vor_bigbox* bb = vor_bigbox_make(3, 0);
    ASSERT_NE(bb, nullptr);
    Seen seen;
    seen.echo = true;
    std::vector<std::unique_ptr<Pair>> pairs;
    for (int i = 0; i < 12; ++i) {
      pairs.push_back(std::make_unique<Pair>());
      ASSERT_TRUE(vor_bigbox_accept(bb, pairs.back()->sid, "1.1.1.1", 1, on_read, &seen, on_close, &seen));
    }
    std::atomic<bool> stop{false};
    std::thread pump([&] {
      char buf[256];
      while (!stop.load()) {
        for (auto& p : pairs) {
          send(p->peer, "data", 4, MSG_DONTWAIT | MSG_NOSIGNAL);
          while (recv(p->peer, buf, sizeof buf, MSG_DONTWAIT) > 0) {
          }
        }
      }
    });
    ASSERT_TRUE(wait_until([&] { return seen.reads.load() > 50; }));
    vor_bigbox_free(bb);
    stop = true;
    pump.join();
    int reads = seen.reads.load();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(seen.reads.load(), reads);  // the connections are closed: nothing more is read
    for (auto& p : pairs) EXPECT_FALSE(vor::sid_current(p->sid));
  }
}

}  // namespace
