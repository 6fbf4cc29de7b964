// Normalisation and the cache key as one table: head in, connection and settings, then the
// answer, the head out byte for byte, the key and the host.
#include "upfetch_request.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "http_parser.h"

namespace {

using namespace vor::upfetch;

struct ParserFree {
  void operator()(http_parser* p) const { http_parser_free(p); }
};
using Head = std::unique_ptr<http_parser, ParserFree>;

Head parse(const std::string& text, bool indexed) {
  Head head(http_parser_make());
  http_parser_parse(head.get(), text.data(), static_cast<int32_t>(text.size()));
  if (indexed) http_parser_buildIndex(head.get());
  return head;
}

std::string text_of(http_parser* head) { return std::string(http_parser_GetStr(head), http_parser_GetLen(head)); }

enum Settings : unsigned { kNone = 0, kTls = 1, kForward = 2, kConnect = 4, kNoClient = 8 };

struct NormCase {
  const char* name;
  std::string in;
  unsigned settings;
  bool ok;
  std::string out;  // the head after normalisation (when ok)
  std::string key;
  std::string host;
};

const std::string kHost199(199, 'h');
const std::string kHost200(200, 'h');
const std::string kLongTarget = "/" + std::string(3888, 'p');

const NormCase kCases[] = {
    {"browser get", "GET /a HTTP/1.1\r\nHost: a.com\r\nAccept-Encoding: gzip, deflate, br\r\nUser-Agent: x\r\n\r\n", kNone,
     true, "GET /a HTTP/1.1\r\nHost: a.com\r\nUser-Agent: x\r\nAccept-Encoding: gzip\r\n\r\n", "a.com/a", "a.com"},
    {"absolute target without Host, upper case and :80", "GET http://WWW.A.COM:80/a HTTP/1.1\r\n\r\n", kNone, true,
     "GET /a HTTP/1.1\r\nHost: www.a.com\r\n\r\n", "www.a.com/a", "www.a.com"},
    {"absolute target names another host than Host", "GET http://b.example/x HTTP/1.1\r\nHost: a.b\r\n\r\n", kNone,
     true, "GET /x HTTP/1.1\r\nHost: b.example\r\n\r\n", "b.example/x", "b.example"},
    {"absolute target with the same host in another case", "GET http://A.com/x?q HTTP/1.1\r\nHost: a.COM\r\n\r\n",
     kNone, true, "GET /x?q HTTP/1.1\r\nHost: a.com\r\n\r\n", "a.com/x?q", "a.com"},
    {"absolute target without a path", "GET http://a.com HTTP/1.1\r\nHost: a.com\r\n\r\n", kNone, false, "", "", ""},
    {"absolute target with an empty authority", "GET http:///x HTTP/1.1\r\nHost: a.com\r\n\r\n", kNone, false, "", "",
     ""},
    {"absolute target with user info", "GET http://u@a.com/x HTTP/1.1\r\nHost: a.com\r\n\r\n", kNone, false, "", "", ""},
    {"relative target without Host", "GET /a HTTP/1.1\r\nAccept: */*\r\n\r\n", kNone, false, "", "", ""},
    {"asterisk target", "OPTIONS * HTTP/1.1\r\nHost: a.com\r\n\r\n", kNone, false, "", "", ""},
    {"https absolute target", "GET https://a.com/ HTTP/1.1\r\nHost: a.com\r\n\r\n", kNone, false, "", "", ""},
    {"empty Host", "GET / HTTP/1.1\r\nHost: \r\n\r\n", kNone, false, "", "", ""},
    {"h2c upgrade offer",
     "GET / HTTP/1.1\r\nHost: a.com\r\nConnection: Upgrade, HTTP2-Settings\r\nUpgrade: H2C\r\nHTTP2-Settings: "
     "AAMAAABkAAQAoAAAAAIAAAAA\r\n\r\n",
     kNone, true, "GET / HTTP/1.1\r\nHost: a.com\r\nConnection: keep-alive\r\n\r\n", "a.com/", "a.com"},
    {"websocket upgrade stays", "GET / HTTP/1.1\r\nHost: a.com\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
     kNone, true, "GET / HTTP/1.1\r\nHost: a.com\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", "a.com/",
     "a.com"},
    {"hop-by-hop fields of the client stay behind",
     "GET / HTTP/1.1\r\nHost: a.com\r\nConnection: keep-alive, X-Hop, x-other\r\nKeep-Alive: timeout=5\r\nTE: "
     "trailers\r\nX-Hop: 1\r\nX-Other: 2\r\nX-End: 3\r\nUpgrade: websocket\r\n\r\n",
     kNone, true, "GET / HTTP/1.1\r\nHost: a.com\r\nConnection: keep-alive, X-Hop, x-other\r\nX-End: 3\r\n\r\n", "a.com/",
     "a.com"},
    {"Connection naming what the node frames by keeps it",
     "POST / HTTP/1.1\r\nHost: a.com\r\nConnection: Host, Content-Length, close\r\nContent-Length: 0\r\n\r\n", kNone,
     true, "POST / HTTP/1.1\r\nHost: a.com\r\nConnection: Host, Content-Length, close\r\nContent-Length: 0\r\n\r\n",
     "a.com/", "a.com"},
    {"fields named by a second Connection line",
     "GET / HTTP/1.1\r\nConnection: keep-alive\r\nHost: a.com\r\nConnection: X-Hop\r\nX-Hop: 1\r\n\r\n", kNone, true,
     "GET / HTTP/1.1\r\nConnection: keep-alive\r\nHost: a.com\r\nConnection: X-Hop\r\n\r\n", "a.com/", "a.com"},
    {"Connection tokens that are no field names remove nothing",
     "GET / HTTP/1.1\r\nHost: a.com\r\nConnection: ::Host: a.com, a b, X-Hop\r\nX-Hop: 1\r\nX-End: 3\r\n\r\n", kNone,
     true, "GET / HTTP/1.1\r\nHost: a.com\r\nConnection: ::Host: a.com, a b, X-Hop\r\nX-End: 3\r\n\r\n", "a.com/",
     "a.com"},
    {"Proxy-Connection naming a field", "GET / HTTP/1.1\r\nProxy-Connection: X-Hop\r\nHost: a.com\r\nX-Hop: 1\r\n\r\n",
     kNone, true, "GET / HTTP/1.1\r\nHost: a.com\r\nConnection: X-Hop\r\n\r\n", "a.com/", "a.com"},
    {"encodings without gzip", "GET / HTTP/1.1\r\nAccept-Encoding: deflate, br\r\nHost: a.com\r\n\r\n", kNone, true,
     "GET / HTTP/1.1\r\nHost: a.com\r\n\r\n", "a.com/", "a.com"},
    {"gzip refused with q=0", "GET / HTTP/1.1\r\nHost: a.com\r\nAccept-Encoding: gzip;q=0, deflate\r\n\r\n", kNone,
     true, "GET / HTTP/1.1\r\nHost: a.com\r\n\r\n", "a.com/", "a.com"},
    {"gzip refused with q=0.000", "GET / HTTP/1.1\r\nHost: a.com\r\nAccept-Encoding: br, GZIP; Q=0.000\r\n\r\n", kNone,
     true, "GET / HTTP/1.1\r\nHost: a.com\r\n\r\n", "a.com/", "a.com"},
    {"gzip with a weight", "GET / HTTP/1.1\r\nHost: a.com\r\nAccept-Encoding: br;q=1, gzip;q=0.5\r\n\r\n", kNone, true,
     "GET / HTTP/1.1\r\nHost: a.com\r\nAccept-Encoding: gzip\r\n\r\n", "a.com/", "a.com"},
    {"gzip refused beyond the first 126 characters",
     "GET / HTTP/1.1\r\nHost: a.com\r\nAccept-Encoding: " + std::string(120, 'x') + ", gzip;q=0\r\n\r\n", kNone, true,
     "GET / HTTP/1.1\r\nHost: a.com\r\n\r\n", "a.com/", "a.com"},
    {"x-gzip", "GET / HTTP/1.1\r\nHost: a.com\r\nAccept-Encoding: x-gzip\r\n\r\n", kNone, true,
     "GET / HTTP/1.1\r\nHost: a.com\r\nAccept-Encoding: gzip\r\n\r\n", "a.com/", "a.com"},
    {"Host cut at a blank", "GET /p HTTP/1.1\r\nHost: a.com junk\r\nAccept: */*\r\n\r\n", kNone, true,
     "GET /p HTTP/1.1\r\nAccept: */*\r\nHost: a.com\r\n\r\n", "a.com/p", "a.com"},
    {"Host cut at a tab leaves a default port", "GET /p HTTP/1.1\r\nHost: a.com:80\tjunk\r\n\r\n", kNone, true,
     "GET /p HTTP/1.1\r\nHost: a.com:80\r\n\r\n", "a.com:80/p", "a.com:80"},
    {"second Host", "GET / HTTP/1.1\r\nHost: a.com\r\nHost: b.com\r\n\r\n", kNone, false, "", "", ""},
    {"Host with a slash", "GET /y HTTP/1.1\r\nHost: a.com/x\r\n\r\n", kNone, false, "", "", ""},
    {"Host with a bracket", "GET / HTTP/1.1\r\nHost: [::1]:80\r\n\r\n", kNone, false, "", "", ""},
    {"Host with two colons", "GET / HTTP/1.1\r\nHost: a.com:80:80\r\n\r\n", kNone, false, "", "", ""},
    {"Host with an empty port", "GET / HTTP/1.1\r\nHost: a.com:\r\n\r\n", kNone, false, "", "", ""},
    {"Host of 199 characters", "GET / HTTP/1.1\r\nHost: " + kHost199 + "\r\n\r\n", kNone, true,
     "GET / HTTP/1.1\r\nHost: " + kHost199 + "\r\n\r\n", kHost199 + "/", kHost199},
    {"Host of 200 characters", "GET / HTTP/1.1\r\nHost: " + kHost200 + "\r\n\r\n", kNone, false, "", "", ""},
    {"target of 3889 characters", "GET " + kLongTarget + " HTTP/1.1\r\nHost: a.com\r\n\r\n", kNone, false, "", "", ""},
    {":80 on a plain connection", "GET / HTTP/1.1\r\nHost: a.com:80\r\n\r\n", kNone, true,
     "GET / HTTP/1.1\r\nHost: a.com\r\n\r\n", "a.com/", "a.com"},
    {":80 on TLS stays", "GET / HTTP/1.1\r\nHost: a.com:80\r\n\r\n", kTls, true,
     "GET / HTTP/1.1\r\nHost: a.com:80\r\n\r\n", "a.com:80/", "a.com:80"},
    {":443 on TLS", "GET / HTTP/1.1\r\nHost: A.com:443\r\n\r\n", kTls, true, "GET / HTTP/1.1\r\nHost: a.com\r\n\r\n",
     "a.com/", "a.com"},
    {":443 on a plain connection stays", "GET / HTTP/1.1\r\nHost: a.com:443\r\n\r\n", kNone, true,
     "GET / HTTP/1.1\r\nHost: a.com:443\r\n\r\n", "a.com:443/", "a.com:443"},
    {":8080 stays", "GET / HTTP/1.1\r\nHost: a.com:8080\r\n\r\n", kNone, true,
     "GET / HTTP/1.1\r\nHost: a.com:8080\r\n\r\n", "a.com:8080/", "a.com:8080"},
    {"Proxy-Connection without Connection", "GET / HTTP/1.1\r\nProxy-Connection: keep-alive\r\nHost: a.com\r\n\r\n",
     kNone, true, "GET / HTTP/1.1\r\nHost: a.com\r\nConnection: keep-alive\r\n\r\n", "a.com/", "a.com"},
    {"Proxy-Connection beside Connection",
     "GET / HTTP/1.1\r\nConnection: close\r\nProxy-Connection: keep-alive\r\nHost: a.com\r\n\r\n", kNone, true,
     "GET / HTTP/1.1\r\nConnection: close\r\nHost: a.com\r\n\r\n", "a.com/", "a.com"},
    {"forwarding headers added", "GET / HTTP/1.1\r\nHost: a.com\r\n\r\n", kForward, true,
     "GET / HTTP/1.1\r\nHost: a.com\r\nX-Forwarded-For: 192.0.2.7\r\nX-Real-IP: 192.0.2.7\r\n\r\n", "a.com/", "a.com"},
    {"one X-Forwarded-For", "GET / HTTP/1.1\r\nX-Forwarded-For: 1.1.1.1\r\nHost: a.com\r\nX-Real-IP: 5.5.5.5\r\n\r\n",
     kForward, true,
     "GET / HTTP/1.1\r\nHost: a.com\r\nX-Forwarded-For: 1.1.1.1, 192.0.2.7\r\nX-Real-IP: 5.5.5.5; 192.0.2.7\r\n\r\n",
     "a.com/", "a.com"},
    {"two X-Forwarded-For joined in order",
     "GET / HTTP/1.1\r\nX-Forwarded-For: 1.1.1.1\r\nHost: a.com\r\nX-Forwarded-For: 2.2.2.2\r\n\r\n", kForward, true,
     "GET / HTTP/1.1\r\nHost: a.com\r\nX-Forwarded-For: 1.1.1.1, 2.2.2.2, 192.0.2.7\r\nX-Real-IP: 192.0.2.7\r\n\r\n",
     "a.com/", "a.com"},
    {"empty X-Forwarded-For", "GET / HTTP/1.1\r\nX-Forwarded-For:\r\nHost: a.com\r\n\r\n", kForward, true,
     "GET / HTTP/1.1\r\nHost: a.com\r\nX-Forwarded-For: 192.0.2.7\r\nX-Real-IP: 192.0.2.7\r\n\r\n", "a.com/", "a.com"},
    {"client address unreadable", "GET / HTTP/1.1\r\nX-Forwarded-For: 1.1.1.1\r\nHost: a.com\r\n\r\n",
     kForward | kNoClient, true, "GET / HTTP/1.1\r\nX-Forwarded-For: 1.1.1.1\r\nHost: a.com\r\n\r\n", "a.com/", "a.com"},
    {"CONNECT with Host", "CONNECT a.com:443 HTTP/1.1\r\nHost: a.com:443\r\n\r\n", kConnect, true,
     "CONNECT a.com:443 HTTP/1.1\r\nHost: a.com:443\r\n\r\n", "a.com:443", "a.com:443"},
    {"CONNECT without Host", "CONNECT a.com:443 HTTP/1.1\r\nUser-Agent: x\r\n\r\n", kConnect, true,
     "CONNECT a.com:443 HTTP/1.1\r\nUser-Agent: x\r\nHost: a.com:443\r\n\r\n", "a.com:443", "a.com:443"},
    {"CONNECT whose Host names another host", "CONNECT B.com:443 HTTP/1.1\r\nHost: x.com\r\n\r\n", kConnect, true,
     "CONNECT b.com:443 HTTP/1.1\r\nHost: b.com:443\r\n\r\n", "b.com:443", "b.com:443"},
    {"CONNECT not served", "CONNECT a.com:443 HTTP/1.1\r\nHost: a.com:443\r\n\r\n", kNone, false, "", "", ""},
    {"CONNECT to a bad host", "CONNECT a.com/x:443 HTTP/1.1\r\n\r\n", kConnect, false, "", "", ""},
    {"unknown method", "BREW / HTTP/1.1\r\nHost: a.com\r\n\r\n", kNone, false, "", "", ""},
};

TEST(Normalize, Table) {
  for (bool indexed : {false, true}) {
    for (const auto& c : kCases) {
      SCOPED_TRACE(std::string(c.name) + (indexed ? " (indexed)" : ""));
      Head head = parse(c.in, indexed);
      RequestContext context;
      context.tls_on = c.settings & kTls;
      context.use_forwarded_for = c.settings & kForward;
      context.connect_allowed = c.settings & kConnect;
      context.client_ip = (c.settings & kNoClient) ? nullptr : "192.0.2.7";
      ASSERT_EQ(normalize_request(head.get(), context), c.ok);
      if (!c.ok) continue;
      EXPECT_EQ(text_of(head.get()), c.out);
      char method[8];
      ASSERT_NE(http_parser_GetMothod(head.get(), method), nullptr);
      char key[kKeySize];
      char host[kHostSize];
      ASSERT_TRUE(cache_key(head.get(), key, host, method));
      EXPECT_EQ(std::string(key), c.key);
      EXPECT_EQ(std::string(host), c.host);
    }
  }
}

struct KeyCase {
  std::string in;
  bool ok;
  std::string key;
};

const KeyCase kKeys[] = {
    {"GET /a?b HTTP/1.1\r\nHost: a.com\r\n\r\n", true, "a.com/a?b"},
    {"GET http://a.com/x HTTP/1.1\r\nHost: a.com\r\n\r\n", true, "a.com/x"},
    {"GET HTTPS://a.com:8443/x HTTP/1.1\r\nHost: a.com\r\n\r\n", true, "a.com/x"},
    // The authority, not the Host's length, marks where the path starts.
    {"GET http://b.example/x HTTP/1.1\r\nHost: a.b\r\n\r\n", true, "a.b/x"},
    {"GET http://a.com HTTP/1.1\r\nHost: a.com\r\n\r\n", false, ""},
    {"GET /a HTTP/1.1\r\n\r\n", false, ""},
    {"GET /" + std::string(4090, 'p') + " HTTP/1.1\r\nHost: a.com\r\n\r\n", false, ""},  // would not fit whole
    {"GET /" + std::string(4089, 'p') + " HTTP/1.1\r\nHost: a\r\n\r\n", true, "a/" + std::string(4089, 'p')},
};

TEST(CacheKey, Table) {
  for (const auto& c : kKeys) {
    SCOPED_TRACE(c.in.substr(0, 60));
    Head head = parse(c.in, true);
    char key[kKeySize] = "unchanged";
    char host[kHostSize];
    ASSERT_EQ(cache_key(head.get(), key, host, "GET"), c.ok);
    EXPECT_EQ(std::string(key), c.ok ? c.key : "unchanged");
  }
}

// An upstream's head: its Upgrade stays only on a 101 whose Connection names upgrade.
TEST(HopByHop, ResponseFieldsOfOneHopStayBehind) {
  struct Case {
    const char* in;
    bool keep_upgrade;
    const char* out;
  } const cases[] = {
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive, X-Up\r\nKeep-Alive: timeout=5\r\nX-Up: 1\r\nUpgrade: h2c\r\n"
       "X-End: 2\r\nContent-Length: 0\r\n\r\n",
       false, "HTTP/1.1 200 OK\r\nConnection: keep-alive, X-Up\r\nX-End: 2\r\nContent-Length: 0\r\n\r\n"},
      {"HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n", true,
       "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n"},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", true,
       "HTTP/1.1 101 Switching Protocols\r\n\r\n"},
      {"HTTP/1.1 200 OK\r\nConnection: Transfer-Encoding\r\nTransfer-Encoding: chunked\r\n\r\n", false,
       "HTTP/1.1 200 OK\r\nConnection: Transfer-Encoding\r\nTransfer-Encoding: chunked\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    Head head = parse(c.in, true);
    drop_hop_by_hop(head.get(), c.keep_upgrade);
    EXPECT_EQ(text_of(head.get()), c.out);
  }
}

