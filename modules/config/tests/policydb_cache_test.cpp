// The cache rule families through their exports: a model-based test per family (random changes
// against an ordered-vector model, then a fresh load of the same file), the edge cases as tables,
// loader rows, hostile texts and changes failing at each statement.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "policydb.h"
#include "policydb_cache.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

// --- the URLs and patterns of the model test, with the URLs each pattern matches -------------

const char* const kUrls[] = {
    "a.com/x.jpg", "a.com/X.JPG", "b.com/img/p.png", "a.com/img/x.jpg", "c.org/login.do?u=1", "a.com/a.com/z",
};

struct Pat {
  const char* text;
  uint8_t icase;
  uint8_t kind;
  std::set<int> hits;
};

const Pat kPats[] = {
    {"*.jpg", 0, 0, {0, 3}},
    {"*.JPG", 1, 0, {0, 1, 3}},
    {"^%{HTTP_HOST}/img/", 0, 1, {2, 3}},
    {"LOGIN\\.do", 1, 1, {4}},
    {"a.com/X.JPG", 0, 2, {1}},
    {"A.COM/x.jpg", 1, 2, {0, 1}},
    {"/%{HTTP_HOST}/", 0, 1, {5}},
    {"%{HTTP_HOST}/img/*", 0, 0, {2, 3}},
    {"*", 0, 0, {0, 1, 2, 3, 4, 5}},
};

struct Vals {
  int pat = 0;
  uint32_t expire = 1;
  uint8_t unit = 0;
  uint8_t icookie = 0;
  uint32_t olimit = 0;
  uint32_t extra = 0;  // isdiskcache or cachelocation
  std::string name;
};

struct ModelRule {
  uint32_t wid;
  uint32_t num;
  Vals v;
};

std::string u(uint64_t n) { return std::to_string(n); }

// One family as the model test drives it.
struct Adapter {
  virtual ~Adapter() = default;
  virtual const char* table() const = 0;
  virtual Vals random(std::mt19937& rng) const = 0;
  virtual bool append(const Vals& v, uint32_t* wid) const = 0;
  virtual bool modify(uint32_t wid, const Vals& v) const = 0;
  virtual bool remove(uint32_t wid) const = 0;
  virtual bool move(uint32_t wid, bool up) const = 0;
  // Every question's answer for one URL, from the exports and from the model.
  virtual std::string answers(const char* url) const = 0;
  virtual std::string model_answers(const std::vector<ModelRule>& m, int url) const = 0;
  virtual std::string rows_sql() const = 0;
  virtual std::string model_row(const ModelRule& r) const = 0;
};

const ModelRule* first_of(const std::vector<ModelRule>& m, int url, int cls) {
  for (const ModelRule& r : m) {
    if (cls >= 0 && r.v.olimit != static_cast<uint32_t>(cls)) continue;
    if (kPats[r.v.pat].hits.count(url)) return &r;
  }
  return nullptr;
}

bool class_empty(const std::vector<ModelRule>& m, int cls) {
  for (const ModelRule& r : m) {
    if (r.v.olimit == static_cast<uint32_t>(cls)) return false;
  }
  return true;
}

uint32_t model_seconds(uint32_t n, uint8_t unit) {
  const uint64_t caps[] = {3650, 87600, 5256000};
  const uint64_t scale[] = {86400, 3600, 60};
  if (unit > 2) return n;
  return static_cast<uint32_t>(std::min<uint64_t>(n, caps[unit]) * scale[unit]);
}

struct SessionAdapter : Adapter {
  const char* table() const override { return "wc_scache"; }
  Vals random(std::mt19937& rng) const override {
    Vals v;
    v.pat = static_cast<int>(rng() % std::size(kPats));
    v.expire = 1 + rng() % 5000;
    static const char* const kNames[] = {"SID", "PHPSESSID", "JSESSIONID_LONG_NAME", "sid"};
    v.name = kNames[rng() % 4];
    return v;
  }
  bool append(const Vals& v, uint32_t* wid) const override {
    const Pat& p = kPats[v.pat];
    return policydb_scache_append(p.text, p.icase, p.kind, static_cast<int32_t>(v.expire), v.name.c_str(), "n",
                                  wid) != 0;
  }
  bool modify(uint32_t wid, const Vals& v) const override {
    const Pat& p = kPats[v.pat];
    return policydb_scache_modify(wid, p.text, p.icase, p.kind, static_cast<int32_t>(v.expire), v.name.c_str(), "m") !=
           0;
  }
  bool remove(uint32_t wid) const override { return policydb_scache_delete(wid) != 0; }
  bool move(uint32_t wid, bool up) const override {
    return (up ? policydb_scache_moveup(wid) : policydb_scache_movedown(wid)) != 0;
  }
  static std::string list_text(cu_list* list) {
    std::string out;
    for (cu_list* n = list; n; n = n->next) {
      auto* e = static_cast<scache_hit_entry*>(n->data);
      out += u(static_cast<uint32_t>(e->expire)) + ":" + e->name + ";";
    }
    return out;
  }
  static std::string names_text(cu_list* list) {
    std::string out;
    for (cu_list* n = list; n; n = n->next) out += static_cast<const char*>(n->data) + std::string(";");
    return out;
  }
  std::string answers(const char* url) const override {
    // Each call before its outputs are read: operands of + are evaluated in no fixed order.
    int32_t expire = -1;
    char name[8] = "";
    const uint8_t hit = policydb_scache_IsHit(url, &expire, name, sizeof name);
    std::string out = u(hit) + "," + std::to_string(expire) + "," + name + ",";
    char name2[64] = "";
    const int32_t seconds = policydb_scache_GetExpire(url, name2, sizeof name2);
    out += std::to_string(seconds) + "," + name2 + ",";
    cu_list* list = nullptr;
    const uint8_t listed = policydb_scache_GetHitList(url, &list);
    out += u(listed) + "," + list_text(list) + ",";
    policydb_scache_FreeHitList(list);
    alignas(16) char block[4096];
    cu_list* mm = nullptr;
    const uint8_t listed_mm = policydb_scache_GetHitListMM(url, &mm, block, sizeof block);
    out += u(listed_mm) + "," + list_text(mm) + ",";
    cu_list* names = policydb_scache_GetSessionidList();
    out += names_text(names) + ",";
    policydb_scache_FreeSessionidList(names);
    alignas(16) char block2[4096];
    out += names_text(policydb_scache_GetSessionidListMM(block2, sizeof block2)) + ",";
    return out + u(policydb_scache_IsExist());
  }
  std::string model_answers(const std::vector<ModelRule>& m, int url) const override {
    const ModelRule* r = first_of(m, url, -1);
    std::string out = r ? "1," + u(r->v.expire) + "," + r->v.name.substr(0, 7) + "," : "0,-1,,";
    out += r ? u(r->v.expire) + "," + r->v.name + "," : "0,,";
    std::string hits;
    for (const ModelRule& x : m) {
      if (kPats[x.v.pat].hits.count(url)) hits += u(x.v.expire) + ":" + x.v.name + ";";
    }
    out += (hits.empty() ? "0," : "1,") + hits + "," + (hits.empty() ? "0," : "1,") + hits + ",";
    std::string names;
    std::set<std::string> seen;
    for (const ModelRule& x : m) {
      if (seen.insert(x.v.name).second) names += x.v.name + ";";
    }
    return out + names + "," + names + "," + (m.empty() ? "0" : "1");
  }
  std::string rows_sql() const override {
    return "select wid, num, url, icase, rules, expire, sessionid, note from wc_scache order by num";
  }
  std::string model_row(const ModelRule& r) const override {
    const Pat& p = kPats[r.v.pat];
    return u(r.wid) + "|" + u(r.num) + "|" + p.text + "|" + u(p.icase) + "|" + u(p.kind) + "|" + u(r.v.expire) + "|" +
           r.v.name;
  }
};

