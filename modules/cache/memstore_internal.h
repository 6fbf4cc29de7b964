// The memory cache's own C++: the sizing, the entry and table records, and the store object that
// holds the shard locks, the four pools and the three tables. The exports act on the one process-wide
// store that init makes; tests make their own with small pools, a clock and rule answers of theirs.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cu_config.h"
#include "cu_jitter.h"
#include "cu_sem.h"
#include "cu_wtb.h"
#include "cu_xjitter.h"
#include "cu_xmem.h"
#include "edgeserv.h"

namespace vor::memstore {

// ---- sizing --------------------------------------------------------------------------------

constexpr uint64_t kBodyPageSize = 33554432;  // 32 MiB; also the budget per page of the limits
constexpr uint64_t kSmallPageSize = 4194304;  // node, entry and head pools
constexpr uint32_t kMemberSlots = 16384;      // bucket array of the member and visitor tables

struct Sizing {
  uint64_t mem = 0;           // the smaller of the usable setting and the machine's memory
  uint64_t budget = 0;        // bytes; memstore_GetMaxCacheSize
  uint64_t page_limit = 0;    // pages of the body and head pools: budget / 32 MiB, rounded up
  uint32_t public_slots = 0;  // bucket array of the public table (one fewer buckets are used)
};

// The budget from the machine's memory (nullopt: the query failed), the usable-memory setting
// and the percentage that goes to the disk-cache index.
Sizing size_cache(std::optional<uint64_t> physical, uint64_t usable, uint32_t ratio);
// The public table's bucket array for a budget: 50 per MiB, kept within its bounds.
uint32_t public_slots_of(uint64_t budget);

// ---- settings of cache.ini -----------------------------------------------------------------

struct Settings {
  int8_t priority = 0;    // 1 binary entries go first, 2 text entries, 0 no preference
  uint32_t protect = 60;  // seconds during which a new entry's reads weigh 1,000 times
  bool verbose = true;    // console lines of dropped entries and the exit dump
};

// The two keys of cache.ini's group "system" over base; their defaults for a NULL object.
Settings read_cache_ini(cu_config* ini, Settings base);

// ---- records -------------------------------------------------------------------------------

constexpr uint64_t kBodyBlock = 2048;
constexpr uint64_t kBodyBlocks = 1024;  // a body holds at most 2,097,152 bytes
constexpr int kTagLength = 16;

// One stored response; lives in the entry pool and belongs to the table node that holds it.
struct memcache_entry {
  uint8_t type;              // 1 rule entry ("fcache"), 0 intelligent entry ("icache")
  char* head;                // NUL-terminated, from the head pool
  cu_xjitter body_queue;     // blocks from the body pool
  cu_xjitter* body;          // &body_queue
  uint32_t access_count;     // 1 when stored, stops at its maximum
  uint32_t expire;           // absolute, seconds since 1970
  int64_t created;           // the clock when the entry was made
  uint8_t content_class;     // 1 text response, 0 other
  char tag[kTagLength + 1];  // the version mark drawn at every store
};

// Reads per second of life; during the protection time each read weighs 1,000.
float replacement_score(const memcache_entry* e, int64_t now, uint32_t protect);
// One more read; the count stops at its maximum instead of wrapping to 0.
void count_access(memcache_entry* e);

// A chain node; its key text follows it in the same allocation.
struct Node {
  Node* prev;
  Node* next;
  char* key;
  int32_t key_len;
  memcache_entry* entry;
};

// A chained string hash of its own: buckets from the process allocator, nodes from the node pool.
struct memstore_table {
  Node** buckets = nullptr;
  int32_t bucket_count = 0;
  std::atomic<int32_t> entry_count{0};  // read without the lock by the count queries
  cu_xmem* node_pool = nullptr;

