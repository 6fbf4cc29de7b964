#include "vor_parse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "vor_kit.h"

namespace {

using Proto = vor::Owned<vor_proto, vor_proto_free>;

Proto make() {
  Proto p(vor_proto_new());
  EXPECT_NE(p, nullptr);
  return p;
}

std::string captured(const std::function<void()>& fn) {
  testing::internal::CaptureStdout();
  fn();
  return testing::internal::GetCapturedStdout();
}

std::string packet_of(vor_proto* p) {
  char* text = nullptr;
  int32_t len = 0;
  if (!vor_proto_GetPacket(p, &text, &len)) return {};
  return std::string(text, static_cast<size_t>(len));
}

bool parse(vor_proto* p, const std::string& bytes) {
  return vor_proto_ParsePacket(p, bytes.data(), static_cast<int32_t>(bytes.size()));
}

std::string dump(vor_proto* p) {
  return captured([&] { vor_proto_print(p); });
}

using Params = std::vector<std::pair<std::string, std::string>>;

// Every parameter through the pointer getters, in packet order.
Params params_of(vor_proto* p) {
  Params out;
  char *name = nullptr, *content = nullptr;
  int32_t name_len = 0, content_len = 0;
  for (bool ok = vorx_proto_GetFirst(p, &name, &name_len, &content, &content_len); ok;
       ok = vorx_proto_GetNext(p, &name, &name_len, &content, &content_len)) {
    out.emplace_back(std::string(name, static_cast<size_t>(name_len)),
                     std::string(content, static_cast<size_t>(content_len)));
  }
  vor_proto_rewind(p);
  return out;
}

std::string cmd_of(vor_proto* p) {
  char* cmd = nullptr;
  int32_t len = 0;
  return vorx_proto_GetCmd(p, &cmd, &len) ? std::string(cmd, static_cast<size_t>(len)) : std::string();
}

class SeparatorGuard {
 public:
  ~SeparatorGuard() { vorx_proto_SetSpace(1); }
};

TEST(CommandPacket, PacksTheAuthFailExampleAsGoldenBytes) {
  Proto p = make();
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "s2c_auth_fail"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "errno", "11"));
  const std::string golden("s2c_auth_fail\r\nerrno=\"11\"\r\n\0", 28);
  EXPECT_EQ(packet_of(p.get()), golden);
  const std::string d = dump(p.get());
  for (const char* line : {"cmd_start_pos:0\n", "cmd_end_pos:13\n", "para_start_pos[0]:15\n", "para_end_pos[0]:20\n",
                           "content_start_pos[0]:22\n", "content_end_pos[0]:24\n", "packet_len:28\n"}) {
    EXPECT_NE(d.find(line), std::string::npos) << line;
  }
  Proto q = make();
  ASSERT_TRUE(parse(q.get(), golden));
  EXPECT_EQ(dump(q.get()), d);
}

struct ParseCase {
  const char* name;
  std::string bytes;
  bool ok;
  const char* cmd;
  Params params;
  std::string kept;
};

std::string B(const char* s, size_t n) { return std::string(s, n); }

const std::vector<ParseCase>& parse_cases() {
  static const std::vector<ParseCase> cases = {
      {"bare command", B("cmd\0", 4), true, "cmd", {}, B("cmd\0", 4)},
      {"separators everywhere", B(";cmd&&a = \"1\";b=\"2\"\0", 20), true, "cmd", {{"a", "1"}, {"b", "2"}},
       B(";cmd&&a = \"1\";b=\"2\"\0", 20)},
      {"trailing nul run", B("cmd\r\n\0\0\0", 8), true, "cmd", {}, B("cmd\r\n\0", 6)},
      {"name right after closing quote", B("c a=\"x\"b=\"y\"\0", 13), true, "c", {{"a", "x"}, {"b", "y"}},
       B("c a=\"x\"b=\"y\"\0", 13)},
      {"doubled quote", B("c a=\"x\"\"y\"\0", 11), true, "c", {{"a", "x\"y"}}, B("c a=\"x\"\"y\"\0", 11)},
      {"empty content", B("c a=\"\"\0", 7), true, "c", {{"a", ""}}, B("c a=\"\"\0", 7)},
      {"high bytes in content", B("c a=\"\xff\x01\"\0", 9), true, "c", {{"a", "\xff\x01"}},
       B("c a=\"\xff\x01\"\0", 9)},
      {"no trailing nul", B("cmd", 3), false, "", {}, ""},
      {"command starts with digit", B("1x\0", 3), false, "", {}, ""},
      {"command ended by '='", B("c=\"1\"\0", 6), false, "", {}, ""},
      {"name without '='", B("c a \"1\"\0", 8), false, "", {}, ""},
      {"content without quote", B("c a=1\0", 6), false, "", {}, ""},
      {"content without closing quote", B("c a=\"1\0", 7), false, "", {}, ""},
      {"nul inside content", B("c a=\"1\0\"\0", 9), false, "", {}, ""},
      {"only separators", B(" ;\0", 3), false, "", {}, ""},
  };
  return cases;
}

