// Output over real sockets: a sub-module that answers from a small route table (pages, memory
// answers, file ranges, the close paths), driven by curl, python3 and raw sockets on 127.0.0.1,
// and a model-based test of the writers against what the peer receives.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "edge_fixture.h"
#include "vor_box.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

using edge::test::Edge;
using vor::test::connect_blocking;
using vor::test::shell_output;
using vor::test::wait_until;

struct Counts {
  std::atomic<int> accepts{0};
  std::atomic<int> closes{0};
  std::atomic<int64_t> last_sid{0};
  std::mutex lock;
  std::map<int64_t, int> closes_by_sid;
};

Counts& counts() {
  static Counts c;
  return c;
}

uint8_t route_accept(edgeserv_ctx*, int64_t sid, const char*, uint16_t) {
  counts().accepts.fetch_add(1);
  counts().last_sid.store(sid);
  return 1;
}

void route_close(edgeserv_ctx*, int64_t sid) {
  std::lock_guard<std::mutex> g(counts().lock);
  ++counts().closes_by_sid[sid];
  counts().closes.fetch_add(1);
}

std::string query_value(const std::string& target, const std::string& key) {
  const size_t at = target.find(key + "=");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 1;
  return target.substr(from, target.find('&', from) - from);
}

void write_text(int64_t sid, const std::string& s) {
  edgeserv_WriteJitter(sid, s.data(), static_cast<int32_t>(s.size()));
}

std::string head_with_length(int64_t n) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n";
}

// Answers each complete request by its target, taking it over as the request handler does.
uint8_t route_read(edgeserv_ctx*, int64_t sid, const char*, int32_t, const char*, int32_t) {
  client_rec* rec = edgeserv_GetClient_BySid(sid);
  if (!rec || rec->state != EDGESERV_STATE_COMPLETE) return 1;
  rec->taken = 1;
  char buf[1024] = "";
  const std::string target = http_parser_GetRequest(rec->parser, buf, sizeof buf) ? buf : "";
  if (target.rfind("/page/", 0) == 0) {
    const int code = atoi(target.c_str() + 6);
    switch (code) {
      case 200: edgeserv_return200(sid, nullptr, nullptr); break;
      case 400: edgeserv_return400(sid, nullptr, nullptr); break;
      case 403: edgeserv_return403(sid, nullptr, "Forbidden - By WhiteList"); break;
      case 404: edgeserv_return404(sid, nullptr, nullptr); break;
      case 405: edgeserv_return405(sid, nullptr, nullptr); break;
      case 408: edgeserv_return408(sid, nullptr, nullptr); break;
      case 409: edgeserv_return409(sid, nullptr, nullptr); break;
      case 500: edgeserv_return500(sid, nullptr, nullptr); break;
      case 502: edgeserv_return502(sid, nullptr, nullptr); break;
      case 503: edgeserv_return503(sid, nullptr, nullptr); break;
      case 301: edgeserv_return301(sid, "/moved"); break;
      case 302: edgeserv_return302(sid, "example.com/x"); break;
    }
    edgeserv_close(sid, 6000);
    edgeserv_AnswerDone(sid);
  } else if (target.rfind("/file", 0) == 0) {
    const std::string name = query_value(target, "name");
    const int64_t from = atoll(query_value(target, "from").c_str());
    const int64_t to = atoll(query_value(target, "to").c_str());
    write_text(sid, head_with_length(to > from ? to - from : 0));
    if (query_value(target, "ssd") == "1")
      edgeserv_WriteFile_BySSD(sid, name.c_str(), from, to);
    else
      edgeserv_WriteFile(sid, name.c_str(), from, to);
    edgeserv_close(sid, 6000);
    edgeserv_AnswerDone(sid);
  } else if (target.rfind("/big/", 0) == 0) {
    const int64_t n = atoll(target.c_str() + 5);
    // A small send buffer keeps the kernel from taking the whole answer at once.
    const std::string sndbuf = query_value(target, "sndbuf");
    if (!sndbuf.empty()) cu_sock_set_send_buff(sid, atoi(sndbuf.c_str()));
    std::string answer = head_with_length(n) + std::string(static_cast<size_t>(n), 'b');
    write_text(sid, answer);
    const auto delay = static_cast<uint32_t>(atoi(query_value(target, "close").c_str()));
    edgeserv_close(sid, delay);
    if (delay > 0) edgeserv_AnswerDone(sid);
  } else if (target.rfind("/keep", 0) == 0) {
    write_text(sid, head_with_length(2) + "ok");
    const std::string text = query_value(target, "close");
    const uint32_t delay = text.empty() ? 6000 : static_cast<uint32_t>(atoi(text.c_str()));
    edgeserv_close(sid, delay);
    // A kept-alive answer is wholly queued: the next request may start.
    if (delay > 0) edgeserv_AnswerDone(sid);
  } else if (target == "/force") {
    write_text(sid, head_with_length(2) + "ok");
    edgeserv_ForceClose(sid);
  } else if (target == "/faster") {
    edgeserv_TryFasterSafeClose(sid);
  }
  return 1;
}

