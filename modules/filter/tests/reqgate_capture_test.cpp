// Response capture as a split-point table: each recorded response goes to the filter whole, cut
// at every point and byte by byte, and the client must get the same bytes and the record end in
// the same state every time. Then the hooks, the purge headers, the new-record refusals and the
// dropped response.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "reqgate.h"
#include "reqgate_internal.h"
#include "reqgate_test_util.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

constexpr int64_t kClient = 7;
int64_t g_next_response = 1000;
std::string g_client;  // what the client writer received
std::vector<std::string> g_purges;

uint32_t record_client(int64_t sid, const char* data, uint32_t len) {
  EXPECT_EQ(sid, kClient);
  g_client.append(data, len);
  return len;
}
uint32_t ignore_upstream(int64_t, const char*, uint32_t len) { return len; }
void record_purge(const char* text, uint8_t, uint8_t) { g_purges.emplace_back(text); }

struct Outcome {
  std::string client;
  bool registered;
  bool complete;
  uint8_t kind;
  uint32_t received;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << "client=[" << o.client << "] registered=" << o.registered << " complete=" << o.complete
            << " kind=" << int(o.kind) << " received=" << o.received;
}

struct CaptureCase {
  const char* name;
  const char* request;
  std::string response;  // what the upstream sends, in any number of chunks
  Outcome expected;
};

// A new record for the request, fed with the response cut at the given points.
Outcome capture(const char* request_text, const std::string& response, const std::vector<size_t>& cuts) {
  g_client.clear();
  Head request = make_head(request_text);
  const int64_t response_sid = ++g_next_response;
  EXPECT_TRUE(reqgate_NewFilter_v4(kClient, request.get(), response_sid, "a.test/x", kPublic, 1, 0, 0, 0, 0, 1));
  size_t from = 0;
  for (size_t cut : cuts) {
    EXPECT_TRUE(reqgate_ResponseInput_v3(response_sid, response.data() + from, static_cast<uint32_t>(cut - from),
                                         record_client, ignore_upstream));
    from = cut;
  }
  EXPECT_TRUE(reqgate_ResponseInput_v3(response_sid, response.data() + from,
                                       static_cast<uint32_t>(response.size() - from), record_client, ignore_upstream));
  Outcome out{g_client, false, false, 0, 0};
  if (FilterRecord* record = record_by_response(response_sid)) {
    out.registered = true;
    out.complete = integrity_complete(record->integrity);
    out.kind = record->decision.cache_kind;
    out.received = record->bytes_received;
  }
  finish_client_record(kClient, false);
  return out;
}

const char kGet[] = "GET /x HTTP/1.1\r\nHost: a.test";
const char kHead[] = "HEAD /x HTTP/1.1\r\nHost: a.test";
const char kWebsocket[] = "GET /ws HTTP/1.1\r\nHost: a.test\r\nUpgrade: websocket\r\nConnection: Upgrade";

const std::string kLengthHead = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string kChunkedBody = "5;ext=1\r\nhello\r\n0\r\n\r\n";
const std::string kTrailerBody = "5\r\nhello\r\n0\r\nX-T: 1\r\n\r\n";
const std::string k404Head = "HTTP/1.1 404 Not Found\r\n\r\n";
const std::string kGarbage = "this is not a response head at all\r\n\r\nmore";
const std::string kSwitchHead = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";

// Heads of close-delimited answers reach the client with "Connection: close" at their end.
std::string closed(const std::string& head) { return head.substr(0, head.size() - 2) + "Connection: close\r\n\r\n"; }