// The intelligent- and force-cache families share one adapter over their exports.
struct CacheExports {
  const char* table;
  uint8_t (*append_x)(const char*, uint8_t, uint8_t, uint32_t, uint8_t, uint8_t, uint32_t, uint32_t, const char*,
                      uint32_t*);
  uint8_t (*modify_x)(uint32_t, const char*, uint8_t, uint8_t, uint32_t, uint8_t, uint8_t, uint32_t, uint32_t,
                      const char*);
  uint8_t (*remove)(uint32_t);
  uint8_t (*up)(uint32_t);
  uint8_t (*down)(uint32_t);
  uint8_t (*is_hit_x)(const char*, uint8_t*, uint32_t*, uint32_t*);
  uint32_t (*expire_x)(const char*, uint8_t*, uint32_t*, uint32_t*);
  uint8_t (*class_hit[3])(const char*, uint8_t*, uint32_t*, uint32_t*);
  uint32_t (*class_expire[3])(const char*, uint8_t*, uint32_t*, uint32_t*);
  uint8_t (*exists[3])(void);
};

#define CACHE_EXPORTS(p, table)                                                                                    \
  CacheExports {                                                                                                   \
    table, p##_append_x, p##_modify_x, p##_delete, p##_moveup, p##_movedown, p##_IsHit_x, p##_GetExpire_x,         \
        {p##_IsHit__olimit0_x, p##_IsHit__olimit1_x, p##_IsHit__olimit2_x},                                       \
        {p##_GetExpire__olimit0_x, p##_GetExpire__olimit1_x, p##_GetExpire__olimit2_x},                           \
        {p##_IsExist__olimit0, p##_IsExist__olimit1, p##_IsExist__olimit2},                                       \
  }

const CacheExports kIcache = CACHE_EXPORTS(policydb_icache, "wc_icache");
const CacheExports kFcache = CACHE_EXPORTS(policydb_fcache, "wc_fcache");

struct CacheAdapter : Adapter {
  explicit CacheAdapter(const CacheExports& e) : x(e) {}
  const CacheExports& x;
  const char* table() const override { return x.table; }
  Vals random(std::mt19937& rng) const override {
    Vals v;
    v.pat = static_cast<int>(rng() % std::size(kPats));
    v.expire = 1 + rng() % 6000000;
    v.unit = static_cast<uint8_t>(rng() % 4);
    v.icookie = static_cast<uint8_t>(rng() % 2);
    v.olimit = rng() % 3;
    v.extra = rng() % 2;
    return v;
  }
  bool append(const Vals& v, uint32_t* wid) const override {
    const Pat& p = kPats[v.pat];
    return x.append_x(p.text, p.icase, p.kind, v.expire, v.unit, v.icookie, v.olimit, v.extra, "n", wid) != 0;
  }
  bool modify(uint32_t wid, const Vals& v) const override {
    const Pat& p = kPats[v.pat];
    return x.modify_x(wid, p.text, p.icase, p.kind, v.expire, v.unit, v.icookie, v.olimit, v.extra, "m") != 0;
  }
  bool remove(uint32_t wid) const override { return x.remove(wid) != 0; }
  bool move(uint32_t wid, bool up) const override { return (up ? x.up(wid) : x.down(wid)) != 0; }
  static std::string one(uint8_t hit, uint8_t icookie, uint32_t olimit, uint32_t disk, uint32_t seconds) {
    return u(hit) + "/" + u(icookie) + "/" + u(olimit) + "/" + u(disk) + "/" + u(seconds) + ",";
  }
  std::string answers(const char* url) const override {
    std::string out;
    for (int c = -1; c < 3; ++c) {
      uint8_t icookie = 9;
      uint32_t olimit = 9;
      uint32_t disk = 9;
      const uint8_t hit = c < 0 ? x.is_hit_x(url, &icookie, &olimit, &disk) : x.class_hit[c](url, &icookie, &olimit, &disk);
      const uint32_t seconds = c < 0 ? x.expire_x(url, nullptr, nullptr, nullptr) : x.class_expire[c](url, nullptr, nullptr, nullptr);
      out += one(hit, icookie, olimit, disk, seconds);
      if (c >= 0) out += u(x.exists[c]()) + ",";
    }
    return out;
  }
  std::string model_answers(const std::vector<ModelRule>& m, int url) const override {
    std::string out;
    for (int c = -1; c < 3; ++c) {
      const ModelRule* r = first_of(m, url, c);
      out += r ? one(1, r->v.icookie, r->v.olimit, r->v.extra, model_seconds(r->v.expire, r->v.unit)) : one(0, 9, 9, 9, 0);
      if (c >= 0) out += u(!class_empty(m, c)) + ",";
    }
    return out;
  }
  std::string rows_sql() const override {
    return std::string("select wid, num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache from ") +
           x.table + " order by num";
  }
  std::string model_row(const ModelRule& r) const override {
    const Pat& p = kPats[r.v.pat];
    return u(r.wid) + "|" + u(r.num) + "|" + p.text + "|" + u(p.icase) + "|" + u(p.kind) + "|" + u(r.v.expire) + "|" +
           u(r.v.unit) + "|" + u(r.v.icookie) + "|" + u(r.v.olimit) + "|" + u(r.v.extra);
  }
};

struct RefuseAdapter : Adapter {
  const char* table() const override { return "wc_rcache"; }
  Vals random(std::mt19937& rng) const override {
    Vals v;
    v.pat = static_cast<int>(rng() % std::size(kPats));
    v.olimit = rng() % 3;
    v.extra = rng() % 2;
    return v;
  }
  bool append(const Vals& v, uint32_t* wid) const override {
    const Pat& p = kPats[v.pat];
    return policydb_rcache_append_x(p.text, p.icase, p.kind, v.olimit, v.extra, "n", wid) != 0;
  }
  bool modify(uint32_t wid, const Vals& v) const override {
    const Pat& p = kPats[v.pat];
    return policydb_rcache_modify_x(wid, p.text, p.icase, p.kind, v.olimit, v.extra, "m") != 0;
  }
  bool remove(uint32_t wid) const override { return policydb_rcache_delete(wid) != 0; }
  bool move(uint32_t wid, bool up) const override {
    return (up ? policydb_rcache_moveup(wid) : policydb_rcache_movedown(wid)) != 0;
  }
  std::string answers(const char* url) const override {
    using Fn = uint8_t (*)(const char*, uint32_t*, uint32_t*);
    const Fn fns[] = {policydb_rcache_IsHit_x, policydb_rcache_IsHit__olimit0_x, policydb_rcache_IsHit__olimit1_x,
                      policydb_rcache_IsHit__olimit2_x};
    std::string out;
    for (Fn fn : fns) {
      uint32_t olimit = 9;
      uint32_t location = 9;
      const uint8_t hit = fn(url, &olimit, &location);
      out += u(hit) + "/" + u(olimit) + "/" + u(location) + ",";
    }
    return out;
  }
  std::string model_answers(const std::vector<ModelRule>& m, int url) const override {
    std::string out;
    for (int c = -1; c < 3; ++c) {
      const ModelRule* r = first_of(m, url, c);
      out += r ? "1/" + u(r->v.olimit) + "/" + u(r->v.extra) + "," : "0/9/9,";
    }
    return out;
  }
  std::string rows_sql() const override {
    return "select wid, num, url, icase, rules, olimit, cachelocation from wc_rcache order by num";
  }
  std::string model_row(const ModelRule& r) const override {
    const Pat& p = kPats[r.v.pat];
    return u(r.wid) + "|" + u(r.num) + "|" + p.text + "|" + u(p.icase) + "|" + u(p.kind) + "|" + u(r.v.olimit) + "|" +
           u(r.v.extra);
  }
};

// The model's rows in the sqlite3 CLI's output form (the scache note column is not compared).
std::string model_rows(const Adapter& a, const std::vector<ModelRule>& m) {
  std::string out;
  for (const ModelRule& r : m) out += a.model_row(r) + "\n";
  return out;
}

std::string table_rows(Tree& t, const Adapter& a) {
  std::string rows = t.sql(a.rows_sql());
  if (std::string(a.table()) != "wc_scache") return rows;
  // Drop the trailing note column of the session rows.
  std::string out;
  size_t start = 0;
  while (start < rows.size()) {
    const size_t end = rows.find('\n', start);
    const std::string line = rows.substr(start, end - start);
    out += line.substr(0, line.rfind('|')) + "\n";
    start = end + 1;
  }
  return out;
}

void expect_answers(const Adapter& a, const std::vector<ModelRule>& m, const std::string& where) {
  for (size_t i = 0; i < std::size(kUrls); ++i) {
    ASSERT_EQ(a.answers(kUrls[i]), a.model_answers(m, static_cast<int>(i))) << where << " url " << kUrls[i];
  }
}

void run_model(const Adapter& a, uint32_t seed) {
  Tree t;
  t.make_default_db();
  ASSERT_EQ(t.init(), 1);
  printf("%s seed %u\n", a.table(), seed);
  std::mt19937 rng(seed);
  std::vector<ModelRule> m;
  uint32_t next_wid = 1;
  for (int step = 0; step < 120; ++step) {
    const std::string where = std::string(a.table()) + " seed " + u(seed) + " step " + u(step);
    const uint32_t op = m.size() < 2 ? 0 : rng() % 6;
    // A wid that exists most of the time, an unknown one sometimes.
    const uint32_t wid = m.empty() || rng() % 8 == 0 ? next_wid + 5 : m[rng() % m.size()].wid;
    auto at = std::find_if(m.begin(), m.end(), [&](const ModelRule& r) { return r.wid == wid; });
    if (op <= 1) {
      const Vals v = a.random(rng);
      uint32_t got = 0;
      ASSERT_TRUE(a.append(v, &got)) << where;
      const uint32_t num = m.empty() ? 1 : std::max_element(m.begin(), m.end(), [](auto& x, auto& y) {
                                             return x.num < y.num;
                                           })->num + 1;
      ASSERT_EQ(got, next_wid) << where;
      m.push_back({next_wid++, num, v});
    } else if (op == 2) {
      const Vals v = a.random(rng);
      ASSERT_EQ(a.modify(wid, v), at != m.end()) << where;
      if (at != m.end()) at->v = v;
    } else if (op == 3) {
      ASSERT_TRUE(a.remove(wid)) << where;
      if (at != m.end()) m.erase(at);
    } else {
      const bool up = op == 4;
      ASSERT_TRUE(a.move(wid, up)) << where;
      if (at != m.end()) {
        const auto other = up ? (at == m.begin() ? m.end() : at - 1) : at + 1;
        if (other != m.end()) {
          std::swap(at->num, other->num);
          std::iter_swap(at, other);
        }
      }
    }
    expect_answers(a, m, where);
    if (::testing::Test::HasFatalFailure()) return;
  }
  ASSERT_EQ(table_rows(t, a), model_rows(a, m));
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(t.err(), "");
  expect_answers(a, m, std::string(a.table()) + " after reload");
  EXPECT_EQ(table_rows(t, a), model_rows(a, m));
  // The largest wid deleted is never handed out again.
  if (!m.empty()) {
    const uint32_t last = m.back().wid;
    ASSERT_TRUE(a.remove(last));
    uint32_t got = 0;
    ASSERT_TRUE(a.append(a.random(rng), &got));
    EXPECT_EQ(got, next_wid);
  }
}

TEST(CacheModel, SessionRules) { run_model(SessionAdapter(), 11); }
TEST(CacheModel, IntelligentRules) { run_model(CacheAdapter(kIcache), 12); }
TEST(CacheModel, ForceRules) { run_model(CacheAdapter(kFcache), 13); }
TEST(CacheModel, RefuseRules) { run_model(RefuseAdapter(), 14); }

// --- edge cases -----------------------------------------------------------------------------

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t.make_default_db();
    ASSERT_EQ(t.init(), 1);
  }
  Tree t;
};

std::string names() {
  std::string out;
  cu_list* list = policydb_scache_GetSessionidList();
  for (cu_list* n = list; n; n = n->next) out += static_cast<const char*>(n->data) + std::string(";");
  policydb_scache_FreeSessionidList(list);
  return out;
}

TEST_F(CacheTest, ACookieNameIsKeptOnceAndDroppedWithItsLastRule) {
  uint32_t a = 0, b = 0, c = 0;
  ASSERT_TRUE(policydb_scache_append("*/login", 0, 0, 60, "SID", "", &a));
  ASSERT_TRUE(policydb_scache_append("*/logon", 0, 0, 60, "OTHER", "", &b));
  ASSERT_TRUE(policydb_scache_append("*/signin", 0, 0, 60, "SID", "", &c));
  EXPECT_EQ(names(), "SID;OTHER;");
  ASSERT_TRUE(policydb_scache_delete(a));
  EXPECT_EQ(names(), "OTHER;SID;");  // first met walking the rules that are left
  ASSERT_TRUE(policydb_scache_delete(c));
  EXPECT_EQ(names(), "OTHER;");
  ASSERT_TRUE(policydb_scache_delete(b));
  EXPECT_EQ(policydb_scache_GetSessionidList(), nullptr);
  alignas(16) char block[512];
  EXPECT_EQ(policydb_scache_GetSessionidListMM(block, sizeof block), nullptr);
}

TEST_F(CacheTest, NameBuffersTakeLengthLessOneCharacters) {
  ASSERT_TRUE(policydb_scache_append("*", 0, 0, 90, "ABCDEFGHIJKLMNOPQRST", "", nullptr));
  char name[8];
  std::memset(name, 'Z', sizeof name);
  int32_t expire = 0;
  ASSERT_TRUE(policydb_scache_IsHit("a/b", &expire, name, sizeof name));
  EXPECT_STREQ(name, "ABCDEFG");
  EXPECT_EQ(expire, 90);
  char untouched[2] = {'Z', 'Z'};
  EXPECT_TRUE(policydb_scache_IsHit("a/b", nullptr, untouched, 0));
  EXPECT_EQ(untouched[0], 'Z');
  EXPECT_EQ(policydb_scache_GetExpire("a/b", nullptr, 0), 90);
  EXPECT_TRUE(policydb_scache_IsHit("a/b", nullptr, nullptr, 8));
}

TEST_F(CacheTest, HitListsHoldEveryMatchInRuleOrderAndFitTheirBlock) {
  ASSERT_TRUE(policydb_scache_append("*.do", 0, 0, 1, "ONE", "", nullptr));
  ASSERT_TRUE(policydb_scache_append("a/*", 0, 0, 2, "TWO", "", nullptr));
  ASSERT_TRUE(policydb_scache_append("a/x*", 0, 0, 3, std::string(300, 'N').c_str(), "", nullptr));
  ASSERT_TRUE(policydb_scache_append("a/x.do", 0, 2, 4, "FOUR", "", nullptr));
  cu_list* list = nullptr;
  ASSERT_TRUE(policydb_scache_GetHitList("a/x.do", &list));
  std::vector<int32_t> expires;
  for (cu_list* n = list; n; n = n->next) expires.push_back(static_cast<scache_hit_entry*>(n->data)->expire);
  EXPECT_EQ(expires, (std::vector<int32_t>{1, 2, 3, 4}));
  policydb_scache_FreeHitList(list);
  EXPECT_FALSE(policydb_scache_GetHitList("b/none", &list));
  EXPECT_EQ(list, nullptr);

  alignas(16) char tiny[64];
  EXPECT_FALSE(policydb_scache_GetHitListMM("a/x.do", &list, tiny, sizeof tiny));
  EXPECT_FALSE(policydb_scache_GetHitListMM("a/x.do", &list, nullptr, 4096));
  // A block that holds the short entries but not the 300-character name leaves that one out.
  alignas(16) char small[400];
  ASSERT_TRUE(policydb_scache_GetHitListMM("a/x.do", &list, small, sizeof small));
  std::string got;
  for (cu_list* n = list; n; n = n->next) got += static_cast<scache_hit_entry*>(n->data)->name + std::string(";");
  EXPECT_EQ(got, "ONE;TWO;FOUR;");
  // The name list stops at the first name that does not fit.
  cu_list* mm = policydb_scache_GetSessionidListMM(small, sizeof small);
  std::string listed;
  for (cu_list* n = mm; n; n = n->next) listed += static_cast<const char*>(n->data) + std::string(";");
  EXPECT_EQ(listed, "ONE;TWO;");
  EXPECT_EQ(policydb_scache_GetSessionidListMM(tiny, sizeof tiny), nullptr);
}

struct ExpiryCase {
  uint32_t count;
  uint8_t unit;
  uint32_t seconds;
};
const ExpiryCase kExpiries[] = {
    {5000, 0, 315360000}, {3650, 0, 315360000}, {1, 0, 86400},       {100000, 1, 315360000}, {2, 1, 7200},
    {9000000, 2, 315360000}, {3, 2, 180},     {5000, 3, 5000}, {4294967295u, 3, 4294967295u},
};

TEST_F(CacheTest, ExpiryIsCappedPerUnit) {
  for (const ExpiryCase& c : kExpiries) {
    SCOPED_TRACE(u(c.count) + " unit " + u(c.unit));
    uint32_t wid = 0;
    ASSERT_TRUE(policydb_icache_append_x("*", 0, 0, c.count, c.unit, 0, 0, 1, "", &wid));
    EXPECT_EQ(policydb_icache_GetExpire("a/b", nullptr, nullptr), c.seconds);
    ASSERT_TRUE(policydb_icache_delete(wid));
  }
}

TEST_F(CacheTest, PerClassQuestionsSeeOnlyTheirClass) {
  uint32_t wid = 0;
  ASSERT_TRUE(policydb_icache_append_x("*.jpg", 0, 0, 10, 3, 1, 0, 1, "", &wid));
  uint8_t icookie = 0;
  uint32_t olimit = 9, disk = 9;
  EXPECT_FALSE(policydb_icache_IsHit__olimit1("a/x.jpg", &icookie, &olimit));
  EXPECT_EQ(olimit, 9u);
  EXPECT_TRUE(policydb_icache_IsHit__olimit0_x("a/x.jpg", &icookie, &olimit, &disk));
  EXPECT_EQ(icookie, 1);
  EXPECT_EQ(disk, 1u);
  EXPECT_TRUE(policydb_icache_IsExist__olimit0());
  EXPECT_FALSE(policydb_icache_IsExist__olimit2());
  ASSERT_TRUE(policydb_icache_modify_x(wid, "*.jpg", 0, 0, 10, 3, 1, 2, 1, ""));
  EXPECT_FALSE(policydb_icache_IsExist__olimit0());
  EXPECT_TRUE(policydb_icache_IsExist__olimit2());
  EXPECT_EQ(policydb_icache_GetExpire__olimit2("a/x.jpg", nullptr, &olimit), 10u);
  EXPECT_EQ(olimit, 2u);
  EXPECT_FALSE(policydb_fcache_IsExist__olimit2());  // the other family is its own

  ASSERT_TRUE(policydb_rcache_append_x("*.jpg", 0, 0, 1, 1, "", nullptr));
  uint32_t location = 9;
  EXPECT_FALSE(policydb_rcache_IsHit__olimit0_x("a/x.jpg", &olimit, &location));
  EXPECT_TRUE(policydb_rcache_IsHit__olimit1_x("a/x.jpg", &olimit, &location));
  EXPECT_EQ(location, 1u);
}

TEST_F(CacheTest, AMoveChangesWhichRuleAnswers) {
  uint32_t first = 0, second = 0;
  ASSERT_TRUE(policydb_fcache_append_x("*.css", 0, 0, 1, 3, 0, 0, 1, "", &first));
  ASSERT_TRUE(policydb_fcache_append_x("a/*", 0, 0, 2, 3, 0, 0, 1, "", &second));
  EXPECT_EQ(policydb_fcache_GetExpire("a/x.css", nullptr, nullptr), 1u);
  ASSERT_TRUE(policydb_fcache_moveup(second));
  EXPECT_EQ(policydb_fcache_GetExpire("a/x.css", nullptr, nullptr), 2u);
  EXPECT_EQ(t.sql("select wid, num from wc_fcache order by num"), u(second) + "|1\n" + u(first) + "|2\n");
}

TEST_F(CacheTest, ShortFormsWriteTheirFixedFlag) {
  uint32_t wid = 0;
  ASSERT_TRUE(policydb_icache_append("*", 0, 0, 1, 3, 0, 0, "", &wid));
  EXPECT_EQ(t.sql("select isdiskcache from wc_icache where wid=" + u(wid)), "0\n");
  ASSERT_TRUE(policydb_icache_modify_x(wid, "*", 0, 0, 1, 3, 0, 0, 1, ""));
  ASSERT_TRUE(policydb_icache_modify(wid, "*", 0, 0, 1, 3, 0, 0, ""));
  EXPECT_EQ(t.sql("select isdiskcache from wc_icache where wid=" + u(wid)), "0\n");
  ASSERT_TRUE(policydb_rcache_append_x("*", 0, 0, 0, 1, "", &wid));
  ASSERT_TRUE(policydb_rcache_modify(wid, "*", 0, 0, 0, ""));
  uint32_t location = 9;
  ASSERT_TRUE(policydb_rcache_IsHit_x("a/b", nullptr, &location));
  EXPECT_EQ(location, 0u);
  EXPECT_EQ(t.sql("select cachelocation from wc_rcache where wid=" + u(wid)), "0\n");
  // A modify to the values it already has still answers true.
  EXPECT_TRUE(policydb_rcache_modify(wid, "*", 0, 0, 0, ""));
}

struct Refusal {
  const char* what;
  std::function<uint8_t()> call;
  const char* message;  // printed, or "" for a silent refusal
};

TEST_F(CacheTest, RefusalsWriteNothing) {
  const Refusal kRefusals[] = {
      {"scache NULL url", [] { return policydb_scache_append(nullptr, 0, 0, 1, "S", "", nullptr); }, ""},
      {"scache kind 3", [] { return policydb_scache_append("*", 0, 3, 1, "S", "", nullptr); }, ""},
      {"scache expire 0", [] { return policydb_scache_append("*", 0, 0, 0, "S", "", nullptr); }, ""},
      {"scache empty name", [] { return policydb_scache_append("*", 0, 0, 1, "", "", nullptr); }, ""},
      {"scache NULL name", [] { return policydb_scache_append("*", 0, 0, 1, nullptr, "", nullptr); }, ""},
      {"scache bad regex", [] { return policydb_scache_append("(", 0, 1, 1, "S", "", nullptr); },
       "[zazudaza -> config] 'wc_scache'->'url=(' add pattern(or regex) error!\r\n"},
      {"scache bad template", [] { return policydb_scache_append("(%{HTTP_HOST}", 0, 1, 1, "S", "", nullptr); },
       "[zazudaza -> config] 'wc_scache'->'url=(%{HTTP_HOST}' add pattern(or regex) error!\r\n"},
      {"icache expire 0", [] { return policydb_icache_append_x("*", 0, 0, 0, 0, 0, 0, 0, "", nullptr); }, ""},
      {"icache unit 4", [] { return policydb_icache_append_x("*", 0, 0, 1, 4, 0, 0, 0, "", nullptr); }, ""},
      {"icache olimit 3", [] { return policydb_icache_append_x("*", 0, 0, 1, 0, 0, 3, 0, "", nullptr); }, ""},
      {"icache isdiskcache 2", [] { return policydb_icache_append_x("*", 0, 0, 1, 0, 0, 0, 2, "", nullptr); }, ""},
      {"fcache bad regex", [] { return policydb_fcache_append_x("a(", 0, 1, 1, 0, 0, 0, 0, "", nullptr); },
       "[zazudaza -> config] 'wc_fcache'->'url=a(' add pattern(or regex) error!\r\n"},
      {"rcache cachelocation 2", [] { return policydb_rcache_append_x("*", 0, 0, 0, 2, "", nullptr); }, ""},
      {"rcache olimit 3", [] { return policydb_rcache_append_x("*", 0, 0, 3, 0, "", nullptr); }, ""},
  };
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(t.errors_of([&] { EXPECT_EQ(r.call(), 0); }), r.message);
  }
  EXPECT_EQ(t.sql("select count(*) from wc_scache; select count(*) from wc_icache; select count(*) from wc_fcache;"
                  " select count(*) from wc_rcache;"),
            "0\n0\n0\n0\n");
  uint32_t wid = 0;
  ASSERT_TRUE(policydb_icache_append_x("*", 0, 0, 1, 0, 0, 0, 0, "", &wid));
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(policydb_icache_modify_x(wid, "(", 0, 1, 1, 0, 0, 0, 0, "")); }),
            "[zazudaza -> config] modify 'wc_icache' error(url=()!\r\n");
  EXPECT_EQ(t.errors_of([&] { EXPECT_FALSE(policydb_icache_modify_x(wid + 1, "*", 0, 0, 1, 0, 0, 0, 0, "")); }), "");
  EXPECT_EQ(t.sql("select url from wc_icache"), "*\n");
}

