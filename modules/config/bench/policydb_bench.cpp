// The rules store's costs: a setter's commit beside the same UPDATE through plain SQLite on the
// same file, loading tables at their full row limits, and json_StringValue beside python3's
// json.dumps on the same texts.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <random>

#include "policydb_fixture_family.h"
#include "policydb_system.h"
#include "policydb_test_env.h"

namespace {

using policydb::test::Tree;

void BM_SetterCommit(benchmark::State& state) {
  Tree t;
  t.make_default_db();
  t.init();
  uint32_t v = 1000;
  for (auto _ : state) benchmark::DoNotOptimize(policydb_system_set_MaxConnections(++v % 2 ? 1000 : 1001));
}
BENCHMARK(BM_SetterCommit)->Unit(benchmark::kMicrosecond);

void BM_PlainSqliteUpdate(benchmark::State& state) {
  Tree t;
  t.make_default_db();
  sqlite3* db = nullptr;
  sqlite3_open(t.db().c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "update wc_system set value=? where name='MaxConnections'", -1, &stmt, nullptr);
  uint32_t v = 1000;
  for (auto _ : state) {
    sqlite3_bind_int(stmt, 1, ++v % 2 ? 1000 : 1001);
    sqlite3_step(stmt);
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}
BENCHMARK(BM_PlainSqliteUpdate)->Unit(benchmark::kMicrosecond);

// wc_system at its 1000-row limit.
void BM_LoadSettingsFullLimit(benchmark::State& state) {
  Tree t;
  t.make_default_db();
  t.sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 968) "
        "INSERT INTO wc_system(name, value) SELECT 'Unknown' || i, i FROM n");
  t.init();
  for (auto _ : state) policydb_system_load();
}
BENCHMARK(BM_LoadSettingsFullLimit)->Unit(benchmark::kMillisecond);

// An ordered family of 1000 rules (the limit of the cache rule tables).
struct BigFixture : policydb::test::FixtureTraits {
  static constexpr policydb::family::Shape shape = [] {
    policydb::family::Shape s = policydb::test::FixtureTraits::shape;
    s.limit = 1000;
    return s;
  }();
};

void BM_LoadFamilyFullLimit(benchmark::State& state) {
  Tree t;
  t.make_default_db();
  t.sql(policydb::test::kFixtureTable);
  t.sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 1000) "
        "INSERT INTO wc_fixture(num, url, rules, expire) SELECT i, '/path/' || i || '/*.html', 1, 3600 FROM n");
  t.init();
  policydb::family::Family<BigFixture> f;
  for (auto _ : state) {
    f.load();
    benchmark::DoNotOptimize(f.count());
  }
  state.counters["rules"] = static_cast<double>(f.count());
}
BENCHMARK(BM_LoadFamilyFullLimit)->Unit(benchmark::kMillisecond);

// Texts of every kind of character a rule or a note holds.
std::vector<std::string> sample_texts() {
  std::mt19937 rng(1);
  const std::vector<std::string> alphabet = {"a", "b", "k", "z", "0", "7", "/", ".", "-", "_", "?", "=", "&",
                                             "\"", "\\", "\t", "\n", "\x01", " ", "\xc3\xa9", "\xe4\xb8\xad"};
  std::vector<std::string> texts;
  for (int i = 0; i < 1000; ++i) {
    std::string s;
    for (int j = 0; j < 100; ++j) s += alphabet[rng() % alphabet.size()];
    texts.push_back(s);
  }
  return texts;
}

void BM_JsonStringValue(benchmark::State& state) {
  const std::vector<std::string> texts = sample_texts();
  int64_t bytes = 0;
  for (auto _ : state) {
    wtb* w = wtb_make(nullptr, 0);
    for (const std::string& s : texts) {
      json_StringValue(w, "Note", s.c_str());
      wtb_InsertString(w, ",\r\n");
      bytes += static_cast<int64_t>(s.size());
    }
    benchmark::DoNotOptimize(wtb_GetTextLength(w));
    wtb_free(w);
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_JsonStringValue);

// The same texts through python3's json.dumps; its MB/s is reported as a counter.
void BM_PythonJsonDumps(benchmark::State& state) {
  vor::test::TempDir tmp;
  std::string all;
  for (const std::string& s : sample_texts()) all += s + '\0';
  vor::test::write_file(tmp.file("texts"), all);
  const std::string script =
      "import json,sys,time\n"
      "texts=open(sys.argv[1],'rb').read().decode('utf-8').split('\\0')[:-1]\n"
      "n=sum(len(t.encode('utf-8')) for t in texts)\n"
      "start=time.perf_counter(); rounds=0\n"
      "while time.perf_counter()-start < 1.0:\n"
      "    for t in texts: json.dumps(t, ensure_ascii=False)\n"
      "    rounds+=1\n"
      "print(n*rounds/(time.perf_counter()-start)/1e6)\n";
  vor::test::write_file(tmp.file("dumps.py"), script);
  double mbps = 0;
  for (auto _ : state) {
    mbps = std::atof(vor::test::shell_output("python3 " + tmp.file("dumps.py") + " " + tmp.file("texts")).c_str());
  }
  state.counters["python_MB/s"] = mbps;
}
BENCHMARK(BM_PythonJsonDumps)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
