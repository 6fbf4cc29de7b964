// The HTTP server on a thread-owned box, driven by curl, netcat and raw sockets on 127.0.0.1.
#include "http_net_test_util.h"
#include "vor_box.h"
#include "vor_http_internal.h"
#include "vor_http_server.h"
#include "vor_sem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace http_net_test;

struct Served {
  vor_box* box = nullptr;
  std::atomic<vor_http_server*> server{nullptr};
  std::mutex m;
  std::vector<std::string> targets;
  std::vector<std::string> bodies;
  std::atomic<int> accepts{0};
  std::atomic<int64_t> last_sid{0};
  std::atomic<int> closes{0};
  std::atomic<bool> adopt{true};
  std::atomic<bool> free_server_in_callback{false};

  size_t requests() {
    std::lock_guard<std::mutex> g(m);
    return targets.size();
  }
};

std::string drain(cu_jitter* q) {
  std::string out;
  char buf[4096];
  for (int32_t n; (n = cu_jitter_GetData(q, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  return out;
}

void on_request(vor_http_server* s, void* ud, int64_t sid, vor_http_table* t, cu_jitter* body) {
  auto* sv = static_cast<Served*>(ud);
  const std::string target = vor_http_table_GetRequest(t);
  const std::string text = drain(body);
  {
    std::lock_guard<std::mutex> g(sv->m);
    sv->targets.push_back(target);
    sv->bodies.push_back(text);
  }
  const std::string answer = "got " + target + " " + text;
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) + "\r\n\r\n" + answer;
  vor_box_TcpWrite(sv->box, sid, response.data(), static_cast<int32_t>(response.size()));
  if (sv->free_server_in_callback) {
    vor_http_server_free(s);
    sv->server = nullptr;
  }
}

void on_close(vor_http_server* s, void* ud, int64_t sid) {
  static_cast<Served*>(ud)->closes.fetch_add(1);
  vor_http_server_DeleteClient(s, sid);
}

void on_accept(vor_http_server* s, void* ud, int64_t sid, const char*, uint16_t) {
  auto* sv = static_cast<Served*>(ud);
  sv->last_sid = sid;
  sv->accepts.fetch_add(1);
  if (sv->adopt) vor_http_server_AcceptClient(s, sid, on_request, sv, on_close, sv);
}

class HttpServer : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(vor_sem_Setup());
    sv_.box = vorx_ThreadBox_create();
    ASSERT_NE(sv_.box, nullptr);
    sv_.server = vor_http_server_make();
    ASSERT_NE(sv_.server, nullptr);
    for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
      const uint16_t p = free_port();
      if (vor_http_server_attach(sv_.box, sv_.server, p, on_accept, &sv_)) port_ = p;
    }
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    vor_http_server_free(sv_.server.exchange(nullptr));
    vorx_ThreadBox_destroy(sv_.box);
    EXPECT_TRUE(wait_until([&] { return !vorx_box_IsValid(sv_.box); }));
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  Served sv_;
  uint16_t port_ = 0;
};

TEST_F(HttpServer, ServesCurlGetAndPost) {
  EXPECT_EQ(shell_output("curl -s --max-time 5 " + url("/hello")), "got /hello ");
  EXPECT_EQ(shell_output("curl -s --max-time 5 --data-binary 'a=1&b=2' " + url("/form")), "got /form a=1&b=2");
  std::lock_guard<std::mutex> g(sv_.m);
  ASSERT_EQ(sv_.bodies.size(), 2u);
  EXPECT_EQ(sv_.bodies[1], "a=1&b=2");
}

TEST_F(HttpServer, DeliversEveryPipelinedRequestOfOneRead) {
  const std::string out = shell_output("printf 'GET /a HTTP/1.1\\r\\nHost: x\\r\\n\\r\\nGET /b HTTP/1.1\\r\\nHost: x\\r\\n\\r\\n"
                              "POST /c HTTP/1.1\\r\\nContent-Length: 3\\r\\n\\r\\nxyz' | nc -q 1 -w 3 127.0.0.1 " +
                              std::to_string(port_));
  EXPECT_NE(out.find("got /a "), std::string::npos) << out;
  EXPECT_NE(out.find("got /b "), std::string::npos) << out;
  EXPECT_NE(out.find("got /c xyz"), std::string::npos) << out;
  EXPECT_EQ(sv_.requests(), 3u);
}

