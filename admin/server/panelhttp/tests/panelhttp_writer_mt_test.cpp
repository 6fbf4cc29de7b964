// The connection writer against real connections, driven from the test thread and from the
// connection's own thread: a model of the bytes and the close, large replies, files that
// shrink under a download, hooks, notices and forced closes.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <random>
#include <string>

#include "panelhttp_harness.h"

namespace {

using panelhttp_test::Client;
using panelhttp_test::Server;
using vor::test::wait_until;

std::atomic<int64_t> g_last_sid{0};

uint8_t remember_sid(panelhttp_ctx*, int64_t sid, const char*, uint16_t) {
  g_last_sid = sid;
  return 1;
}

const vuved_module_desc kRecorder = {342, nullptr, nullptr, nullptr, nullptr, nullptr, remember_sid, nullptr, nullptr};

Server& server() { return Server::get({&kRecorder}); }

// A connection and its sid on the server.
struct Connection {
  Connection() {
    g_last_sid = 0;
    client = std::make_unique<Client>(server().port());
    wait_until([] { return g_last_sid.load() != 0; });
    sid = g_last_sid;
  }
  std::unique_ptr<Client> client;
  int64_t sid = 0;
};

// Runs fn on the connection's own thread and waits for it.
void on_owner_thread(int64_t sid, std::function<void()> fn) {
  vor_box* box = vor_bigbox_GetSlaveBox(vor::panelhttp::bigbox(), sid);
  ASSERT_NE(box, nullptr);
  std::promise<void> done;
  struct Job {
    std::function<void()>* fn;
    std::promise<void>* done;
  } job{&fn, &done};
  vor_box_AddInEvent(
      box, nullptr,
      [](vor_box*, const char*, void* a1, void*, void*, void*, void*, void*, void*, void*) {
        auto* j = static_cast<Job*>(a1);
        (*j->fn)();
        j->done->set_value();
      },
      &job, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  done.get_future().wait();
}

std::string pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (char& c : s) c = static_cast<char>('a' + rng() % 26);
  return s;
}

// Random writes, file ranges, delayed closes and take-backs, from both threads, against a
// model: the bytes in order, and whether a close stands at the end of the queue.
TEST(Writer, RandomOperationsMatchTheModelOfBytesAndClose) {
  const std::string file = pattern(300000, 7);
  const std::string path = server().www("model.bin");
  vor::test::write_file(path, file);
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Connection conn;
    std::string expected;
    bool close_last = false;
    for (int step = 0; step < 40; ++step) {
      const bool owner = rng() % 2;
      std::function<void()> op;
      switch (rng() % 5) {
        case 0:
        case 1: {
          const std::string bytes = pattern(1 + rng() % 60000, rng());
          expected += bytes;
          close_last = false;
          op = [&conn, bytes] { EXPECT_EQ(panelhttp_WriteJitter(conn.sid, bytes.data(), static_cast<int32_t>(bytes.size())), 1); };
          break;
        }
        case 2: {
          const uint32_t from = rng() % file.size(), to = from + rng() % (file.size() - from + 1);
          if (from < to) {
            expected += file.substr(from, to - from);
            close_last = false;
          }
          op = [&conn, path, from, to] { EXPECT_EQ(panelhttp_WriteFile(conn.sid, path.c_str(), from, to), 1); };
          break;
        }
        case 3:
          // Long enough that later output always comes before it fires.
          close_last = true;
          op = [&conn] { panelhttp_close(conn.sid, 60000); };
          break;
        default:
          close_last = false;
          op = [&conn] { panelhttp_unclose(conn.sid); };
      }
      if (owner) {
        on_owner_thread(conn.sid, op);
      } else {
        op();
      }
      if (rng() % 4 == 0) conn.client->drain_for(100);  // a slow peer now and then
    }
    if (rng() % 2) {
      panelhttp_close(conn.sid, 0);
      EXPECT_TRUE(conn.client->read_to_close());
      EXPECT_EQ(conn.client->received().size(), expected.size());
      EXPECT_TRUE(conn.client->received() == expected);
    } else {
      ASSERT_TRUE(conn.client->read_until([&](const std::string& r) { return r.size() >= expected.size(); }));
      EXPECT_TRUE(conn.client->received() == expected);
      EXPECT_FALSE(conn.client->closed());
      if (close_last) panelhttp_unclose(conn.sid);
      panelhttp_ForceClose(conn.sid);
      EXPECT_TRUE(conn.client->read_to_close());
    }
  }
}

