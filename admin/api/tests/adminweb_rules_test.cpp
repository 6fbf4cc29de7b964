// The rule-table families through sockets, rows read back with the sqlite3 CLI: every command,
// the checks of each family at and one past their bounds, hostile texts kept byte for byte,
// refusals of the rules store mapped to each family's errors, and the keeper kept read-only.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "adminweb_test_env.h"
#include "panelhttp_internal.h"

namespace {

using adminweb_test::encoded;
using adminweb_test::Env;
using adminweb_test::error_body;
using adminweb_test::kTrueBody;
using adminweb_test::kKeeperPassword;
using adminweb_test::md5;
using adminweb_test::Reply;

Env& env() { return Env::instance(); }


const std::string& admin() {
  static const std::string id = env().login();
  return id;
}
const std::string& keeper() {
  static const std::string id = [] {
    env().sql("update wc_user set password='" + md5(kKeeperPassword) + "' where username='keeper'");
    return env().login("keeper", kKeeperPassword);
  }();
  return id;
}

using Params = std::vector<std::pair<std::string, std::string>>;

std::string form_of(const Params& params) {
  std::string form;
  for (const auto& [name, value] : params) form += (form.empty() ? "" : "&") + name + "=" + encoded(value);
  return form;
}

Reply command(const std::string& type, const std::string& cmd, const Params& params,
              const std::string& session = admin()) {
  Params all = params;
  all.emplace_back("SessionID", session);
  return env().post("type=" + type + "&cmd=" + cmd, form_of(all));
}

std::string member(const Reply& r, const std::string& name) {
  std::smatch m;
  return std::regex_search(r.body, m, std::regex("\"" + name + "\":\"([^\"]*)\"")) ? m[1].str() : "";
}

struct Family {
  const char* type;
  const char* table;
  const char* id;
  Params good;
  std::vector<std::string> required;
};

// The parent protection rule of the permits.
const std::string& protect_id() {
  static const std::string id = member(
      command("protect", "add", {{"ProtectUrl", "parent.test/.*"}, {"LocationUrl", ""}, {"Icase", "0"}}), "ProtectID");
  return id;
}

std::vector<Family> families() {
  return {
      {"scache", "wc_scache", "Wid",
       {{"ActionUrl", "http://s.test/*"}, {"Icase", "0"}, {"Rules", "0"}, {"SessionExpire", "60"},
        {"SetCookieSessionID", "SID"}},
       {"ActionUrl", "Icase", "Rules", "SessionExpire", "SetCookieSessionID"}},
      {"fcache", "wc_fcache", "Wid",
       {{"Url", "f.test/*"}, {"Icase", "0"}, {"Rules", "0"}, {"Expire", "1"}, {"Unit", "1"}},
       {"Url", "Icase", "Rules", "Expire", "Unit"}},
      {"icache", "wc_icache", "Wid",
       {{"Url", "i.test/*"}, {"Icase", "0"}, {"Rules", "0"}, {"Expire", "1"}, {"Unit", "1"}},
       {"Url", "Icase", "Rules", "Expire", "Unit"}},
      {"rcache", "wc_rcache", "Wid", {{"Url", "r.test/*"}, {"Icase", "0"}, {"Rules", "0"}}, {"Url", "Icase", "Rules"}},
      {"protect", "wc_protect", "ProtectID",
       {{"ProtectUrl", "p.test/.*"}, {"LocationUrl", "http://l.test/"}, {"Icase", "0"}},
       {"ProtectUrl", "LocationUrl", "Icase"}},
      {"permit", "wc_permit", "PermitID",
       {{"ProtectID", protect_id()}, {"PermitUrl", "ok.test/.*"}, {"Icase", "0"}},
       {"ProtectID", "PermitUrl", "Icase"}},
      {"rewrite", "wc_rewrite", "RewriteID",
       {{"SourceUrl", "w.test/(.*)"}, {"DestinationUrl", "http://x.test/$1"}, {"Icase", "0"}, {"Flag", "0"}},
       {"SourceUrl", "DestinationUrl", "Icase", "Flag"}},
      {"black", "wc_black", "BlackID",
       {{"Low", "10.0.0.1"}, {"High", "10.0.0.9"}, {"Expire", "2040-01-01 00:00:00"}}, {"Low", "High", "Expire"}},
      {"white", "wc_white", "WhiteID",
       {{"Low", "198.51.100.1"}, {"High", "198.51.100.9"}, {"Expire", "2040-01-01 00:00:00"}},
       {"Low", "High", "Expire"}},
  };
}

Params with(Params params, const std::string& name, const std::string& value) {
  for (auto& [n, v] : params) {
    if (n == name) {
      v = value;
      return params;
    }
  }
  params.emplace_back(name, value);
  return params;
}

Params without(const Params& params, const std::string& name) {
  Params out;
  for (const auto& p : params) {
    if (p.first != name) out.push_back(p);
  }
  return out;
}

std::string count(const Family& f) { return env().sql(std::string("select count(*) from ") + f.table); }

TEST(Rules, EveryCommandOfEveryFamily) {
  for (const Family& f : families()) {
    SCOPED_TRACE(f.type);
    const Reply added = command(f.type, "add", f.good);
    const std::string id = member(added, f.id);
    ASSERT_FALSE(id.empty()) << added.body;
    EXPECT_EQ(added.delay, 500);
    const Params ids = std::string(f.type) == "permit" ? Params{{"ProtectID", protect_id()}, {"PermitID", id}}
                                                       : Params{{f.id, id}};
    const Params list_ids = std::string(f.type) == "permit" ? Params{{"ProtectID", protect_id()}} : Params{};
    const Reply listed = command(f.type, "list", list_ids);
    EXPECT_NE(listed.body.find("\"" + std::string(f.id) + "\":\"" + id + "\""), std::string::npos) << listed.body;
    const Reply queried = command(f.type, "query", ids);
    EXPECT_EQ(member(queried, "NumOfLists"), "1") << queried.body;
    Params changed = f.good;
    for (const auto& p : ids) changed = with(changed, p.first, p.second);
    changed = with(changed, "Note", "changed note");
    const Reply modified = command(f.type, "modify", changed);
    EXPECT_EQ(member(modified, f.id), id) << modified.body;
    const std::string id_column = std::string(f.type) == "permit" ? "permitid" : "wid";
    EXPECT_EQ(env().sql(std::string("select note from ") + f.table + " where " + id_column + "=" + id),
              "changed note\n");
    const Reply deleted = command(f.type, "del", ids);
    EXPECT_EQ(member(deleted, f.id), id) << deleted.body;
    EXPECT_EQ(env().sql(std::string("select count(*) from ") + f.table + " where " + id_column + "=" + id), "0\n");
  }
}

TEST(Rules, EachRequiredParameterMissingIs23) {
  for (const Family& f : families()) {
    for (const std::string& name : f.required) {
      SCOPED_TRACE(std::string(f.type) + " without " + name);
      const std::string before = count(f);
      EXPECT_EQ(command(f.type, "add", without(f.good, name)).body, error_body(23));
      EXPECT_EQ(count(f), before);
    }
    Params no_session = f.good;
    EXPECT_EQ(env().post(std::string("type=") + f.type + "&cmd=add", form_of(no_session)).body, error_body(23));
  }
}

struct Bound {
  const char* type;
  const char* name;
  std::string value;
  int error;  // 0: accepted
};

TEST(Rules, BoundsAtAndOnePast) {
  const std::string url2048 = "http://" + std::string(2048, 'u'), url2049 = "http://" + std::string(2049, 'u');
  const std::string plain2048(2048, 'd'), plain2049(2049, 'd');
  const Bound bounds[] = {
      {"fcache", "Url", url2048, 0},        {"fcache", "Url", url2049, 30},
      {"fcache", "Url", "http://", 30},     {"fcache", "Note", std::string(1024, 'n'), 0},
      {"fcache", "Note", std::string(1025, 'n'), 23},
      {"fcache", "Unit", "3", 0},           {"fcache", "Unit", "4", 23},
      {"fcache", "Expire", "0", 23},        {"fcache", "Expire", "abc", 23},
      {"fcache", "Rules", "3", 23},         {"fcache", "Icase", "2", 23},
      {"fcache", "Olimit", "3", 23},        {"fcache", "IsDiskCache", "2", 23},
      {"scache", "SetCookieSessionID", std::string(64, 's'), 0},
      {"scache", "SetCookieSessionID", std::string(65, 's'), 23},
      {"scache", "SetCookieSessionID", "", 23},
      {"scache", "ActionUrl", "http://", 30},
      {"rcache", "CacheLocation", "2", 23}, {"rcache", "Olimit", "2", 0},
      {"protect", "ProtectUrl", "https://", 23},
      {"protect", "LocationUrl", plain2049, 23},
      {"rewrite", "Flag", "3", 0},          {"rewrite", "Flag", "4", 23},
      {"rewrite", "DestinationUrl", plain2048, 0},
      {"black", "High", "10.0.0.0", 23},    {"black", "Low", "10.0.0.300", 23},
      {"black", "Expire", "not a date", 23},
  };
  std::map<std::string, Family> by_type;
  for (const Family& f : families()) by_type.emplace(f.type, f);
  for (const Bound& b : bounds) {
    SCOPED_TRACE(std::string(b.type) + " " + b.name + "=" + b.value.substr(0, 20) + " (" +
                 std::to_string(b.value.size()) + ")");
    const Family& f = by_type.at(b.type);
    const Reply r = command(b.type, "add", with(f.good, b.name, b.value));
    if (b.error) {
      EXPECT_EQ(r.body, error_body(b.error));
      continue;
    }
    const std::string id = member(r, f.id);
    EXPECT_FALSE(id.empty()) << r.body;
    command(b.type, "del", {{f.id, id}});
  }
}

TEST(Rules, CacheFamiliesAnswer30BeforeOtherChecks) {
  EXPECT_EQ(command("fcache", "add", {{"Url", ""}, {"Icase", "9"}, {"Rules", "9"}, {"Expire", "0"}, {"Unit", "9"}})
                .body,
            error_body(30));
  EXPECT_EQ(command("protect", "add", {{"ProtectUrl", ""}, {"LocationUrl", ""}, {"Icase", "0"}}).body,
            error_body(23));
}

TEST(Rules, DefaultsAndStoredForms) {
  const Reply f = command("fcache", "add", {{"Url", "http://d.test/*"}, {"Icase", "0"}, {"Rules", "0"},
                                            {"Expire", "5"}, {"Unit", "1"}});
  const std::string wid = member(f, "Wid");
  EXPECT_EQ(env().sql("select url, icookie, olimit, isdiskcache from wc_fcache where wid=" + wid), "d.test/*|1|0|1\n");
  const Reply i = command("icache", "add", {{"Url", "di.test/*"}, {"Icase", "0"}, {"Rules", "0"}, {"Expire", "5"},
                                            {"Unit", "1"}, {"IsDiskCache", "0"}});
  const std::string iwid = member(i, "Wid");
  EXPECT_EQ(env().sql("select isdiskcache, olimit from wc_icache where wid=" + iwid), "0|0\n");
  EXPECT_EQ(command("icache", "query", {{"Wid", iwid}}).body.find("Olimit"), std::string::npos);
  const Reply kept = command("rewrite", "add", {{"SourceUrl", "k.test/(.*)"}, {"DestinationUrl", "http://y.test/$1"},
                                                {"Icase", "0"}, {"Flag", "1"}});
  EXPECT_EQ(env().sql("select dst from wc_rewrite where wid=" + member(kept, "RewriteID")), "http://y.test/$1\n");
  const Reply stripped = command("rewrite", "add", {{"SourceUrl", "k2.test/(.*)"},
                                                    {"DestinationUrl", "http://y.test/$1"}, {"Icase", "0"}, {"Flag", "0"}});
  EXPECT_EQ(env().sql("select dst from wc_rewrite where wid=" + member(stripped, "RewriteID")), "y.test/$1\n");
  const Reply black = command("black", "add", {{"Low", "10.9.0.1"}, {"High", "10.9.0.2"},
                                               {"Expire", "2040-05-05 10:00:00"}});
  const std::string bid = member(black, "BlackID");
  const Reply listed = command("black", "query", {{"BlackID", bid}});
  EXPECT_NE(listed.body.find("\"Expire\":\"2030-01-01 00:00:00\",\"Note\":\"\"}"), std::string::npos) << listed.body;
  // Only one of Low and High: expiry and note change, the range stays.
  EXPECT_EQ(member(command("black", "modify", {{"BlackID", bid}, {"Low", "10.9.9.9"}, {"Expire", "2029-01-01 00:00:00"},
                                               {"Note", "one"}}),
                   "BlackID"),
            bid);
  EXPECT_EQ(env().sql("select note from wc_black where wid=" + bid), "one\n");
  EXPECT_NE(command("black", "query", {{"BlackID", bid}}).body.find("\"Low\":\""), std::string::npos);
  const Reply permits = command("permit", "list", {{"ProtectID", protect_id()}});
  EXPECT_EQ(permits.body.substr(0, permits.body.find("NumOfLists")),
            "{\r\n  \"Return\":\"True\",\r\n  \"ProtectID\":\"" + protect_id() + "\",\r\n  \"");
}

TEST(Rules, HostileTextsComeBackIdentical) {
  const std::string texts[] = {"it's \"quoted\"", "%s%n%x", "x'); drop table wc_scache;--", "日本語 ü",
                               std::string("tab\tcr\rlf\nbell\x07")};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const Reply r = command("scache", "add", {{"ActionUrl", "h.test/*"}, {"Icase", "0"}, {"Rules", "0"},
                                              {"SessionExpire", "1"}, {"SetCookieSessionID", "S"}, {"Note", text}});
    const std::string wid = member(r, "Wid");
    ASSERT_FALSE(wid.empty()) << r.body;
    const Reply q = command("scache", "query", {{"Wid", wid}});
    vor::test::TempDir dir;
    vor::test::write_file(dir.file("body"), q.body);
    const std::string note = vor::test::shell_output(
        "python3 -c 'import json,sys; sys.stdout.write(json.load(open(sys.argv[1]))[\"Lists\"][0][\"Note\"])' " +
        dir.file("body"));
    EXPECT_EQ(note, text);
    command("scache", "del", {{"Wid", wid}});
  }
  EXPECT_NE(env().sql("select count(*) from wc_scache"), "");
}

