// Completeness of response bodies: the framing chosen from the head, the incremental chunk parser
// fed whole, at every split point and byte by byte, the agreement of the three chunk walks, the
// end check of close-delimited bodies and the checks of stored copies.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "reqgate.h"
#include "reqgate_internal.h"
#include "reqgate_test_util.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

struct FramingCase {
  const char* name;
  const char* method;
  const char* head;
  std::string body;
  bool keepable;     // integrity_init's answer
  uint8_t mode;
  bool complete;     // after the whole body
  bool error;
  const char* content_length;  // the head's Content-Length afterwards
  const char* connection;      // the head's Connection afterwards
};

const std::string kBig(70000, 'x');

const FramingCase kFraming[] = {
    {"length", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", "hello", true, kLength, true, false, "5", "<none>"},
    {"length short", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n", std::string(999, 'a'), true, kLength,
     false, false, "1000", "<none>"},
    {"length repeated", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 3, 3\r\nContent-Length: 3\r\n", "abc", true,
     kLength, true, false, "3, 3", "<none>"},
    {"length differing", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n", "abcd", false,
     kToClose, false, false, "<none>", "close"},
    {"length negative", "GET", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n", "abcde", false, kToClose, false, false,
     "<none>", "close"},
    {"length not a number", "GET", "HTTP/1.1 404 Not Found\r\nContent-Length: 12a\r\nConnection: keep-alive\r\n",
     "x", false, kToClose, false, false, "<none>", "close"},
    {"chunked", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", "5\r\nhello\r\n0\r\n\r\n", true, kChunked,
     true, false, "<none>", "<none>"},
    {"chunked upper case", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n",
     "A\r\n0123456789\r\n1;x=y\r\n!\r\n0\r\n\r\n", true, kChunked, true, false, "<none>", "<none>"},
    {"chunked extension", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n",
     "5;name=value\r\nhello\r\n0\r\n\r\n", true, kChunked, true, false, "<none>", "<none>"},
    {"chunked leading zeros", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n",
     "0000000000000005\r\nhello\r\n000\r\n\r\n", true, kChunked, true, false, "<none>", "<none>"},
    {"chunked trailer", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n",
     "5\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\n", true, kChunked, false, true, "<none>", "<none>"},
    {"chunked no data CRLF", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", "5\r\nhelloXY0\r\n\r\n",
     true, kChunked, false, true, "<none>", "<none>"},
    {"chunked bare LF", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", "5\nhello\r\n0\r\n\r\n", true,
     kChunked, false, true, "<none>", "<none>"},
    {"chunked no digits", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", "zz\r\n", true, kChunked,
     false, true, "<none>", "<none>"},
    {"chunked size over 31 bits", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n",
     "80000000\r\nabc", true, kChunked, false, true, "<none>", "<none>"},
    {"chunked size of 17 digits", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n",
     "10000000000000005\r\nhello\r\n0\r\n\r\n", true, kChunked, false, true, "<none>", "<none>"},
    {"chunked line past 64", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n",
     "5;" + std::string(70, 'e') + "\r\nhello\r\n0\r\n\r\n", true, kChunked, false, true, "<none>", "<none>"},
    {"chunked unfinished", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", "5\r\nhel", true, kChunked,
     false, false, "<none>", "<none>"},
    {"chunked big", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", "11170\r\n" + kBig + "\r\n0\r\n\r\n",
     true, kChunked, true, false, "<none>", "<none>"},
    {"both lengths", "GET", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nTransfer-Encoding: chunked\r\n",
     "5\r\nhello\r\n0\r\n\r\n", false, kChunked, true, false, "<none>", "<none>"},
    {"other transfer coding", "GET", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n", "abc", true, kToClose, false,
     false, "<none>", "close"},
    {"close delimited 200", "GET", "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n", "<html></html>", true, kToClose,
     false, false, "<none>", "close"},
    {"close delimited 404", "GET", "HTTP/1.1 404 Not Found\r\n", "gone", true, kToClose, false, false, "<none>",
     "close"},
    {"close delimited 302", "GET", "HTTP/1.1 302 Found\r\nLocation: /x\r\n", "moved", true, kToClose, false, false,
     "<none>", "close"},
    {"HEAD with length", "HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n", "", true, kNoBody, true, false,
     "1000", "<none>"},
    {"HEAD chunked", "HEAD", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", "", true, kNoBody, true, false,
     "<none>", "<none>"},
    {"304 with length", "GET", "HTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n", "", true, kNoBody, true, false,
     "50", "<none>"},
    {"204", "GET", "HTTP/1.1 204 No Content\r\n", "", true, kNoBody, true, false, "<none>", "<none>"},
    {"100", "GET", "HTTP/1.1 100 Continue\r\n", "", true, kNoBody, true, false, "<none>", "<none>"},
};

struct Fed {
  bool complete;
  bool error;
  bool last;
  uint64_t received;
  bool operator==(const Fed&) const = default;
};

Fed feed_in_pieces(const FramingCase& c, const std::vector<size_t>& cuts) {
  Head request = make_head(std::string(c.method) + " /x HTTP/1.1\r\nHost: h\r\n");
  Head response = make_head(c.head);
  IntegrityState state;
  integrity_init(state, request.get(), response.get(), "h/x");
  size_t from = 0;
  for (size_t cut : cuts) {
    integrity_feed(state, c.body.data() + from, cut - from);
    from = cut;
  }
  integrity_feed(state, c.body.data() + from, c.body.size() - from);
  return {integrity_complete(state), state.error != 0, state.last_chunk != 0, state.received};
}

class Integrity : public ::testing::Test {
 protected:
  void SetUp() override { set_console_trace(false); }
  void TearDown() override { set_console_trace(true); }
};

TEST_F(Integrity, FramingTable) {
  for (const auto& c : kFraming) {
    SCOPED_TRACE(c.name);
    Head request = make_head(std::string(c.method) + " /x HTTP/1.1\r\nHost: h\r\n");
    Head response = make_head(c.head);
    IntegrityState state;
    EXPECT_EQ(integrity_init(state, request.get(), response.get(), "h/x"), c.keepable);
    EXPECT_EQ(state.mode, c.mode);
    EXPECT_EQ(header(response.get(), "Content-Length"), c.content_length);
    EXPECT_EQ(header(response.get(), "Connection"), c.connection);
    integrity_feed(state, c.body.data(), c.body.size());
    EXPECT_EQ(integrity_complete(state), c.complete);
    EXPECT_EQ(state.error != 0, c.error);
    EXPECT_EQ(state.received, c.body.size());
  }
}

TEST_F(Integrity, EverySplitAndByteByByteGiveTheWholeFeedsState) {
  for (const auto& c : kFraming) {
    SCOPED_TRACE(c.name);
    const Fed whole = feed_in_pieces(c, {});
    const size_t splits = std::min<size_t>(c.body.size(), 600);
    for (size_t cut = 1; cut < splits; ++cut) {
      ASSERT_EQ(feed_in_pieces(c, {cut}), whole) << "split at " << cut;
    }
    if (c.body.size() > 2000) continue;
    std::vector<size_t> bytes;
    for (size_t i = 1; i < c.body.size(); ++i) bytes.push_back(i);
    EXPECT_EQ(feed_in_pieces(c, bytes), whole);
  }
}

TEST_F(Integrity, NotStartedIsNeverComplete) {
  IntegrityState state{};
  integrity_feed(state, "abc", 3);
  EXPECT_FALSE(integrity_complete(state));
  EXPECT_EQ(state.received, 0u);
}

// The chunked bodies where all three walks may read: no trailers, size lines below 64 bytes.
struct WalkCase {
  const char* name;
  std::string body;
  bool sound;
  std::string data;
};
const WalkCase kWalks[] = {
    {"one chunk", "5\r\nhello\r\n0\r\n\r\n", true, "hello"},
    {"two chunks", "3\r\nabc\r\n2;e=1\r\nde\r\n0\r\n\r\n", true, "abcde"},
    {"empty body", "0\r\n\r\n", true, ""},
    {"hex case", "a\r\n0123456789\r\nB\r\n0123456789a\r\n0\r\n\r\n", true, "01234567890123456789a"},
    {"no data CRLF", "5\r\nhelloXY0\r\n\r\n", false, ""},
    {"chunk past end", "ff\r\nhello\r\n0\r\n\r\n", false, ""},
    {"bytes after end", "5\r\nhello\r\n0\r\n\r\nX", false, ""},
    {"no last chunk", "5\r\nhello\r\n", false, ""},
    {"size over 31 bits", "80000000\r\nhello\r\n0\r\n\r\n", false, ""},
    {"huge size", "FFFFFFFFFFFFFFFF1\r\nhello\r\n0\r\n\r\n", false, ""},
    {"bare LF", "5\nhello\r\n0\r\n\r\n", false, ""},
    {"no digits", ";x\r\n", false, ""},
};

TEST_F(Integrity, TheThreeChunkWalksAgree) {
  for (const auto& c : kWalks) {
    SCOPED_TRACE(c.name);
    Head response = make_head("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n");
    IntegrityState state;
    integrity_init(state, nullptr, response.get(), "k");
    integrity_feed(state, c.body.data(), c.body.size());
    // The incremental parser completes at the last chunk; bytes after it are a later answer.
    const bool incremental = integrity_complete(state) && state.received == c.body.size() &&
                             c.body.size() >= 5 && c.body.compare(c.body.size() - 5, 5, "0\r\n\r\n") == 0;
    BodyCopy copy(c.body);
    const bool stored = check_chunked(response.get(), copy.get(), "k");
    char* out = nullptr;
    size_t out_len = 0;
    ASSERT_TRUE(dechunk(response.get(), c.body.data(), c.body.size(), &out, &out_len));
    EXPECT_EQ(incremental, c.sound);
    EXPECT_EQ(stored, c.sound);
    EXPECT_EQ(out != nullptr, c.sound);
    if (out) {
      EXPECT_EQ(std::string(out, out_len), c.data);
    }
    codec_free(nullptr, out);
  }
}

TEST_F(Integrity, WholeBodyWalksSkipTrailers) {
  const std::string body = "5\r\nhello\r\n0\r\nX-Sum: 1\r\nY: 2\r\n\r\n";
  Head response = make_head("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n");
  BodyCopy copy(body);
  EXPECT_TRUE(check_chunked(response.get(), copy.get(), "k"));
  char* out = nullptr;
  size_t out_len = 0;
  ASSERT_TRUE(dechunk(response.get(), body.data(), body.size(), &out, &out_len));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out, out_len), "hello");
  codec_free(nullptr, out);
}

