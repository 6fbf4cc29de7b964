#include "cu_lib.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

constexpr char kUnit[] = "srclib\\cu_lib_test";

// Owns a string answered by the library.
struct Owned {
  char* p;
  explicit Owned(char* s) : p(s) {}
  ~Owned() { _cu_free(p, kUnit, __LINE__); }
  std::string str() const { return p ? std::string(p) : std::string("<null>"); }
};

TEST(Strings, CopiesAlwaysTerminateAndCountWhatTheyCopied) {
  char buf[8];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(cu_strncpy(buf, "abcdef", 3), 3);
  EXPECT_EQ(std::string(buf, 4), std::string("abc\0", 4));
  EXPECT_EQ(buf[4], 'x');
  EXPECT_EQ(cu_strncpy(buf, "ab", 5), 2);
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(cu_strncpy(buf, nullptr, 5), 5);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(cu_strncpy(nullptr, "ab", 7), 7);
  EXPECT_EQ(cu_strncpy(buf, "ab", -1), 0);
  EXPECT_STREQ(buf, "");

  cu_strcpy(buf, "hey");
  EXPECT_STREQ(buf, "hey");
  cu_strcpy(buf, nullptr);
  EXPECT_STREQ(buf, "");
  cu_strcpy(nullptr, "x");
  cu_strcpy(buf, "ab");
  cu_strcat(buf, "cd");
  EXPECT_STREQ(buf, "abcd");
  cu_strcat(buf, nullptr);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(cu_strlen("abcd"), 4);
  EXPECT_EQ(cu_strlen(nullptr), 0);
}

struct CompareCase {
  const char* a;
  const char* b;
  int32_t n;
  int strcmp_sign, stricmp_sign, strncmp_sign, strnicmp_sign;
};

const CompareCase kCompares[] = {
    {"abc", "abc", 3, 0, 0, 0, 0},
    {"az", "a\xe9", 2, -1, -1, -1, -1},  // bytes compare unsigned
    {"ABC", "abc", 3, -1, 0, -1, 0},
    {"abcX", "abcY", 3, -1, -1, 0, 0},  // differs only past n
    {"ab", "abc", 5, -1, -1, -1, -1},
    {"b", "A", 1, 1, 1, 1, 1},
    {"", "", 0, 0, 0, 0, 0},
};

int sign(int v) { return (v > 0) - (v < 0); }

TEST(Strings, ComparesTable) {
  for (const auto& c : kCompares) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(cu_strcmp(c.a, c.b), c.strcmp_sign);
    EXPECT_EQ(sign(cu_stricmp(c.a, c.b)), c.stricmp_sign);
    EXPECT_EQ(sign(cu_strncmp(c.a, c.b, c.n)), c.strncmp_sign);
    EXPECT_EQ(sign(cu_strnicmp(c.a, c.b, c.n)), c.strnicmp_sign);
  }
}

TEST(Strings, ComparesWithNullAndSamePointer) {
  const char* s = "x";
  EXPECT_EQ(cu_strcmp(nullptr, nullptr), 0);
  EXPECT_EQ(cu_strcmp(s, s), 0);
  EXPECT_EQ(cu_strcmp("", nullptr), -1);
  EXPECT_EQ(cu_strcmp(nullptr, ""), -1);
  EXPECT_EQ(cu_stricmp("a", nullptr), -1);
  const char a1[] = "a";
  const char a2[] = "a";
  EXPECT_EQ(cu_strncmp(a1, a2, -1), -1);
  EXPECT_EQ(cu_strnicmp(nullptr, "a", 1), -1);
  EXPECT_EQ(cu_memcmp("ab", "az", 2), 0x62 - 0x7A);
  EXPECT_EQ(cu_memcmp(nullptr, "a", 1), -1);
  EXPECT_EQ(cu_memcmp("a", nullptr, 1), 1);
  EXPECT_EQ(cu_memcmp("a\0b", "a\0c", 3), 'b' - 'c');  // NUL is an ordinary byte
  EXPECT_EQ(cu_memicmp("HeLLo", "hello", 5), 0);
  EXPECT_EQ(cu_memicmp("A", "c", 1), 'a' - 'c');
}

