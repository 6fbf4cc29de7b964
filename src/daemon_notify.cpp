#include "daemon_notify.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "vor_io.h"

// A path, or a name in the abstract namespace when it starts with '@'.
bool daemon_notify(const char* state) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (!state || !path || !*path) return false;
  struct sockaddr_un addr = {};
  const size_t len = strlen(path);
  if (len >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, len);
  if (path[0] == '@') addr.sun_path[0] = '\0';
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t addr_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len + (path[0] == '@' ? 0 : 1));
  const bool sent =
      vor::io::sendto_some(fd, state, strlen(state), 0, reinterpret_cast<sockaddr*>(&addr), addr_len) >= 0;
  close(fd);
  return sent;
}