TEST(CommandPacket, ParseTable) {
  Proto p = make();
  for (const auto& c : parse_cases()) {
    SCOPED_TRACE(c.name);
    bool ok = false;
    captured([&] { ok = parse(p.get(), c.bytes); });
    ASSERT_EQ(ok, c.ok);
    bool checked = false;
    captured([&] { checked = vor_proto_CheckPacket(nullptr, c.bytes.data(), static_cast<int32_t>(c.bytes.size())); });
    EXPECT_EQ(checked, c.ok);
    if (!ok) {
      EXPECT_EQ(vorx_proto_GetPacketLen(p.get()), 0);
      EXPECT_EQ(vor_proto_NumPara(p.get()), 0);
      continue;
    }
    EXPECT_EQ(cmd_of(p.get()), c.cmd);
    EXPECT_EQ(params_of(p.get()), c.params);
    EXPECT_EQ(packet_of(p.get()), c.kept);
  }
}

TEST(CommandPacket, FailedParseLeavesNoPacket) {
  Proto p = make();
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "a", "1"));
  captured([&] { EXPECT_FALSE(parse(p.get(), "broken")); });
  EXPECT_EQ(vor_proto_NumPara(p.get()), 0);
  EXPECT_FALSE(vorx_proto_GetCmd(p.get(), nullptr, nullptr));
  EXPECT_EQ(vorx_proto_GetPacketLen(p.get()), 0);
}

TEST(CommandPacket, LengthLimitsOfReceivedPackets) {
  Proto p = make();
  // 10,240 bytes with the NUL: a command and one parameter padded with blanks.
  std::string text = "cmd a=\"1\"";
  text += std::string(10240 - 1 - text.size(), ' ');
  text.push_back('\0');
  ASSERT_EQ(text.size(), 10240u);
  EXPECT_TRUE(parse(p.get(), text));
  EXPECT_EQ(vor_proto_NumPara(p.get()), 1);
  std::string longer = text;
  longer.insert(0, " ");
  EXPECT_EQ(captured([&] { EXPECT_FALSE(parse(p.get(), longer)); }), "");
  EXPECT_EQ(captured([&] { EXPECT_FALSE(vor_proto_ParsePacket(p.get(), "", 0)); }), "");
  EXPECT_FALSE(vor_proto_ParsePacket(p.get(), nullptr, 4));
}

std::string packet_with_params(int n) {
  std::string text = "cmd\r\n";
  for (int i = 0; i < n; ++i) text += "p" + std::to_string(i) + "=\"" + std::to_string(i) + "\"\r\n";
  text.push_back('\0');
  return text;
}

TEST(CommandPacket, ReceiversTakeSixtyThreeParametersPackersSixtyFour) {
  Proto p = make();
  EXPECT_TRUE(parse(p.get(), packet_with_params(63)));
  EXPECT_EQ(vor_proto_NumPara(p.get()), 63);
  std::string out = captured([&] { EXPECT_FALSE(parse(p.get(), packet_with_params(64))); });
  EXPECT_EQ(out, "error: parameter too many(64)!\n");
  captured([&] { EXPECT_FALSE(parse(p.get(), packet_with_params(65))); });

  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  for (int i = 0; i < 64; ++i) {
    ASSERT_TRUE(vor_proto_PackPara(p.get(), ("p" + std::to_string(i)).c_str(), "v")) << i;
  }
  out = captured([&] { EXPECT_FALSE(vor_proto_PackPara(p.get(), "extra", "v")); });
  EXPECT_EQ(out, "warn: number of parameters is already too many(64)!\n");
}

