// Cacheability of a response: forced by a cache rule (kinds 2 to 4), or judged from the
// response's own headers and the intelligent-cache rules (kind 0), with the lifetime it gets.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cu_date.h"
#include "edgeserv.h"
#include "reqgate_internal.h"
#include "reqgate_session.h"

namespace vor::reqgate {

namespace {

constexpr uint32_t kTenYears = 315360000;

struct Directive {
  const char* text;
  const char* trace;
  // A shared cache keeps no copy of such an answer, validator or not: a 304 to another client's
  // revalidation (a Last-Modified is no per-user validator) would hand it one user's page.
  bool never_stored = false;
};
// Looked for in this order; the first found decides. The two lifetimes come between no-store and
// must-revalidate (see refusing_lifetime).
constexpr Directive kRefusingWords[] = {
    {"no-cache", "[NoCache: Cache-Control -> no-cache] %s\r\n"},
    {"private", "[NoCache: Cache-Control -> private] %s\r\n", true},
    {"no-store", "[NoCache: Cache-Control -> no-store] %s\r\n", true},
};
constexpr Directive kRevalidating[] = {
    {"must-revalidate", "[NoCache: Cache-Control -> must-revalidate] %s\r\n"},
    {"proxy-revalidate", "[NoCache: Cache-Control -> proxy-revalidate] %s\r\n"},
};
constexpr char kMaxAgeZero[] = "[NoCache: Cache-Control -> max-age=0] %s\r\n";
constexpr char kSharedMaxAgeZero[] = "[NoCache: Cache-Control -> s-maxage=0] %s\r\n";

}  // namespace

DeltaSeconds delta_seconds(std::string_view value, std::string_view name) {
  DeltaSeconds out;
  size_t at = std::string_view::npos;
  for (size_t i = 0; i + name.size() <= value.size(); ++i) {
    if (starts_ignore_case(value.substr(i), name)) {
      at = i + name.size();
      break;
    }
  }
  if (at == std::string_view::npos) return out;
  out.present = true;
  while (at < value.size() && (value[at] == ' ' || value[at] == '\t')) ++at;
  if (at < value.size() && value[at] == '-') {
    out.number = true;  // a negative lifetime is spent
    return out;
  }
  // Decimal whatever its leading zeros; a lifetime past 32 bits is cut there.
  for (; at < value.size() && value[at] >= '0' && value[at] <= '9'; ++at) {
    out.number = true;
    out.seconds = std::min<uint64_t>(out.seconds * 10 + static_cast<uint64_t>(value[at] - '0'), UINT32_MAX);
  }
  return out;
}

DeltaSeconds shared_max_age(std::string_view cache_control) {
  const DeltaSeconds shared = delta_seconds(cache_control, "s-maxage=");
  if (shared.number) return shared;
  const DeltaSeconds own = delta_seconds(cache_control, "max-age=");
  return own.present ? own : shared;
}

namespace {

uint64_t age_of(http_parser* response) {
  char age[32];
  if (!http_parser_GetKey(response, "Age", age, sizeof age)) return 0;
  const long long n = std::strtoll(age, nullptr, 10);
  return n > 0 ? static_cast<uint64_t>(n) : 0;
}

uint32_t after_age(uint64_t seconds, uint64_t age) {
  return seconds > age ? static_cast<uint32_t>(std::min<uint64_t>(seconds - age, UINT32_MAX)) : 0;
}

// Expires - Date - Age. An unreadable Expires is already stale; an unreadable Date is now.
uint32_t expires_lifetime(http_parser* response) {
  char expires[100];
  char date[100];
  if (!http_parser_GetKey(response, "Expires", expires, sizeof expires) ||
      !http_parser_GetKey(response, "Date", date, sizeof date)) {
    return 0;
  }
  const int64_t until = cu_DateParse(expires);
  if (until < 0) return 0;
  int64_t sent = cu_DateParse(date);
  if (sent < 0) sent = edgeserv_mytime();
  const int64_t span = until > sent ? until - sent : 0;
  return after_age(static_cast<uint64_t>(span), age_of(response));
}

void make_cacheable(CacheDecision& record, uint8_t source, uint32_t lifetime) {
  record.cache_kind = kPublic;
  record.cache_source = source;
  record.strip_cookies = 1;
  record.lifetime = lifetime;
}

enum class Outcome : uint8_t { kCache, kRefuse };

// Intelligent caching's rule question (or its default lifetime).
void ask_rules(CacheDecision& record) {
  uint8_t icookie = 1;
  uint32_t isdiskcache = 1;
  const uint32_t lifetime = rules().icache_expire(record.cache_key.c_str(), &icookie, nullptr, &isdiskcache);
  if (lifetime == 0) {
    make_cacheable(record, kIntelligentSource, settings().default_intelligent_timeout);
    return;
  }
  make_cacheable(record, kIntelligentSource, lifetime);
  record.strip_cookies = icookie != 0 ? 1 : 0;
  if (isdiskcache == 0) record.no_disk = 1;
}

// A refusing header: a response that can be revalidated is kept stale from the start; the 304
// of our own revalidation goes to the rules; anything else is refused with its trace.
Outcome three_way(CacheDecision& record, http_parser* response, bool validator, const char* trace_format,
                  const char* value) {
  if (validator) {
    make_cacheable(record, kIntelligentSource, 0);
    return Outcome::kCache;
  }
  if (status_code(response) == 304 && record.revalidating) {
    ask_rules(record);
    return Outcome::kCache;
  }
  if (value) {
    trace(trace_format, value, record.cache_key.c_str());
  } else {
    trace(trace_format, record.cache_key.c_str());
  }
  return Outcome::kRefuse;
}

// A lifetime of zero (or less) refuses like the words: s-maxage decides for a shared cache when
// it is a number, max-age otherwise.
const Directive* refusing_lifetime(std::string_view cache_control) {
  static constexpr Directive kZero[] = {{"max-age=", kMaxAgeZero}, {"s-maxage=", kSharedMaxAgeZero}};
  const DeltaSeconds shared = delta_seconds(cache_control, "s-maxage=");
  if (shared.number) return shared.seconds == 0 ? &kZero[1] : nullptr;
  const DeltaSeconds own = delta_seconds(cache_control, "max-age=");
  return own.number && own.seconds == 0 ? &kZero[0] : nullptr;
}

// The first directive that keeps the answer from being fresh; NULL when none does.
const Directive* refusing_directive(std::string_view cache_control) {
  for (const Directive& d : kRefusingWords) {
    if (contains_ignore_case(cache_control, d.text)) return &d;
  }
  if (const Directive* d = refusing_lifetime(cache_control)) return d;
  for (const Directive& d : kRevalidating) {
    if (contains_ignore_case(cache_control, d.text)) return &d;
  }
  return nullptr;
}

// An answer to an authorised request may be shared only when the origin says so.
bool shareable_despite_authorization(http_parser* request, std::string_view cache_control) {
  if (!request || !http_parser_IsKey(request, "Authorization")) return true;
  return contains_ignore_case(cache_control, "public") || contains_ignore_case(cache_control, "s-maxage=") ||
         contains_ignore_case(cache_control, "must-revalidate");
}

// Every Vary field name other than Accept-Encoding (we key on nothing else); empty when none.
std::string unkeyed_vary(http_parser* response) {
  const std::string vary = all_lines(response, "Vary");
  std::string_view rest(vary);
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    std::string_view name = rest.substr(0, comma);
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (!name.empty() && !(name.size() == 15 && starts_ignore_case(name, "Accept-Encoding"))) return vary;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return {};
}

Outcome judge_intelligent(CacheDecision& record, http_parser* request, http_parser* response) {
  const std::string cache_control = all_lines(response, "Cache-Control");
  const bool has_cache_control = http_parser_IsKey(response, "Cache-Control");
  if (!shareable_despite_authorization(request, cache_control)) {
    trace("[NoCache: Request -> Authorization] %s\r\n", record.cache_key.c_str());
    return Outcome::kRefuse;
  }
  const std::string vary = unkeyed_vary(response);
  if (!vary.empty()) {
    trace("[NoCache: Vary -> %s] %s\r\n", vary.c_str(), record.cache_key.c_str());
    return Outcome::kRefuse;
  }
  const bool validator = has_validator(response);
  const std::string pragma = all_lines(response, "Pragma");
  if (contains_ignore_case(pragma, "no-cache") || contains_ignore_case(pragma, "no-store")) {
    return three_way(record, response, validator, "[NoCache: Pragma -> no-cache] %s\r\n", nullptr);
  }
  if (has_cache_control) {
    if (const Directive* d = refusing_directive(cache_control)) {
      return three_way(record, response, validator && !d->never_stored, d->trace, nullptr);
    }
  }
  if (contains_ignore_case(cache_control, "max-age=") || contains_ignore_case(cache_control, "s-maxage=") ||
      contains_ignore_case(cache_control, "public")) {
    const uint32_t lifetime = response_lifetime(response);
    if (lifetime != 0) {
      make_cacheable(record, kFromHeaders, lifetime);
      return Outcome::kCache;
    }
    return three_way(record, response, validator, "[NoCache: Cache-Control -> %s] %s\r\n", cache_control.c_str());
  }
  if (http_parser_IsKey(response, "Expires")) {
    const uint32_t lifetime = response_lifetime(response);
    if (lifetime != 0) {
      make_cacheable(record, kFromHeaders, lifetime);
      return Outcome::kCache;
    }
    return three_way(record, response, validator, "[NoCache: Expires - Date == 0] %s\r\n", nullptr);
  }
  if (validator || status_code(response) == 304) {
    ask_rules(record);
    return Outcome::kCache;
  }
  if (record.disk_key.empty()) {
    trace("[NoCache: !IntelligentCache] %s\r\n", record.cache_key.c_str());
    return Outcome::kRefuse;
  }
  make_cacheable(record, kIntelligentSource, record.lifetime != 0 ? record.lifetime : kTenYears);
  return Outcome::kCache;
}

bool status_passes(int status) {
  if (status == 200 || status == 304 || status == 404) return true;
  return settings().mem_cache_30x && (status == 301 || status == 302);
}

// The length of a cacheable response and whether the memory copy is kept.
bool finish_cacheable(CacheDecision& record, http_parser* response, uint32_t* length) {
  record.keep_memory_copy = 1;
  const Length declared = content_length(response);
  if (declared.field == LengthField::kInvalid) {
    // Not one number: the body is read to the close and never kept.
    record.keep_memory_copy = 0;
    trace("[NoCache: Content-Length -> %s] %s\r\n", all_lines(response, "Content-Length").c_str(),
          record.cache_key.c_str());
    return false;
  }
  if (declared.field == LengthField::kValid) {
    *length = static_cast<uint32_t>(std::min<uint64_t>(declared.value, UINT32_MAX));
    if (declared.value > rules().max_cache_block()) {
      record.keep_memory_copy = 0;
      const std::string text = std::to_string(declared.value);
      trace("[NoMemCache: Content-Length -> %s] %s\r\n", text.c_str(), record.cache_key.c_str());
    }
    return true;
  }
  const int status = status_code(response);
  if (status != 200 && status != 404) return true;
  char coding[20];
  if (http_parser_GetKey(response, "Transfer-Encoding", coding, sizeof coding) &&
      !starts_ignore_case(coding, "chunked")) {
    record.keep_memory_copy = 0;
    trace("[NoCache: Transfer-Encoding -> %s] %s\r\n", coding, record.cache_key.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool judge_response(CacheDecision& record, http_parser* request, http_parser* response, uint32_t* length) {
  *length = 0;
  const char* key = record.cache_key.c_str();
  if (record.cache_kind == kSessionAction) {
    learn_sessions(response, record.cache_key.c_str());
    return false;
  }
  char status[8];
  if (!http_parser_GetStatus(response, status, sizeof status)) return false;
  const std::string code(status, std::min<size_t>(3, std::strlen(status)));
  if (!status_passes(status_code(response))) {
    trace("[NoCache: Status -> %s] %s\r\n", code.c_str(), key);
    return false;
  }
  if (http_parser_IsKey(response, "X-NoCache")) {
    trace("[NoCache: X-NoCache] %s\r\n", key);
    return false;
  }
  if (status_code(response) == 404) {
    if (settings().cache_404_timeout == 0) return false;
    make_cacheable(record, kIntelligentSource, settings().cache_404_timeout);
    record.no_disk = 0;
  } else if (record.cache_kind >= kPublic && record.cache_kind <= kVisitor) {
    if (record.cache_source == kFromHeaders) record.cache_source = kForced;
  } else if (judge_intelligent(record, request, response) == Outcome::kRefuse) {
    return false;
  }
  return finish_cacheable(record, response, length);
}

uint32_t response_lifetime(http_parser* response) {
  const std::string cache_control = all_lines(response, "Cache-Control");
  const uint64_t age = age_of(response);
  const DeltaSeconds max_age = shared_max_age(cache_control);
  if (max_age.present) return after_age(max_age.seconds, age);
  if (contains_ignore_case(cache_control, "public")) return after_age(settings().default_intelligent_timeout, age);
  return expires_lifetime(response);
}

bool has_validator(http_parser* response) {
  if (http_parser_IsKey(response, "Etag")) return true;
  char modified[32];
  char date[32];
  if (!http_parser_GetKey(response, "Last-Modified", modified, sizeof modified)) return false;
  if (!http_parser_GetKey(response, "Date", date, sizeof date)) return true;
  return std::strcmp(modified, date) != 0;
}

}  // namespace vor::reqgate
