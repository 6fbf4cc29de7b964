// Clients reading one URL from memory while other threads store new versions of it, drop it as
// a successful unsafe request does, and update its head as an upstream 304 does: every answer a
// client gets is one whole version (its head and body agree). The memory table is a locked fake
// that keeps versions by tag as the memory cache does; the edge server's writes are captured per
// client.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reqgate.h"
#include "reqgate_internal.h"
#include "reqgate_test_util.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

constexpr int64_t kNow = 1700000000;
constexpr char kKey[] = "a.test/x";
constexpr int kReaders = 3;
constexpr int kReads = 400;
constexpr int64_t kRevalidator = 100;

struct Version {
  std::string head;
  std::string body;
  std::string tag;
  uint32_t expire;
};

// The memory table: one lock, versions named by a 16-character tag.
struct Table {
  std::mutex lock;
  std::map<std::string, Version> entries;
  int tags = 0;
  std::mutex out_lock;
  std::map<int64_t, std::string> out;  // what each client was sent
};
Table g;

std::string next_tag() {
  char tag[17];
  std::snprintf(tag, sizeof tag, "%016d", ++g.tags);
  return tag;
}

uint8_t table_check(const char* url, uint32_t* expire, char* tag) {
  std::lock_guard<std::mutex> hold(g.lock);
  const auto it = g.entries.find(url);
  if (it == g.entries.end()) return 0;
  if (expire) *expire = it->second.expire;
  if (tag) std::memcpy(tag, it->second.tag.c_str(), 17);
  return 1;
}

int32_t table_get(const char* url, const char* tag, char* head, uint32_t cap, uint32_t from, uint32_t to, void* body) {
  std::lock_guard<std::mutex> hold(g.lock);
  const auto it = g.entries.find(url);
  if (it == g.entries.end()) return -1;
  return read_stored(it->second.head, it->second.body, it->second.tag, tag, head, cap, from, to, body);
}

void table_set(uint32_t, const char* url, const char* head, cu_xjitter* body, uint32_t expire, uint8_t) {
  std::string bytes(cu_xjitter_GetLen(body), '\0');
  cu_xjitter_PeekDatax(body, bytes.data(), 0, bytes.size());
  cu_xjitter_empty(body);
  std::lock_guard<std::mutex> hold(g.lock);
  g.entries[url] = Version{head, bytes, next_tag(), expire};
}

uint8_t table_refresh(const char* url, uint32_t expire) {
  std::lock_guard<std::mutex> hold(g.lock);
  const auto it = g.entries.find(url);
  if (it == g.entries.end()) return 0;
  it->second.expire = expire;
  return 1;
}

uint8_t table_access(const char*, const char*) { return 1; }

void table_clean(const char* url) {
  std::lock_guard<std::mutex> hold(g.lock);
  g.entries.erase(url);
}

// Version n: its number in the head, a body only it has.
std::string body_of(int n) { return std::string(64, static_cast<char>('a' + n % 26)); }
std::string head_of_version(int n) {
  return "HTTP/1.1 200 OK\r\nContent-Length: 64\r\nContent-Type: application/octet-stream\r\nEtag: \"v" +
         std::to_string(n) + "\"\r\nX-Version: " + std::to_string(n) + "\r\nConnection: keep-alive\r\n\r\n";
}

void store_version(int n) {
  std::lock_guard<std::mutex> hold(g.lock);
  g.entries[kKey] = Version{head_of_version(n), body_of(n), next_tag(), kNow + 600};
}

std::string take_out(int64_t sid) {
  std::lock_guard<std::mutex> hold(g.out_lock);
  return std::exchange(g.out[sid], "");
}