struct SearchCase {
  const char* hay;
  const char* needle;
  int32_t n;  // for the n-limited forms
  int strstr_at, stristr_at, strnstr_at, strnistr_at;  // -1: NULL
};

const SearchCase kSearches[] = {
    {"abcdef", "cd", 3, 2, 2, -1, -1},
    {"abcdef", "cd", 4, 2, 2, 2, 2},
    {"abCDef", "cd", 4, -1, 2, -1, 2},
    {"abc", "", 1, 0, 0, 0, 0},
    {"abc", "", 0, 0, 0, -1, -1},
    {"abc", "abcd", 10, -1, -1, -1, -1},
    {"aaab", "aab", 4, 1, 1, 1, 1},
    {"ab", "b", 100, 1, 1, 1, 1},  // n beyond the text
};

TEST(Strings, SearchTable) {
  auto at = [](const char* hay, const char* hit) { return hit ? static_cast<int>(hit - hay) : -1; };
  for (const auto& c : kSearches) {
    SCOPED_TRACE(std::string(c.hay) + " / " + c.needle + " n=" + std::to_string(c.n));
    EXPECT_EQ(at(c.hay, cu_strstr(c.hay, c.needle)), c.strstr_at);
    EXPECT_EQ(at(c.hay, cu_stristr(c.hay, c.needle)), c.stristr_at);
    EXPECT_EQ(at(c.hay, cu_strnstr(c.hay, c.needle, c.n)), c.strnstr_at);
    EXPECT_EQ(at(c.hay, cu_strnistr(c.hay, c.needle, c.n)), c.strnistr_at);
  }
  EXPECT_EQ(cu_strstr(nullptr, "a"), nullptr);
  EXPECT_EQ(cu_stristr("a", nullptr), nullptr);
}

TEST(Strings, CharacterSearch) {
  const char* s = "Hello";
  EXPECT_EQ(cu_strchr(s, 'l'), s + 2);
  EXPECT_EQ(cu_strchr(s, 'h'), nullptr);
  EXPECT_EQ(cu_strichr(s, 'h'), s);
  EXPECT_EQ(cu_strichr(s, 'L'), s + 2);
  EXPECT_EQ(cu_strchr(s, 0), nullptr);
  EXPECT_EQ(cu_strchr(nullptr, 'a'), nullptr);
  const char* high = "caf\xe9";
  EXPECT_EQ(cu_strchr(high, 0xe9), high + 3);
}

TEST(Strings, MemorySearchHandlesNulBytesAndBounds) {
  const char data[] = {'a', '\0', 'B', 'c', 'b', 'c'};
  EXPECT_EQ(cu_memmem(data, 6, "bc", 2), data + 4);
  EXPECT_EQ(cu_memimem(data, 6, "bc", 2), data + 2);
  EXPECT_EQ(cu_memmem(data, 6, "\0B", 2), data + 1);
  EXPECT_EQ(cu_memmem(data, 5, "bc", 2), nullptr);  // would end past dlen
  EXPECT_EQ(cu_memmem(data, 1, "ab", 2), nullptr);  // plen > dlen
  EXPECT_EQ(cu_memmem(data, -1, "a", 1), nullptr);
  EXPECT_EQ(cu_memmem(nullptr, 6, "a", 1), nullptr);
  EXPECT_EQ(cu_memmem(data, 6, "a", 0), data);
  EXPECT_EQ(cu_FindKey("lo", "hello"), 3);
  EXPECT_EQ(cu_FindKey("", "hello"), -1);
  EXPECT_EQ(cu_FindKey("x", "hello"), -1);
  EXPECT_EQ(cu_FindKey("a", ""), -1);
  EXPECT_EQ(cu_FindKey(nullptr, "a"), -1);
}

int compare_ints(const void* element, const void* key) {
  const int a = *static_cast<const int*>(element);
  const int b = *static_cast<const int*>(key);
  return (a > b) - (a < b);
}

