// Output queue rules and canned pages read off the queue of a client record that no socket
// backs: everything written stays queued, so the tasks and bytes can be compared exactly.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include "edge_fixture.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

using edge::test::DetachedClient;
using edge::test::Edge;

const char kHost[] = "testhost";
const char kVia[] = "1.1 testhost (random:12345 Quorin/Zazudaza/3.7.9)";
constexpr int64_t kClock = 1700000000;  // 2023-11-14 22:13:20 UTC

std::string kinds(client_rec* rec) {
  edge::ClientLock lock(edgeserv_GetHandle(), rec->sid);
  return edge::queue_kinds(rec);
}

std::string bytes(client_rec* rec) {
  edge::ClientLock lock(edgeserv_GetHandle(), rec->sid);
  return edge::queued_bytes(rec);
}

class Queue : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    edge::set_clock(kClock);
    edge::set_identity(kHost, kVia);
  }
  Edge edge_{{}};
  vor::test::TempDir dir_;
};

TEST_F(Queue, EmptyOutputIsAcceptedAndUnknownSidsRefused) {
  DetachedClient c(edge_.ctx());
    const int64_t kSid = c.sid();
  EXPECT_EQ(edgeserv_WriteJitter(kSid, "x", 0), 1);
  EXPECT_EQ(edgeserv_WriteJitter(kSid, nullptr, 5), 1);
  EXPECT_EQ(kinds(c.rec()), "");
  EXPECT_EQ(edgeserv_WriteJitter((kSid | (77LL << 32)), "x", 1), 0);
  EXPECT_EQ(edgeserv_WriteFile((kSid | (77LL << 32)), nullptr, 0, 10), 1);
  EXPECT_EQ(edgeserv_GetWritableLen((kSid | (77LL << 32))), 0u);
}

TEST_F(Queue, CloseTasksAreTakenOverRemovedAndRedelayed) {
  DetachedClient c(edge_.ctx());
    const int64_t kSid = c.sid();
  const std::string path = dir_.file("f");
  vor::test::write_file(path, std::string(100, 'f'));
  ASSERT_EQ(edgeserv_WriteJitter(kSid, "abc", 3), 1);
  edgeserv_close(kSid, 6000);
  edgeserv_close(kSid, 2000);  // one close task with the second delay
  EXPECT_EQ(kinds(c.rec()), "13");
  ASSERT_EQ(edgeserv_WriteJitter(kSid, "de", 2), 1);  // takes the close task over
  EXPECT_EQ(kinds(c.rec()), "11");
  ASSERT_EQ(edgeserv_WriteFile(kSid, path.c_str(), 0, 100), 1);
  ASSERT_EQ(edgeserv_WriteJitter(kSid, "fgh", 3), 1);
  EXPECT_EQ(kinds(c.rec()), "1121");
  // A file task between two memory tasks counts 0, and so do the middle tasks.
  EXPECT_EQ(edgeserv_GetWritableLen(kSid), 6u);
  edgeserv_close(kSid, 0);
  edgeserv_unclose(kSid);  // only the tail close goes
  EXPECT_EQ(kinds(c.rec()), "1121");
  edgeserv_close(kSid, 0);
  ASSERT_EQ(edgeserv_WriteFile(kSid, path.c_str(), 5, 6), 1);  // a file range takes a close over too
  EXPECT_EQ(kinds(c.rec()), "11212");
  EXPECT_EQ(bytes(c.rec()), "abcdefgh");
  EXPECT_EQ(edgeserv_fnnodes(), 1);
}

TEST_F(Queue, WriteFileExOfAnEmptyRangeReleasesTheFile) {
  DetachedClient c(edge_.ctx());
    const int64_t kSid = c.sid();
  const std::string path = dir_.file("f");
  vor::test::write_file(path, "0123456789");
  cu_xfile* f = edgeserv_fopen_r(path.c_str(), nullptr);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(edgeserv_WriteFileEx(kSid, path.c_str(), f, 4, 4), 1);
  EXPECT_EQ(kinds(c.rec()), "");
  EXPECT_TRUE(vor::test::wait_until([] { return edgeserv_fnnodes() == 0; }));
  // A refused file range releases its file as well.
  EXPECT_EQ(edgeserv_WriteFile((kSid | (77LL << 32)), path.c_str(), 0, 4), 0);
  EXPECT_TRUE(vor::test::wait_until([] { return edgeserv_fnnodes() == 0; }));
}