TEST(Rules, KeeperReadsButChangesNothingAndIsRefreshed) {
  ASSERT_FALSE(keeper().empty());
  EXPECT_EQ(member(command("fcache", "list", {}, keeper()), "Return"), "True");
  for (const char* cmd : {"add", "modify", "del", "up", "down"}) {
    SCOPED_TRACE(cmd);
    EXPECT_EQ(command("fcache", cmd, with(families()[1].good, "Wid", "1"), keeper()).body, error_body(22));
  }
}

uint64_t expiry_of(const std::string& id) {
  vor::panelhttp::ServerLock lock;
  vuved_session* s = panelhttp_CheckSession(id.c_str());
  return s ? s->expiry_ms : 0;
}

TEST(Rules, RefusedValueStillRefreshes) {
  const uint64_t before = expiry_of(admin());
  const int64_t now = vor::panelhttp::monotonic_ms();
  vor::test::wait_until([&] { return vor::panelhttp::monotonic_ms() > now + 2; });
  EXPECT_EQ(command("fcache", "query", {{"Wid", "-1"}}).body, error_body(23));
  EXPECT_GT(expiry_of(admin()), before);
  EXPECT_EQ(command("fcache", "query", {{"Wid", "1"}}, "nosuchsession").body, error_body(21));
}

