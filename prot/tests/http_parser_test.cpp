#include "http_parser.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cu_console.h"
#include "cu_malloc.h"
#include "cu_xmem.h"
#include "vor_kit.h"
#include "vor_tempdir.h"

namespace {

using Parser = vor::Owned<http_parser, http_parser_free>;
constexpr char kTestLabel[] = "test";

Parser make() { return Parser(http_parser_make()); }

int32_t feed(http_parser* p, const std::string& s) {
  return http_parser_parse(p, s.data(), static_cast<int32_t>(s.size()));
}

Parser parsed(const std::string& head, bool index = true) {
  Parser p = make();
  EXPECT_EQ(feed(p.get(), head), static_cast<int32_t>(head.size()));
  EXPECT_TRUE(http_parser_check(p.get()));
  if (index) {
    EXPECT_TRUE(http_parser_buildIndex(p.get()));
  }
  return p;
}

std::string text(http_parser* p) { return std::string(http_parser_GetStr(p), http_parser_GetLen(p)); }

// The value of a reader as a string, or "<null>" when it answers NULL.
template <typename Read>
std::string read(Read r) {
  char buffer[4096];
  const char* got = r(buffer, static_cast<int32_t>(sizeof(buffer)));
  return got ? std::string(got) : std::string("<null>");
}

std::string key(http_parser* p, const char* name, int32_t k = 0) {
  return read([&](char* b, int32_t n) { return http_parser_GetNthKey(p, name, k, b, n); });
}

std::string headers(int count, const char* prefix = "X-H") {
  std::string s;
  for (int i = 0; i < count; ++i) s += std::string(prefix) + std::to_string(i) + ": v" + std::to_string(i) + "\r\n";
  return s;
}

// ---- feeding ----------------------------------------------------------------------------

// What a whole feeding session gives: bytes taken, text, completeness and the index.
struct FeedResult {
  int64_t taken = 0;
  std::string text;
  bool complete = false;
  std::vector<std::pair<int, int>> index;
  bool operator==(const FeedResult&) const = default;
};

FeedResult feed_pieces(const std::string& input, const std::vector<size_t>& cuts) {
  Parser p = make();
  FeedResult r;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    size_t to = i < cuts.size() ? cuts[i] : input.size();
    // As the edge server: body bytes are not fed, and a short answer on an incomplete head
    // (a NUL byte, or the cap reached) ends the session as malformed.
    const int32_t piece = static_cast<int32_t>(to - from);
    const int32_t taken = http_parser_parse(p.get(), input.data() + from, piece);
    r.taken += taken;
    from = to;
    if (taken < piece || http_parser_check(p.get())) break;
  }
  r.text = text(p.get());
  r.complete = http_parser_check(p.get());
  if (http_parser_buildIndex(p.get())) {
    for (int i = 0; i < p->index_count; ++i) r.index.emplace_back(p->index[i].offset, p->index[i].length);
  }
  return r;
}

std::string padded_head(size_t total) {
  std::string head = "GET / HTTP/1.1\r\nX-Pad: ";
  head += std::string(total - head.size() - 4, 'p');
  return head + "\r\n\r\n";
}

struct CorpusCase {
  std::string name;
  std::string input;
};

