#include "vor_setup.h"

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "cu_console.h"
#include "cu_malloc.h"
#include "cu_pattern.h"
#include "cu_sock.h"
#include "cu_sock_internal.h"
#include "cu_xfile.h"
#include "vor_bigbox_internal.h"
#include "vor_box_internal.h"
#include "vor_sem.h"

namespace {

// A closed standard descriptor would be handed to the next file or socket, which a stray
// write to stdout or stderr would then corrupt; and the library takes descriptor 0 as failure.
void keep_stdio_open() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int null_fd = open("/dev/null", O_RDWR);  // the lowest free number: fd itself
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

// Every connection is a descriptor: allow as many as the system lets this process have.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

bool vor_Setup(void) {
  keep_stdio_open();
  signal(SIGPIPE, SIG_IGN);  // a peer gone mid-write is an error result, never a signal
  raise_descriptor_limit();
  cu_sock_startup();
  cu_console_Setup(nullptr);
  cu_system__xmem_init();
  cu_client__xmem_init();
  cu_xfile__xmem_init();
  cu_pattern__xmem_init();
  vor_box__xmem_init();
  vor_sem_Setup();
  vor_bigbox__xmem_init();
  return true;
}

void vor_Shutdown(void) {
  vor_sem_Shutdown();
  cu_sock_cleanup();
  cu_console_Shutdown();
}