TEST(CommandPacket, ArenaHoldsTheLargestPacketsAndRepeatedEdits) {
  Proto p = make();
  std::string text = "cmd\r\n";
  for (int i = 0; i < 63; ++i) {
    std::string name(128, 'n');
    name.replace(0, 2, std::to_string(10 + i));
    name[0] = 'p';
    text += name + "=\"\"\r\n";
  }
  text.push_back('\0');
  ASSERT_TRUE(parse(p.get(), text));
  EXPECT_EQ(vor_proto_NumPara(p.get()), 63);

  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "a", "1"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "b", "2"));
  for (int i = 0; i < 300; ++i) {
    const std::string content(i % 2 ? 4000 : 1 + static_cast<size_t>(i), static_cast<char>('a' + i % 26));
    ASSERT_TRUE(vor_proto_ModifyPara(p.get(), i % 3 ? "a" : "b", content.c_str())) << i;
  }
}

TEST(CommandPacket, ContentLimitIs5120BytesBeforeDoubling) {
  Proto p = make();
  const std::string ok(5120, 'x');
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "a", ok.c_str()));
  Proto q = make();
  ASSERT_TRUE(parse(q.get(), packet_of(p.get())));
  EXPECT_TRUE(params_of(q.get()) == (Params{{"a", ok}}));

  const std::string big(5121, 'x');
  std::string out = captured([&] { EXPECT_FALSE(vor_proto_PackPara(p.get(), "b", big.c_str())); });
  EXPECT_EQ(out, "error: content string too long[5121]!\n");
  const std::string text = "cmd a=\"" + big + "\"" + std::string(1, '\0');
  out = captured([&] { EXPECT_FALSE(parse(q.get(), text)); });
  EXPECT_NE(out.find("error: content string length is [>"), std::string::npos) << out;

  // 2,600 quotes double to 5,200 bytes and still fit.
  const std::string quotes(2600, '"');
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "q", quotes.c_str()));
  ASSERT_TRUE(parse(q.get(), packet_of(p.get())));
  EXPECT_TRUE(params_of(q.get()) == (Params{{"q", quotes}}));
}

TEST(CommandPacket, PackedPacketNeverExceeds10240Bytes) {
  Proto p = make();
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  const std::string content(5000, 'y');
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "a", content.c_str()));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "b", content.c_str()));
  std::string out = captured([&] { EXPECT_FALSE(vor_proto_PackPara(p.get(), "c", std::string(300, 'c').c_str())); });
  EXPECT_EQ(out, "error: packing parameter string error!\n");
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "c", ""));
  EXPECT_EQ(vorx_proto_GetPacketLen(p.get()), 10024);
  const std::string grown(300, 'g');
  out = captured([&] { EXPECT_FALSE(vor_proto_ModifyPara(p.get(), "c", grown.c_str())); });
  EXPECT_EQ(out, "warn: packet too big(content=" + grown + ")!\n");
  ASSERT_TRUE(vor_proto_ModifyPara(p.get(), "c", std::string(200, 'g').c_str()));
  EXPECT_EQ(vorx_proto_GetPacketLen(p.get()), 10224);
  EXPECT_EQ(captured([&] { EXPECT_FALSE(vor_proto_ModifyCmd(p.get(), std::string(128, 'k').c_str())); }),
            "warn: packet too big(cmd=" + std::string(128, 'k') + ")!\n");
  EXPECT_EQ(vorx_proto_GetPacketLen(p.get()), 10224);
  Proto q = make();
  ASSERT_TRUE(parse(q.get(), packet_of(p.get())));
  EXPECT_EQ(params_of(q.get()) == (Params{{"a", content}, {"b", content}, {"c", std::string(200, 'g')}}), true);
}