TEST(Version, Http11OnlyWhenTheStartLineEndsWithIt) {
  struct Case {
    const char* head;
    bool http11;
  } const cases[] = {
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", true},
      {"GET / HTTP/1.0\r\nHost: a\r\n\r\n", false},
      {"GET /HTTP/1.1 HTTP/1.0\r\n\r\n", false},
      {"GET / HTTP/1.1\r\n\r\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    EXPECT_EQ(speaks_http11(parse(c.head, true).get()), c.http11);
  }
}

TEST(UpfetchRequest, WantsCloseReadsEveryConnectionToken) {
  struct Case {
    const char* head;
    bool close;
  } const cases[] = {
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", true},  // no Connection header: closed behind the answer
      {"GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n", false},
      {"GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nConnection: keep-alive, close\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nConnection: te\r\nConnection: close\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nConnection: closed\r\n\r\n", false},
      {"GET / HTTP/1.1\r\nConnection: x-a-rather-long-field-name-of-the-client, close\r\n\r\n", true},
      {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", false},
      {"GET / HTTP/1.0\r\nConnection: Upgrade, Keep-Alive\r\n\r\n", false},
      {"GET / HTTP/1.0\r\nConnection: keep-alive, close\r\n\r\n", true},
      {"GET / HTTP/1.0\r\nConnection: te\r\n\r\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    EXPECT_EQ(wants_close(parse(c.head, true).get()), c.close);
  }
}

TEST(XQuorin, StampKeepsTheWholeTokenWithinTheReadPart) {
  const std::string token = "1.1 " + std::string(63, 'n') + " (random:123456 Quorin/Zazudaza/3.7.9)";
  EXPECT_EQ(stamped_x_quorin("", token), token);
  EXPECT_EQ(stamped_x_quorin("a", token), "a; " + token);
  std::string old;
  for (int i = 0; i < 10; ++i) old += (i ? "; " : "") + std::string(100, static_cast<char>('a' + i));
  const std::string value = stamped_x_quorin(old, token);
  EXPECT_LE(value.size(), kXQuorinRead);
  EXPECT_EQ(value.substr(value.size() - token.size()), token);
  EXPECT_EQ(value.substr(0, 5), "bbbbb");  // the oldest entry dropped, the rest kept whole
  EXPECT_EQ(stamped_x_quorin(std::string(1000, 'x'), token), token);
}

}  // namespace
