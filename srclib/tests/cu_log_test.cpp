#include "cu_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "cu_util.h"
#include "log_test_util.h"
#include "vor_tempdir.h"

namespace {
using vor::test::read_file;

class LogFile : public ::testing::Test {
 protected:
  vor::test::TempDir scratch;
  std::string path = scratch.file("a.log");
};

TEST_F(LogFile, LevelledLinesCarryLocalTimeAndLevelWord) {
  cu_log* log = cu_log_malloc(path.c_str());
  ASSERT_NE(log, nullptr);
  // The bounds come from the clock the log reads: time() reads a coarser one, which can still
  // show the second before the log's.
  const time_t before = static_cast<time_t>(cu_time());
  cu_log_error(log, "x %d\r\n", 5);
  cu_log_warn(log, "careful\r\n");
  cu_log_notice(log, "%s=%s\r\n", "k", "v");
  const time_t after = static_cast<time_t>(cu_time());
  // Written and flushed before the calls returned: read while the log is still open.
  const auto lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 3u);
  const char* expected[] = {"error: x 5", "warn: careful", "notice: k=v"};
  for (size_t i = 0; i < 3; ++i) {
    const size_t n = time_prefix_length(lines[i]);
    ASSERT_GT(n, 0u) << lines[i];
    EXPECT_EQ(lines[i].substr(n), expected[i]);
  }
  // The prefix is local time: it equals one of the seconds the calls ran in.
  bool matched = false;
  for (time_t t = before; t <= after; ++t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char want[64];
    snprintf(want, sizeof want, "%d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec);
    matched |= lines[0].rfind(want, 0) == 0;
  }
  EXPECT_TRUE(matched) << lines[0];
  cu_log_free(log);
}

TEST_F(LogFile, BackslashPathsOpenCloseOnExecFiles) {
  const std::string windows = scratch.path() + "\\b.log";
  cu_log* log = cu_log_malloc(windows.c_str());
  ASSERT_NE(log, nullptr);
  EXPECT_NE(fcntl(fileno(log->file), F_GETFD) & FD_CLOEXEC, 0);
  cu_log_printf(log, "one\r\n");
  EXPECT_EQ(read_file(scratch.file("b.log")), "one\r\n");
  const std::string renamed = scratch.path() + "\\c.log";
  ASSERT_TRUE(cu_log_rename(log, renamed.c_str()));
  EXPECT_NE(fcntl(fileno(log->file), F_GETFD) & FD_CLOEXEC, 0);
  cu_log_printf(log, "two\r\n");
  EXPECT_EQ(read_file(scratch.file("c.log")), "two\r\n");
  cu_log_free(log);
}

TEST_F(LogFile, OverlongMessageIsCutButKeepsItsLineEnd) {
  cu_log* log = cu_log_malloc(path.c_str());
  ASSERT_NE(log, nullptr);
  const std::string big(20000, 'm');
  cu_log_notice(log, "%s\r\n", big.c_str());
  cu_log_notice(log, "next\r\n");
  cu_log_printf(log, "%s", big.c_str());
  cu_log_printf(log, "tail\r\n");
  cu_log_free(log);
  const std::string text = read_file(path);
  const auto lines = split_lines(text);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].size() + 2, 16383u);  // the whole line, "\r\n" included
  EXPECT_EQ(lines[0].find_first_not_of('m', time_prefix_length(lines[0]) + 8), std::string::npos);
  EXPECT_EQ(lines[1].substr(time_prefix_length(lines[1])), "notice: next");
  EXPECT_EQ(lines[2], std::string(16381, 'm'));
  EXPECT_EQ(lines[3], "tail");
}

TEST_F(LogFile, MessageThatJustFitsIsNotCut) {
  cu_log* log = cu_log_malloc(path.c_str());
  ASSERT_NE(log, nullptr);
  const std::string exact(16383 - 2, 'e');
  cu_log_printf(log, "%s\r\n", exact.c_str());
  cu_log_free(log);
  EXPECT_EQ(read_file(path), exact + "\r\n");
}

TEST_F(LogFile, RawWritesAndNoFlushKeepTheirOrder) {
  cu_log* log = cu_log_malloc(path.c_str());
  ASSERT_NE(log, nullptr);
  cu_log_write_NoFlush(log, "1", 1);
  cu_log_printf_NoFlush(log, "%d", 2);
  cu_log_write(log, "3\0x", 3);  // bytes as they are, NUL included
  EXPECT_EQ(read_file(path), std::string("123\0x", 5));
  cu_log_write_NoFlush(log, "4", 1);
  cu_log_flush(log);
  EXPECT_EQ(read_file(path), std::string("123\0x4", 6));
  cu_log_write(log, nullptr, 3);
  cu_log_write(log, "z", 0);
  cu_log_write(log, "z", -1);
  cu_log_free(log);
  EXPECT_EQ(read_file(path).size(), 6u);
}

