#include "vor_uri.h"

#include "cu_malloc.h"
#include "vor_kit.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using Uri = vor::Owned<vor_uri, vor_uri_free>;

std::string taken(char* s) {
  if (!s) return "(null)";
  std::string out = s;
  _cu_free(s, "test", __LINE__);
  return out;
}

std::string or_null(const char* s) { return s ? s : "(null)"; }

struct ParseCase {
  const char* text;
  const char* scheme;
  const char* host;
  const char* authority;
  const char* path;
  const char* path_raw;
  const char* query;
  const char* fragment;
  int port;
};

const char* const N = "(null)";

const ParseCase kParses[] = {
    {"/a/../../b?x=1%202#f", N, N, N, "/b", "/b", "x=1 2", "f", 0},
    {"ftp://Node1", "ftp", "Node1", N, "/", "/", N, N, 21},
    {"FTP://h/x", "FTP", "h", N, "/x", "/x", N, N, 21},
    {"gopher://h/", "gopher", "h", N, "/", "/", N, N, 70},
    {"ftp://h:8080/p", "ftp", "h", N, "/p", "/p", N, N, 8080},
    {"ftp://[::1]:81/x", "ftp", "::1", N, "/x", "/x", N, N, 81},
    {"http://[1:2:3:4:5:6:7:8]/", "http", "1:2:3:4:5:6:7:8", N, "/", "/", N, N, 80},
    {"ftp://1.2.3/", "ftp", N, "1.2.3", "/", "/", N, N, 0},
    {"ftp://a..b/", "ftp", N, "a..b", "/", "/", N, N, 0},
    {"http://10.0.0.1:8/a", "http", "10.0.0.1", N, "/a", "/a", N, N, 8},
    {"http://h.example#top", "http", N, "h.example", "/", "/", N, "top", 0},
    {"ftp:///x", "ftp", "x", N, "/", "/", N, N, 21},
    {"  ftp://h/", "ftp", "h", N, "/", "/", N, N, 21},
    {"/x  ", N, N, N, "/x", "/x", N, N, 0},
    {"/a+b", N, N, N, "/a b", "/a%20b", N, N, 0},
    {"/a:b", N, N, N, "/a:b", "/a%3Ab", N, N, 0},
    {"/%7Euser", N, N, N, "/~user", "/~user", N, N, 0},
    {"//a//b/./c/.", N, "a", N, "/b/c/", "/b/c/", N, N, 0},
    {"C:\\dir\\file", "C", N, N, "/dir/file", "/dir/file", N, N, 0},
    {"/%2e%2e/%2E%2E/etc/passwd", N, N, N, "/etc/passwd", "/etc/passwd", N, N, 0},
    {"http://u:pw@h:81/p;q?a=1&b#f", "http", "h", N, "/p;q", "/p;q", "a=1&b", "f", 81},
    {"g;x/y", N, N, N, "g;x/y", "g;x/y", N, N, 0},
    {"?y", N, N, N, N, N, "y", N, 0},
    {"mailto:a@b.c", "mailto", N, N, N, N, N, N, 0},
    {"http://h/%C3%A9", "http", "h", N, "/\xC3\xA9", "/%C3%A9", N, N, 80},
};

TEST(Uri, ParsesReferencesIntoTheirComponents) {
  for (const auto& c : kParses) {
    SCOPED_TRACE(c.text);
    Uri u(vor_uri_malloc(c.text));
    ASSERT_TRUE(u);
    EXPECT_EQ(or_null(vor_uri_GetScheme(u.get())), c.scheme);
    EXPECT_EQ(or_null(vor_uri_GetHost(u.get())), c.host);
    EXPECT_EQ(or_null(u->authority), c.authority);
    EXPECT_EQ(or_null(vor_uri_GetPath(u.get())), c.path);
    EXPECT_EQ(or_null(vor_uri_GetPathRaw(u.get())), c.path_raw);
    EXPECT_EQ(or_null(vor_uri_GetQuery(u.get())), c.query);
    EXPECT_EQ(or_null(vor_uri_GetFragment(u.get())), c.fragment);
    EXPECT_EQ(vor_uri_GetPort(u.get()), c.port);
    EXPECT_EQ(std::string(vor_uri_GetPortString(u.get())), std::to_string(c.port));
  }
}

TEST(Uri, KeepsQueryAsWrittenUserAndOpaque) {
  Uri u(vor_uri_malloc("/a/../../b?x=1%202#f"));
  ASSERT_TRUE(u);
  EXPECT_STREQ(vor_uri_GetQueryRaw(u.get()), "x=1%202");
  EXPECT_EQ(taken(vor_uri_GetURIRequest(u.get())), "/b?x=1%202");
  Uri v(vor_uri_malloc("http://u%20x:pw@h/"));
  ASSERT_TRUE(v);
  EXPECT_STREQ(vor_uri_GetUser(v.get()), "u x:pw");
  Uri m(vor_uri_malloc("mailto:a@b.c"));
  ASSERT_TRUE(m);
  EXPECT_STREQ(m->opaque, "a@b.c");
  EXPECT_EQ(taken(vor_uri_GetURIString(m.get())), "mailto:a@b.c");
}

