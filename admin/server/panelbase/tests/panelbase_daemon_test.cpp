// The static-file module in the daemon, through curl and nc: heads byte for byte (the date
// masked), ranges, conditional requests, the connection fields, folder index, the 404
// document, and targets that try to leave the web root.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <utime.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "admin_tree.h"
#include "panelhttp_harness.h"
#include "vor_exports.h"

namespace {

using panelhttp_test::AdminTree;
using panelhttp_test::Client;
using vor::test::exported_names;
using vor::test::read_file;
using vor::test::run_shell;
using vor::test::write_file;

constexpr int64_t kMtime = 1700000000;
constexpr char kMtimeText[] = "Tue, 14 Nov 2023 22:13:20 GMT";

struct Reply {
  std::string head;  // the Date value masked as "D"
  std::string body;
};

std::string masked(const std::string& head) {
  return std::regex_replace(head, std::regex("\r\nDate: [^\r]*\r\n"), "\r\nDate: D\r\n");
}

class Console : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 1000; ++i) file_ += static_cast<char>('a' + i % 26);
    put("r.bin", file_);
    put("empty.txt", "");
    std::filesystem::create_directories(admin_.www("sub"));
    write_file(admin_.root("canary.txt"), "CANARY");
    daemon_ = admin_.start();
  }
  void TearDown() override {
    if (daemon_->wait(0).ended) return;
    daemon_->signal(SIGINT);
    EXPECT_EQ(daemon_->wait().code, 0);
  }
  void put(const std::string& name, const std::string& bytes) {
    write_file(admin_.www(name), bytes);
    utimbuf times{kMtime, kMtime};
    utime(admin_.www(name).c_str(), &times);
  }
  Reply curl(const std::string& path, const std::vector<std::string>& headers = {}) {
    const std::string head = admin_.tree().temp("head"), body = admin_.tree().temp("body");
    std::string command = "curl -s --max-time 10 -D '" + head + "' -o '" + body + "'";
    for (const std::string& h : headers) command += " -H '" + h + "'";
    command += " '" + admin_.url(path) + "'";
    EXPECT_EQ(run_shell(command), 0) << command;
    Reply reply{masked(read_file(head)), read_file(body)};
    std::filesystem::remove(head);
    std::filesystem::remove(body);
    return reply;
  }
  std::string location(const std::string& path) const { return admin_.url(path); }

  AdminTree admin_;
  std::unique_ptr<quorin::test::Process> daemon_;
  std::string file_;
};

TEST_F(Console, WholeFileHeadAndBody) {
  const Reply r = curl("/r.bin");
  EXPECT_EQ(r.head, "HTTP/1.1 200 OK\r\nDate: D\r\nServer: Quorin/Vuved/3.4.2\r\nAccept-Ranges: bytes\r\n"
                    "Last-Modified: " + std::string(kMtimeText) + "\r\nContent-Location: " + location("/r.bin") +
                    "\r\nContent-Length: 1000\r\nContent-Type: application/octet-stream\r\n"
                    "ETag: \"1700000000:1000\"\r\nConnection: Close\r\n\r\n");
  EXPECT_EQ(r.body, file_);
}

TEST_F(Console, FolderGetsItsIndexAndMissingFileTheNotFoundDocument) {
  const std::string index = read_file(admin_.www("index.html"));
  EXPECT_EQ(curl("/").body, index);
  const Reply missing = curl("/missing.html");
  const std::string document = read_file(admin_.www("404.html"));
  EXPECT_EQ(missing.head, "HTTP/1.1 404 Not Found\r\nDate: D\r\nServer: Quorin/Vuved/3.4.2\r\n"
                          "Content-Length: " + std::to_string(document.size()) +
                          "\r\nContent-Type: text/html\r\nConnection: Keep-Alive\r\nKeep-Alive: 300\r\n\r\n");
  EXPECT_EQ(missing.body, document);
}

struct RangeCase {
  const char* range;
  int status;  // 206, else 200 with the whole file
  uint32_t from, to;
};

