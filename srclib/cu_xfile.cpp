#include "cu_xfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cu_lib.h"
#include "cu_malloc.h"
#include "cu_pool_failure.h"
#include "cu_sem.h"
#include "cu_xfile_internal.h"
#include "cu_xmem.h"
#include "vor_fd.h"
#include "vor_io.h"

struct cu_xfile {
  int32_t fd;
};

namespace {
constexpr char kEmpty[] = "";
// Returned for a sharing conflict: the file is open elsewhere in a way this open excludes.
constexpr int kSharingViolation = EBUSY;

cu_xmem* g_pool = nullptr;
cu_sem g_pool_lock;
thread_local int32_t t_last_error = 0;

// Kept right after the failing call, before anything else can change errno.
void keep_error(int code) { t_last_error = code; }

bool lock_shared(int fd, bool writer) {
  const int rc = vor::io::retry([&] { return flock(fd, (writer ? LOCK_EX : LOCK_SH) | LOCK_NB); });
  if (rc == 0) return true;
  keep_error(errno == EWOULDBLOCK ? kSharingViolation : errno);
  return false;
}

// Opens without truncating, takes the sharing lock (shared for readers, exclusive for any
// writer), and only then truncates, so a refused open never touches the file's bytes.
cu_xfile* open_xfile(const char* path, int flags, bool truncate) {
  if (!path) {
    keep_error(EFAULT);
    return nullptr;
  }
  int fd = vor::open_file(path, flags);
  if (fd < 0) {
    keep_error(errno);
    return nullptr;
  }
  bool writer = (flags & O_ACCMODE) != O_RDONLY;
  if (!lock_shared(fd, writer)) {
    close(fd);
    return nullptr;
  }
  if (truncate && ftruncate(fd, 0) != 0) {
    keep_error(errno);
    close(fd);
    return nullptr;
  }
  cu_xfile__xmem_init();  // once per process; a cheap check afterwards
  auto* f = static_cast<cu_xfile*>(cu_xmem_malloc(g_pool, sizeof(cu_xfile)));
  if (!f) {
    keep_error(ENOMEM);
    close(fd);
    return nullptr;
  }
  f->fd = fd;
  return f;
}

const char* answer_text(const char* text, char* buf, int32_t size) {
  if (!buf || size <= 0) return kEmpty;
  cu_strncpy(buf, text, size - 1);
  return buf;
}
}  // namespace

void cu_xfile__xmem_init(void) {
  static bool once = [] {
    g_pool = vor::pool::make_unit_pool(
        &g_pool_lock, 8192, 160, 32, true,
        "cu_xfile_xmem -> cu_xfile__xmem_init() -> cu_xmem_init_ext(xfile struct) -> return NULL -> exit!\r\n");
    return true;
  }();
  (void)once;
}

cu_xfile* cu_xfile_open_r(const char* path, uint8_t) { return open_xfile(path, O_RDONLY, false); }
cu_xfile* cu_xfile_open_rw(const char* path, uint8_t) { return open_xfile(path, O_RDWR, false); }
cu_xfile* cu_xfile_open_rwx(const char* path, uint8_t) { return open_xfile(path, O_RDWR | O_CREAT, false); }
cu_xfile* cu_xfile_open_w(const char* path, uint8_t) { return open_xfile(path, O_WRONLY, false); }
cu_xfile* cu_xfile_open_wx(const char* path, uint8_t) { return open_xfile(path, O_WRONLY | O_CREAT, false); }
cu_xfile* cu_xfile_open_t(const char* path, uint8_t) { return open_xfile(path, O_RDWR, true); }
cu_xfile* cu_xfile_open_tx(const char* path, uint8_t) { return open_xfile(path, O_RDWR | O_CREAT, true); }
cu_xfile* cu_xfile_open_a(const char* path, uint8_t) { return open_xfile(path, O_WRONLY | O_APPEND, false); }
cu_xfile* cu_xfile_open_ax(const char* path, uint8_t) { return open_xfile(path, O_WRONLY | O_APPEND | O_CREAT, false); }

void cu_xfile_close(cu_xfile* f) {
  if (!f) return;
  close(f->fd);
  cu_xmem_free(g_pool, f);
}