TEST(CommandPacket, QuoteInsideContentIsDoubledAndUndoubled) {
  Proto p = make();
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "c"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "a", "x\"y"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "e", ""));
  EXPECT_EQ(packet_of(p.get()), B("c\r\na=\"x\"\"y\"\r\ne=\"\"\r\n\0", 20));
  Proto q = make();
  ASSERT_TRUE(parse(q.get(), packet_of(p.get())));
  char* content = nullptr;
  int32_t len = -1;
  ASSERT_TRUE(vorx_proto_GetPara(q.get(), "a", &content, &len));
  EXPECT_EQ(len, 3);
  EXPECT_STREQ(content, "x\"y");
  ASSERT_TRUE(vorx_proto_GetPara(q.get(), "e", &content, &len));
  EXPECT_EQ(len, 0);
}

struct WordCase {
  std::string word;
  bool ok;
};

TEST(CommandPacket, CommandAndNameRules) {
  const WordCase cases[] = {{"_x", true}, {std::string(128, 'c'), true}, {"a1_B", true},
                            {"1x", false}, {std::string(129, 'c'), false}, {"", false}, {"a-b", false}};
  Proto p = make();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    captured([&] { EXPECT_EQ(vor_proto_PackCmd(p.get(), c.word.c_str()), c.ok); });
    ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
    captured([&] { EXPECT_EQ(vor_proto_PackPara(p.get(), c.word.c_str(), "v"), c.ok); });
    std::string received = "cmd " + c.word + "=\"v\"" + std::string(1, '\0');
    captured([&] { EXPECT_EQ(parse(p.get(), received), c.ok); });
  }
  EXPECT_EQ(captured([&] { vor_proto_PackCmd(p.get(), "1x"); }), "error: command string header is [1]!\n");
  EXPECT_EQ(captured([&] { vor_proto_PackCmd(p.get(), "a-b"); }), "error: command string include [-]!\n");
  EXPECT_EQ(captured([&] { vor_proto_PackCmd(p.get(), std::string(129, 'c').c_str()); }),
            "error: command string length is [129]!\n");
}

TEST(CommandPacket, DuplicateNameIsRefusedWhenPacking) {
  Proto p = make();
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "a", "1"));
  EXPECT_EQ(captured([&] { EXPECT_FALSE(vor_proto_PackPara(p.get(), "a", "2")); }), "info: para(a) is exist!\n");
  EXPECT_TRUE(vor_proto_PackPara(p.get(), "A", "2"));  // names are case-sensitive
}

TEST(CommandPacket, NewObjectHasNoPacket) {
  Proto p = make();
  EXPECT_FALSE(vor_proto_GetPacket(p.get(), nullptr, nullptr));
  EXPECT_FALSE(vorx_proto_GetCmd(p.get(), nullptr, nullptr));
  EXPECT_FALSE(vor_proto_PackPara(p.get(), "a", "1"));
  char* text = nullptr;
  int32_t len = 7;
  EXPECT_EQ(vorx_proto_GetPacket(p.get(), &text, &len), text);
  EXPECT_EQ(len, 0);
  EXPECT_FALSE(vor_proto_GetPacket(nullptr, nullptr, nullptr));
  EXPECT_FALSE(vor_proto_PackCmd(nullptr, "cmd"));
  vor_proto_free(nullptr);
}

TEST(CommandPacket, CopyingReadersWriteAtMostSizeMinusOneAndANul) {
  Proto p = make();
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "abcdef"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "name", "content"));
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  ASSERT_TRUE(vor_proto_GetCmd(p.get(), buf, 4));
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[4], '#');
  std::memset(buf, '#', sizeof buf);
  ASSERT_TRUE(vor_proto_GetPara(p.get(), "name", buf, 4));
  EXPECT_STREQ(buf, "con");
  EXPECT_EQ(buf[4], '#');
  char name[3], content[5];
  ASSERT_TRUE(vor_proto_GetFirst(p.get(), name, sizeof name, content, sizeof content));
  EXPECT_STREQ(name, "na");
  EXPECT_STREQ(content, "cont");
  EXPECT_TRUE(vor_proto_GetCmd(p.get(), nullptr, 0));
  EXPECT_TRUE(vor_proto_GetPara(p.get(), "name", nullptr, 0));
  EXPECT_FALSE(vor_proto_GetPara(p.get(), nullptr, buf, 8));
  EXPECT_EQ(captured([&] { EXPECT_FALSE(vor_proto_GetPara(p.get(), "none", buf, 8)); }),
            "info: get para(none) is not exist!\n");
}

