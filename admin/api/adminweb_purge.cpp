// The cache purges: which calls each command makes, in which order, and how it is authorised.
#include <string.h>
#include <strings.h>

#include <string>

#include "adminweb_commands.h"
#include "adminweb_internal.h"
#include "seams.h"

namespace vor::adminweb {
namespace {

constexpr size_t kMaxUrl = 2048;

using seams::CacheCalls;

bool flag(const Request& r, const char* name) {
  const char* v = param(r, name);
  return v && number(v) != 0;
}

// A session-authorised purge: the session check for changing, then the calls.
template <typename Calls>
void session_purge(const Request& r, Calls make_calls) {
  if (const uint32_t error = check_session(r, Access::kChange)) return reply_error(r.sid, r.params, error);
  make_calls(seams::calls(), flag(r, "WithCluster"));
  reply_true(r.sid, r.params);
}

// Marks every response in flight, then runs one purge on each memory cache.
void clean_memory(const char* type, bool with_cluster, void (*CacheCalls::*purge)()) {
  seams::Calls& c = seams::calls();
  if (with_cluster) c.cluster_empty(type);
  c.mark_in_flight("*", 0, 0);
  for (const CacheCalls& cache : c.caches) (cache.*purge)();
}

void refresh_memory(void (*CacheCalls::*purge)()) {
  for (const CacheCalls& cache : seams::calls().caches) (cache.*purge)();
}

// The purge URL: "Url", else "CleanCacheURL", else the request header of that name.
const char* purge_url(const Request& r) {
  if (const char* url = param(r, "Url")) return url;
  if (const char* url = param(r, "CleanCacheURL")) return url;
  return r.request ? vor_http_table_GetField(r.request, "CleanCacheURL") : nullptr;
}

// 0 when the purge may go on: a valid admin session, or the admin's name and password.
uint32_t authorise(const Request& r) {
  if (param(r, "SessionID")) return check_session(r, Access::kChange);
  const char* user = param(r, "Username");
  const char* password = param(r, "Password");
  if (!user || !password || strcmp(user, "admin") != 0) return 23;
  return admin_password_matches(password) ? 0 : 20;
}

std::string without_scheme(const char* url) {
  for (const char* prefix : {"http://", "https://"}) {
    if (strncasecmp(url, prefix, strlen(prefix)) == 0) return url + strlen(prefix);
  }
  return url;
}

void purge_this(const Request& r) {
  const char* url = purge_url(r);
  const char* icase_text = param(r, "Icase");
  const char* rules_text = param(r, "Rules");
  if (!url || !icase_text || !rules_text) return reply_error(r.sid, r.params, 23);
  if (const uint32_t error = authorise(r)) return reply_error(r.sid, r.params, error);
  const std::string text = without_scheme(url);
  if (text.size() > kMaxUrl) return reply_error(r.sid, r.params, 30);
  const int32_t icase = number(icase_text), rules = number(rules_text);
  if (icase < 0 || icase > 1 || rules < 0 || rules > 2) return reply_error(r.sid, r.params, 23);
  const auto i = static_cast<uint8_t>(icase), k = static_cast<uint8_t>(rules);
  seams::Calls& c = seams::calls();
  if (flag(r, "WithCluster")) c.cluster_delete(text.c_str(), i, k);
  if (c.disk_cache_on()) c.clean_disk(text.c_str());
  c.mark_in_flight(text.c_str(), i, k);
  c.caches[0].clean_rules(text.c_str(), i, k);
  c.caches[1].clean_rules(text.c_str(), i, k);
  if (!c.caches[2].clean_rules(text.c_str(), i, k)) return reply_error(r.sid, r.params, 32);
  reply_true(r.sid, r.params);
}

void purge_all(const Request& r) {
  session_purge(r, [](seams::Calls&, bool cluster) { clean_memory("allcache", cluster, &CacheCalls::clean_all); });
}

constexpr Command kThis[] = {{"cleancache", purge_this, 0}};
constexpr Command kAll[] = {{"cleancache", purge_all, 0}};

}  // namespace

void purge_scache(const Request& r) {
  session_purge(r, [](seams::Calls& c, bool cluster) {
    if (cluster) c.cluster_session_empty();
    c.clean_sessions();
  });
}
void purge_clean_fcache(const Request& r) {
  session_purge(r, [](seams::Calls&, bool cluster) { clean_memory("fcache", cluster, &CacheCalls::clean_fcache); });
}
void purge_clean_icache(const Request& r) {
  session_purge(r, [](seams::Calls&, bool cluster) { clean_memory("icache", cluster, &CacheCalls::clean_icache); });
}
void purge_fresh_fcache(const Request& r) {
  session_purge(r, [](seams::Calls&, bool) { refresh_memory(&CacheCalls::refresh_fcache); });
}
void purge_fresh_icache(const Request& r) {
  session_purge(r, [](seams::Calls&, bool) { refresh_memory(&CacheCalls::refresh_icache); });
}
void purge_fresh_rcache(const Request& r) {
  session_purge(r, [](seams::Calls&, bool) { refresh_memory(&CacheCalls::refresh_rcache); });
}

std::span<const Command> thiscache_commands() { return kThis; }
std::span<const Command> allcache_commands() { return kAll; }

}  // namespace vor::adminweb
