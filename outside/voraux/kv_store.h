// The store behind vor_kv2_* and vor_kv_*: a SQLite file in WAL mode holding
// kv(k BLOB PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID and a meta table.
//
// Threads: the request-path connection serves get, put, del and the walks under req_mu_; a
// second connection serves checkpoints under maint_mu_, so no get waits on an fsync. Commits do
// not checkpoint: a log past kCheckpointBytes is handed to one background thread of the process.
#pragma once
#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace voraux {

// Calls in progress against a store that may be closed under them.
class CallGate {
 public:
  bool enter();
  void leave();
  // Refuses new calls and waits for those in progress; false when already closed.
  bool close();

 private:
  std::mutex mu_;
  std::condition_variable idle_;
  int32_t active_ = 0;
  bool closed_ = false;
};

class KvStore : public std::enable_shared_from_this<KvStore> {
 public:
  static constexpr int64_t kCheckpointBytes = 4 << 20;
  static constexpr int32_t kRefillKeys = 256;

  struct Options {
    bool read_only = false;
    int32_t cache_mib = 2;
  };

  static std::shared_ptr<KvStore> open(const std::string& path, const Options& options);
  ~KvStore();
  KvStore(const KvStore&) = delete;
  KvStore& operator=(const KvStore&) = delete;

  bool put(const void* key, int32_t key_len, const void* value, int32_t value_len);
  bool get(const void* key, int32_t key_len, void* value, int32_t* value_len);
  bool del(const void* key, int32_t key_len);

  bool rewind();
  bool next(void* key, int32_t key_len, void* value, int32_t* value_len);
  void cancel();

  static constexpr uint64_t kAbsent = ~uint64_t{0};
  uint64_t count();
  uint64_t nbuckets();
  uint64_t size();

  bool flush();        // passive checkpoint
  bool checkpoint();   // truncating checkpoint
  bool defrag();
  bool clear();
  void shut();         // halfclose: the object stays usable and answers as closed
  void background_checkpoint();

 private:
  struct Cursor {
    std::string last;
    bool started = false;
    bool exhausted = false;
    std::vector<std::string> keys;  // fetched, not yet returned
    size_t next_key = 0;
  };
  class Call;

  KvStore(std::string path, bool read_only) : path_(std::move(path)), read_only_(read_only) {}
  bool open_files(const Options& options);
  bool open_request_connection(bool create, const Options& options);
  bool open_maintenance_connection();
  bool prepare_statements();
  bool refill(Cursor& cursor);
  bool read_value(const std::string& key, void* value, int32_t* value_len);
  bool run_checkpoint(int mode);
  void close_connections();
  static int on_commit(void* self, sqlite3* db, const char* name, int pages);

  const std::string path_;
  const bool read_only_;
  CallGate gate_;
  std::atomic<uint64_t> count_{0};
  uint64_t nbuckets_ = 0;
  int64_t page_size_ = 4096;
  std::atomic<bool> checkpoint_queued_{false};

  std::mutex req_mu_;
  sqlite3* req_ = nullptr;
  sqlite3_stmt* exists_stmt_ = nullptr;
  sqlite3_stmt* put_stmt_ = nullptr;
  sqlite3_stmt* get_stmt_ = nullptr;
  sqlite3_stmt* del_stmt_ = nullptr;
  sqlite3_stmt* first_keys_stmt_ = nullptr;
  sqlite3_stmt* next_keys_stmt_ = nullptr;

  std::mutex maint_mu_;
  sqlite3* maint_ = nullptr;

  std::mutex cursors_mu_;
  std::map<uint32_t, Cursor> cursors_;  // by thread id
};

}  // namespace voraux
