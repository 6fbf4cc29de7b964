// Purge and check of disk-cache entries by URL. A purge deletes the URL's index record from the
// three class stores and its cache file (through the file registry, so a file being read goes at
// its last close); a URL ending in "/*" also starts a scan that marks every entry under that path
// as expired, so its next hit revalidates. A check tells whether a URL is on disk and until when.
//
// Threads: the exports run on their caller's thread; each scan runs on a thread of its own, one
// at a time under the scan lock, beside every other user of the stores. The module's exit stops
// queued and running scans and waits for them before it closes the stores.
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <strings.h>

#include "cu_util.h"
#include "edgeserv.h"
#include "policydb.h"
#include "reqgate.h"
#include "reqgate_internal.h"
#include "seams.h"

namespace vor::reqgate {

namespace {

constexpr int32_t kScanStack = 128 * 1024;
constexpr size_t kRewriteBuffer = 4197;
constexpr size_t kHitHeaderValue = 4096;  // at most 4,095 characters
// The head the rewrite entries see for a check when they may set the hit headers.
constexpr char kCheckHead[] = "GET / HTTP/1.1\r\nConnection: close\r\n\r\n";

// Scans queue on the lock; running counts started scan threads until they end.
struct Scans {
  std::mutex lock;
  std::mutex state_mu;
  std::condition_variable idle;
  int running = 0;
  bool stopping = false;
};

Scans& scans() {
  static Scans* instance = new Scans();
  return *instance;
}

bool scans_stopping() {
  std::lock_guard<std::mutex> hold(scans().state_mu);
  return scans().stopping;
}

void scan_ended() {
  std::lock_guard<std::mutex> hold(scans().state_mu);
  if (--scans().running == 0) scans().idle.notify_all();
}

// Deletes the cache file a record names when its disk and folder are known.
void delete_file_of(uint8_t kind, const std::string& name, const char* record) {
  const std::string path = record_file_path(kind, name, record);
  if (!path.empty()) edgeserv_fdelete(path.c_str());
}

// A URL whose first "/*" ends it (or is followed by a blank or a tab) purges a path prefix.
bool is_prefix_url(const char* url) {
  const char* star = std::strstr(url, "/*");
  return star && (star[2] == '\0' || star[2] == ' ' || star[2] == '\t');
}

void scan_thread(void* arg) {
  std::unique_ptr<std::string> url(static_cast<std::string*>(arg));
  index_scan(url->c_str());
  url.reset();
  scan_ended();
}

// Marks one walked record expired at the stamp when it lies under the signature and expires
// later; true when the record was changed (and stored back with its walked length).
bool expire_record(vor_kv2* store, const char* key, char* record, int32_t len, const std::string& signature,
                   uint64_t stamp) {
  char up[kSignatureValueSize];
  if (!index_value(record, "up", up, sizeof up)) return false;
  if (std::strncmp(up, signature.c_str(), signature.size()) != 0) return false;
  if (index_hex(record, "ep", 0) <= stamp) return false;
  char hex[kNumberValueSize];
  std::snprintf(hex, sizeof hex, "%" PRIx64, stamp);
  index_drop_ep(record);
  index_append(record, "ep", hex);  // fits: the dropped value was at least as long
  return vor_kv2_put(store, 0, key, 32, record, len);
}

void expire_in(vor_kv2* store, const char* url, const std::string& signature, uint64_t stamp) {
  if (!store || !vor_kv2_Foreach_Rewind(store, 0)) return;
  char key[32];
  char record[kIndexRecordSize + 1];
  while (!scans_stopping()) {
    std::memset(record, 0, sizeof record);
    int32_t len = kIndexRecordSize;
    if (!vor_kv2_Foreach_GetNext(store, key, sizeof key, record, &len)) break;
    if (expire_record(store, key, record, len, signature, stamp)) {
      trace("[IndexScan -> Expired] %s -> %s\r\n", url, record);
    }
  }
  vor_kv2_Foreach_Cancel(store);
}

// The record a check finds: under the key's name, else under a name a rewrite entry put in a
// hit header of the check's head (with that setting on).
bool check_record(uint8_t kind, const std::string& key, http_parser* head, char* record) {
  if (seams::disk_calls().index_get(kind, file_name(key).c_str(), record)) return true;
  if (!settings().diskcache_rewrite_ext || !head) return false;
  char value[kHitHeaderValue];
  for (const char* name : {"Quo-Hit-Diskcache-Rewrite", "Quo-Hit-Request-Url"}) {
    if (http_parser_GetKey(head, name, value, sizeof value) && *value) {
      return seams::disk_calls().index_get(kind, file_name(value).c_str(), record);
    }
  }
  return false;
}

using Head = OwnedHead;

// The head a check hands to the rewrite entries: parsed from the fixed text when they may set
// the hit headers on it, else none.
Head check_head() {
  if (!settings().diskcache_rewrite_ext || rewrite_entry_count() == 0) return Head();
  Head head(http_parser_make());
  if (head) http_parser_parse(head.get(), kCheckHead, sizeof kCheckHead - 1);
  return head;
}

}  // namespace

std::string rewritten_disk_key(const char* url, http_parser* request) {
  if (rewrite_entry_count() > 0 && *url) {
    char buffer[kRewriteBuffer] = {};
    uint8_t skip = 0;
    if (call_rewrite_list(url, request, buffer, &skip, nullptr) && !skip) {
      return std::string(buffer, strnlen(buffer, sizeof buffer - 1));
    }
  }
  return url;
}

void purge_disk_exact(const char* url) {
  const std::string name = file_name(rewritten_disk_key(url, nullptr));
  for (uint8_t kind : {kPublic, kMember, kVisitor}) {
    char record[kIndexRecordSize + 1] = {};
    if (!seams::disk_calls().index_get(kind, name.c_str(), record)) continue;
    delete_file_of(kind, name, record);
    seams::disk_calls().index_del(kind, name.c_str());
  }
}

void invalidate_url(const char* cache_key) {
  for (int table = 0; table < 3; ++table) {
    if (memory_tables()[table].clean) memory_tables()[table].clean(cache_key);
  }
  if (policydb_system_get_IsDiskCache()) purge_disk_exact(cache_key);
  trace("[Invalidate] %s\r\n", cache_key);
}

bool invalidates(http_parser* request, http_parser* response) {
  const int status = status_code(response);
  if (status < 200 || status >= 400) return false;
  char method[8];
  if (!http_parser_GetMothod(request, method)) return false;
  return strcasecmp(method, "POST") == 0 || strcasecmp(method, "PUT") == 0 || strcasecmp(method, "DELETE") == 0;
}

bool index_scan_start(const char* url) {
  auto* copy = new (std::nothrow) std::string;
  if (!copy) return false;
  try {
    copy->assign(url);
  } catch (const std::bad_alloc&) {
    delete copy;
    return false;
  }
  {
    std::lock_guard<std::mutex> hold(scans().state_mu);
    ++scans().running;
  }
  uint32_t thread_id = 0;
  if (cu_CreateThread(&thread_id, kScanStack, scan_thread, copy)) return true;
  delete copy;
  scan_ended();
  return false;
}

void index_scan(const char* url) {
  const uint64_t now = static_cast<uint64_t>(edgeserv_mytime());
  const uint64_t stamp = now > 0 ? now - 1 : 0;
  const std::string signature = path_signature(url);
  std::lock_guard<std::mutex> hold(scans().lock);
  for (IndexStore id : {IndexStore::kPublic, IndexStore::kMember, IndexStore::kVisitor}) {
    expire_in(index_store(id), url, signature, stamp);
  }
}

size_t index_scans_running() {
  std::lock_guard<std::mutex> hold(scans().state_mu);
  return static_cast<size_t>(scans().running);
}

void stop_index_scans() {
  std::unique_lock<std::mutex> hold(scans().state_mu);
  scans().stopping = true;
  scans().idle.wait(hold, [] { return scans().running == 0; });
  scans().stopping = false;
}

}  // namespace vor::reqgate

using namespace vor::reqgate;

uint8_t reqgate_CleanDiskCache(const char* url) {
  if (!url) return 1;
  purge_disk_exact(url);
  if (is_prefix_url(url)) index_scan_start(url);
  return 1;
}

uint8_t reqgate_CheckDiskCache(uint8_t cache_kind, const char* url, uint32_t* expiry) {
  if (!url || !class_folder(cache_kind)) return 0;
  Head head = check_head();
  const std::string key = rewritten_disk_key(url, head.get());
  char record[kIndexRecordSize + 1] = {};
  if (!check_record(cache_kind, key, head.get(), record)) return 0;
  const uint64_t length = index_hex(record, "cl", UINT64_MAX);
  if (length != UINT64_MAX && length < policydb_system_get_MinDiskCacheContentSize()) return 0;
  if (expiry) *expiry = static_cast<uint32_t>(index_hex(record, "ep", 0));
  return 1;
}
