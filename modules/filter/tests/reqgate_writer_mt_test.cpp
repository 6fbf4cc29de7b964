// Cache writers against a model: random begins, appends, finishes and aborts on four slave
// threads and the test thread (one key on two disks, one path twice, appends from other threads
// and after a failed write, refused finish events and cancels). Once everything has ended, each
// finished key has exactly its cleaned heads and body and a record the sqlite3 tool reads back,
// other keys neither; the tables are empty, the registry and the pools back at their baseline.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "reqgate_test_util.h"
#include "reqgate_writer_test_util.h"

namespace {

using namespace vor::reqgate;
using vor::reqgate::test::make_head;
using vor::reqgate::test::Writers;

constexpr char kRequest[] = "GET /k HTTP/1.1\r\nHost: m.test\r\nCookie: c=1\r\nUser-Agent: t\r\n";
constexpr char kResponse[] = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nAge: 1\r\n";
constexpr char kStoredHeads[] =
    "GET /k HTTP/1.1\r\nHost: m.test\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: keep-alive\r\n\r\n";

std::atomic<bool> g_fail_next_write{false};
std::atomic<bool> g_refuse_owner_ops{false};
bool failing_write(const vor_afile* op, uint8_t ssd) {
  if (!g_fail_next_write.exchange(false)) return vor_afile_writex(op, ssd);
  vor_afile done = *op;
  done.result = -1;
  done.error = EIO;
  done.callback(&done, done.ud, done.a1, done.a2, done.a3, done.a4);
  return true;
}
bool refusing_event(const vor_afile* op, uint8_t ssd) { return !g_refuse_owner_ops && vor_afile_eventx(op, ssd); }
bool refusing_cancel(const vor_afile* op, uint8_t ssd) { return !g_refuse_owner_ops && vor_afile_cancelx(op, ssd); }

enum class State { kUnused, kActive, kFinished, kDropped };
struct Key {
  std::string key;
  uint8_t kind = kPublic;
  State state = State::kUnused;
  int owner = -1;
  uint32_t disk = 0;
  bool failed = false;
  std::string body;
};

class WriterModel : public Writers {
 protected:
  std::string path(const Key& k) const { return path_of(k.kind, k.disk, k.key); }

  // Runs op on box n (-1: the test thread).
  template <class Fn>
  auto on(int n, Fn fn) -> decltype(fn()) {
    return n < 0 ? fn() : on_box(n, fn);
  }

  void begin(Key& k, int box, uint32_t disk_no) {
    if (k.state == State::kFinished || k.state == State::kDropped) return;  // each key is written once
    const std::string at = path_of(k.kind, disk_no, k.key);
    const bool got = on(box, [&] {
      auto request = make_head(kRequest);
      auto response = make_head(kResponse);
      return writer_begin({k.kind, false, 60, disk_no, k.key, at}, request.get(), response.get());
    });
    const bool want = k.state == State::kUnused && box >= 0;
    ASSERT_EQ(got, want) << k.key << " box " << box << " disk " << disk_no;
    if (!got) return;
    k.state = State::kActive;
    k.owner = box;
    k.disk = disk_no;
  }
  void append(Key& k, int box, const std::string& bytes, bool fail) {
    if (k.state == State::kUnused) return;
    const std::string at = path(k);
    const bool owner = k.state == State::kActive && box == k.owner;
    const bool got = on(box, [&] {
      if (fail && owner) g_fail_next_write = true;
      return writer_append(at.c_str(), bytes.data(), static_cast<int64_t>(bytes.size()));
    });
    g_fail_next_write = false;
    ASSERT_EQ(got, owner && !k.failed) << k.key << " box " << box << " state " << static_cast<int>(k.state) << " owner " << k.owner;
    if (!got) return;
    if (fail) k.failed = true;
    k.body += bytes;
  }
  void end(Key& k, int box, bool finish, bool refuse) {
    if (k.state == State::kUnused) return;
    const std::string at = path(k);
    g_refuse_owner_ops = refuse;
    on(box, [&] { finish ? writer_finish(at.c_str()) : writer_abort(at.c_str()); });
    g_refuse_owner_ops = false;
    if (k.state != State::kActive || box != k.owner) return;
    k.state = finish && !refuse && !k.failed ? State::kFinished : State::kDropped;
  }
  void check(const Key& k) {
    std::string record;
    const bool indexed = vor::reqgate::test::stored(k.kind, file_name(k.key), &record);
    const std::string at = path_of(k.kind, k.disk, k.key);
    if (k.state != State::kFinished) {
      EXPECT_FALSE(indexed) << k.key;
      EXPECT_FALSE(vor::test::exists(at)) << k.key;
      return;
    }
    ASSERT_TRUE(indexed) << k.key;
    EXPECT_EQ(vor::test::read_file(at), kStoredHeads + k.body) << k.key;
    EXPECT_EQ(index_hex(record.c_str(), "cl", UINT64_MAX), k.body.size()) << k.key;
    EXPECT_EQ(index_hex(record.c_str(), "dn", 9), k.disk) << k.key;
  }
};

TEST_F(WriterModel, RandomRunsOnFourSlaveThreadsLeaveExactlyTheFinishedFiles) {
  const unsigned seed = 20261211;
  std::mt19937 rng(seed);
  file_calls() = {failing_write, refusing_event, refusing_cancel};
  std::vector<Key> keys;
  for (int i = 0; i < 24; ++i) {
    Key k;
    k.key = "m.test/k" + std::to_string(i);
    k.kind = static_cast<uint8_t>(kPublic + i % 3);
    keys.push_back(k);
  }
  const auto any_box = [&] { return rng() % 20 == 0 ? -1 : static_cast<int>(rng() % 4); };
  for (int step = 0; step < 1500 && !HasFatalFailure(); ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    Key& k = keys[rng() % keys.size()];
    const unsigned roll = rng() % 100;
    const int box = roll % 3 == 0 ? any_box() : (k.owner >= 0 ? k.owner : any_box());
    if (roll < 15) {
      begin(k, box, static_cast<uint32_t>(rng() % 2));
    } else if (roll < 85) {
      const std::string bytes(1 + rng() % 30000, static_cast<char>('a' + step % 26));
      append(k, box, bytes, rng() % 25 == 0);
    } else if (roll < 95) {
      end(k, box, true, rng() % 10 == 0);
    } else {
      end(k, box, false, rng() % 10 == 0);
    }
  }
  for (Key& k : keys) {
    if (k.state == State::kActive) end(k, k.owner, true, false);
  }
  quiesce();
  for (const Key& k : keys) check(k);
  EXPECT_EQ(disk_pools_in_use(), 0u);
  // What the stores hold is what the sqlite3 tool reads once the module has ended (each store
  // keeps its placeholder record besides).
  size_t finished[5] = {};
  for (const Key& k : keys) finished[k.kind] += k.state == State::kFinished ? 1 : 0;
  stop();
  EXPECT_EQ(cli_count("public.idx2"), std::to_string(finished[kPublic] + 1) + "\n");
  EXPECT_EQ(cli_count("member.idx2"), std::to_string(finished[kMember] + 1) + "\n");
  EXPECT_EQ(cli_count("visitor.idx2"), std::to_string(finished[kVisitor] + 1) + "\n");
}

}  // namespace
