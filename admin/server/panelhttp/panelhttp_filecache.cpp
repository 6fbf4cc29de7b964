// The file cache every file the server sends is read through. Small files are held whole and
// trusted for filecache_period seconds before their modify time is read again; large ones are
// described (size, modify time) and read from disk for every range. The memory budget evicts
// the entries with the fewest completed reads first. Files of 4 GiB or more are not served:
// sizes and ranges are 32-bit.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

#include "panelhttp_internal.h"

namespace vor::panelhttp {
namespace {

constexpr int kMaxVictims = 1000;

struct Entry {
  int64_t mtime = 0;
  uint32_t size = 0;
  std::string data;  // the whole file when it is small enough, else empty
  uint32_t hits = 0;
  int64_t last_check = 0;
};

int64_t wall_clock() { return time(nullptr); }

struct Cache {
  std::mutex lock;
  std::map<std::string, Entry> index;
  uint64_t max_cache = 50ull << 20;
  uint64_t max_block = 1024ull << 10;
  int64_t period = 30;
  int64_t data_bytes = 0;
  Clock clock = wall_clock;
};

// Lives for the process, as the server does: connection threads may still read at exit.
Cache& cache() {
  static Cache* c = new Cache;
  return *c;
}

// Size and modify time of a regular file; false when it cannot be read or is too large.
bool file_stat(const char* path, uint64_t* size, int64_t* mtime) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  *mtime = st.st_mtim.tv_sec;
  return true;
}

int64_t modify_time(const char* path) {
  uint64_t size = 0;
  int64_t mtime = 0;
  return file_stat(path, &size, &mtime) ? mtime : 0;
}

void remove_entry(Cache& c, std::map<std::string, Entry>::iterator it) {
  c.data_bytes -= static_cast<int64_t>(it->second.data.size());
  c.index.erase(it);
}

// Reads up to count bytes at offset; the bytes read, or -1.
int64_t read_at(const char* path, uint64_t offset, void* buf, uint32_t count) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = pread(fd, static_cast<char*>(buf) + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      close(fd);
      return -1;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  close(fd);
  return done;
}

Entry* make_entry(Cache& c, const std::string& path, int64_t now) {
  uint64_t size = 0;
  int64_t mtime = 0;
  if (!file_stat(path.c_str(), &size, &mtime) || size > UINT32_MAX) return nullptr;
  Entry entry;
  entry.mtime = mtime;
  entry.size = static_cast<uint32_t>(size);
  entry.last_check = now;
  if (size <= c.max_block && size > 0) {
    entry.data.resize(size);
    const int64_t n = read_at(path.c_str(), 0, entry.data.data(), static_cast<uint32_t>(size));
    if (n < 0) return nullptr;
    entry.data.resize(static_cast<size_t>(n));  // shrunk meanwhile: what there was
  }
  c.data_bytes += static_cast<int64_t>(entry.data.size());
  return &c.index.insert_or_assign(path, std::move(entry)).first->second;
}

// Cache lock held.
Entry* look_up(Cache& c, const char* path, int64_t now) {
  auto it = c.index.find(path);
  if (it != c.index.end()) {
    if (now - it->second.last_check <= c.period) return &it->second;
    if (modify_time(path) == it->second.mtime) {
      it->second.last_check = now;
      return &it->second;
    }
    remove_entry(c, it);
  }
  return make_entry(c, path, now);
}

// Fewest hits first, then path order.
void evict(Cache& c) {
  for (int victims = 0; victims < kMaxVictims && static_cast<uint64_t>(c.data_bytes) > c.max_cache; ++victims) {
    if (c.index.empty()) return;
    auto victim = c.index.begin();
    for (auto it = c.index.begin(); it != c.index.end(); ++it) {
      if (it->second.hits < victim->second.hits) victim = it;
    }
    remove_entry(c, victim);
  }
}

int64_t read_number(const char* text) { return strtoll(text, nullptr, 10); }

}  // namespace

void filecache_configure(cu_config* settings) {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.lock);
  if (const char* v = cu_config_GetKey(settings, "system", "max_filecache")) {
    c.max_cache = static_cast<uint64_t>(std::max<int64_t>(read_number(v), 0)) << 20;
    evict(c);
  }
  if (const char* v = cu_config_GetKey(settings, "system", "max_fileblock")) {
    c.max_block = static_cast<uint64_t>(std::max<int64_t>(read_number(v), 0)) << 10;
  }
  if (const char* v = cu_config_GetKey(settings, "system", "filecache_period")) c.period = read_number(v);
}

void filecache_set_limits(uint64_t max_cache, uint64_t max_block, int64_t period) {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.lock);
  c.max_cache = max_cache;
  c.max_block = max_block;
  c.period = period;
}

void filecache_set_clock(Clock clock) {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.lock);
  c.clock = clock ? clock : wall_clock;
}

int64_t filecache_data_bytes() {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.lock);
  return c.data_bytes;
}

size_t filecache_entries() {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.lock);
  return c.index.size();
}

bool filecache_holds(const char* path) {
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.lock);
  return c.index.count(path) != 0;
}

bool filecache_read(const char* path, uint32_t from, uint32_t to, void* buffer, uint32_t* count) {
  if (!path || !buffer || !count) return false;
  expect_unlocked();
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.lock);
  evict(c);
  const Entry* entry = look_up(c, path, c.clock());
  if (!entry) return false;
  Entry& e = c.index.find(path)->second;
  to = std::min(to, e.size);
  if (from >= e.size || from > to) {
    *count = 0;
    return true;
  }
  if (to == e.size) ++e.hits;
  if (to > c.max_block || (e.data.size() < e.size)) {
    const int64_t n = read_at(path, from, buffer, to - from);
    if (n < 0) return false;
    *count = static_cast<uint32_t>(n);
    return true;
  }
  memcpy(buffer, e.data.data() + from, to - from);
  *count = to - from;
  return true;
}

}  // namespace vor::panelhttp

using namespace vor::panelhttp;

uint8_t panelhttp_GetFileAttr(const char* path, int32_t* size, int64_t* mtime) {
  if (!path) return 0;
  Cache& c = cache();
  std::lock_guard<std::mutex> lock(c.lock);
  const Entry* entry = look_up(c, path, c.clock());
  if (!entry) return 0;
  if (size) *size = static_cast<int32_t>(entry->size);
  if (mtime) *mtime = entry->mtime;
  return 1;
}