submodule_desc g_router = {371, "router", nullptr, nullptr, route_accept, route_close, route_read};

class Output : public ::testing::Test {
 protected:
  void SetUp() override {
    counts().accepts = 0;
    counts().closes = 0;
    std::lock_guard<std::mutex> g(counts().lock);
    counts().closes_by_sid.clear();
  }
  std::string url(const std::string& target) { return "http://127.0.0.1:" + std::to_string(edge_.port()) + target; }
  Edge edge_{{&g_router}};
  vor::test::TempDir dir_;
};

// Reads until the peer closes or wait_ms passes without bytes; *closed tells which.
std::string read_all(int fd, int wait_ms, bool* closed, size_t stop_at = SIZE_MAX) {
  std::string got;
  char b[65536];
  *closed = false;
  for (int i = 0; i < 1000000 && got.size() < stop_at; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) break;
    const ssize_t n = recv(fd, b, sizeof b, 0);
    if (n <= 0) {
      *closed = true;
      break;
    }
    got.append(b, static_cast<size_t>(n));
  }
  return got;
}

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// --- files ------------------------------------------------------------------------------------

TEST_F(Output, FileRangesThroughCurlArriveWhole) {
  const int64_t sizes[] = {0, 1, 8191, 8192, 8193, 262143, 262144, 262145, 100ll * 1024 * 1024};
  const cu_xmem* pool = edgeserv_GetFOPxmemHandle();
  const uint64_t pool_before = cu_xmem_used_space_size(const_cast<cu_xmem*>(pool));
  uint32_t seed = 1;
  for (int64_t size : sizes) {
    SCOPED_TRACE(size);
    const std::string path = dir_.file("f" + std::to_string(size));
    vor::test::write_file(path, random_bytes(static_cast<size_t>(size), seed++));
    const std::string want = shell_output("sha256sum < " + path);
    for (const char* ssd : {"0", "1"}) {
      const std::string got = shell_output("curl -s -m 120 '" + url("/file?name=" + path + "&from=0&to=" +
                                                                    std::to_string(size) + "&ssd=" + ssd) +
                                           "' | sha256sum");
      EXPECT_EQ(got, want) << "ssd " << ssd;
    }
  }
  // A range inside the file, and a slow reader.
  const std::string path = dir_.file("f262145");
  const std::string part = shell_output("tail -c +1001 " + path + " | head -c 200000 | sha256sum");
  EXPECT_EQ(shell_output("curl -s -m 120 --limit-rate 200k '" + url("/file?name=" + path + "&from=1000&to=201000") +
                         "' | sha256sum"),
            part);
  // from = to: an empty answer.
  EXPECT_EQ(shell_output("curl -s -m 20 -o /dev/null -w '%{http_code} %{size_download}' '" +
                         url("/file?name=" + path + "&from=5&to=5") + "'"),
            "200 0");
  EXPECT_TRUE(wait_until([] { return edgeserv_fnnodes() == 0; }));
  EXPECT_TRUE(wait_until([&] { return cu_xmem_used_space_size(const_cast<cu_xmem*>(pool)) == pool_before; }));
}

