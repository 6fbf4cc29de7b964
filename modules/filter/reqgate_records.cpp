// Filter records: one per proxied response, found by client sid and by response sid under the
// filter lock (which guards the two hashes only), with the memory copy of the body taken from
// the shared body pool.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "cu_sem.h"
#include "cu_xmem.h"
#include "reqgate_internal.h"
#include "upfetch_request.h"
#include "seams.h"

namespace vor::reqgate {

namespace {

constexpr uint64_t kBodyPage = 4ull << 20;
constexpr uint64_t kBodyPages = 17;
constexpr uint64_t kBodyBlock = 2048;
constexpr uint64_t kBodyBlocks = 1024;

struct Tables {
  std::mutex lock;  // the filter lock
  std::unordered_map<int64_t, FilterRecord*> by_client;
  std::unordered_map<int64_t, FilterRecord*> by_response;
  // Every slave thread copies bodies from this one pool: it takes its own lock.
  cu_xmem* body_pool = cu_xmem_init_ext_ext(cu_sem_malloc(), kBodyPage, kBodyPages, 32, false, nullptr, nullptr,
                                            nullptr);
};

Tables& tables() {
  static Tables* instance = new Tables();
  return *instance;
}

// Removes the client's record from both hashes when the test allows; the record is then ours.
FilterRecord* take_record(int64_t client_sid, bool only_when_complete, Lookup& found) {
  std::lock_guard<std::mutex> hold(tables().lock);
  const auto it = tables().by_client.find(client_sid);
  if (it == tables().by_client.end()) {
    found = Lookup::kNone;
    return nullptr;
  }
  FilterRecord* record = it->second;
  if (only_when_complete && !integrity_complete(record->integrity)) {
    found = Lookup::kIncomplete;
    return record;
  }
  tables().by_client.erase(it);
  tables().by_response.erase(record->response_sid);
  found = Lookup::kFinished;
  return record;
}

bool memory_copy_sound(FilterRecord& record) {
  const char* key = record.decision.cache_key.c_str();
  return check_content(record.response, &record.body, key) || check_chunked(record.response, &record.body, key);
}

}  // namespace

FilterRecord::~FilterRecord() {
  cu_xjitter_destroy(&body);
  http_parser_free(request);
  http_parser_free(response);
}

FilterRecord* make_record(int64_t client_sid, http_parser* request, int64_t response_sid, const char* cache_key) {
  auto record = std::make_unique<FilterRecord>();
  record->client_sid = client_sid;
  record->response_sid = response_sid;
  record->request = http_parser_clone(request);
  record->response = http_parser_make();
  if (!record->request || !record->response) return nullptr;
  cu_xjitter_init(&record->body, tables().body_pool, kBodyBlock, kBodyBlocks);
  record->owner_thread = static_cast<uint64_t>(syscall(SYS_gettid));
  record->decision.cache_key = cache_key ? cache_key : "";
  return record.release();
}

void init_body_queue(cu_xjitter* body) { cu_xjitter_init(body, tables().body_pool, kBodyBlock, kBodyBlocks); }

FilterRecord* new_record(int64_t client_sid, http_parser* request, int64_t response_sid, const char* cache_key) {
  std::unique_ptr<FilterRecord> record(make_record(client_sid, request, response_sid, cache_key));
  if (!record) return nullptr;
  std::lock_guard<std::mutex> hold(tables().lock);
  if (tables().by_client.count(client_sid) || tables().by_response.count(response_sid)) return nullptr;
  tables().by_client[client_sid] = record.get();
  tables().by_response[response_sid] = record.get();
  return record.release();
}

bool register_record(FilterRecord* record) {
  FilterRecord* replaced = nullptr;
  {
    std::lock_guard<std::mutex> hold(tables().lock);
    const auto old = tables().by_client.find(record->client_sid);
    if (old != tables().by_client.end()) {
      replaced = old->second;
      tables().by_client.erase(old);
      tables().by_response.erase(replaced->response_sid);
    }
    if (!tables().by_response.count(record->response_sid)) {
      tables().by_client[record->client_sid] = record;
      tables().by_response[record->response_sid] = record;
      record = nullptr;
    }
  }
  if (replaced) {
    // Freed unfinished: its cache file is abandoned, never committed half-written.
    if (replaced->writing) writer_abort(replaced->cache_file_path.c_str());
    delete replaced;
  }
  return record == nullptr;
}

FilterRecord* take_by_response(int64_t response_sid) {
  std::lock_guard<std::mutex> hold(tables().lock);
  const auto it = tables().by_response.find(response_sid);
  if (it == tables().by_response.end()) return nullptr;
  FilterRecord* record = it->second;
  tables().by_response.erase(it);
  tables().by_client.erase(record->client_sid);
  return record;
}

void for_each_record(void (*fn)(FilterRecord& record, void* arg), void* arg) {
  std::lock_guard<std::mutex> hold(tables().lock);
  for (auto& [sid, record] : tables().by_response) fn(*record, arg);
}

std::mutex& filter_lock() { return tables().lock; }

void set_cache_kind(FilterRecord& record, uint8_t kind) {
  record.decision.cache_kind = kind;
  record.shared_kind.store(kind, std::memory_order_relaxed);
}

bool append_body(FilterRecord& record, const char* data, uint64_t len) {
  if (!record.decision.keep_memory_copy) return false;
  // The pool may take fewer bytes than the queue promised: a short copy is never kept.
  if (cu_xjitter_SetData(&record.body, data, len) == len) return true;
  cu_xjitter_empty(&record.body);
  record.decision.keep_memory_copy = 0;
  return false;
}

Lookup finish_client_record(int64_t client_sid, bool only_when_complete, std::string* old_key) {
  Lookup found = Lookup::kNone;
  FilterRecord* record = take_record(client_sid, only_when_complete, found);
  if (old_key && record) *old_key = record->decision.cache_key;
  if (found != Lookup::kFinished) return found;
  std::unique_ptr<FilterRecord> owned(record);
  store_memory_copy(*record);
  if (record->writing) end_cache_file(*record);
  apply_purge_mark(*record);
  access_log_miss(*record);
  return found;
}

void store_memory_copy(FilterRecord& record) {
  const uint8_t kind = record.decision.cache_kind;
  if (record.decision.keep_memory_copy && kind >= kPublic && kind <= kVisitor &&
      integrity_complete(record.integrity) && memory_copy_sound(record)) {
    store_memory(record);
  }
}

FilterRecord* record_by_response(int64_t response_sid) {
  if (response_sid < 1) return nullptr;
  std::lock_guard<std::mutex> hold(tables().lock);
  const auto it = tables().by_response.find(response_sid);
  return it == tables().by_response.end() ? nullptr : it->second;
}

uint64_t pools_in_use() {
  std::lock_guard<std::mutex> hold(tables().lock);
  return cu_xmem_used_space_size(tables().body_pool);
}

std::vector<std::string>& spider_list() {
  static std::vector<std::string> list;
  return list;
}

bool is_spider(http_parser* request) {
  char agent[1024];
  if (!http_parser_GetKey(request, "User-Agent", agent, sizeof agent)) return false;
  for (const std::string& s : spider_list()) {
    if (std::strstr(agent, s.c_str())) return true;
  }
  return false;
}

char* request_key(http_parser* request, char* out) {
  char method[8];
  char host[200];
  char target[4096];
  if (!request || !out || !http_parser_GetMothod(request, method) ||
      !http_parser_GetKey(request, "Host", host, sizeof host)) {
    return nullptr;
  }
  std::string key = host;
  if (std::strcmp(method, "CONNECT") != 0) {
    if (!http_parser_GetRequest(request, target, sizeof target)) return nullptr;
    std::string_view path(target);
    if (starts_ignore_case(path, "http://")) path.remove_prefix(std::min(path.size(), 7 + key.size()));
    key += path;
  }
  if (key.size() >= 4096) key.resize(4095);
  std::memcpy(out, key.c_str(), key.size() + 1);
  return out;
}

}  // namespace vor::reqgate