// Reads until the peer closes, for as long as bytes keep coming: false only when the stream
// stalls. A long reply may take longer than one bounded wait on a loaded machine.
bool read_to_close_while_flowing(Client& client) {
  while (!client.closed()) {
    const size_t had = client.received().size();
    if (!client.read_until([had](const std::string& r) { return r.size() > had; })) return false;
  }
  return true;
}

// More than one memory task can hold (10,000 blocks of 4,096 bytes): every byte arrives.
TEST(Writer, HundredMegabyteReplyWrittenAtOnceArrivesWhole) {
  Connection conn;
  const std::string reply = pattern(100 * 1000 * 1000, 3);
  const int64_t sent_before = panelhttp_GetTotalSendBytes();
  ASSERT_EQ(panelhttp_WriteJitter(conn.sid, reply.data(), static_cast<int32_t>(reply.size())), 1);
  EXPECT_GT(panelhttp_GetCacheSize(), 0);  // the queued bytes are charged
  panelhttp_close(conn.sid, 0);
  EXPECT_TRUE(read_to_close_while_flowing(*conn.client));
  EXPECT_EQ(conn.client->received().size(), reply.size());
  EXPECT_TRUE(conn.client->received() == reply);
  EXPECT_GE(panelhttp_GetTotalSendBytes() - sent_before, static_cast<int64_t>(reply.size()));
}

// The peer was promised the whole range: a file shrunk under the download closes the kept
// connection instead of letting the next answer pass for the rest of this one.
TEST(Writer, FileTruncatedMidDownloadClosesTheKeptConnection) {
  Connection conn;
  const std::string path = server().www("shrinking.bin");
  const std::string file = pattern(8 * 1024 * 1024, 5);  // above max_fileblock: read from disk
  vor::test::write_file(path, file);
  ASSERT_EQ(panelhttp_WriteFile(conn.sid, path.c_str(), 0, static_cast<uint32_t>(file.size())), 1);
  panelhttp_close(conn.sid, 60000);
  ASSERT_TRUE(conn.client->read_until([](const std::string& r) { return r.size() >= 100000; }));
  ASSERT_EQ(truncate(path.c_str(), 200000), 0);
  EXPECT_TRUE(conn.client->read_to_close());
  EXPECT_LT(conn.client->received().size(), file.size());
  EXPECT_EQ(conn.client->received(), file.substr(0, conn.client->received().size()));
}

// A queue that cannot take more output closes the connection and says so, instead of
// dropping the output from the middle of a reply.
TEST(Writer, FullQueueRefusesAndClosesInsteadOfDropping) {
  Connection conn;
  const std::string path = server().www("range.bin");
  vor::test::write_file(path, pattern(1 << 20, 11));
  int accepted = 0;
  while (accepted < 100010 && panelhttp_WriteFile(conn.sid, path.c_str(), 0, 1 << 20) == 1) ++accepted;
  EXPECT_GE(accepted, 100000);
  EXPECT_LE(accepted, 100002);
  EXPECT_EQ(panelhttp_WriteJitter(conn.sid, "x", 1), 0);
  EXPECT_TRUE(wait_until([&] { return panelhttp_GetClient_BySid(conn.sid) == nullptr; }));
}

std::atomic<int> g_hooked{0};
uint8_t swallow(int64_t, const void*, int32_t len) {
  g_hooked += len;
  return 0;
}