TEST(Strings, SortFindFindsEveryElementAndNoGapForEveryCountUpToNine) {
  for (int count = 0; count <= 9; ++count) {
    std::vector<int> v;
    for (int i = 0; i < count; ++i) v.push_back(i * 2 + 1);  // odd values, gaps at even ones
    for (int key = -1; key <= count * 2 + 2; ++key) {
      SCOPED_TRACE("count " + std::to_string(count) + " key " + std::to_string(key));
      int32_t index = -7;
      const bool found = cu_SortFind(v.data(), sizeof(int), count, &key, compare_ints, &index);
      const bool expected = std::binary_search(v.begin(), v.end(), key);
      ASSERT_EQ(found, expected);
      if (found) {
        EXPECT_EQ(v[index], key);
      } else {
        EXPECT_EQ(index, -7);
      }
    }
  }
  int key = 1;
  EXPECT_FALSE(cu_SortFind(nullptr, sizeof(int), 3, &key, compare_ints, nullptr));
}

TEST(Strings, CaseConversionTouchesAsciiLettersOnly) {
  char buf[32] = {};
  cu_strtolower3(buf, "ABC.Def.GHI");
  EXPECT_STREQ(buf, "abc.def.ghi");
  cu_strtoupper3(buf, "abc-Z\xe9");
  EXPECT_STREQ(buf, "ABC-Z\xe9");
  cu_strtoupper3(nullptr, "x");
  char in_place[] = "MiXeD 1";
  cu_strtolower2(in_place);
  EXPECT_STREQ(in_place, "mixed 1");
  cu_strtoupper2(in_place);
  EXPECT_STREQ(in_place, "MIXED 1");
  cu_strtolower2(nullptr);
  const char* original = "AbC";
  Owned low(cu_strtolower(original));
  Owned up(cu_strtoupper(original));
  EXPECT_EQ(low.str(), "abc");
  EXPECT_EQ(up.str(), "ABC");
  EXPECT_STREQ(original, "AbC");
  EXPECT_EQ(cu_strtolower(nullptr), nullptr);
  EXPECT_TRUE(cu_islower('a'));
  EXPECT_FALSE(cu_islower('A'));
  EXPECT_TRUE(cu_isupper('Z'));
  EXPECT_FALSE(cu_isupper(0xC9));
}

TEST(Strings, NewStrings) {
  EXPECT_EQ(Owned(cu_strdup("abc")).str(), "abc");
  EXPECT_EQ(cu_strdup(nullptr), nullptr);
  EXPECT_EQ(Owned(cu_strndup("abcdef", 3)).str(), "abc");
  EXPECT_EQ(Owned(cu_strndup("ab", 5)).str(), "ab");
  EXPECT_EQ(Owned(cu_strndup("ab", 0)).str(), "");
  EXPECT_EQ(cu_strndup("ab", -1), nullptr);
  EXPECT_EQ(Owned(cu_strdup2("a", "b")).str(), "ab");
  EXPECT_EQ(Owned(cu_strdup3("a", "", "c")).str(), "ac");
  EXPECT_EQ(Owned(cu_strdup4("a", "b", "c", "d")).str(), "abcd");
  EXPECT_EQ(Owned(cu_strdup5("a", "b", "c", "d", "e")).str(), "abcde");
  EXPECT_EQ(cu_strdup4("a", "b", nullptr, "d"), nullptr);
  Owned m(cu_memdup("a\0b", 3));
  ASSERT_NE(m.p, nullptr);
  EXPECT_EQ(std::string(m.p, 4), std::string("a\0b\0", 4));
  EXPECT_EQ(cu_memdup(nullptr, 1), nullptr);
  EXPECT_EQ(Owned(cu_strreverse("abcdef", 3)).str(), "cba");
  EXPECT_EQ(Owned(cu_strreverse("ab", 9)).str(), "ba");
  EXPECT_EQ(cu_strreverse("", 3), nullptr);
  EXPECT_EQ(cu_strreverse("ab", 0), nullptr);
}

TEST(Strings, FilenameFromPath) {
  EXPECT_EQ(Owned(cu_GetFilenameFromPath("..\\logs\\a.log")).str(), "a.log");
  EXPECT_EQ(Owned(cu_GetFilenameFromPath("a.log")).str(), "a.log");
  EXPECT_EQ(Owned(cu_GetFilenameFromPath("/var/x/b.txt")).str(), "b.txt");
  EXPECT_EQ(cu_GetFilenameFromPath("dir/"), nullptr);
  EXPECT_EQ(cu_GetFilenameFromPath(""), nullptr);
  EXPECT_EQ(cu_GetFilenameFromPath(nullptr), nullptr);
}

