#include "cu_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cu_file_internal.h"
#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "vor_fd.h"
#include "vor_io.h"
#include "vor_kit.h"
#include "vor_path.h"

struct cu_file1 {
  FILE* stream;
};

struct cu_file2 {
  int32_t fd;
};

namespace {
constexpr char kUnit[] = "srclib\\cu_file";
constexpr char kEmpty[] = "";

// Opens with open(2) so that O_CLOEXEC, the descriptor rule and create-without-truncate all
// hold, then wraps the descriptor into a stream of the given stdio mode.
cu_file1* open_stream(const char* path, int flags, const char* mode) {
  if (!path) return nullptr;
  FILE* stream = vor::open_stream(path, flags, mode);
  if (!stream) return nullptr;
  auto* f = static_cast<cu_file1*>(_cu_malloc(sizeof(cu_file1), kUnit, __LINE__));
  if (!f) {
    fclose(stream);
    return nullptr;
  }
  f->stream = stream;
  return f;
}

cu_file2* open_fd(const char* path, int flags) {
  if (!path) return nullptr;
  int fd = vor::open_file(path, flags);
  if (fd <= 0) return nullptr;
  auto* f = static_cast<cu_file2*>(_cu_malloc(sizeof(cu_file2), kUnit, __LINE__));
  if (!f) {
    close(fd);
    return nullptr;
  }
  f->fd = fd;
  return f;
}

bool stat_path(const char* path, struct stat* st) {
  if (!path) return false;
  return stat(vor::normalise_path(path).c_str(), st) == 0;
}

// Sets one of the two times and keeps the other (UTIME_OMIT).
bool set_time(const char* path, int64_t t, bool access) {
  if (!path) return false;
  struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
  times[access ? 0 : 1] = {static_cast<time_t>(t), 0};
  return utimensat(AT_FDCWD, vor::normalise_path(path).c_str(), times, 0) == 0;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Fallback where the file system has no RENAME_NOREPLACE. A file is linked, then unlinked
// (link fails atomically on an existing target). A folder, or a file system without hard
// links, gets check-then-rename: a target made between the check and the rename is replaced
// (an empty folder) or makes the rename fail; callers own the folders they rename.
bool rename_no_replace_fallback(const std::string& from, const std::string& to) {
  struct stat st;
  if (lstat(from.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    if (link(from.c_str(), to.c_str()) == 0) {
      unlink(from.c_str());  // the file lies at the new path even if the old name stays
      return true;
    }
    if (errno != EPERM && errno != EOPNOTSUPP) return false;
  }
  if (path_exists(to)) return false;
  return rename(from.c_str(), to.c_str()) == 0;
}

// The errno of a failed step; EIO when the step left none (a write of no bytes).
int failure() { return errno != 0 ? errno : EIO; }

void sync_folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = vor::open_file(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// "dir/name" becomes "dir/.name.XXXXXX": a hidden name, so a folder scanned by other programs
// (unit folders, say) never shows the half-written file.
std::string temporary_beside(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, name) + "." + path.substr(name) + ".XXXXXX";
}

int lock_descriptor(const char* path) {
  int fd = vor::open_file(path, O_RDWR | O_CREAT);
  if (fd < 0) return -1;
  const int rc = vor::io::retry([&] { return flock(fd, LOCK_EX | LOCK_NB); });
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

cu_file1* cu_file1_open_r(const char* path) { return open_stream(path, O_RDONLY, "rb"); }
cu_file1* cu_file1_open_w(const char* path) { return open_stream(path, O_RDWR, "r+b"); }
cu_file1* cu_file1_open_rw(const char* path) { return open_stream(path, O_RDWR, "r+b"); }
cu_file1* cu_file1_open_wx(const char* path) { return open_stream(path, O_RDWR | O_CREAT, "r+b"); }
cu_file1* cu_file1_open_rwx(const char* path) { return open_stream(path, O_RDWR | O_CREAT, "r+b"); }
cu_file1* cu_file1_open_t(const char* path) { return open_stream(path, O_RDWR | O_TRUNC, "w+b"); }
cu_file1* cu_file1_open_tx(const char* path) { return open_stream(path, O_RDWR | O_CREAT | O_TRUNC, "w+b"); }
cu_file1* cu_file1_open_a(const char* path) { return open_stream(path, O_RDWR | O_APPEND, "a+b"); }
cu_file1* cu_file1_open_ax(const char* path) { return open_stream(path, O_RDWR | O_APPEND | O_CREAT, "a+b"); }

bool cu_file1_SetPos(cu_file1* f, int32_t pos) {
  if (!f || pos < 0) return false;
  return fseeko(f->stream, pos, SEEK_SET) == 0;
}

int32_t cu_file1_GetPos(cu_file1* f) {
  if (!f) return 0;
  off_t pos = ftello(f->stream);
  return (pos < 0 || pos > INT32_MAX) ? -1 : static_cast<int32_t>(pos);
}

int32_t cu_file1_read(cu_file1* f, void* buf, int32_t count) {
  if (!f || !buf || count <= 0) return 0;
  return static_cast<int32_t>(fread(buf, 1, static_cast<size_t>(count), f->stream));
}

int32_t cu_file1_write(cu_file1* f, const void* data, int32_t count) {
  if (!f || !data || count <= 0) return 0;
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < static_cast<size_t>(count)) {
    errno = 0;
    size_t n = fwrite(p + done, 1, static_cast<size_t>(count) - done, f->stream);
    done += n;
    if (n == 0) {
      if (errno != EINTR) break;
      clearerr(f->stream);
    }
  }
  return static_cast<int32_t>(done);
}

bool cu_file1_eof(cu_file1* f) { return !f || feof(f->stream) != 0; }

void cu_file1_flush(cu_file1* f) {
  if (f) fflush(f->stream);
}

int32_t cu_file1_GetFd(cu_file1* f) { return f ? fileno(f->stream) : -1; }

void cu_file1_close(cu_file1* f) {
  if (!f) return;
  fclose(f->stream);
  _cu_free(f, kUnit, __LINE__);
}

cu_file2* cu_file2_open_r(const char* path) { return open_fd(path, O_RDONLY); }
cu_file2* cu_file2_open_w(const char* path) { return open_fd(path, O_WRONLY); }
cu_file2* cu_file2_open_wx(const char* path) { return open_fd(path, O_WRONLY | O_CREAT); }
cu_file2* cu_file2_open_rw(const char* path) { return open_fd(path, O_RDWR); }
cu_file2* cu_file2_open_rwx(const char* path) { return open_fd(path, O_RDWR | O_CREAT); }
cu_file2* cu_file2_open_t(const char* path) { return open_fd(path, O_RDWR | O_TRUNC); }
cu_file2* cu_file2_open_tx(const char* path) { return open_fd(path, O_RDWR | O_TRUNC | O_CREAT); }
cu_file2* cu_file2_open_a(const char* path) { return open_fd(path, O_RDWR | O_APPEND); }
cu_file2* cu_file2_open_ax(const char* path) { return open_fd(path, O_RDWR | O_APPEND | O_CREAT); }

bool cu_file2_SetPos(cu_file2* f, int32_t pos) {
  if (!f || pos < 0) return false;
  return lseek(f->fd, pos, SEEK_SET) == pos;
}

int32_t cu_file2_GetPos(cu_file2* f) {
  if (!f) return 0;
  off_t pos = lseek(f->fd, 0, SEEK_CUR);
  return (pos < 0 || pos > INT32_MAX) ? -1 : static_cast<int32_t>(pos);
}

int32_t cu_file2_read(cu_file2* f, void* buf, int32_t count) {
  if (!f) return 0;
  if (!buf || count < 0) return -1;
  auto* p = static_cast<uint8_t*>(buf);
  int32_t done = 0;
  while (done < count) {
    ssize_t n = vor::io::read_some(f->fd, p + done, static_cast<size_t>(count - done));
    if (n < 0) return done > 0 ? done : -1;
    if (n == 0) break;
    done += static_cast<int32_t>(n);
  }
  return done;
}

int32_t cu_file2_write(cu_file2* f, const void* data, int32_t count) {
  if (!f) return 0;
  if (!data || count < 0) return -1;
  return vor::io::write_all(f->fd, data, static_cast<size_t>(count)) ? count : -1;
}

bool cu_file2_eof(cu_file2* f) {
  if (!f) return true;
  off_t pos = lseek(f->fd, 0, SEEK_CUR);
  struct stat st;
  if (pos < 0 || fstat(f->fd, &st) != 0) return true;
  return pos >= st.st_size;
}

void cu_file2_flush(cu_file2* f) {
  if (f) fsync(f->fd);
}

int32_t cu_file2_GetFd(cu_file2* f) { return f ? f->fd : -1; }

void cu_file2_close(cu_file2* f) {
  if (!f) return;
  fsync(f->fd);
  close(f->fd);
  _cu_free(f, kUnit, __LINE__);
}

bool cu_file1_IsExist(const char* path) {
  struct stat st;
  return stat_path(path, &st);
}

int64_t cu_file1_GetLength(const char* path) {
  struct stat st;
  return stat_path(path, &st) ? static_cast<int64_t>(st.st_size) : 0;
}

int64_t cu_file1_GetAccessTime(const char* path) {
  struct stat st;
  return stat_path(path, &st) ? static_cast<int64_t>(st.st_atim.tv_sec) : 0;
}

int64_t cu_file1_GetModifyTime(const char* path) {
  struct stat st;
  return stat_path(path, &st) ? static_cast<int64_t>(st.st_mtim.tv_sec) : 0;
}

int64_t cu_file1_GetCreateTime(const char* path) {
  if (!path) return 0;
  struct statx sx;
  if (statx(AT_FDCWD, vor::normalise_path(path).c_str(), 0, STATX_BTIME | STATX_CTIME, &sx) != 0) return 0;
  return (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_ctime.tv_sec;
}

bool cu_file1_SetAccessTime(const char* path, int64_t t) { return set_time(path, t, true); }
bool cu_file1_SetModifyTime(const char* path, int64_t t) { return set_time(path, t, false); }
bool cu_file1_SetCreateTime(const char*, int64_t) { return false; }

bool cu_file1_remove(const char* path) {
  return path && unlink(vor::normalise_path(path).c_str()) == 0;
}

bool cu_file1_rename(const char* old_path, const char* new_path) {
  if (!old_path || !new_path) return false;
  std::string from = vor::normalise_path(old_path);
  std::string to = vor::normalise_path(new_path);
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  return rename_no_replace_fallback(from, to);
}

bool cu_dir1_rename(const char* old_path, const char* new_path) { return cu_file1_rename(old_path, new_path); }

bool cu_file1_truncate(int32_t fd, int64_t size) {
  if (fd < 0 || size < 0) return false;
  if (lseek(fd, size, SEEK_SET) != size) return false;
  return vor::io::retry([&] { return ftruncate(fd, size); }) == 0;
}

bool cu_file1_truncatex(const char* path, int64_t size) {
  int fd = vor::open_file(path, O_RDWR);
  if (fd < 0) return false;
  bool ok = cu_file1_truncate(fd, size);
  close(fd);
  return ok;
}

bool cu_dir1_make(const char* path) { return path && mkdir(vor::normalise_path(path).c_str(), 0777) == 0; }
bool cu_dir1_remove(const char* path) { return path && rmdir(vor::normalise_path(path).c_str()) == 0; }

cu_file_mapped* cu_file_mapped_make(const char* path, uint8_t writable) {
  if (!path) return nullptr;
  bool rw = writable == 1;
  int fd = vor::open_file(path, rw ? O_RDWR : O_RDONLY);
  if (fd <= 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) > SIZE_MAX) {
    close(fd);
    return nullptr;
  }
  auto* m = static_cast<cu_file_mapped*>(_cu_malloc(sizeof(cu_file_mapped), kUnit, __LINE__));
  if (!m) {
    close(fd);
    return nullptr;
  }
  m->length = st.st_size;
  m->content = const_cast<char*>(kEmpty);
  m->mapping = nullptr;
  if (m->length > 0) {
    void* view = mmap(nullptr, static_cast<size_t>(m->length), rw ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                      fd, 0);
    if (view == MAP_FAILED) {
      close(fd);
      _cu_free(m, kUnit, __LINE__);
      return nullptr;
    }
    m->content = static_cast<char*>(view);
    m->mapping = view;
  }
  close(fd);  // the view keeps the contents reachable
  return m;
}

int64_t cu_file_mapped_GetLength(cu_file_mapped* m) { return m ? m->length : 0; }
char* cu_file_mapped_GetContent(cu_file_mapped* m) { return m ? m->content : nullptr; }

void cu_file_mapped_free(cu_file_mapped* m) {
  if (!m) return;
  if (m->length > 0 && m->mapping) munmap(m->mapping, static_cast<size_t>(m->length));
  _cu_free(m, kUnit, __LINE__);
}

// flock locks belong to the open file, so a second open of the same path fails to lock even
// in the holding process; the lock ends with the last close.
int32_t cu_file_lock(const char* path) {
  if (!path) return -1;
  return lock_descriptor(path);
}

void cu_lockfile_close(int32_t fd) {
  if (fd > 0) close(fd);
}

bool cu_file_IsLockable(const char* path) {
  if (!path) return false;
  int fd = lock_descriptor(path);
  if (fd < 0) return false;
  close(fd);
  return true;
}

namespace cu_internal {

int replace_file(const std::string& given, std::string_view text) {
  vor::Owned<char, free> real(realpath(given.c_str(), nullptr));
  const std::string path = real ? std::string(real.get()) : given;
  std::string tmp = temporary_beside(path);
  errno = 0;
  const int fd = vor::fd_above_stdio(mkostemp(tmp.data(), O_CLOEXEC));
  if (fd < 0) return failure();
  struct stat st;
  const mode_t mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  int err = 0;
  errno = 0;
  if (fchmod(fd, mode) != 0 || !vor::io::write_all(fd, text.data(), text.size()) || fsync(fd) != 0) err = failure();
  if (close(fd) != 0 && err == 0) err = failure();
  if (err == 0 && rename(tmp.c_str(), path.c_str()) != 0) err = failure();
  if (err != 0) {
    unlink(tmp.c_str());
    return err;
  }
  sync_folder_of(path);
  return 0;
}

}  // namespace cu_internal
