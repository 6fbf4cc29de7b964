#include "cu_file.h"
#include "cu_file_internal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vor_tempdir.h"
#include "vor_wait.h"

extern char** environ;

namespace {
using vor::test::exists;
using vor::test::read_file;
using vor::test::run_shell;
using vor::test::TempDir;
using vor::test::write_file;

struct OpenCase {
  const char* name;
  cu_file1* (*open1)(const char*);
  cu_file2* (*open2)(const char*);
  bool creates;             // a missing file is created empty
  const char* after_write;  // "hello" after SetPos(0) and writing "XY"
};

const OpenCase kOpenModes[] = {
    {"r", cu_file1_open_r, cu_file2_open_r, false, "hello"},
    {"w", cu_file1_open_w, cu_file2_open_w, false, "XYllo"},
    {"rw", cu_file1_open_rw, cu_file2_open_rw, false, "XYllo"},
    {"wx", cu_file1_open_wx, cu_file2_open_wx, true, "XYllo"},
    {"rwx", cu_file1_open_rwx, cu_file2_open_rwx, true, "XYllo"},
    {"t", cu_file1_open_t, cu_file2_open_t, false, "XY"},
    {"tx", cu_file1_open_tx, cu_file2_open_tx, true, "XY"},
    {"a", cu_file1_open_a, cu_file2_open_a, false, "helloXY"},
    {"ax", cu_file1_open_ax, cu_file2_open_ax, true, "helloXY"},
};

TEST(File1, OpenModesCreateKeepTruncateAppend) {
  TempDir dir;
  for (const auto& c : kOpenModes) {
    SCOPED_TRACE(c.name);
    std::string missing = dir.file(std::string("missing1_") + c.name);
    cu_file1* f = c.open1(missing.c_str());
    EXPECT_EQ(f != nullptr, c.creates);
    EXPECT_EQ(exists(missing), c.creates);
    if (f) {
      EXPECT_GT(cu_file1_GetFd(f), 2);
    }
    cu_file1_close(f);

    std::string present = dir.file(std::string("present1_") + c.name);
    write_file(present, "hello");
    f = c.open1(present.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(cu_file1_SetPos(f, 0));
    cu_file1_write(f, "XY", 2);
    cu_file1_close(f);
    EXPECT_EQ(read_file(present), c.after_write);
  }
}

TEST(File2, OpenModesCreateKeepTruncateAppend) {
  TempDir dir;
  for (const auto& c : kOpenModes) {
    SCOPED_TRACE(c.name);
    std::string missing = dir.file(std::string("missing2_") + c.name);
    cu_file2* f = c.open2(missing.c_str());
    EXPECT_EQ(f != nullptr, c.creates);
    EXPECT_EQ(exists(missing), c.creates);
    if (f) {
      EXPECT_GT(cu_file2_GetFd(f), 2);
    }
    cu_file2_close(f);

    std::string present = dir.file(std::string("present2_") + c.name);
    write_file(present, "hello");
    f = c.open2(present.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(cu_file2_SetPos(f, 0));
    int32_t wrote = cu_file2_write(f, "XY", 2);
    EXPECT_EQ(wrote, std::string(c.name) == "r" ? -1 : 2);
    cu_file2_close(f);
    EXPECT_EQ(read_file(present), c.after_write);
  }
}

TEST(File1, ReadToEndSetsEofAndPositionsAreByteOffsets) {
  TempDir dir;
  std::string p = dir.file("f");
  write_file(p, "0123456789");
  cu_file1* f = cu_file1_open_r(p.c_str());
  ASSERT_NE(f, nullptr);
  char buf[32] = {};
  EXPECT_TRUE(cu_file1_SetPos(f, 4));
  EXPECT_EQ(cu_file1_GetPos(f), 4);
  EXPECT_FALSE(cu_file1_eof(f));
  EXPECT_EQ(cu_file1_read(f, buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "456789");
  EXPECT_TRUE(cu_file1_eof(f));
  EXPECT_FALSE(cu_file1_SetPos(f, -1));
  cu_file1_close(f);
}

TEST(File1, NullHandleAnswersDocumentedValues) {
  char buf[4];
  EXPECT_FALSE(cu_file1_SetPos(nullptr, 0));
  EXPECT_EQ(cu_file1_GetPos(nullptr), 0);
  EXPECT_EQ(cu_file1_read(nullptr, buf, 4), 0);
  EXPECT_EQ(cu_file1_write(nullptr, buf, 4), 0);
  EXPECT_TRUE(cu_file1_eof(nullptr));
  EXPECT_EQ(cu_file1_GetFd(nullptr), -1);
  cu_file1_flush(nullptr);
  cu_file1_close(nullptr);
  EXPECT_FALSE(cu_file2_SetPos(nullptr, 0));
  EXPECT_EQ(cu_file2_GetPos(nullptr), 0);
  EXPECT_EQ(cu_file2_read(nullptr, buf, 4), 0);
  EXPECT_EQ(cu_file2_write(nullptr, buf, 4), 0);
  EXPECT_TRUE(cu_file2_eof(nullptr));
  EXPECT_EQ(cu_file2_GetFd(nullptr), -1);
  cu_file2_flush(nullptr);
  cu_file2_close(nullptr);
  EXPECT_EQ(cu_file1_open_r(nullptr), nullptr);
  EXPECT_EQ(cu_file2_open_rwx(nullptr), nullptr);
}

TEST(File2, SetPosInsideFileAndEofAtEnd) {
  TempDir dir;
  std::string p = dir.file("f");
  write_file(p, std::string(200, 'x'));
  cu_file2* f = cu_file2_open_rw(p.c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(cu_file2_SetPos(f, 100));
  EXPECT_EQ(cu_file2_GetPos(f), 100);
  EXPECT_FALSE(cu_file2_eof(f));
  char buf[300];
  EXPECT_EQ(cu_file2_read(f, buf, sizeof buf), 100);
  EXPECT_TRUE(cu_file2_eof(f));
  EXPECT_EQ(cu_file2_read(f, buf, sizeof buf), 0);
  cu_file2_close(f);
}

TEST(File2, WriteToFullDeviceFails) {
  cu_file2* f = cu_file2_open_w("/dev/full");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(cu_file2_write(f, "abc", 3), -1);
  cu_file2_close(f);
}

TEST(FilePath, BackslashesAreFolderSeparators) {
  TempDir dir;
  ASSERT_TRUE(cu_dir1_make((dir.path() + "\\sub").c_str()));
  write_file(dir.file("sub/f.txt"), "abc");
  EXPECT_TRUE(cu_file1_IsExist((dir.path() + "\\sub\\f.txt").c_str()));
  EXPECT_TRUE(cu_file1_IsExist(dir.file("sub/f.txt").c_str()));
  EXPECT_EQ(cu_file1_GetLength((dir.path() + "\\sub\\f.txt").c_str()), 3);
  EXPECT_FALSE(cu_file1_IsExist(dir.file("sub/F.TXT").c_str()));  // names are case-sensitive
  cu_file1* f = cu_file1_open_r((dir.path() + "\\sub\\f.txt").c_str());
  EXPECT_NE(f, nullptr);
  cu_file1_close(f);
}

TEST(FilePath, IsExistExaminesTheWholeLongPath) {
  TempDir dir;
  write_file(dir.file("f"), "x");
  std::string longer = dir.path();
  while (longer.size() < 2100) longer += "/.";
  EXPECT_TRUE(cu_file1_IsExist((longer + "/f").c_str()));
  // The first 2,048 characters name an existing folder; the whole path does not exist.
  std::string tail_missing = longer.substr(0, 2048);
  if (tail_missing.back() == '/') tail_missing.pop_back();
  EXPECT_TRUE(cu_file1_IsExist(tail_missing.c_str()));
  EXPECT_FALSE(cu_file1_IsExist((longer + "/missing").c_str()));
  EXPECT_FALSE(cu_file1_IsExist(nullptr));
}

TEST(FilePath, LengthAndTimes) {
  TempDir dir;
  std::string p = dir.file("f");
  write_file(p, "");
  EXPECT_EQ(cu_file1_GetLength(p.c_str()), 0);
  EXPECT_EQ(cu_file1_GetLength(dir.file("missing").c_str()), 0);
  EXPECT_TRUE(cu_file1_SetAccessTime(p.c_str(), 1000000000));
  EXPECT_TRUE(cu_file1_SetModifyTime(p.c_str(), 1200000000));
  EXPECT_EQ(cu_file1_GetModifyTime(p.c_str()), 1200000000);
  EXPECT_EQ(cu_file1_GetAccessTime(p.c_str()), 1000000000);  // unchanged by the modify-time set
  EXPECT_TRUE(cu_file1_SetAccessTime(p.c_str(), 1100000000));
  EXPECT_EQ(cu_file1_GetModifyTime(p.c_str()), 1200000000);
  EXPECT_GT(cu_file1_GetCreateTime(p.c_str()), 0);
  EXPECT_FALSE(cu_file1_SetCreateTime(p.c_str(), 5));
  EXPECT_EQ(cu_file1_GetModifyTime(dir.file("missing").c_str()), 0);
  EXPECT_FALSE(cu_file1_SetModifyTime(dir.file("missing").c_str(), 5));
}

TEST(FilePath, RenameOntoExistingPathFailsAndLeavesBoth) {
  TempDir dir;
  std::string a = dir.file("a"), b = dir.file("b"), c = dir.file("c");
  write_file(a, "A");
  write_file(b, "B");
  EXPECT_FALSE(cu_file1_rename(a.c_str(), b.c_str()));
  EXPECT_EQ(read_file(a), "A");
  EXPECT_EQ(read_file(b), "B");
  EXPECT_TRUE(cu_file1_rename(a.c_str(), c.c_str()));
  EXPECT_FALSE(exists(a));
  EXPECT_EQ(read_file(c), "A");

  ASSERT_TRUE(cu_dir1_make(dir.file("d1").c_str()));
  ASSERT_TRUE(cu_dir1_make(dir.file("d2").c_str()));
  EXPECT_FALSE(cu_dir1_make(dir.file("d1").c_str()));
  EXPECT_FALSE(cu_dir1_rename(dir.file("d1").c_str(), dir.file("d2").c_str()));
  EXPECT_TRUE(cu_dir1_rename(dir.file("d1").c_str(), dir.file("d3").c_str()));
  EXPECT_TRUE(cu_dir1_remove(dir.file("d3").c_str()));
  EXPECT_FALSE(cu_dir1_remove(dir.file("d3").c_str()));
  EXPECT_TRUE(cu_file1_remove(c.c_str()));
  EXPECT_FALSE(cu_file1_remove(c.c_str()));
}

TEST(FilePath, TruncateLengthensShortensAndMovesPosition) {
  TempDir dir;
  std::string p = dir.file("f");
  write_file(p, "0123456789");
  cu_file2* f = cu_file2_open_rw(p.c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(cu_file1_truncate(cu_file2_GetFd(f), 4));
  EXPECT_EQ(cu_file2_GetPos(f), 4);
  EXPECT_TRUE(cu_file1_truncate(cu_file2_GetFd(f), 20));
  EXPECT_EQ(cu_file2_GetPos(f), 20);
  cu_file2_close(f);
  EXPECT_EQ(cu_file1_GetLength(p.c_str()), 20);
  EXPECT_EQ(read_file(p).substr(0, 4), "0123");
  EXPECT_FALSE(cu_file1_truncate(-1, 0));
  EXPECT_TRUE(cu_file1_truncatex(p.c_str(), 2));
  EXPECT_EQ(read_file(p), "01");
  EXPECT_FALSE(cu_file1_truncatex(dir.file("missing").c_str(), 2));
  EXPECT_FALSE(exists(dir.file("missing")));
}

int mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

size_t entries_in(const std::string& folder) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

TEST(ReplaceFile, NewFileGetsReadableModeAndAReplacedOneKeepsItsOwn) {
  TempDir dir;
  const std::string fresh = dir.file("fresh");
  EXPECT_EQ(cu_internal::replace_file(fresh, "one"), 0);
  EXPECT_EQ(read_file(fresh), "one");
  EXPECT_EQ(mode_of(fresh), 0644);
  ASSERT_EQ(chmod(fresh.c_str(), 0600), 0);
  EXPECT_EQ(cu_internal::replace_file(fresh, "two"), 0);
  EXPECT_EQ(read_file(fresh), "two");
  EXPECT_EQ(mode_of(fresh), 0600);
  EXPECT_EQ(entries_in(dir.path()), 1u);  // no temporary file left behind
}

TEST(ReplaceFile, FailureAnswersTheErrnoAndLeavesNothingBehind) {
  TempDir dir;
  EXPECT_EQ(cu_internal::replace_file(dir.file("no/such/folder"), "x"), ENOENT);
  // A folder where the file should go: the rename fails, the folder and its contents stay.
  ASSERT_EQ(mkdir(dir.file("taken").c_str(), 0755), 0);
  write_file(dir.file("taken/inside"), "kept");
  EXPECT_NE(cu_internal::replace_file(dir.file("taken"), "x"), 0);
  EXPECT_EQ(read_file(dir.file("taken/inside")), "kept");
  EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(FileMapped, EmptyFileHasNoMapping) {
  TempDir dir;
  std::string p = dir.file("empty");
  write_file(p, "");
  cu_file_mapped* m = cu_file_mapped_make(p.c_str(), 0);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(cu_file_mapped_GetLength(m), 0);
  EXPECT_STREQ(cu_file_mapped_GetContent(m), "");
  EXPECT_EQ(m->mapping, nullptr);
  cu_file_mapped_free(m);
  EXPECT_EQ(cu_file_mapped_make(dir.file("missing").c_str(), 0), nullptr);
  EXPECT_EQ(cu_file_mapped_make(nullptr, 1), nullptr);
  EXPECT_EQ(cu_file_mapped_GetLength(nullptr), 0);
  EXPECT_EQ(cu_file_mapped_GetContent(nullptr), nullptr);
  cu_file_mapped_free(nullptr);
}

// mincore-free check of a page's protection: /proc/self/maps lists it.
std::string protection_of(const void* addr) {
  std::string maps = read_file("/proc/self/maps");
  auto a = reinterpret_cast<uintptr_t>(addr);
  size_t pos = 0;
  while (pos < maps.size()) {
    size_t end = maps.find('\n', pos);
    std::string line = maps.substr(pos, end - pos);
    uintptr_t lo = 0, hi = 0;
    char perms[5] = {};
    if (sscanf(line.c_str(), "%lx-%lx %4s", &lo, &hi, perms) == 3 && a >= lo && a < hi) return perms;
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return "";
}

TEST(FileMapped, WritableOnlyForOneAndWritesReachTheFile) {
  TempDir dir;
  std::string p = dir.file("m");
  write_file(p, "abcdef");
  cu_file_mapped* m = cu_file_mapped_make(p.c_str(), 1);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(cu_file_mapped_GetLength(m), 6);
  EXPECT_EQ(protection_of(m->content), "rw-s");
  m->content[0] = 'X';
  cu_file_mapped_free(m);
  EXPECT_EQ(read_file(p), "Xbcdef");

  m = cu_file_mapped_make(p.c_str(), 2);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(std::string(m->content, 6), "Xbcdef");
  EXPECT_EQ(protection_of(m->content), "r--s");
  cu_file_mapped_free(m);
}

TEST(LockFile, HoldsAgainstSecondLockInProcessAndInChild) {
  TempDir dir;
  std::string p = dir.file("x.lock");
  int32_t fd = cu_file_lock(p.c_str());
  ASSERT_GT(fd, 2);
  EXPECT_EQ(cu_file_lock(p.c_str()), -1);
  EXPECT_FALSE(cu_file_IsLockable(p.c_str()));
  EXPECT_EQ(run_shell("flock -n '" + p + "' true"), 1);
  cu_lockfile_close(fd);
  EXPECT_TRUE(exists(p));
  EXPECT_TRUE(cu_file_IsLockable(p.c_str()));
  EXPECT_EQ(run_shell("flock -n '" + p + "' true"), 0);
  int32_t again = cu_file_lock(p.c_str());
  EXPECT_GT(again, 0);
  cu_lockfile_close(again);
  cu_lockfile_close(0);
  cu_lockfile_close(-1);
}

TEST(LockFile, HeldByAnotherProcessFailsHere) {
  TempDir dir;
  std::string p = dir.file("y.lock");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setpgid(0, 0);  // the whole group (flock and its sleep) is killed below
    // Waits out our probes below (-n would give up if one holds the lock at that moment) and
    // holds far longer than the wait: the test ends it, never the clock.
    execlp("flock", "flock", "-o", p.c_str(), "sleep", "600", static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(child, child);
  const bool seen_held = vor::test::wait_until([&] { return exists(p) && !cu_file_IsLockable(p.c_str()); });
  EXPECT_TRUE(seen_held);
  EXPECT_EQ(cu_file_lock(p.c_str()), -1);
  kill(-child, SIGKILL);
  waitpid(child, nullptr, 0);
  // flock's own child shares the descriptor until it execs; once it too is gone the lock is free.
  EXPECT_TRUE(vor::test::wait_until([&] { return cu_file_IsLockable(p.c_str()); }));
}

TEST(LockFile, ExecedChildDoesNotInheritTheHold) {
  TempDir dir;
  std::string p = dir.file("z.lock");
  int32_t fd = cu_file_lock(p.c_str());
  ASSERT_GT(fd, 0);
  // The child shell would list our descriptor under its own /proc entry if it inherited it.
  EXPECT_EQ(run_shell("[ \"$(readlink /proc/$$/fd/" + std::to_string(fd) + ")\" = '" + p + "' ]"), 1);
  pid_t child;
  char arg0[] = "sleep", arg1[] = "600";  // killed below
  char* argv[] = {arg0, arg1, nullptr};
  ASSERT_EQ(posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ), 0);
  cu_lockfile_close(fd);
  EXPECT_TRUE(cu_file_IsLockable(p.c_str()));  // the running child holds nothing
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST(Descriptors, OpensNeverHandOutStandardStreams) {
  TempDir dir;
  std::string p = dir.file("f");
  write_file(p, "x");
  int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);
  cu_file2* f = cu_file2_open_r(p.c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_GT(cu_file2_GetFd(f), 2);
  EXPECT_EQ(fcntl(cu_file2_GetFd(f), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  cu_file2_close(f);
  dup2(saved, 0);
  close(saved);
}

}  // namespace
