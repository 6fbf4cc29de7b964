// Purges, listings and the exit dump of the three tables. Every operation that drops more than
// one entry collects the keys first and drops them afterwards, so no chain changes under a walk.
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "cu_lib.h"
#include "cu_util.h"
#include "memstore_internal.h"
#include "policydb.h"

namespace vor::memstore {

namespace {

constexpr KindTexts kTexts[] = {
    {"[CleanPublicCache] %s\r\n", "public -> ", true, false, "[PublicCacheInfo: AccessCount=%u] %s\r\n"},
    {"[CleanMemberCache] %s\r\n", "member -> ", false, true, "[MemberCacheInfo: AccessCount=%u] %s\r\n"},
    {"[CleanVisitorCache] %s\r\n", "visitor -> ", false, true, "[VisitorCacheInfo: AccessCount=%u] %s\r\n"},
};

std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string format_text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char line[8192];
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof line) return std::string(line, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(big.data(), big.size(), format, args);
  va_end(args);
  big.pop_back();
  return big;
}

// "%d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d" in local time; empty when the time cannot be converted.
std::string expiry_text(uint32_t expire) {
  const int64_t t = expire;
  struct tm tm {};
  if (!cu_localtime(&t, &tm)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

}  // namespace

const KindTexts& texts_of(Kind kind) { return kTexts[static_cast<int>(kind)]; }

void Store::say(const std::string& line) const {
  if (settings_.verbose) env_.console(line.c_str());
}

int32_t Store::random_start(int32_t bucket_count) const {
  const int32_t count = bucket_count > 0 ? bucket_count : 1;
  const int32_t r = env_.random() % count;
  return r < 0 ? -r : r;
}

void Store::drop_node(Kind kind, Node* node) {
  say(format_text(texts_of(kind).clean_line, node->key));
  memcache_entry* e = node->entry;
  table(kind)->unlink(node);
  entry_free(e);
}

template <typename Drop>
void Store::drop_where(Kind kind, Drop&& drop) {
  Hold hold(cache_lock_);
  memstore_table* t = table(kind);
  if (!t) return;
  std::vector<std::string> keys;
  t->walk_from(0, [&](Node* n) {
    if (drop(n)) keys.emplace_back(n->key, static_cast<size_t>(n->key_len));
    return false;
  });
  for (const std::string& key : keys)
    if (Node* n = t->find(key.c_str())) drop_node(kind, n);
}

void Store::refresh_icache(Kind kind) {
  drop_where(kind, [&](const Node* n) { return n->entry->type == 0 && !env_.icache_hit(n->key); });
}

void Store::refresh_fcache(Kind kind) {
  drop_where(kind, [&](const Node* n) { return n->entry->type == 1 && !env_.fcache_hit(n->key); });
}

void Store::refresh_rcache(Kind kind) {
  drop_where(kind, [&](const Node* n) { return env_.rcache_hit(n->key); });
}

void Store::clean_this(Kind kind, const char* url) {
  Hold hold(cache_lock_);
  if (Node* n = find(kind, url)) drop_node(kind, n);
}

void Store::clean_type(Kind kind, uint8_t type) {
  drop_where(kind, [type](const Node* n) { return n->entry->type == type; });
}

bool Store::clean_rules(Kind kind, const char* text, uint8_t icase, uint8_t rules) {
  if (rules == 2 && icase == 0) {
    clean_this(kind, text);
    return true;
  }
  if (rules == 0 && cu_strcmp(text, "*") == 0) {
    clean_all(kind);
    return true;
  }
  xcache_rules* rule = xcache_rules_make(text, icase, rules);
  if (!rule) return false;
  drop_where(kind, [rule](const Node* n) { return xcache_rules_ishit(rule, n->key) != 0; });
  xcache_rules_free(rule);
  return true;
}

void Store::clean_all(Kind kind) {
  Hold hold(cache_lock_);
  memstore_table* t = table(kind);
  if (!t) return;
  for (int32_t i = 0; i < t->bucket_count; ++i) {
    while (Node* n = t->buckets[i]) {
      memcache_entry* e = n->entry;
      t->unlink(n);
      entry_free(e);
    }
  }
}

std::string Store::list_line(Kind kind, const Node* n, bool http) const {
  const memcache_entry* e = n->entry;
  char start[256];
  std::snprintf(start, sizeof start, "%scachetype: %s -> expire: %s -> accesscount: %d -> ", texts_of(kind).list_start,
                e->type == 1 ? "fcache" : "icache", expiry_text(e->expire).c_str(), static_cast<int>(e->access_count));
  std::string line = start;
  if (http) line += "http://";
  line += n->key ? n->key : "NULL!";
  line += "\r\n";
  return line;
}

void Store::list_text(Kind kind, wtb* out) {
  if (!out) return;
  Hold hold(cache_lock_);
  const memstore_table* t = table(kind);
  if (!t) return;
  t->walk_from(0, [&](const Node* n) {
    wtb_MoveToEndOfText(out);
    wtb_InsertString(out, list_line(kind, n, texts_of(kind).http_in_text_list).c_str());
    return false;
  });
}

void Store::list_queue(Kind kind, cu_jitter* out) {
  if (!out) return;
  Hold hold(cache_lock_);
  const memstore_table* t = table(kind);
  if (!t) return;
  t->walk_from(0, [&](const Node* n) {
    const std::string line = list_line(kind, n, texts_of(kind).http_in_queue_list);
    cu_jitter_SetData(out, line.data(), static_cast<int32_t>(line.size()));
    return false;
  });
}

void Store::dump() {
  if (!settings_.verbose || !cache_lock_ || !has_tables()) return;
  Hold hold(cache_lock_);
  for (Kind kind : kKinds) {
    const memstore_table* t = table(kind);
    t->walk_from(random_start(t->bucket_count), [&](const Node* n) {
      say(format_text(texts_of(kind).dump_line, n->entry->access_count, n->key));
      return false;
    });
  }
}

}  // namespace vor::memstore