// --- loading ----------------------------------------------------------------------------------

TEST(CacheLoad, BadRowsAreSkippedWithTheirLinesAndTheOthersLoad) {
  Tree t;
  t.make_default_db();
  t.sql("insert into wc_scache(wid, num, url, icase, rules, expire, sessionid) values"
        "(1, 1, null, 0, 0, 5, 'S'), (2, 2, '*', 0, 3, 5, 'S'), (3, 3, '*', 0, 0, 5, null), (4, 4, '(', 0, 1, 5, 'S'),"
        "(5, 5, '*', null, 0, 5, 'S'), (6, 6, '*.x', 0, 0, null, 'KEEP');"
        "insert into wc_icache(wid, num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache) values"
        "(1, 1, '*', 0, 0, 5, 4, 0, 0, 1), (2, 2, '*', 0, 0, 5, 0, 0, null, 1), (3, 3, '*', 0, 0, 5, 0, 0, 0, 2),"
        "(4, 4, '*', 0, 0, 5, 0, null, 0, 1), (5, 5, '*', 0, null, 5, 0, 0, 0, 1), (6, 6, '*.x', 0, 0, null, 3, 1, 1, 0);"
        "insert into wc_fcache(wid, num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache) values"
        "(7, 1, '*', 0, 0, 5, 0, 0, 3, 1);"
        "insert into wc_rcache(wid, num, url, icase, rules, olimit, cachelocation) values"
        "(1, 1, '*', 0, 0, 0, 2), (2, 2, '*', 0, 0, null, 0), (3, 3, '[', 0, 1, 0, 0), (4, 4, '*.x', 1, 0, 2, 1);");
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(t.err(),
            "[zazudaza -> config] 'wc_scache'->'url=NULL' error(wid=1)!\r\n"
            "[zazudaza -> config] 'wc_scache'->'rules=3' error(wid=2)!\r\n"
            "[zazudaza -> config] 'wc_scache'->'sessionid=NULL' error(wid=3)!\r\n"
            "[zazudaza -> config] 'wc_scache'->'url=(' pattern(or regex) error(wid=4)!\r\n"
            "[zazudaza -> config] 'wc_scache'->'icase=NULL' error(wid=5)!\r\n"
            "[zazudaza -> config] 'wc_icache'->'unit=4' error(wid=1)!\r\n"
            "[zazudaza -> config] 'wc_icache'->'olimit=NULL' error(wid=2)!\r\n"
            "[zazudaza -> config] 'wc_icache'->'isdiskcache=NULL' error(wid=3)!\r\n"
            "[zazudaza -> config] 'wc_icache'->'icookie=NULL' error(wid=4)!\r\n"
            "[zazudaza -> config] 'wc_icache'->'rules=NULL' error(wid=5)!\r\n"
            "[zazudaza -> config] 'wc_fcache'->'olimit=NULL' error(wid=7)!\r\n"
            "[zazudaza -> config] 'wc_rcache'->'cachelocation=NULL' error(wid=1)!\r\n"
            "[zazudaza -> config] 'wc_rcache'->'olimit=NULL' error(wid=2)!\r\n"
            "[zazudaza -> config] 'wc_rcache'->'url=[' pattern(or regex) error(wid=3)!\r\n");
  EXPECT_EQ(t.log().find("'wc_scache'->'url=NULL' error(wid=1)") != std::string::npos, true);
  int32_t expire = -1;
  EXPECT_TRUE(policydb_scache_IsHit("a/b.x", &expire, nullptr, 0));
  EXPECT_EQ(expire, 0);  // NULL expire loads as 0
  EXPECT_EQ(cache::scache().count(), 1u);
  uint8_t icookie = 0;
  uint32_t olimit = 9, disk = 9;
  EXPECT_EQ(policydb_icache_GetExpire_x("a/b.x", &icookie, &olimit, &disk), 0u);
  EXPECT_TRUE(policydb_icache_IsHit__olimit1_x("a/b.x", &icookie, &olimit, &disk));
  EXPECT_EQ(icookie, 1);
  EXPECT_EQ(disk, 0u);
  EXPECT_EQ(cache::icache().count(), 1u);
  EXPECT_FALSE(policydb_fcache_IsExist__olimit0());
  uint32_t location = 9;
  EXPECT_TRUE(policydb_rcache_IsHit__olimit2_x("A/B.X", &olimit, &location));
  EXPECT_EQ(location, 1u);
  EXPECT_EQ(cache::rcache().count(), 1u);
}