TEST(Rules, MovesKeepOrder) {
  std::vector<std::string> wids;
  for (const char* url : {"m1.test/*", "m2.test/*", "m3.test/*"}) {
    wids.push_back(member(command("rcache", "add", {{"Url", url}, {"Icase", "0"}, {"Rules", "0"}}), "Wid"));
  }
  const auto order = [] { return env().sql("select url from wc_rcache where url like 'm%' order by num"); };
  EXPECT_EQ(member(command("rcache", "up", {{"Wid", wids[0]}}), "Wid"), wids[0]);  // first up: no change
  EXPECT_EQ(order(), "m1.test/*\nm2.test/*\nm3.test/*\n");
  command("rcache", "down", {{"Wid", wids[0]}});
  EXPECT_EQ(order(), "m2.test/*\nm1.test/*\nm3.test/*\n");
  for (const std::string& w : wids) command("rcache", "del", {{"Wid", w}});
}

TEST(Rules, StoreRefusalsMapToFamilyErrors) {
  // Every statement on the tables aborts: the rules store refuses, and the errors reach the client.
  struct Expect {
    int add, modify, del;
  };
  const std::map<std::string, Expect> expected = {
      {"scache", {30, 31, 10}}, {"fcache", {30, 31, 10}}, {"icache", {30, 31, 10}},
      {"rcache", {30, 31, 10}}, {"protect", {70, 71, 0}}, {"permit", {72, 73, 10}},
      {"rewrite", {60, 61, 10}}, {"black", {40, 41, 10}}, {"white", {40, 41, 10}},
  };
  std::map<std::string, std::string> ids;
  for (const Family& f : families()) ids[f.type] = member(command(f.type, "add", f.good), f.id);
  for (const Family& f : families()) {
    for (const char* op : {"insert", "update", "delete"}) {
      env().sql(std::string("create trigger no_") + op + "_" + f.table + " before " + op + " on " + f.table +
                " begin select raise(abort, 'refused'); end");
    }
  }
  for (const Family& f : families()) {
    SCOPED_TRACE(f.type);
    const Expect& e = expected.at(f.type);
    const bool permit = std::string(f.type) == "permit";
    const Params ids_of = permit ? Params{{"ProtectID", protect_id()}, {"PermitID", ids[f.type]}}
                                 : Params{{f.id, ids[f.type]}};
    EXPECT_EQ(command(f.type, "add", f.good).body, error_body(e.add));
    Params changed = f.good;
    for (const auto& p : ids_of) changed = with(changed, p.first, p.second);
    EXPECT_EQ(command(f.type, "modify", with(changed, "Note", "x")).body, error_body(e.modify));
    const Reply del = command(f.type, "del", ids_of);
    if (e.del) {
      EXPECT_EQ(del.body, error_body(e.del));
    } else {
      EXPECT_EQ(member(del, "Return"), "True");
    }
  }
  for (const Family& f : families()) {
    for (const char* op : {"insert", "update", "delete"}) {
      env().sql(std::string("drop trigger no_") + op + "_" + f.table);
    }
  }
}

TEST(Rules, EveryReplyParsesAsJson) {
  // What this process answered so far, and one reply of every kind besides.
  for (const Family& f : families()) {
    const std::string id = member(command(f.type, "add", with(f.good, "Note", "\"q\"\\/\x01")), f.id);
    command(f.type, "list", std::string(f.type) == "permit" ? Params{{"ProtectID", protect_id()}} : Params{});
    command(f.type, "del", std::string(f.type) == "permit" ? Params{{"ProtectID", protect_id()}, {"PermitID", id}}
                                                           : Params{{f.id, id}});
    command(f.type, "add", {});
  }
  env().get("type=sign&cmd=in&Username=admin&Password=" + std::string(adminweb_test::kAdminPassword) +
            "&RequestID=%22%5C");
  env().get("type=nope&cmd=x");
  ASSERT_FALSE(env().bodies().empty());
  EXPECT_EQ(env().bodies_json_refuses(), "");
}

}  // namespace
