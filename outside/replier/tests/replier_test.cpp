#include "replier.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cu_sock.h"
#include "replier_internal.h"
#include "replier_test_util.h"
#include "vor_net_test_util.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

using replier_test::Bigbox;
using replier_test::Events;
using replier_test::open_upstream;
using replier_test::Origin;
using vor::test::wait_until;

std::string random_bytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// A listener whose accept queue is full and never drained: SYNs to it are dropped.
struct FullBacklog {
  int fd = -1;
  uint16_t port = 0;
  std::vector<int> fillers;
  FullBacklog() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = vor::test::loopback(0);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    for (int i = 0; i < 3; ++i) {
      int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in to = vor::test::loopback(port);
      connect(c, reinterpret_cast<sockaddr*>(&to), sizeof to);
      fillers.push_back(c);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the handshakes that can finish finish
  }
  ~FullBacklog() {
    for (int c : fillers) close(c);
    close(fd);
  }
};

class ReplierTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(box_.ready()); }
  void TearDown() override { EXPECT_TRUE(wait_until([] { return replier_internal::connections() == 0; })); }

  Events* events() { return &events_.emplace_back(); }

  // Close on the slave that owns the connection, as the pipe does: only there does the close
  // stop every callback; nothing of this connection may be called afterwards.
  void close_on_slave(Events* ev, int64_t id, bool wait_for_drain = false, size_t slave = 0) {
    box_.on_slave([&] {
      ev->end();
      if (wait_for_drain) {
        replier_WaitingForClose(id);
      } else {
        replier_close(id);
      }
    }, slave);
  }

  std::deque<Events> events_;  // outlives the bigbox's last callbacks
  Bigbox box_{2};
};

enum class Outcome { kStep1Fails, kConnected, kFailed };
struct ConnectCase {
  const char* what;
  const char* local_ip;
  int target;  // 0 echo origin, 1 closed port, 2 full backlog
  Outcome outcome;
};
const ConnectCase kConnects[] = {
    {"echo origin", nullptr, 0, Outcome::kConnected},
    {"bound to 127.0.0.2", "127.0.0.2", 0, Outcome::kConnected},
    {"closed port", nullptr, 1, Outcome::kFailed},
    {"full backlog: the connect times out", nullptr, 2, Outcome::kFailed},
    {"local address not on this machine", "192.0.2.77", 0, Outcome::kStep1Fails},
    {"local address that is no address", "nowhere", 0, Outcome::kStep1Fails},
};

