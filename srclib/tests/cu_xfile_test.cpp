#include "cu_xfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

#include "vor_tempdir.h"

namespace {
using vor::test::exists;
using vor::test::read_file;
using vor::test::TempDir;
using vor::test::write_file;

class XFile : public ::testing::Test {
 protected:
  void SetUp() override { cu_xfile__xmem_init(); }
  TempDir dir;
};

TEST_F(XFile, MissingFileAndMissingFolderAreNoSuchFile) {
  EXPECT_EQ(cu_xfile_open_t(dir.file("missing").c_str(), 0), nullptr);
  EXPECT_TRUE(cu_xfile_IsErrorForNoSuchFile(cu_xfile_GetLastError()));
  EXPECT_FALSE(exists(dir.file("missing")));
  EXPECT_EQ(cu_xfile_open_tx(dir.file("nodir/f").c_str(), 0), nullptr);
  EXPECT_TRUE(cu_xfile_IsErrorForNoSuchFile(cu_xfile_GetLastError()));
  write_file(dir.file("plain"), "x");
  EXPECT_EQ(cu_xfile_open_r(dir.file("plain/below").c_str(), 0), nullptr);
  EXPECT_EQ(cu_xfile_GetLastError(), ENOTDIR);
  EXPECT_TRUE(cu_xfile_IsErrorForNoSuchFile(ENOTDIR));
  EXPECT_FALSE(cu_xfile_IsErrorForNoSuchFile(EACCES));
}

TEST_F(XFile, TxCreatesAndTruncates) {
  cu_xfile* f = cu_xfile_open_tx(dir.file("f").c_str(), 0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(cu_xfile_write(f, "hello", 5), 5);
  cu_xfile_close(f);
  f = cu_xfile_open_tx(dir.file("f").c_str(), 0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(cu_xfile_GetFileSize(f), 0);
  cu_xfile_close(f);
}

TEST_F(XFile, ReadAtEndGivesZeroAndPositionsAre64Bit) {
  write_file(dir.file("f"), "abc");
  cu_xfile* f = cu_xfile_open_rw(dir.file("f").c_str(), 0);
  ASSERT_NE(f, nullptr);
  char buf[8];
  EXPECT_EQ(cu_xfile_read(f, buf, 8), 3);
  EXPECT_EQ(cu_xfile_read(f, buf, 8), 0);
  const int64_t big = (int64_t{5} << 30);  // 5 GiB, sparse
  EXPECT_TRUE(cu_xfile_truncate(f, big));
  EXPECT_EQ(cu_xfile_GetFileSize(f), big);
  EXPECT_EQ(cu_xfile_GetPos(f), big);
  EXPECT_EQ(cu_xfile_SetPos(f, 1), 1);
  EXPECT_EQ(cu_xfile_read(f, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "bc");
  EXPECT_TRUE(cu_xfile_truncate(f, 2));
  EXPECT_EQ(cu_xfile_GetFileSize(f), 2);
  EXPECT_FALSE(cu_xfile_truncate(f, -1));
  EXPECT_EQ(cu_xfile_SetPos(f, -5), -1);
  EXPECT_NE(cu_xfile_flush(f), 0);
  cu_xfile_close(f);
  cu_xfile_close(nullptr);
}

TEST_F(XFile, AppendHandleWritesAtTheEnd) {
  write_file(dir.file("f"), "abc");
  cu_xfile* f = cu_xfile_open_a(dir.file("f").c_str(), 0);
  ASSERT_NE(f, nullptr);
  cu_xfile_SetPos(f, 0);
  EXPECT_EQ(cu_xfile_write(f, "de", 2), 2);
  char c;
  EXPECT_EQ(cu_xfile_read(f, &c, 1), -1);  // append handles cannot read
  cu_xfile_close(f);
  EXPECT_EQ(read_file(dir.file("f")), "abcde");
  EXPECT_EQ(cu_xfile_open_a(dir.file("none").c_str(), 0), nullptr);
  f = cu_xfile_open_ax(dir.file("none").c_str(), 0);
  EXPECT_NE(f, nullptr);
  cu_xfile_close(f);
}

using Opener = cu_xfile* (*)(const char*, uint8_t);
struct ShareCase {
  const char* what;
  Opener first;
  Opener second;
  bool second_opens;
};

const ShareCase kSharing[] = {
    {"two readers", cu_xfile_open_r, cu_xfile_open_r, true},
    {"reader then writer", cu_xfile_open_r, cu_xfile_open_rw, false},
    {"writer then reader", cu_xfile_open_w, cu_xfile_open_r, false},
    {"appender then reader", cu_xfile_open_a, cu_xfile_open_r, false},
    {"reader then truncating open", cu_xfile_open_r, cu_xfile_open_t, false},
    {"reader then truncating create", cu_xfile_open_r, cu_xfile_open_tx, false},
    {"two writers", cu_xfile_open_rwx, cu_xfile_open_wx, false},
};

TEST_F(XFile, ManyReadersOrOneWriter) {
  for (const auto& c : kSharing) {
    SCOPED_TRACE(c.what);
    std::string p = dir.file("shared");
    write_file(p, "keep these bytes");
    cu_xfile* a = c.first(p.c_str(), 0);
    ASSERT_NE(a, nullptr);
    cu_xfile* b = c.second(p.c_str(), 0);
    EXPECT_EQ(b != nullptr, c.second_opens);
    if (!b) {
      char msg[128];
      EXPECT_EQ(cu_xfile_GetLastError(), EBUSY);
      EXPECT_STRNE(cu_xfile_GetLastErrorString(msg, sizeof msg), "");
    }
    cu_xfile_close(b);
    cu_xfile_close(a);
    EXPECT_EQ(read_file(p), "keep these bytes");  // a refused truncating open leaves the bytes
    cu_xfile* after = cu_xfile_open_rw(p.c_str(), 0);
    EXPECT_NE(after, nullptr);  // closing releases the share
    cu_xfile_close(after);
  }
}

TEST_F(XFile, WriteToFullDiskFailsWithDiskFullCode) {
  cu_xfile* f = cu_xfile_open_w("/dev/full", 0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(cu_xfile_write(f, "abc", 3), -1);
  int32_t code = cu_xfile_GetLastError();
  EXPECT_EQ(code, ENOSPC);
  EXPECT_TRUE(cu_xfile_IsErrorForDiskFull(code));
  EXPECT_TRUE(cu_xfile_IsErrorForDiskFull(EDQUOT));
  EXPECT_FALSE(cu_xfile_IsErrorForDiskFull(EIO));
  cu_xfile_close(f);
}

TEST_F(XFile, LastErrorIsPerThread) {
  EXPECT_EQ(cu_xfile_open_r(dir.file("missing").c_str(), 0), nullptr);
  int32_t other = -1;
  std::thread([&] { other = cu_xfile_GetLastError(); }).join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(cu_xfile_GetLastError(), ENOENT);
}

TEST_F(XFile, ErrorStrings) {
  char buf[64] = "junk";
  EXPECT_STREQ(cu_xfile_GetErrorString(0, buf, sizeof buf), "");
  EXPECT_STREQ(cu_xfile_GetErrorString(0, nullptr, 0), "");
  EXPECT_STREQ(cu_xfile_GetErrorString(ENOENT, buf, sizeof buf), "No such file or directory");
  EXPECT_STREQ(cu_xfile_GetErrorString(ENOENT, buf, 1), "");
  EXPECT_STREQ(cu_xfile_GetErrorString(ENOENT, buf, 3), "No");
  EXPECT_STREQ(cu_xfile_GetErrorString(ENOENT, nullptr, 10), "");
}

}  // namespace