const CaptureCase kCases[] = {
    {"content_length", kGet, kLengthHead + "hello", {kLengthHead + "hello", false, false, 0, 0}},
    {"bytes_past_the_end", kGet, kLengthHead + "helloEXTRA", {kLengthHead + "hello", false, false, 0, 0}},
    {"chunked_with_extension", kGet, kChunkedHead + kChunkedBody, {kChunkedHead + kChunkedBody, false, false, 0, 0}},
    {"chunks_past_the_end", kGet, kChunkedHead + kChunkedBody + "GARBAGE",
     {kChunkedHead + kChunkedBody, false, false, 0, 0}},
    {"chunked_with_trailer_never_completes", kGet, kChunkedHead + kTrailerBody,
     {kChunkedHead + kTrailerBody, true, false, kPublic, uint32_t(kTrailerBody.size())}},
    {"close_delimited_200", kGet, "HTTP/1.1 200 OK\r\n\r\nabc",
     {closed("HTTP/1.1 200 OK\r\n\r\n") + "abc", true, false, kPublic, 3}},
    {"close_delimited_404", kGet, k404Head + "gone",
     {closed(k404Head) + "gone", true, false, kPublic, 4}},
    {"head_with_length", kHead, kLengthHead + "hello", {kLengthHead, true, true, kPublic, 0}},
    {"no_content_with_length", kGet, "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\nhello",
     {"HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", true, true, 'o', 0}},
    {"not_modified_with_length", kGet, "HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\nhello",
     {"HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n", true, true, kPublic, 0}},
    {"length_and_chunked", kGet,
     "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n" + kChunkedBody,
     {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + kChunkedBody, false, false, 0, 0}},
    {"continue_then_final_head", kGet, "HTTP/1.1 100 Continue\r\n\r\n" + kLengthHead + "hello",
     {"HTTP/1.1 100 Continue\r\n\r\n" + kLengthHead + "hello", false, false, 0, 0}},
    {"websocket_switch", kWebsocket, kSwitchHead + "frames",
     {kSwitchHead + "frames", true, false, 'o', 6}},
    {"garbage_instead_of_a_head", kGet, kGarbage, {kGarbage, true, false, 'o', uint32_t(kGarbage.size())}},
};

class CaptureTable : public ::testing::TestWithParam<CaptureCase> {
 protected:
  void SetUp() override {
    set_console_trace(false);
    reqgate_ImportPluginResponseEntry_v2(nullptr, nullptr, nullptr);
    reqgate_ImportClusterFunction(nullptr, nullptr, nullptr);
  }
};

TEST_P(CaptureTable, SameClientBytesAndStateAtEverySplit) {
  const CaptureCase& c = GetParam();
  const Outcome whole = capture(c.request, c.response, {});
  EXPECT_EQ(whole, c.expected);
  for (size_t cut = 1; cut < c.response.size(); ++cut) {
    EXPECT_EQ(capture(c.request, c.response, {cut}), whole) << "cut at " << cut;
  }
  std::vector<size_t> every;
  for (size_t i = 1; i < c.response.size(); ++i) every.push_back(i);
  EXPECT_EQ(capture(c.request, c.response, every), whole) << "byte by byte";
}