TEST(CacheLoad, OlderTablesGetTheirMissingColumns) {
  Tree t;
  t.make_default_db();
  t.sql("drop table wc_icache; drop table wc_fcache; drop table wc_rcache;"
        "create table wc_icache(wid integer primary key autoincrement, num int not null, url text, icase int,"
        " rules int, expire int, unit int, icookie int, olimit int, note text);"
        "create table wc_fcache(wid integer primary key autoincrement, num int not null, url text, icase int,"
        " rules int, expire int, unit int, icookie int, olimit int, note text);"
        "create table wc_rcache(wid integer primary key autoincrement, num int not null, url text, icase int,"
        " rules int, olimit int, note text);"
        "insert into wc_icache(num, url, icase, rules, expire, unit, icookie, olimit) values(1, '*', 0, 0, 1, 3, 0, 0);"
        "insert into wc_rcache(num, url, icase, rules, olimit) values(1, '*', 0, 0, 0);");
  ASSERT_EQ(t.init(), 1);
  EXPECT_EQ(t.err(), "");
  EXPECT_EQ(t.sql("select isdiskcache from wc_icache; select count(isdiskcache) from wc_fcache;"
                  " select cachelocation from wc_rcache"),
            "1\n0\n0\n");
  uint32_t disk = 9;
  EXPECT_TRUE(policydb_icache_IsHit_x("a/b", nullptr, nullptr, &disk));
  EXPECT_EQ(disk, 1u);
}