struct ReplaceCase {
  const char* text;
  int32_t pos, old_len;
  const char* repl;
  const char* expected;
};

const ReplaceCase kReplaces[] = {
    {"hello world", 6, 5, "there", "hello there"},
    {"hello world", 6, 5, "all", "hello all"},
    {"hello world", 0, 5, "goodbye", "goodbye world"},
    {"hello", 5, 0, "!", "hello!"},
    {"hello", 1, 3, "", "ho"},
    {"hello", 0, 0, nullptr, "hello"},
};

TEST(Strings, InPlaceSplicingTable) {
  for (const auto& c : kReplaces) {
    SCOPED_TRACE(c.expected);
    char buf[64] = {};
    strcpy(buf, c.text);
    cu_strreplace1(buf, c.pos, c.old_len, c.repl);
    EXPECT_STREQ(buf, c.expected);
    const std::string model = std::string(c.text).replace(c.pos, c.old_len, c.repl ? c.repl : "");
    char mem[64] = {};
    strcpy(mem, c.text);
    const int32_t len = static_cast<int32_t>(strlen(c.text));
    const int32_t rlen = c.repl ? static_cast<int32_t>(strlen(c.repl)) : 0;
    cu_memreplace(mem, len, c.pos, c.pos + c.old_len, c.repl, rlen);
    EXPECT_EQ(std::string(mem, model.size()), model);
  }
}

TEST(Strings, MemReplaceClampsItsRange) {
  char buf[32] = "abcdef";
  cu_memreplace(buf, 6, 4, 100, "XY", 2);  // end past the data
  EXPECT_EQ(std::string(buf, 6), "abcdXY");
  char buf2[32] = "abcdef";
  cu_memreplace(buf2, 6, 4, 2, "Z", 1);  // end before start: an insertion
  EXPECT_EQ(std::string(buf2), "abcdZef");
  char buf3[32] = "abc";
  cu_memreplace(buf3, 3, 50, 60, "!", 1);  // start past the data: an append
  EXPECT_EQ(std::string(buf3), "abc!");
}

TEST(Strings, NumberParsingSaturates) {
  EXPECT_EQ(cu_atoll("12abc"), 12);
  EXPECT_EQ(cu_atoll("99999999999999999999"), INT64_MAX);
  EXPECT_EQ(cu_atoll("-99999999999999999999"), INT64_MIN);
  EXPECT_EQ(cu_str_to_longlong("  -42"), -42);
  EXPECT_EQ(cu_atoll("x1"), 0);
  EXPECT_EQ(cu_atoll(nullptr), 0);
  EXPECT_EQ(cu_atol("2147483647"), INT32_MAX);
  EXPECT_EQ(cu_atol("2147483648"), INT32_MAX);
  EXPECT_EQ(cu_atol("-2147483649"), INT32_MIN);
  EXPECT_EQ(cu_atol("+17"), 17);
  char* end = nullptr;
  const char* text = " 0x1fz";
  EXPECT_EQ(cu_strtoll(text, &end, 16), 0x1f);
  EXPECT_EQ(end, text + 5);
  EXPECT_EQ(cu_strtol("ff", nullptr, 16), 255);
  EXPECT_EQ(cu_strtol("12", &end, 99), 0);
  EXPECT_EQ(cu_strtol("777777777777", nullptr, 8), INT32_MAX);
}

TEST(Strings, NumberFormatting) {
  char buf[80];
  EXPECT_STREQ(cu_lltostr(-1, buf, 16), "ffffffffffffffff");
  EXPECT_STREQ(cu_lltostr(-1, buf, 10), "-1");
  EXPECT_STREQ(cu_lltostr(INT64_MIN, buf, 10), "-9223372036854775808");
  EXPECT_STREQ(cu_lltostr(0, buf, 2), "0");
  EXPECT_STREQ(cu_lltostr(35, buf, 36), "z");
  EXPECT_STREQ(cu_ltostr(-1, buf, 16), "ffffffff");
  EXPECT_STREQ(cu_ltostr(INT32_MIN, buf, 10), "-2147483648");
  EXPECT_STREQ(cu_ltostr(5, buf, 2), "101");
  EXPECT_STREQ(cu_longlong_to_str(1234567890123LL, buf), "1234567890123");
  EXPECT_EQ(cu_lltostr(5, buf, 1), nullptr);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(cu_lltostr(5, buf, 37), nullptr);
  EXPECT_EQ(cu_ltostr(5, buf, 0), nullptr);
  EXPECT_EQ(cu_lltostr(5, nullptr, 10), nullptr);
}

