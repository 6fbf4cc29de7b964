#include "cu_console.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "vor_tempdir.h"

namespace {
using vor::test::exists;
using vor::test::read_file;
using vor::test::TempDir;

TEST(Console, WritesToTheFileNamedAtSetup) {
  TempDir dir;
  std::string name = dir.file("my_console.log");
  EXPECT_EQ(cu_console_Setup(name.c_str()), static_cast<int32_t>(name.size()));
  EXPECT_FALSE(exists(name));  // created by the first write
  cu_console_printf("line %d\r\n", 1);
  cu_console_printf("%s\r\n", "two");
  EXPECT_EQ(read_file(name), "line 1\r\ntwo\r\n");
  EXPECT_FALSE(exists("cu_console.txt"));
  cu_console_Free();
  cu_console_printf("after free\r\n");
  EXPECT_EQ(read_file(name), "line 1\r\ntwo\r\n");
}

TEST(Console, SetupAgainStartsTheFileAfresh) {
  TempDir dir;
  std::string name = dir.file("c.txt");
  cu_console_Setup(name.c_str());
  cu_console_printf("first run\n");
  cu_console_Setup(name.c_str());
  cu_console_printf("second run\n");
  EXPECT_EQ(read_file(name), "second run\n");
  cu_console_Shutdown();
  cu_console_printf("after shutdown\n");
  EXPECT_EQ(read_file(name), "second run\n");
}

TEST(Console, LongMessageIsCutAt20480Bytes) {
  TempDir dir;
  std::string name = dir.file("long.txt");
  cu_console_Setup(name.c_str());
  std::string message(30000, 'x');
  cu_console_printf("%s", message.c_str());
  EXPECT_EQ(read_file(name), std::string(20480, 'x'));
  cu_console_Free();
}

TEST(Console, OverlongNameIsRefusedAndChangesNothing) {
  TempDir dir;
  std::string name = dir.file("kept.txt");
  cu_console_Setup(name.c_str());
  std::string huge(PATH_MAX, 'n');
  EXPECT_EQ(cu_console_Setup(huge.c_str()), 0);
  cu_console_printf("still here\n");
  EXPECT_EQ(read_file(name), "still here\n");
  cu_console_Free();
}

TEST(Console, NullNameTakesTheDefault) {
  EXPECT_EQ(cu_console_Setup(nullptr), static_cast<int32_t>(strlen("cu_console.txt")));
  cu_console_Free();  // nothing written: no file made in the test's folder
  EXPECT_FALSE(exists("cu_console.txt"));
}

}  // namespace