int32_t cu_xfile_read(cu_xfile* f, void* buf, int32_t count) {
  if (!f || !buf || count < 0) {
    keep_error(EINVAL);
    return -1;
  }
  ssize_t n = vor::io::read_some(f->fd, buf, static_cast<size_t>(count));
  if (n < 0) keep_error(errno);
  return static_cast<int32_t>(n);
}

// A short write followed by an error (ENOSPC, say) is a failure: callers must not take a
// partly written block for a whole one.
int32_t cu_xfile_write(cu_xfile* f, const void* data, int32_t count) {
  if (!f || !data || count < 0) {
    keep_error(EINVAL);
    return -1;
  }
  if (!vor::io::write_all(f->fd, data, static_cast<size_t>(count))) {
    keep_error(errno);
    return -1;
  }
  return count;
}

int32_t cu_xfile_flush(cu_xfile* f) {
  if (!f) return 0;
  if (fsync(f->fd) == 0) return 1;
  keep_error(errno);
  return 0;
}

int32_t cu_xfile_read_at(cu_xfile* f, void* buf, int32_t count, int64_t offset) {
  if (!f || !buf || count < 0 || offset < 0) {
    keep_error(EINVAL);
    return -1;
  }
  auto* p = static_cast<uint8_t*>(buf);
  int32_t done = 0;
  while (done < count) {
    ssize_t n = vor::io::pread_some(f->fd, p + done, static_cast<size_t>(count - done), offset + done);
    if (n < 0) {
      keep_error(errno);
      return -1;
    }
    if (n == 0) break;  // the end of the file
    done += static_cast<int32_t>(n);
  }
  return done;
}

// As cu_xfile_write: a short write followed by an error is a failure.
int32_t cu_xfile_write_at(cu_xfile* f, const void* data, int32_t count, int64_t offset) {
  if (!f || !data || count < 0 || offset < 0) {
    keep_error(EINVAL);
    return -1;
  }
  const auto* p = static_cast<const uint8_t*>(data);
  int32_t done = 0;
  while (done < count) {
    ssize_t n = vor::io::pwrite_some(f->fd, p + done, static_cast<size_t>(count - done), offset + done);
    if (n <= 0) {
      keep_error(n < 0 ? errno : ENOSPC);
      return -1;
    }
    done += static_cast<int32_t>(n);
  }
  return count;
}

bool cu_xfile_flush_data(cu_xfile* f) {
  if (!f) {
    keep_error(EINVAL);
    return false;
  }
  if (fdatasync(f->fd) == 0) return true;
  keep_error(errno);
  return false;
}

bool cu_xfile_truncate(cu_xfile* f, int64_t size) {
  if (!f || size < 0) {
    keep_error(EINVAL);
    return false;
  }
  if (lseek(f->fd, size, SEEK_SET) != size || ftruncate(f->fd, size) != 0) {
    keep_error(errno);
    return false;
  }
  return true;
}

int64_t cu_xfile_GetPos(cu_xfile* f) {
  if (!f) return -1;
  off_t pos = lseek(f->fd, 0, SEEK_CUR);
  if (pos < 0) keep_error(errno);
  return pos;
}

int64_t cu_xfile_SetPos(cu_xfile* f, int64_t pos) {
  if (!f || pos < 0) {
    keep_error(EINVAL);
    return -1;
  }
  off_t at = lseek(f->fd, pos, SEEK_SET);
  if (at < 0) keep_error(errno);
  return at;
}

int32_t cu_xfile_GetFd(cu_xfile* f) { return f ? f->fd : -1; }

int64_t cu_xfile_GetFileSize(cu_xfile* f) {
  struct stat st;
  if (!f) return -1;
  if (fstat(f->fd, &st) != 0) {
    keep_error(errno);
    return -1;
  }
  return st.st_size;
}

int32_t cu_xfile_GetLastError(void) { return t_last_error; }
bool cu_xfile_IsErrorForDiskFull(int32_t code) { return code == ENOSPC || code == EDQUOT; }
bool cu_xfile_IsErrorForNoSuchFile(int32_t code) { return code == ENOENT || code == ENOTDIR; }

const char* cu_xfile_GetErrorString(int32_t code, char* buf, int32_t size) {
  if (code == 0) return answer_text(kEmpty, buf, size);
  char text[256];
  return answer_text(strerror_r(code, text, sizeof text), buf, size);
}

const char* cu_xfile_GetLastErrorString(char* buf, int32_t size) {
  return cu_xfile_GetErrorString(t_last_error, buf, size);
}