std::vector<CorpusCase> feed_corpus() {
  return {
      {"request", "GET /index.html HTTP/1.1\r\nHost: a.example\r\nAccept: */*\r\n\r\n"},
      {"response with body", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"},
      {"folded and odd case", "POST /f HTTP/1.0\r\nhOsT: x\r\nX-Fold: a\r\n  b c\r\n\tmore\r\nNoColon\r\n\r\nbody"},
      {"colon line", "GET / HTTP/1.1\r\n:authority: x\r\nHost : y\r\n\r\n"},
      {"63 headers", "GET / HTTP/1.1\r\n" + headers(63) + "\r\n"},
      {"64 headers", "GET / HTTP/1.1\r\n" + headers(64) + "\r\n"},
      {"65 headers", "GET / HTTP/1.1\r\n" + headers(65) + "\r\n"},
      {"exactly the cap", padded_head(16383)},
      {"one over the cap", padded_head(16384)},
      {"bare LF line ends", "GET / HTTP/1.1\nHost: x\n\n"},
      {"NUL inside", std::string("GET / HTTP/1.1\r\nA: b\0c\r\n\r\n", 26)},
      {"two heads", "GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n"},
      {"around the first buffer", padded_head(2047) + "tail"},
      {"one past the first buffer", padded_head(2049)},
      {"CR runs", "GET / HTTP/1.1\r\r\n\r\r\n\r\n"},
  };
}

std::vector<size_t> every(size_t step, size_t size) {
  std::vector<size_t> cuts;
  for (size_t i = step; i < size; i += step) cuts.push_back(i);
  return cuts;
}

TEST(HttpParserFeed, WholeSplitAndBytewiseFeedsAgree) {
  for (const auto& c : feed_corpus()) {
    SCOPED_TRACE(c.name);
    const FeedResult whole = feed_pieces(c.input, {});
    EXPECT_EQ(feed_pieces(c.input, every(1, c.input.size())), whole);
    // Every split point of the small heads; for the large ones a stride plus the boundaries.
    const size_t stride = c.input.size() > 4000 ? 61 : 1;
    std::vector<size_t> splits = every(stride, c.input.size());
    for (size_t s : {size_t{2046}, size_t{2047}, size_t{2048}, c.input.size() - 1, c.input.size() - 2}) {
      if (s > 0 && s < c.input.size()) splits.push_back(s);
    }
    for (size_t s : splits) {
      SCOPED_TRACE(s);
      ASSERT_EQ(feed_pieces(c.input, {s}), whole);
    }
  }
}

TEST(HttpParserFeed, AnswersTheBytesThatBelongToTheHead) {
  const FeedResult body = feed_pieces("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", {});
  EXPECT_EQ(body.taken, 38);
  EXPECT_TRUE(body.complete);
  EXPECT_EQ(body.text, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");

  const FeedResult cap = feed_pieces(padded_head(16383), {});
  EXPECT_EQ(cap.taken, 16383);
  EXPECT_TRUE(cap.complete);
  const FeedResult over = feed_pieces(padded_head(16384), {});
  EXPECT_EQ(over.taken, 16383);
  EXPECT_FALSE(over.complete);

  EXPECT_FALSE(feed_pieces("GET / HTTP/1.1\nHost: x\n\n", {}).complete);  // only CR LF CR LF ends a head

  const FeedResult nul = feed_pieces(std::string("GET / HTTP/1.1\r\nA: b\0c\r\n\r\n", 26), {});
  EXPECT_EQ(nul.taken, 20);
  EXPECT_FALSE(nul.complete);
}

TEST(HttpParserFeed, TerminatorSplitOverTwoFeedsAnswersTheRest) {
  Parser p = make();
  EXPECT_EQ(feed(p.get(), "GET / HTTP/1.1\r\nA: b\r\n"), 22);
  EXPECT_FALSE(http_parser_check(p.get()));
  EXPECT_EQ(feed(p.get(), "\r\nbody"), 2);
  EXPECT_TRUE(http_parser_check(p.get()));

  Parser q = make();
  EXPECT_EQ(feed(q.get(), "GET / HTTP/1.1\r"), 15);
  EXPECT_EQ(feed(q.get(), "\n\r\nxyz"), 3);
  EXPECT_EQ(text(q.get()), "GET / HTTP/1.1\r\n\r\n");
}

TEST(HttpParserFeed, FullFirstBufferGrowsWithinTheSameFeed) {
  Parser p = make();
  const std::string start = "GET / HTTP/1.1\r\nX: " + std::string(2047 - 19, 'a');
  EXPECT_EQ(feed(p.get(), start), 2047);
  EXPECT_EQ(p->capacity, 2048);
  EXPECT_EQ(feed(p.get(), "bb\r\n\r\nbody"), 6);
  EXPECT_EQ(p->capacity, 16384);
  EXPECT_TRUE(http_parser_check(p.get()));
}

TEST(HttpParserFeed, FullHeadTakesNothingMore) {
  Parser p = make();
  EXPECT_EQ(feed(p.get(), "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a')), 16383);
  EXPECT_EQ(feed(p.get(), "\r\n\r\n"), 0);
  EXPECT_EQ(http_parser_GetLen(p.get()), 16383);
  EXPECT_FALSE(http_parser_check(p.get()));
}

TEST(HttpParserFeed, NewAndEmptiedObjectsHoldTheEmptyHead) {
  Parser p = make();
  EXPECT_EQ(http_parser_GetLen(p.get()), 0);
  EXPECT_STREQ(http_parser_GetStr(p.get()), "");
  EXPECT_FALSE(http_parser_check(p.get()));
  EXPECT_EQ(feed(p.get(), ""), 0);
  EXPECT_EQ(http_parser_parse(p.get(), nullptr, 5), 0);
  EXPECT_EQ(http_parser_parse(p.get(), "abc", -1), 0);

  feed(p.get(), "GET / HTTP/1.1\r\nA: 1\r\n\r\n");
  ASSERT_TRUE(http_parser_buildIndex(p.get()));
  http_parser_empty(p.get());
  EXPECT_EQ(http_parser_GetLen(p.get()), 0);
  EXPECT_EQ(p->index_count, 0);
  EXPECT_EQ(feed(p.get(), "HTTP/1.1 204 No Content\r\n\r\n"), 27);
  EXPECT_TRUE(http_parser_check(p.get()));
}

TEST(HttpParserFeed, CallerStorageAndNullObjects) {
  http_parser storage;
  http_parser_init(&storage);
  EXPECT_EQ(feed(&storage, "GET / HTTP/1.1\r\n\r\n"), 18);
  http_parser_destroy(&storage);
  EXPECT_EQ(storage.text, nullptr);
  EXPECT_EQ(storage.length, 0);
  http_parser_init(nullptr);
  http_parser_destroy(nullptr);
  http_parser_free(nullptr);
  http_parser_empty(nullptr);
  EXPECT_EQ(http_parser_parse(nullptr, "x", 1), 0);
  EXPECT_FALSE(http_parser_check(nullptr));
  EXPECT_EQ(http_parser_GetStr(nullptr), nullptr);
  EXPECT_EQ(http_parser_clone(nullptr), nullptr);
}

// ---- the index --------------------------------------------------------------------------

TEST(HttpParserIndex, SixtyThreeNamesAreIndexedSixtyFourAreNot) {
  for (int n : {63, 64, 65}) {
    SCOPED_TRACE(n);
    Parser p = parsed("GET / HTTP/1.1\r\n" + headers(n) + "\r\n");
    EXPECT_EQ(p->index_count, n == 63 ? 63 : 0);
    EXPECT_EQ(key(p.get(), ("X-H" + std::to_string(n - 1)).c_str()), "v" + std::to_string(n - 1));
  }
}

TEST(HttpParserIndex, BuildIndexNeedsACompleteHeadAndKeepsAnExistingIndex) {
  Parser p = make();
  feed(p.get(), "GET / HTTP/1.1\r\nA: 1\r\n");
  EXPECT_FALSE(http_parser_buildIndex(p.get()));
  feed(p.get(), "\r\n");
  ASSERT_TRUE(http_parser_buildIndex(p.get()));
  p->index[0].length = 7;  // a rebuild would restore 1
  EXPECT_TRUE(http_parser_buildIndex(p.get()));
  EXPECT_EQ(p->index[0].length, 7);
}

TEST(HttpParserIndex, NamesEndAtBlankColonOrLineEnd) {
  Parser p = parsed("GET / HTTP/1.1\r\nHost : h\r\nNoColon word\r\n:skip: x\r\n  folded: f\r\n\r\n");
  ASSERT_EQ(p->index_count, 3);
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i) names.emplace_back(p->text + p->index[i].offset, p->index[i].length);
  EXPECT_EQ(names, (std::vector<std::string>{"Host", "NoColon", "folded"}));
  EXPECT_EQ(key(p.get(), "host"), "h");
  EXPECT_EQ(key(p.get(), "NoColon"), "word");
}

TEST(HttpParserIndex, IndexInfoPrintsEachName) {
  const std::string long_name(200, 'n');
  Parser p = parsed("GET / HTTP/1.1\r\nHost: h\r\nVia: v\r\n" + long_name + ": x\r\n\r\n");
  vor::test::TempDir dir;
  const std::string console = dir.file("console.txt");
  cu_console_Setup(console.c_str());
  http_parser_IndexInfo(p.get());
  cu_console_Free();
  EXPECT_EQ(vor::test::read_file(console), "Host: \r\nVia: \r\n" + long_name.substr(0, 128) + ": \r\n");
}

TEST(HttpParserClone, CopyAnswersAlikeAndEditsStayApart) {
  Parser src = parsed("GET /a HTTP/1.1\r\nHost: h\r\nVia: 1\r\nVia: 2\r\n\r\n");
  Parser copy(http_parser_clone(src.get()));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->index_count, src->index_count);
  EXPECT_EQ(key(copy.get(), "via", 1), "2");
  EXPECT_TRUE(http_parser_ModifyKey(copy.get(), "Host", "other"));
  http_parser_ModifyRequest(copy.get(), "/longer/target");
  EXPECT_EQ(key(src.get(), "Host"), "h");
  EXPECT_EQ(text(src.get()), "GET /a HTTP/1.1\r\nHost: h\r\nVia: 1\r\nVia: 2\r\n\r\n");
  EXPECT_EQ(key(copy.get(), "Host"), "other");

  Parser bare = make();
  Parser bare_copy(http_parser_clone(bare.get()));
  ASSERT_NE(bare_copy, nullptr);
  EXPECT_EQ(bare_copy->text, nullptr);
}

// ---- pools and failed growth ---------------------------------------------------------------

// A pool of one 4 KB page: room for the object and its first buffer, never for 16,384 bytes.
struct SmallPool {
  cu_xmem* pool = cu_xmem_init_ext(nullptr, 4096, 1, 0, nullptr, nullptr, nullptr);
  ~SmallPool() { cu_xmem_exit(pool); }
};

TEST(HttpParserPool, FailedGrowthWhileFeedingTakesNothingMore) {
  SmallPool pool;
  ASSERT_NE(pool.pool, nullptr);
  Parser p(http_parser_makex(pool.pool));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(feed(p.get(), "GET / HTTP/1.1\r\nX: " + std::string(3000, 'a')), 2047);
  EXPECT_EQ(p->capacity, 2048);
  EXPECT_EQ(feed(p.get(), "more"), 0);
}

TEST(HttpParserPool, FailedGrowthKeepsTheHeadAndRefusesTheEdit) {
  SmallPool pool;
  Parser p(http_parser_makex(pool.pool));
  ASSERT_NE(p, nullptr);
  const std::string head = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
  feed(p.get(), head);
  ASSERT_TRUE(http_parser_buildIndex(p.get()));
  const std::string big(3000, 'b');
  EXPECT_FALSE(http_parser_InsertKey(p.get(), "X-Big", big.c_str()));
  EXPECT_FALSE(http_parser_ModifyKey(p.get(), "Host", big.c_str()));
  http_parser_ModifyRequest(p.get(), big.c_str());
  http_parser_ModifyMethod(p.get(), big.c_str());
  EXPECT_EQ(text(p.get()), head);
  EXPECT_EQ(key(p.get(), "Host"), "h");
  EXPECT_TRUE(http_parser_InsertKey(p.get(), "X-Small", "s"));  // what fits still works
}

TEST(HttpParserPool, CloneWithoutRoomForTheBufferAnswersNull) {
  SmallPool pool;
  Parser src = make();
  feed(src.get(), "GET / HTTP/1.1\r\nX: " + std::string(3000, 'a') + "\r\n\r\n");
  ASSERT_EQ(src->capacity, 16384);
  EXPECT_EQ(http_parser_clonex(src.get(), pool.pool), nullptr);
  Parser small(http_parser_clonex(parsed("GET / HTTP/1.1\r\nA: 1\r\n\r\n").get(), pool.pool));
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(key(small.get(), "a"), "1");
}

// ---- the start line ---------------------------------------------------------------------

struct StartLineCase {
  const char* head;
  const char* method;  // GetMothod; "<null>" for NULL
  const char* target;
  const char* status;
};

const StartLineCase kStartLines[] = {
    {"GET /a HTTP/1.1\r\n\r\n", "GET", "/a", "<null>"},
    {"get /a HTTP/1.1\r\n\r\n", "get", "/a", "<null>"},
    {"PATCH /a HTTP/1.1\r\n\r\n", "<null>", "/a", "<null>"},
    {"GET\t/a HTTP/1.1\r\n\r\n", "<null>", "/a", "<null>"},
    {"GET  /a HTTP/1.1\r\n\r\n", "GET", "", "<null>"},
    {"OPTIONS * HTTP/1.1\r\n\r\n", "OPTIONS", "*", "<null>"},
    {"CONNECT h:443 HTTP/1.1\r\n\r\n", "CONNECT", "h:443", "<null>"},
    {"G3T /a HTTP/1.1\r\n\r\n", "<null>", "<null>", "<null>"},
    {" /a HTTP/1.1\r\n\r\n", "<null>", "<null>", "<null>"},
    {"HTTP/1.1 404 Not Found\r\n\r\n", "<null>", "<null>", "404 Not Found"},
    {"http/1.0 200 OK\r\n\r\n", "<null>", "<null>", "200 OK"},
    {"HTTP/1.2 200 OK\r\n\r\n", "<null>", "<null>", "<null>"},
    {"HTTP/1.1\t200 OK\r\n\r\n", "<null>", "<null>", "<null>"},
};

TEST(HttpParserStartLine, ReadersFollowTheShapeOfTheLine) {
  for (const auto& c : kStartLines) {
    SCOPED_TRACE(c.head);
    Parser p = parsed(c.head);
    char method[8];
    const char* m = http_parser_GetMothod(p.get(), method);
    EXPECT_EQ(m ? std::string(m) : "<null>", c.method);
    EXPECT_EQ(read([&](char* b, int32_t n) { return http_parser_GetRequest(p.get(), b, n); }), c.target);
    EXPECT_EQ(read([&](char* b, int32_t n) { return http_parser_GetStatus(p.get(), b, n); }), c.status);
    vor::Owned<char, vor::free_as<kTestLabel>> ext(http_parser_GetStatus_ext(p.get()));
    EXPECT_EQ(ext ? std::string(ext.get()) : "<null>", c.status);
  }
}

TEST(HttpParserStartLine, ReadersCutToTheBufferSize) {
  Parser p = parsed("HTTP/1.1 404 Not Found\r\n\r\n");
  char small[4];
  EXPECT_STREQ(http_parser_GetStatus(p.get(), small, 4), "404");
  EXPECT_STREQ(http_parser_GetStatus(p.get(), small, 1), "");
  EXPECT_EQ(http_parser_GetStatus(p.get(), small, 0), nullptr);
  EXPECT_EQ(http_parser_GetStatus(p.get(), nullptr, 4), nullptr);
}

TEST(HttpParserStartLine, EditsMoveTheIndexWithTheText) {
  Parser p = parsed("GET /a HTTP/1.1\r\nHost: h\r\nVia: v\r\n\r\n");
  http_parser_ModifyRequest(p.get(), "/a/much/longer/target?q=1");
  http_parser_ModifyMethod(p.get(), "POST");
  EXPECT_EQ(text(p.get()), "POST /a/much/longer/target?q=1 HTTP/1.1\r\nHost: h\r\nVia: v\r\n\r\n");
  EXPECT_EQ(key(p.get(), "Host"), "h");
  EXPECT_EQ(key(p.get(), "Via"), "v");
  http_parser_ModifyRequest(p.get(), "/");
  EXPECT_EQ(key(p.get(), "via"), "v");

  Parser r = parsed("HTTP/1.2 200 OK\r\nServer: s\r\n\r\n");
  http_parser_ModifyStatus(r.get(), "503 Service Unavailable");
  EXPECT_EQ(text(r.get()), "HTTP/1.2 503 Service Unavailable\r\nServer: s\r\n\r\n");
  EXPECT_EQ(key(r.get(), "Server"), "s");
  http_parser_ModifyMethod(r.get(), "GET");  // a response has no method: unchanged
  http_parser_ModifyStatus(r.get(), nullptr);
  EXPECT_EQ(text(r.get()), "HTTP/1.2 503 Service Unavailable\r\nServer: s\r\n\r\n");
}

TEST(HttpParserStartLine, EditsThatWouldReachTheCapChangeNothing) {
  const std::string head = padded_head(16000);
  Parser p = parsed(head);
  http_parser_ModifyRequest(p.get(), std::string(400, 't').c_str());
  EXPECT_EQ(text(p.get()), head);
  http_parser_ModifyRequest(p.get(), std::string(383, 't').c_str());  // 16,382 characters: fits
  EXPECT_EQ(http_parser_GetLen(p.get()), 16382);
  const std::string start = "GET " + std::string(383, 't') + " HTTP/1.1\r\nX-Pad: ";
  EXPECT_EQ(text(p.get()).substr(0, start.size()), start);
  EXPECT_TRUE(http_parser_IsKey(p.get(), "X-Pad"));
}

// ---- headers ----------------------------------------------------------------------------

TEST(HttpParserHeaders, LookupsAgreeWithAndWithoutTheIndex) {
  const std::string head =
      "GET / HTTP/1.1\r\nHost: h\r\nX-A:: v  \r\nContent-Length-X: 9\r\nVia: 1\r\nvia: 2\r\nEmpty:\r\n"
      "Tabbed:\t\tt\t\r\n\r\n";
  struct Lookup {
    const char* name;
    int k;
    const char* value;
  };
  const Lookup lookups[] = {
      {"host", 0, "h"},        {"X-A", 0, "v"},    {"Content-Length", 0, "<null>"},
      {"Via", 1, "2"},         {"VIA", 2, "<null>"}, {"Empty", 0, ""},
      {"Tabbed", 0, "t"},      {"", 0, "<null>"},  {"\r\n", 0, "<null>"},
      {"Host", -1, "<null>"},
  };
  for (bool index : {true, false}) {
    Parser p = parsed(head, index);
    for (const auto& l : lookups) {
      SCOPED_TRACE(std::string(l.name) + (index ? " indexed" : " text"));
      EXPECT_EQ(key(p.get(), l.name, l.k), l.value);
      if (l.k == 0) {
        EXPECT_EQ(http_parser_IsKey(p.get(), l.name), std::string(l.value) != "<null>");
      }
    }
  }
}

TEST(HttpParserHeaders, DeleteRemovesOneLine) {
  for (bool index : {true, false}) {
    SCOPED_TRACE(index);
    Parser p = parsed("GET / HTTP/1.1\r\nVia: 1\r\nHost: h\r\nVia: 2\r\n\r\n", index);
    EXPECT_TRUE(http_parser_DelKey(p.get(), "via"));
    EXPECT_EQ(text(p.get()), "GET / HTTP/1.1\r\nHost: h\r\nVia: 2\r\n\r\n");
    EXPECT_TRUE(http_parser_DelKey(p.get(), "Missing"));
    EXPECT_TRUE(http_parser_DelNthKey(p.get(), "Via", 3));
    EXPECT_TRUE(http_parser_DelKey(p.get(), nullptr));
    EXPECT_EQ(text(p.get()), "GET / HTTP/1.1\r\nHost: h\r\nVia: 2\r\n\r\n");
    EXPECT_EQ(key(p.get(), "Via"), "2");
    EXPECT_EQ(key(p.get(), "Host"), "h");
  }
}

TEST(HttpParserHeaders, DeletingAFoldedLineTakesItsLeadingBlanks) {
  Parser p = parsed("GET / HTTP/1.1\r\nA: 1\r\n  cont bar\r\nB: 2\r\n\r\n");
  EXPECT_EQ(key(p.get(), "cont"), "bar");
  http_parser_DelKey(p.get(), "cont");
  EXPECT_EQ(text(p.get()), "GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\n\r\n");
  EXPECT_TRUE(http_parser_InsertKey(p.get(), "C", "3"));
  EXPECT_EQ(text(p.get()), "GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n");
  EXPECT_EQ(key(p.get(), "B"), "2");
}

TEST(HttpParserHeaders, DeletingWithoutAValidNameNeverTouchesTheTerminator) {
  for (bool index : {true, false}) {
    Parser p = parsed("GET / HTTP/1.1\r\nA: 1\r\n\r\n", index);
    for (const char* name : {"", "\r\n", "\r", "\n"}) http_parser_DelKey(p.get(), name);
    EXPECT_EQ(text(p.get()), "GET / HTTP/1.1\r\nA: 1\r\n\r\n");
  }
}

TEST(HttpParserHeaders, ModifyMovesTheHeaderToTheEnd) {
  for (bool index : {true, false}) {
    SCOPED_TRACE(index);
    Parser p = parsed("GET / HTTP/1.1\r\nHost: h\r\nVia: 1\r\nHost: h2\r\n\r\n", index);
    EXPECT_TRUE(http_parser_ModifyKey(p.get(), "Host", "new"));
    EXPECT_EQ(text(p.get()), "GET / HTTP/1.1\r\nVia: 1\r\nHost: h2\r\nHost: new\r\n\r\n");
    EXPECT_TRUE(http_parser_ModifyKey(p.get(), "X-New", ""));
    EXPECT_EQ(key(p.get(), "X-New"), "");
    EXPECT_EQ(key(p.get(), "host", 1), "new");
    EXPECT_TRUE(http_parser_check(p.get()));
  }
}

TEST(HttpParserHeaders, InsertUpToTheCap) {
  Parser p = parsed("GET / HTTP/1.1\r\n\r\n");
  const int32_t room = 16383 - 18 - 4;  // the name, ": ", the value and CR LF
  EXPECT_FALSE(http_parser_InsertKey(p.get(), "X", std::string(room, 'v').c_str()));
  EXPECT_TRUE(http_parser_InsertKey(p.get(), "X", std::string(room - 1, 'v').c_str()));
  EXPECT_EQ(http_parser_GetLen(p.get()), 16383);
  EXPECT_TRUE(http_parser_check(p.get()));
  EXPECT_FALSE(http_parser_InsertKey(p.get(), "Y", ""));
  // The deletion makes the room a replacement needs.
  EXPECT_TRUE(http_parser_ModifyKey(p.get(), "X", "short"));
  EXPECT_EQ(text(p.get()), "GET / HTTP/1.1\r\nX: short\r\n\r\n");
}

TEST(HttpParserHeaders, ModifyWithoutRoomKeepsTheOldHeader) {
  Parser p = parsed("GET / HTTP/1.1\r\nHost: h\r\n" + headers(10) + "\r\n");
  const std::string before = text(p.get());
  EXPECT_FALSE(http_parser_ModifyKey(p.get(), "Host", std::string(16383, 'x').c_str()));
  EXPECT_EQ(text(p.get()), before);
  EXPECT_EQ(key(p.get(), "Host"), "h");
}

// Text that would split the head, and names the lookups could not find again, are refused.
TEST(HttpParserHeaders, InjectionIsRefusedAndLosesNothing) {
  const std::string head = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
  struct Bad {
    const char* name;
    const char* value;
  };
  const Bad bad[] = {{"X", "a\r\nEvil: 1"}, {"X", "a\nb"}, {"X", "a\rb"}, {"X\r\nEvil", "1"},
                     {"", "v"},             {" X", "v"}, {"X:Y", "v"},  {"X Y", "v"},
                     {"Host", "h\r\n\r\nGET /smuggled HTTP/1.1"}};
  for (bool index : {true, false}) {
    Parser p = parsed(head, index);
    for (const auto& b : bad) {
      SCOPED_TRACE(b.name);
      EXPECT_FALSE(http_parser_InsertKey(p.get(), b.name, b.value));
      EXPECT_FALSE(http_parser_ModifyKey(p.get(), b.name, b.value));
    }
    EXPECT_FALSE(http_parser_ModifyKey(p.get(), "Host", "h\r\nEvil: 1"));
    EXPECT_FALSE(http_parser_InsertKey(p.get(), nullptr, "v"));
    EXPECT_FALSE(http_parser_InsertKey(p.get(), "X", nullptr));
    http_parser_ModifyMethod(p.get(), "GET /x HTTP/1.1\r\nEvil: 1\r\n\r\nGET");
    http_parser_ModifyRequest(p.get(), "/b\r\nEvil: 1");
    http_parser_ModifyStatus(p.get(), "200\n");
    EXPECT_EQ(text(p.get()), head);
    EXPECT_EQ(key(p.get(), "Host"), "h");
  }
  Parser r = parsed("HTTP/1.1 200 OK\r\n\r\n");
  http_parser_ModifyStatus(r.get(), "200 OK\r\nSet-Cookie: x=1");
  EXPECT_EQ(text(r.get()), "HTTP/1.1 200 OK\r\n\r\n");
}

TEST(HttpParserHeaders, InsertNeedsACompleteHead) {
  for (const char* partial : {"", "G", "GET / HTTP/1.1\r\n", "GET / HTTP/1.1\r\nA: 1"}) {
    SCOPED_TRACE(partial);
    Parser p = make();
    feed(p.get(), partial);
    EXPECT_FALSE(http_parser_InsertKey(p.get(), "X", "1"));
    EXPECT_FALSE(http_parser_ModifyKey(p.get(), "A", "2"));
    EXPECT_EQ(text(p.get()), partial);
  }
}

TEST(HttpParserHeaders, InsertGrowsTheIndexToSixtyFourThenDropsIt) {
  Parser p = parsed("GET / HTTP/1.1\r\n" + headers(62) + "\r\n");
  ASSERT_EQ(p->index_count, 62);
  EXPECT_TRUE(http_parser_InsertKey(p.get(), "A", "1"));
  EXPECT_TRUE(http_parser_InsertKey(p.get(), "B", "2"));
  EXPECT_EQ(p->index_count, 64);
  EXPECT_TRUE(http_parser_InsertKey(p.get(), "C", "3"));
  EXPECT_EQ(p->index_count, 0);
  for (const char* name : {"A", "B", "C", "X-H0", "X-H61"}) EXPECT_TRUE(http_parser_IsKey(p.get(), name)) << name;
}

TEST(HttpParserHeaders, ExtReadersHandOutOwnBlocks) {
  Parser p = parsed("GET /t HTTP/1.1\r\nHost: h\r\nCookie: s=1\r\n\r\n");
  for (char* block : {http_parser_GetKey_ext(p.get(), "host"), http_parser_GetRequest_ext(p.get()),
                      http_parser_GetMethod_ext(p.get()), http_parser_GetCookie_ext(p.get(), "s")}) {
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(std::string(block) == "h" || std::string(block) == "/t" || std::string(block) == "GET" ||
                std::string(block) == "1");
    _cu_free(block, "test", 0);
  }
  EXPECT_EQ(http_parser_GetKey_ext(p.get(), "Missing"), nullptr);
  EXPECT_EQ(http_parser_GetStatus_ext(p.get()), nullptr);
  EXPECT_EQ(http_parser_GetCookie_ext(p.get(), "none"), nullptr);
}

// ---- cookies ----------------------------------------------------------------------------

struct CookieCase {
  const char* cookie_header;
  const char* name;
  const char* value;
};

const CookieCase kCookies[] = {
    {"a=1; b= 2 ;ab=3", "b", " 2"},   {"a=1; b= 2 ;ab=3", "AB", "3"}, {"a=1; b= 2 ;ab=3", "c", "<null>"},
    {"ab=3; b=4", "b", "4"},          {"a=1", "a", "1"},             {"a=", "a", ""},
    {"x=1;\ty=2\t", "y", "2"},        {"xa=1", "a", "<null>"},        {"a", "a", "<null>"},
};

TEST(HttpParserCookies, CookieValuesByName) {
  for (bool index : {true, false}) {
    for (const auto& c : kCookies) {
      SCOPED_TRACE(std::string(c.cookie_header) + " / " + c.name);
      Parser p = parsed(std::string("GET / HTTP/1.1\r\nCookie: ") + c.cookie_header + "\r\nCookie: c=9\r\n\r\n", index);
      EXPECT_EQ(read([&](char* b, int32_t n) { return http_parser_GetCookie(p.get(), c.name, b, n); }), c.value);
      EXPECT_EQ(http_parser_IsCookieKey(p.get(), c.name), std::string(c.value) != "<null>");
    }
  }
  Parser none = parsed("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_FALSE(http_parser_IsCookieKey(none.get(), "a"));
  char b[4];
  EXPECT_EQ(http_parser_GetCookie(none.get(), nullptr, b, 4), nullptr);
}

}  // namespace
