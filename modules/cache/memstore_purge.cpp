// Purges, listings and the exit dump of the three tables. Walks go bucket by bucket, holding one
// bucket's shard at a time; dropped entries are freed and their lines printed outside the shard.
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

void Store::detach(Kind kind, Node* node, Dropped& dropped, bool say_line) {
  if (say_line && settings_.verbose) dropped.lines.push_back(format_text(texts_of(kind).clean_line, node->key));
  dropped.entries.push_back(node->entry);
  table(kind)->unlink(node);
}

void Store::finish(Dropped& dropped) {
  for (const std::string& line : dropped.lines) say(line);
  for (memcache_entry* e : dropped.entries) entry_free(e);
  dropped.lines.clear();
  dropped.entries.clear();
}

// One bucket at a time: its shard is held while the chain is judged and unlinked, and the
// entries are freed (their lines printed) after it is let go, in the order of the walk.
template <typename Drop>
void Store::drop_where(Kind kind, Drop&& drop) {
  memstore_table* t = table(kind);
  if (!t) return;
  Dropped dropped;
  for (int32_t bucket = 0; bucket < t->bucket_count; ++bucket) {
    if (t->looks_empty(bucket)) continue;
    {
      Hold hold(shard_of_bucket(bucket));
      t->visit_bucket(bucket, [&](Node* n) {
        if (drop(n)) detach(kind, n, dropped);
        return false;
      });
    }
    finish(dropped);
  }
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
  Dropped dropped;
  {
    UrlHold at(*this, kind, url);
    if (Node* n = at.find()) detach(kind, n, dropped);
  }
  finish(dropped);
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
  memstore_table* t = table(kind);
  if (!t) return;
  Dropped dropped;
  for (int32_t bucket = 0; bucket < t->bucket_count; ++bucket) {
    if (t->looks_empty(bucket)) continue;
    {
      Hold hold(shard_of_bucket(bucket));
      t->visit_bucket(bucket, [&](Node* n) {
        detach(kind, n, dropped, false);
        return false;
      });
    }
    finish(dropped);
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

std::vector<std::string> Store::list_lines(Kind kind, bool http, int32_t start, bool dump_lines) const {
  std::vector<std::string> lines;
  const memstore_table* t = table(kind);
  if (!t) return lines;
  walk_from(t, start, [&](const Node* n) {
    if (dump_lines)
      lines.push_back(format_text(texts_of(kind).dump_line, n->entry->access_count, n->key));
    else
      lines.push_back(list_line(kind, n, http));
    return false;
  });
  return lines;
}

void Store::list_text(Kind kind, wtb* out) {
  if (!out) return;
  for (const std::string& line : list_lines(kind, texts_of(kind).http_in_text_list, 0, false)) {
    wtb_MoveToEndOfText(out);
    wtb_InsertString(out, line.c_str());
  }
}

void Store::list_queue(Kind kind, cu_jitter* out) {
  if (!out) return;
  for (const std::string& line : list_lines(kind, texts_of(kind).http_in_queue_list, 0, false))
    cu_jitter_SetData(out, line.data(), static_cast<int32_t>(line.size()));
}

void Store::dump() {
  if (!settings_.verbose || !shards_ || !has_tables()) return;
  for (Kind kind : kKinds)
    for (const std::string& line : list_lines(kind, false, random_start(table(kind)->bucket_count), true)) say(line);
}

}  // namespace vor::memstore