TEST(Uri, RefusesWhatIsNoReference) {
  for (const char* text : {"", "  /x", "/a b", "ftp://[::g]/", "ftp://[1:2]/", "ftp://[::1::2]/", "a b",
                           "/a%00b", "http://h/%00", "/x\x01"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(vor_uri_malloc(text), nullptr);
  }
  EXPECT_EQ(vor_uri_malloc(nullptr), nullptr);
}

TEST(Uri, KeepRawStoresComponentsAsWritten) {
  Uri u(vor_uri_mallocx("/a%20b/../c%41?q=%41+b", 1));
  ASSERT_TRUE(u);
  EXPECT_STREQ(vor_uri_GetPath(u.get()), "/c%41");
  EXPECT_STREQ(vor_uri_GetQuery(u.get()), "q=%41+b");
  EXPECT_EQ(u->flags, 2);
}

struct WriteCase {
  const char* text;
  const char* written;
};

const WriteCase kWrites[] = {
    {"ftp://h:8080/p", "ftp://h:8080/p"},
    {"ftp://h:21/p", "ftp://h/p"},
    {"http://u@h/a+b?x=1%202#f%20g", "http://u@h/a%20b?x=1%202#f%20g"},
    {"ftp://1.2.3/", "ftp://1.2.3/"},
    {"ftp://[::1]:81/x", "ftp://[::1]:81/x"},
    {"/a:b", "/a%3Ab"},
};

TEST(Uri, WritesTheUriBack) {
  for (const auto& c : kWrites) {
    SCOPED_TRACE(c.text);
    Uri u(vor_uri_malloc(c.text));
    ASSERT_TRUE(u);
    const std::string written = taken(vor_uri_GetURIString(u.get()));
    EXPECT_EQ(written, c.written);
    EXPECT_TRUE(Uri(vor_uri_malloc(written.c_str()))) << "written text parses again";
  }
}

TEST(Uri, NormalizesPathsInPlace) {
  const std::pair<const char*, const char*> cases[] = {
      {"a/b/../..", ""},       {"/../x", "/x"},       {"\\a\\\\b", "/a/b"},   {"/a/./b/.", "/a/b/"},
      {"/a/b/c/../../d", "/a/d"}, {"../a/..", "../"},   {"/../../..", "/"},     {"./x", "x"},
      {"//a///b", "/a/b"},      {"/a/b/..", "/a/"},    {"a/..b/c", "a/..b/c"}, {"", ""},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    std::string buf = in;
    EXPECT_EQ(vor_uri_NormalizeURIPath(buf.data()), 0);
    EXPECT_STREQ(buf.c_str(), out);
  }
  EXPECT_EQ(vor_uri_NormalizeURIPath(nullptr), -1);
}

TEST(Uri, ResolvesReferencesAgainstABase) {
  const char* base = "ftp://a/b/c/d;p?q";
  const std::pair<const char*, const char*> cases[] = {
      {"g", "ftp://a/b/c/g"},          {"../g", "ftp://a/b/g"},       {"?y", "ftp://a/b/c/d;p?y"},
      {"#s", "ftp://a/b/c/d;p?q#s"},   {"", "ftp://a/b/c/d;p?q"},     {"//g", "ftp://g/"},
      {"gopher://x/y", "gopher://x/y"}, {"../../../g", "ftp://a/g"},  {"/g", "ftp://a/g"},
      {"./g/", "ftp://a/b/c/g/"},       {"g?y#s", "ftp://a/b/c/g?y#s"}, {"..", "ftp://a/b/"},
  };
  for (const auto& [ref, out] : cases) {
    SCOPED_TRACE(ref);
    EXPECT_EQ(taken(vor_uri_BuildURI(ref, base)), out);
  }
  EXPECT_EQ(vor_uri_BuildURI(nullptr, base), nullptr);
  EXPECT_EQ(taken(vor_uri_BuildURI("g", nullptr)), "g");
  EXPECT_EQ(taken(vor_uri_BuildURI("g", "a b")), "g");
  EXPECT_EQ(vor_uri_BuildURI("", "a b"), nullptr);
  EXPECT_EQ(vor_uri_BuildURI("a b", base), nullptr);
}

// A '/' with nothing after it is part of the path: "/" is the root, "g/" a folder.
TEST(Uri, TrailingAndLoneSlashStayInThePath) {
  const std::pair<const char*, const char*> paths[] = {
      {"/", "/"}, {"/?x", "/"}, {"g/", "g/"}, {"/a/b/", "/a/b/"}, {"/a//", "/a/"}, {"http://h/d/?q", "/d/"},
  };
  for (const auto& [text, path] : paths) {
    SCOPED_TRACE(text);
    vor_uri* u = vor_uri_malloc(text);
    ASSERT_NE(u, nullptr);
    EXPECT_STREQ(vor_uri_GetPath(u), path);
    vor_uri_free(u);
  }
}

// The reference resolution examples of RFC 3986 section 5.4 ("//g" keeps its root path).
TEST(Uri, ResolvesTheStandardExamples) {
  const char* base = "http://a/b/c/d;p?q";
  const std::pair<const char*, const char*> cases[] = {
      {"g", "http://a/b/c/g"},       {"./g", "http://a/b/c/g"},       {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},          {"//g", "http://g/"},            {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},   {"#s", "http://a/b/c/d;p?q#s"},  {"g#s", "http://a/b/c/g#s"},
      {"g?y#s", "http://a/b/c/g?y#s"}, {"g;x", "http://a/b/c/g;x"},   {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},        {"./", "http://a/b/c/"},         {"..", "http://a/b/"},
      {"../", "http://a/b/"},        {"../g", "http://a/b/g"},        {"../..", "http://a/"},
      {"../../", "http://a/"},       {"../../g", "http://a/g"},       {"/", "http://a/"},
      {"g:h", "g:h"},
  };
  for (const auto& [ref, out] : cases) {
    SCOPED_TRACE(ref);
    EXPECT_EQ(taken(vor_uri_BuildURI(ref, base)), out);
  }
}

TEST(Uri, RelativisesAgainstABase) {
  EXPECT_EQ(taken(vor_uri_BuildRelativeURI("ftp://a/b/c/d", "ftp://a/b/e/f")), "../c/d");
  EXPECT_EQ(taken(vor_uri_BuildRelativeURI("ftp://a/b/c/d", "ftp://z/b/e/f")), "ftp://a/b/c/d");
  EXPECT_EQ(taken(vor_uri_BuildRelativeURI("ftp://a/b/c/d", "ftp://a/b/c/d")), "");
  EXPECT_EQ(taken(vor_uri_BuildRelativeURI("ftp://a/b/c/d", "ftp://a/b/c/e")), "d");
  EXPECT_EQ(taken(vor_uri_BuildRelativeURI("http://a/x", "ftp://a/x")), "http://a/x");
  EXPECT_EQ(taken(vor_uri_BuildRelativeURI("/a/b+c", "/a/d")), "b%20c");
  EXPECT_EQ(taken(vor_uri_BuildRelativeURI("/a/b", nullptr)), "/a/b");
  EXPECT_EQ(vor_uri_BuildRelativeURI("", "/a"), nullptr);
  EXPECT_EQ(vor_uri_BuildRelativeURI("a b", "/a"), nullptr);
}

TEST(Uri, CanonicPathAndPathToUri) {
  EXPECT_EQ(taken(vor_uri_CanonicPath("/a/b")), "/a/b");
  EXPECT_EQ(taken(vor_uri_CanonicPath("http://h/a b")), "http://h/a%20b");
  EXPECT_EQ(taken(vor_uri_CanonicPath("C:\\my dir\\f")), "file:///C%3A/my%20dir/f");
  EXPECT_EQ(taken(vor_uri_CanonicPath("dir\\a b")), "dir/a b");
  EXPECT_EQ(vor_uri_CanonicPath(nullptr), nullptr);
  EXPECT_EQ(taken(vor_uri_PathToURI("/a/b")), "/a/b");
  EXPECT_EQ(taken(vor_uri_PathToURI("C:\\my dir\\f")), "file:///C%3A/my%20dir/f");
  EXPECT_EQ(taken(vor_uri_PathToURI("dir\\a b")), "dir/a%20b");
}

TEST(Uri, CloneAndCleanall) {
  Uri u(vor_uri_malloc("http://u@h:81/p?q#f"));
  ASSERT_TRUE(u);
  Uri c(vor_uri_clone(u.get()));
  ASSERT_TRUE(c);
  EXPECT_EQ(taken(vor_uri_GetURIString(c.get())), taken(vor_uri_GetURIString(u.get())));
  EXPECT_STREQ(vor_uri_GetPortString(c.get()), "81");
  vor_uri_cleanall(u.get());
  EXPECT_EQ(vor_uri_GetHost(u.get()), nullptr);
  EXPECT_EQ(vor_uri_GetPort(u.get()), 0);
  EXPECT_STREQ(vor_uri_GetPortString(u.get()), "");
  EXPECT_EQ(vor_uri_clone(nullptr), nullptr);
}

TEST(Uri, OverlongPortIsCappedNotWrapped) {
  Uri u(vor_uri_malloc("http://h:99999999999999/"));
  ASSERT_TRUE(u);
  EXPECT_EQ(u->port, INT32_MAX);
  EXPECT_EQ(vor_uri_GetPort(u.get()), 0xFFFF);
}

TEST(Uri, PrintsItsComponents) {
  Uri u(vor_uri_malloc("http://h/p?q"));
  testing::internal::CaptureStdout();
  vor_uri_print(u.get());
  vor_uri_print(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "==URI print==:\nuri : http://h/p?q\nscheme: [http]\nhost:port: [h:80]\npath: [/p]\npath_raw: [/p]\n"
            "query: [q]\nquery_raw: [q]\nrequest: [/p?q]\n");
}

}  // namespace