INSTANTIATE_TEST_SUITE_P(Responses, CaptureTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- hooks ----

uint8_t refuse_head(int64_t, http_parser*, int64_t, http_parser*, uint8_t) { return 0; }
uint8_t cut_to_nothing(int64_t, http_parser*, int64_t, http_parser*, uint8_t, uint8_t, char**, int32_t* len,
                       reqgate_free_fn*, void**) {
  *len = 0;
  return 1;
}
// Replaces every chunk by its upper-case copy, released through the free function.
uint8_t shout(int64_t, http_parser*, int64_t, http_parser*, uint8_t, uint8_t, char** data, int32_t* len,
              reqgate_free_fn* free_fn, void** free_arg) {
  char* copy = new char[*len + 1];
  for (int32_t i = 0; i < *len; ++i) copy[i] = static_cast<char>(std::toupper((*data)[i]));
  *data = copy;
  *free_fn = [](void*, void* p) { delete[] static_cast<char*>(p); };
  *free_arg = nullptr;
  return 1;
}

TEST(CaptureHooks, HeadHookAnsweringZeroKeepsTheHeadBackButNotTheBody) {
  reqgate_ImportPluginResponseEntry_v2(refuse_head, nullptr, nullptr);
  EXPECT_EQ(capture(kGet, kLengthHead + "hello", {}).client, "hello");
  reqgate_ImportPluginResponseEntry_v2(nullptr, nullptr, nullptr);
}

TEST(CaptureHooks, BodyHookCuttingAChunkToNothingStopsItsCompletion) {
  reqgate_ImportPluginResponseEntry_v2(nullptr, nullptr, cut_to_nothing);
  const Outcome out = capture(kGet, kLengthHead + "hello", {});
  reqgate_ImportPluginResponseEntry_v2(nullptr, nullptr, nullptr);
  EXPECT_EQ(out.client, kLengthHead);
  EXPECT_TRUE(out.registered) << "a chunk cut to nothing does not finish the record";
  EXPECT_TRUE(out.complete);
}

TEST(CaptureHooks, ReplacedDataIsSentAndReleased) {
  reqgate_ImportPluginResponseEntry_v2(nullptr, nullptr, shout);
  const Outcome out = capture(kGet, kLengthHead + "hello", {kLengthHead.size() + 2});
  reqgate_ImportPluginResponseEntry_v2(nullptr, nullptr, nullptr);
  EXPECT_EQ(out.client, kLengthHead + "HELLO");
}

// ---- purges ----

TEST(CapturePurges, RefreshHeaderPurgesItsUrlsAndMarksResponsesInFlight) {
  reqgate_ImportClusterFunction(nullptr, nullptr, record_purge);
  g_purges.clear();
  Head request = make_head(kGet);
  const int64_t in_flight = ++g_next_response;
  ASSERT_TRUE(reqgate_NewFilter_v4(99, request.get(), in_flight, "a.test/x", kPublic, 1, 0, 0, 0, 0, 1));
  const std::string purging =
      "HTTP/1.1 200 OK\r\nX-RefreshCacheURL: HTTP://a.test/x\r\nX-3RefreshCacheURL: b.test/y\r\n"
      "Content-Length: 0\r\n\r\n";
  capture(kGet, purging, {});
  // The purging answer is of a.test/x itself: marked too, its own copy goes once it is stored.
  EXPECT_EQ(g_purges, (std::vector<std::string>{"a.test/x", "b.test/y", "a.test/x"}));
  FilterRecord* marked = record_by_response(in_flight);
  ASSERT_NE(marked, nullptr);
  EXPECT_EQ(marked->purge_mark.load(), 1);
  finish_client_record(99, false);
  reqgate_ImportClusterFunction(nullptr, nullptr, nullptr);
}

TEST(CapturePurges, NumberedHeaderAloneIsIgnored) {
  reqgate_ImportClusterFunction(nullptr, nullptr, record_purge);
  g_purges.clear();
  capture(kGet, "HTTP/1.1 200 OK\r\nX-0RefreshCacheURL: a.test/x\r\nContent-Length: 0\r\n\r\n", {});
  EXPECT_TRUE(g_purges.empty());
  reqgate_ImportClusterFunction(nullptr, nullptr, nullptr);
}

TEST(CapturePurges, RequestingUrlMarksOnlyMatchingCacheableResponses) {
  Head request = make_head(kGet);
  const int64_t match = ++g_next_response;
  const int64_t other = ++g_next_response;
  ASSERT_TRUE(reqgate_NewFilter_v4(11, request.get(), match, "a.test/img/1.png", kPublic, 1, 0, 0, 0, 0, 1));
  ASSERT_TRUE(reqgate_NewFilter_v4(12, request.get(), other, "a.test/doc/1.html", kPublic, 1, 0, 0, 0, 0, 1));
  reqgate_RefreshRequestingURL("a.test/img/*", 0, 0);
  EXPECT_EQ(record_by_response(match)->purge_mark.load(), 1);
  EXPECT_EQ(record_by_response(other)->purge_mark.load(), 0);
  finish_client_record(11, false);
  finish_client_record(12, false);
}

std::vector<std::string> g_cleaned;
void record_clean(const char* url) { g_cleaned.emplace_back(url); }

TEST(CapturePurges, SuccessfulUnsafeAnswerInvalidatesItsUrlAndMarksAnAnswerInFlight) {
  const MemoryTable saved = memory_tables()[0];
  memory_tables()[0].clean = record_clean;
  struct Case {
    const char* request;
    const char* response;
    bool invalidates;
  };
  const Case cases[] = {
      {"POST /x HTTP/1.1\r\nHost: a.test", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true},
      {"DELETE /x HTTP/1.1\r\nHost: a.test", "HTTP/1.1 204 No Content\r\n\r\n", true},
      {"POST /x HTTP/1.1\r\nHost: a.test", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", false},
      {"GET /x HTTP/1.1\r\nHost: a.test", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    g_cleaned.clear();
    Head get = make_head(kGet);
    const int64_t in_flight = ++g_next_response;
    ASSERT_TRUE(reqgate_NewFilter_v4(99, get.get(), in_flight, "a.test/x", kPublic, 1, 0, 0, 0, 0, 1));
    capture(c.request, c.response, {});
    EXPECT_EQ(g_cleaned, c.invalidates ? std::vector<std::string>{"a.test/x"} : std::vector<std::string>{});
    EXPECT_EQ(record_by_response(in_flight)->purge_mark.load(), c.invalidates ? 2 : 0);
    finish_client_record(99, false);
  }
  memory_tables()[0] = saved;
}

// ---- records ----

TEST(CaptureRecords, ASecondRecordForTheSameResponseSidIsRefused) {
  Head request = make_head(kGet);
  const int64_t sid = ++g_next_response;
  ASSERT_TRUE(reqgate_NewFilter_v4(21, request.get(), sid, "a.test/x", kPublic, 1, 0, 0, 0, 0, 1));
  EXPECT_FALSE(reqgate_NewFilter_v4(22, request.get(), sid, "a.test/x", kPublic, 1, 0, 0, 0, 0, 1));
  EXPECT_FALSE(reqgate_NewFilter_v4(23, request.get(), sid + 1, nullptr, kPublic, 1, 0, 0, 0, 0, 1));
  finish_client_record(21, false);
}

TEST(CaptureRecords, ANewRecordReplacesTheClientsUnfinishedOne) {
  Head request = make_head(kGet);
  const int64_t first = ++g_next_response;
  const int64_t second = ++g_next_response;
  ASSERT_TRUE(reqgate_NewFilter_v4(31, request.get(), first, "a.test/x", kPublic, 1, 0, 0, 0, 0, 1));
  ASSERT_TRUE(reqgate_NewFilter_v4(31, request.get(), second, "a.test/y", kPublic, 1, 0, 0, 0, 0, 1));
  EXPECT_EQ(record_by_response(first), nullptr);
  EXPECT_NE(record_by_response(second), nullptr);
  finish_client_record(31, false);
}

TEST(CaptureRecords, DroppedResponseIsGoneAndItsLaterBytesAreIgnored) {
  Head request = make_head(kGet);
  const int64_t sid = ++g_next_response;
  ASSERT_TRUE(reqgate_NewFilter_v4(kClient, request.get(), sid, "a.test/x", kPublic, 1, 0, 0, 0, 0, 1));
  EXPECT_TRUE(reqgate_DropResponse(sid));
  EXPECT_FALSE(reqgate_DropResponse(sid));
  g_client.clear();
  EXPECT_TRUE(reqgate_ResponseInput_v3(sid, kLengthHead.data(), uint32_t(kLengthHead.size()), record_client,
                                       ignore_upstream));
  EXPECT_EQ(g_client, "");
  EXPECT_EQ(finish_client_record(kClient, false), Lookup::kNone);
}

TEST(CaptureRecords, ConnectTunnelPassesEveryUpstreamByteAsBody) {
  Head request = make_head("CONNECT a.test:443 HTTP/1.1\r\nHost: a.test:443");
  const int64_t sid = ++g_next_response;
  g_client.clear();
  ASSERT_TRUE(reqgate_NewFilter_v4(kClient, request.get(), sid, "a.test:443", 'o', 1, 0, 0, 0, 0, 1));
  const std::string bytes = "HTTP/1.1 200 whatever\r\n\r\n\x16\x03\x01";
  EXPECT_TRUE(reqgate_ResponseInput_v3(sid, bytes.data(), uint32_t(bytes.size()), record_client, ignore_upstream));
  EXPECT_EQ(g_client, bytes);
  finish_client_record(kClient, false);
}

}  // namespace