TEST(CacheLoad, SetupLogListsEachFamily) {
  Tree t;
  t.make_default_db();
  t.sql("insert into wc_scache(num, url, icase, rules, expire, sessionid) values(1, '*/login.do', 0, 0, 600, 'SID');"
        "insert into wc_icache(num, url, icase, rules, expire, unit, icookie, olimit) values(1, '*.jpg', 0, 0, 7, 0, 0, 0);"
        "insert into wc_rcache(num, url, icase, rules, olimit) values(1, '^%{HTTP_HOST}/x', 0, 1, 0);");
  ASSERT_EQ(t.init(), 1);
  const std::string log = read_file(t.path("logs/zazudaza.db.log"));
  const std::string wide = "+--+-------------------------------------------------------+-----+------+----+\r\n";
  const std::string narrow = "+--+-------------------------------------------------------+-----+\r\n";
  EXPECT_NE(log.find("\r\nConfig -> SessionCacheList:\r\n" + wide +
                     "|NO|GetSessionUrl - Login Action Url                       |Rules|Expire|Unit|\r\n" + wide +
                     "|1 |*/login.do                                             |wild |600   |sec |\r\n" + wide),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\r\nConfig -> IntelligentCacheList:\r\n" + wide +
                     "|NO|iCacheUrl                                              |Rules|Expire|Unit|\r\n" + wide +
                     "|1 |*.jpg                                                  |wild |7     |day |\r\n" + wide +
                     "\r\nConfig -> ForceCacheList:\r\n" + wide +
                     "|NO|fCacheUrl                                              |Rules|Expire|Unit|\r\n" + wide +
                     "\r\nConfig -> RefuseCacheList:\r\n" + narrow +
                     "|NO|rCacheUrl                                              |Rules|\r\n" + narrow +
                     "|1 |^%{HTTP_HOST}/x                                        |regex|\r\n" + narrow),
            std::string::npos)
      << log;
}