  static uint32_t bucket_of(const char* key, int32_t len, int32_t bucket_count);
  // Links a node at the head of its chain; false when the key is empty or no node is left.
  bool insert(const char* key, memcache_entry* entry);
  Node* find(const char* key) const;
  // The key's node on the chain of its bucket (bucket_of_key).
  Node* find_in(int32_t bucket, const char* key) const;
  // The bucket of a key; 0 for a NULL or empty key or a table without buckets.
  int32_t bucket_of_key(const char* key) const;
  // Unlinks and frees the node (not its entry).
  void unlink(Node* node);
  // A chain's head read without its shard (stores to heads are atomic): walks skip empty buckets.
  bool looks_empty(int32_t bucket) const {
    return std::atomic_ref<Node*>(buckets[bucket]).load(std::memory_order_relaxed) == nullptr;
  }
  // Visits the chain of one bucket; answers true when visit answered true (and stopped there).
  template <typename Visit>
  bool visit_bucket(int32_t bucket, Visit&& visit) const {
    for (Node* n = buckets[bucket]; n;) {
      Node* next = n->next;
      if (visit(n)) return true;
      n = next;
    }
    return false;
  }
};

// Cache-lock takes of the calling thread, read by memstore_GetLockTakes.
inline thread_local uint64_t tl_lock_takes = 0;

// The cache lock is split in shards: a bucket's chain and the entries on it are guarded by the
// shard of the bucket's number, the same shard in the three tables. Operations on one url hold
// one shard; walks hold one bucket's shard at a time, so no operation holds the whole cache.
constexpr int32_t kShards = 256;

// ---- the store -----------------------------------------------------------------------------

enum class Kind { kPublic = 0, kMember = 1, kVisitor = 2 };
constexpr std::array<Kind, 3> kKinds = {Kind::kPublic, Kind::kMember, Kind::kVisitor};

// What differs between the three tables: their texts and where their listings put "http://".
struct KindTexts {
  const char* clean_line;   // verbose line of every dropped url
  const char* list_start;   // start of a list line
  bool http_in_text_list;   // GetCacheList puts "http://" before the url
  bool http_in_queue_list;  // GetCacheList2X puts "http://" before the url
  const char* dump_line;    // exit dump line
};
const KindTexts& texts_of(Kind kind);

// The world outside the store: the clock, the settings and rule questions of the rules store,
// the random generator and the console. Tests put their own in.
struct Environment {
  int64_t (*now)() = nullptr;
  bool (*mem_cache_on)() = nullptr;
  bool (*icache_hit)(const char* url) = nullptr;
  bool (*fcache_hit)(const char* url) = nullptr;
  bool (*rcache_hit)(const char* url) = nullptr;
  int32_t (*random)() = nullptr;
  void (*console)(const char* line) = nullptr;
};
Environment live_environment();

// Page sizes of the pools; the live ones are fixed, tests shrink them to fill pools quickly.
struct Geometry {
  uint64_t body_page = kBodyPageSize;
  uint64_t small_page = kSmallPageSize;
  uint64_t node_page_limit = 1024;
  uint64_t entry_page_limit = 1024;
};

// Which pool could not be made; each has its own line.
enum class PoolFailure { kNone, kBody, kNode, kEntry, kHead };
const char* pool_failure_line(PoolFailure failure);

// Bytes of one pool, for tests that check every byte goes back.
struct PoolUse {
  uint64_t body, node, entry, head;
};

class Store {
 public:
  Store(const Sizing& sizing, const Environment& env, const Geometry& geometry = {});
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Makes the pools and the tables; the first pool that cannot be made is named.
  PoolFailure setup();
  void configure(const Settings& settings) { settings_ = settings; }
  const Settings& settings() const { return settings_; }
  uint64_t budget() const { return sizing_.budget; }

  // Module-wide figures.
  uint64_t cache_size() const;
  uint32_t entry_total() const;
  PoolUse pool_use() const;
  cu_xmem* body_pool() const { return body_pool_; }

  // The store of one response; the caller's queue is emptied whatever happens.
  void set_data_x(Kind kind, uint32_t type, const char* url, const char* head, cu_xjitter* body, uint32_t expire,
                  uint8_t content_class);
  void set_data(Kind kind, uint32_t type, const char* url, const char* head, cu_jitter* body, uint32_t expire,
                uint8_t content_class);

  // Look-ups and reads.
  bool check(Kind kind, const char* url, uint32_t* expire, char* tag);
  uint32_t get_expire(Kind kind, const char* url);
  bool refresh_expire(Kind kind, const char* url, uint32_t expire);
  bool add_access(Kind kind, const char* url, const char* tag);
  int32_t get_data(Kind kind, const char* url, bool check_tag, const char* tag, char* head, uint32_t head_capacity,
                   uint32_t from, uint32_t to, void* body);

  // Figures of one table, read without the lock.
  uint64_t table_size(Kind kind) const;
  uint32_t table_count(Kind kind) const;

  // Purges.
  void refresh_icache(Kind kind);
  void refresh_fcache(Kind kind);
  void refresh_rcache(Kind kind);
  void clean_this(Kind kind, const char* url);
  void clean_type(Kind kind, uint8_t type);
  bool clean_rules(Kind kind, const char* text, uint8_t icase, uint8_t rules);
  void clean_all(Kind kind);

  // Listings and the exit dump.
  void list_text(Kind kind, wtb* out);
  void list_queue(Kind kind, cu_jitter* out);
  void dump();

  // Frees entries until their body bytes reach target (or nothing is left to free).
  void replace(uint64_t target);

