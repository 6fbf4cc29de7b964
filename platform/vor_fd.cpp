#include "vor_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "vor_io.h"
#include "vor_path.h"

namespace vor {

int fd_above_stdio(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

int open_file(const char* path, int flags, mode_t mode) {
  if (!path) {
    errno = EFAULT;
    return -1;
  }
  std::string p = normalise_path(path);
  return fd_above_stdio(io::retry([&] { return open(p.c_str(), flags | O_CLOEXEC, mode); }));
}

FILE* open_stream(const char* path, int flags, const char* stdio_mode, mode_t mode) {
  int fd = open_file(path, flags, mode);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, stdio_mode);
  if (!stream) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return stream;
}

}  // namespace vor
