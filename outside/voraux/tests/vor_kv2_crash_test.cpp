// A writer killed with SIGKILL at a random moment loses nothing it acknowledged: the child
// (this program again, running only ChildWriter) reports each put once it returned true.
#include "vor_kv2.h"

#include "kv_test_util.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

namespace {

using vor::test::kv_get;
using vor::test::kv_key;
using vor::test::kv_put;
using vor::test::kv_value;

constexpr char kStoreEnv[] = "VOR_KV2_CRASH_STORE";
constexpr char kAckFdEnv[] = "VOR_KV2_CRASH_ACK_FD";
constexpr char kFirstEnv[] = "VOR_KV2_CRASH_FIRST";
constexpr uint64_t kKeys = 700;  // fewer keys than puts: records are rewritten too

// Step i of the writer: every 97th step first deletes one key, then key i % kKeys gets version i.
bool deletes(uint64_t i, uint64_t* key) {
  *key = (i * 7) % kKeys;
  return i % 97 == 0;
}

// The writer: runs the steps from the first one given, reporting each step once it returned,
// until killed (or 200,000 steps).
TEST(Kv2Crash, ChildWriter) {
  const char* store_path = std::getenv(kStoreEnv);
  const char* ack_fd = std::getenv(kAckFdEnv);
  const char* first = std::getenv(kFirstEnv);
  if (!store_path || !ack_fd || !first) GTEST_SKIP() << "runs as the child of AcknowledgedPutsSurviveSigkill";
  const int fd = std::atoi(ack_fd);
  vor_kv2* s = vor_kv2_open_ext(store_path, true, true, 218, 2, 1);
  ASSERT_NE(s, nullptr);
  const uint64_t from = std::strtoull(first, nullptr, 10);
  for (uint64_t i = from; i < from + 200000; ++i) {
    uint64_t gone;
    if (deletes(i, &gone)) vor_kv2_del(s, 0, kv_key(gone).data(), 32);
    ASSERT_TRUE(kv_put(s, kv_key(i % kKeys), kv_value(i % kKeys, i)));
    const std::string line = std::to_string(i) + "\n";
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
}

uint64_t version_of(const std::string& value) {
  const size_t at = value.find("&ver=");
  return at == std::string::npos ? 0 : std::strtoull(value.c_str() + at + 5, nullptr, 10);
}

TEST(Kv2Crash, AcknowledgedPutsSurviveSigkill) {
  vor::test::TempDir dir;
  const std::string path = dir.file("public.idx2");
  std::mt19937 rng(77);
  std::map<uint64_t, uint64_t> model;  // key -> version, after every acknowledged step
  uint64_t next_step = 0;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      setenv(kStoreEnv, path.c_str(), 1);
      setenv(kAckFdEnv, std::to_string(fds[1]).c_str(), 1);
      setenv(kFirstEnv, std::to_string(next_step).c_str(), 1);
      execl("/proc/self/exe", "child", "--gtest_filter=Kv2Crash.ChildWriter", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    // Read acknowledgements up to a random count, kill, then take what was already sent.
    const uint64_t kill_after = 200 + rng() % 3000;
    std::string acks;
    uint64_t lines = 0;
    char chunk[4096];
    ssize_t n;
    bool killed = false;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0) {
      acks.append(chunk, static_cast<size_t>(n));
      for (ssize_t i = 0; i < n; ++i) lines += chunk[i] == '\n';
      if (!killed && lines >= kill_after) {
        kill(child, SIGKILL);
        killed = true;
      }
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(killed) << "the writer ended before it was killed";
    ASSERT_TRUE(WIFSIGNALED(status));

    size_t from = 0;
    for (size_t nl; (nl = acks.find('\n', from)) != std::string::npos; from = nl + 1) {
      const uint64_t i = std::strtoull(acks.c_str() + from, nullptr, 10);
      ASSERT_EQ(i, next_step);
      uint64_t gone;
      if (deletes(i, &gone)) model.erase(gone);
      model[i % kKeys] = i;
      ++next_step;
    }
    // The one step in flight at the kill may or may not have committed, in part or whole.
    const uint64_t in_flight = next_step;
    uint64_t in_flight_delete = kKeys;
    if (!deletes(in_flight, &in_flight_delete)) in_flight_delete = kKeys;

    vor_kv2* s = vor_kv2_open_ext(path.c_str(), true, true, 218, 2, 1);
    ASSERT_NE(s, nullptr);
    for (uint64_t key = 0; key < kKeys; ++key) {
      std::string v;
      const bool found = kv_get(s, kv_key(key), &v);
      const uint64_t version = found ? version_of(v) : 0;
      const auto it = model.find(key);
      if (found && version == in_flight) continue;  // the step in flight committed its put
      if (!found && key == in_flight_delete) continue;  // or its delete
      if (it == model.end()) {
        EXPECT_FALSE(found) << "key " << key << " came back with version " << version;
      } else {
        EXPECT_TRUE(found) << "key " << key << " acknowledged at " << it->second << " is gone";
        EXPECT_EQ(version, it->second) << "key " << key;
      }
    }
    // Whatever the step in flight did is now part of the model.
    std::string v;
    if (in_flight_delete < kKeys && !kv_get(s, kv_key(in_flight_delete), &v)) model.erase(in_flight_delete);
    if (kv_get(s, kv_key(in_flight % kKeys), &v) && version_of(v) == in_flight) model[in_flight % kKeys] = in_flight;
    next_step = in_flight + 1;
    vor_kv2_close(s);
  }
}

}  // namespace