struct IpCase {
  const char* text;
  bool ok;
  uint32_t value;
};

const IpCase kIps[] = {
    {"1.2.3.4", true, 0x01020304},
    {"192.168.0.1", true, 0xC0A80001},
    {"255.255.255.255", true, 0xFFFFFFFF},
    {"1.2.3.4.", true, 0x01020304},
    {"1..3.4", true, 0x01000304},  // an empty group counts as 0
    {"1.2.3", false, 0},
    {"1.2.3.", false, 0},
    {"1.2.3.256", false, 0},
    {"1.2.3.4x", false, 0},
    {"1234.2.3.4", false, 0},
    {"1.2.3.1234", false, 0},
    {"a.2.3.4", false, 0},
    {"", false, 0},
};

TEST(Strings, DottedQuadTable) {
  for (const auto& c : kIps) {
    SCOPED_TRACE(c.text);
    uint32_t v = 0xdeadbeef;
    EXPECT_EQ(cu_IP_to_32bits(&v, c.text), c.ok);
    EXPECT_EQ(v, c.ok ? c.value : 0xdeadbeef);
  }
  EXPECT_FALSE(cu_IP_to_32bits(nullptr, nullptr));
}

TEST(Strings, Gb2312LeadAndTrailBytes) {
  EXPECT_TRUE(cu_isGB2312("\xb0\xa1"));
  EXPECT_TRUE(cu_isGB2312("\xa9\xff"));
  EXPECT_FALSE(cu_isGB2312("\xaa\xa1"));  // gap between the two lead ranges
  EXPECT_FALSE(cu_isGB2312("\xf8\xa1"));
  EXPECT_FALSE(cu_isGB2312("\xb0\x9f"));
  EXPECT_FALSE(cu_isGB2312("ab"));
  EXPECT_FALSE(cu_isGB2312(nullptr));
}

class FileHelpers : public ::testing::Test {
 protected:
  vor::test::TempDir temp_;
  std::filesystem::path dir_ = temp_.path();
  std::string path_ = temp_.file("f.bin");
};

TEST_F(FileHelpers, AppendReadAndDelete) {
  EXPECT_FALSE(cu_ISFileExists(path_.c_str()));
  EXPECT_TRUE(cu_AppendFile(path_.c_str(), "ab\0", 3));
  EXPECT_TRUE(cu_AppendFile(path_.c_str(), "cd", 2));
  EXPECT_TRUE(cu_AppendFile(path_.c_str(), nullptr, 5));  // nothing to write
  EXPECT_TRUE(cu_ISFileExists(path_.c_str()));
  EXPECT_TRUE(cu_ISFileExists(dir_.c_str()));
  char buf[16];
  EXPECT_EQ(cu_GetFileContent(path_.c_str(), buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), std::string("ab\0cd", 5));
  EXPECT_EQ(cu_GetFileContent(path_.c_str(), buf, 2), 2);
  char text[4];
  EXPECT_TRUE(cu_GetTextFileContent(path_.c_str(), text, 3));
  EXPECT_EQ(std::string(text, 3), std::string("ab\0", 3));
  memset(text, 'x', sizeof text);
  EXPECT_TRUE(cu_GetTextFileContent(path_.c_str(), text, 1));
  EXPECT_STREQ(text, "");
  memset(text, 'x', sizeof text);
  EXPECT_FALSE(cu_GetTextFileContent(path_.c_str(), text + 1, 0));  // writes nothing
  EXPECT_FALSE(cu_GetTextFileContent(path_.c_str(), text + 1, -5));
  EXPECT_EQ(text[0], 'x');
  EXPECT_EQ(cu_DeleteFile(path_.c_str()), 0);
  EXPECT_EQ(cu_DeleteFile(path_.c_str()), -1);
  EXPECT_EQ(cu_GetFileContent(path_.c_str(), buf, 4), -1);
  EXPECT_FALSE(cu_GetTextFileContent(path_.c_str(), text, 4));
  EXPECT_FALSE(cu_AppendFile((dir_ / "missing" / "x").c_str(), "a", 1));
}