TEST_F(Integrity, DechunkRefusesDataPastItsWorkBuffer) {
  std::string body;
  const std::string chunk(512 * 1024, 'q');
  for (int i = 0; i < 3; ++i) body += "80000\r\n" + chunk + "\r\n";
  body += "0\r\n\r\n";
  Head response = make_head("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n");
  char* out = nullptr;
  size_t out_len = 0;
  ASSERT_TRUE(dechunk(response.get(), body.data(), body.size(), &out, &out_len));
  EXPECT_EQ(out, nullptr);
  // A framing that claims more than the body holds is refused before any copy.
  const std::string claim = "7FFFFFFF\r\nabc";
  ASSERT_TRUE(dechunk(response.get(), claim.data(), claim.size(), &out, &out_len));
  EXPECT_EQ(out, nullptr);
}

std::string gzip_of(const std::string& text) {
  Head head = make_head("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n");
  char* out = nullptr;
  uint32_t len = 0;
  EXPECT_TRUE(reqgate_plugin__EncodeContent(nullptr, head.get(), text.data(), static_cast<uint32_t>(text.size()), &out,
                                            &len));
  std::string coded(out, len);
  reqgate_plugin__EncodeMemFree(out);
  return coded;
}

struct FinalCase {
  const char* name;
  const char* head;
  std::string body;
  bool ok;
  const char* content_length;
};

