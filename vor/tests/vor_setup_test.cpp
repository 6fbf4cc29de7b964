// The framework set-up: standard descriptors kept, SIGPIPE ignored, descriptor limit raised,
// registries made once.
#include "vor_setup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "vor_bigbox.h"
#include "vor_sem.h"

namespace {

TEST(VorSetup, ClosedStdinIsKeptOnDevNullSoNoFileGetsDescriptorZero) {
  int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);
  EXPECT_TRUE(vor_Setup());
  EXPECT_GE(fcntl(0, F_GETFD), 0);
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_GT(fd, 2);
  close(fd);
  dup2(saved, 0);
  close(saved);
}

TEST(VorSetup, IgnoresSigpipeAndRaisesTheDescriptorLimit) {
  ASSERT_TRUE(vor_Setup());
  struct sigaction sa {};
  sigaction(SIGPIPE, nullptr, &sa);
  EXPECT_EQ(sa.sa_handler, SIG_IGN);
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
}

TEST(VorSetup, TwiceCreatesNothingNewAndTheRegistriesWork) {
  ASSERT_TRUE(vor_Setup());
  int obj = 0;
  ASSERT_TRUE(__vor_sem_insert(&obj));
  ASSERT_TRUE(vor_Setup());
  EXPECT_TRUE(__vor_sem_check(&obj));  // the same live-handle registry
  __vor_sem_remove(&obj);
  vor_bigbox* bb = vor_bigbox_make(1, 1);
  ASSERT_NE(bb, nullptr);
  EXPECT_EQ(vor_bigbox_maxnodes(bb), 1);
  vor_bigbox_free(bb);
}

}  // namespace
