// Disk cleaning and index cleaning: the disk cache has no expiry sweep and no size accounting, so
// background passes keep it in bounds by deleting a random fifth of it. A disk found full gets a
// pass over every folder of its cache tree (files nobody has open go, with their index records);
// an index store that outgrew its buckets gets a pass over its records (each drawn record goes,
// with its cache file). One pass per disk and per store at a time; each ends after one walk.
//
// Threads: passes run on threads of their own beside the slave threads that read and write the
// same stores and folders; files are deleted only through the open-file registry. The module
// exit asks running passes to end after their current entry and waits for them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "cu_file.h"
#include "cu_lib.h"
#include "cu_log.h"
#include "cu_util.h"
#include "edgeserv.h"
#include "policydb.h"
#include "reqgate_internal.h"
#include "seams.h"
#include "vor_kv2.h"

namespace vor::reqgate {

namespace {

constexpr int32_t kPassStack = 256 * 1024;
constexpr int32_t kOneIn = 5;  // a file or record is drawn when its draw is divisible by this
constexpr uint32_t kSsdPauseMs = 10;
constexpr uint32_t kHddPauseMs = 20;
constexpr uint32_t kRecordPauseMs = 20;
constexpr size_t kDiskPathSize = 1024;  // at most 1023 characters
constexpr size_t kNameSize = 32;
constexpr uint64_t kAbsent = ~uint64_t{0};
constexpr std::array<uint8_t, 3> kClassKinds = {kPublic, kMember, kVisitor};
constexpr std::array<IndexStore, 3> kClassStores = {IndexStore::kPublic, IndexStore::kMember, IndexStore::kVisitor};

// The passes running, by disk and by store, and the exit's stop request. One lock guards both
// sets, so the exit waits on one condition for both to empty.
struct Passes {
  std::mutex lock;
  std::condition_variable ended;
  std::set<uint32_t> disks;
  std::set<IndexStore> stores;
  bool stopping = false;
};

// Lives for the process: a pass may still be ending while the module exits.
Passes& passes() {
  static Passes* instance = new Passes();
  return *instance;
}

bool stop_requested() {
  Passes& p = passes();
  std::lock_guard<std::mutex> hold(p.lock);
  return p.stopping;
}

// Adds key to running and starts body(arg) on a new thread, unless key runs already, the thread
// cannot start (the next trigger tries again) or the module is exiting.
template <typename Key>
bool start_pass(std::set<Key>& running, Key key, cu_thread_func body, void* arg) {
  Passes& p = passes();
  std::lock_guard<std::mutex> hold(p.lock);
  if (p.stopping || running.count(key)) return false;
  uint32_t thread_id = 0;
  // The thread's end takes the lock to leave the set: it cannot do so before the insert.
  if (!cu_CreateThread(&thread_id, kPassStack, body, arg)) return false;
  running.insert(key);
  return true;
}

// Every end of a pass, early or not, takes it out of its set: the next trigger starts it again.
template <typename Key>
void end_pass(std::set<Key>& running, Key key) {
  Passes& p = passes();
  std::lock_guard<std::mutex> hold(p.lock);
  running.erase(key);
  p.ended.notify_all();
}

void log_warning(const char* text) {
  edgeserv_ctx* ctx = edge_context();
  if (ctx && ctx->log) cu_log_warn(ctx->log, "%s", text);
}

bool drawn() { return clean_calls().draw() % kOneIn == 0; }

// False when the disk is unknown or not used.
bool disk_path_of(uint32_t disk, char (&path)[kDiskPathSize]) {
  return seams::disk_calls().disk_path(disk, path, sizeof path);
}

// A regular file by its listing's type, or by lstat when the file system gives none; links,
// folders and everything else are not.
bool regular_file(DIR* dir, const dirent& entry) {
  if (entry.d_type == DT_REG) return true;
  if (entry.d_type != DT_UNKNOWN) return false;
  struct stat st {};
  return fstatat(dirfd(dir), entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// A drawn file goes with its index record unless the registry knows its path (being read,
// written or deleted).
void clean_file(uint8_t kind, const std::string& folder, const char* name) {
  const std::string path = folder + '/' + name;
  if (edgeserv_fexist(path.c_str())) return;
  index_del(kind, name);
  edgeserv_fdelete(path.c_str());
}

// One digit folder: about one cache file in five goes; folders, links and names shorter than a
// cache file's are passed over. A pause follows every drawn file.
void dclean_folder(uint32_t disk, uint8_t kind, const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  const uint32_t pause = policydb_diskno_IsSSD(static_cast<int32_t>(disk)) ? kSsdPauseMs : kHddPauseMs;
  while (const dirent* entry = readdir(dir)) {
    if (stop_requested()) break;
    if (strnlen(entry->d_name, kNameSize) < kNameSize || !regular_file(dir, *entry) || !drawn()) continue;
    clean_file(kind, folder, entry->d_name);
    clean_calls().pause(pause);
  }
  closedir(dir);
}

// One class folder: every folder number of the current depth, each followed by clearing the
// disk's full mark, so the disk takes new files again once the first folder is done.
void dclean_kind(uint32_t disk, const char* disk_path, uint8_t kind) {
  const std::string class_path = join_path(disk_path, class_folder(kind), "", "", "");
  struct stat st {};
  if (stat(class_path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  const uint32_t count = folder_count(policydb_system_get_DiskCacheDirectoryDepth());
  for (uint32_t number = 0; number < count && !stop_requested(); ++number) {
    dclean_folder(disk, kind, join_path(disk_path, class_folder(kind), std::to_string(number), "", ""));
    policydb_diskno_SetUnfull(static_cast<int32_t>(disk));
  }
}

uint8_t kind_of(IndexStore store) {
  switch (store) {
    case IndexStore::kMember:
      return kMember;
    case IndexStore::kVisitor:
      return kVisitor;
    default:
      return kPublic;
  }
}

// A text of one or more characters, each of them allowed.
// A store key names a file only when its 32 bytes hold no NUL and no folder separator.
bool file_key(const char (&key)[kNameSize]) {
  const std::string_view name(key, kNameSize);
  return name.find_first_of(std::string_view("\0/\\", 3)) == std::string_view::npos;
}

// The cache file of a class store's record, when the record soundly names one.
void delete_record_file(IndexStore store, const char (&key)[kNameSize], const char* record, size_t size) {
  const std::string path = record_file_path(kind_of(store), std::string_view(key, kNameSize), record, size);
  if (path.empty()) return;
  if (console_trace() && cu_file1_IsExist(path.c_str())) trace("[IndexClean -> DiskClean] %s\r\n", path.c_str());
  edgeserv_fdelete(path.c_str());
}

// A drawn record goes, with its cache file when it is a class store's and names one. The key is
// printed as its 32 bytes and the record no further than its value.
void clean_record(IndexStore store, vor_kv2* handle, const char (&key)[kNameSize], const char* record,
                  size_t size) {
  trace("[IndexClean] %.32s -> %.*s\r\n", key, static_cast<int>(strnlen(record, size)), record);
  if (store != IndexStore::kContent && file_key(key)) delete_record_file(store, key, record, size);
  vor_kv2_del(handle, 0, key, kNameSize);
}

void dclean_thread(void* arg) {
  const auto disk = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
  dclean_pass(disk);
  end_pass(passes().disks, disk);
}

void iclean_thread(void* arg) {
  const auto store = static_cast<IndexStore>(reinterpret_cast<uintptr_t>(arg));
  iclean_pass(store);
  end_pass(passes().stores, store);
}

int32_t random_draw() { return cu_RandomValue(); }
void sleep_ms(uint32_t ms) { cu_sleep(ms); }

}  // namespace

CleanCalls& clean_calls() {
  static CleanCalls calls{random_draw, sleep_ms};
  return calls;
}

bool dclean_start(uint32_t disk) {
  return start_pass(passes().disks, disk, dclean_thread, reinterpret_cast<void*>(static_cast<uintptr_t>(disk)));
}

bool iclean_start(IndexStore store) {
  return start_pass(passes().stores, store, iclean_thread, reinterpret_cast<void*>(static_cast<uintptr_t>(store)));
}

void iclean_if_over(IndexStore store) {
  vor_kv2* handle = index_store(store);
  if (!handle) return;
  const uint64_t count = vor_kv2_count(handle);
  const uint64_t buckets = vor_kv2_nbuckets(handle);
  if (count != kAbsent && buckets != kAbsent && count > buckets) iclean_start(store);
}

void dclean_pass(uint32_t disk) {
  char disk_path[kDiskPathSize];
  if (!disk_path_of(disk, disk_path)) return;
  for (uint8_t kind : kClassKinds) {
    if (stop_requested()) break;
    dclean_kind(disk, disk_path, kind);
    index_defrag(kind);
  }
  for (IndexStore store : kClassStores) {
    if (vor_kv2* handle = index_store(store)) vor_kv2_flush(handle);
  }
}

void iclean_pass(IndexStore store) {
  log_warning("[zazudaza -> filter] start cleanning diskcache index!\r\n");
  if (vor_kv2* handle = index_store(store)) {
    char key[kNameSize];
    char record[kIndexRecordSize];
    if (vor_kv2_Foreach_Rewind(handle, 0)) {
      for (;;) {
        // Cleared first: a shorter key would leave the previous key's bytes behind.
        std::memset(key, 0, sizeof key);
        int32_t size = sizeof record;
        if (stop_requested() || !vor_kv2_Foreach_GetNext(handle, key, sizeof key, record, &size)) break;
        if (!drawn()) continue;
        clean_record(store, handle, key, record, static_cast<size_t>(size));
        clean_calls().pause(kRecordPauseMs);
      }
    }
    vor_kv2_Foreach_Cancel(handle);
    vor_kv2_defrag(handle);
    vor_kv2_flush(handle);
  }
  log_warning("[zazudaza -> filter] end cleanning diskcache index!\r\n");
}

void stop_cleaning() {
  Passes& p = passes();
  std::unique_lock<std::mutex> hold(p.lock);
  p.stopping = true;
  p.ended.wait(hold, [&p] { return p.disks.empty() && p.stores.empty(); });
}

void allow_cleaning() {
  Passes& p = passes();
  std::lock_guard<std::mutex> hold(p.lock);
  p.stopping = false;
}

}  // namespace vor::reqgate