TEST_F(Output, AHundredParallelDownloads) {
  const std::string path = dir_.file("shared");
  vor::test::write_file(path, random_bytes(300000, 7));
  const std::string want = shell_output("sha256sum < " + path + " | cut -c1-64");
  const std::string script = "seq 100 | xargs -P 100 -I{} sh -c \"curl -s -m 120 '" +
                             url("/file?name=" + path + "&from=0&to=300000") +
                             "' | sha256sum | cut -c1-64\" | sort | uniq -c | sed 's/^ *//'";
  EXPECT_EQ(shell_output(script), "100 " + want);
  EXPECT_TRUE(wait_until([] { return edgeserv_fnnodes() == 0; }));
}

TEST_F(Output, AClientGoneWithAReadInFlightLeavesNothingBehind) {
  const std::string path = dir_.file("big");
  vor::test::write_file(path, random_bytes(20 * 1024 * 1024, 3));
  cu_xmem* pool = edgeserv_GetFOPxmemHandle();
  const uint64_t pool_before = cu_xmem_used_space_size(pool);
  for (int round = 0; round < 20; ++round) {
    const int fd = connect_blocking(edge_.port());
    const std::string req = "GET /file?name=" + path + "&from=0&to=20971520 HTTP/1.1\r\nHost: h\r\n\r\n";
    ASSERT_EQ(send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    bool closed = false;
    read_all(fd, 2000, &closed, 100000 + static_cast<size_t>(round) * 30000);
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
  }
  EXPECT_TRUE(wait_until([] { return edgeserv_GetNumOfConnections() == 0; }));
  EXPECT_TRUE(wait_until([] { return edgeserv_fnnodes() == 0; }));
  EXPECT_TRUE(wait_until([&] { return cu_xmem_used_space_size(pool) == pool_before; }));
  EXPECT_EQ(counts().closes.load(), 20);
}

// --- pages ------------------------------------------------------------------------------------

TEST_F(Output, PagesReadBackByCurl) {
  for (const char* code : {"200", "400", "403", "404", "405", "408", "409", "500", "502", "503"}) {
    SCOPED_TRACE(code);
    const std::string out = shell_output("curl -s -m 20 -D- '" + url(std::string("/page/") + code) + "'");
    const size_t split = out.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos) << out;
    const std::string head = out.substr(0, split + 2);
    const std::string body = out.substr(split + 4);
    EXPECT_EQ(head.rfind(std::string("HTTP/1.1 ") + code + " ", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find(std::string("X-Via: ") + edgeserv_XFlag() + "\r\n"), std::string::npos);
    EXPECT_EQ(body.substr(body.size() - 7), "</html>");
  }
  EXPECT_EQ(shell_output("curl -s -m 20 -o /dev/null -w '%{http_code} %{redirect_url}' '" + url("/page/302") + "'"),
            "302 http://example.com/x");
}

TEST(ViaToken, FormLengthAndStability) {
  edge::make_via_token();
  const std::string token = edgeserv_XFlag();
  EXPECT_TRUE(std::regex_match(token, std::regex(R"(1\.1 \S+ \(random:[0-9]+ Quorin/Zazudaza/3\.7\.9\))"))) << token;
  EXPECT_LE(token.size(), 131u);
  EXPECT_EQ(edgeserv_XFlag(), edgeserv_XFlag());
  EXPECT_EQ(token, edgeserv_XFlag());
}

// --- closing ----------------------------------------------------------------------------------

TEST_F(Output, CurlReusesAKeptConnection) {
  const std::string err = shell_output("curl -s -v -m 20 '" + url("/keep") + "' '" + url("/keep") + "' 2>&1 >/dev/null");
  EXPECT_NE(err.find("Re-using existing connection"), std::string::npos) << err;
  EXPECT_EQ(counts().accepts.load(), 1);
}

// The close paths, each through a raw client: how the connection ends and on_close once.
struct CloseCase {
  const char* name;
  const char* request;  // sent once the connection is up
  bool client_resets;   // the client ends it (peer close) after reading the answer
  int min_ms, max_ms;   // when the end must come, after the answer arrived
};

const CloseCase kCloses[] = {
    {"delayed", "GET /keep?close=600 HTTP/1.1\r\nHost: h\r\n\r\n", false, 300, 15000},
    {"keep-alive period", "GET /keep HTTP/1.1\r\nHost: h\r\n\r\n", false, 5500, 20000},
    {"behind output", "GET /big/3000000?close=0 HTTP/1.1\r\nHost: h\r\n\r\n", false, 0, 15000},
    {"forced", "GET /force HTTP/1.1\r\nHost: h\r\n\r\n", false, 0, 15000},
    {"faster", "GET /faster HTTP/1.1\r\nHost: h\r\n\r\n", false, 0, 15000},
    {"peer", "GET /keep HTTP/1.1\r\nHost: h\r\n\r\n", true, 0, 15000},
};

TEST_F(Output, EveryClosePathRunsOnCloseOnce) {
  for (const CloseCase& c : kCloses) {
    SCOPED_TRACE(c.name);
    const int before = counts().closes.load();
    const int fd = connect_blocking(edge_.port());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, c.request, strlen(c.request), 0), static_cast<ssize_t>(strlen(c.request)));
    const auto start = std::chrono::steady_clock::now();
    bool closed = false;
    const std::string got = read_all(fd, c.client_resets ? 500 : 20000, &closed);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (c.client_resets) {
      EXPECT_FALSE(closed);
      close(fd);
    } else {
      EXPECT_TRUE(closed);
      EXPECT_GE(ms, c.min_ms);
      EXPECT_LE(ms, c.max_ms);
      close(fd);
    }
    if (strstr(c.request, "/big/")) {
      EXPECT_EQ(got.size(), head_with_length(3000000).size() + 3000000);
    }
    EXPECT_TRUE(wait_until([&] { return counts().closes.load() == before + 1; }));
  }
  EXPECT_TRUE(wait_until([] { return edgeserv_GetNumOfConnections() == 0; }));
  std::lock_guard<std::mutex> g(counts().lock);
  for (const auto& [sid, n] : counts().closes_by_sid) EXPECT_EQ(n, 1) << sid;
}

