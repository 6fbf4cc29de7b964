#include "cu_util.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "cu_util_internal.h"
#include "vor_fd.h"
#include "vor_io.h"

namespace {
constexpr char kUnit[] = "srclib\\cu_util";

// ---- threads ----

// The creator waits on this (on its own stack) until the new thread has published its id.
struct IdHandoff {
  sem_t published;
  uint32_t id = 0;
};

// Lives from cu_CreateThread until the new thread has taken its contents out.
struct StartRecord {
  cu_thread_func fn;
  void* arg;
  IdHandoff* handoff;
};

void* thread_main(void* raw) {
  auto* rec = static_cast<StartRecord*>(raw);
  const cu_thread_func fn = rec->fn;
  void* const arg = rec->arg;
  IdHandoff* const handoff = rec->handoff;
  _cu_free(rec, kUnit, __LINE__);
  handoff->id = static_cast<uint32_t>(gettid());
  sem_post(&handoff->published);  // the handoff may be gone from here on
  if (fn) fn(arg);
  return nullptr;
}

size_t stack_bytes(int32_t asked) {
  if (asked <= 0) return 0;
  size_t bytes = static_cast<size_t>(asked);
#if defined(VOR_ASAN) || defined(VOR_TSAN)
  bytes *= 4;  // instrumented code needs far larger frames than the sizes callers choose
#endif
  return std::max<size_t>(bytes, PTHREAD_STACK_MIN);
}

bool start_detached(StartRecord* rec, int32_t stack_size) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  bool ok = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0;
  const size_t stack = stack_bytes(stack_size);
  if (ok && stack > 0) ok = pthread_attr_setstacksize(&attr, stack) == 0;
  pthread_t thread;
  if (ok) ok = pthread_create(&thread, &attr, thread_main, rec) == 0;
  pthread_attr_destroy(&attr);
  return ok;
}

// ---- clocks ----

timespec realtime_now() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

// localtime_r need not read TZ itself: read it once for the process.
void tz_once() {
  static const bool done = (tzset(), true);
  (void)done;
}

// ---- random ----

std::atomic<int32_t> g_random_state{1};

int32_t next_random_state(int32_t s) {
  if (s == 1) s = static_cast<int32_t>(static_cast<uint32_t>(cu_time()));
  return static_cast<int32_t>(static_cast<uint32_t>(s) * 214013u + 2531011u);
}

