#include "kv_store.h"

#include "cu_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>

namespace voraux {

namespace {

constexpr char kFormat[] = "vor_kv2 1";
constexpr int kBusyTimeoutMs = 5000;
constexpr int32_t kCheckpointThreadStack = 256 * 1024;
constexpr int32_t kVacuumPagesPerStep = 256;
constexpr int32_t kMaxVacuumSteps = 1 << 20;

// auto_vacuum must be chosen before the first table exists.
constexpr char kCreateSchema[] =
    "PRAGMA auto_vacuum=INCREMENTAL;"
    "PRAGMA journal_mode=WAL;"
    "BEGIN;"
    "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE kv(k BLOB PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID;"
    "INSERT INTO meta VALUES('format', 'vor_kv2 1');"
    "COMMIT;";

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// The first column of the first row as text; false when the query fails or gives no row.
bool query_text(sqlite3* db, const char* sql, std::string* out) {
  sqlite3_stmt* stmt = nullptr;
  bool ok = false;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    *out = text ? text : "";
    ok = true;
  }
  sqlite3_finalize(stmt);
  return ok;
}

bool query_int(sqlite3* db, const char* sql, int64_t* out) {
  std::string text;
  if (!query_text(db, sql, &text)) return false;
  *out = std::strtoll(text.c_str(), nullptr, 10);
  return true;
}

int64_t file_size(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// Resets a cached statement when the call that used it ends, on every path.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~StatementUse() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  sqlite3_stmt* operator->() const { return stmt_; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_;
};

void bind_blob(sqlite3_stmt* stmt, int index, const void* data, int32_t len) {
  if (len == 0) {
    sqlite3_bind_zeroblob(stmt, index, 0);
  } else {
    sqlite3_bind_blob(stmt, index, data, len, SQLITE_STATIC);
  }
}

void copy_out(sqlite3_stmt* stmt, int column, void* out, int32_t* len) {
  const int32_t have = sqlite3_column_bytes(stmt, column);
  const int32_t n = std::min(have, *len);
  if (n > 0) std::memcpy(out, sqlite3_column_blob(stmt, column), static_cast<size_t>(n));
  *len = n;
}

// One thread of the process checkpoints every store whose log grew past kCheckpointBytes, so
// that no request thread ever waits for that copy and its fsync.
class Checkpointer {
 public:
  static Checkpointer& instance() {
    static auto* the_checkpointer = new Checkpointer;  // lives as long as its detached thread
    return *the_checkpointer;
  }

  void request(std::weak_ptr<KvStore> store) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(store));
    if (!started_) {
      uint32_t id = 0;
      started_ = cu_CreateThread(&id, kCheckpointThreadStack, &Checkpointer::run, this);
    }
    wake_.notify_one();
  }

 private:
  static void run(void* arg) { static_cast<Checkpointer*>(arg)->serve(); }

  [[noreturn]] void serve() {
    for (;;) {
      std::weak_ptr<KvStore> next;
      {
        std::unique_lock<std::mutex> lock(mu_);
        wake_.wait(lock, [this] { return !queue_.empty(); });
        next = std::move(queue_.front());
        queue_.pop_front();
      }
      if (auto store = next.lock()) store->background_checkpoint();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::weak_ptr<KvStore>> queue_;
  bool started_ = false;
};

}  // namespace

bool CallGate::enter() {
  std::lock_guard<std::mutex> lock(mu_);
  if (closed_) return false;
  ++active_;
  return true;
}

void CallGate::leave() {
  std::lock_guard<std::mutex> lock(mu_);
  if (--active_ == 0) idle_.notify_all();
}

bool CallGate::close() {
  std::unique_lock<std::mutex> lock(mu_);
  if (closed_) return false;
  closed_ = true;
  idle_.wait(lock, [this] { return active_ == 0; });
  return true;
}

