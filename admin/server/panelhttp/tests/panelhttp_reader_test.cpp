// The request reader and router against real connections: requests split anywhere reach the
// modules the same way, refused chunks close, a handled request makes the ones behind it wait,
// and a path that leaves the web root is answered 404 without reaching any module.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "panelhttp_harness.h"

namespace {

using panelhttp_test::Client;
using panelhttp_test::count_of;
using panelhttp_test::Server;

std::mutex g_log_lock;
std::string g_log;

std::string log_text() {
  std::lock_guard<std::mutex> lock(g_log_lock);
  return g_log;
}

void clear_log() {
  std::lock_guard<std::mutex> lock(g_log_lock);
  g_log.clear();
}

// Logs method, URL path, query pairs and form pairs, and passes the request on.
uint8_t log_request(panelhttp_ctx*, int64_t, vor_http_table*, vor_http_table* form, RTParser* parser) {
  std::string line = std::string(RTParser_GetMethod(parser)) + " " + RTParser_GetUriPath(parser) + " q:";
  vor_http_table* query = RTParser_GetRequestQuery(parser);
  const char* name;
  const char* value;
  vor_http_table_RewindForm(query);
  while (vor_http_table_GetNextForm(query, &name, nullptr, &value)) line += std::string(" ") + name + "=" + value;
  line += " f:";
  vor_http_table_RewindForm(form);
  while (vor_http_table_GetNextForm(form, &name, nullptr, &value)) {
    line += std::string(" ") + name + "=" + std::to_string(strlen(value));
  }
  std::lock_guard<std::mutex> lock(g_log_lock);
  g_log += line + "\n";
  return 1;
}

// Owns "/api": answers "API\n" and has handled the request.
uint8_t answer_api(panelhttp_ctx*, int64_t sid, vor_http_table*, vor_http_table*, RTParser*) {
  panelhttp_WriteJitter(sid, "API\n", 4);
  return 0;
}

const vuved_module_desc kLogger = {342, nullptr, "", nullptr, nullptr, nullptr, nullptr, nullptr, log_request};
const vuved_module_desc kApi = {342, "/api", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, answer_api};

Server& server() { return Server::get({&kLogger, &kApi}); }

const std::string kRequests =
    "GET /a/b.html?x=1&y=%41 HTTP/1.1\r\nHost: h\r\n\r\n"
    "POST /form HTTP/1.1\r\nHost: h\r\nContent-Length: 7\r\n"
    "Content-Type: application/x-www-form-urlencoded\r\n\r\na=1&b=2"
    "GET /c.TXT HTTP/1.1\r\nHost: h\r\n\r\n"
    "HEAD /d?only HTTP/1.0\r\n\r\n";
const std::string kExpectedLog =
    "GET /a/b.html q: x=1 y=A f:\n"
    "POST /form q: f: a=1 b=1\n"
    "GET /c.TXT q: f:\n"
    "HEAD /d q: only= f:\n";

// Sends the chunks with a pause between them and waits for the four log lines.
std::string log_of(const std::vector<std::string>& chunks) {
  clear_log();
  Client client(server().port());
  EXPECT_TRUE(client.connected());
  for (const std::string& chunk : chunks) {
    client.send_all(chunk);
    usleep(500);
  }
  vor::test::wait_until([] { return count_of(log_text(), "\n") >= 4; });
  return log_text();
}

TEST(Reader, RequestsSplitAnywhereReachTheModulesAlike) {
  (void)server();
  EXPECT_EQ(log_of({kRequests}), kExpectedLog) << "whole";
  for (size_t split = 1; split < kRequests.size(); split += 7) {
    EXPECT_EQ(log_of({kRequests.substr(0, split), kRequests.substr(split)}), kExpectedLog) << "split at " << split;
  }
  std::vector<std::string> bytes;
  for (char c : kRequests) bytes.emplace_back(1, c);
  EXPECT_EQ(log_of(bytes), kExpectedLog) << "byte by byte";
}

TEST(Reader, RefusedChunkClosesAfterTheEarlierRequests) {
  const std::string good = "GET /one HTTP/1.1\r\nHost: h\r\n\r\n";
  const std::string cases[] = {
      "GET /long HTTP/1.1\r\nX-Long: " + std::string(7200, 'a') + "\r\n\r\n",
      "POST /te HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
      "POST /cl HTTP/1.1\r\nContent-Length: 2097153\r\n\r\n",
  };
  for (const std::string& bad : cases) {
    SCOPED_TRACE(bad.substr(0, 20));
    clear_log();
    Client client(server().port());
    client.send_all(good);
    ASSERT_TRUE(vor::test::wait_until([] { return !log_text().empty(); }));
    client.send_all(bad);
    EXPECT_TRUE(client.read_to_close());
    EXPECT_EQ(log_text(), "GET /one q: f:\n");
  }
}

TEST(Reader, BodyStillArrivingBeyondMaxFormsizeCloses) {
  clear_log();
  Client client(server().port());
  client.send_all("POST /big HTTP/1.1\r\nContent-Length: 40000\r\n\r\n" + std::string(20000, 'x'));
  EXPECT_TRUE(client.read_to_close());
  EXPECT_EQ(log_text(), "");
}

TEST(Reader, BodyWithinMaxFormsizeReachesTheFormTable) {
  clear_log();
  Client client(server().port());
  const std::string body = "v=" + std::string(16000, 'x');
  client.send_all("POST /f HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  ASSERT_TRUE(vor::test::wait_until([] { return !log_text().empty(); }));
  EXPECT_EQ(log_text(), "POST /f q: f: v=16000\n");
}

TEST(Reader, HandledRequestMakesTheCompleteOnesBehindItWaitForTheNextChunk) {
  clear_log();
  Client client(server().port());
  const std::string api = "GET /api HTTP/1.1\r\nHost: h\r\n\r\n";
  client.send_all(api + api);
  ASSERT_TRUE(client.read_until([](const std::string& r) { return count_of(r, "API\n") >= 1; }));
  client.drain_for(300);
  EXPECT_EQ(count_of(client.received(), "API\n"), 1u);
  // The next chunk lets the waiting request through; the new one waits in its turn.
  client.send_all(api);
  ASSERT_TRUE(client.read_until([](const std::string& r) { return count_of(r, "API\n") >= 2; }));
  client.drain_for(300);
  EXPECT_EQ(count_of(client.received(), "API\n"), 2u);
  EXPECT_EQ(log_text(), "");
}

TEST(Reader, UnroutedRequestGetsNoAnswerAndTheNextIsServed) {
  clear_log();
  Client client(server().port());
  client.send_all("GET /nobody HTTP/1.1\r\nHost: h\r\n\r\nGET /api HTTP/1.1\r\nHost: h\r\n\r\n");
  ASSERT_TRUE(client.read_until([](const std::string& r) { return count_of(r, "API\n") >= 1; }));
  EXPECT_EQ(client.received(), "API\n");
  EXPECT_EQ(log_text(), "GET /nobody q: f:\n");
}

// Targets that would leave the web root are answered 404 and closed; no module sees them.
TEST(Reader, PathLeavingTheWebRootIsNotFoundAndCloses) {
  // A folder without an index file is not mapped either.
  const char* targets[] = {"/nofolder/", "../config/zazudaza.db", "a/../../x", "./../x", "%2e%2e/x", "..%5cx", "..\\x"};
  for (const char* target : targets) {
    SCOPED_TRACE(target);
    clear_log();
    Client client(server().port());
    client.send_all(std::string("GET ") + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_TRUE(client.read_to_close());
    EXPECT_EQ(client.received().rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << client.received();
    EXPECT_EQ(log_text(), "");
  }
}

}  // namespace
