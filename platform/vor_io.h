// C++ only: system calls on descriptors with their retry rules, in one place. A call cut short
// by a signal (EINTR) is made again here; every other failure, EAGAIN/EWOULDBLOCK of a
// non-blocking descriptor included, goes back to the caller at once with errno set. Inline
// only: the daemon and the modules use these too, and the library exports nothing for them.
#pragma once
#include "vor_cxx_only.h"

#include <cerrno>
#include <cstddef>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace vor::io {

// Makes call() again while it fails (answers below 0) with EINTR; its last answer.
template <class Call>
auto retry(Call call) -> decltype(call()) {
  decltype(call()) rc;
  do {
    rc = call();
  } while (rc < 0 && errno == EINTR);
  return rc;
}

// True for the errno of a non-blocking descriptor that has nothing to give or take now.
inline bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// One recv; 0 at the peer's orderly close, -1 with errno otherwise.
inline ssize_t recv_some(int fd, void* buf, size_t n, int flags = 0) {
  return retry([&] { return ::recv(fd, buf, n, flags); });
}

inline ssize_t recvfrom_some(int fd, void* buf, size_t n, int flags, sockaddr* from, socklen_t* from_len) {
  // The length is an in-out argument: every try starts from the caller's size.
  const socklen_t size = from_len ? *from_len : 0;
  return retry([&] {
    if (from_len) *from_len = size;
    return ::recvfrom(fd, buf, n, flags, from, from_len);
  });
}

// One send; MSG_NOSIGNAL always, so a closed peer is an EPIPE and never a SIGPIPE.
inline ssize_t send_some(int fd, const void* data, size_t n, int flags = 0) {
  return retry([&] { return ::send(fd, data, n, flags | MSG_NOSIGNAL); });
}

inline ssize_t sendto_some(int fd, const void* data, size_t n, int flags, const sockaddr* to, socklen_t to_len) {
  return retry([&] { return ::sendto(fd, data, n, flags | MSG_NOSIGNAL, to, to_len); });
}

inline ssize_t read_some(int fd, void* buf, size_t n) {
  return retry([&] { return ::read(fd, buf, n); });
}

inline ssize_t pread_some(int fd, void* buf, size_t n, off_t offset) {
  return retry([&] { return ::pread(fd, buf, n, offset); });
}

inline ssize_t write_some(int fd, const void* data, size_t n) {
  return retry([&] { return ::write(fd, data, n); });
}

inline ssize_t pwrite_some(int fd, const void* data, size_t n, off_t offset) {
  return retry([&] { return ::pwrite(fd, data, n, offset); });
}

// Writes all n bytes, going on after short writes. False on failure, with errno set (ENOSPC
// for a write that took nothing). Async-signal-safe: signal handlers may use it.
inline bool write_all(int fd, const void* data, size_t n) {
  if (fd < 0) {
    errno = EBADF;
    return false;
  }
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = write_some(fd, p, n);
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace vor::io