TEST_F(ReplierTest, ConnectOutcomes) {
  Origin echo("echo");
  ASSERT_NE(echo.port(), 0);
  FullBacklog full;
  uint16_t closed_port = vor::test::free_port();
  for (const auto& c : kConnects) {
    SCOPED_TRACE(c.what);
    Events* ev = events();
    uint16_t port = c.target == 0 ? echo.port() : c.target == 1 ? closed_port : full.port;
    auto start = std::chrono::steady_clock::now();
    int64_t id = open_upstream(box_, ev, port, c.local_ip);
    if (c.outcome == Outcome::kStep1Fails) {
      EXPECT_EQ(id, 0);
      continue;
    }
    ASSERT_GT(id, 0);
    ASSERT_TRUE(wait_until([&] { return ev->read(&Events::connected) + ev->read(&Events::failed) > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a second outcome would show by now
    EXPECT_EQ(ev->read(&Events::connected), c.outcome == Outcome::kConnected ? 1 : 0);
    EXPECT_EQ(ev->read(&Events::failed), c.outcome == Outcome::kFailed ? 1 : 0);
    EXPECT_EQ(ev->read(&Events::off_slave), 0);
    if (c.target == 2) {
      EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
    }
    if (c.outcome == Outcome::kConnected) {
      EXPECT_EQ(ev->read(&Events::id), id);
      EXPECT_EQ(ev->read(&Events::connect_args), 0);
      char local[20];
      uint16_t local_port = 0;
      ASSERT_TRUE(cu_sock_GetLocalIPFromFd(id, local, &local_port));
      EXPECT_STREQ(local, c.local_ip ? c.local_ip : "127.0.0.1");
    }
    close_on_slave(ev, id, c.outcome == Outcome::kFailed);
    EXPECT_EQ(ev->read(&Events::after_end), 0);
  }
}

TEST_F(ReplierTest, Step2OffASlaveConsumesTheHandle) {
  Origin echo("echo");
  int before = replier_test::open_fds();
  cu_client* handle = nullptr;
  ASSERT_GT(replier_make_STEP1_ext(nullptr, 0, "127.0.0.1", echo.port(), &handle), 0);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(replier_make_STEP2(box_.get(), handle, replier_test::ev_connected, nullptr, replier_test::ev_failed,
                               nullptr, replier_test::ev_data, nullptr, replier_test::ev_closed, nullptr),
            0);
  EXPECT_EQ(replier_test::open_fds(), before);
  EXPECT_EQ(replier_make_STEP1_ext(nullptr, 0, "127.0.0.1", echo.port(), nullptr), 0);
  EXPECT_EQ(replier_write(12345, "x", 1), -1);
  EXPECT_EQ(replier_GetWritableLen(12345), -1);
  replier_close(12345);           // harmless
  replier_WaitingForClose(12345);
}

TEST_F(ReplierTest, UpstreamThatClosesReportsClosedOnceAfterConnected) {
  Origin closer("close");
  Events* ev = events();
  int64_t id = open_upstream(box_, ev, closer.port());
  ASSERT_GT(id, 0);
  ASSERT_TRUE(wait_until([&] { return ev->read(&Events::closed) == 1; }));
  EXPECT_EQ(ev->read(&Events::connected), 1);
  EXPECT_EQ(ev->read(&Events::after_end), 0);
  close_on_slave(ev, id, true);
}

TEST_F(ReplierTest, BytesWrittenBeforeTheConnectAndMovedFromAFailedOneArriveInOrder) {
  Origin echo("echo");
  uint16_t closed_port = vor::test::free_port();
  Events* live = events();
  Events* dead = events();
  int64_t to = open_upstream(box_, live, echo.port(), nullptr, 0, "first;");
  int64_t from = open_upstream(box_, dead, closed_port, nullptr, 0, "moved;");
  ASSERT_GT(to, 0);
  ASSERT_GT(from, 0);
  ASSERT_TRUE(wait_until([&] { return dead->read(&Events::failed) == 1; }));
  box_.on_slave([&] {
    replier_write(from, "also-moved;", 11);
    EXPECT_TRUE(replier_JitterMove(to, from));
    replier_WaitingForClose(from);  // not connected: closed at once
    replier_write(to, "last", 4);
  });
  ASSERT_TRUE(wait_until([&] { return live->read(&Events::data).size() >= 25; }));
  EXPECT_EQ(live->read(&Events::data), "first;moved;also-moved;last");
  close_on_slave(live, to);
}

TEST_F(ReplierTest, TenMegabytesReachASlowReaderBeforeTheClose) {
  Origin sink("sink");
  Events* ev = events();
  std::mt19937 rng(7);
  std::string payload = random_bytes(rng, 10 * 1024 * 1024);
  int64_t id = open_upstream(box_, ev, sink.port());
  ASSERT_GT(id, 0);
  ASSERT_TRUE(wait_until([&] { return ev->read(&Events::connected) == 1; }));
  box_.on_slave([&] {
    EXPECT_EQ(replier_write(id, payload.data(), static_cast<int32_t>(payload.size())),
              static_cast<int32_t>(payload.size()));
    EXPECT_GT(replier_GetWritableLen(id), 0);  // the reader is slow
    EXPECT_GT(replier_GetCacheSize(), 0);
    ev->end();
    replier_WaitingForClose(id);
  });
  std::string line;
  ASSERT_TRUE(sink.read_line(&line));
  std::string expected_sum;
  {
    // The sink prints "<bytes> <sha256>"; compare with python's digest of the same bytes.
    vor::test::TempDir dir;
    std::string path = dir.file("payload");
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(payload.data(), 1, payload.size(), f);
    fclose(f);
    std::string cmd = "python3 -c 'import hashlib,sys; print(hashlib.sha256(open(sys.argv[1],\"rb\").read()).hexdigest())' " + path;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char sum[80] = "";
    ASSERT_NE(fgets(sum, sizeof sum, p), nullptr);
    pclose(p);
    expected_sum = std::string(sum, 64);
  }
  EXPECT_EQ(line, std::to_string(payload.size()) + " " + expected_sum);
  EXPECT_EQ(ev->read(&Events::after_end), 0);
}

TEST_F(ReplierTest, WaitingForCloseGivesUpOnAReaderThatNeverReads) {
  Origin stall("stall");
  Events* ev = events();
  std::string payload(8 * 1024 * 1024, 'x');  // more than the socket buffers take
  int64_t id = open_upstream(box_, ev, stall.port());
  ASSERT_GT(id, 0);
  ASSERT_TRUE(wait_until([&] { return ev->read(&Events::connected) == 1; }));
  auto start = std::chrono::steady_clock::now();
  box_.on_slave([&] {
    replier_write(id, payload.data(), static_cast<int32_t>(payload.size()));
    ev->end();
    replier_WaitingForClose(id);
  });
  EXPECT_EQ(replier_internal::connections(), 1u);  // still sending
  ASSERT_TRUE(wait_until([] { return replier_internal::connections() == 0; }, std::chrono::seconds(90)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(29));
  EXPECT_EQ(ev->read(&Events::after_end), 0);
}

TEST_F(ReplierTest, NoticeRunsAfterEachDrainUntilRemoved) {
  Origin sink("sink");
  Events* ev = events();
  std::mt19937 rng(11);
  std::string chunk = random_bytes(rng, 4 * 1024 * 1024);
  int64_t id = open_upstream(box_, ev, sink.port());
  ASSERT_GT(id, 0);
  ASSERT_TRUE(wait_until([&] { return ev->read(&Events::connected) == 1; }));
  auto write_chunk = [&] {
    box_.on_slave([&] { replier_write(id, chunk.data(), static_cast<int32_t>(chunk.size())); });
  };
  write_chunk();
  box_.on_slave([&] { EXPECT_TRUE(replier_AddWritableNotice(id, replier_test::ev_notice, ev)); });
  ASSERT_TRUE(wait_until([&] { return ev->read(&Events::notices) == 1; }));
  write_chunk();
  ASSERT_TRUE(wait_until([&] { return ev->read(&Events::notices) == 2; }));
  box_.on_slave([&] { EXPECT_TRUE(replier_DelWritableNotice(id)); });
  write_chunk();
  ASSERT_TRUE(wait_until([&] { return replier_GetWritableLen(id) == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ev->read(&Events::notices), 2);
  EXPECT_EQ(ev->read(&Events::notice_with_bytes), 0);
  close_on_slave(ev, id, true);
}

TEST_F(ReplierTest, IdleReusedConnectionDoesNotWakeItsSlave) {
  Origin echo("echo");
  Events* ev = events();
  int64_t id = open_upstream(box_, ev, echo.port());
  ASSERT_GT(id, 0);
  ASSERT_TRUE(wait_until([&] { return ev->read(&Events::connected) == 1; }));
  box_.on_slave([&] {
    replier_ImportSock_ForRead(id);
    replier_ImportSock_ForWrite(id);  // as the pipe does when it reuses a connection
  });
  uint64_t before = replier_internal::writable_events();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(replier_internal::writable_events(), before);  // level-triggered write interest would spin
  // A notice on an empty queue still runs once, from the loop.
  box_.on_slave([&] { EXPECT_TRUE(replier_AddWritableNotice(id, replier_test::ev_notice, ev)); });
  ASSERT_TRUE(wait_until([&] { return ev->read(&Events::notices) == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ev->read(&Events::notices), 1);
  close_on_slave(ev, id);
}

TEST_F(ReplierTest, PauseHoldsAcrossTheConnect) {
  Origin echo("echo");
  Events* ev = events();
  int64_t id = 0;
  box_.on_slave([&] {
    ev->bb = box_.get();
    cu_client* handle = nullptr;
    ASSERT_GT(replier_make_STEP1_ext(nullptr, 0, "127.0.0.1", echo.port(), &handle), 0);
    id = replier_make_STEP2(box_.get(), handle, replier_test::ev_connected, ev, replier_test::ev_failed, ev,
                            replier_test::ev_data, ev, replier_test::ev_closed, ev);
    replier_ExportSock_ForRead(id);
    std::lock_guard<std::mutex> g(ev->mu);
    ev->paused = true;
    replier_write(id, "ping", 4);
  });
  ASSERT_TRUE(wait_until([&] { return ev->read(&Events::connected) == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the echo is back by now, unread
  EXPECT_EQ(ev->read(&Events::data), "");
  box_.on_slave([&] {
    {
      std::lock_guard<std::mutex> g(ev->mu);
      ev->paused = false;
    }
    replier_ImportSock_ForRead(id);
  });
  ASSERT_TRUE(wait_until([&] { return ev->read(&Events::data) == "ping"; }));
  EXPECT_EQ(ev->read(&Events::data_while_paused), 0);
  close_on_slave(ev, id);
}

// Random writes, pauses, notices, moves and closes on a few connections to an echo origin,
// against a model of what each must echo back: bytes whole and in order, one outcome each,
// nothing while paused, nothing after a close.
class ReplierModelTest : public ReplierTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(ReplierModelTest, WritesPausesNoticesMovesAndCloses) {
  Origin echo("echo");
  uint16_t closed_port = vor::test::free_port();
  const unsigned seed = GetParam();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  struct Conn {
    Events* ev;
    int64_t id;
    std::string expected;
    size_t slave;
  };
  std::vector<Conn> conns;
  auto open_conn = [&] {
    size_t slave = rng() % box_.slaves();
    Events* ev = events();
    int64_t id = open_upstream(box_, ev, echo.port(), nullptr, slave);
    EXPECT_GT(id, 0);
    conns.push_back({ev, id, "", slave});
  };
  for (int i = 0; i < 4; ++i) open_conn();

  for (int step = 0; step < 300; ++step) {
    Conn& c = conns[rng() % conns.size()];
    int op = static_cast<int>(rng() % 10);
    if (op <= 4) {  // write, connected or not
      std::string bytes = random_bytes(rng, 1 + rng() % 40000);
      c.expected += bytes;
      box_.on_slave([&] { EXPECT_EQ(replier_write(c.id, bytes.data(), static_cast<int32_t>(bytes.size())),
                                    static_cast<int32_t>(bytes.size())); }, c.slave);
    } else if (op == 5) {  // pause or resume reading
      box_.on_slave([&] {
        std::lock_guard<std::mutex> g(c.ev->mu);
        c.ev->paused = !c.ev->paused;
        if (c.ev->paused) {
          replier_ExportSock_ForRead(c.id);
        } else {
          replier_ImportSock_ForRead(c.id);
        }
      }, c.slave);
    } else if (op == 6) {  // notice on or off
      box_.on_slave([&] {
        if (rng() % 2) {
          replier_AddWritableNotice(c.id, replier_test::ev_notice, c.ev);
        } else {
          replier_DelWritableNotice(c.id);
        }
      }, c.slave);
    } else if (op == 7) {  // bytes stranded on a failed connection move behind this one's
      Events* dead = events();
      std::string bytes = random_bytes(rng, 1 + rng() % 5000);
      int64_t from = open_upstream(box_, dead, closed_port, nullptr, c.slave, bytes);
      ASSERT_GT(from, 0);
      ASSERT_TRUE(wait_until([&] { return dead->read(&Events::failed) == 1; }));
      c.expected += bytes;
      box_.on_slave([&] {
        EXPECT_TRUE(replier_JitterMove(c.id, from));
        replier_WaitingForClose(from);
      }, c.slave);
      EXPECT_EQ(dead->read(&Events::after_end), 0);
    } else if (op == 8 && step % 3 == 0) {  // close and replace
      close_on_slave(c.ev, c.id, rng() % 2, c.slave);
      c = conns.back();
      conns.pop_back();
      open_conn();
    } else {  // a flush and a look at the queue
      box_.on_slave([&] {
        EXPECT_EQ(replier_write(c.id, nullptr, 0), 0);
        EXPECT_GE(replier_GetWritableLen(c.id), 0);
      }, c.slave);
    }
  }
  for (Conn& c : conns) {
    box_.on_slave([&] {
      std::lock_guard<std::mutex> g(c.ev->mu);
      c.ev->paused = false;
      replier_ImportSock_ForRead(c.id);
    }, c.slave);
  }
  for (Conn& c : conns) {
    ASSERT_TRUE(wait_until([&] { return c.ev->read(&Events::data).size() >= c.expected.size(); }));
    EXPECT_TRUE(c.ev->read(&Events::data) == c.expected) << "connection " << c.id;
    close_on_slave(c.ev, c.id, false, c.slave);
  }
  for (Events& ev : events_) {
    std::lock_guard<std::mutex> g(ev.mu);
    EXPECT_LE(ev.connected + ev.failed, 1);
    EXPECT_EQ(ev.after_end, 0);
    EXPECT_EQ(ev.data_while_paused, 0);
    EXPECT_EQ(ev.notice_with_bytes, 0);
    EXPECT_EQ(ev.off_slave, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReplierModelTest, ::testing::Values(20261210u, 1u, 77u));

TEST_F(ReplierTest, DescriptorsReturnToTheBaselineAfterManyCycles) {
  Origin echo("echo");
  uint16_t closed_port = vor::test::free_port();
  int before = replier_test::open_fds();
  constexpr int kCycles = 10000;
  constexpr int kBatch = 100;
  std::deque<Events> local;
  for (int done = 0; done < kCycles; done += kBatch) {
    std::vector<std::pair<Events*, int64_t>> batch;
    for (int i = 0; i < kBatch; ++i) {
      Events* ev = &local.emplace_back();
      uint16_t port = i % 10 == 0 ? closed_port : echo.port();
      batch.emplace_back(ev, open_upstream(box_, ev, port, nullptr, static_cast<size_t>(i) % box_.slaves(), "x"));
      ASSERT_GT(batch.back().second, 0);
    }
    for (int i = 0; i < kBatch; ++i) {
      auto [ev, id] = batch[static_cast<size_t>(i)];
      size_t slave = static_cast<size_t>(i) % box_.slaves();
      if (i % 3 == 0) {  // closed while it may still connect
        box_.on_slave([&] { ev->end(); replier_close(id); }, slave);
        continue;
      }
      ASSERT_TRUE(wait_until([&] { return ev->read(&Events::connected) + ev->read(&Events::failed) > 0; }));
      box_.on_slave([&] { ev->end(); if (i % 2) replier_WaitingForClose(id); else replier_close(id); }, slave);
    }
    local.clear();
    ASSERT_TRUE(wait_until([] { return replier_internal::connections() == 0; }));
  }
  EXPECT_TRUE(wait_until([&] { return replier_test::open_fds() <= before; })) << replier_test::open_fds() << " > " << before;
}

}  // namespace