// --- hostile texts ----------------------------------------------------------------------------

TEST_F(CacheTest, HostileTextsAreStoredAndReadBackAsGiven) {
  const std::string long_url = "a/" + std::string(2046, 'q');
  const std::string texts[] = {"it's \"quoted\"", "%s%n%x", "x'); drop table wc_scache;--", long_url};
  std::vector<uint32_t> wids;
  for (const std::string& text : texts) {
    uint32_t wid = 0;
    ASSERT_TRUE(policydb_scache_append(text.c_str(), 0, 2, 5, text.c_str(), text.c_str(), &wid)) << text;
    wids.push_back(wid);
    ASSERT_TRUE(policydb_rcache_append(text.c_str(), 0, 2, 0, text.c_str(), nullptr)) << text;
  }
  for (size_t i = 0; i < std::size(texts); ++i) {
    const std::string renamed = texts[i] + "'";
    ASSERT_TRUE(policydb_scache_modify(wids[i], texts[i].c_str(), 0, 2, 6, renamed.c_str(), renamed.c_str()));
  }
  ASSERT_EQ(t.reload(), 1);
  EXPECT_EQ(t.err(), "");
  for (size_t i = 0; i < std::size(texts); ++i) {
    SCOPED_TRACE(texts[i].substr(0, 40));
    char name[4096];
    int32_t expire = 0;
    ASSERT_TRUE(policydb_scache_IsHit(texts[i].c_str(), &expire, name, sizeof name));
    EXPECT_EQ(name, texts[i] + "'");
    EXPECT_EQ(expire, 6);
    EXPECT_TRUE(policydb_rcache_IsHit(texts[i].c_str(), nullptr));
    EXPECT_EQ(t.sql("select count(*) from wc_scache where wid=" + u(wids[i]) + " and url=" +
                    "'" + [&] {
                      std::string s;
                      for (char c : texts[i]) s += c == '\'' ? std::string("''") : std::string(1, c);
                      return s;
                    }() + "' and sessionid=note"),
              "1\n");
  }
  EXPECT_EQ(t.sql("select count(*) from wc_scache"), "4\n");
}