// Empty when the answer is one whole version; else what is wrong with it.
std::string whole_version(const std::string& answer) {
  const size_t end = answer.find("\r\n\r\n");
  if (end == std::string::npos) return "no whole head: " + answer;
  const std::string head = answer.substr(0, end + 4);
  const std::string body = answer.substr(end + 4);
  Head parsed = make_head(head.substr(0, head.size() - 2));
  const std::string version = header(parsed.get(), "X-Version");
  if (version == "<none>") return "no version in " + head;
  if (body != body_of(std::stoi(version))) return "the body of another version under " + head;
  if (header(parsed.get(), "Content-Length") != "64") return "a length of another body in " + head;
  return {};
}

// A revalidated request's record, holding the upstream's 304.
std::unique_ptr<FilterRecord> revalidation(int round) {
  Head request = make_head("GET /x HTTP/1.1\r\nHost: a.test\r\nConnection: keep-alive");
  std::unique_ptr<FilterRecord> record(make_record(kRevalidator, request.get(), 5000 + round, kKey));
  set_cache_kind(*record, kPublic);
  record->decision.revalidating = 1;
  record->decision.strip_cookies = 1;
  record->expired = 1;
  const std::string answer = "HTTP/1.1 304 Not Modified\r\nCache-Control: max-age=60\r\nX-Round: " +
                             std::to_string(round) + "\r\n\r\n";
  http_parser_parse(record->response, answer.data(), static_cast<int32_t>(answer.size()));
  http_parser_buildIndex(record->response);
  return record;
}

uint32_t ignore_upstream(int64_t, const char*, uint32_t len) { return len; }

}  // namespace

extern "C" {
uint8_t edgeserv_WriteJitter(int64_t sid, const char* data, int32_t len) {
  std::lock_guard<std::mutex> hold(g.out_lock);
  g.out[sid].append(data, static_cast<size_t>(len));
  return 1;
}
void edgeserv_close(int64_t, uint32_t) {}
void edgeserv_TryFasterSafeClose(int64_t) {}
int64_t edgeserv_mytime(void) { return kNow; }
const char* edgeserv_XFlag(void) { return "node1"; }
uint8_t policydb_system_get_AddXCacheToHeader(void) { return 0; }
uint8_t policydb_system_get_IsHitCacheForRefresh(void) { return 1; }
uint8_t policydb_system_get_IsDiskCache(void) { return 0; }
}

namespace {

TEST(RevalidateThreads, EveryAnswerIsOneWholeVersionWhileCopiesChangeAndGo) {
  set_console_trace(false);
  for (int i = 0; i < 3; ++i) {
    memory_tables()[i] = MemoryTable{table_check, table_get, table_set, table_refresh, table_access, table_clean};
  }
  store_version(0);
  std::atomic<int> readers_left{kReaders};
  std::atomic<int> served{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      const int64_t sid = 10 + r;
      for (int i = 0; i < kReads; ++i) {
        Head request = make_head("GET /x HTTP/1.1\r\nHost: a.test\r\nConnection: keep-alive");
        HitOutputs out;
        const HitResult hit = memory_hit(sid, request.get(), kKey, kPublic, false, out);
        const std::string answer = take_out(sid);
        if (hit != HitResult::kServed) {
          EXPECT_TRUE(answer.empty()) << "bytes of an answer not served: " << answer;
          continue;
        }
        ++served;
        const std::string fault = whole_version(answer);
        EXPECT_EQ(fault, "");
      }
      --readers_left;
    });
  }
  threads.emplace_back([&] {
    for (int n = 1; readers_left > 0; ++n) store_version(n);
  });
  threads.emplace_back([&] {
    while (readers_left > 0) invalidate_url(kKey);
  });
  threads.emplace_back([&] {
    for (int round = 0; readers_left > 0; ++round) {
      auto record = revalidation(round);
      if (upstream_not_modified(*record, ignore_upstream)) {
        const std::string answer = take_out(kRevalidator);
        if (!answer.empty()) {
          EXPECT_EQ(whole_version(answer), "") << "the revalidated answer";
        }
      }
      cu_xjitter_empty(&record->body);
    }
  });
  for (std::thread& t : threads) t.join();
  std::printf("answers served whole: %d of %d\n", served.load(), kReaders * kReads);
}

}  // namespace
