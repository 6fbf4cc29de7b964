// The open-file registry: every cache file that is open or being deleted, keyed by its path,
// so that a file being written is not read, a file being read is not removed under its readers
// (the removal waits for the last reader) and a writer never opens a file in use. Also the
// file-operation pool that file reads take their buffers from.
//
// Keys are paths with '\' made '/', as the file layer opens them, so two spellings of one file
// meet in one entry. The registry lock guards only the table: opens, closes and removals run
// outside it, and it is never taken under a client record's lock (the writers hand files of
// ended tasks over once the record's lock is released).
#include <stdio.h>
#include <string.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cu_file.h"
#include "cu_util.h"
#include <errno.h>
#include <unistd.h>
#include "edgeserv_internal.h"
#include "vor_afile.h"

namespace edge {
namespace {

constexpr uint64_t kGiB = 1ull << 30;

struct RegEntry {
  int32_t count = 0;
  bool deleting = false;
  bool writing = false;
};

struct Registry {
  std::mutex lock;
  std::map<std::string, RegEntry> entries;
  std::once_flag pool_made;
  cu_xmem* fileop_pool = nullptr;
};

// Lives for the process: file completions may still arrive on worker threads while it exits.
Registry& registry() {
  static Registry& r = *new Registry;
  return r;
}

std::string key_of(const char* path) {
  std::string key = path ? path : "";
  for (char& c : key)
    if (c == '\\') c = '/';
  return key;
}

// Drops one reference; the last one of a file marked deleting removes it from disk.
void unref(const std::string& key) {
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.entries.find(key);
    if (it == r.entries.end()) return;
    if (--it->second.count > 0) return;
    if (!it->second.deleting) {
      r.entries.erase(it);
      return;
    }
  }
  cu_file1_remove(key.c_str());
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.entries.find(key);
  if (it != r.entries.end() && it->second.count <= 0) r.entries.erase(it);
}

void close_done(vor_afile* op, void*, void* a1, void*, void*, void*) {
  auto* key = static_cast<std::string*>(a1);
  // A close cancelled by the file layer keeps its reference.
  if (!op->cancelled) unref(*key);
  delete key;
}

void set_error(int32_t* error, int32_t value) {
  if (error) *error = value;
}

using OpenFn = cu_xfile* (*)(const char*, uint8_t);

cu_xfile* open_for_writing(const char* path, int32_t* error, OpenFn open) {
  const std::string key = key_of(path);
  {
    std::lock_guard<std::mutex> g(registry().lock);
    auto [it, inserted] = registry().entries.try_emplace(key);
    if (!inserted) {
      set_error(error, 0);
      return nullptr;
    }
    it->second.count = 1;
    it->second.writing = true;
  }
  cu_xfile* file = open(key.c_str(), 0);
  if (file) return file;
  set_error(error, cu_xfile_GetLastError());
  unref(key);
  return nullptr;
}

uint64_t physical_memory() {
  uint64_t total = 0;
  cu_GetPhyMemSize(&total, nullptr);
  return total;
}

thread_local std::vector<std::pair<std::string, cu_xfile*>> t_pending;

}  // namespace

uint64_t fileop_page_limit(uint64_t physical_bytes) {
  if (physical_bytes > 59 * kGiB) return 40;
  if (physical_bytes > 29 * kGiB) return 20;
  return 10;
}

cu_xmem* fileop_pool() {
  Registry& r = registry();
  std::call_once(r.pool_made, [&r] {
    r.fileop_pool = cu_xmem_init_ext_ext(cu_sem_malloc(), 16ull << 20, fileop_page_limit(physical_memory()), 8192,
                                         true, nullptr, nullptr, nullptr);
    if (!r.fileop_pool) {
      const char* line = "__fileop__xmem -> ____fileop__xmem_init() -> cu_xmem_init_ext(fileop) -> return NULL -> exit!\r\n";
      console(line);
      if (edgeserv_ctx* ctx = context()) cu_log_error(ctx->log, "%s", line);
      fflush(nullptr);
      _exit(-1);
    }
  });
  return r.fileop_pool;
}