TEST(CommandPacket, CursorWalksParametersInOrder) {
  Proto p = make();
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(vor_proto_PackPara(p.get(), n, n));
  char name[8], content[8];
  EXPECT_TRUE(vor_proto_GetNext(p.get(), name, 8, content, 8));
  EXPECT_STREQ(name, "a");
  ASSERT_TRUE(vor_proto_GetFirst(p.get(), name, 8, content, 8));
  EXPECT_TRUE(vor_proto_GetNext(p.get(), name, 8, content, 8));
  EXPECT_STREQ(name, "b");
  EXPECT_TRUE(vor_proto_GetNext(p.get(), name, 8, content, 8));
  EXPECT_STREQ(content, "c");
  EXPECT_FALSE(vor_proto_GetNext(p.get(), name, 8, content, 8));
  vor_proto_rewind(p.get());
  EXPECT_TRUE(vor_proto_GetNext(p.get(), name, 8, content, 8));
  EXPECT_STREQ(name, "a");
}

TEST(CommandPacket, SeparatorSettingChangesPackingOnly) {
  SeparatorGuard guard;
  Proto p = make();
  vorx_proto_SetSpace(3);  // not a setting: CR LF stays
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  EXPECT_EQ(packet_of(p.get()), B("cmd\r\n\0", 6));
  const std::pair<int32_t, std::string> settings[] = {{2, ";"}, {0, "\n"}, {4, " "}, {8, "&"}, {1, "\r\n"}};
  for (const auto& [value, sep] : settings) {
    vorx_proto_SetSpace(value);
    ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
    ASSERT_TRUE(vor_proto_PackPara(p.get(), "a", "1"));
    EXPECT_EQ(packet_of(p.get()), "cmd" + sep + "a=\"1\"" + sep + std::string(1, '\0'));
    Proto q = make();
    ASSERT_TRUE(parse(q.get(), packet_of(p.get())));
    EXPECT_EQ(params_of(q.get()), (Params{{"a", "1"}}));
  }
}

TEST(CommandPacket, CustomDataRoundTripsUpTo3840Bytes) {
  Proto p = make();
  std::vector<uint8_t> data(3841);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  EXPECT_FALSE(vorx_proto_PackCustomData(p.get(), data.data(), 3841));
  EXPECT_FALSE(vorx_proto_PackCustomData(p.get(), data.data(), 0));
  ASSERT_TRUE(vorx_proto_PackCustomData(p.get(), data.data(), 3840));
  Proto q = make();
  ASSERT_TRUE(parse(q.get(), packet_of(p.get())));
  std::vector<uint8_t> back(4000);
  int32_t len = 0;
  ASSERT_TRUE(vorx_proto_GetCustomData(q.get(), back.data(), 4000, &len));
  ASSERT_EQ(len, 3840);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 3840, back.begin()));
  std::vector<uint8_t> small(10, 0xEE);
  ASSERT_TRUE(vorx_proto_GetCustomData(q.get(), small.data(), 5, &len));
  EXPECT_EQ(len, 5);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 5, small.begin()));
  EXPECT_EQ(small[5], 0xEE);
  for (int32_t n : {1, 2, 3, 4}) {  // every padding length
    ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
    ASSERT_TRUE(vorx_proto_PackCustomData(p.get(), data.data(), n));
    ASSERT_TRUE(vorx_proto_GetCustomData(p.get(), back.data(), 4000, &len));
    EXPECT_EQ(len, n);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + n, back.begin()));
  }
}