// --- changes failing at each statement ----------------------------------------------------------

struct FailPoint {
  const char* what;
  const char* trigger;  // made before the change, dropped after
  const char* held;     // or another process holding the database during the change
  std::function<uint8_t()> change;
};

TEST_F(CacheTest, AChangeFailingAtAnyStatementLeavesAnswersAndRowsAndTheNextChangeCommits) {
  uint32_t a = 0, b = 0;
  ASSERT_TRUE(policydb_icache_append_x("*.css", 0, 0, 1, 3, 0, 0, 1, "", &a));
  ASSERT_TRUE(policydb_icache_append_x("x/*", 0, 0, 2, 3, 0, 0, 1, "", &b));
  const FailPoint kPoints[] = {
      {"insert", "create trigger t before insert on wc_icache begin select raise(abort, 'no'); end", nullptr,
       [] { return policydb_icache_append_x("*", 0, 0, 9, 3, 0, 0, 1, "", nullptr); }},
      {"first update of a move",
       "create trigger t before update of num on wc_icache when new.wid=1 begin select raise(abort, 'no'); end",
       nullptr, [&] { return policydb_icache_moveup(b); }},
      {"second update of a move",
       "create trigger t before update of num on wc_icache when new.wid=2 begin select raise(abort, 'no'); end",
       nullptr, [&] { return policydb_icache_moveup(b); }},
      {"modify", "create trigger t before update on wc_icache begin select raise(abort, 'no'); end", nullptr,
       [&] { return policydb_icache_modify_x(a, "*", 0, 0, 9, 3, 0, 2, 0, ""); }},
      {"delete", "create trigger t before delete on wc_icache begin select raise(abort, 'no'); end", nullptr,
       [&] { return policydb_icache_delete(a); }},
      {"append while another process holds the database", nullptr, "BEGIN EXCLUSIVE;",
       [] { return policydb_icache_append_x("*", 0, 0, 9, 3, 0, 0, 1, "", nullptr); }},
      {"move while another process holds the database", nullptr, "BEGIN EXCLUSIVE;",
       [&] { return policydb_icache_movedown(a); }},
  };
  const std::string rows = t.sql("select wid, num, url, expire, olimit from wc_icache order by num");
  const auto answers = [] {
    return u(policydb_icache_GetExpire("x/a.css", nullptr, nullptr)) + u(policydb_icache_IsExist__olimit0()) +
           u(policydb_icache_IsExist__olimit2()) + u(cache::icache().count());
  };
  const std::string before = answers();
  for (const FailPoint& p : kPoints) {
    SCOPED_TRACE(p.what);
    if (p.trigger) t.sql(p.trigger);
    t.errors_of([&] {
      std::unique_ptr<Holder> holder;
      if (p.held) holder = std::make_unique<Holder>(t.db(), p.held);
      EXPECT_EQ(p.change(), 0);
    });
    if (p.trigger) t.sql("drop trigger t");
    EXPECT_EQ(t.sql("select wid, num, url, expire, olimit from wc_icache order by num"), rows);
    EXPECT_EQ(answers(), before);
    EXPECT_TRUE(policydb_icache_modify_x(a, "*.css", 0, 0, 1, 3, 0, 0, 1, p.what));
    EXPECT_EQ(t.sql("select note from wc_icache where wid=" + u(a)), std::string(p.what) + "\n");
  }
}