TEST(Writer, HookThatTakesTheBytesKeepsThemOffTheSocket) {
  Connection conn;
  panelhttp_AddWriteHook(swallow);
  EXPECT_EQ(panelhttp_WriteJitter(conn.sid, "hidden", 6), 1);
  panelhttp_DelWriteHook(swallow);
  EXPECT_EQ(g_hooked.load(), 6);
  EXPECT_EQ(panelhttp_WriteJitter(conn.sid, "shown", 5), 1);
  ASSERT_TRUE(conn.client->read_until([](const std::string& r) { return r.size() >= 5; }));
  EXPECT_EQ(conn.client->received(), "shown");
}

std::atomic<int> g_notices{0};
void count_notice(panelhttp_ctx* ctx, int64_t sid, void* arg) {
  EXPECT_EQ(ctx, panelhttp_GetHandle());
  EXPECT_EQ(sid, *static_cast<int64_t*>(arg));
  ++g_notices;
  panelhttp_DelWritableNotice(sid);
}

TEST(Writer, NoticeRunsWhenTheQueueHasDrained) {
  Connection conn;
  panelhttp_AddWritableNotice(conn.sid, count_notice, &conn.sid);
  EXPECT_TRUE(wait_until([] { return g_notices.load() == 1; }));
  const std::string reply = pattern(5 * 1000 * 1000, 9);
  panelhttp_WriteJitter(conn.sid, reply.data(), static_cast<int32_t>(reply.size()));
  panelhttp_AddWritableNotice(conn.sid, count_notice, &conn.sid);
  ASSERT_TRUE(conn.client->read_until([&](const std::string& r) { return r.size() >= reply.size(); }));
  EXPECT_TRUE(wait_until([] { return g_notices.load() == 2; }));
}

#ifndef NDEBUG
// A hook may call back into the server or block: debug builds refuse to run one under the lock.
// The child is forked from the running server ("fast"), so it makes no runtime tree of its own.
TEST(WriterDeathTest, HookUnderTheServerLockAborts) {
  GTEST_FLAG_SET(death_test_style, "fast");
  Connection conn;
  EXPECT_DEATH(
      {
        panelhttp_AddWriteHook(swallow);
        vor::panelhttp::ServerLock lock;
        panelhttp_WriteJitter(conn.sid, "x", 1);
      },
      "server lock is held");
}
#endif

TEST(Writer, ForcedCloseRefusesLaterWritesAndCloses) {
  Connection conn;
  panelhttp_ForceClose(conn.sid);
  EXPECT_EQ(panelhttp_WriteJitter(conn.sid, "x", 1), 0);
  EXPECT_EQ(panelhttp_WriteFile(conn.sid, "/etc/hostname", 0, 1), 0);
  EXPECT_TRUE(conn.client->read_to_close());
  EXPECT_EQ(conn.client->received(), "");
  EXPECT_TRUE(wait_until([&] { return panelhttp_GetClient_BySid(conn.sid) == nullptr; }));
  EXPECT_EQ(panelhttp_WriteJitter(conn.sid, "x", 1), 0);  // gone
}

TEST(Writer, TrivialWritesAnswerTrueAndQueueNothing) {
  Connection conn;
  EXPECT_EQ(panelhttp_WriteJitter(conn.sid, nullptr, 5), 1);
  EXPECT_EQ(panelhttp_WriteJitter(conn.sid, "x", 0), 1);
  EXPECT_EQ(panelhttp_WriteFile(conn.sid, "/etc/hostname", 3, 3), 1);
  EXPECT_EQ(panelhttp_WriteFile(conn.sid, nullptr, 0, 3), 1);
  EXPECT_EQ(panelhttp_GetWritableLen(conn.sid), 0u);
  EXPECT_EQ(panelhttp_GetWritableLen(-5), 0u);
}

TEST(Writer, DelayedCloseStaysOpenUntilItFiresOrOutputTakesItBack) {
  Connection conn;
  panelhttp_WriteJitter(conn.sid, "a", 1);
  panelhttp_close(conn.sid, 200);
  panelhttp_WriteJitter(conn.sid, "b", 1);  // the close becomes output
  conn.client->drain_for(500);
  EXPECT_FALSE(conn.client->closed());
  EXPECT_EQ(conn.client->received(), "ab");
  panelhttp_close(conn.sid, 200);
  EXPECT_TRUE(conn.client->read_to_close());
}

}  // namespace
