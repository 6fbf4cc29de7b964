// The HTTP client on a thread-owned box against python3's http.server and scripted origins on
// 127.0.0.1: chunked and close-delimited answers, stalls, forms, HEAD, and callbacks that free.
#include "http_net_test_util.h"
#include "cu_malloc.h"
#include "vor_box.h"
#include "vor_http_internal.h"
#include "vor_http_request.h"
#include "vor_sem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace http_net_test;

struct Fetch {
  std::mutex m;
  std::vector<int32_t> states;
  std::string body;
  int32_t status = 0;
  std::atomic<int> completes{0};
  std::atomic<int> failures{0};
  std::atomic<int> closes{0};
  std::atomic<int> calls{0};
  std::atomic<bool> free_in_callback{false};
  std::atomic<vor_http_request*> record{nullptr};

  std::string text() {
    std::lock_guard<std::mutex> g(m);
    return body;
  }
};

void on_response(void* ud, vor_box*, int64_t, const char* url, vor_http_table* head, cu_jitter* body,
                 int32_t state) {
  auto* f = static_cast<Fetch*>(ud);
  EXPECT_NE(url, nullptr);
  {
    std::lock_guard<std::mutex> g(f->m);
    f->states.push_back(state);
    f->status = vor_http_table_GetStatusValue(head);
    char buf[4096];
    for (int32_t n; (n = cu_jitter_GetData(body, buf, sizeof buf)) > 0;) f->body.append(buf, static_cast<size_t>(n));
  }
  f->calls.fetch_add(1);
  if (state == 13) f->completes.fetch_add(1);
  if (f->free_in_callback) vor_http_request_free(f->record.exchange(nullptr));
}

void on_failed(void* ud, vor_box*, int64_t) { static_cast<Fetch*>(ud)->failures.fetch_add(1); }
void on_close(void* ud, vor_box*, int64_t) { static_cast<Fetch*>(ud)->closes.fetch_add(1); }

class HttpClient : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(vor_sem_Setup());
    box_ = vorx_ThreadBox_create();
    ASSERT_NE(box_, nullptr);
    r_ = vor_http_request_make();
    ASSERT_NE(r_, nullptr);
    f_.record = r_;
  }
  void TearDown() override {
    vor_http_request_free(f_.record.exchange(nullptr));
    vorx_ThreadBox_destroy(box_);
    EXPECT_TRUE(wait_until([&] { return !vorx_box_IsValid(box_); }));
  }
  bool fetch(const std::string& url) {
    return vor_http_request_attach(box_, nullptr, r_, url.c_str(), nullptr, nullptr, on_failed, &f_, on_response,
                                   &f_, on_close, &f_);
  }
  static std::string local(uint16_t port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }

  vor_box* box_ = nullptr;
  vor_http_request* r_ = nullptr;
  Fetch f_;
};

// Reads a request head and the body its Content-Length announces.
std::string read_request(int fd) {
  std::string head = read_until(fd, "\r\n\r\n");
  const size_t at = head.find("Content-Length: ");
  if (at == std::string::npos) return head;
  size_t want = std::stoul(head.substr(at + 16));
  std::string body;
  char c;
  while (want-- > 0 && recv(fd, &c, 1, 0) == 1) body += c;
  return head + body;
}

TEST_F(HttpClient, FetchesAFileFromPythonHttpServer) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  std::string content;
  for (int i = 0; i < 20000; ++i) content += "line " + std::to_string(i) + "\n";
  write_file(dir.file("data.txt"), content);
  const uint16_t port = free_port();
  Child origin("exec python3 -m http.server " + std::to_string(port) + " --bind 127.0.0.1 --directory " + dir.path() +
               " >/dev/null 2>&1");
  ASSERT_TRUE(wait_until([&] {
    const int fd = connect_to(port);
    if (fd >= 0) close(fd);
    return fd >= 0;
  }));
  ASSERT_TRUE(fetch(local(port, "/data.txt")));
  EXPECT_TRUE(wait_until([&] { return f_.completes.load() == 1; }));
  EXPECT_EQ(f_.text(), content);
  EXPECT_EQ(f_.status, 200);
  EXPECT_EQ(f_.failures.load(), 0);
  origin.stop();
}

