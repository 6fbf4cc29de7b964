#include "daemon_framework.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
BigboxSettings g_bigbox_settings;
}  // namespace

void daemon_framework_setup() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
  signal(SIGPIPE, SIG_IGN);
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

bool daemon_make_bigbox(int32_t threads, int32_t connections, struct vor_bigbox** out) {
  g_bigbox_settings = {threads, connections};
  *out = nullptr;
  return true;
}

BigboxSettings daemon_bigbox_settings() { return g_bigbox_settings; }