TEST(CommandPacket, ModifyCmdMovesEveryParameter) {
  Proto p = make();
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "c"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "a", "1"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "b", "22"));
  ASSERT_TRUE(vor_proto_ModifyCmd(p.get(), "longer_command"));
  Proto q = make();
  ASSERT_TRUE(parse(q.get(), packet_of(p.get())));
  EXPECT_EQ(dump(p.get()), dump(q.get()));
  ASSERT_TRUE(vor_proto_ModifyPara(p.get(), "b", "333"));
  EXPECT_EQ(params_of(p.get()), (Params{{"a", "1"}, {"b", "333"}}));
  char* cmd = nullptr;
  ASSERT_TRUE(vorx_proto_GetCmd(p.get(), &cmd, nullptr));
  ASSERT_TRUE(vor_proto_ModifyCmd(p.get(), cmd));  // its own copy
  EXPECT_EQ(cmd_of(p.get()), "longer_command");
}

TEST(CommandPacket, ParametersAfterANulRunAreReadButNeverEditedInPlace) {
  Proto p = make();
  const std::string text = B("cmd\r\na=\"1\"\r\n\0\0b=\"2\"\r\n\0", 22);
  ASSERT_TRUE(parse(p.get(), text));
  EXPECT_EQ(params_of(p.get()), (Params{{"a", "1"}, {"b", "2"}}));
  const std::string kept = B("cmd\r\na=\"1\"\r\n\0", 13);
  ASSERT_EQ(packet_of(p.get()), kept);
  EXPECT_FALSE(vor_proto_ModifyPara(p.get(), "b", "a much longer content than before"));
  EXPECT_FALSE(vor_proto_DeletePara(p.get(), "b"));
  EXPECT_EQ(packet_of(p.get()), kept);
  // A parameter packed afterwards lands where b's stale positions point; b stays untouchable.
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "c", "3"));
  EXPECT_FALSE(vor_proto_ModifyPara(p.get(), "b", "x"));
  EXPECT_FALSE(vor_proto_DeletePara(p.get(), "b"));
  ASSERT_TRUE(vor_proto_ModifyPara(p.get(), "a", "11"));
  ASSERT_TRUE(vor_proto_DeletePara(p.get(), "a"));
  ASSERT_TRUE(vor_proto_ModifyPara(p.get(), "c", "33"));
  Proto q = make();
  ASSERT_TRUE(parse(q.get(), packet_of(p.get())));
  EXPECT_EQ(params_of(q.get()), (Params{{"c", "33"}}));
  Proto c(vor_proto_clone(p.get()));
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(vor_proto_DeletePara(c.get(), "b"));
}

TEST(CommandPacket, PackingOntoABareReceivedCommandKeepsTheNameApart) {
  Proto p = make();
  ASSERT_TRUE(parse(p.get(), B("cmd\0", 4)));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "a", "1"));
  EXPECT_EQ(packet_of(p.get()), B("cmd\r\na=\"1\"\r\n\0", 13));
  Proto q = make();
  ASSERT_TRUE(parse(q.get(), packet_of(p.get())));
  EXPECT_EQ(dump(q.get()), dump(p.get()));
}

TEST(CommandPacket, DeleteFirstOfThreeKeepsTheOthers) {
  Proto p = make();
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "a", "1"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "bb", "22"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "ccc", "333"));
  ASSERT_TRUE(vor_proto_DeletePara(p.get(), "a"));
  EXPECT_EQ(packet_of(p.get()), B("cmd\r\nbb=\"22\"\r\nccc=\"333\"\r\n\0", 26));
  EXPECT_EQ(params_of(p.get()), (Params{{"bb", "22"}, {"ccc", "333"}}));
  EXPECT_EQ(captured([&] { EXPECT_FALSE(vor_proto_DeletePara(p.get(), "a")); }),
            "info: deleted para(a) is not exist!\n");
  EXPECT_EQ(captured([&] { EXPECT_FALSE(vor_proto_ModifyPara(p.get(), "a", "1")); }),
            "info: para(a) is not exist!\n");
}

TEST(CommandPacket, CloneCopiesEverything) {
  Proto p = make();
  ASSERT_TRUE(vor_proto_PackCmd(p.get(), "cmd"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "a", "1"));
  ASSERT_TRUE(vor_proto_PackPara(p.get(), "b", "x\"y"));
  Proto c(vor_proto_clone(p.get()));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(dump(c.get()), dump(p.get()));
  Proto empty = make();
  Proto e(vor_proto_clone(empty.get()));
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(vor_proto_GetPacket(e.get(), nullptr, nullptr));
}

