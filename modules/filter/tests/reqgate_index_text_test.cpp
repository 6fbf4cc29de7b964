// Record texts of the disk-cache index: finding, cutting, removing and appending pairs in both
// record sizes, values filled to their last byte without a NUL (heap buffers of the exact size,
// so any read past them is caught), the key rule of names and paths, and path signatures
// against a small Python model on random keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "reqgate_index_test_util.h"
#include "vor_tempdir.h"

namespace {

using namespace vor::reqgate;
using vor::reqgate::test::hex_of;

// A value of exactly size bytes on the heap: text, then zeros (none when the text fills it).
std::vector<char> value_of(const std::string& text, size_t size) {
  std::vector<char> v(size, '\0');
  std::memcpy(v.data(), text.data(), std::min(text.size(), size));
  return v;
}

std::string text_of(const std::vector<char>& v) { return std::string(v.data(), strnlen(v.data(), v.size())); }

struct ValueCase {
  const char* record;
  const char* key;
  const char* value;  // NULL: absent
};
const ValueCase kValues[] = {
    {"vs=371&cl=1f&ep=5d", "cl", "1f"},
    {"xcl=9&cl=12345", "cl", "12345"},     // "cl=" after another letter is not the key
    {"xep=1", "ep", nullptr},
    {"cl=1", "ep", nullptr},
    {"ep=&cl=1", "ep", ""},                // an empty value is an empty text
    {"vs=371&ep=5d tail&x=1", "ep", "5d"}, // a value ends at a blank
    {"vs=371 &x=1", "x", nullptr},          // nothing after the first blank is read
    {"et=W/\"a b\"", "et", "W/\"a"},
    {"cm=&cr=1", "cr", "1"},
    {"ep=1&ep=2", "ep", "1"},               // the first occurrence counts
    {"", "vs", nullptr},
    {"ep", "ep", nullptr},
    {"ep=", "ep", ""},
};

TEST(IndexText, ValuesAreFoundAtPairStartsAndEndAtAmpersandBlankOrEnd) {
  for (const auto& c : kValues) {
    SCOPED_TRACE(c.record);
    const std::vector<char> record = value_of(c.record, kIndexRecordSize);
    char buffer[kSignatureValueSize];
    const char* got = index_value(record.data(), c.key, buffer, sizeof buffer);
    if (!c.value) {
      EXPECT_EQ(got, nullptr);
    } else {
      ASSERT_NE(got, nullptr);
      EXPECT_STREQ(got, c.value);
    }
  }
}

// Each reader's buffer keeps size - 1 characters of a longer value.
TEST(IndexText, LongValuesAreCutAtEachReadersSize) {
  const std::string long_value(140, '7');
  const std::vector<char> record = value_of("vs=371&up=" + long_value + "&cl=5", kIndexRecordSize);
  for (size_t size : {kShortValueSize, kNumberValueSize, kNameValueSize, kSignatureValueSize, size_t{1}}) {
    SCOPED_TRACE(size);
    std::vector<char> buffer(size, 'x');
    ASSERT_NE(index_value(record.data(), "up", buffer.data(), buffer.size()), nullptr);
    EXPECT_EQ(std::string(buffer.data()), long_value.substr(0, size - 1));
  }
  char none[1];
  EXPECT_EQ(index_value(record.data(), "up", none, 0), nullptr);
  EXPECT_EQ(index_hex(record.data(), "cl", 0), 5u);
  // The number reader keeps 31 digits: a longer value reads as its first 31.
  const std::vector<char> wide = value_of("ep=" + std::string(40, '0') + "1", kIndexRecordSize);
  EXPECT_EQ(index_hex(wide.data(), "ep", 9), 0u);
  EXPECT_EQ(index_hex(wide.data(), "cl", 9), 9u);
}

// Values filled to the last byte: readers and writers stop at the value's end.
TEST(IndexText, FullValuesWithoutNulAreNeverReadPast) {
  const std::string text = "vs=371&ep=5d&up=" + std::string(kIndexRecordSize - 16, 'a');
  ASSERT_EQ(text.size(), kIndexRecordSize);
  std::vector<char> record = value_of(text, kIndexRecordSize);
  char buffer[kIndexRecordSize + 10];
  ASSERT_NE(index_value(record.data(), "up", buffer, sizeof buffer), nullptr);
  EXPECT_EQ(std::strlen(buffer), kIndexRecordSize - 16);
  EXPECT_EQ(index_value(record.data(), "zz", buffer, sizeof buffer), nullptr);
  EXPECT_EQ(index_hex(record.data(), "ep", 0), 0x5du);
  EXPECT_FALSE(index_append(record.data(), "x", "1"));
  EXPECT_EQ(std::string(record.data(), record.size()), text);
  index_drop_ep(record.data());
  EXPECT_EQ(std::string(record.data(), kIndexRecordSize - 6), "vs=371&up=" + std::string(kIndexRecordSize - 16, 'a'));
  EXPECT_EQ(std::string(record.data() + kIndexRecordSize - 6, 6), std::string(6, '\0'));

  const std::string content = "vs=371&ct=3&fn=" + std::string(kContentRecordSize - 15, 'f');
  std::vector<char> content_record = value_of(content, kContentRecordSize);
  char name[kNameValueSize];
  ASSERT_NE(index_value(content_record.data(), "fn", name, sizeof name, kContentRecordSize), nullptr);
  EXPECT_EQ(std::string(name), std::string(32, 'f'));
  char kind[kShortValueSize];
  EXPECT_STREQ(index_value(content_record.data(), "ct", kind, sizeof kind, kContentRecordSize), "3");
  EXPECT_FALSE(index_append(content_record.data(), "x", "1", kContentRecordSize));
}

struct DropCase {
  const char* before;
  const char* after;
};
const DropCase kDrops[] = {
    {"vs=371&ep=5d&up=a/", "vs=371&up=a/"},
    {"vs=371&ep=5d", "vs=371"},
    {"ep=5d&vs=371", "vs=371"},
    {"ep=5d", ""},
    {"ep=", ""},
    {"vs=371&xep=1", "vs=371&xep=1"},
    {"vs=371&ep=5d tail", "vs=371 tail"},  // what follows a value ended at a blank stays
    {"ep=5d more", " more"},
    {"vs=371&ep=1&ep=2", "vs=371&ep=2"},
    {"vs=1 &ep=5", "vs=1 &ep=5"},          // after the blank: not in the text
    {"", ""},
};

TEST(IndexText, DroppingEpCutsOnePairAndOneAmpersand) {
  for (const auto& c : kDrops) {
    SCOPED_TRACE(c.before);
    std::vector<char> record = value_of(c.before, kIndexRecordSize);
    index_drop_ep(record.data());
    EXPECT_EQ(text_of(record), c.after);
    // The bytes freed at the end are zeroed: nothing of the old text stays after the NUL.
    EXPECT_EQ(std::string(record.data() + std::strlen(c.after), kIndexRecordSize - std::strlen(c.after)),
              std::string(kIndexRecordSize - std::strlen(c.after), '\0'));
  }
}

struct AppendCase {
  const char* before;
  const char* after;
};
const AppendCase kAppends[] = {
    {"", "ep=1"},
    {"vs=371&", "vs=371&ep=1"},
    {"vs=371", "vs=371&ep=1"},
    {"vs=371 junk", "vs=371&ep=1"},  // the text ends at its first blank
    {"&", "&ep=1"},
};

TEST(IndexText, AppendingWritesAnAmpersandOnlyWhenNeeded) {
  for (const auto& c : kAppends) {
    SCOPED_TRACE(c.before);
    std::vector<char> record = value_of(c.before, kIndexRecordSize);
    ASSERT_TRUE(index_append(record.data(), "ep", "1"));
    EXPECT_EQ(text_of(record), c.after);
  }
}

// "&ep=1" is 5 bytes: it fits when the text leaves 6 bytes (its NUL included), else nothing changes.
TEST(IndexText, AppendingChecksTheRoomLeftInEitherValueSize) {
  for (size_t size : {kIndexRecordSize, kContentRecordSize}) {
    SCOPED_TRACE(size);
    const std::string fits(size - 6, 'a');
    std::vector<char> record = value_of(fits, size);
    ASSERT_TRUE(index_append(record.data(), "ep", "1", size));
    EXPECT_EQ(text_of(record), fits + "&ep=1");
    EXPECT_EQ(record[size - 1], '\0');

    const std::string full(size - 5, 'a');
    record = value_of(full, size);
    EXPECT_FALSE(index_append(record.data(), "ep", "1", size));
    EXPECT_EQ(text_of(record), full);
  }
}

struct KeyCase {
  std::string text;
  const char* key;  // NULL: refused
};

TEST(IndexKey, BareNamesAndPathsGiveTheSameKey) {
  const std::string name = "0123456789abcdef0123456789abcdef";
  const KeyCase cases[] = {
      {name, name.c_str()},
      {"/cache/d1/public/1/2/" + name + ".html", name.c_str()},
      {"D:\\cache\\public\\3\\" + name + ".dat", name.c_str()},
      {"a\\b/c\\" + name, name.c_str()},
      {name + "tail", name.c_str()},
      {name.substr(0, 31), nullptr},
      {"/cache/" + name.substr(0, 31), nullptr},
      {"/cache/" + name + "/", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    char key[32];
    const bool ok = index_key(c.text.c_str(), key);
    EXPECT_EQ(ok, c.key != nullptr);
    if (ok) {
      EXPECT_EQ(std::string(key, 32), c.key);
    }
  }
  char key[32];
  EXPECT_FALSE(index_key(nullptr, key));
}

TEST(PathSignature, QueryAndWildcardAreCutAndHostOnlyKeysSignTheHost) {
  EXPECT_EQ(path_signature("HostA/Dir/Sub/page.html?q=1"), path_signature("hosta/dir/sub/page.html"));
  EXPECT_EQ(path_signature("hosta/dir/sub/page.html"), path_signature("hosta/dir/sub/"));
  const std::string host_only = path_signature("HostA/*");
  EXPECT_EQ(std::count(host_only.begin(), host_only.end(), '/'), 1);
  EXPECT_EQ(path_signature("http://HostA/*"), host_only);
  EXPECT_EQ(path_signature("HTTP://hosta/index.html"), host_only);
  EXPECT_EQ(path_signature("/a/b/c"), "");
  EXPECT_EQ(path_signature("hosta"), "");
  EXPECT_EQ(path_signature(""), "");
  // /a/b/c/d/e.html signs the host and a, b, c; an empty folder uses up a level.
  EXPECT_EQ(path_signature("h/a/b/c/d/e.html"), path_signature("h/a/b/c/x"));
  EXPECT_EQ(path_signature("h//a/b/c"), path_signature("h/a/b/z"));
  // "9iazipp" hashes to the most negative 32-bit value: its magnitude has no low bits set.
  EXPECT_EQ(path_signature("9iazipp/x"), "0/");
  EXPECT_EQ(path_signature("h/9iazipp/x").substr(path_signature("h/x").size()), "0/");
}

// The rule as a reader would write it from its description, in Python.
constexpr char kModel[] = R"(import sys
def h(seg):
    x = 0
    for c in seg:
        x = (x * 31 + (c - 256 if c > 127 else c)) & 0xffffffff
    return abs(x - (1 << 32) if x >= 0x80000000 else x)
def sig(b):
    if b[:7].lower() == b'http://':
        b = b[7:]
    b = bytes(c + 32 if 65 <= c <= 90 else c for c in b)
    for ch in b'?*':
        i = b.find(bytes([ch]))
        if i >= 0:
            b = b[:i]
    s = b.find(b'/')
    if s <= 0:
        return ''
    out = '%x/' % (h(b[:s]) & 0xfff)
    for _ in range(3):
        n = b.find(b'/', s + 1)
        if n < 0:
            break
        if n > s + 1:
            out += '%x/' % (h(b[s + 1:n]) & 0xff)
        s = n
    return out
for line in sys.stdin:
    print(sig(bytes.fromhex(line.strip())))
)";

std::string random_key(std::mt19937& rng) {
  static const std::string kPieces[] = {"/", "/", "/", "?", "*", "a", "Z", "q", "0", "x", ".", "-", "http://", "HTTP://"};
  std::string key;
  const int n = static_cast<int>(rng() % 24);
  for (int i = 0; i < n; ++i) {
    if (rng() % 4 == 0) {
      key += static_cast<char>(0x80 + rng() % 0x80);  // bytes above 0x7F hash as negative
    } else {
      key += kPieces[rng() % std::size(kPieces)];
    }
  }
  return key;
}

TEST(PathSignature, MatchesAPythonModelOnRandomKeys) {
  const unsigned seed = 20261211;
  std::mt19937 rng(seed);
  std::vector<std::string> keys = {"9iazipp/a", "x/9iazipp/c/d", "http://9IAZIPP/", "\xff\x80/\x81/"};
  for (int i = 0; i < 3000; ++i) keys.push_back(random_key(rng));
  vor::test::TempDir dir;
  std::string input;
  for (const std::string& key : keys) input += hex_of(key) + "\n";
  vor::test::write_file(dir.file("keys.txt"), input);
  vor::test::write_file(dir.file("model.py"), kModel);
  const std::string out =
      vor::test::shell_output("python3 '" + dir.file("model.py") + "' < '" + dir.file("keys.txt") + "'");
  size_t at = 0;
  for (const std::string& key : keys) {
    const size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "model output ended early; seed " << seed;
    EXPECT_EQ(path_signature(key), out.substr(at, end - at)) << "key " << hex_of(key) << " seed " << seed;
    at = end + 1;
  }
}

}  // namespace
