// Cache admission: the cache kind, lifetime and disk permission of a request from the session,
// force and refuse cache rules.
#include <cstring>

#include "reqgate_internal.h"
#include "reqgate_session.h"

namespace vor::reqgate {

namespace {

enum class Verdict : uint8_t { kAccept, kRefuse };

constexpr const char* kRefuseTraces[3][2] = {
    {"[NoCache: RefuseCache -> Public] %s\r\n", "[NoCache: RefuseCache -> Public -> DiskCache] %s\r\n"},
    {"[NoCache: RefuseCache -> Member] %s\r\n", "[NoCache: RefuseCache -> Member -> DiskCache] %s\r\n"},
    {"[NoCache: RefuseCache -> Visitor] %s\r\n", "[NoCache: RefuseCache -> Visitor -> DiskCache] %s\r\n"},
};

// A matching refuse rule refuses the request, or only the disk cache (cache location 1).
Verdict ask_refuse(int olimit, const char* key, Admission& out) {
  uint32_t location = 0;
  if (!rules().refuse_hit[olimit](key, nullptr, &location)) return Verdict::kAccept;
  trace(kRefuseTraces[olimit][location == 1 ? 1 : 0], key);
  if (location != 1) return Verdict::kRefuse;
  out.disk_permitted = 0;
  out.disk_refused = 1;
  return Verdict::kAccept;
}

// The force rule of an olimit class; 0 when none matches.
uint32_t ask_force(int olimit, const char* key, Admission& out, uint32_t& isdiskcache) {
  return rules().force_expire[olimit](key, &out.icookie, nullptr, &isdiskcache);
}

void refuse_disk_unless(uint32_t isdiskcache, Admission& out) {
  if (isdiskcache != 0) return;
  out.disk_permitted = 0;
  out.disk_refused = 1;
}

Verdict classify(http_parser* request, const char* key, Admission& out) {
  if (!rules().uses_memory_cache()) {
    trace("[NoCache: IsNotUsedMemCache] %s\r\n", key);
    return Verdict::kRefuse;
  }
  char method[8];
  if (!http_parser_GetMothod(request, method)) return Verdict::kRefuse;
  const bool get = std::strncmp(method, "GET", 3) == 0 && method[3] == '\0';
  const bool post = std::strncmp(method, "POST", 4) == 0 && method[4] == '\0';
  if ((get || post) && rules().session_action(key, nullptr, nullptr, 0)) {
    trace("[Filter: SessionActionUrl] %s\r\n", key);
    strip_session_cookies(request);
    out.cache_kind = kSessionAction;
    out.disk_permitted = 0;
    out.disk_refused = 0;
    return Verdict::kAccept;
  }
  if (!get) {
    trace("[NoCache: Request -> Method -> %s] %s\r\n", method, key);
    return Verdict::kRefuse;
  }
  char length[20];
  if (http_parser_GetKey(request, "Content-Length", length, sizeof length) && std::strcmp(length, "0") != 0) {
    trace("[NoCache: Request -> Content-Length -> %s] %s\r\n", length, key);
    return Verdict::kRefuse;
  }
  uint32_t isdiskcache = 1;
  out.lifetime = ask_force(0, key, out, isdiskcache);
  if (out.lifetime != 0) {
    out.disk_permitted = isdiskcache != 0 ? 1 : 0;
    if (ask_refuse(0, key, out) == Verdict::kRefuse) return Verdict::kRefuse;
    out.cache_kind = kPublic;
    return Verdict::kAccept;
  }
  const bool sessions = rules().session_rules_exist() != 0;
  if (out.cache_kind != 0) return Verdict::kAccept;
  if (sessions) {
    if (is_member(request, key)) {
      if (ask_refuse(1, key, out) == Verdict::kRefuse) return Verdict::kRefuse;
      out.lifetime = ask_force(1, key, out, isdiskcache);
      if (out.lifetime == 0) {
        trace("[NoCache: RefuseCache -> Member] %s\r\n", key);
        return Verdict::kRefuse;
      }
      refuse_disk_unless(isdiskcache, out);
      out.cache_kind = kMember;
      return Verdict::kAccept;
    }
    strip_session_cookies(request);
    if (ask_refuse(2, key, out) == Verdict::kRefuse) return Verdict::kRefuse;
    out.lifetime = ask_force(2, key, out, isdiskcache);
    if (out.lifetime != 0) {
      refuse_disk_unless(isdiskcache, out);
      out.cache_kind = kVisitor;
      return Verdict::kAccept;
    }
  }
  // A public refuse rule also covers intelligent caching.
  return ask_refuse(0, key, out);
}

}  // namespace

void admit(http_parser* request, const char* cache_key, Admission& out) {
  if (classify(request, cache_key ? cache_key : "", out) == Verdict::kAccept) return;
  out.cache_kind = kNotCacheable;
  out.lifetime = 0;
  out.icookie = 1;
  out.disk_permitted = 0;
  out.disk_refused = 0;
}

}  // namespace vor::reqgate