// Random words and contents (any byte but NUL, quotes frequent).
class RandomPacket {
 public:
  explicit RandomPacket(uint32_t seed) : rng_(seed) {}
  std::string word() {
    static const char kHead[] = "abcXYZ_";
    static const char kRest[] = "abcXYZ_019";
    std::string w(1, kHead[rng_() % 7]);
    const size_t n = rng_() % 4 == 0 ? rng_() % 128 : rng_() % 6;
    for (size_t i = 0; i < n; ++i) w.push_back(kRest[rng_() % 10]);
    return w;
  }
  std::string content() {
    std::string c;
    const size_t n = rng_() % 8 == 0 ? rng_() % 1500 : rng_() % 12;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t r = rng_() % 6;
      c.push_back(r == 0 ? '"' : r == 1 ? ' ' : static_cast<char>(1 + rng_() % 255));
    }
    return c;
  }
  uint32_t next() { return rng_(); }

 private:
  std::mt19937 rng_;
};

TEST(CommandPacket, RandomPackThenParseRoundTrips) {
  SeparatorGuard guard;
  const int32_t spaces[] = {0, 1, 2, 4, 8};
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE(seed);
    RandomPacket gen(seed);
    vorx_proto_SetSpace(spaces[seed % 5]);
    Proto p = make();
    const std::string cmd = gen.word();
    ASSERT_TRUE(vor_proto_PackCmd(p.get(), cmd.c_str()));
    Params model;
    const uint32_t n = gen.next() % 20;
    for (uint32_t i = 0; i < n; ++i) {
      const std::string name = gen.word(), content = gen.content();
      bool dup = false;
      for (const auto& kv : model) dup |= kv.first == name;
      bool ok = false;
      captured([&] { ok = vor_proto_PackPara(p.get(), name.c_str(), content.c_str()); });
      if (ok) model.emplace_back(name, content);
      else EXPECT_TRUE(dup || vorx_proto_GetPacketLen(p.get()) + name.size() + 2 * content.size() > 10000);
    }
    Proto q = make();
    ASSERT_TRUE(parse(q.get(), packet_of(p.get())));
    EXPECT_EQ(cmd_of(q.get()), cmd);
    EXPECT_EQ(params_of(q.get()), model);
    EXPECT_EQ(dump(q.get()), dump(p.get()));
  }
}

// Model-based: random edits on one packet; after each, the object's tables, its packet
// re-parsed and a plain model must all agree.
TEST(CommandPacket, RandomEditsKeepEveryTableConsistent) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    RandomPacket gen(seed * 7919);
    Proto p = make();
    std::string cmd = gen.word();
    ASSERT_TRUE(vor_proto_PackCmd(p.get(), cmd.c_str()));
    Params model;
    for (int step = 0; step < 60; ++step) {
      const uint32_t op = gen.next() % 10;
      bool ok = false;
      if (op < 4 || model.empty()) {
        const std::string name = gen.word(), content = gen.content();
        captured([&] { ok = vor_proto_PackPara(p.get(), name.c_str(), content.c_str()); });
        if (ok) model.emplace_back(name, content);
      } else if (op < 7) {
        auto& kv = model[gen.next() % model.size()];
        const std::string content = gen.content();
        captured([&] { ok = vor_proto_ModifyPara(p.get(), kv.first.c_str(), content.c_str()); });
        if (ok) kv.second = content;
      } else if (op < 9) {
        const size_t i = gen.next() % model.size();
        ASSERT_TRUE(vor_proto_DeletePara(p.get(), model[i].first.c_str()));
        model.erase(model.begin() + static_cast<long>(i));
      } else {
        const std::string next = gen.word();
        captured([&] { ok = vor_proto_ModifyCmd(p.get(), next.c_str()); });
        if (ok) cmd = next;
      }
      ASSERT_EQ(params_of(p.get()), model) << "step " << step;
      ASSERT_EQ(cmd_of(p.get()), cmd);
      Proto q = make();
      ASSERT_TRUE(parse(q.get(), packet_of(p.get()))) << "step " << step;
      ASSERT_EQ(dump(q.get()), dump(p.get())) << "step " << step;
    }
  }
}

}  // namespace
