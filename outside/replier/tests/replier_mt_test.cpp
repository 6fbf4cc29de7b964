#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "replier.h"
#include "replier_internal.h"
#include "replier_test_util.h"
#include "vor_wait.h"

namespace {

using replier_test::Bigbox;
using replier_test::Events;
using replier_test::open_upstream;
using replier_test::Origin;

constexpr int kWriters = 4;
constexpr int kRecords = 2000;

// "<writer>:<n>;" records: each write is one record, so every record must come back whole and
// each writer's records in their order, whichever threads write, pause and resume meanwhile.
std::string record(int writer, int n) { return std::to_string(writer) + ":" + std::to_string(n) + ";"; }

bool records_whole_and_in_order(const std::string& echoed, int* count) {
  std::map<int, int> next;
  size_t pos = 0;
  *count = 0;
  while (pos < echoed.size()) {
    size_t colon = echoed.find(':', pos), semi = echoed.find(';', pos);
    if (colon == std::string::npos || semi == std::string::npos || colon > semi) return false;
    int writer = std::stoi(echoed.substr(pos, colon - pos));
    int n = std::stoi(echoed.substr(colon + 1, semi - colon - 1));
    if (n != next[writer]++) return false;
    pos = semi + 1;
    ++*count;
  }
  return true;
}

TEST(ReplierThreaded, WritersOnAnyThreadKeepRecordsWholeAndInOrder) {
  Origin echo("echo");
  std::deque<Events> events;
  Bigbox box(2);
  ASSERT_TRUE(box.ready());
  std::vector<int64_t> ids;
  for (size_t i = 0; i < 4; ++i) {
    Events* ev = &events.emplace_back();
    ids.push_back(open_upstream(box, ev, echo.port(), nullptr, i % box.slaves()));
    ASSERT_GT(ids.back(), 0);
  }
  std::atomic<bool> stop{false};
  std::thread toggler([&] {  // pauses and resumes from outside the slaves: bytes read meanwhile are held
    for (int i = 0; !stop.load(); ++i) {
      int64_t id = ids[static_cast<size_t>(i) % ids.size()];
      replier_ExportSock_ForRead(id);
      std::this_thread::yield();
      replier_ImportSock_ForRead(id);
      replier_ImportSock_ForWrite(id);
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int n = 0; n < kRecords; ++n)
        for (int64_t id : ids) {
          std::string r = record(w, n);
          replier_write(id, r.data(), static_cast<int32_t>(r.size()));
        }
    });
  }
  for (auto& t : writers) t.join();
  stop = true;
  toggler.join();
  for (int64_t id : ids) replier_ImportSock_ForRead(id);
  for (size_t i = 0; i < ids.size(); ++i) {
    Events& ev = events[i];
    int count = 0;
    ASSERT_TRUE(vor::test::wait_until([&] {
      std::string echoed = ev.read(&Events::data);
      return records_whole_and_in_order(echoed, &count) && count == kWriters * kRecords;
    })) << "connection " << ids[i] << ": " << count << " records";
    EXPECT_EQ(ev.read(&Events::off_slave), 0);
    EXPECT_EQ(ev.read(&Events::connected), 1);
  }
  // Closed from the test thread while nothing is queued any more.
  for (size_t i = 0; i < ids.size(); ++i) {
    events[i].end();
    replier_close(ids[i]);
  }
  EXPECT_EQ(replier_internal::connections(), 0u);
  for (Events& ev : events) EXPECT_EQ(ev.read(&Events::after_end), 0);
}

}  // namespace