bool fill_random(unsigned char* out, size_t n) {
  while (n > 0) {
    const ssize_t got = vor::io::retry([&] { return getrandom(out, n, 0); });
    if (got <= 0) return false;
    out += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

constexpr char kAlnum[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned kAlnumCount = sizeof(kAlnum) - 1;
// Bytes at or above the largest multiple of 62 would favour the first characters: drawn again.
constexpr unsigned kUnbiasedLimit = 256 / kAlnumCount * kAlnumCount;

// ---- base64 ----

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int64_t base64_encoded_length(int32_t len) { return (static_cast<int64_t>(len) + 2) / 3 * 4; }

int32_t base64_encode_into(char* dst, const unsigned char* src, int32_t len) {
  char* out = dst;
  for (int32_t i = 0; i < len; i += 3) {
    const int32_t left = len - i;
    const uint32_t b0 = src[i];
    const uint32_t b1 = left > 1 ? src[i + 1] : 0;
    const uint32_t b2 = left > 2 ? src[i + 2] : 0;
    const uint32_t group = (b0 << 16) | (b1 << 8) | b2;
    *out++ = kBase64[(group >> 18) & 63];
    *out++ = kBase64[(group >> 12) & 63];
    *out++ = left > 1 ? kBase64[(group >> 6) & 63] : '=';
    *out++ = left > 2 ? kBase64[group & 63] : '=';
  }
  *out = '\0';
  return static_cast<int32_t>(out - dst);
}

// ---- machine and process figures ----

// The numbers after "key:" of two keys of a /proc file of "key: value [kB]" lines, read in
// one pass so that both belong to the same moment.
std::pair<std::optional<uint64_t>, std::optional<uint64_t>> proc_fields(const char* path, const std::string& key1,
                                                                        const std::string& key2) {
  std::ifstream in(path);
  std::string line;
  std::optional<uint64_t> v1, v2;
  auto value_of = [&line](const std::string& key) -> std::optional<uint64_t> {
    if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 || line[key.size()] != ':') {
      return std::nullopt;
    }
    return std::strtoull(line.c_str() + key.size() + 1, nullptr, 10);
  };
  while (std::getline(in, line) && !(v1 && v2)) {
    if (!v1) v1 = value_of(key1);
    if (!v2) v2 = value_of(key2);
  }
  return {v1, v2};
}

std::optional<uint64_t> read_number_file(const std::string& path) {
  std::ifstream in(path);
  std::string word;
  if (!(in >> word) || word.empty() || word[0] < '0' || word[0] > '9') return std::nullopt;  // "max" or missing
  return std::strtoull(word.c_str(), nullptr, 10);
}

// ---- cu_shm ----

constexpr int32_t kShmDown = -1;
constexpr int32_t kShmAttached = 2;
constexpr int32_t kShmDetached = 3;

bool shm_usable(const cu_shm* shm) { return shm && shm->state == kShmAttached && shm->buffer; }

// Bytes that fit from the position to the end; never wraps for large n.
uint32_t shm_room(const cu_shm* shm, uint32_t n) { return std::min(n, shm->size - shm->position); }

}  // namespace

namespace cu_internal {

std::optional<uint64_t> cgroup_memory_limit(const std::string& proc_cgroup, const std::string& cgroup_root) {
  std::ifstream in(proc_cgroup);
  std::string line;
  std::string group;
  while (std::getline(in, line)) {
    if (line.rfind("0::", 0) == 0) group = line.substr(3);
  }
  if (group.empty()) return std::nullopt;
  std::optional<uint64_t> limit;
  for (;;) {
    const std::string dir = cgroup_root + (group == "/" ? std::string() : group);
    if (auto v = read_number_file(dir + "/memory.max")) limit = std::min(limit.value_or(UINT64_MAX), *v);
    if (group == "/") break;
    const size_t slash = group.find_last_of('/');
    group = slash == 0 || slash == std::string::npos ? "/" : group.substr(0, slash);
  }
  return limit;
}

}  // namespace cu_internal

bool cu_CreateThread(uint32_t* thread_id, int32_t stack_size, cu_thread_func fn, void* arg) {
  auto* rec = static_cast<StartRecord*>(_cu_malloc(sizeof(StartRecord), kUnit, __LINE__));
  if (!rec) return false;
  IdHandoff handoff;
  sem_init(&handoff.published, 0, 0);
  *rec = StartRecord{fn, arg, &handoff};
  const bool started = start_detached(rec, stack_size);
  if (started) {
    vor::io::retry([&] { return sem_wait(&handoff.published); });
    if (thread_id) *thread_id = handoff.id;  // published before the function runs
  } else {
    _cu_free(rec, kUnit, __LINE__);
  }
  sem_destroy(&handoff.published);
  return started;
}

void cu_ThreadExit(void) { pthread_exit(nullptr); }

uint32_t cu_GetThisThreadId(void) { return static_cast<uint32_t>(gettid()); }

uint32_t cu_GetThisPid(void) { return static_cast<uint32_t>(getpid()); }

int64_t cu_time(void) { return static_cast<int64_t>(realtime_now().tv_sec); }

int64_t cu_GetTickCount(void) {
  const timespec ts = realtime_now();
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t cu_timenow(void) {
  const timespec ts = realtime_now();
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void cu_gettimeofday(cu_timeval* tv) {
  if (!tv) return;
  const timespec ts = realtime_now();
  tv->tv_sec = static_cast<int64_t>(ts.tv_sec);
  tv->tv_usec = static_cast<int32_t>(ts.tv_nsec / 1000);
}

struct tm* cu_localtime(const int64_t* t, struct tm* out) {
  if (!t || !out) return nullptr;
  tz_once();
  const time_t v = static_cast<time_t>(*t);
  return localtime_r(&v, out);
}

struct tm* cu_gmtime(const int64_t* t, struct tm* out) {
  if (!t || !out) return nullptr;
  const time_t v = static_cast<time_t>(*t);
  return gmtime_r(&v, out);
}

int32_t cu_RandomValue(void) {
  int32_t s = g_random_state.load(std::memory_order_relaxed);
  int32_t next = next_random_state(s);
  while (!g_random_state.compare_exchange_weak(s, next, std::memory_order_relaxed)) next = next_random_state(s);
  return next & 0x7fffffff;
}

void cu_RandomStr(char* buf, int32_t count) {
  if (!buf) return;
  int32_t filled = 0;
  unsigned char pool[256];
  while (filled < count) {
    if (!fill_random(pool, sizeof pool)) break;
    for (unsigned char b : pool) {
      if (filled == count) break;
      if (b < kUnbiasedLimit) buf[filled++] = kAlnum[b % kAlnumCount];
    }
  }
  // Without the kernel's generator nothing guessable is handed out: the text stays empty.
  buf[filled < count ? 0 : std::max(count, 0)] = '\0';
}

bool cu_WritePidFile(const char* path) {
  if (!path) return false;
  const int fd = vor::open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  char text[16];
  const int n = snprintf(text, sizeof text, "%u", cu_GetThisPid());
  const bool written = vor::io::write_all(fd, text, static_cast<size_t>(n));
  return close(fd) == 0 && written;
}

bool cu_SetDaemon(void) {
  fflush(stdout);
  fflush(stderr);
  const int null_fd = vor::open_file("/dev/null", O_RDWR);
  if (null_fd < 0) return false;
  bool ok = true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (null_fd != fd && dup2(null_fd, fd) < 0) ok = false;
  }
  if (null_fd > 2) close(null_fd);
  if (getpid() != getpgrp()) setsid();  // a group leader cannot start a session
  return ok;
}

bool cu_GetPhyMemSize(uint64_t* total, uint64_t* available) {
  struct sysinfo si;
  if (sysinfo(&si) != 0) return false;
  uint64_t all = static_cast<uint64_t>(si.totalram) * si.mem_unit;
  const auto avail_kb = proc_fields("/proc/meminfo", "MemAvailable", "MemAvailable").first;
  uint64_t avail = avail_kb ? *avail_kb * 1024 : static_cast<uint64_t>(si.freeram + si.bufferram) * si.mem_unit;
  if (auto limit = cu_internal::cgroup_memory_limit("/proc/self/cgroup", "/sys/fs/cgroup")) {
    all = std::min(all, *limit);
    avail = std::min(avail, all);
  }
  if (total) *total = all;
  if (available) *available = avail;
  return true;
}

bool cu_GetProcMemSize(uint64_t* peak, uint64_t* current) {
  const auto [hwm, rss] = proc_fields("/proc/self/status", "VmHWM", "VmRSS");
  if (!hwm || !rss) return false;
  if (peak) *peak = std::max(*hwm, *rss) * 1024;
  if (current) *current = *rss * 1024;
  return true;
}

int32_t cu_base64_encode(char* dst, const void* src, int32_t len) {
  if (!dst || !src || len <= 0 || base64_encoded_length(len) > INT32_MAX) return -1;
  return base64_encode_into(dst, static_cast<const unsigned char*>(src), len);
}

int32_t cu_base64_encode00(char** out, const void* src, int32_t len) {
  if (!out || !src || len <= 0 || base64_encoded_length(len) > INT32_MAX) return -1;
  auto* buf = static_cast<char*>(malloc(static_cast<size_t>(base64_encoded_length(len)) + 1));
  if (!buf) return -1;
  *out = buf;
  return base64_encode_into(buf, static_cast<const unsigned char*>(src), len);
}

int32_t cu_base64_decode(void* dst, const char* src, int32_t size) {
  if (!dst || !src || size <= 0) return -1;
  auto* out = static_cast<unsigned char*>(dst);
  int32_t written = 0;
  uint32_t bits = 0;
  int nbits = 0;
  for (const char* p = src; *p && written < size; ++p) {
    const int v = base64_value(static_cast<unsigned char>(*p));
    if (v < 0) continue;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    nbits += 6;
    if (nbits >= 8) {
      nbits -= 8;
      out[written++] = static_cast<unsigned char>(bits >> nbits);
    }
  }
  return written;
}

char* cu_strtok(char* text, const char* delims, char** cursor) {
  if (!cursor || !delims) return nullptr;
  char* p = text ? text : *cursor;
  if (!p) return nullptr;
  p += strspn(p, delims);
  if (*p == '\0') {
    *cursor = p;  // a new text without tokens must not leave a stale cursor behind
    return nullptr;
  }
  char* token = p;
  p += strcspn(p, delims);
  if (*p != '\0') *p++ = '\0';
  *cursor = p;
  return token;
}

cu_shm* cu_shm_malloc(uint32_t size) {
  if (size == 0) return nullptr;
  auto* shm = static_cast<cu_shm*>(_cu_malloc(sizeof(cu_shm), kUnit, __LINE__));
  if (!shm) return nullptr;
  if (!cu_shm_init(shm, size)) {
    _cu_free(shm, kUnit, __LINE__);
    return nullptr;
  }
  return shm;
}

bool cu_shm_init(cu_shm* shm, uint32_t size) {
  if (!shm) return false;
  shm->size = 0;
  shm->buffer = nullptr;
  shm->position = 0;
  shm->state = kShmDown;
  if (size == 0) return false;
  shm->buffer = static_cast<unsigned char*>(_cu_malloc(size, kUnit, __LINE__));
  if (!shm->buffer) return false;
  shm->size = size;
  shm->state = kShmAttached;
  return true;
}

bool cu_shm_init_ex(cu_shm* shm, const char* /*key*/, uint32_t size) { return cu_shm_init(shm, size); }

bool cu_shm_seek(cu_shm* shm, uint32_t offset, int32_t origin) {
  if (!shm_usable(shm)) return false;
  int64_t to;
  switch (origin) {
    case 1: to = static_cast<int64_t>(shm->position) + offset; break;
    case 2: to = offset; break;
    case 3: to = static_cast<int64_t>(shm->size) - offset; break;
    default: return false;
  }
  if (to < 0 || to > shm->size) return false;
  shm->position = static_cast<uint32_t>(to);
  return true;
}

uint32_t cu_shm_write(cu_shm* shm, const void* data, uint32_t n) {
  if (!shm_usable(shm) || !data) return 0;
  const uint32_t count = shm_room(shm, n);
  memcpy(shm->buffer + shm->position, data, count);
  shm->position += count;
  return count;
}

uint32_t cu_shm_read(cu_shm* shm, void* dst, uint32_t n) {
  if (!shm_usable(shm) || !dst) return 0;
  const uint32_t count = shm_room(shm, n);
  memcpy(dst, shm->buffer + shm->position, count);
  shm->position += count;
  return count;
}

uint32_t cu_shm_GetPos(cu_shm* shm) { return shm ? shm->position : 0; }

void* cu_shm_BaseAddr(cu_shm* shm) { return shm_usable(shm) ? shm->buffer : nullptr; }

bool cu_shm_detach(cu_shm* shm) {
  if (!shm || shm->state != kShmAttached) return false;
  shm->state = kShmDetached;
  return true;
}

bool cu_shm_destroy(cu_shm* shm) {
  if (!shm) return false;
  if (shm->state != kShmAttached && shm->state != kShmDetached && shm->state != 0) return false;
  // A detached buffer can no longer be reached by anyone: it is given back too.
  if (shm->state == kShmAttached || shm->state == kShmDetached) _cu_free(shm->buffer, kUnit, __LINE__);
  shm->buffer = nullptr;
  shm->state = kShmDown;
  return true;
}

void cu_shm_free(cu_shm* shm) {
  if (!shm) return;
  cu_shm_destroy(shm);
  _cu_free(shm, kUnit, __LINE__);
}