TEST_F(HttpServer, BodyInTwoPiecesIsDeliveredOnceComplete) {
  const int fd = connect_to(port_);
  ASSERT_GE(fd, 0);
  send_all(fd, "POST /p HTTP/1.1\r\nContent-Length: 6\r\n\r\nabc");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sv_.requests(), 0u);
  send_all(fd, "def");
  EXPECT_NE(read_until(fd, "abcdef").find("got /p abcdef"), std::string::npos);
  close(fd);
  std::lock_guard<std::mutex> g(sv_.m);
  EXPECT_EQ(sv_.bodies, std::vector<std::string>{"abcdef"});
}

TEST_F(HttpServer, IdleConnectionIsClosedAfterTheTimeOut) {
  vor::http_server::set_idle_timeout(sv_.server, 300);
  const int fd = connect_to(port_);
  ASSERT_GE(fd, 0);
  send_all(fd, "GET /slow HTTP/1.1\r\n");  // a head that never ends
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read_until_close(fd), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_TRUE(wait_until([&] { return sv_.closes.load() == 1; }));
  EXPECT_TRUE(wait_until([&] { return vor_http_server_NumClients(sv_.server) == 0; }));
  close(fd);
}

TEST_F(HttpServer, SmugglingRequestIsRefusedAndTheConnectionClosed) {
  const int fd = connect_to(port_);
  ASSERT_GE(fd, 0);
  send_all(fd, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nGET /x HTTP/1.1\r\n\r\n0\r\n\r\n");
  EXPECT_EQ(read_until_close(fd), "");
  close(fd);
  EXPECT_TRUE(wait_until([&] { return sv_.closes.load() == 1; }));
  EXPECT_EQ(sv_.requests(), 0u);
}

TEST_F(HttpServer, BytesOnAConnectionNeverAdoptedCloseIt) {
  sv_.adopt = false;
  const int fd = connect_to(port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(wait_until([&] { return sv_.accepts.load() == 1; }));
  send_all(fd, "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(read_until_close(fd), "");
  close(fd);
  EXPECT_EQ(vor_http_server_NumClients(sv_.server), 0);
}

TEST_F(HttpServer, CountsAdoptedClientsAndRefusesASecondRecord) {
  const int fd = connect_to(port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(wait_until([&] { return vor_http_server_NumClients(sv_.server) == 1; }));
  EXPECT_FALSE(vor_http_server_AcceptClient(sv_.server, sv_.last_sid, on_request, &sv_, on_close, &sv_));
  EXPECT_EQ(vor_http_server_NumClients(sv_.server), 1);
  send_all(fd, "GET /one HTTP/1.1\r\n\r\n");
  ASSERT_NE(read_until(fd, "got /one ").find("got /one "), std::string::npos);
  close(fd);
  EXPECT_TRUE(wait_until([&] { return vor_http_server_NumClients(sv_.server) == 0; }));
  EXPECT_FALSE(vor_http_server_AcceptClient(nullptr, 5, on_request, nullptr, on_close, nullptr));
}

TEST_F(HttpServer, RequestCallbackMayFreeTheServer) {
  sv_.free_server_in_callback = true;
  const int fd = connect_to(port_);
  ASSERT_GE(fd, 0);
  send_all(fd, "GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n");
  read_until_close(fd);
  close(fd);
  EXPECT_TRUE(wait_until([&] { return sv_.server == nullptr; }));
  EXPECT_EQ(sv_.requests(), 1u);
}

TEST_F(HttpServer, SecondAttachIsRefusedAndTheFirstListenerServesOn) {
  const uint16_t other = free_port();
  EXPECT_FALSE(vor_http_server_attach(sv_.box, sv_.server, other, on_accept, &sv_));
  const int fd = connect_to(other);
  if (fd >= 0) close(fd);
  EXPECT_LT(fd, 0) << "a second listener was opened";
  EXPECT_EQ(shell_output("curl -s --max-time 5 " + url("/still")), "got /still ");
}

TEST(HttpServerAttach, RefusesPortZeroAndMissingCallback) {
  ASSERT_TRUE(vor_sem_Setup());
  vor_box* box = vorx_ThreadBox_create();
  ASSERT_NE(box, nullptr);
  vor_http_server* s = vor_http_server_make();
  EXPECT_FALSE(vor_http_server_attach(box, s, 0, on_accept, nullptr));
  EXPECT_FALSE(vor_http_server_attach(box, s, free_port(), nullptr, nullptr));
  EXPECT_FALSE(vor_http_server_attach(nullptr, s, free_port(), on_accept, nullptr));
  vor_http_server_free(s);
  vor_http_server_free(s);  // stale: nothing
  EXPECT_EQ(vor_http_server_NumClients(s), 0);
  vorx_ThreadBox_destroy(box);
  EXPECT_TRUE(wait_until([&] { return !vorx_box_IsValid(box); }));
}

}  // namespace