  bool has_tables() const;

 private:
  // The cache lock for one scope; re-entrant, so the store may call the replacement holding it.
  class Hold {
   public:
    explicit Hold(cu_sem* lock) : lock_(lock) {
      cu_sem_lock(lock_);
      ++tl_lock_takes;
    }
    ~Hold() { release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    void release() {
      if (lock_) cu_sem_unlock(lock_);
      lock_ = nullptr;
    }

   private:
    cu_sem* lock_;
  };
  // Entries taken off their tables, freed (and their dropped lines printed) once no shard is held.
  struct Dropped {
    std::vector<memcache_entry*> entries;
    std::vector<std::string> lines;
  };
  template <typename Source>
  void store(Kind kind, uint32_t type, const char* url, const char* head, Source& source, uint32_t expire,
             uint8_t content_class);
  memcache_entry* entry_new();
  void entry_free(memcache_entry* entry);
  memstore_table* table(Kind kind) const { return tables_[static_cast<int>(kind)]; }
  memstore_table* make_table(uint32_t slots);
  cu_sem* shard_of_bucket(int32_t bucket) const { return &shards_[bucket % kShards].lock; }
  // The shard of a url's bucket held for a scope (shard 0 for an absent table or an empty url),
  // and the url's node in the bucket.
  class UrlHold {
   public:
    UrlHold(const Store& store, Kind kind, const char* url)
        : table_(store.table(kind)),
          bucket_(table_ ? table_->bucket_of_key(url) : 0),
          url_(url),
          hold_(store.shard_of_bucket(bucket_)) {}
    Node* find() const { return table_ ? table_->find_in(bucket_, url_) : nullptr; }

   private:
    const memstore_table* table_;
    int32_t bucket_;
    const char* url_;
    Hold hold_;
  };
  // Visits every node from bucket `start` round to the one before it, holding each bucket's shard
  // while its chain is visited; stops when visit answers true.
  template <typename Visit>
  void walk_from(const memstore_table* t, int32_t start, Visit&& visit) const;
  // Unlinks every node drop() picks, bucket by bucket, and frees them outside the shard.
  template <typename Drop>
  void drop_where(Kind kind, Drop&& drop);
  // Unlinks the node (its shard held) and keeps its entry and dropped line for finish().
  void detach(Kind kind, Node* node, Dropped& dropped, bool say_line = true);
  void finish(Dropped& dropped);
  // Drops the url's entry when stored; answers the body bytes freed.
  uint64_t drop_url(Kind kind, const std::string& url);
  std::optional<std::string> find_victim(Kind kind, int phase, int64_t now) const;
  int32_t random_start(int32_t bucket_count) const;
  void say(const std::string& line) const;
  std::string list_line(Kind kind, const Node* node, bool http) const;
  // Every line list_line makes for the table, built bucket by bucket under each shard.
  std::vector<std::string> list_lines(Kind kind, bool http, int32_t start, bool dump_lines) const;

  struct alignas(64) Shard {
    cu_sem lock;
  };

  Sizing sizing_;
  Environment env_;
  Geometry geometry_;
  Settings settings_;
  Shard* shards_ = nullptr;
  cu_sem* pool_lock_ = nullptr;
  cu_xmem* body_pool_ = nullptr;
  cu_xmem* node_pool_ = nullptr;
  cu_xmem* entry_pool_ = nullptr;
  cu_xmem* head_pool_ = nullptr;
  std::array<memstore_table*, 3> tables_{};
  uint64_t baseline_ = 0;
};

template <typename Visit>
void Store::walk_from(const memstore_table* t, int32_t start, Visit&& visit) const {
  for (int32_t i = 0; i < t->bucket_count; ++i) {
    const int32_t bucket = (start + i) % t->bucket_count;
    if (t->looks_empty(bucket)) continue;
    Hold hold(shard_of_bucket(bucket));
    if (t->visit_bucket(bucket, visit)) return;
  }
}

// The process-wide store made by memstore_init; nullptr before it.
Store* instance();

// The module's init on an edge-server context, minus publishing the store: prints the init line,
// sizes and sets up the store (a pool that cannot be made ends the process), reads cache.ini.
Store* make_module_store(edgeserv_ctx* ctx, const Environment& env, const Geometry& geometry = {});
// The slots of the descriptor.
uint8_t memstore_init(edgeserv_ctx* ctx);
void memstore_exit(edgeserv_ctx* ctx);

// Calls into the rules store's cache rule families; see seams.cpp.
namespace seams {
bool icache_hit(const char* url);
bool fcache_hit(const char* url);
bool rcache_hit(const char* url);
}  // namespace seams

}  // namespace vor::memstore
