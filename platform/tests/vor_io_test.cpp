#include "vor_io.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

void on_signal(int) {}

// A handler without SA_RESTART: a blocked call that the signal reaches fails with EINTR.
class InterruptingSignal {
 public:
  InterruptingSignal() {
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGUSR1, &sa, &old_);
  }
  ~InterruptingSignal() { sigaction(SIGUSR1, &old_, nullptr); }

 private:
  struct sigaction old_;
};

TEST(Io, ABlockedReadGoesOnAfterSignalsAndGetsTheData) {
  InterruptingSignal interrupting;
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const pthread_t reader = pthread_self();
  std::thread sender([&] {
    for (int i = 0; i < 20; ++i) {  // bounded: some of these land while the read is blocked
      pthread_kill(reader, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(write(p[1], "x", 1), 1);
  });
  char c = 0;
  EXPECT_EQ(vor::io::read_some(p[0], &c, 1), 1);
  EXPECT_EQ(c, 'x');
  sender.join();
  close(p[0]);
  close(p[1]);
}

TEST(Io, AnEmptyNonBlockingSocketIsReportedOnceAsWouldBlock) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
  char buf[8];
  EXPECT_EQ(vor::io::recv_some(sv[0], buf, sizeof buf), -1);
  EXPECT_TRUE(vor::io::would_block(errno));
  EXPECT_EQ(vor::io::send_some(sv[1], "hello", 5), 5);
  EXPECT_EQ(vor::io::recv_some(sv[0], buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  close(sv[1]);
  EXPECT_EQ(vor::io::recv_some(sv[0], buf, sizeof buf), 0);  // the orderly close
  // A send to a closed peer is EPIPE, never a SIGPIPE that would end the test.
  EXPECT_EQ(vor::io::send_some(sv[0], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(sv[0]);
}

TEST(Io, WriteAllGoesOnAfterShortWritesAndKeepsTheOrder) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::string data(1 << 20, '\0');  // far beyond a pipe's buffer: the writes come out short
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 % 251);
  std::string got;
  std::thread reader([&] {
    char buf[3000];
    ssize_t n;
    while ((n = vor::io::read_some(p[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  });
  EXPECT_TRUE(vor::io::write_all(p[1], data.data(), data.size()));
  close(p[1]);
  reader.join();
  close(p[0]);
  EXPECT_EQ(got, data);
}

TEST(Io, WriteAllReportsFailuresWithErrno) {
  errno = 0;
  EXPECT_FALSE(vor::io::write_all(-1, "x", 1));
  EXPECT_EQ(errno, EBADF);
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  EXPECT_FALSE(vor::io::write_all(full, "x", 1));
  EXPECT_EQ(errno, ENOSPC);
  close(full);
  EXPECT_FALSE(vor::io::write_all(-1, "", 0));  // a bad descriptor fails even with nothing to write
}

}  // namespace