// One call on an open store: false when the store is closed.
class KvStore::Call {
 public:
  explicit Call(CallGate& gate) : gate_(gate), entered_(gate.enter()) {}
  ~Call() {
    if (entered_) gate_.leave();
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  explicit operator bool() const { return entered_; }

 private:
  CallGate& gate_;
  bool entered_;
};

std::shared_ptr<KvStore> KvStore::open(const std::string& path, const Options& options) {
  if (path.empty()) return nullptr;
  std::shared_ptr<KvStore> store(new KvStore(path, options.read_only));
  if (!store->open_files(options)) {
    store->close_connections();
    store->gate_.close();
    return nullptr;
  }
  return store;
}

KvStore::~KvStore() { shut(); }

bool KvStore::open_files(const Options& options) {
  const bool exists = file_exists(path_);
  if (read_only_) {
    if (!exists) return false;
  } else if (!exists) {
    // A log left beside a deleted store would be replayed into the new one.
    unlink((path_ + "-wal").c_str());
    unlink((path_ + "-shm").c_str());
  }
  const int64_t cache_mib = options.cache_mib > 0 ? options.cache_mib : 2;
  nbuckets_ = std::max<uint64_t>(static_cast<uint64_t>(cache_mib) * 4096, 65536);
  return open_request_connection(!exists, options) && prepare_statements() &&
         (read_only_ || open_maintenance_connection());
}

bool KvStore::open_request_connection(bool create, const Options& options) {
  const int flags = (read_only_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0)) |
                    SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path_.c_str(), &req_, flags, nullptr) != SQLITE_OK) return false;
  sqlite3_busy_timeout(req_, kBusyTimeoutMs);
  if (create && !exec(req_, kCreateSchema)) return false;
  std::string text;
  if (!query_text(req_, "SELECT value FROM meta WHERE name='format'", &text) || text != kFormat) return false;
  if (read_only_) {
    int64_t n = 0;
    if (!query_int(req_, "SELECT count(*) FROM kv", &n)) return false;
    count_ = static_cast<uint64_t>(n);
    return true;
  }
  // A store not closed by halfclose or close is checked before use.
  if (!query_text(req_, "SELECT value FROM meta WHERE name='clean'", &text)) text = create ? "1" : "0";
  if (text != "1" && (!query_text(req_, "PRAGMA quick_check", &text) || text != "ok")) return false;

  const std::string cache = "PRAGMA cache_size=-" + std::to_string(int64_t{options.cache_mib > 0 ? options.cache_mib : 2} * 1024);
  int64_t n = 0;
  if (!exec(req_, "PRAGMA journal_mode=WAL") || !exec(req_, "PRAGMA synchronous=NORMAL") ||
      !exec(req_, "PRAGMA journal_size_limit=4194304") || !exec(req_, cache.c_str()) ||
      !exec(req_, "INSERT OR REPLACE INTO meta VALUES('clean', '0')") ||
      !query_int(req_, "PRAGMA page_size", &page_size_) || !query_int(req_, "SELECT count(*) FROM kv", &n)) {
    return false;
  }
  count_ = static_cast<uint64_t>(n);
  // Commits never checkpoint on the request path; on_commit hands a long log to the checkpointer.
  sqlite3_wal_autocheckpoint(req_, 0);
  sqlite3_wal_hook(req_, &KvStore::on_commit, this);
  return true;
}