TEST_F(Output, ANewRequestWhileTheAnswerIsQueuedIsAnsweredAfterItAndOneAfterTheDrainToo) {
  // After the drain: the second request is served on the same connection.
  {
    const int fd = connect_blocking(edge_.port());
    const std::string req = "GET /keep HTTP/1.1\r\nHost: h\r\n\r\n";
    bool closed = false;
    ASSERT_EQ(send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    EXPECT_EQ(read_all(fd, 20000, &closed, 40), head_with_length(2) + "ok");
    ASSERT_EQ(send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    EXPECT_EQ(read_all(fd, 20000, &closed, 40), head_with_length(2) + "ok");
    EXPECT_FALSE(closed);
    close(fd);
  }
  // While a large answer waits in the queue (the client does not read): the next answer follows
  // it whole, on the same connection.
  {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in to = vor::test::loopback(edge_.port());
    ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    const std::string first = "GET /big/5000000?close=30000 HTTP/1.1\r\nHost: h\r\n\r\n";
    ASSERT_EQ(send(fd, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
    ASSERT_TRUE(wait_until([] { return counts().accepts.load() >= 2; }));
    const int64_t sid = counts().last_sid.load();
    ASSERT_TRUE(wait_until([&] { return edgeserv_GetWritableLen(sid) > 0; }));
    const std::string second = "GET /keep HTTP/1.1\r\nHost: h\r\n\r\n";
    ASSERT_EQ(send(fd, second.data(), second.size(), 0), static_cast<ssize_t>(second.size()));
    bool closed = false;
    const std::string want = head_with_length(5000000) + std::string(5000000, 'b') + head_with_length(2) + "ok";
    const std::string got = read_all(fd, 20000, &closed, want.size());
    EXPECT_FALSE(closed);
    EXPECT_TRUE(got == want) << got.size() << " bytes, " << want.size() << " expected";
    close(fd);
    EXPECT_TRUE(wait_until([] { return counts().closes.load() == 2; }));
  }
}

// Requests in one write: answered in order; the answer that closes the connection is the last.
TEST_F(Output, PipelinedRequestsAreAnsweredInOrderUntilOneCloses) {
  const int fd = connect_blocking(edge_.port());
  const std::string reqs = "GET /keep HTTP/1.1\r\nHost: h\r\n\r\nGET /big/70000?close=6000 HTTP/1.1\r\n\r\n"
                           "GET /keep?close=0 HTTP/1.1\r\n\r\nGET /keep HTTP/1.1\r\n\r\n";
  ASSERT_EQ(send(fd, reqs.data(), reqs.size(), 0), static_cast<ssize_t>(reqs.size()));
  bool closed = false;
  const std::string ok = head_with_length(2) + "ok";
  const std::string want = ok + head_with_length(70000) + std::string(70000, 'b') + ok;
  const std::string got = read_all(fd, 20000, &closed);
  EXPECT_TRUE(got == want) << got.size() << " bytes, " << want.size() << " expected: " << got.substr(0, 300);
  EXPECT_TRUE(closed);
  close(fd);
}

// A client that resets while its answer is still queued: the pump's write error ends the
// connection, on_close once.
TEST_F(Output, AWriteErrorEndsTheConnectionOnce) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const sockaddr_in to = vor::test::loopback(edge_.port());
  ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  const std::string req = "GET /big/8000000?close=30000 HTTP/1.1\r\nHost: h\r\n\r\n";
  ASSERT_EQ(send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
  ASSERT_TRUE(wait_until([] { return counts().accepts.load() == 1; }));
  const int64_t sid = counts().last_sid.load();
  ASSERT_TRUE(wait_until([&] { return edgeserv_GetWritableLen(sid) > 0; }));
  bool closed = false;
  read_all(fd, 2000, &closed, 50000);
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
  EXPECT_TRUE(wait_until([] { return edgeserv_GetNumOfConnections() == 0; }));
  EXPECT_TRUE(wait_until([] { return counts().closes.load() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(counts().closes.load(), 1);
}

// With an idle limit of one second, a download at 1 MB/s is never swept: its bytes count as
// activity.
TEST(IdleSweepOutput, ASlowDownloadIsNeverSwept) {
  edge::Settings s;
  s.idle_limit = 1;
  Edge edge({&g_router}, s);
  edge::start_clock(edge.ctx());
  edge::start_idle_sweep(edge.ctx(), 1);
  vor::test::TempDir dir;
  const std::string path = dir.file("slow");
  vor::test::write_file(path, random_bytes(4 * 1024 * 1024, 5));
  // A reader taking 64 KB every 60 ms through a small receive buffer: about 1 MB/s.
  const std::string reader = R"PY(
import hashlib, socket, sys, time
port, target = int(sys.argv[1]), sys.argv[2]
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
s.connect(("127.0.0.1", port))
s.sendall(b"GET " + target.encode() + b" HTTP/1.1\r\nHost: h\r\n\r\n")
data = b""
start = time.time()
while time.time() - start < 60:
    part = s.recv(65536)
    if not part:
        break
    data += part
    if len(data) >= 4 * 1024 * 1024 + 100 and b"\r\n\r\n" in data:
        head, body = data.split(b"\r\n\r\n", 1)
        if len(body) >= 4 * 1024 * 1024:
            break
    time.sleep(0.06)
head, body = data.split(b"\r\n\r\n", 1)
print(hashlib.sha256(body).hexdigest(), "%.0f" % (time.time() - start))
)PY";
  vor::test::write_file(dir.file("reader.py"), reader);
  const std::string target = "/file?name=" + path + "&from=0&to=" + std::to_string(4 * 1024 * 1024);
  const std::string out =
      shell_output("python3 " + dir.file("reader.py") + " " + std::to_string(edge.port()) + " '" + target + "'");
  EXPECT_EQ(out.substr(0, 64), shell_output("sha256sum < " + path).substr(0, 64));
  EXPECT_GE(atoi(out.c_str() + 65), 2) << "the download took the time of a slow reader";
}

// 100,000 answers on one connection, each followed by a kept close: all answered (the arena
// would run out after about a thousand if ended tasks stayed in it).
TEST_F(Output, AHundredThousandAnswersOnOneConnection) {
  const int fd = connect_blocking(edge_.port());
  const std::string req = "GET /page/200 HTTP/1.1\r\nHost: h\r\n\r\n";
  std::string pending;
  char b[65536];
  int answered = 0;
  for (int i = 0; i < 100000; ++i) {
    ASSERT_EQ(send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    // One answer: head and the body of its Content-Length.
    for (int step = 0; step < 1000; ++step) {
      const size_t head_end = pending.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        const size_t cl = pending.find("Content-Length: ");
        const size_t len = static_cast<size_t>(atoll(pending.c_str() + cl + 16));
        if (pending.size() >= head_end + 4 + len) {
          pending.erase(0, head_end + 4 + len);
          ++answered;
          break;
        }
      }
      pollfd p{fd, POLLIN, 0};
      ASSERT_GT(poll(&p, 1, 20000), 0) << "answer " << i;
      const ssize_t n = recv(fd, b, sizeof b, 0);
      ASSERT_GT(n, 0) << "answer " << i;
      pending.append(b, static_cast<size_t>(n));
    }
  }
  EXPECT_EQ(answered, 100000);
  EXPECT_EQ(counts().accepts.load(), 1);
  close(fd);
}

// --- hooks, notices, locks --------------------------------------------------------------------

std::atomic<uint64_t> g_hooked{0};
std::mutex g_hook_mutex;

uint8_t counting_hook(int64_t, const char*, int32_t len) {
  g_hooked.fetch_add(static_cast<uint64_t>(len));
  return 1;
}

uint8_t locking_hook(int64_t, const char*, int32_t) {
  std::lock_guard<std::mutex> g(g_hook_mutex);
  return 1;
}

// A hook that takes a lock of its own while another thread, holding that lock, calls into the
// edge server: no deadlock, because no hook runs under the context lock.
TEST_F(Output, HooksRunWithoutTheContextLock) {
  edgeserv_AddWriteHook(locking_hook);
  std::atomic<bool> stop{false};
  std::thread other([&] {
    for (int i = 0; i < 100000 && !stop.load(); ++i) {
      std::lock_guard<std::mutex> g(g_hook_mutex);
      edgeserv_ClientSSLOn(counts().last_sid.load());
    }
  });
  auto work = std::async(std::launch::async, [&] {
    return shell_output("for i in $(seq 30); do curl -s -m 20 -w '%{http_code}\\n' -o /dev/null '" + url("/page/404") +
                        "' -o /dev/null '" + url("/big/200000?close=0") + "'; done | sort | uniq -c | sed 's/^ *//'");
  });
  const bool finished = work.wait_for(std::chrono::seconds(120)) == std::future_status::ready;
  stop = true;
  other.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(work.get(), "30 200\n30 404\n");
  edgeserv_DelWriteHook(locking_hook);
}

TEST_F(Output, HooksSeeEveryByteUntilRemoved) {
  g_hooked = 0;
  edgeserv_AddWriteHook(counting_hook);
  const std::string got = shell_output("curl -s -m 20 '" + url("/big/500000?close=0") + "' | wc -c");
  EXPECT_EQ(got, "500000\n");
  EXPECT_TRUE(wait_until([] { return g_hooked.load() == head_with_length(500000).size() + 500000; }));
  edgeserv_DelWriteHook(counting_hook);
  g_hooked = 0;
  EXPECT_EQ(shell_output("curl -s -m 20 '" + url("/big/1000?close=0") + "' | wc -c"), "1000\n");
  EXPECT_EQ(g_hooked.load(), 0u);
}

std::atomic<int> g_notices{0};
void count_notice(edgeserv_ctx*, int64_t, void*) { g_notices.fetch_add(1); }

TEST_F(Output, TheNoticeFiresAfterEachDrainUntilCleared) {
  // A small receive buffer, so that answers queue and the pump drains them.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const sockaddr_in to = vor::test::loopback(edge_.port());
  ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  ASSERT_TRUE(wait_until([] { return counts().accepts.load() == 1; }));
  const int64_t sid = counts().last_sid.load();
  g_notices = 0;
  edgeserv_AddWritableNotice(sid, count_notice, nullptr);
  ASSERT_TRUE(wait_until([] { return g_notices.load() >= 1; }));
  for (int i = 0; i < 3; ++i) {
    const int before = g_notices.load();
    const std::string big(6000000, 'n');
    ASSERT_EQ(edgeserv_WriteJitter(sid, big.data(), static_cast<int32_t>(big.size())), 1);
    bool closed = false;
    EXPECT_EQ(read_all(fd, 20000, &closed, big.size()).size(), big.size());
    EXPECT_TRUE(wait_until([&] { return g_notices.load() > before; }));
  }
  edgeserv_DelWritableNotice(sid);
  const int settled = g_notices.load();
  const std::string more(6000000, 'm');
  ASSERT_EQ(edgeserv_WriteJitter(sid, more.data(), static_cast<int32_t>(more.size())), 1);
  bool closed = false;
  EXPECT_EQ(read_all(fd, 20000, &closed, more.size()).size(), more.size());
  EXPECT_EQ(g_notices.load(), settled);
  close(fd);
}

// --- model ------------------------------------------------------------------------------------

void run_on_owner(vor_box* box, const std::function<void()>& fn) {
  std::promise<void> done;
  struct Job {
    const std::function<void()>* fn;
    std::promise<void>* done;
  } job{&fn, &done};
  vor_box_AddInEvent(
      box, "",
      [](vor_box*, const char*, void* a1, void*, void*, void*, void*, void*, void*, void*) {
        auto* j = static_cast<Job*>(a1);
        (*j->fn)();
        j->done->set_value();
      },
      &job, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  done.get_future().wait();
}

// Random writes (memory on the owner thread and from this one, file ranges), kept closes and
// uncloses against a model: the peer, reading slowly through a small buffer, receives exactly
// the accepted writes in order, and the connection ends where the final operation says.
void run_model(Output* test, uint16_t port, const std::string& file, const std::string& file_bytes, uint32_t seed,
               bool with_hook) {
  SCOPED_TRACE("seed " + std::to_string(seed) + (with_hook ? " with a hook" : ""));
  std::mt19937 rng(seed);
  g_hooked = 0;
  if (with_hook) edgeserv_AddWriteHook(counting_hook);
  const int accepts_before = counts().accepts.load();
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 8192;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const sockaddr_in to = vor::test::loopback(port);
  ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  ASSERT_TRUE(wait_until([&] { return counts().accepts.load() > accepts_before; }));
  const int64_t sid = counts().last_sid.load();
  vor_box* box = vor_bigbox_GetSlaveBox(edgeserv_GetHandle()->daemon->bigbox, sid);
  // The reader: pauses now and then.
  std::string received;
  bool closed = false;
  std::thread reader([&] {
    std::mt19937 r(seed + 1);
    char b[4096];
    for (int i = 0; i < 2000000; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 30000) <= 0) break;
      const ssize_t n = recv(fd, b, sizeof b, 0);
      if (n <= 0) {
        closed = true;
        break;
      }
      received.append(b, static_cast<size_t>(n));
      if (r() % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(r() % 5));
    }
  });
  std::string model;
  uint32_t counter = 0;
  for (int op = 0; op < 60; ++op) {
    const uint32_t kind = rng() % 10;
    if (kind < 6) {
      const size_t len = rng() % 300001;
      std::string data(len, '\0');
      for (char& c : data) c = static_cast<char>('a' + counter++ % 26);
      uint8_t ok = 0;
      if (kind < 3)
        run_on_owner(box, [&] { ok = edgeserv_WriteJitter(sid, data.data(), static_cast<int32_t>(len)); });
      else
        ok = edgeserv_WriteJitter(sid, data.data(), static_cast<int32_t>(len));
      ASSERT_EQ(ok, 1);
      model += data;
    } else if (kind < 8) {
      const int64_t from = rng() % file_bytes.size();
      const int64_t until = from + rng() % (file_bytes.size() - from + 1);
      ASSERT_EQ(edgeserv_WriteFile(sid, file.c_str(), from, until), 1);
      model += file_bytes.substr(static_cast<size_t>(from), static_cast<size_t>(until - from));
    } else if (kind == 8) {
      edgeserv_close(sid, 30000);  // kept: the next output takes it over
    } else {
      edgeserv_unclose(sid);
    }
  }
  const uint32_t last = rng() % 3;
  if (last == 0) edgeserv_close(sid, 0);
  if (last == 1) edgeserv_close(sid, 200);
  if (last == 2) edgeserv_ForceClose(sid);
  reader.join();
  close(fd);
  EXPECT_TRUE(closed);
  if (last == 2) {
    EXPECT_EQ(model.compare(0, received.size(), received), 0);
  } else {
    EXPECT_EQ(received.size(), model.size());
    EXPECT_TRUE(received == model);
    if (with_hook) {
      EXPECT_TRUE(wait_until([&] { return g_hooked.load() == model.size(); }));
    }
  }
  if (with_hook) edgeserv_DelWriteHook(counting_hook);
  (void)test;
}

TEST_F(Output, WritesAgainstAModel) {
  const std::string file = dir_.file("model");
  const std::string file_bytes = random_bytes(700000, 11);
  vor::test::write_file(file, file_bytes);
  const char* env = getenv("EDGE_MODEL_SEED");
  const uint32_t first = env ? static_cast<uint32_t>(atoi(env)) : 1;
  for (uint32_t seed = first; seed < first + 6; ++seed) {
    run_model(this, edge_.port(), file, file_bytes, seed, seed % 2 == 0);
    if (HasFatalFailure()) return;
  }
  EXPECT_TRUE(wait_until([] { return edgeserv_GetNumOfConnections() == 0; }));
  EXPECT_TRUE(wait_until([] { return edgeserv_fnnodes() == 0; }));
}

// --- pool limits ------------------------------------------------------------------------------

// The byte-queue pool cut to a few pages and 20 slow clients sent 1 MB each: every client gets
// its whole answer or a cut connection, never a short answer on a connection left open.
TEST_F(Output, ADryPoolCutsConnectionsAndNeverLeavesAHole) {
  cu_xmem* small = cu_xmem_init_ext(cu_sem_malloc(), 1ull << 20, 1, 0, nullptr, nullptr, nullptr);
  cu_xmem* normal = edge::xjitter_pool();
  edge::set_xjitter_pool(small);
  std::vector<int> fds;
  const std::string req = "GET /big/3000000?close=30000&sndbuf=8192 HTTP/1.1\r\nHost: h\r\n\r\n";
  for (int i = 0; i < 20; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int rcv = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
    const sockaddr_in to = vor::test::loopback(edge_.port());
    ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    fds.push_back(fd);
  }
  ASSERT_TRUE(wait_until([] { return counts().accepts.load() == 20; }));
  const size_t whole = head_with_length(3000000).size() + 3000000;
  int full = 0;
  int cut = 0;
  for (int fd : fds) {
    bool closed = false;
    // Every read ends at the whole answer or the close: the long wait only matters to a
    // connection left open, and keeps a loaded machine's stalls from looking like one.
    const std::string got = read_all(fd, 10000, &closed, whole);
    if (got.size() == whole) {
      ++full;
    } else {
      EXPECT_TRUE(closed) << got.size() << " bytes on a connection left open";
      ++cut;
    }
    close(fd);
  }
  EXPECT_EQ(full + cut, 20);
  EXPECT_GT(cut, 0);
  EXPECT_TRUE(wait_until([] { return edgeserv_GetNumOfConnections() == 0; }));
  edge::set_xjitter_pool(normal);
  cu_xmem_exit(small);
}

}  // namespace