// The task limit: a queue of 100,000 takes one more; at 100,001 output is refused, said on
// the console, answered 0, and the connection is cut so nothing follows the hole.
TEST_F(Queue, TheTaskAfterTheLimitIsRefusedAndTheConnectionCut) {
  edge::Settings s;
  s.display = true;
  edge::apply_settings(s);
  DetachedClient c(edge_.ctx(), 64);
  const int64_t kSid = c.sid();
  {
    edge::ClientLock lock(edge_.ctx(), kSid);
    for (int i = 0; i < 100000; ++i) ASSERT_TRUE(edge::push_empty_task(c.rec()));
  }
  ASSERT_EQ(edgeserv_WriteJitter(kSid, "a", 1), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(edgeserv_WriteJitter(kSid, "b", 1), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[quorin -> zazudaza] zazudaza -> __write_jitter2 -> tasks too much!\n"), std::string::npos);
  EXPECT_TRUE(vor::test::wait_until([&] { return c.gone(); }));
}

// Ended tasks go back to the arena: a thousand answers each followed by a close leave the
// connection's arena where it was.
TEST_F(Queue, EndedTasksGoBackToTheArena) {
  DetachedClient c(edge_.ctx());
    const int64_t kSid = c.sid();
  const uint64_t before = c.arena_used();
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(edgeserv_WriteJitter(kSid, "answer", 6), 1);
    edgeserv_close(kSid, 6000);
    edge::ClientLock lock(edge_.ctx(), kSid);
    edge::queue_release_all(c.rec());
  }
  EXPECT_EQ(c.arena_used(), before);
}

// A pool that runs dry mid-answer: the answer is refused and the connection cut.
TEST_F(Queue, ADryPoolCutsTheConnection) {
  cu_xmem* small = cu_xmem_init_ext(nullptr, 64 * 1024, 1, 0, nullptr, nullptr, nullptr);
  cu_xmem* normal = edge::xjitter_pool();
  edge::set_xjitter_pool(small);
  {
    DetachedClient c(edge_.ctx());
    const int64_t kSid = c.sid();
    const std::string big(256 * 1024, 'z');
    EXPECT_EQ(edgeserv_WriteJitter(kSid, big.data(), static_cast<int32_t>(big.size())), 0);
    EXPECT_TRUE(vor::test::wait_until([&] { return c.gone(); }));
  }
  edge::set_xjitter_pool(normal);
  cu_xmem_exit(small);
}

// A full task (8,192 blocks) gets a new task behind it instead of dropping the rest.
TEST_F(Queue, OutputPastOneTasksBlockCapGoesIntoANewTask) {
  DetachedClient c(edge_.ctx(), 64);
  const int64_t kSid = c.sid();
  std::string big(17 * 1024 * 1024, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  ASSERT_EQ(edgeserv_WriteJitter(kSid, big.data(), static_cast<int32_t>(big.size())), 1);
  EXPECT_EQ(kinds(c.rec()), "11");
  // The socket may still have taken a little at once; the queue holds the rest, in order.
  const std::string got = bytes(c.rec());
  ASSERT_GT(got.size(), 16u * 1024 * 1024);
  EXPECT_TRUE(got == big.substr(big.size() - got.size()));
}

// --- pages ------------------------------------------------------------------------------------

std::string body_of(const char* number_title, const char* number_text) {
  return std::string("<html>\r\n<head><title>") + number_title +
         "</title></head>\r\n<body bgcolor=\"white\">\r\n<center><h3>" + number_text +
         "</h3>\r\n<small>Server: testhost<br/>Date: 2023-11-14 22:13:20<br/></small><hr/>\r\n"
         "<small>Quorin/Zazudaza/3.7.9</small></center>\r\n</body>\r\n</html>";
}

std::string head_of(const char* status, bool content_type, bool no_cache, size_t length) {
  std::string h = status;
  if (content_type) h += "Content-Type: text/html\r\n";
  h += "Connection: close\r\n";
  if (no_cache) h += "X-NoCache: this\r\n";
  h += "Content-Length: " + std::to_string(length) + "\r\n";
  h += "Date: Tue, 14 Nov 2023 22:13:20 GMT\r\n";
  h += std::string("X-Via: ") + kVia + "\r\n\r\n";
  return h;
}

struct PageCase {
  void (*fn)(int64_t, const char*, const char*);
  const char* title;
  const char* text;
  const char* status;
  const char* want_title;
  const char* want_heading;
  bool content_type;
  bool no_cache;
};

const PageCase kPages[] = {
    {edgeserv_return200, nullptr, nullptr, "HTTP/1.1 200 OK\r\n", "Welcome To Quorin!", "Welcome To Quorin!", true, true},
    {edgeserv_return400, nullptr, nullptr, "HTTP/1.1 400 Bad Request\r\n", "400 Bad Request", "400 Bad Request", true,
     false},
    {edgeserv_return403, nullptr, "Forbidden - By WhiteList", "HTTP/1.1 403 Forbidden\r\n", "403 Forbidden",
     "403 Forbidden - By WhiteList", true, false},
    {edgeserv_return404, "T", nullptr, "HTTP/1.1 404 Not Found\r\n", "404 T", "404 Not Found", true, false},
    {edgeserv_return405, nullptr, nullptr, "HTTP/1.1 405 Method Not Allowed\r\n", "405 Method Not Allowed",
     "405 Method Not Allowed", true, false},
    {edgeserv_return408, nullptr, nullptr, "HTTP/1.1 408 Request Time-out\r\n", "408 Request Time-out",
     "408 Request Time-out", true, false},
    {edgeserv_return409, nullptr, nullptr, "HTTP/1.1 409 Conflict\r\n", "409 Conflict", "409 Conflict", true, false},
    {edgeserv_return500, nullptr, nullptr, "HTTP/1.1 500 Internal Server Error\r\n", "500 Internal Server Error",
     "500 Internal Server Error", true, false},
    {edgeserv_return502, nullptr, nullptr, "HTTP/1.1 502 Bad Gateway\r\n", "502 Bad Gateway", "502 Bad Gateway", true,
     false},
    {edgeserv_return503, nullptr, nullptr, "HTTP/1.1 503 Service Temporarily Unavailable\r\n",
     "503 Service Temporarily Unavailable", "503 Service Temporarily Unavailable", false, false},
};

TEST_F(Queue, EveryPageByteForByte) {
  for (const PageCase& p : kPages) {
    SCOPED_TRACE(p.status);
    DetachedClient c(edge_.ctx());
    const int64_t kSid = c.sid();
    p.fn(kSid, p.title, p.text);
    const std::string body = body_of(p.want_title, p.want_heading);
    EXPECT_EQ(bytes(c.rec()), head_of(p.status, p.content_type, p.no_cache, body.size()) + body);
    // One writer call: one memory task.
    EXPECT_EQ(kinds(c.rec()), "1");
  }
}

struct RedirectCase {
  bool permanent_setting;
  const char* location;
  const char* want_status;  // NULL: the 400 page
  const char* want_location;
};

const RedirectCase kRedirects[] = {
    {true, "example.com/a", "HTTP/1.1 301 Moved Permanently\r\n", "http://example.com/a"},
    {true, "/local", "HTTP/1.1 301 Moved Permanently\r\n", "/local"},
    {true, "./rel", "HTTP/1.1 301 Moved Permanently\r\n", "./rel"},
    {true, "HTTPS://x/", "HTTP/1.1 301 Moved Permanently\r\n", "HTTPS://x/"},
    {true, "Http://x/", "HTTP/1.1 301 Moved Permanently\r\n", "Http://x/"},
    {false, "x/y", "HTTP/1.1 302 Move Temporarily\r\n", "http://x/y"},
    {true, "/a\r\nSet-Cookie: s=1", nullptr, nullptr},
    {true, "/a\nX: y", nullptr, nullptr},
    {true, "/a\r", nullptr, nullptr},
    {false, "http://x/\r\n\r\n<html>", nullptr, nullptr},
};

TEST_F(Queue, RedirectLocationsAndTheirSplitRefusal) {
  for (const RedirectCase& r : kRedirects) {
    SCOPED_TRACE(r.location);
    edge::Settings s;
    s.redirect_301 = r.permanent_setting;
    edge::apply_settings(s);
    DetachedClient c(edge_.ctx());
    const int64_t kSid = c.sid();
    edgeserv_return30X(kSid, r.location);
    if (!r.want_status) {
      const std::string body = body_of("400 Bad Request", "400 Bad Request");
      EXPECT_EQ(bytes(c.rec()), head_of("HTTP/1.1 400 Bad Request\r\n", true, false, body.size()) + body);
      continue;
    }
    EXPECT_EQ(bytes(c.rec()), std::string(r.want_status) +
                                  "Content-Length: 0\r\nConnection: Keep-Alive\r\nX-NoCache: this\r\n"
                                  "Date: Tue, 14 Nov 2023 22:13:20 GMT\r\nLocation: " +
                                  r.want_location + "\r\nX-Via: " + kVia + "\r\n\r\n");
  }
}

TEST_F(Queue, PagesForUnknownSidsWriteNothing) {
  DetachedClient c(edge_.ctx());
    const int64_t kSid = c.sid();
  edgeserv_return404((kSid | (77LL << 32)), nullptr, nullptr);
  edgeserv_return301((kSid | (77LL << 32)), "/x");
  EXPECT_EQ(kinds(c.rec()), "");
  // Force-closed: refused until the record is gone, unknown after.
  edgeserv_ForceClose(kSid);
  edgeserv_return200(kSid, nullptr, nullptr);
  edgeserv_return302(kSid, "/x");
  EXPECT_EQ(edgeserv_WriteJitter(kSid, "x", 1), 0);
  EXPECT_EQ(edgeserv_GetWritableLen(kSid), 0u);
  EXPECT_TRUE(vor::test::wait_until([&] { return c.gone(); }));
}

}  // namespace
