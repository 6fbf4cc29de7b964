#include "cu_config.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cu_malloc.h"
#include "vor_tempdir.h"

namespace {
using vor::test::read_file;
using vor::test::TempDir;
using vor::test::write_file;

constexpr char kUnit[] = "srclib\\tests\\cu_config_test";

std::string text_of(cu_config* cfg) {
  char* s = cu_config_ToString(cfg);
  std::string out = s ? s : "<null>";
  _cu_free(s, kUnit, __LINE__);
  return out;
}

// Owns one parsed object for the length of a test.
struct Ini {
  explicit Ini(const std::string& text) : cfg(cu_config_make1(text.c_str())) {}
  ~Ini() { cu_config_free(cfg); }
  Ini(const Ini&) = delete;
  Ini& operator=(const Ini&) = delete;
  std::string text() const { return text_of(cfg); }
  std::string get(const char* g, const char* k) const {
    const char* v = cu_config_GetKey(cfg, g, k);
    return v ? v : "<missing>";
  }
  cu_config* cfg;
};

const char* const kRoundTrip[] = {
    "",
    "[system]\r\nport = 80\r\nname=quorin\r\n",
    "[g]\nk=v\n",
    "[g]\r\nk=v\n\r\r\n\n",
    "# hash\r\n; semi\r\n// slashes\r\n/* block\r\n comment */ [g]\r\n",
    "[g]\r\nk=v # kept in the value\r\nj=; too\r\n",
    "[g]\r\n/* never closed\r\nk=v\r\n",
    "a=1\r\n[g\r\nk=v",
    "a=1\r\nb = 2\r\n",
    "[g]\r\nk=1\r\n[h]\r\n[g]\r\nk=2\r\n",
    "[g]\r\n=starts with equals\r\nbare word\r\nkeyonly\r\n/x\r\n",
    "  [g]  \r\n\tk\t=\tv\t\r\n",
    "[a]]b]\r\n[]\r\n[[x]\r\n",
    "[g]x=1",
    "no line end at all",
    "\r",
    "k=\r\n",
    "[multi\r\nline]\r\nk=v",
    "/*/ still a comment */x=1",
    "[g]\r\nk=v\x80\xff\r\n",
};

TEST(Config, LoadAndSaveGivesTheSameBytes) {
  for (const char* text : kRoundTrip) {
    SCOPED_TRACE(text);
    Ini ini(text);
    ASSERT_NE(ini.cfg, nullptr);
    EXPECT_EQ(ini.text(), text);
    Ini with_bom(std::string("\xEF\xBB\xBF") + text);
    EXPECT_EQ(with_bom.text(), text);  // the mark is not written back
  }
}

TEST(Config, FileRoundTripIsByteExact) {
  TempDir dir;
  for (const char* text : kRoundTrip) {
    SCOPED_TRACE(text);
    write_file(dir.file("in.ini"), text);
    cu_config* cfg = cu_config_make(dir.file("in.ini").c_str());
    ASSERT_NE(cfg, nullptr);
    ASSERT_TRUE(cu_config_SaveToFile(cfg, dir.file("out.ini").c_str()));
    EXPECT_EQ(read_file(dir.file("out.ini")), text);
    cu_config_free(cfg);
  }
}

TEST(Config, ReadingFollowsTheFileFormat) {
  Ini ini(
      "a=1\r\n"
      "[g]\r\nport = 80\r\nempty=\r\nhash=#x;y\r\n"
      "[h]\r\nk=first\r\n"
      "[g]\r\nlate=yes\r\nport=81\r\n"
      "[Case]\r\nKey=v\r\n");
  EXPECT_EQ(ini.get("", "a"), "<missing>");  // before any group: saved, never read
  EXPECT_EQ(ini.get("g", "port"), "81");      // the later value of a repeated key
  EXPECT_EQ(ini.get("g", "late"), "yes");     // a repeated header merges
  EXPECT_EQ(ini.get("g", "empty"), "");
  EXPECT_EQ(ini.get("g", "hash"), "#x;y");
  EXPECT_EQ(ini.get("h", "k"), "first");
  EXPECT_EQ(ini.get("case", "Key"), "<missing>");
  EXPECT_EQ(ini.get("Case", "key"), "<missing>");
  EXPECT_TRUE(cu_config_IsGroupExist(ini.cfg, "Case"));
  EXPECT_TRUE(cu_config_IsKeyExist(ini.cfg, "g", "empty"));
  EXPECT_FALSE(cu_config_IsKeyExist(ini.cfg, "g", "nope"));
  EXPECT_EQ(cu_config_GetKey(ini.cfg, nullptr, "k"), nullptr);
  EXPECT_EQ(cu_config_GetKey(nullptr, "g", "k"), nullptr);
  Ini spaced("[g]\r\nkey = value \r\n");
  EXPECT_EQ(spaced.get("g", "key"), " value ");
  Ini bom("\xEF\xBB\xBF[s]\r\nk=v\r\n");
  EXPECT_EQ(bom.get("s", "k"), "v");
  EXPECT_EQ(bom.text(), "[s]\r\nk=v\r\n");
}

TEST(Config, UnclosedCommentAndHeaderRunToTheEnd) {
  Ini comment("[g]\r\n/* open\r\nk=v\r\n");
  EXPECT_EQ(comment.get("g", "k"), "<missing>");
  Ini header("[g\r\nk=v");
  EXPECT_TRUE(cu_config_IsGroupExist(header.cfg, "g\r\nk=v"));
  EXPECT_EQ(header.get("g", "k"), "<missing>");
}

TEST(Config, NewKeyGoesFirstInItsGroup) {
  Ini ini("[g]\r\nx=1\r\n");
  ASSERT_TRUE(cu_config_SetKey(ini.cfg, "g", "new", "v"));
  EXPECT_EQ(ini.text(), "[g]\r\nnew=v\r\nx=1\r\n");
  ASSERT_TRUE(cu_config_SetKey(ini.cfg, "g", "second", "w"));
  EXPECT_EQ(ini.text(), "[g]\r\nsecond=w\r\nnew=v\r\nx=1\r\n");
}

TEST(Config, NewGroupAtTheEndHasNoFinalLineEnd) {
  Ini ini("a=1\r\n");
  ASSERT_TRUE(cu_config_SetKey(ini.cfg, "g", "new", "v"));
  EXPECT_EQ(ini.text(), "a=1\r\n\r\n[g]\r\nnew=v");
  Ini empty("");
  ASSERT_TRUE(cu_config_SetGroup(empty.cfg, "g"));
  EXPECT_EQ(empty.text(), "[g]");
  EXPECT_TRUE(cu_config_SetGroup(empty.cfg, "g"));
  EXPECT_EQ(empty.text(), "[g]");
}

// The inserted line ends in a line end of its own when the header is followed on its line.
TEST(Config, NewKeyAfterHeaderLeavesTheRestOfTheLineIntact) {
  struct Case {
    const char* before;
    const char* after;
  } cases[] = {
      {"[g] ;c", "[g]\r\nk=v\r\n ;c"},
      {"[g]x=1", "[g]\r\nk=v\r\nx=1"},
      {"[g]/*c*/", "[g]\r\nk=v\r\n/*c*/"},
      {"[g][h]", "[g]\r\nk=v\r\n[h]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    Ini ini(c.before);
    ASSERT_TRUE(cu_config_SetKey(ini.cfg, "g", "k", "v"));
    EXPECT_EQ(ini.text(), c.after);
    Ini again(ini.text());
    EXPECT_EQ(again.get("g", "k"), "v");
  }
  Ini kept("[g]x=1");
  cu_config_SetKey(kept.cfg, "g", "k", "v");
  Ini reread(kept.text());
  EXPECT_EQ(reread.get("g", "x"), "1");
}

TEST(Config, ChangingAKeyRewritesOnlyItsValue) {
  Ini ini("[g]\r\nport = 80 \r\n# note\r\n");
  ASSERT_TRUE(cu_config_SetKey(ini.cfg, "g", "port", "8080"));
  EXPECT_EQ(ini.text(), "[g]\r\nport =8080\r\n# note\r\n");
  EXPECT_EQ(ini.get("g", "port"), "8080");
}

// Both lines of a repeated key are kept; the later one takes effect, so that is the one a
// change rewrites, whatever the earlier one holds.
TEST(Config, RepeatedKeyWithTheSameValueCanBeChanged) {
  Ini ini("[g]\r\nk=1\r\nk=1\r\n");
  ASSERT_TRUE(cu_config_SetKey(ini.cfg, "g", "k", "2"));
  EXPECT_EQ(ini.text(), "[g]\r\nk=1\r\nk=2\r\n");
  Ini again(ini.text());
  EXPECT_EQ(again.get("g", "k"), "2");
}

TEST(Config, SettersRefuseTextThatWouldNotReadBack) {
  struct Case {
    const char *group, *key, *value;
  } refused[] = {
      {"g", "k", "a\r\nb=c"}, {"g", "k", "x\n"},  {"g", "", "v"},    {"g", "#k", "v"},  {"g", ";k", "v"},
      {"g", "/k", "v"},       {"g", "[k", "v"},   {"g", "a=b", "v"}, {"g", "a b", "v"}, {"g", "a\tb", "v"},
      {"g", "a\rb", "v"},     {"g", "a\nb", "v"}, {"g]", "k", "v"},  {"x]\r\n[y", "k", "v"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(std::string(c.group) + "/" + c.key + "=" + c.value);
    Ini ini("[g]\r\nk=old\r\n");
    EXPECT_FALSE(cu_config_SetKey(ini.cfg, c.group, c.key, c.value));
    EXPECT_EQ(ini.text(), "[g]\r\nk=old\r\n");
  }
  Ini ini("[g]\r\n");
  EXPECT_FALSE(cu_config_SetGroup(ini.cfg, "bad]"));
  EXPECT_FALSE(cu_config_RenameGroup(ini.cfg, "g", "bad]"));
  EXPECT_FALSE(cu_config_SetKey(ini.cfg, nullptr, "k", "v"));
  EXPECT_FALSE(cu_config_SetKey(ini.cfg, "g", "k", nullptr));
  EXPECT_EQ(ini.text(), "[g]\r\n");
}

TEST(Config, NothingIsAppendedIntoAnOpenCommentOrHeader) {
  Ini comment("[g]\r\n/* open");
  EXPECT_FALSE(cu_config_SetGroup(comment.cfg, "h"));
  EXPECT_TRUE(cu_config_SetKey(comment.cfg, "g", "k", "v"));  // inserted before the comment
  EXPECT_EQ(comment.text(), "[g]\r\nk=v\r\n/* open");
  Ini header("[g");
  EXPECT_FALSE(cu_config_SetKey(header.cfg, "g", "k", "v"));
  EXPECT_EQ(header.text(), "[g");
}

// Random accepted edits, checked against a model after a save and reload each time.
TEST(Config, AcceptedEditsReadBackAfterSaveAndReload) {
  const unsigned seed = 4242;
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  const char* const groups[] = {"g", "h", "with space", "", "\xE4\xB8\xAD"};
  const char* const keys[] = {"k", "port", "module-0", "\xE4\xB8\xAD", "x]"};
  const char* const values[] = {"", " lead", "trail ", "# not a comment", "a=b", "[g]", "/* c */", "\"q\""};
  TempDir dir;
  std::string path = dir.file("model.ini");
  write_file(path, "; header comment\r\n[g]\r\nk=1\r\n");
  std::map<std::string, std::map<std::string, std::string>> model{{"g", {{"k", "1"}}}};
  for (int step = 0; step < 300; ++step) {
    cu_config* cfg = cu_config_make(path.c_str());
    ASSERT_NE(cfg, nullptr);
    std::string g = groups[rng() % 5], k = keys[rng() % 5];
    switch (rng() % 4) {
      case 0:
      case 1: {
        std::string v = values[rng() % 8];
        ASSERT_TRUE(cu_config_SetKey(cfg, g.c_str(), k.c_str(), v.c_str()));
        model[g][k] = v;
        break;
      }
      case 2:
        cu_config_UnsetKey(cfg, g.c_str(), k.c_str());
        if (model.count(g)) model[g].erase(k);
        break;
      default:
        cu_config_UnsetGroup(cfg, g.c_str());
        model.erase(g);
        break;
    }
    ASSERT_TRUE(cu_config_SaveToFile(cfg, path.c_str()));
    cu_config_free(cfg);
    cfg = cu_config_make(path.c_str());
    for (const auto& [group, entries] : model) {
      ASSERT_TRUE(cu_config_IsGroupExist(cfg, group.c_str())) << "step " << step;
      for (const auto& [key, value] : entries) {
        const char* got = cu_config_GetKey(cfg, group.c_str(), key.c_str());
        ASSERT_NE(got, nullptr) << "step " << step << " " << group << "/" << key;
        ASSERT_EQ(got, value) << "step " << step;
      }
    }
    int groups_seen = 0;
    const char* name;
    for (bool more = cu_config_GroupGetFirst(cfg, &name); more; more = cu_config_GroupGetNext(cfg, &name)) {
      ++groups_seen;
      int keys_seen = 0;
      for (bool k2 = cu_config_KeyGetFirst(cfg, name, nullptr, nullptr); k2; k2 = cu_config_KeyGetNext(cfg, nullptr, nullptr)) {
        ++keys_seen;
      }
      ASSERT_EQ(keys_seen, static_cast<int>(model[name].size())) << "step " << step;
    }
    ASSERT_EQ(groups_seen, static_cast<int>(model.size())) << "step " << step;
    cu_config_free(cfg);
  }
}

TEST(Config, UnsetKeyTakesItsLineEndsAlong) {
  Ini ini("[g]\r\nx=1\r\n\r\ny=2");
  cu_config_UnsetKey(ini.cfg, "g", "x");
  EXPECT_EQ(ini.text(), "[g]\r\ny=2");
  EXPECT_FALSE(cu_config_IsKeyExist(ini.cfg, "g", "x"));
  Ini twice("[g]\r\nx = 1\r\n[h]\r\nx=9\r\n[g]\r\nx=2\r\nz=3\r\n");
  cu_config_UnsetKey(twice.cfg, "g", "x");
  EXPECT_EQ(twice.text(), "[g]\r\n[h]\r\nx=9\r\n[g]\r\nz=3\r\n");
  EXPECT_EQ(twice.get("h", "x"), "9");
}

TEST(Config, UnsetGroupRemovesEveryHeaderAndItsLines) {
  Ini ini("a=1\r\n[g]\r\nk=1\r\n[h]\r\nj=2\r\n[g]\r\nm=3\r\n");
  cu_config_UnsetGroup(ini.cfg, "g");
  EXPECT_EQ(ini.text(), "a=1\r\n[h]\r\nj=2\r\n");
  EXPECT_FALSE(cu_config_IsGroupExist(ini.cfg, "g"));
  EXPECT_EQ(ini.get("h", "j"), "2");
}

TEST(Config, RenameGroup) {
  Ini ini("[old]\r\nk=1\r\n[other]\r\n[old]\r\nj=2\r\n");
  EXPECT_TRUE(cu_config_RenameGroup(ini.cfg, "missing", "missing"));
  EXPECT_FALSE(cu_config_RenameGroup(ini.cfg, "missing", "new"));
  EXPECT_FALSE(cu_config_RenameGroup(ini.cfg, "old", "other"));
  EXPECT_FALSE(cu_config_RenameGroup(ini.cfg, nullptr, "new"));
  ASSERT_TRUE(cu_config_RenameGroup(ini.cfg, "old", "new"));
  EXPECT_EQ(ini.text(), "[new]\r\nk=1\r\n[other]\r\n[new]\r\nj=2\r\n");
  EXPECT_EQ(ini.get("new", "j"), "2");
  EXPECT_FALSE(cu_config_IsGroupExist(ini.cfg, "old"));
}

TEST(Config, WalksRunInDescendingOrder) {
  Ini ini("[a]\r\n[c]\r\nz=1\r\nb=2\r\nm=3\r\n[b]\r\n");
  const char* name = nullptr;
  std::string seen;
  for (bool more = cu_config_GroupGetFirst(ini.cfg, &name); more; more = cu_config_GroupGetNext(ini.cfg, &name)) {
    seen += name;
  }
  EXPECT_EQ(seen, "cba");
  EXPECT_FALSE(cu_config_GroupGetNext(ini.cfg, &name));
  const char *k, *v;
  seen.clear();
  for (bool more = cu_config_KeyGetFirst(ini.cfg, "c", &k, &v); more; more = cu_config_KeyGetNext(ini.cfg, &k, &v)) {
    seen += std::string(k) + v;
  }
  EXPECT_EQ(seen, "z1m3b2");
  EXPECT_FALSE(cu_config_KeyGetFirst(ini.cfg, "missing", &k, &v));
  EXPECT_FALSE(cu_config_KeyGetFirst(ini.cfg, nullptr, &k, &v));
  EXPECT_TRUE(cu_config_GroupGetFirst(ini.cfg, nullptr));  // taken off all the same
  EXPECT_TRUE(cu_config_GroupGetNext(ini.cfg, &name));
  EXPECT_STREQ(name, "b");
}

// Removing or renaming what a walk has not reached yet takes it out of the walk; the walk
// goes on over the rest and never hands out a freed name or key.
TEST(Config, WalksSkipWhatWasRemovedOrRenamedMeanwhile) {
  Ini ini("[a]\r\n[c]\r\nz=1\r\nb=2\r\nm=3\r\n[b]\r\n[d]\r\n");
  const char* name = nullptr;
  std::string seen;
  for (bool more = cu_config_GroupGetFirst(ini.cfg, &name); more; more = cu_config_GroupGetNext(ini.cfg, &name)) {
    seen += name;
    if (seen == "d") cu_config_UnsetGroup(ini.cfg, "a");
    if (seen == "dc") {
      ASSERT_TRUE(cu_config_RenameGroup(ini.cfg, "b", "e"));
    }
  }
  EXPECT_EQ(seen, "dc");
  const char *k, *v;
  seen.clear();
  for (bool more = cu_config_KeyGetFirst(ini.cfg, "c", &k, &v); more; more = cu_config_KeyGetNext(ini.cfg, &k, &v)) {
    seen += std::string(k) + v;
    if (seen == "z1") cu_config_UnsetKey(ini.cfg, "c", "b");
  }
  EXPECT_EQ(seen, "z1m3");
  ASSERT_TRUE(cu_config_KeyGetFirst(ini.cfg, "c", &k, &v));
  EXPECT_STREQ(k, "z");
  cu_config_UnsetGroup(ini.cfg, "c");
  EXPECT_FALSE(cu_config_KeyGetNext(ini.cfg, &k, &v));
}

struct TypedCase {
  const char* value;
  int def;
  uint8_t as_bool;
  int32_t as_int32;
  uint32_t as_uint32;
  int64_t as_int64;
  uint64_t as_uint64;
};

const TypedCase kTyped[] = {
    {"TRUE", 7, 1, 7, 7, 7, 7},
    {" yes", 0, 0, 0, 0, 0, 0},
    {" yes", 1, 1, 1, 1, 1, 1},
    {"0x1", 1, 0, 0, 0, 0, 0},
    {"False", 1, 0, 1, 1, 1, 1},
    {" 80 ; port", 0, 1, 80, 80, 80, 80},
    {"\"'+42'\"", 0, 1, 42, 42, 42, 42},
    {"-5", 0, 1, -5, 5, -5, 5},
    {"- 5", 9, 1, 9, 5, 9, 5},  // the unsigned getters skip blanks and minus signs alike
    {"4294967296", 0, 1, INT32_MAX, 0, 4294967296LL, 4294967296ULL},
    {"-99999999999", 0, 1, INT32_MIN, static_cast<uint32_t>(99999999999ULL), -99999999999LL, 99999999999ULL},
    {"99999999999999999999999", 0, 1, INT32_MAX, 0xFFFFFFFFu, INT64_MAX, static_cast<uint64_t>(INT64_MAX)},
    {"-99999999999999999999999", 0, 1, INT32_MIN, 0xFFFFFFFFu, INT64_MIN, static_cast<uint64_t>(INT64_MAX)},
    {"", 3, 1, 3, 3, 3, 3},
};

TEST(Config, TypedGetters) {
  for (const auto& c : kTyped) {
    SCOPED_TRACE(c.value);
    Ini ini(std::string("[g]\r\nk=") + c.value + "\r\n");
    EXPECT_EQ(cu_config_GetKeyBool(ini.cfg, "g", "k", c.def != 0), c.as_bool);
    EXPECT_EQ(cu_config_GetKeyInt32(ini.cfg, "g", "k", c.def), c.as_int32);
    EXPECT_EQ(cu_config_GetKeyUint32(ini.cfg, "g", "k", c.def), c.as_uint32);
    EXPECT_EQ(cu_config_GetKeyInt64(ini.cfg, "g", "k", c.def), c.as_int64);
    EXPECT_EQ(cu_config_GetKeyUint64(ini.cfg, "g", "k", c.def), c.as_uint64);
  }
  Ini ini("[g]\r\n");
  EXPECT_EQ(cu_config_GetKeyInt32(ini.cfg, "g", "missing", -3), -3);
  EXPECT_EQ(cu_config_GetKeyBool(nullptr, "g", "k", 1), 1);
}

TEST(Config, SimpleGettersLoadReadAndFree) {
  TempDir dir;
  std::string p = dir.file("s.ini");
  write_file(p, "[system]\r\nproxy_port=8080\r\ndisplay_console=true\r\nname=\"quorin\"\r\n");
  EXPECT_EQ(cu_config_simple_GetKeyInt32(p.c_str(), "system", "proxy_port", 0), 8080);
  EXPECT_EQ(cu_config_simple_GetKeyUint32(p.c_str(), "system", "proxy_port", 0), 8080u);
  EXPECT_EQ(cu_config_simple_GetKeyInt64(p.c_str(), "system", "proxy_port", 0), 8080);
  EXPECT_EQ(cu_config_simple_GetKeyUint64(p.c_str(), "system", "proxy_port", 0), 8080u);
  EXPECT_EQ(cu_config_simple_GetKeyBool(p.c_str(), "system", "display_console", 0), 1);
  EXPECT_EQ(cu_config_simple_GetKeyInt32(dir.file("missing").c_str(), "system", "proxy_port", 5), 5);
  char* s = cu_config_simple_GetKeyString(p.c_str(), "system", "name");
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "\"quorin\"");
  _cu_free(s, kUnit, __LINE__);
  EXPECT_EQ(cu_config_simple_GetKeyString(p.c_str(), "system", "none"), nullptr);
  EXPECT_EQ(cu_config_simple_GetKeyString(dir.file("missing").c_str(), "system", "name"), nullptr);
  EXPECT_EQ(cu_config_make(dir.file("missing").c_str()), nullptr);
  EXPECT_EQ(cu_config_make(dir.path().c_str()), nullptr);  // a folder is not an empty file
  write_file(dir.file("empty.ini"), "");
  cu_config* from_empty = cu_config_make(dir.file("empty.ini").c_str());
  ASSERT_NE(from_empty, nullptr);
  EXPECT_EQ(text_of(from_empty), "");
  cu_config_free(from_empty);
  cu_config* empty = cu_config_make(nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(text_of(empty), "");
  cu_config_free(empty);
  EXPECT_EQ(cu_config_simple_GetKeyInt32((dir.path() + "\\s.ini").c_str(), "system", "proxy_port", 0), 8080);
}

TEST(Config, ProfileStringDropsOnePairOfQuotes) {
  struct Case {
    const char *in, *out;
  } cases[] = {
      {"\"abc\"", "abc"},   {"  \"abc\" ;, ", "abc"}, {"abc", "abc"},     {"\"abc", "abc"},
      {"abc\"", "abc"},     {"abc  ", "abc  "},       {"\"a\"b\"", "a\"b"}, {" ;,", " ;,"},
      {"\"", ""},           {"", ""},                 {"\"\"", ""},       {"\t\"x\"\t", "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    char* s = __GetProfileString(c.in);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, c.out);
    _cu_free(s, kUnit, __LINE__);
  }
  char* s = __GetProfileString(nullptr);
  EXPECT_STREQ(s, "");
  _cu_free(s, kUnit, __LINE__);
}

TEST(Config, FailedSaveKeepsTheOldFile) {
  TempDir dir;
  std::string p = dir.file("keep.ini");
  write_file(p, "[g]\r\nk=old\r\n");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A file-size limit below the new text makes the write fail half-way.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {8, 8};
    setrlimit(RLIMIT_FSIZE, &lim);
    cu_config* cfg = cu_config_make(p.c_str());
    cu_config_SetKey(cfg, "g", "k", "a value far longer than eight bytes");
    _exit(cu_config_SaveToFile(cfg, p.c_str()) ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read_file(p), "[g]\r\nk=old\r\n");
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);  // no temporary file left behind

  cu_config* cfg = cu_config_make(p.c_str());
  EXPECT_FALSE(cu_config_SaveToFile(cfg, dir.file("no/such/folder.ini").c_str()));
  cu_config_free(cfg);
}

TEST(Config, TextAfterANulIsNeverLostBySaving) {
  TempDir dir;
  std::string p = dir.file("nul.ini");
  write_file(p, std::string("[g]\r\nk=v\r\n\0[h]\r\nj=2\r\n", 20));
  cu_config* cfg = cu_config_make(p.c_str());
  ASSERT_NE(cfg, nullptr);
  EXPECT_STREQ(cu_config_GetKey(cfg, "g", "k"), "v");
  EXPECT_FALSE(cu_config_SaveToFile(cfg, p.c_str()));
  EXPECT_EQ(read_file(p).size(), 20u);
  cu_config_free(cfg);
}

TEST(Config, SaveThroughASymbolicLinkReplacesItsTarget) {
  TempDir dir;
  write_file(dir.file("real.ini"), "[g]\r\n");
  ASSERT_EQ(symlink("real.ini", dir.file("link.ini").c_str()), 0);
  cu_config* cfg = cu_config_make(dir.file("link.ini").c_str());
  cu_config_SetKey(cfg, "g", "k", "v");
  ASSERT_TRUE(cu_config_SaveToFile(cfg, dir.file("link.ini").c_str()));
  cu_config_free(cfg);
  struct stat st;
  ASSERT_EQ(lstat(dir.file("link.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read_file(dir.file("real.ini")), "[g]\r\nk=v\r\n");
}

TEST(Config, SaveKeepsTheFileMode) {
  TempDir dir;
  std::string p = dir.file("mode.ini");
  write_file(p, "[g]\r\n");
  chmod(p.c_str(), 0640);
  cu_config* cfg = cu_config_make(p.c_str());
  cu_config_SetKey(cfg, "g", "k", "v");
  ASSERT_TRUE(cu_config_SaveToFile(cfg, p.c_str()));
  cu_config_free(cfg);
  struct stat st;
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(read_file(p), "[g]\r\nk=v\r\n");
}

}  // namespace