TEST(CacheWithoutDatabase, EveryChangeIsRefusedAndEveryQuestionMisses) {
  Tree t;
  ASSERT_EQ(t.init(), 1);
  // The handle exists without a file: each write fails with its line.
  EXPECT_EQ(t.errors_of([] {
    EXPECT_FALSE(policydb_scache_append("*", 0, 0, 1, "S", "", nullptr));
    EXPECT_FALSE(policydb_icache_append_x("*", 0, 0, 1, 0, 0, 0, 0, "", nullptr));
    EXPECT_FALSE(policydb_rcache_append_x("*", 0, 0, 0, 0, "", nullptr));
  }),
            "[zazudaza -> config] insert 'wc_scache' table error(url=*)!\r\n"
            "[zazudaza -> config] insert 'wc_icache' table error(url=*)!\r\n"
            "[zazudaza -> config] insert 'wc_rcache' table error(url=*)!\r\n");
  EXPECT_FALSE(policydb_scache_IsExist());
  EXPECT_FALSE(policydb_fcache_IsHit("a/b", nullptr, nullptr));
  EXPECT_EQ(policydb_fcache_GetExpire__olimit0("a/b", nullptr, nullptr), 0u);
  EXPECT_FALSE(policydb_rcache_IsHit__olimit2("a/b", nullptr));
  policydb::reset_for_tests();
  EXPECT_FALSE(policydb_icache_append("*", 0, 0, 1, 0, 0, 0, "", nullptr));
}

}  // namespace
}  // namespace policydb::test
