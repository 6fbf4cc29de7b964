// Request tracking as a function of (record, chunk): every request of the corpus is fed whole,
// split at every point and byte by byte, and must end in the same state with the same body
// bytes handed on; heads that frame their body ambiguously are refused however they arrive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "edgeserv_internal.h"

namespace {

using edge::ChunkOutcome;

struct Fed {
  uint8_t state = 0;
  std::string body;
  bool refused = false;
  uint32_t expected = 0;
  int requests = 1;  // requests begun
};

class Record {
 public:
  Record() {
    edge::make_pools(nullptr);
    rec_ = edge::client_new();
  }
  ~Record() { edge::client_free(nullptr, rec_); }
  client_rec* get() { return rec_; }

 private:
  client_rec* rec_;
};

// Feeds the chunks in order, as the read path does: each until used up (the bytes after a
// complete request start the next one), nothing more after a refusal.
Fed feed(const std::vector<std::string>& chunks) {
  Record r;
  Fed fed;
  for (const std::string& c : chunks) {
    for (size_t at = 0; at < c.size() && !fed.refused;) {
      const ChunkOutcome out = edge::track_request(r.get(), c.data() + at, static_cast<int32_t>(c.size() - at));
      EXPECT_GT(out.used, 0);
      if (out.body_len > 0) {
        EXPECT_GE(out.body, c.data() + at);
        EXPECT_LE(out.body + out.body_len, c.data() + at + out.used);
        fed.body.append(out.body, static_cast<size_t>(out.body_len));
      }
      fed.refused = out.refused;
      if (out.used <= 0) break;
      at += static_cast<size_t>(out.used);
      if (r.get()->state == EDGESERV_STATE_COMPLETE && at < c.size()) ++fed.requests;
    }
    if (fed.refused) break;
  }
  fed.state = r.get()->state;
  fed.expected = r.get()->body_expected;
  return fed;
}

std::string head_of_length(size_t total) {
  std::string start = "GET / HTTP/1.1\r\nX-Pad: ";
  const std::string end = "\r\n\r\n";
  start.append(total - start.size() - end.size(), 'a');
  return start + end;
}

struct Case {
  std::string name;
  std::string input;
  uint8_t state;
  std::string body;
  bool refused;
};

std::vector<Case> corpus() {
  const std::string post = "POST /f HTTP/1.1\r\nHost: h\r\n";
  return {
      {"get", "GET / HTTP/1.1\r\nHost: h\r\n\r\n", 30, "", false},
      {"get_lf_inside_value", "GET / HTTP/1.1\r\nX-A: a\nb\r\n\r\n", 30, "", false},
      {"post_body", post + "Content-Length: 5\r\n\r\nhello", 30, "hello", false},
      {"post_body_pending", post + "Content-Length: 10\r\n\r\nhell", 20, "hell", false},
      {"post_blanks_around_length", post + "Content-Length:  5 \r\n\r\nhello", 30, "hello", false},
      {"post_same_length_twice", post + "Content-Length: 5\r\ncontent-length: 5\r\n\r\nhello", 30, "hello", false},
      {"post_same_length_list", post + "Content-Length: 5, 5\r\n\r\nhello", 30, "hello", false},
      {"post_largest_length", post + "Content-Length: 4294967279\r\n\r\nab", 20, "ab", false},
      {"connect", "CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\n\r\n\x16\x03\x01", 20, "\x16\x03\x01", false},
      {"head_at_cap", head_of_length(16383), 30, "", false},
      {"head_over_cap", head_of_length(16384), 100, "", false},
      {"unknown_method", "BREW /pot HTTP/1.1\r\n\r\n", 100, "", false},
      {"transfer_encoding", post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 100, "", true},
      {"transfer_encoding_case", post + "tRANSFER-eNCODING: identity\r\n\r\n", 100, "", true},
      {"transfer_encoding_and_length", post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\nhello", 100, "",
       true},
      {"length_wraps_32_bits", post + "Content-Length: 4294967296\r\n\r\nGET /x HTTP/1.1\r\n\r\n", 100, "", true},
      {"length_marker_range", post + "Content-Length: 4294967280\r\n\r\n", 100, "", true},
      {"length_long_digits", post + "Content-Length: 000000000000000000000000005\r\n\r\nhello", 30, "hello", false},
      {"length_sign", post + "Content-Length: +5\r\n\r\nhello", 100, "", true},
      {"length_negative", post + "Content-Length: -1\r\n\r\n", 100, "", true},
      {"length_trailing_text", post + "Content-Length: 5x\r\n\r\nhello", 100, "", true},
      {"length_hex", post + "Content-Length: 0x5\r\n\r\nhello", 100, "", true},
      {"length_empty", post + "Content-Length: \r\n\r\n", 100, "", true},
      {"length_differs", post + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", 100, "", true},
      {"length_list_differs", post + "Content-Length: 5, 6\r\n\r\nhello!", 100, "", true},
      {"length_list_empty_member", post + "Content-Length: 5,\r\n\r\nhello", 100, "", true},
      {"folded_line", post + "X-A: a\r\n Transfer-Encoding: chunked\r\n\r\n", 100, "", true},
      {"folded_by_tab", post + "Content-Length: 5\r\n\t6\r\n\r\nhello", 100, "", true},
      {"blank_before_colon", post + "Content-Length : 5\r\n\r\nhello", 100, "", true},
      {"tab_before_colon", post + "Transfer-Encoding\t: chunked\r\n\r\n", 100, "", true},
      // Pipelined: each request ends where its framing says; the last one decides the state.
      {"pipelined_gets", "GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n", 30, "", false},
      {"pipelined_post_then_get", post + "Content-Length: 2\r\n\r\nokGET /b HTTP/1.1\r\n\r\n", 30, "ok", false},
      {"pipelined_get_then_post", "GET /a HTTP/1.1\r\n\r\n" + post + "Content-Length: 3\r\n\r\nabc", 30, "abc", false},
      {"pipelined_behind_a_pending_body", post + "Content-Length: 3\r\n\r\nabcGET /b HT", 10, "abc", false},
      {"pipelined_after_a_refused_framing", post + "Transfer-Encoding: chunked\r\n\r\nGET /b HTTP/1.1\r\n\r\n", 100,
       "", true},
  };
}

TEST(RequestTracking, EveryChunkingEndsInTheSameStateWithTheSameBody) {
  for (const Case& c : corpus()) {
    SCOPED_TRACE(c.name);
    const Fed whole = feed({c.input});
    EXPECT_EQ(whole.state, c.state);
    EXPECT_EQ(whole.body, c.body);
    EXPECT_EQ(whole.refused, c.refused);
    for (size_t split = 1; split < c.input.size(); ++split) {
      const Fed two = feed({c.input.substr(0, split), c.input.substr(split)});
      ASSERT_EQ(two.state, c.state) << "split at " << split;
      ASSERT_EQ(two.body, c.body) << "split at " << split;
      ASSERT_EQ(two.refused, c.refused) << "split at " << split;
    }
    std::vector<std::string> bytes;
    for (char ch : c.input) bytes.emplace_back(1, ch);
    const Fed single = feed(bytes);
    EXPECT_EQ(single.state, c.state);
    EXPECT_EQ(single.body, c.body);
    EXPECT_EQ(single.refused, c.refused);
  }
}

TEST(RequestTracking, PipelinedRequestsAreCountedAtEverySplit) {
  const std::string three = "GET /a HTTP/1.1\r\n\r\nPOST /b HTTP/1.1\r\nContent-Length: 2\r\n\r\nokGET /c HTTP/1.1\r\n\r\n";
  EXPECT_EQ(feed({three}).requests, 3);
  for (size_t split = 1; split < three.size(); ++split) {
    const Fed two = feed({three.substr(0, split), three.substr(split)});
    EXPECT_EQ(two.body, "ok") << "split at " << split;
    EXPECT_EQ(two.state, 30) << "split at " << split;
  }
}

TEST(RequestTracking, ConnectAndDeclaredLengthsSetTheExpectedBody) {
  EXPECT_EQ(feed({"CONNECT h:443 HTTP/1.1\r\n\r\n"}).expected, EDGESERV_CONNECT_BODY);
  EXPECT_EQ(feed({"connect h:443 HTTP/1.1\r\n\r\n"}).expected, EDGESERV_CONNECT_BODY);
  EXPECT_EQ(feed({"POST / HTTP/1.1\r\nContent-Length: 4294967279\r\n\r\n"}).expected, 4294967279u);
  EXPECT_EQ(feed({"GET / HTTP/1.1\r\n\r\n"}).expected, 0u);
}

// The moves of one connection chunk by chunk, as the read path sees them.
TEST(RequestTracking, StateMovesChunkByChunk) {
  struct Step {
    const char* chunk;
    uint8_t state;
    const char* body;
    int32_t used = -1;  // bytes of the chunk the request takes; -1: all
  };
  const std::vector<std::vector<Step>> runs = {
      // A GET head in three chunks: 10, 10, 30, the last with an empty body part.
      {{"GET / HT", 10, ""}, {"TP/1.1\r\nHost: h\r\n", 10, ""}, {"\r\n", 30, ""}},
      // POST with length 10: 4 bytes with the head, then 6 complete it.
      {{"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcd", 20, "abcd"}, {"efghij", 30, "efghij"}},
      // ... or 7 pass it: the last one is left to the next request.
      {{"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcd", 20, "abcd"}, {"efghijk", 30, "efghij", 6}},
      // Bytes after a head without length are the next request's.
      {{"GET / HTTP/1.1\r\n\r\nxyz", 30, "", 18}, {"xyz", 10, ""}},
      // A complete request, then the next one on the same connection.
      {{"GET /a HTTP/1.1\r\n\r\n", 30, ""}, {"POST /b HTTP/1.1\r\nContent-Length: 2\r\n\r\nok", 30, "ok"}},
      // CONNECT: every later byte is body.
      {{"CONNECT h:443 HTTP/1.1\r\n\r\n", 20, ""}, {"tunnel bytes", 20, "tunnel bytes"}},
  };
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(i);
    Record r;
    for (const Step& s : runs[i]) {
      const ChunkOutcome out = edge::track_request(r.get(), s.chunk, static_cast<int32_t>(strlen(s.chunk)));
      EXPECT_EQ(r.get()->state, s.state) << s.chunk;
      EXPECT_EQ(std::string(out.body, static_cast<size_t>(out.body_len)), s.body) << s.chunk;
      EXPECT_EQ(out.used, s.used < 0 ? static_cast<int32_t>(strlen(s.chunk)) : s.used) << s.chunk;
    }
  }
}

TEST(RequestTracking, ANewRequestResetsThePerRequestFields) {
  Record r;
  client_rec* rec = r.get();
  const std::string first = "GET /a HTTP/1.1\r\n\r\n";
  edge::track_request(rec, first.data(), static_cast<int32_t>(first.size()));
  rec->taken = 1;
  rec->lifetime = 60;
  rec->cache_kind = 2;
  rec->icookie = 0;
  rec->expired = rec->revalidate = rec->rewritten = 1;
  rec->disk_permission = 0;
  rec->disk_refusal = 1;
  const std::string next = "GET /b HTTP/1.1\r\n";
  edge::track_request(rec, next.data(), static_cast<int32_t>(next.size()));
  EXPECT_EQ(rec->state, 10);
  EXPECT_EQ(rec->taken, 0);
  EXPECT_EQ(rec->lifetime, 0u);
  EXPECT_EQ(rec->cache_kind, 0);
  EXPECT_EQ(rec->icookie, 1);
  EXPECT_EQ(rec->expired + rec->revalidate + rec->rewritten, 0);
  EXPECT_EQ(rec->disk_permission, 1);
  EXPECT_EQ(rec->disk_refusal, 0);
  EXPECT_STREQ(http_parser_GetStr(rec->parser), next.c_str());
}

TEST(ClientRecord, StartsWithNoHostAndDiskPermission) {
  Record r;
  EXPECT_EQ(r.get()->user_id, UINT32_MAX);
  EXPECT_EQ(r.get()->host_id, UINT32_MAX);
  EXPECT_EQ(r.get()->disk_permission, 1);
  EXPECT_EQ(r.get()->state, 0);
  EXPECT_GT(r.get()->created, 0);
}

}  // namespace