TEST_F(Integrity, FinalBodyCheckOfCloseDelimitedBodies) {
  std::string page = "<html><body>";
  for (int i = 0; i < 300; ++i) page += std::to_string(i * 7919 % 1000) + " ";
  page += "</body></html>";
  const FinalCase cases[] = {
      {"html end and CRLF", "Content-Type: text/html\r\n", page + "\r\n", true, nullptr},
      {"html end, blanks and zeros", "Content-Type: TEXT/HTML; charset=utf-8\r\n", page + " \t0\r\n", true, nullptr},
      {"comment after the end", "Content-Type: text/html\r\n", page + "<!-- x -->", false, "<none>"},
      {"not html", "Content-Type: text/plain\r\n", page, false, "<none>"},
      {"too short", "Content-Type: text/html\r\n", "</html>", false, "<none>"},
      {"gzip html", "Content-Type: text/html\r\nContent-Encoding: gzip\r\n", gzip_of(page), true, nullptr},
      {"gzip of 64 bytes", "Content-Type: text/html\r\nContent-Encoding: gzip\r\n", std::string(64, 'g'), false,
       "<none>"},
      {"gzip too long", "Content-Type: text/html\r\nContent-Encoding: gzip\r\n", std::string(262145, 'g'), false,
       "<none>"},
      {"gzip of text with a zero byte", "Content-Type: text/html\r\nContent-Encoding: gzip\r\n",
       gzip_of(page + std::string(1, '\0') + page), false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Head response = make_head(std::string("HTTP/1.1 200 OK\r\n") + c.head);
    IntegrityState state;
    integrity_init(state, nullptr, response.get(), "k");
    integrity_feed(state, c.body.data(), c.body.size());
    BodyCopy copy(c.body);
    EXPECT_FALSE(integrity_complete(state));
    EXPECT_EQ(final_body_check(state, response.get(), copy.get()), c.ok);
    EXPECT_EQ(integrity_complete(state), c.ok);
    const std::string length = c.content_length ? c.content_length : std::to_string(c.body.size());
    if (c.ok) {
      EXPECT_EQ(header(response.get(), "Content-Length"), length);
    }
    if (c.ok && std::string(c.head).find("gzip") != std::string::npos) {
      EXPECT_EQ(header(response.get(), "Content-Encoding"), "gzip");
    }
  }
}

TEST_F(Integrity, StoredCopyAgainstItsContentLength) {
  struct Case {
    const char* head;
    const char* body;
    bool ok;
  } const cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", "hello", true},
      {"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n", "hello", false},
      {"HTTP/1.1 200 OK\r\n", "hello", false},
      {"HTTP/1.1 301 Moved\r\n", "hello", true},
      {"HTTP/1.1 302 Found\r\n", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    Head response = make_head(c.head);
    BodyCopy copy(c.body);
    EXPECT_EQ(check_content(response.get(), copy.get(), "k"), c.ok);
  }
}

TEST_F(Integrity, SizeLineReader) {
  struct Case {
    const char* text;
    LineState state;
    uint32_t size;
    size_t length;
  } const cases[] = {
      {"", LineState::kNeedMore, 0, 0},         {"1f", LineState::kNeedMore, 0, 0},
      {"1f\r", LineState::kNeedMore, 0, 0},     {"1f\r\n", LineState::kReady, 31, 4},
      {"1f;a=b\r\nxx", LineState::kReady, 31, 8}, {"7fffffff\r\n", LineState::kReady, 0x7FFFFFFF, 10},
      {"80000000", LineState::kTooLarge, 0, 0}, {"x\r\n", LineState::kNoDigits, 0, 0},
      {"5\n", LineState::kNoCrlf, 0, 0},        {"5\rx", LineState::kNoCrlf, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const SizeLine line = read_size_line(c.text);
    EXPECT_EQ(line.state, c.state);
    if (c.state == LineState::kReady) {
      EXPECT_EQ(line.size, c.size);
      EXPECT_EQ(line.length, c.length);
    }
  }
}

// The data of a chunked body, fed whole, at every split point and byte by byte.
TEST(ChunkPayload, DataAloneAtEverySplit) {
  struct Case {
    const char* name;
    std::string body;
    std::string data;
    bool done;
  } const cases[] = {
      {"two chunks", "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world", true},
      {"extensions and trailers", "3;x=y\r\nabc\r\n0\r\nT: 1\r\nU: 2\r\n\r\n", "abc", true},
      {"empty body", "0\r\n\r\n", "", true},
      {"upper-case hex", "A\r\n0123456789\r\n0\r\n\r\n", "0123456789", true},
      {"no CRLF after the data", "3\r\nabcX\r\n0\r\n\r\n", "abc", false},
      {"no digits", "x\r\nabc\r\n", "", false},
      {"bare LF", "3\nabc\r\n0\r\n\r\n", "", false},
      {"cut inside the data", "5\r\nhel", "hel", false},
      {"bytes after the end are not data", "1\r\na\r\n0\r\n\r\nGET / HTTP/1.1\r\n", "a", true},
  };
  for (const auto& c : cases) {
    for (size_t split = 0; split <= c.body.size(); ++split) {
      SCOPED_TRACE(std::string(c.name) + " split at " + std::to_string(split));
      ChunkPayload payload;
      std::string out;
      payload.feed(c.body.data(), split, out);
      payload.feed(c.body.data() + split, c.body.size() - split, out);
      EXPECT_EQ(out, c.data);
      EXPECT_EQ(payload.done(), c.done);
    }
    SCOPED_TRACE(std::string(c.name) + " byte by byte");
    ChunkPayload payload;
    std::string out;
    for (char byte : c.body) payload.feed(&byte, 1, out);
    EXPECT_EQ(out, c.data);
    EXPECT_EQ(payload.done(), c.done);
  }
}

TEST(IntegrityTrace, BrokenChunkFramingPrintsItsLine) {
  testing::internal::CaptureStdout();
  Head response = make_head("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n");
  IntegrityState state;
  integrity_init(state, nullptr, response.get(), "h/page");
  integrity_feed(state, "5\r\nhello\r\n0\r\nX: y\r\n\r\n", 21);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("__calc_chunk_size(0\r\nX: y\r\n\r\n) -> last chunk is not \"0+CRLF+CRLF\"!\r\nh/page\r\n"),
            std::string::npos)
      << out;
}

}  // namespace
