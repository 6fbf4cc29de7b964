// Random edits of random heads, checked after every step against a list of lines that follows
// the lookup rules of the index (names as the index cuts them, folded lines under their first
// word, ':' lines skipped) and of the text search (names cut to 100 characters, line starts only).
#include "http_parser.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "vor_kit.h"

namespace {

using Parser = vor::Owned<http_parser, http_parser_free>;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_name_end(char c) { return c == ':' || is_blank(c) || c == '\r' || c == '\n'; }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool same_ignoring_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

const std::string kLong100 = "X-" + std::string(98, 'l');
const std::string kLong120 = kLong100 + std::string(20, 'm');

class Model {
 public:
  std::string start;
  std::vector<std::string> lines;
  int index_count = 0;  // as the parser's: 0 means no index

  std::string text() const {
    std::string t = start + "\r\n";
    for (const auto& l : lines) t += l + "\r\n";
    return t + "\r\n";
  }

  void build_index() {
    if (index_count != 0) return;
    int named = 0;
    for (const auto& l : lines) named += indexed_name(l).empty() ? 0 : 1;
    index_count = named < 64 ? named : 0;
  }

  struct Found {
    size_t line;
    size_t value;  // where the value search starts in the line
  };

  std::optional<Found> find(const std::string& name, int k) const {
    for (size_t i = 0; i < lines.size(); ++i) {
      std::optional<size_t> value = index_count ? match_indexed(lines[i], name) : match_text(lines[i], name);
      if (value && k-- == 0) return Found{i, *value};
    }
    return std::nullopt;
  }

  std::string lookup(const std::string& name, int k) const {
    auto f = find(name, k);
    if (!f) return "<null>";
    const std::string& l = lines[f->line];
    size_t from = f->value;
    while (from < l.size() && (is_blank(l[from]) || l[from] == ':')) ++from;
    size_t end = l.size();
    while (end > from && is_blank(l[end - 1])) --end;
    return l.substr(from, end - from);
  }

  bool insert(const std::string& name, const std::string& value) {
    if (text().size() + name.size() + value.size() + 4 >= 16384) return false;
    append(name, value);
    return true;
  }

  void remove(const std::string& name, int k) {
    if (auto f = find(name, k)) erase(f->line);
  }

  bool modify(const std::string& name, const std::string& value) {
    auto f = find(name, 0);
    const size_t removed = f ? lines[f->line].size() + 2 : 0;
    if (text().size() - removed + name.size() + value.size() + 4 >= 16384) return false;
    if (f) erase(f->line);
    append(name, value);
    return true;
  }

  static std::string indexed_name(const std::string& l) {
    size_t from = 0;
    while (from < l.size() && is_blank(l[from])) ++from;
    if (from < l.size() && l[from] == ':') return "";
    size_t end = from;
    while (end < l.size() && !is_name_end(l[end])) ++end;
    return l.substr(from, end - from);
  }

 private:
  static std::optional<size_t> match_indexed(const std::string& l, const std::string& name) {
    const std::string n = indexed_name(l);
    if (n.empty() || !same_ignoring_case(n, name)) return std::nullopt;
    return l.find(n) + n.size();
  }

  static std::optional<size_t> match_text(const std::string& l, const std::string& name) {
    const std::string cut = name.substr(0, 100);
    if (cut.empty() || l.size() < cut.size() || !same_ignoring_case(l.substr(0, cut.size()), cut)) return std::nullopt;
    if (l.size() > cut.size() && !is_name_end(l[cut.size()])) return std::nullopt;
    return cut.size();
  }

  void append(const std::string& name, const std::string& value) {
    lines.push_back(name + ": " + value);
    if (index_count == 64) {
      index_count = 0;
    } else if (index_count > 0) {
      ++index_count;
    }
  }