TEST_F(Console, RangesTable) {
  const RangeCase cases[] = {
      {"bytes=0-99", 206, 0, 100},      {"bytes=900-", 206, 900, 1000},   {"bytes=-100,", 206, 900, 1000},
      {"bytes=-100 ", 206, 900, 1000},  {"bytes=-100", 200, 0, 1000},     {"bytes=0-5000", 206, 0, 1000},
      {"bytes=5-3", 200, 0, 1000},      {"bytes=1000-", 200, 0, 1000},    {"bytes=99999999999-", 200, 0, 1000},
      {"bytes=0-99999999999999999999999", 206, 0, 1000}, {"BYTES = 10-19, 30-39", 206, 10, 20},
      {"items=0-9", 200, 0, 1000},      {"bytes=x", 200, 0, 1000},
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(c.range);
    const Reply r = curl("/r.bin", {std::string("Range: ") + c.range});
    EXPECT_EQ(r.body, file_.substr(c.from, c.to - c.from));
    if (c.status == 206) {
      EXPECT_EQ(r.head, "HTTP/1.1 206 Partial Content\r\nDate: D\r\nServer: Quorin/Vuved/3.4.2\r\n"
                        "Accept-Ranges: bytes\r\nContent-Location: " + location("/r.bin") +
                        "\r\nContent-Length: " + std::to_string(c.to - c.from) +
                        "\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes " +
                        std::to_string(c.from) + "-" + std::to_string(c.to - 1) + "/1000\r\nLast-Modified: " +
                        kMtimeText + "\r\nConnection: Keep-Alive\r\nKeep-Alive: 300\r\n\r\n");
    } else {
      EXPECT_EQ(r.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r.head;
    }
  }
  const Reply empty = curl("/empty.txt", {"Range: bytes=0-"});
  EXPECT_EQ(empty.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << empty.head;
  EXPECT_NE(empty.head.find("\r\nContent-Length: 0\r\n"), std::string::npos);
}

TEST_F(Console, ConditionalRequestsTable) {
  const std::string tag = "\"1700000000:1000\"";
  struct Case {
    std::vector<std::string> headers;
    bool not_modified;
  };
  const Case cases[] = {
      {{std::string("If-Modified-Since: ") + kMtimeText}, true},
      {{"If-Modified-Since: Wed, 15 Nov 2023 22:13:20 GMT"}, false},
      {{"If-Modified-Since: not a date"}, true},
      {{std::string("If-Modified-Since: ") + kMtimeText, "If-None-Match: " + tag}, true},
      {{std::string("If-Modified-Since: ") + kMtimeText, "If-None-Match: \"1:2\""}, false},
      {{"If-None-Match: " + tag}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers[0] + (c.headers.size() > 1 ? " + " + c.headers[1] : ""));
    const Reply r = curl("/r.bin", c.headers);
    if (!c.not_modified) {
      EXPECT_EQ(r.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r.head;
      continue;
    }
    const std::string since = c.headers[0].substr(strlen("If-Modified-Since: "));
    EXPECT_EQ(r.head, "HTTP/1.1 304 Not Modified\r\nDate: D\r\nServer: Quorin/Vuved/3.4.2\r\nAccept-Ranges: bytes\r\n"
                      "Content-Location: " + location("/r.bin") + "\r\nLast-Modified: " + since + "\r\n" +
                      (c.headers.size() > 1 ? "ETag: " + tag + "\r\n" : "") +
                      "Connection: Keep-Alive\r\nKeep-Alive: 300\r\n\r\n");
    EXPECT_EQ(r.body, "");
  }
}

// A 200 closes unless the request asked to keep the connection; a kept one serves the next.
TEST_F(Console, ConnectionFieldsDecideTheClose) {
  struct Case {
    const char* header;
    const char* answered;
    bool closes;
  };
  const Case cases[] = {{"", "Connection: Close\r\n\r\n", true},
                        {"Connection: close\r\n", "Connection: Close\r\n\r\n", true},
                        {"Connection: keep-alive\r\n", "Connection: Keep-Alive\r\nKeep-Alive: 300\r\n\r\n", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    Client client(admin_.port());
    const std::string request = std::string("GET /r.bin HTTP/1.1\r\nHost: h\r\n") + c.header + "\r\n";
    client.send_all(request);
    ASSERT_TRUE(client.read_until([&](const std::string& r) { return r.size() >= file_.size() + 200; }) ||
                client.closed());
    client.read_until([&](const std::string& r) { return r.find(file_) != std::string::npos; });
    EXPECT_NE(client.received().find(c.answered), std::string::npos) << client.received();
    if (c.closes) {
      EXPECT_TRUE(client.read_to_close());
      continue;
    }
    client.drain_for(300);
    EXPECT_FALSE(client.closed());
    client.send_all(request);
    EXPECT_TRUE(client.read_until([&](const std::string& r) {
      return panelhttp_test::count_of(r, file_) == 2;
    }));
  }
}

// Raw targets, sent as they are: whatever they decode to, the file beside the web root never
// comes back.
TEST_F(Console, TargetsLeavingTheWebRootNeverReachTheCanary) {
  const char* targets[] = {"../canary.txt",         "a/../../canary.txt", "./../canary.txt",
                           "%2e%2e/canary.txt",     "..%5ccanary.txt",    "/..%2f..%2fcanary.txt",
                           "/../canary.txt",        "http://h/../canary.txt", "/a%00.html",
                           "..\\canary.txt",        "%2E%2E%2Fcanary.txt"};
  for (const char* target : targets) {
    SCOPED_TRACE(target);
    const std::string out = admin_.tree().temp("nc.out");
    const std::string command = "printf 'GET %s HTTP/1.1\\r\\nHost: h\\r\\nConnection: close\\r\\n\\r\\n' '" +
                                std::string(target) + "' | nc -N -w 5 127.0.0.1 " +
                                std::to_string(admin_.port()) + " > '" + out + "'";
    run_shell(command);
    const std::string reply = read_file(out);
    EXPECT_EQ(reply.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << reply;
    EXPECT_EQ(reply.find("CANARY"), std::string::npos) << reply;
  }
}

TEST_F(Console, InitAndExitLinesOfBothModules) {
  daemon_->signal(SIGINT);
  EXPECT_EQ(daemon_->wait().code, 0);
  const std::string out = admin_.tree().out();
  const size_t init = out.find("[quorin -> vuved] module init!\n[vuved -> genernal] module init!\n");
  EXPECT_NE(init, std::string::npos) << out;
  EXPECT_NE(out.find("[quorin -> vuved] module exit!\n[vuved -> genernal] module exit!\n", init), std::string::npos)
      << out;
}

TEST(Exports, LibrariesExportTheirCInterfaceAndNothingElse) {
  EXPECT_THAT(exported_names(PANELBASE_LIB), ::testing::ElementsAre("genernal"));
  EXPECT_THAT(exported_names(PANELHTTP_LIB),
              ::testing::UnorderedElementsAre(
                  "panelhttp", "panelhttp_init", "panelhttp_exit", "panelhttp_GetHandle", "panelhttp_GetClient_BySid",
                  "panelhttp_GetNumOfConnections", "panelhttp_GetTotalSendBytes", "panelhttp_GetTotalRecvBytes",
                  "panelhttp_GetReadableLen", "panelhttp_GetCacheSize", "panelhttp_XmemDebug",
                  "panelhttp_VersionString", "RTParser_make", "RTParser_free", "RTParser_GetMethod",
                  "RTParser_GetUriPath", "RTParser_GetLocalFolder", "RTParser_GetLocalFilename",
                  "RTParser_GetLocalExtname", "RTParser_GetLocalFilepath", "RTParser_GetMimetype",
                  "RTParser_GetContentLocation", "RTParser_GetRequestQuery", "panelhttp_GenSession",
                  "panelhttp_AddSession", "panelhttp_CheckSession", "panelhttp_FreshSession", "panelhttp_DelSession",
                  "panelhttp_NumOfSessions", "text_to_html", "panelhttp_GetFileAttr", "panelhttp_WriteJitter",
                  "panelhttp_WriteFile", "panelhttp_Write404Status", "panelhttp_close", "panelhttp_unclose",
                  "panelhttp_ForceClose", "panelhttp_AddWriteHook", "panelhttp_DelWriteHook",
                  "panelhttp_AddWritableNotice", "panelhttp_DelWritableNotice", "panelhttp_GetWritableLen"));
}

}  // namespace
