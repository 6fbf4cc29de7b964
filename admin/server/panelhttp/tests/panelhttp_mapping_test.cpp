// Request mapping, one row per target: every field of the mapping, or no mapping at all.
// Targets that would leave the web root (plain, escaped, with backslashes) are never mapped.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cu_config.h"
#include "panelhttp.h"
#include "vor_tempdir.h"

namespace {

struct MapCase {
  const char* target;
  const char* host;  // "Host" header, or nullptr
  bool mapped;
  const char* uri_path = "";
  const char* folder = "";
  const char* filename = "";
  const char* extname = "";
  const char* filepath = "";
  const char* mime = "";
  const char* location = "";
};

// The web root is "R" (a folder with index.html, sub/index.htm and a folder d.x/).
const MapCase kCases[] = {
    {"/", "h", true, "/", "R/", "index.html", "html", "R/index.html", "text/html", "http://h/index.html"},
    {"/?a=1", "h", true, "/", "R/", "index.html", "html", "R/index.html", "text/html", "http://h/index.html?a=1"},
    {"/sub/", "h", true, "/sub/", "R/sub/", "index.htm", "htm", "R/sub/index.htm", "text/html",
     "http://h/sub/index.htm"},
    {"/A/B.TXT", "h", true, "/A/B.TXT", "R/A/", "B.TXT", "txt", "R/A/B.TXT", "text/plain", "http://h/A/B.TXT"},
    {"/noext", "h", true, "/noext", "R/", "noext", "", "R/noext", "dflt/type", "http://h/noext"},
    {"/d.x/file", "h", true, "/d.x/file", "R/d.x/", "file", "", "R/d.x/file", "dflt/type", "http://h/d.x/file"},
    {"/a/b.bin?x=%41", nullptr, true, "/a/b.bin", "R/a/", "b.bin", "bin", "R/a/b.bin", "dflt/type", ""},
    {"http://e.com/p.txt", nullptr, true, "/p.txt", "R/", "p.txt", "txt", "R/p.txt", "text/plain",
     "http://e.com/p.txt"},
    {"HTTP://e.com/p.txt", "h", true, "/p.txt", "R/", "p.txt", "txt", "R/p.txt", "text/plain", "HTTP://e.com/p.txt"},
    {"www.a.com/x.htm", "h", true, "www.a.com/x.htm", "R/www.a.com/", "x.htm", "htm", "R/www.a.com/x.htm",
     "text/html", "http://www.a.com/x.htm"},
    {"http://h/../x", "h", true, "/x", "R/", "x", "", "R/x", "dflt/type", "http://h/../x"},
    {"/..%2f..%2fx", "h", true, "/x", "R/", "x", "", "R/x", "dflt/type", "http://h/..%2f..%2fx"},
    {"/nothing/", "h", false},       // a folder without an index file
    {"../config/zazudaza.db", "h", false},
    {"a/../../x", "h", false},
    {"./../x", "h", false},
    {"%2e%2e/x", "h", false},
    {"..%5cx", "h", false},
    {"..\\x", "h", false},
    {"/a%00.html", "h", false},
};

class Mapping : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    fs::create_directories(tmp_.file("R/sub"));
    fs::create_directories(tmp_.file("R/d.x"));
    vor::test::write_file(tmp_.file("R/index.html"), "i");
    vor::test::write_file(tmp_.file("R/sub/index.htm"), "i");
    root_ = tmp_.file("R");
    ctx_.settings = cu_config_make1(("[system]\nwwwroot=" + root_ + "\ndefault_type=dflt/type\n"
                                     "[index]\nindex-3=index.html\nindex-7=index.htm\n").c_str());
    ctx_.mime = cu_config_make1("[mime]\nhtml=text/html\nhtm=text/html\ntxt=text/plain\n");
  }
  void TearDown() override {
    cu_config_free(ctx_.settings);
    cu_config_free(ctx_.mime);
  }
  // "R" in a case stands for the web root.
  std::string rooted(const char* text) const {
    std::string s = text;
    return s.rfind("R/", 0) == 0 ? root_ + s.substr(1) : s;
  }

  vor::test::TempDir tmp_;
  std::string root_;
  panelhttp_ctx ctx_{};
};

TEST_F(Mapping, EveryFieldOfEveryTarget) {
  for (const MapCase& c : kCases) {
    SCOPED_TRACE(c.target);
    vor_http_table* request = vor_http_table_make();
    vor_http_table_SetMethod(request, "GET");
    vor_http_table_SetRequest(request, c.target);
    if (c.host) vor_http_table_SetField(request, "Host", c.host);
    RTParser* p = RTParser_make(&ctx_, request);
    ASSERT_EQ(p != nullptr, c.mapped);
    if (p) {
      EXPECT_STREQ(RTParser_GetMethod(p), "GET");
      EXPECT_STREQ(RTParser_GetUriPath(p), c.uri_path);
      EXPECT_EQ(RTParser_GetLocalFolder(p), rooted(c.folder));
      EXPECT_STREQ(RTParser_GetLocalFilename(p), c.filename);
      EXPECT_STREQ(RTParser_GetLocalExtname(p), c.extname);
      EXPECT_EQ(RTParser_GetLocalFilepath(p), rooted(c.filepath));
      EXPECT_STREQ(RTParser_GetMimetype(p), c.mime);
      EXPECT_STREQ(RTParser_GetContentLocation(p), c.location);
      EXPECT_NE(RTParser_GetRequestQuery(p), nullptr);
    }
    RTParser_free(p);
    vor_http_table_free(request);
  }
}

TEST_F(Mapping, AbsoluteTargetWithoutHostGivesTheRequestAHost) {
  vor_http_table* request = vor_http_table_make();
  vor_http_table_SetRequest(request, "http://e.com/p.txt");
  RTParser* p = RTParser_make(&ctx_, request);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(vor_http_table_GetField(request, "Host"), "e.com");
  RTParser_free(p);
  vor_http_table_free(request);
}

TEST_F(Mapping, QueryPairsAreParsedFromTheRawQuery) {
  vor_http_table* request = vor_http_table_make();
  vor_http_table_SetRequest(request, "/a.txt?x=%41%26&y=2");
  RTParser* p = RTParser_make(&ctx_, request);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(vor_http_table_GetFormRaw(RTParser_GetRequestQuery(p), "x"), "A&");
  EXPECT_STREQ(vor_http_table_GetFormRaw(RTParser_GetRequestQuery(p), "y"), "2");
  RTParser_free(p);
  vor_http_table_free(request);
}

TEST(MappingNull, GettersOfNothingAnswerEmptyTexts) {
  EXPECT_STREQ(RTParser_GetMimetype(nullptr), "");
  EXPECT_STREQ(RTParser_GetContentLocation(nullptr), "");
  EXPECT_STREQ(RTParser_GetLocalFilepath(nullptr), "");
  vor_http_table* empty = RTParser_GetRequestQuery(nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(RTParser_GetRequestQuery(nullptr), empty);
  EXPECT_EQ(vor_http_table_GetFormStrLen(empty), 0);
  EXPECT_EQ(RTParser_make(nullptr, nullptr), nullptr);
}

}  // namespace