  void erase(size_t line) {
    lines.erase(lines.begin() + static_cast<long>(line));
    if (index_count) --index_count;
  }
};

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  int below(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

  std::string name() {
    static const std::vector<std::string> names = {"Host",           "Via",     "Accept",  "X-A",   "Content-Length",
                                                   "Content-Length-X", "Cookie", "NoColon", kLong100, kLong120,
                                                   "cont"};
    std::string n = names[below(static_cast<int>(names.size()))];
    for (char& c : n) {
      if (below(3) == 0) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (below(3) == 0) c = lower(c);
    }
    return n;
  }

  std::string value() {
    switch (below(8)) {
      case 0: return "";
      case 1: return "  padded \t";
      case 2: return ":colon";
      case 3: return std::string(1500 + below(1500), 'b');
      default: {
        static const char kChars[] = "abcXYZ019 :;=/-";
        std::string v;
        for (int i = below(30); i > 0; --i) v += kChars[below(sizeof(kChars) - 1)];
        return v;
      }
    }
  }

  std::string line() {
    switch (below(10)) {
      case 0: return " cont " + value();
      case 1: return "\tcont";
      case 2: return ":weird: " + value();
      case 3: return "NoColon " + value();
      case 4: return name() + " :: " + value();
      default: return name() + ": " + value();
    }
  }

  Model head() {
    static const char* starts[] = {"GET /a HTTP/1.1", "HTTP/1.1 200 OK", "POST /form?x=1 HTTP/1.0"};
    Model m;
    m.start = starts[below(3)];
    const int count = below(2) ? below(8) : 58 + below(10);  // small heads, and around 63/64/65
    for (int i = 0; i < count; ++i) {
      std::string l = line();
      if (l.size() > 200) l.resize(200);
      m.lines.push_back(l);
    }
    return m;
  }

 private:
  std::mt19937 rng_;
};

std::string parser_text(http_parser* p) { return std::string(http_parser_GetStr(p), http_parser_GetLen(p)); }

std::string lookup(http_parser* p, const std::string& name, int k) {
  char buffer[4096];
  const char* got = http_parser_GetNthKey(p, name.c_str(), k, buffer, sizeof(buffer));
  return got ? got : "<null>";
}

const std::vector<std::string> kOrdinary = {"Host", "Via", "Accept", "X-A", "Content-Length",
                                            "Content-Length-X", "Cookie", "NoColon"};

// With an index, ordinary headers are found alike by the text search of an unindexed copy, and
// the index holds what a rebuild would give.
void check_index_against_text(http_parser* p, const std::string& text) {
  Parser plain(http_parser_make());
  ASSERT_EQ(http_parser_parse(plain.get(), text.data(), static_cast<int32_t>(text.size())),
            static_cast<int32_t>(text.size()));
  for (const auto& name : kOrdinary) {
    for (int k = 0; k < 3; ++k) ASSERT_EQ(lookup(p, name, k), lookup(plain.get(), name, k)) << name << " #" << k;
  }
  ASSERT_TRUE(http_parser_buildIndex(plain.get()));
  if (p->index_count > 0 && p->index_count < 64) {
    ASSERT_EQ(plain->index_count, p->index_count);
    for (int i = 0; i < p->index_count; ++i) {
      ASSERT_EQ(plain->index[i].offset, p->index[i].offset) << i;
      ASSERT_EQ(plain->index[i].length, p->index[i].length) << i;
    }
  }
}

void check(http_parser* p, const Model& m) {
  const std::string text = m.text();
  ASSERT_EQ(parser_text(p), text);
  ASSERT_EQ(p->index_count, m.index_count);
  ASSERT_TRUE(http_parser_check(p));
  static const std::vector<std::string> wanted = {"Host", "via", "ACCEPT", "x-a", "Content-Length",
                                                  "content-length-x", "Cookie", "NoColon", kLong100,
                                                  kLong120, "cont", ":weird"};
  for (const auto& name : wanted) {
    for (int k = 0; k < 3; ++k) ASSERT_EQ(lookup(p, name, k), m.lookup(name, k)) << name << " #" << k;
  }
  if (p->index_count) check_index_against_text(p, text);
}

void run(uint32_t seed, bool with_index) {
  SCOPED_TRACE("seed " + std::to_string(seed) + (with_index ? " indexed" : " unindexed"));
  Generator g(seed);
  Model m = g.head();
  Parser p(http_parser_make());
  const std::string start = m.text();
  ASSERT_EQ(http_parser_parse(p.get(), start.data(), static_cast<int32_t>(start.size())),
            static_cast<int32_t>(start.size()));
  if (with_index) {
    ASSERT_TRUE(http_parser_buildIndex(p.get()));
    m.build_index();
  }
  ASSERT_NO_FATAL_FAILURE(check(p.get(), m));
  for (int step = 0; step < 150; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const std::string name = g.name();
    const int op = g.below(with_index ? 7 : 6);
    if (op <= 1) {
      const std::string value = g.value();
      ASSERT_EQ(http_parser_InsertKey(p.get(), name.c_str(), value.c_str()), m.insert(name, value));
    } else if (op <= 3) {
      const int k = g.below(3);
      ASSERT_TRUE(http_parser_DelNthKey(p.get(), name.c_str(), k));
      m.remove(name, k);
    } else if (op <= 5) {
      const std::string value = g.value();
      ASSERT_EQ(http_parser_ModifyKey(p.get(), name.c_str(), value.c_str()), m.modify(name, value));
    } else {
      ASSERT_TRUE(http_parser_buildIndex(p.get()));
      m.build_index();
    }
    ASSERT_NO_FATAL_FAILURE(check(p.get(), m));
  }
}

TEST(HttpParserModel, RandomEditsMatchTheLineModelWithTheIndex) {
  for (uint32_t seed = 1; seed <= 12; ++seed) ASSERT_NO_FATAL_FAILURE(run(seed, true));
}

TEST(HttpParserModel, RandomEditsMatchTheLineModelWithoutTheIndex) {
  for (uint32_t seed = 101; seed <= 112; ++seed) ASSERT_NO_FATAL_FAILURE(run(seed, false));
}

}  // namespace
