#include "cu_util.h"
#include "cu_util_internal.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "vor_tempdir.h"

namespace {

std::string encode(const std::string& in) {
  std::string out((in.size() + 2) / 3 * 4 + 1, '?');
  const int32_t n = cu_base64_encode(out.data(), in.data(), static_cast<int32_t>(in.size()));
  EXPECT_EQ(n, static_cast<int32_t>(out.size() - 1));
  EXPECT_EQ(out.back(), '\0');
  out.pop_back();
  return out;
}

std::string decode(const std::string& in, int32_t size) {
  std::string out(static_cast<size_t>(size), '\0');
  const int32_t n = cu_base64_decode(out.data(), in.c_str(), size);
  EXPECT_GE(n, 0);
  out.resize(static_cast<size_t>(std::max(n, 0)));
  return out;
}

TEST(Base64, LastGroupIsPaddedAsInRfc4648) {
  EXPECT_EQ(encode("abc"), "YWJj");
  EXPECT_EQ(encode("ab"), "YWI=");
  EXPECT_EQ(encode("a"), "YQ==");
  EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(Base64, RefusesEmptyAndNullInput) {
  char buf[8];
  EXPECT_EQ(cu_base64_encode(buf, "a", 0), -1);
  EXPECT_EQ(cu_base64_encode(buf, "a", -3), -1);
  EXPECT_EQ(cu_base64_encode(nullptr, "a", 1), -1);
  EXPECT_EQ(cu_base64_encode(buf, nullptr, 1), -1);
  EXPECT_EQ(cu_base64_decode(buf, "YQ==", 0), -1);
  EXPECT_EQ(cu_base64_decode(nullptr, "YQ==", 4), -1);
  EXPECT_EQ(cu_base64_decode(buf, nullptr, 4), -1);
  char* out = nullptr;
  EXPECT_EQ(cu_base64_encode00(&out, "a", 0), -1);
  EXPECT_EQ(out, nullptr);
}

TEST(Base64, DecoderSkipsNoiseAndStopsAtTheDestinationSize) {
  EXPECT_EQ(decode("YW\r\nJj", 16), "abc");
  EXPECT_EQ(decode("YW\r\nJj", 2), "ab");
  EXPECT_EQ(decode(" Y W I = ", 16), "ab");
  EXPECT_EQ(decode("YWJjZ", 16), "abc");  // a trailing single character yields nothing
  EXPECT_EQ(decode("", 16), "");
}

// Cross-checks both directions against OpenSSL for every length up to 1000.
TEST(Base64, AgreesWithOpenSsl) {
  std::mt19937 rng(7);
  for (int len = 1; len <= 1000; ++len) {
    SCOPED_TRACE(len);
    std::string data(static_cast<size_t>(len), '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    std::vector<unsigned char> evp(static_cast<size_t>(len + 2) / 3 * 4 + 1);
    const int evp_len = EVP_EncodeBlock(evp.data(), reinterpret_cast<const unsigned char*>(data.data()), len);
    const std::string ours = encode(data);
    ASSERT_EQ(ours, std::string(reinterpret_cast<char*>(evp.data()), static_cast<size_t>(evp_len)));

    char* heap = nullptr;
    ASSERT_EQ(cu_base64_encode00(&heap, data.data(), len), evp_len);
    EXPECT_STREQ(heap, ours.c_str());
    free(heap);

    // EVP pads its decoding to whole groups of three: cut the padding off before comparing.
    std::vector<unsigned char> back(static_cast<size_t>(evp_len) / 4 * 3);
    int back_len = EVP_DecodeBlock(back.data(), evp.data(), evp_len);
    back_len -= static_cast<int>(std::count(ours.end() - 2, ours.end(), '='));
    ASSERT_EQ(std::string(reinterpret_cast<char*>(back.data()), static_cast<size_t>(back_len)), data);
    ASSERT_EQ(decode(ours, len + 8), data);
  }
}

TEST(Base64, ShortDestinationGetsOnlyWhatFits) {
  const std::string text = encode("0123456789");
  for (int32_t size = 1; size <= 10; ++size) {
    EXPECT_EQ(decode(text, size), std::string("0123456789", static_cast<size_t>(size)));
  }
}

struct TokCase {
  const char* text;
  const char* delims;
  std::vector<std::string> tokens;
};

TEST(Strtok, Table) {
  const TokCase cases[] = {
      {",a,,b,", ",", {"a", "b"}},
      {"a b\tc", " \t", {"a", "b", "c"}},
      {"", ",", {}},
      {",,,", ",", {}},
      {"abc", ",", {"abc"}},
      {"k=v;x=y", "=;", {"k", "v", "x", "y"}},
      {"abc", "", {"abc"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string buf = c.text;
    char* cursor = nullptr;
    std::vector<std::string> got;
    for (char* t = cu_strtok(buf.data(), c.delims, &cursor); t; t = cu_strtok(nullptr, c.delims, &cursor)) {
      got.emplace_back(t);
      ASSERT_LE(got.size(), 10u);
    }
    EXPECT_EQ(got, c.tokens);
    EXPECT_EQ(cu_strtok(nullptr, c.delims, &cursor), nullptr);  // stays at the end
  }
  char* cursor = nullptr;
  EXPECT_EQ(cu_strtok(nullptr, ",", &cursor), nullptr);
  char text[] = "a";
  EXPECT_EQ(cu_strtok(text, ",", nullptr), nullptr);
}

TEST(Strtok, ANewTextWithoutTokensDoesNotResumeTheOldOne) {
  char first[] = "a,b";
  char* cursor = nullptr;
  EXPECT_STREQ(cu_strtok(first, ",", &cursor), "a");
  char empty[] = ",,";
  EXPECT_EQ(cu_strtok(empty, ",", &cursor), nullptr);
  EXPECT_EQ(cu_strtok(nullptr, ",", &cursor), nullptr);
}

TEST(Strtok, TwoCursorsInterleave) {
  char a[] = "1,2,3";
  char b[] = "x y";
  char* ca = nullptr;
  char* cb = nullptr;
  EXPECT_STREQ(cu_strtok(a, ",", &ca), "1");
  EXPECT_STREQ(cu_strtok(b, " ", &cb), "x");
  EXPECT_STREQ(cu_strtok(nullptr, ",", &ca), "2");
  EXPECT_STREQ(cu_strtok(nullptr, " ", &cb), "y");
  EXPECT_STREQ(cu_strtok(nullptr, ",", &ca), "3");
  EXPECT_EQ(cu_strtok(nullptr, " ", &cb), nullptr);
}

TEST(RandomStr, AlphanumericOfTheAskedLength) {
  for (int32_t count : {0, 1, 16, 64, 1000}) {
    std::string buf(static_cast<size_t>(count) + 1, '#');
    cu_RandomStr(buf.data(), count);
    EXPECT_EQ(strlen(buf.c_str()), static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) ASSERT_TRUE(isalnum(static_cast<unsigned char>(buf[i]))) << buf;
  }
  char one = 'x';
  cu_RandomStr(&one, -5);
  EXPECT_EQ(one, '\0');
  cu_RandomStr(nullptr, 3);
}

TEST(RandomStr, CoversTheAlphabetAndDoesNotRepeat) {
  std::set<std::string> seen;
  std::set<char> chars;
  for (int i = 0; i < 200; ++i) {
    char buf[65];
    cu_RandomStr(buf, 64);
    seen.insert(buf);
    chars.insert(buf, buf + 64);
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_EQ(chars.size(), 62u);  // 12,800 draws leave no character out
}

TEST(RandomValue, StaysInRangeAndFollowsTheGenerator) {
  int32_t prev = cu_RandomValue();
  for (int i = 0; i < 1000; ++i) {
    const int32_t v = cu_RandomValue();
    ASSERT_GE(v, 0);
    // Each value is the previous state advanced once; only the top bit is unknown.
    const uint32_t a = static_cast<uint32_t>(prev) * 214013u + 2531011u;
    const uint32_t b = (static_cast<uint32_t>(prev) | 0x80000000u) * 214013u + 2531011u;
    ASSERT_TRUE(static_cast<int32_t>(a & 0x7fffffff) == v || static_cast<int32_t>(b & 0x7fffffff) == v);
    prev = v;
  }
}

TEST(Clocks, AgreeWithEachOther) {
  // Bracketed by readings taken before and after, so a descheduled thread cannot fail it.
  const int64_t before_ms = cu_GetTickCount();
  const int64_t t = cu_time();
  const int64_t ms = cu_GetTickCount();
  const int64_t us = cu_timenow();
  cu_timeval tv{};
  cu_gettimeofday(&tv);
  const int64_t after_ms = cu_GetTickCount();
  EXPECT_LE(before_ms, ms);
  EXPECT_LE(ms, after_ms);
  EXPECT_GE(t, before_ms / 1000);
  EXPECT_LE(t, after_ms / 1000);
  EXPECT_GE(us / 1000, before_ms);
  EXPECT_LE(us / 1000, after_ms);
  EXPECT_GE(tv.tv_sec, before_ms / 1000);
  EXPECT_LE(tv.tv_sec, after_ms / 1000);
  EXPECT_GE(tv.tv_usec, 0);
  EXPECT_LT(tv.tv_usec, 1000000);
  cu_gettimeofday(nullptr);
  static_assert(sizeof(cu_timeval::tv_sec) == 8, "seconds must outlive 2038");
}

TEST(Clocks, ConversionsPastTheYear2038) {
  const int64_t t = 4102444800;  // 2100-01-01 00:00:00 UTC
  struct tm tm {};
  ASSERT_EQ(cu_gmtime(&t, &tm), &tm);
  EXPECT_EQ(tm.tm_year + 1900, 2100);
  EXPECT_EQ(tm.tm_mon, 0);
  EXPECT_EQ(tm.tm_mday, 1);
  EXPECT_EQ(tm.tm_hour, 0);
  EXPECT_EQ(cu_localtime(&t, &tm), &tm);
  EXPECT_EQ(cu_localtime(nullptr, &tm), nullptr);
  EXPECT_EQ(cu_gmtime(&t, nullptr), nullptr);
}

TEST(Process, IdsAndMemoryFigures) {
  EXPECT_EQ(cu_GetThisPid(), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(cu_GetThisThreadId(), static_cast<uint32_t>(getpid()));  // the main thread
  uint64_t total = 0, avail = 0;
  ASSERT_TRUE(cu_GetPhyMemSize(&total, &avail));
  EXPECT_GT(total, 16u << 20);
  EXPECT_LE(avail, total);
  EXPECT_TRUE(cu_GetPhyMemSize(nullptr, nullptr));
  uint64_t peak = 0, current = 0;
  ASSERT_TRUE(cu_GetProcMemSize(&peak, &current));
  EXPECT_GT(current, 0u);
  EXPECT_GE(peak, current);
  EXPECT_TRUE(cu_GetProcMemSize(nullptr, nullptr));
}

TEST(Process, CgroupLimitIsTheSmallestOnThePathToTheRoot) {
  namespace fs = std::filesystem;
  vor::test::TempDir dir;
  const fs::path root = dir.path();
  fs::create_directories(root / "a" / "b" / "c");
  auto put = [](const fs::path& file, const std::string& text) { vor::test::write_file(file.string(), text); };
  const std::string proc = (root / "self_cgroup").string();
  put(proc, "1:name=systemd:/x\n0::/a/b/c\n");
  put(root / "memory.max", "max\n");
  EXPECT_EQ(cu_internal::cgroup_memory_limit(proc, root.string()), std::nullopt);  // "max" is no limit
  put(root / "a" / "memory.max", "2147483648\n");
  put(root / "a" / "b" / "c" / "memory.max", "max\n");
  EXPECT_EQ(cu_internal::cgroup_memory_limit(proc, root.string()), 2147483648u);
  put(root / "a" / "b" / "memory.max", "1073741824\n");
  EXPECT_EQ(cu_internal::cgroup_memory_limit(proc, root.string()), 1073741824u);
  put(proc, "4:memory:/a\n");  // no unified hierarchy line
  EXPECT_EQ(cu_internal::cgroup_memory_limit(proc, root.string()), std::nullopt);
  put(proc, "0::/\n");
  put(root / "memory.max", "4096\n");
  EXPECT_EQ(cu_internal::cgroup_memory_limit(proc, root.string()), 4096u);
  EXPECT_EQ(cu_internal::cgroup_memory_limit((root / "missing").string(), root.string()), std::nullopt);
}

TEST(Process, PidFile) {
  vor::test::TempDir dir;
  const std::string path = dir.file("x.pid");
  vor::test::write_file(path, "something much longer than a pid");
  ASSERT_TRUE(cu_WritePidFile(path.c_str()));
  EXPECT_EQ(vor::test::read_file(path), std::to_string(getpid()));
  EXPECT_FALSE(cu_WritePidFile(nullptr));
  EXPECT_FALSE(cu_WritePidFile("/nonexistent-dir/x.pid"));
  EXPECT_FALSE(std::filesystem::exists("/nonexistent-dir/x.pid"));
}

TEST(Process, SetDaemonPointsStandardDescriptorsAtDevNull) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!cu_SetDaemon()) _exit(2);
    char target[64] = {};
    for (int fd = 0; fd <= 2; ++fd) {
      const std::string link = "/proc/self/fd/" + std::to_string(fd);
      if (readlink(link.c_str(), target, sizeof target - 1) < 0 || strcmp(target, "/dev/null") != 0) _exit(3);
    }
    _exit(getsid(0) == getpid() ? 0 : 4);  // a new session led by the child
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Shm, ReadWriteSeekAndStates) {
  cu_shm* shm = cu_shm_malloc(8);
  ASSERT_NE(shm, nullptr);
  EXPECT_EQ(cu_shm_write(shm, "abcdef", 6), 6u);
  EXPECT_EQ(cu_shm_GetPos(shm), 6u);
  EXPECT_EQ(cu_shm_write(shm, "ghijk", 5), 2u);  // only up to the end
  EXPECT_EQ(cu_shm_GetPos(shm), 8u);
  EXPECT_EQ(cu_shm_write(shm, "z", 1), 0u);
  EXPECT_TRUE(cu_shm_seek(shm, 0, 2));
  char buf[16] = {};
  EXPECT_EQ(cu_shm_read(shm, buf, 100), 8u);
  EXPECT_STREQ(buf, "abcdefgh");
  EXPECT_TRUE(cu_shm_seek(shm, 3, 3));
  EXPECT_EQ(cu_shm_GetPos(shm), 5u);
  EXPECT_TRUE(cu_shm_seek(shm, 3, 1));
  EXPECT_EQ(cu_shm_GetPos(shm), 8u);
  EXPECT_FALSE(cu_shm_seek(shm, 1, 1));
  EXPECT_FALSE(cu_shm_seek(shm, 9, 3));  // larger than the size: position unchanged
  EXPECT_FALSE(cu_shm_seek(shm, 9, 2));
  EXPECT_FALSE(cu_shm_seek(shm, 0, 4));
  EXPECT_EQ(cu_shm_GetPos(shm), 8u);
  EXPECT_TRUE(cu_shm_seek(shm, 2, 2));
  EXPECT_FALSE(cu_shm_seek(shm, UINT32_MAX, 1));
  EXPECT_EQ(cu_shm_GetPos(shm), 2u);
  // A length that would wrap the position past 2^32 is cut at the end, not taken whole.
  EXPECT_EQ(cu_shm_write(shm, "0123456789", UINT32_MAX), 6u);
  EXPECT_EQ(cu_shm_read(shm, buf, UINT32_MAX), 0u);
  EXPECT_NE(cu_shm_BaseAddr(shm), nullptr);
  EXPECT_TRUE(cu_shm_detach(shm));
  EXPECT_FALSE(cu_shm_detach(shm));
  EXPECT_EQ(cu_shm_BaseAddr(shm), nullptr);
  EXPECT_EQ(cu_shm_write(shm, "a", 1), 0u);
  EXPECT_FALSE(cu_shm_seek(shm, 0, 2));
  EXPECT_TRUE(cu_shm_destroy(shm));  // also gives back the detached buffer (ASan checks)
  EXPECT_FALSE(cu_shm_destroy(shm));
  cu_shm_free(shm);
  cu_shm_free(nullptr);
}

TEST(Shm, RefusesSizeZero) {
  EXPECT_EQ(cu_shm_malloc(0), nullptr);
  cu_shm shm;
  EXPECT_FALSE(cu_shm_init_ex(&shm, "key", 0));
  EXPECT_EQ(shm.state, -1);
  EXPECT_FALSE(cu_shm_destroy(&shm));
  ASSERT_TRUE(cu_shm_init_ex(&shm, "ignored", 4));
  EXPECT_EQ(cu_shm_write(&shm, "abcd", 4), 4u);
  EXPECT_TRUE(cu_shm_destroy(&shm));
}

}  // namespace