void* fileop_alloc(uint64_t n) { return cu_xmem_malloc(fileop_pool(), n); }
void fileop_free(void* p) {
  if (p) cu_xmem_free(fileop_pool(), p);
}

void defer_file_release(const char* name, cu_xfile* file) {
  if (lock_depth() == 0) {
    edgeserv_fclose(name, file);
    return;
  }
  t_pending.emplace_back(name ? name : "", file);
}

void run_deferred_releases() {
  while (!t_pending.empty()) {
    std::vector<std::pair<std::string, cu_xfile*>> now;
    now.swap(t_pending);
    for (auto& [name, file] : now) edgeserv_fclose(name.c_str(), file);
  }
}

}  // namespace edge

using namespace edge;

extern "C" {

cu_xfile* edgeserv_fopen_r(const char* path, int32_t* error) {
  if (!path) {
    set_error(error, EINVAL);
    return nullptr;
  }
  const std::string key = key_of(path);
  {
    std::lock_guard<std::mutex> g(registry().lock);
    RegEntry& e = registry().entries[key];
    if (e.deleting || e.writing) {
      set_error(error, 0);
      return nullptr;
    }
    ++e.count;
  }
  cu_xfile* file = cu_xfile_open_r(key.c_str(), 0);
  if (file) return file;
  set_error(error, cu_xfile_GetLastError());
  unref(key);
  return nullptr;
}

cu_xfile* edgeserv_fopen_w(const char* path, int32_t* error) { return open_for_writing(path, error, cu_xfile_open_w); }
cu_xfile* edgeserv_fopen_wx(const char* path, int32_t* error) {
  return open_for_writing(path, error, cu_xfile_open_wx);
}
cu_xfile* edgeserv_fopen_tx(const char* path, int32_t* error) {
  return open_for_writing(path, error, cu_xfile_open_tx);
}

void edgeserv_fclose(const char* path, cu_xfile* file) {
  const std::string key = key_of(path);
  if (!file) {
    unref(key);
    return;
  }
  vor_afile op{};
  op.file = file;
  op.type = VOR_AFILE_CLOSE;
  op.callback = close_done;
  op.a1 = new std::string(key);
  if (vor_afile_close(&op)) return;
  // No worker to take the close: close here.
  delete static_cast<std::string*>(op.a1);
  cu_xfile_close(file);
  unref(key);
}

void edgeserv_fdelete(const char* path) {
  if (!path) return;
  const std::string key = key_of(path);
  {
    std::lock_guard<std::mutex> g(registry().lock);
    auto [it, inserted] = registry().entries.try_emplace(key);
    it->second.deleting = true;
    if (!inserted) return;
    it->second.writing = true;
  }
  cu_file1_remove(key.c_str());
  std::lock_guard<std::mutex> g(registry().lock);
  registry().entries.erase(key);
}

uint8_t edgeserv_fexist(const char* path) {
  const std::string key = key_of(path);
  std::lock_guard<std::mutex> g(registry().lock);
  return registry().entries.count(key) ? 1 : 0;
}

uint8_t edgeserv_fcanread(const char* path) {
  const std::string key = key_of(path);
  std::lock_guard<std::mutex> g(registry().lock);
  auto it = registry().entries.find(key);
  return it == registry().entries.end() || (!it->second.deleting && !it->second.writing) ? 1 : 0;
}

int32_t edgeserv_fnnodes(void) {
  std::lock_guard<std::mutex> g(registry().lock);
  return static_cast<int32_t>(registry().entries.size());
}

void edgeserv_flist(cu_jitter* out) {
  if (!out) return;
  std::lock_guard<std::mutex> g(registry().lock);
  for (const auto& [key, e] : registry().entries) {
    std::string line = "\"" + key + "\" -> ";
    if (e.deleting)
      line += "deleting\r\n";
    else if (e.writing)
      line += "writing \r\n";
    else
      line += "reading(" + std::to_string(e.count) + ") \r\n";
    cu_jitter_SetData(out, line.data(), static_cast<int32_t>(line.size()));
  }
}

cu_xmem* edgeserv_GetFOPxmemHandle(void) { return fileop_pool(); }

}  // extern "C"