TEST_F(HttpClient, SendsHostWithPortAndCallerFieldsAndReadsAChunkedAnswer) {
  std::string request;
  ScriptedPeer origin([&](int fd) {
    request = read_request(fd);
    send_all(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=1\r\nhello\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    send_all(fd, "6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n");
    read_until_close(fd);
  });
  vor_http_request_SetField(r_, "User-Agent", "tester/1");
  vor_http_request_SetField(r_, "X-Extra", "yes");
  ASSERT_TRUE(fetch(local(origin.port(), "/p/a%20b?q=1")));
  ASSERT_TRUE(wait_until([&] { return f_.completes.load() == 1; }));
  EXPECT_EQ(f_.text(), "hello world");
  vor_http_request_free(f_.record.exchange(nullptr));
  ASSERT_TRUE(wait_until([&] { return !request.empty(); }));
  EXPECT_EQ(request.rfind("GET /p/a%20b?q=1 HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("Host: 127.0.0.1:" + std::to_string(origin.port()) + "\r\n"), std::string::npos);
  const size_t agent = request.find("User-Agent: tester/1\r\n");
  const size_t connection = request.find("Connection: Keep-Alive\r\n");
  const size_t extra = request.find("X-Extra: yes\r\n");
  ASSERT_NE(agent, std::string::npos);
  ASSERT_NE(extra, std::string::npos);
  EXPECT_LT(agent, connection);
  EXPECT_GT(extra, connection);
}

TEST_F(HttpClient, CloseDelimitedAnswerArrivesInPiecesThenTheCloseCallback) {
  ScriptedPeer origin([](int fd) {
    read_request(fd);
    send_all(fd, "HTTP/1.0 404 Not Found\r\n\r\npart1");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    send_all(fd, "part2");
  });
  ASSERT_TRUE(fetch(local(origin.port(), "/")));
  ASSERT_TRUE(wait_until([&] { return f_.closes.load() == 1; }));
  EXPECT_EQ(f_.text(), "part1part2");
  EXPECT_EQ(f_.completes.load(), 0);
  EXPECT_EQ(f_.failures.load(), 0);
  std::lock_guard<std::mutex> g(f_.m);
  EXPECT_EQ(f_.status, 404);
  for (int32_t s : f_.states) EXPECT_EQ(s, 12);
}

TEST_F(HttpClient, StalledOriginTimesOutBeforeAndAfterTheFirstByte) {
  for (const std::string first : {"", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"}) {
    SCOPED_TRACE(first);
    Fetch f;
    vor_http_request* r = vor_http_request_make();
    f.record = r;
    ScriptedPeer origin([&](int fd) {
      read_request(fd);
      send_all(fd, first);
      read_until_close(fd);  // until the client gives up (bounded by the socket time-out)
    });
    vor::http_request::set_timeout(r, 200);
    ASSERT_TRUE(vor_http_request_attach(box_, nullptr, r, local(origin.port(), "/").c_str(), nullptr, nullptr,
                                        on_failed, &f, on_response, &f, on_close, &f));
    EXPECT_TRUE(wait_until([&] { return f.failures.load() == 1; }, std::chrono::milliseconds(3000)));
    EXPECT_EQ(f.completes.load(), 0);
    vor_http_request_free(f.record.exchange(nullptr));
  }
}

TEST_F(HttpClient, PostsFormParametersWithTheirLength) {
  std::string request;
  ScriptedPeer origin([&](int fd) {
    request = read_request(fd);
    send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    read_until_close(fd);
  });
  vor_http_request_SetMethod(r_, "POST");
  vor_http_request_SetForm(r_, "a", "1 2");
  vor_http_request_SetForm(r_, "b", "x");
  ASSERT_TRUE(fetch(local(origin.port(), "/form")));
  ASSERT_TRUE(wait_until([&] { return f_.completes.load() == 1; }));
  vor_http_request_free(f_.record.exchange(nullptr));
  ASSERT_TRUE(wait_until([&] { return !request.empty(); }));
  EXPECT_NE(request.find("Content-Type: application/x-www-form-urlencoded\r\n"), std::string::npos) << request;
  const size_t end = request.find("\r\n\r\n") + 4;
  const std::string form = request.substr(end);
  EXPECT_NE(request.find("Content-Length: " + std::to_string(form.size()) + "\r\n"), std::string::npos);
  EXPECT_EQ(form.rfind("a=", 0), 0u) << form;
}

TEST_F(HttpClient, AnswerToHeadEndsWithItsHead) {
  ScriptedPeer origin([](int fd) {
    read_request(fd);
    send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
    read_until_close(fd);
  });
  vor_http_request_SetMethod(r_, "HEAD");
  ASSERT_TRUE(fetch(local(origin.port(), "/")));
  ASSERT_TRUE(wait_until([&] { return f_.completes.load() == 1; }));
  EXPECT_EQ(f_.text(), "");
  vor_http_request_free(f_.record.exchange(nullptr));
}

TEST_F(HttpClient, ResponseCallbackMayFreeTheRecord) {
  ScriptedPeer origin([](int fd) {
    read_request(fd);
    send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    send_all(fd, "defghij");
    read_until_close(fd);
  });
  f_.free_in_callback = true;
  ASSERT_TRUE(fetch(local(origin.port(), "/")));
  ASSERT_TRUE(wait_until([&] { return f_.record.load() == nullptr; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(f_.calls.load(), 1);
}

TEST_F(HttpClient, SecondAttachIsRefusedAndTheFirstRequestGoesOn) {
  ScriptedPeer origin([](int fd) {
    read_request(fd);
    send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    read_until_close(fd);
  });
  ASSERT_TRUE(fetch(local(origin.port(), "/")));
  ASSERT_FALSE(fetch(local(free_port(), "/again")));
  EXPECT_EQ(vor_http_request_GetBox(r_), box_);  // still live: the caller frees it
  ASSERT_TRUE(wait_until([&] { return f_.completes.load() == 1; }));
  EXPECT_EQ(f_.text(), "ok");
  EXPECT_EQ(f_.failures.load(), 0);
  vor_http_request_free(f_.record.exchange(nullptr));
}

TEST_F(HttpClient, RefusesOtherSchemesAndFreesTheRecord) {
  testing::internal::CaptureStdout();
  EXPECT_FALSE(fetch("https://127.0.0.1/"));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("error: url(https://127.0.0.1/) error 5!\n"), std::string::npos) << out;
  EXPECT_EQ(vor_http_request_GetBox(r_), nullptr);  // freed: a stale record answers NULL
  f_.record = nullptr;
  EXPECT_FALSE(vor_http_request_attach(nullptr, nullptr, nullptr, "http://h/", nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr));
}

TEST_F(HttpClient, UrlWithoutSchemeIsTakenAsHttp) {
  ASSERT_TRUE(fetch("127.0.0.1/x?y=1"));
  char* url = vor_http_request_GetUrl(r_);
  ASSERT_NE(url, nullptr);
  EXPECT_EQ(std::string(url), "http://127.0.0.1/x?y=1");
  _cu_free(url, "test", __LINE__);
  vor_uri* copy = vor_http_request_GetUri(r_);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(vor_uri_GetPort(copy), 80);
  EXPECT_STREQ(vor_uri_GetPath(vor_http_request_GetUri_in(r_)), "/x");
  vor_uri_free(copy);
  EXPECT_EQ(vor_http_request_GetBox(r_), box_);
}

}  // namespace