TEST_F(LogFile, AppendsToAnExistingFile) {
  vor::test::write_file(path, "old\r\n");
  cu_log* log = cu_log_malloc(path.c_str());
  ASSERT_NE(log, nullptr);
  cu_log_printf(log, "new\r\n");
  cu_log_free(log);
  EXPECT_EQ(read_file(path), "old\r\nnew\r\n");
}

TEST_F(LogFile, RenameSwitchesFilesAndAFailedOneKeepsTheOld) {
  cu_log* log = cu_log_malloc(path.c_str());
  ASSERT_NE(log, nullptr);
  cu_log_printf(log, "one\r\n");
  EXPECT_FALSE(cu_log_rename(log, scratch.file("missing/b.log").c_str()));
  cu_log_printf(log, "two\r\n");
  EXPECT_STREQ(log->path, path.c_str());
  const std::string second = scratch.file("b.log");
  ASSERT_TRUE(cu_log_rename(log, second.c_str()));
  EXPECT_STREQ(log->path, second.c_str());
  cu_log_printf(log, "three\r\n");
  EXPECT_FALSE(cu_log_rename(log, nullptr));
  EXPECT_FALSE(cu_log_rename(nullptr, second.c_str()));
  cu_log_free(log);
  EXPECT_EQ(read_file(path), "one\r\ntwo\r\n");
  EXPECT_EQ(read_file(second), "three\r\n");
}

TEST_F(LogFile, LongPathIsOpenedWholeAndKeptCut) {
  std::string name = scratch.file(std::string(120, 'd'));
  std::filesystem::create_directories(name);
  name += "/" + std::string(150, 'f') + ".log";
  ASSERT_GT(name.size(), 260u);
  cu_log* log = cu_log_malloc(name.c_str());
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(std::string(log->path), name.substr(0, 260));
  cu_log_printf(log, "x\r\n");
  cu_log_free(log);
  EXPECT_EQ(read_file(name), "x\r\n");
}

TEST_F(LogFile, CallerHeldRecordAndFailures) {
  cu_log rec;
  EXPECT_FALSE(cu_log_init(&rec, scratch.file("no/such/dir.log").c_str()));
  EXPECT_EQ(rec.lock_state, -1);
  cu_log_notice(&rec, "ignored\r\n");  // a log without a file ignores writes
  cu_log_destroy(&rec);
  EXPECT_FALSE(cu_log_init(&rec, nullptr));
  EXPECT_FALSE(cu_log_init(nullptr, path.c_str()));
  EXPECT_EQ(cu_log_malloc(nullptr), nullptr);
  EXPECT_EQ(cu_log_malloc(scratch.file("no/such/dir.log").c_str()), nullptr);

  ASSERT_TRUE(cu_log_init(&rec, path.c_str()));
  EXPECT_EQ(rec.lock_state, 1);
  EXPECT_EQ(rec.line[CU_LOG_LINE_SIZE - 1], '\0');
  cu_log_warn(&rec, "held\r\n");
  cu_log_destroy(&rec);
  EXPECT_EQ(rec.lock_state, -1);
  EXPECT_EQ(rec.file, nullptr);
  cu_log_warn(&rec, "after destroy\r\n");
  EXPECT_FALSE(cu_log_rename(&rec, scratch.file("c.log").c_str()));
  EXPECT_FALSE(std::filesystem::exists(scratch.file("c.log")));
  cu_log_destroy(&rec);  // a second destroy is harmless
  const auto lines = split_lines(read_file(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(time_prefix_length(lines[0])), "warn: held");
}

TEST(LogNull, EveryCallWithANullLogDoesNothing) {
  cu_log_notice(nullptr, "x %d\r\n", 1);
  cu_log_warn(nullptr, "x\r\n");
  cu_log_error(nullptr, "x\r\n");
  cu_log_printf(nullptr, "x\r\n");
  cu_log_printf_NoFlush(nullptr, "x\r\n");
  cu_log_write(nullptr, "x", 1);
  cu_log_write_NoFlush(nullptr, "x", 1);
  cu_log_flush(nullptr);
  cu_log_destroy(nullptr);
  cu_log_free(nullptr);
}

TEST_F(LogFile, SystemLogAppendsOneTimedLineAndCutsAt4095) {
  const std::string sys = scratch.file("xmem.log");
  __cu_system_log(sys.c_str(), "%s -> %s\r\n", "cu_box_xmem", "exit!");
  __cu_system_log(sys.c_str(), "%s\r\n", std::string(5000, 's').c_str());
  const auto lines = split_lines(read_file(sys));
  ASSERT_EQ(lines.size(), 2u);
  const size_t n = time_prefix_length(lines[0]);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(lines[0].substr(n), "cu_box_xmem -> exit!");  // no level word
  EXPECT_EQ(lines[1].size() + 2, 4095u);
  __cu_system_log(scratch.file("none/x.log").c_str(), "lost\r\n");
  EXPECT_FALSE(std::filesystem::exists(scratch.file("none")));
  __cu_system_log(nullptr, "x");
}

}  // namespace