bool KvStore::open_maintenance_connection() {
  if (sqlite3_open_v2(path_.c_str(), &maint_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    return false;
  }
  sqlite3_busy_timeout(maint_, kBusyTimeoutMs);
  sqlite3_wal_autocheckpoint(maint_, 0);
  return exec(maint_, "PRAGMA synchronous=NORMAL");
}

bool KvStore::prepare_statements() {
  struct {
    sqlite3_stmt** stmt;
    const char* sql;
  } const statements[] = {
      {&exists_stmt_, "SELECT 1 FROM kv WHERE k=?1"},
      {&put_stmt_, "INSERT OR REPLACE INTO kv(k, v) VALUES(?1, ?2)"},
      {&get_stmt_, "SELECT v FROM kv WHERE k=?1"},
      {&del_stmt_, "DELETE FROM kv WHERE k=?1"},
      {&first_keys_stmt_, "SELECT k FROM kv ORDER BY k LIMIT 256"},
      {&next_keys_stmt_, "SELECT k FROM kv WHERE k > ?1 ORDER BY k LIMIT 256"},
  };
  static_assert(kRefillKeys == 256, "the LIMIT of the walk statements");
  for (const auto& s : statements) {
    if (sqlite3_prepare_v3(req_, s.sql, -1, SQLITE_PREPARE_PERSISTENT, s.stmt, nullptr) != SQLITE_OK) return false;
  }
  return true;
}

void KvStore::close_connections() {
  for (sqlite3_stmt** stmt : {&exists_stmt_, &put_stmt_, &get_stmt_, &del_stmt_, &first_keys_stmt_, &next_keys_stmt_}) {
    sqlite3_finalize(*stmt);
    *stmt = nullptr;
  }
  // The last connection to close copies what is left of the log and deletes it.
  sqlite3_close_v2(req_);
  req_ = nullptr;
  sqlite3_close_v2(maint_);
  maint_ = nullptr;
}

int KvStore::on_commit(void* self, sqlite3* /*db*/, const char* /*name*/, int pages) {
  auto* store = static_cast<KvStore*>(self);
  if (int64_t{pages} * store->page_size_ >= kCheckpointBytes && !store->checkpoint_queued_.exchange(true)) {
    Checkpointer::instance().request(store->weak_from_this());
  }
  return SQLITE_OK;
}

bool KvStore::put(const void* key, int32_t key_len, const void* value, int32_t value_len) {
  if (!key || key_len <= 0 || value_len < 0 || (!value && value_len > 0)) return false;
  Call call(gate_);
  if (!call || read_only_) return false;
  std::lock_guard<std::mutex> lock(req_mu_);
  bool existed = false;
  {
    StatementUse exists(exists_stmt_);
    bind_blob(exists.get(), 1, key, key_len);
    const int rc = sqlite3_step(exists.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
    existed = rc == SQLITE_ROW;
  }
  StatementUse put(put_stmt_);
  bind_blob(put.get(), 1, key, key_len);
  bind_blob(put.get(), 2, value, value_len);
  if (sqlite3_step(put.get()) != SQLITE_DONE) return false;
  if (!existed) count_.fetch_add(1);
  return true;
}

bool KvStore::read_value(const std::string& key, void* value, int32_t* value_len) {
  StatementUse get(get_stmt_);
  bind_blob(get.get(), 1, key.data(), static_cast<int32_t>(key.size()));
  if (sqlite3_step(get.get()) != SQLITE_ROW) return false;
  copy_out(get.get(), 0, value, value_len);
  return true;
}

bool KvStore::get(const void* key, int32_t key_len, void* value, int32_t* value_len) {
  if (!key || key_len <= 0 || !value_len || *value_len < 0 || (!value && *value_len > 0)) return false;
  Call call(gate_);
  if (!call) return false;
  std::lock_guard<std::mutex> lock(req_mu_);
  return read_value(std::string(static_cast<const char*>(key), static_cast<size_t>(key_len)), value, value_len);
}

bool KvStore::del(const void* key, int32_t key_len) {
  if (!key || key_len <= 0) return false;
  Call call(gate_);
  if (!call || read_only_) return false;
  std::lock_guard<std::mutex> lock(req_mu_);
  StatementUse del(del_stmt_);
  bind_blob(del.get(), 1, key, key_len);
  if (sqlite3_step(del.get()) != SQLITE_DONE || sqlite3_changes(req_) == 0) return false;
  count_.fetch_sub(1);
  return true;
}

bool KvStore::rewind() {
  Call call(gate_);
  if (!call) return false;
  std::lock_guard<std::mutex> lock(cursors_mu_);
  cursors_[cu_GetThisThreadId()] = Cursor{};
  return true;
}

bool KvStore::refill(Cursor& cursor) {
  std::lock_guard<std::mutex> lock(req_mu_);
  StatementUse keys(cursor.started ? next_keys_stmt_ : first_keys_stmt_);
  if (cursor.started) bind_blob(keys.get(), 1, cursor.last.data(), static_cast<int32_t>(cursor.last.size()));
  cursor.keys.clear();
  cursor.next_key = 0;
  int rc;
  while ((rc = sqlite3_step(keys.get())) == SQLITE_ROW) {
    const auto* k = static_cast<const char*>(sqlite3_column_blob(keys.get(), 0));
    cursor.keys.emplace_back(k ? k : "", static_cast<size_t>(sqlite3_column_bytes(keys.get(), 0)));
  }
  cursor.started = true;
  cursor.exhausted = cursor.keys.size() < static_cast<size_t>(kRefillKeys);
  return rc == SQLITE_DONE;
}

bool KvStore::next(void* key, int32_t key_len, void* value, int32_t* value_len) {
  if (!key || key_len < 0 || !value_len || *value_len < 0 || (!value && *value_len > 0)) return false;
  Call call(gate_);
  if (!call) return false;
  Cursor* cursor = nullptr;
  {
    // Only the owning thread touches its cursor; the map lock guards the map alone.
    std::lock_guard<std::mutex> lock(cursors_mu_);
    auto it = cursors_.find(cu_GetThisThreadId());
    if (it == cursors_.end()) return false;
    cursor = &it->second;
  }
  const int32_t room = *value_len;
  for (;;) {
    if (cursor->next_key >= cursor->keys.size()) {
      if (cursor->exhausted || !refill(*cursor) || cursor->keys.empty()) return false;
    }
    cursor->last = std::move(cursor->keys[cursor->next_key++]);
    *value_len = room;
    std::lock_guard<std::mutex> lock(req_mu_);
    if (read_value(cursor->last, value, value_len)) break;  // else deleted since the refill
  }
  std::memcpy(key, cursor->last.data(), std::min(cursor->last.size(), static_cast<size_t>(key_len)));
  return true;
}

void KvStore::cancel() {
  std::lock_guard<std::mutex> lock(cursors_mu_);
  cursors_.erase(cu_GetThisThreadId());
}

uint64_t KvStore::count() {
  Call call(gate_);
  return call ? count_.load() : kAbsent;
}

uint64_t KvStore::nbuckets() {
  Call call(gate_);
  return call ? nbuckets_ : kAbsent;
}

uint64_t KvStore::size() {
  Call call(gate_);
  return call ? static_cast<uint64_t>(file_size(path_) + file_size(path_ + "-wal")) : kAbsent;
}

bool KvStore::run_checkpoint(int mode) {
  std::lock_guard<std::mutex> lock(maint_mu_);
  return sqlite3_wal_checkpoint_v2(maint_, nullptr, mode, nullptr, nullptr) == SQLITE_OK;
}

bool KvStore::flush() {
  Call call(gate_);
  return call && !read_only_ && run_checkpoint(SQLITE_CHECKPOINT_PASSIVE);
}

bool KvStore::checkpoint() {
  Call call(gate_);
  return call && !read_only_ && run_checkpoint(SQLITE_CHECKPOINT_TRUNCATE);
}

void KvStore::background_checkpoint() {
  Call call(gate_);
  checkpoint_queued_ = false;  // commits from now on may ask again
  if (call) run_checkpoint(SQLITE_CHECKPOINT_PASSIVE);
}

bool KvStore::defrag() {
  Call call(gate_);
  if (!call || read_only_) return false;
  int64_t previous = -1;
  // One step at a time, so gets and puts get the connection between steps.
  for (int32_t step = 0; step < kMaxVacuumSteps; ++step) {
    std::lock_guard<std::mutex> lock(req_mu_);
    int64_t free_pages = 0;
    if (!query_int(req_, "PRAGMA freelist_count", &free_pages)) return false;
    if (free_pages == 0 || free_pages == previous) return true;  // done, or not a vacuumable file
    previous = free_pages;
    const std::string sql = "PRAGMA incremental_vacuum(" + std::to_string(kVacuumPagesPerStep) + ")";
    if (!exec(req_, sql.c_str())) return false;
  }
  return true;
}

bool KvStore::clear() {
  Call call(gate_);
  if (!call || read_only_) return false;
  std::lock_guard<std::mutex> lock(req_mu_);
  if (!exec(req_, "DELETE FROM kv")) return false;
  count_ = 0;
  return true;
}

void KvStore::shut() {
  if (!gate_.close()) return;
  if (!read_only_) {
    {
      std::lock_guard<std::mutex> lock(req_mu_);
      exec(req_, "INSERT OR REPLACE INTO meta VALUES('clean', '1')");
    }
    run_checkpoint(SQLITE_CHECKPOINT_TRUNCATE);
  }
  std::scoped_lock lock(req_mu_, maint_mu_, cursors_mu_);
  close_connections();
  cursors_.clear();
}

}  // namespace voraux
