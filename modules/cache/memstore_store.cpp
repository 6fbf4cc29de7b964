// The store object: its pools and tables, the store of a response with its ownership rules, the
// reads and the module-wide figures.
#include <cstring>
#include <new>

#include "cu_lib.h"
#include "cu_util.h"
#include "memstore_internal.h"

namespace vor::memstore {

namespace {

constexpr uint64_t kBodyGranularity = kBodyBlock + sizeof(cu_xjitter_block);  // one block per chunk
constexpr uint64_t kNodeGranularity = 136;
constexpr uint64_t kHeadGranularity = 128;
constexpr uint64_t kStepBytes = 4096;
constexpr uint64_t kRetryAfterFailure = 1048576;
static_assert(sizeof(cu_xjitter_block) == 56, "a body block is 2,048 bytes behind a 56-byte header");

// The caller's body in either queue type, seen as bytes to move and then release.
struct XQueue {
  cu_xjitter* q;
  uint64_t peek(uint8_t* buf, uint64_t n) { return cu_xjitter_PeekData(q, buf, n); }
  void drop(uint64_t n) { cu_xjitter_GetData(q, nullptr, n); }
  uint64_t remaining() { return cu_xjitter_GetLen(q); }
  // The blocks go back to their pool; the record stays the caller's.
  void release() { cu_xjitter_destroy(q); }
};

struct PlainQueue {
  cu_jitter* q;
  uint64_t peek(uint8_t* buf, uint64_t n) {
    const int32_t got = cu_jitter_PeekData(q, buf, static_cast<int32_t>(n));
    return got > 0 ? static_cast<uint64_t>(got) : 0;
  }
  void drop(uint64_t n) { cu_jitter_GetData(q, nullptr, static_cast<int32_t>(n)); }
  uint64_t remaining() {
    const int32_t len = cu_jitter_GetLen(q);
    return len > 0 ? static_cast<uint64_t>(len) : 0;
  }
  void release() {
    cu_jitter_free(q);
    q = nullptr;
  }
};

// Moves the source's bytes into the body in 4 KiB steps; the source keeps exactly the bytes not
// moved, so a second attempt continues where this one stopped. True when the source is empty.
template <typename Source>
bool move_body(cu_xjitter* body, Source& source) {
  uint8_t step[kStepBytes];
  for (;;) {
    const uint64_t peeked = source.peek(step, sizeof step);
    if (peeked == 0) return true;
    const uint64_t appended = cu_xjitter_SetData(body, step, peeked);
    source.drop(appended);
    if (appended < peeked) return false;
  }
}

}  // namespace

Store::Store(const Sizing& sizing, const Environment& env, const Geometry& geometry)
    : sizing_(sizing), env_(env), geometry_(geometry) {}

// A live store is never freed; tests free theirs, every entry with it.
Store::~Store() {
  for (Kind kind : kKinds) {
    memstore_table* t = table(kind);
    if (!t) continue;
    clean_all(kind);
    delete[] t->buckets;
    t->~memstore_table();
  }
  for (cu_xmem* pool : {body_pool_, node_pool_, entry_pool_, head_pool_}) cu_xmem_exit(pool);
  cu_sem_free(pool_lock_);
  if (shards_) {
    for (int32_t i = 0; i < kShards; ++i) cu_sem_destroy(&shards_[i].lock);
    delete[] shards_;
  }
}

PoolFailure Store::setup() {
  shards_ = new Shard[kShards];
  for (int32_t i = 0; i < kShards; ++i) cu_sem_init(&shards_[i].lock);
  pool_lock_ = cu_sem_malloc();
  const uint64_t limit = sizing_.page_limit;
  body_pool_ = cu_xmem_init_ext(pool_lock_, geometry_.body_page, limit, kBodyGranularity, nullptr, nullptr, nullptr);
  if (!body_pool_) return PoolFailure::kBody;
  node_pool_ = cu_xmem_init_ext(pool_lock_, geometry_.small_page, geometry_.node_page_limit, kNodeGranularity, nullptr,
                                nullptr, nullptr);
  if (!node_pool_) return PoolFailure::kNode;
  entry_pool_ =
      cu_xmem_init_ext(pool_lock_, geometry_.small_page, geometry_.entry_page_limit, 0, nullptr, nullptr, nullptr);
  if (!entry_pool_) return PoolFailure::kEntry;
  head_pool_ =
      cu_xmem_init_ext_ext(pool_lock_, geometry_.small_page, limit, kHeadGranularity, true, nullptr, nullptr, nullptr);
  if (!head_pool_) return PoolFailure::kHead;
  tables_[0] = make_table(sizing_.public_slots);
  tables_[1] = make_table(kMemberSlots);
  tables_[2] = make_table(kMemberSlots);
  baseline_ = cu_xmem_used_space_size(node_pool_);
  return PoolFailure::kNone;
}

const char* pool_failure_line(PoolFailure failure) {
  switch (failure) {
    case PoolFailure::kBody:
      return "memstore -> __this_init() -> cu_xmem_init_ext(xjitter) -> return NULL!\r\n";
    case PoolFailure::kNode:
      return "memstore -> __this_init() -> cu_xmem_init_ext(hash) -> return NULL!\r\n";
    case PoolFailure::kEntry:
      return "memstore -> __this_init() -> cu_xmem_init_ext(struct) return NULL -> exit!\r\n";
    case PoolFailure::kHead:
      return "memstore -> __this_init() -> cu_xmem_init_ext(responsehttp) -> return NULL -> exit!\r\n";
    case PoolFailure::kNone:
      break;
  }
  return "";
}

// The record comes from the node pool, the bucket array from the process allocator; a table
// that cannot be made stays absent and answers as empty.
memstore_table* Store::make_table(uint32_t slots) {
  void* memory = cu_xmem_malloc(node_pool_, sizeof(memstore_table));
  if (!memory) return nullptr;
  auto* t = new (memory) memstore_table;
  t->buckets = new (std::nothrow) Node*[slots]();
  if (!t->buckets) {
    t->~memstore_table();
    cu_xmem_free(node_pool_, memory);
    return nullptr;
  }
  t->bucket_count = static_cast<int32_t>(slots - 1);
  t->node_pool = node_pool_;
  return t;
}

bool Store::has_tables() const { return table(Kind::kPublic) && table(Kind::kMember) && table(Kind::kVisitor); }

memcache_entry* Store::entry_new() {
  auto* e = static_cast<memcache_entry*>(cu_xmem_malloc(entry_pool_, sizeof(memcache_entry)));
  if (!e) return nullptr;
  std::memset(e, 0, sizeof *e);
  e->created = env_.now();
  cu_xjitter_init(&e->body_queue, body_pool_, kBodyBlock, kBodyBlocks);
  e->body = &e->body_queue;
  return e;
}

void Store::entry_free(memcache_entry* e) {
  if (!e) return;
  if (e->head) cu_xmem_free(head_pool_, e->head);
  cu_xjitter_destroy(e->body);
  cu_xmem_free(entry_pool_, e);
}

// Unlinks the url's stored version under its shard and frees it after; answers its body bytes.
uint64_t Store::drop_url(Kind kind, const std::string& url) {
  Dropped dropped;
  uint64_t bytes = 0;
  {
    UrlHold at(*this, kind, url.c_str());
    if (Node* n = at.find()) {
      bytes = cu_xjitter_GetLen(n->entry->body);
      detach(kind, n, dropped);
    }
  }
  finish(dropped);
  return bytes;
}

// The old version is taken off first (it is gone from here on, whatever follows); the new entry is
// built holding no shard, so the replacement it may run takes shards of its own, and is linked
// under the url's shard, replacing any version another thread stored meanwhile.
template <typename Source>
void Store::store(Kind kind, uint32_t type, const char* url, const char* head, Source& source, uint32_t expire,
                  uint8_t content_class) {
  if (type > 1 || !env_.mem_cache_on()) {
    source.release();
    return;
  }
  memstore_table* t = table(kind);
  Dropped dropped;
  {
    UrlHold at(*this, kind, url);
    if (Node* old = at.find()) detach(kind, old, dropped, false);
  }
  finish(dropped);
  memcache_entry* e = entry_new();
  if (!e) return source.release();
  e->type = static_cast<uint8_t>(type);
  e->head = cu_xmem_strdup(head_pool_, head);
  bool moved = move_body(e->body, source);
  if (!moved) {
    replace((source.remaining() / kBodyBlock + 1) * kBodyBlock);
    moved = move_body(e->body, source);
  }
  if (!moved || !e->head) {
    source.release();
    entry_free(e);
    replace(kRetryAfterFailure);
    return;
  }
  e->expire = expire;
  e->content_class = content_class;
  e->access_count = 1;
  cu_RandomStr(e->tag, kTagLength);
  {
    UrlHold at(*this, kind, url);
    if (Node* raced = at.find()) detach(kind, raced, dropped, false);
    if (!t || !t->insert(url, e)) dropped.entries.push_back(e);
  }
  finish(dropped);
  source.release();
}

void Store::set_data_x(Kind kind, uint32_t type, const char* url, const char* head, cu_xjitter* body, uint32_t expire,
                       uint8_t content_class) {
  if (!body) return;
  XQueue source{body};
  if (!url || !head) return source.release();
  store(kind, type, url, head, source, expire, content_class);
}

void Store::set_data(Kind kind, uint32_t type, const char* url, const char* head, cu_jitter* body, uint32_t expire,
                     uint8_t content_class) {
  if (!body) return;
  PlainQueue source{body};
  if (!url || !head) return source.release();
  store(kind, type, url, head, source, expire, content_class);
}

bool Store::check(Kind kind, const char* url, uint32_t* expire, char* tag) {
  UrlHold at(*this, kind, url);
  const Node* n = at.find();
  if (!n) return false;
  if (expire) *expire = n->entry->expire;
  if (tag) std::memcpy(tag, n->entry->tag, kTagLength + 1);
  return true;
}

uint32_t Store::get_expire(Kind kind, const char* url) {
  UrlHold at(*this, kind, url);
  const Node* n = at.find();
  return n ? n->entry->expire : 0;
}

bool Store::refresh_expire(Kind kind, const char* url, uint32_t expire) {
  UrlHold at(*this, kind, url);
  Node* n = at.find();
  if (!n) return false;
  n->entry->expire = expire;
  return true;
}

namespace {

bool tag_matches(const memcache_entry* e, const char* tag) { return !tag || cu_strcmp(tag, e->tag) == 0; }

}  // namespace

void count_access(memcache_entry* e) {
  if (e->access_count != UINT32_MAX) ++e->access_count;
}

bool Store::add_access(Kind kind, const char* url, const char* tag) {
  UrlHold at(*this, kind, url);
  Node* n = at.find();
  if (!n || !tag_matches(n->entry, tag)) return false;
  count_access(n->entry);
  return true;
}

int32_t Store::get_data(Kind kind, const char* url, bool check_tag, const char* tag, char* head, uint32_t head_capacity,
                        uint32_t from, uint32_t to, void* body) {
  if (!url || (body && from > to)) return -1;
  UrlHold at(*this, kind, url);
  Node* n = at.find();
  if (!n || (check_tag && !tag_matches(n->entry, tag))) return -1;
  memcache_entry* e = n->entry;
  if (head) cu_strncpy(head, e->head, static_cast<int32_t>(head_capacity > INT32_MAX ? INT32_MAX : head_capacity));
  int32_t copied = 0;
  const uint64_t length = cu_xjitter_GetLen(e->body);
  if (body) copied = static_cast<int32_t>(cu_xjitter_PeekDatax(e->body, body, from, to - from));
  // One access for the head, and one for the body slice that reaches its end.
  if (head || (body && from < to && to >= length)) count_access(e);
  return copied;
}

uint32_t Store::table_count(Kind kind) const {
  memstore_table* t = table(kind);
  return t ? static_cast<uint32_t>(t->entry_count.load(std::memory_order_relaxed)) : 0;
}

uint32_t Store::entry_total() const {
  if (!has_tables()) return 0;
  uint32_t sum = 0;
  for (Kind kind : kKinds) sum += table_count(kind);
  return sum;
}

PoolUse Store::pool_use() const {
  return {cu_xmem_used_space_size(body_pool_), cu_xmem_used_space_size(node_pool_),
          cu_xmem_used_space_size(entry_pool_), cu_xmem_used_space_size(head_pool_)};
}

uint64_t Store::cache_size() const {
  const PoolUse use = pool_use();
  const uint64_t sum = use.body + use.node + use.entry + use.head;
  return sum > baseline_ ? sum - baseline_ : 0;
}

// The counts are read once: a purge between two reads could make the sum 0 and the division fault.
uint64_t Store::table_size(Kind kind) const {
  if (!has_tables()) return 0;
  uint64_t counts[3];
  for (Kind k : kKinds) counts[static_cast<int>(k)] = table_count(k);
  const uint64_t n = counts[static_cast<int>(kind)];
  const uint64_t sum = counts[0] + counts[1] + counts[2];
  if (n == 0 || sum == 0) return 0;
  return static_cast<uint64_t>(static_cast<unsigned __int128>(n) * cache_size() / sum);
}

}  // namespace vor::memstore