TEST_F(FileHelpers, BackslashPathsNameTheSameFile) {
  const std::string windows = dir_.string() + "\\f.bin";
  EXPECT_TRUE(cu_AppendFile(windows.c_str(), "ab", 2));
  EXPECT_TRUE(cu_ISFileExists(path_.c_str()));
  EXPECT_TRUE(cu_ISFileExists(windows.c_str()));
  char buf[4];
  EXPECT_EQ(cu_GetFileContent(windows.c_str(), buf, sizeof buf), 2);
  char text[4];
  EXPECT_TRUE(cu_GetTextFileContent(windows.c_str(), text, sizeof text));
  EXPECT_STREQ(text, "ab");
  EXPECT_EQ(cu_DeleteFile(windows.c_str()), 0);
  EXPECT_FALSE(cu_ISFileExists(path_.c_str()));
}

// Feeds bytes through a pipe to the prompts' line reader; echo goes to a second pipe.
struct PromptRun {
  std::string result;
  std::string echo;
};

PromptRun run_prompt(const std::string& input, bool mask, int32_t max) {
  int in[2], out[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(in[1]);
  char buf[256];
  memset(buf, 'x', sizeof buf);
  cu_internal::tty_read_line(in[0], out[1], mask, buf, max);
  close(in[0]);
  close(out[1]);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  PromptRun run{buf, ""};
  char echo[1024];
  ssize_t n = read(out[0], echo, sizeof echo);
  if (n > 0) run.echo.assign(echo, static_cast<size_t>(n));
  close(out[0]);
  return run;
}

TEST(Prompts, LineReaderTable) {
  struct Case {
    std::string input;
    bool mask;
    int32_t max;
    const char* result;
    const char* echo;
  };
  const Case cases[] = {
      {"name   \n", false, 64, "name", ""},
      {"secret\r", true, 64, "secret", "******"},
      {"ab\bc\n", true, 64, "ac", "**\b \b*"},
      {"\x7f\x7fok\n", false, 64, "ok", ""},  // erase with nothing kept is ignored
      {"a\x01\x1b" "b\n", false, 64, "ab", ""},
      {"abc\x03zzz\n", false, 64, "abc", ""},  // Ctrl-C ends the input
      {"abcdef", false, 64, "abcdef", ""},     // EOF ends the input
      {"abcdef\n", false, 3, "abc", ""},
      {"abcdef\n", false, 0, "", ""},
      {std::string(300, 'z'), false, 1000, nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 20));
    const PromptRun run = run_prompt(c.input, c.mask, c.max);
    EXPECT_EQ(run.result, c.result ? std::string(c.result) : std::string(128, 'z'));
    EXPECT_EQ(run.echo, c.echo);
  }
}

// The real thing on a pseudo-terminal: no echo while typing, "*" per kept character, and the
// terminal's echo back on afterwards.
TEST(Prompts, PasswordOnATerminalIsMaskedAndEchoComesBack) {
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    char buf[129];
    const int32_t r = cu_TTY_GetPassword(buf, 64);
    termios t;
    tcgetattr(STDIN_FILENO, &t);
    printf("[%s|%d|%d]", buf, r, (t.c_lflag & ECHO) ? 1 : 0);
    fflush(stdout);
    _exit(0);
  }
  // Typed-ahead input would be dropped when the prompt switches modes: wait for the switch.
  EXPECT_TRUE(vor::test::wait_until([&] {
    termios t;
    return tcgetattr(master, &t) != 0 || !(t.c_lflag & ECHO);
  }));
  const std::string typed = "se\x7f" "cret\n";
  ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + vor::test::kPatience;
  while (seen.find(']') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char chunk[256];
    const ssize_t n = read(master, chunk, sizeof chunk);
    if (n <= 0) break;
    seen.append(chunk, static_cast<size_t>(n));
  }
  int status = 0;
  waitpid(child, &status, 0);
  close(master);
  EXPECT_EQ(seen, "Password:**\b \b****\r\n\r\n[scret|0|1]");
}

}  // namespace
