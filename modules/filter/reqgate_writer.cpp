// Cache writers: a response kept on disk is written through the asynchronous file layer while it
// streams to the client (stored request head, stored response head, body), then indexed. A
// writer belongs to the slave thread that began it; its file completions run on the file
// workers and touch only a small shared write state, so a failed write is never indexed.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "cu_date.h"
#include "cu_md5.h"
#include "cu_xmem.h"
#include "edgeserv.h"
#include "policydb.h"
#include "reqgate_internal.h"
#include "seams.h"
#include "vor_afile.h"
#include "vor_bigbox.h"

namespace vor::reqgate {

std::mutex& disk_io_lock() {
  static std::mutex lock;
  return lock;
}

// ---- Disk I/O pools ----

namespace {

struct PoolSpec {
  const char* name;
  uint64_t page_size;
};
constexpr PoolSpec kPoolSpecs[kDiskPoolCount] = {
    {"httpparser", 1u << 20},       {"resuest struct", 2u << 20}, {"resuest i64hash", 64u << 10},
    {"write struct", 2u << 20},     {"write stree", 256u << 10},  {"write stree unique", 32u << 10},
};
constexpr uint64_t kPoolPages = 1024;

struct Pools {
  cu_sem* lock = nullptr;
  cu_xmem* pools[kDiskPoolCount] = {};
  uint64_t baseline = 0;
};
Pools& pools() {
  static Pools instance;
  return instance;
}

cu_xmem* make_pool(cu_sem* lock, uint64_t page_size, uint64_t pages) {
  return cu_xmem_init_ext(lock, page_size, pages, 0, nullptr, nullptr, nullptr);
}

}  // namespace

PoolMaker& disk_pool_maker() {
  static PoolMaker maker = make_pool;
  return maker;
}

cu_xmem* disk_pool(DiskPool id) { return pools().pools[static_cast<int>(id)]; }

void afile_pools() {
  Pools& p = pools();
  if (p.lock) return;
  p.lock = cu_sem_malloc();
  for (int i = 0; i < kDiskPoolCount; ++i) {
    p.pools[i] = disk_pool_maker()(p.lock, kPoolSpecs[i].page_size, kPoolPages);
    if (p.pools[i]) continue;
    char line[160];
    std::snprintf(line, sizeof line,
                  "reqgate__afile__xmem -> ____afile__xmem_init() -> cu_xmem_init_ext(%s) -> return NULL -> exit!\r\n",
                  kPoolSpecs[i].name);
    std::fputs(line, stdout);
    std::fflush(stdout);
    edgeserv_ctx* ctx = edge_context();
    if (ctx && ctx->log) {
      cu_log_error(ctx->log,
                   "reqgate__afile__xmem -> ____afile__xmem_init -> cu_xmem_init_ext(%s) -> return NULL -> exit!\r\n",
                   kPoolSpecs[i].name);
    }
    std::exit(-1);
  }
}

uint64_t disk_pools_used() {
  uint64_t used = 0;
  for (cu_xmem* pool : pools().pools) used += pool ? cu_xmem_used_space_size(pool) : 0;
  return used;
}

uint64_t disk_pools_in_use() {
  const uint64_t used = disk_pools_used();
  return used > pools().baseline ? used - pools().baseline : 0;
}

void afile_init() {
  afile_pools();
  pools().baseline = disk_pools_used();
}

FileCalls& file_calls() {
  static FileCalls calls{vor_afile_writex, vor_afile_eventx, vor_afile_cancelx};
  return calls;
}

// ---- Disk full ----

void disk_full(uint32_t disk) {
  policydb_diskno_SetFull(static_cast<int32_t>(disk));
  dclean_start(disk);
  edgeserv_ctx* ctx = edge_context();
  if (ctx && ctx->log) cu_log_warn(ctx->log, "[zazudaza -> filter] start cleanning diskcache, diskno=%d!\r\n", disk);
  // "The disk is full" in the console's GBK text.
  trace("\xB4\xC5\xC5\xCC\xD2\xD1\xC2\xFA\xC1\xCB(diskno=%d)!\r\n", static_cast<int>(disk));
}

// ---- Body sharing ----

bool shared_holder(const char* md5, uint64_t length, SharedHolder* holder) {
  char content[kContentRecordSize + 1] = {};
  if (!content_get(md5, content)) return false;
  char kind_text[kShortValueSize];
  if (!index_value(content, "ct", kind_text, sizeof kind_text, kContentRecordSize) ||
      !index_value(content, "fn", holder->name, sizeof holder->name, kContentRecordSize)) {
    content_del(md5);
    return false;
  }
  holder->kind = static_cast<uint8_t>(std::strtoul(kind_text, nullptr, 16));
  if (!index_get(holder->kind, holder->name, holder->record)) {
    content_del(md5);
    return false;
  }
  char number[kNumberValueSize];
  const bool complete = index_value(holder->record, "r1", number, sizeof number) &&
                        index_value(holder->record, "r2", number, sizeof number) &&
                        index_value(holder->record, "cl", number, sizeof number);
  holder->path = complete ? record_file_path(holder->kind, holder->name, holder->record) : std::string();
  if (holder->path.empty()) {
    // Incomplete, or naming no file on a known disk.
    content_del(md5);
    index_del(holder->kind, holder->name);
    return false;
  }
  holder->disk = static_cast<uint32_t>(index_hex(holder->record, "dn", 0));
  holder->r1 = index_hex(holder->record, "r1", 0);
  holder->r2 = index_hex(holder->record, "r2", 0);
  holder->cl = index_hex(holder->record, "cl", 0);
  char holder_md5[kNameValueSize];
  const bool sound = holder->cl == length && holder->cl >= 1 && index_hex(holder->record, "cr", 0) == 0 &&
                     index_value(holder->record, "cm", holder_md5, sizeof holder_md5) &&
                     std::strcmp(holder_md5, md5) == 0;
  if (!sound) {
    content_del(md5);
    return false;
  }
  return true;
}

namespace {

// ---- Writers and their tables ----

// What a queued write still needs once its writer may be gone: the disk and the failed mark.
struct WriteState {
  std::atomic<int> refs{1};
  uint32_t disk = 0;
  std::atomic<bool> failed{false};
};
void hold(WriteState* s) { s->refs.fetch_add(1, std::memory_order_relaxed); }
void unhold(WriteState* s) {
  if (s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete s;
}

struct Writer {
  uint8_t kind = 0;
  uint8_t rule = 0;
  uint32_t lifetime = 0;
  http_parser* request = nullptr;
  http_parser* response = nullptr;
  std::string key;
  std::string path;
  cu_xfile* file = nullptr;
  int64_t offset = 0;
  uint8_t ssd = 0;
  uint8_t share = 0;
  cu_md5* md5 = nullptr;
  char body_md5[kNameValueSize] = {};
  vor_box* owner = nullptr;
  WriteState* state = nullptr;  // the disk and the failed mark, shared with queued writes
  std::string name;  // "<kind>/<MD5 of the key>": one file per kind and key at a time
  bool ending = false;  // finished or aborted: its completion is on the way, callers are done
  bool failed() const { return state->failed.load(std::memory_order_acquire); }
  void fail() { state->failed.store(true, std::memory_order_release); }
};

// Table nodes come from the pools the tables are named after.
template <class T>
struct PoolAllocator {
  using value_type = T;
  DiskPool pool;
  explicit PoolAllocator(DiskPool p) : pool(p) {}
  template <class U>
  PoolAllocator(const PoolAllocator<U>& other) : pool(other.pool) {}
  T* allocate(size_t n) {
    void* p = cu_xmem_malloc(disk_pool(pool), n * sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) { cu_xmem_free(disk_pool(pool), p); }
  template <class U>
  bool operator==(const PoolAllocator<U>& other) const {
    return pool == other.pool;
  }
};
using Table = std::map<std::string_view, Writer*, std::less<>,
                       PoolAllocator<std::pair<const std::string_view, Writer*>>>;

struct Tables {
  Table by_path{PoolAllocator<Table::value_type>(DiskPool::kWriteTree)};
  Table by_name{PoolAllocator<Table::value_type>(DiskPool::kWriteTreeUnique)};
};
Tables& tables() {
  static Tables* instance = new Tables();
  return *instance;
}

vor_box* calling_slave_box() {
  edgeserv_ctx* ctx = edge_context();
  vor_bigbox* bb = ctx && ctx->daemon ? ctx->daemon->bigbox : nullptr;
  return bb ? vor_bigbox_InvokeSlaveBox(bb) : nullptr;
}

bool name_taken(const std::string& name) {
  std::lock_guard<std::mutex> hold_lock(disk_io_lock());
  return tables().by_name.count(name) != 0;
}

// The writer of path for the calling thread; NULL for an unknown path, another thread's writer
// or one already finished or aborted.
Writer* own_writer(const char* path) {
  if (!path) return nullptr;
  vor_box* box = calling_slave_box();
  std::lock_guard<std::mutex> hold_lock(disk_io_lock());
  const auto it = tables().by_path.find(std::string_view(path));
  if (it == tables().by_path.end() || !box || it->second->owner != box || it->second->ending) return nullptr;
  return it->second;
}

bool insert_writer(Writer* w) {
  std::lock_guard<std::mutex> hold_lock(disk_io_lock());
  Tables& t = tables();
  if (t.by_name.count(w->name) || t.by_path.count(w->path)) return false;
  try {
    t.by_path.emplace(w->path, w);
    try {
      t.by_name.emplace(w->name, w);
    } catch (const std::bad_alloc&) {
      t.by_path.erase(w->path);
      return false;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void remove_writer(Writer* w) {
  std::lock_guard<std::mutex> hold_lock(disk_io_lock());
  Tables& t = tables();
  auto at_path = t.by_path.find(std::string_view(w->path));
  if (at_path != t.by_path.end() && at_path->second == w) t.by_path.erase(at_path);
  auto at_name = t.by_name.find(std::string_view(w->name));
  if (at_name != t.by_name.end() && at_name->second == w) t.by_name.erase(at_name);
}

// The writer of path holding file, looked up by a completion.
Writer* writer_of(const std::string& path, cu_xfile* file) {
  std::lock_guard<std::mutex> hold_lock(disk_io_lock());
  const auto it = tables().by_path.find(std::string_view(path));
  return it != tables().by_path.end() && it->second->file == file ? it->second : nullptr;
}

// Closes the file (deleting it first when the writer failed) and frees the writer.
void writer_free(Writer* w) {
  if (w->file) {
    if (w->failed()) edgeserv_fdelete(w->path.c_str());
    edgeserv_fclose(w->path.c_str(), w->file);
  }
  if (w->request) http_parser_free(w->request);
  if (w->response) http_parser_free(w->response);
  if (w->md5) cu_md5_free(w->md5);
  unhold(w->state);
  delete w;
}

void leave_and_free(Writer* w) {
  remove_writer(w);
  writer_free(w);
}

// ---- File operations ----

void write_done(vor_afile* op, void* ud, void*, void*, void*, void*) {
  auto* state = static_cast<WriteState*>(ud);
  if (!op->cancelled && op->result != op->length) {
    // A failed write leaves a hole at full size: the file must never be indexed.
    state->failed.store(true, std::memory_order_release);
    if (op->result < 0 && cu_xfile_IsErrorForDiskFull(op->error)) disk_full(state->disk);
  }
  cu_xmem_free(edgeserv_GetFOPxmemHandle(), op->buffer);
  unhold(state);
}

// Queues the bytes of parts as one write at the writer's offset; false when it cannot.
bool queue_write(Writer& w, std::initializer_list<std::string_view> parts) {
  size_t len = 0;
  for (std::string_view part : parts) len += part.size();
  if (len > INT32_MAX) return false;
  char* buffer = static_cast<char*>(cu_xmem_malloc(edgeserv_GetFOPxmemHandle(), len ? len : 1));
  if (!buffer) return false;
  size_t at = 0;
  for (std::string_view part : parts) {
    std::memcpy(buffer + at, part.data(), part.size());
    at += part.size();
  }
  vor_afile op{};
  op.file = w.file;
  op.type = VOR_AFILE_WRITE;
  op.offset = w.offset;
  op.buffer = buffer;
  op.length = static_cast<int32_t>(len);
  op.callback = write_done;
  op.ud = w.state;
  hold(w.state);
  if (!file_calls().write(&op, w.ssd)) {
    unhold(w.state);
    cu_xmem_free(edgeserv_GetFOPxmemHandle(), buffer);
    return false;
  }
  w.offset += static_cast<int64_t>(len);
  return true;
}

// An event or cancel whose completion runs on the owner box with a copy of the path.
bool queue_on_owner(Writer& w, uint8_t type, vor_afile_fn done) {
  vor_afile op{};
  op.file = w.file;
  op.box = w.owner;
  op.type = type;
  op.callback = done;
  op.ud = new std::string(w.path);
  op.a1 = w.file;
  const bool queued = type == VOR_AFILE_EVENT ? file_calls().event(&op, w.ssd) : file_calls().cancel(&op, w.ssd);
  if (!queued) delete static_cast<std::string*>(op.ud);
  return queued;
}

// ---- The index record ----

void append_hex(char* record, const char* key, uint64_t value) {
  char text[kNumberValueSize];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  index_append(record, key, text);
}

// A tag a record can hold: no '&', blank or control byte (record values end at those).
bool storable_tag(const char* tag) {
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(tag); *c; ++c) {
    if (*c == '&' || *c == ' ' || *c < 0x20 || *c == 0x7F) return false;
  }
  return *tag != 0;
}

// The body-sharing decision: cut this file to its heads when a sound holder of an equal body
// exists, else make this file the holder of its MD5.
void share_body(Writer& w, char* record, const std::string& file_name_text, uint64_t r1, uint64_t r2, uint64_t cl) {
  index_append(record, "cm", w.body_md5);
  SharedHolder holder;
  const bool other_file = shared_holder(w.body_md5, cl, &holder) &&
                          (holder.kind != w.kind || file_name_text != holder.name);
  if (other_file) {
    index_append(record, "cr", "1");
    cu_xfile_truncate(w.file, static_cast<int64_t>(r1 + r2));
    return;
  }
  char content[kContentRecordSize + 1] = {};
  char kind_text[8];
  std::snprintf(kind_text, sizeof kind_text, "%x", w.kind);
  index_append(content, "vs", "371", kContentRecordSize);
  index_append(content, "ct", kind_text, kContentRecordSize);
  index_append(content, "fn", file_name_text.c_str(), kContentRecordSize);
  content_put(w.body_md5, content);
}

bool index_record_build(Writer& w) {
  const uint64_t r1 = static_cast<uint64_t>(http_parser_GetLen(w.request));
  const uint64_t r2 = static_cast<uint64_t>(http_parser_GetLen(w.response));
  const uint64_t cl = static_cast<uint64_t>(w.offset) - r1 - r2;
  char record[kIndexRecordSize + 1] = {};
  index_append(record, "vs", "371");
  append_hex(record, "dn", w.state->disk);
  index_append(record, "pt", folder_digits(w.key).c_str());
  append_hex(record, "r1", r1);
  append_hex(record, "r2", r2);
  append_hex(record, "cl", cl);
  append_hex(record, "ep", static_cast<uint64_t>(edgeserv_mytime()) + (w.lifetime & 0x7FFFFFFFu));
  char modified[32];
  if (http_parser_GetKey(w.response, "Last-Modified", modified, sizeof modified)) {
    const int64_t when = cu_DateParse(modified);
    append_hex(record, "lm", when < 0 ? 0 : static_cast<uint64_t>(when));
  }
  index_append(record, "cc", w.rule == 1 ? "1" : "0");
  // The stored coding, so a disk hit can decode for a client that lacks it.
  if (const int coding = needs_decoding(nullptr, w.response); coding != kNone) {
    index_append(record, "ce", coding_name(coding));
  }
  const std::string name = file_name(w.key);
  if (w.share) share_body(w, record, name, r1, r2, cl);
  char tag[64];
  if (http_parser_GetKey(w.response, "ETag", tag, sizeof tag) && storable_tag(tag) &&
      std::strlen(tag) + std::strlen(record) + 23 < kIndexRecordSize) {
    index_append(record, "et", tag);
  }
  index_append(record, "up", path_signature(w.key).c_str());
  trace("[AddDiskCacheIndex] %s -> %s -> %s\r\n", w.path.c_str(), record, w.key.c_str());
  return index_put(w.kind, name.c_str(), record);
}

void writer_done(vor_afile* op, void* ud, void*, void*, void*, void*) {
  std::string* path = static_cast<std::string*>(ud);
  if (Writer* w = writer_of(*path, op->file)) {
    if (!w->failed() && !index_record_build(*w)) w->fail();
    leave_and_free(w);
  }
  delete path;
}

void writer_cancelled(vor_afile* op, void* ud, void*, void*, void*, void*) {
  std::string* path = static_cast<std::string*>(ud);
  if (Writer* w = writer_of(*path, op->file)) leave_and_free(w);
  delete path;
}

// ---- Begin ----

void delete_first(http_parser* head, std::initializer_list<const char*> names) {
  for (const char* name : names) http_parser_DelKey(head, name);
}

// Every line of the header: credentials and cookies never reach a cache file.
void delete_all(http_parser* head, const char* name) {
  while (http_parser_IsKey(head, name)) http_parser_DelKey(head, name);
}

// The stored copies of both heads, cleaned; false when memory is short.
bool copy_heads(Writer& w, http_parser* request, http_parser* response) {
  w.request = http_parser_clonex(request, disk_pool(DiskPool::kHttpParser));
  w.response = http_parser_clonex(response, disk_pool(DiskPool::kHttpParser));
  if (!w.request || !w.response) return false;
  delete_first(w.request, {"If-Modified-Since", "If-None-Match", "Connection", "Referer", "Accept", "Accept-Language",
                           "Accept-Encoding", "DNT", "X-Quorin", "User-Agent"});
  for (const char* name : {"Cookie", "Authorization", "Proxy-Authorization"}) delete_all(w.request, name);
  delete_first(w.response, {"Age", "Via", "X-Via", "X-Cache", "X-Cache-Lookup", "X-Powered-By", "Keep-Alive"});
  return http_parser_ModifyKey(w.response, "Connection", "keep-alive");
}

bool wants_share(http_parser* response) {
  char text[20];
  if (!http_parser_GetKey(response, "Content-Length", text, sizeof text)) return false;
  uint64_t least = policydb_system_get_MinSizeForRSCPByDiskCache();
  if (least == 0) least = 1;
  return std::strtoull(text, nullptr, 10) >= least;
}

// Opens the file for writing, creating missing folders once; NULL after the failure's handling.
cu_xfile* open_file(uint8_t kind, uint32_t disk, const std::string& path, const std::string& name) {
  int32_t error = 0;
  cu_xfile* file = edgeserv_fopen_tx(path.c_str(), &error);
  if (!file && cu_xfile_IsErrorForNoSuchFile(error)) {
    // A folder the disk has no room for is a full disk, as a file would be.
    const int folder_error = make_dirs(path);
    if (name_taken(name)) return nullptr;
    file = edgeserv_fopen_tx(path.c_str(), &error);
    if (!file && cu_xfile_IsErrorForNoSuchFile(error) && folder_error != 0) error = folder_error;
  }
  if (file) return file;
  if (cu_xfile_IsErrorForDiskFull(error)) {
    disk_full(disk);
  } else if (edgeserv_fcanread(path.c_str())) {
    // An old copy nobody writes: it goes (at its last reader's close) with its record.
    edgeserv_fdelete(path.c_str());
    char key[32];
    if (index_key(path.c_str(), key)) index_del(kind, std::string(key, 32).c_str());
  }
  return nullptr;
}

}  // namespace

size_t writer_count() {
  std::lock_guard<std::mutex> hold_lock(disk_io_lock());
  return tables().by_path.size();
}

bool choose_disk(bool hdd_first, uint32_t* disk, std::string* path) {
  char folder[1024];
  int32_t num = 0;
  using Choice = uint8_t (*)(int32_t*, char*, int32_t);
  const Choice first = hdd_first ? policydb_diskno_GetAvailablePath_ByHDD : policydb_diskno_GetAvailablePath_BySSD;
  const Choice second = hdd_first ? policydb_diskno_GetAvailablePath_BySSD : policydb_diskno_GetAvailablePath_ByHDD;
  if (!first(&num, folder, sizeof folder) && !second(&num, folder, sizeof folder)) return false;
  *disk = static_cast<uint32_t>(num);
  *path = folder;
  return true;
}

bool writer_begin(const WriterStart& start, http_parser* request, http_parser* response) {
  const uint8_t kind = start.kind;
  if (writer_count() + seams::pending_disk_reads() >= policydb_system_get_MaxOpenedFilesByDiskCache()) return false;
  if (start.path.empty() || kind < kPublic || kind > kVisitor || !request || !response) return false;
  vor_box* owner = calling_slave_box();
  if (!owner) return false;
  const std::string name = std::to_string(kind) + "/" + file_name(start.key);
  if (name_taken(name)) return false;
  cu_xfile* file = open_file(kind, start.disk, start.path, name);
  if (!file) return false;
  auto* w = new Writer();
  w->state = new WriteState();
  w->state->disk = start.disk;
  w->kind = kind;
  w->rule = start.rule ? 1 : 0;
  w->lifetime = start.lifetime;
  w->key = start.key;
  w->path = start.path;
  w->file = file;
  w->ssd = policydb_diskno_IsSSD(static_cast<int32_t>(start.disk));
  w->owner = owner;
  w->name = name;
  const bool copied = copy_heads(*w, request, response);
  w->share = copied && wants_share(w->response) ? 1 : 0;
  if (w->share) w->md5 = cu_md5_make();
  if (!copied || (w->share && !w->md5) || !insert_writer(w)) {
    w->fail();
    writer_free(w);
    return false;
  }
  if (!queue_write(*w, {http_parser_GetStr(w->request), http_parser_GetStr(w->response)})) {
    w->fail();
    leave_and_free(w);
    return false;
  }
  return true;
}

bool writer_append(const char* path, const char* data, int64_t len) {
  if (!path) return false;
  if (len < 1) return true;
  Writer* w = own_writer(path);
  if (!w || w->failed() || len > INT32_MAX) return false;
  if (!queue_write(*w, {std::string_view(data, static_cast<size_t>(len))})) {
    w->fail();
    return false;
  }
  if (w->share) cu_md5_append(w->md5, data, static_cast<int32_t>(len));
  return true;
}

void writer_finish(const char* path) {
  Writer* w = own_writer(path);
  if (!w) return;
  w->ending = true;
  if (!queue_on_owner(*w, VOR_AFILE_EVENT, writer_done)) {
    w->fail();
    leave_and_free(w);
    return;
  }
  if (w->share) cu_md5_finish(w->md5, w->body_md5);
}

void writer_abort(const char* path) {
  Writer* w = own_writer(path);
  if (!w) return;
  w->ending = true;
  w->fail();
  if (!queue_on_owner(*w, VOR_AFILE_CANCEL, writer_cancelled)) leave_and_free(w);
}

}  // namespace vor::reqgate
