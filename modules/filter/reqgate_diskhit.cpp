// Disk hits: a cache file found fresh in the index is opened through the edge server's file
// registry, its stored heads are read asynchronously and checked against the request, and the
// answer goes out with its body handed to the edge server's file tasks. A small whole body is read
// at once, sent from memory and promoted to the memory cache; a body shared with another key is
// read from the file holding it. Whatever is found inconsistent is deleted with its index record.
//
// Threads: the entry runs on the client's slave thread and every read completes on that slave
// box, so one connection's hit is handled on one thread. The pending-read table is guarded by the
// disk I/O lock, held only around its lookups, inserts and removals; a record is released (its
// files closed) outside the lock.
#include <strings.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "cu_daemon.h"
#include "cu_xfile.h"
#include "cu_xmem.h"
#include "edgeserv.h"
#include "policydb.h"
#include "reqgate_internal.h"
#include "seams.h"
#include "upfetch_request.h"
#include "vor_afile.h"
#include "vor_bigbox.h"

namespace vor::reqgate {

namespace {

constexpr uint64_t kMaxHeads = 65536;
constexpr uint64_t kMaxCodedBody = 1048576;  // a copy decoded for the client is read whole
constexpr uint32_t kKeepAliveMs = 6000;
constexpr size_t kKeyBuffer = 4197;
constexpr size_t kRequestKeyBuffer = 4096;

using Head = OwnedHead;

// The file that holds a body shared by several keys.
struct SharedBody {
  std::string path;
  cu_xfile* file = nullptr;
  bool ssd = false;
  uint64_t r1 = 0, r2 = 0, cl = 0;
  char record[kIndexRecordSize + 1] = {};
  uint8_t kind = 0;
  ~SharedBody() {
    if (file) edgeserv_fclose(path.c_str(), file);
  }
};

// One client's disk hit in flight.
struct DiskHit {
  int64_t sid = 0;
  bool close = false;
  std::string cache_key, disk_key, path;
  cu_xfile* file = nullptr;  // NULL once handed to the edge server's output queue
  bool ssd = false;
  uint64_t r1 = 0, r2 = 0, cl = 0;
  char record[kIndexRecordSize + 1] = {};
  uint8_t kind = 0;
  uint64_t from = 0, to = 0;
  std::unique_ptr<SharedBody> shared;
  Head kept;  // the response head while a shared body is read
  void* tag = nullptr;         // the buffer of the read in flight
  cu_xfile* reading = nullptr;  // the file it reads
  int coding = kNone;           // the stored coding the client lacks: served decoded
  ~DiskHit() {
    if (file) edgeserv_fclose(path.c_str(), file);
  }
};
using HitPtr = std::unique_ptr<DiskHit>;

struct Pending {
  std::unordered_map<int64_t, HitPtr> by_sid;
  std::unordered_map<int64_t, std::string> no_disk_hit;  // client -> cache key that goes upstream
};

Pending& pending() {
  static Pending* instance = new Pending();
  return *instance;
}

// ---- the table ------------------------------------------------------------------------------

bool insert_pending(HitPtr& hit) {
  std::lock_guard<std::mutex> lock(disk_io_lock());
  if (pending().by_sid.count(hit->sid)) return false;
  pending().by_sid.emplace(hit->sid, std::move(hit));
  return true;
}

HitPtr remove_pending(int64_t sid) {
  std::lock_guard<std::mutex> lock(disk_io_lock());
  auto found = pending().by_sid.find(sid);
  if (found == pending().by_sid.end()) return nullptr;
  HitPtr hit = std::move(found->second);
  pending().by_sid.erase(found);
  return hit;
}

// The sid's record, out of the table, when it waits for this very read (tag and file). A late
// completion (record released, sid reused) finds nothing.
HitPtr claim(int64_t sid, void* tag, cu_xfile* file) {
  std::lock_guard<std::mutex> lock(disk_io_lock());
  auto found = pending().by_sid.find(sid);
  if (found == pending().by_sid.end()) return nullptr;
  if (found->second->tag != tag || found->second->reading != file) return nullptr;
  HitPtr taken = std::move(found->second);
  pending().by_sid.erase(found);
  return taken;
}

// True when the client's request of this key was found undecodable from disk; any serve clears it.
bool take_no_disk_mark(int64_t sid, const char* cache_key) {
  std::lock_guard<std::mutex> lock(disk_io_lock());
  auto found = pending().no_disk_hit.find(sid);
  if (found == pending().no_disk_hit.end()) return false;
  const bool same = found->second == cache_key;
  pending().no_disk_hit.erase(found);
  return same;
}

void free_buffer(void* buffer) {
  if (buffer) cu_xmem_free(edgeserv_GetFOPxmemHandle(), buffer);
}

// ---- records and files ----------------------------------------------------------------------

// A non-negative hexadecimal length of the record; false when absent, negative or unreadable.
bool record_length(const char* record, const char* key, uint64_t* value) {
  char text[kNumberValueSize];
  if (!index_value(record, key, text, sizeof text) || !*text) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 16);
  if (errno != 0 || end == text || v < 0) return false;
  *value = static_cast<uint64_t>(v);
  return true;
}

bool read_lengths(const char* record, uint64_t* r1, uint64_t* r2, uint64_t* cl) {
  if (!record_length(record, "r1", r1) || !record_length(record, "r2", r2) || !record_length(record, "cl", cl)) {
    return false;
  }
  // r1 + r2 + cl must be a file size: 64-bit sums never wrap.
  return *r1 <= kMaxHeads && *r2 <= kMaxHeads && *cl <= static_cast<uint64_t>(INT64_MAX) - *r1 - *r2;
}

bool read_disk(const char* record, int32_t* disk) {
  char text[kShortValueSize];
  if (!index_value(record, "dn", text, sizeof text) || !*text) return false;
  *disk = static_cast<int32_t>(std::strtol(text, nullptr, 16));
  return true;
}

void delete_file_and_record(const char* path, cu_xfile* file, uint8_t kind) {
  edgeserv_fdelete(path);
  if (file) edgeserv_fclose(path, file);
  seams::disk_calls().index_del(kind, path);
}

// Opens a file through the registry; NULL when it cannot be read now. Error 0 is busy (being
// written or deleted); vanished tells a file that is gone.
cu_xfile* open_cache_file(const char* path, bool* vanished) {
  int32_t error = 0;
  cu_xfile* file = edgeserv_fopen_r(path, &error);
  *vanished = !file && error != 0 && cu_xfile_IsErrorForNoSuchFile(error);
  return file;
}

// The content record's holder of a shared body, opened; NULL when the record shares no body, the
// chain is broken (the broken links deleted) or the holder is busy (busy set).
std::unique_ptr<SharedBody> shared_body_open(const char* record, bool* busy) {
  char flag[kShortValueSize];
  char md5[kNameValueSize];
  if (!index_value(record, "cr", flag, sizeof flag) || std::strtol(flag, nullptr, 16) == 0) return nullptr;
  if (!index_value(record, "cm", md5, sizeof md5) || !*md5) return nullptr;
  uint64_t r1 = 0, r2 = 0, cl = 0;
  SharedHolder holder;
  if (!read_lengths(record, &r1, &r2, &cl) || !shared_holder(md5, cl, &holder)) return nullptr;
  auto body = std::make_unique<SharedBody>();
  body->kind = holder.kind;
  std::memcpy(body->record, holder.record, sizeof body->record);
  body->r1 = holder.r1;
  body->r2 = holder.r2;
  body->cl = holder.cl;
  body->path = holder.path;
  const std::string name = holder.name;
  auto drop_both = [&] {
    content_del(md5);
    seams::disk_calls().index_del(body->kind, name.c_str());
  };
  bool vanished = false;
  body->file = open_cache_file(body->path.c_str(), &vanished);
  if (vanished) drop_both();
  *busy = !body->file && !vanished;
  if (!body->file) return nullptr;
  if (static_cast<uint64_t>(cu_xfile_GetFileSize(body->file)) != body->r1 + body->r2 + body->cl) {
    delete_file_and_record(body->path.c_str(), body->file, body->kind);
    body->file = nullptr;
    content_del(md5);
    return nullptr;
  }
  body->ssd = policydb_diskno_IsSSD(static_cast<int32_t>(holder.disk)) != 0;
  return body;
}

// ---- reads ----------------------------------------------------------------------------------

vor_box* completion_box(int64_t sid) {
  edgeserv_ctx* ctx = edge_context();
  if (!ctx || !ctx->daemon || !ctx->daemon->bigbox) return nullptr;  // no edge server: the worker runs it
  return vor_bigbox_GetSlaveBox(ctx->daemon->bigbox, sid);
}

enum class Queued : uint8_t { kYes, kNoBuffer, kNo };

void* read_buffer(uint64_t length) {
  if (length > static_cast<uint64_t>(INT32_MAX)) return nullptr;
  return cu_xmem_malloc(edgeserv_GetFOPxmemHandle(), length ? length : 1);
}

// The record waits in the table with the read's tag and file before the read is queued: its
// completion may run at once. On failure the record leaves the table and is released.
Queued queue_read(HitPtr hit, cu_xfile* file, uint64_t offset, uint64_t length, vor_afile_fn done) {
  void* buffer = read_buffer(length);
  const int64_t sid = hit->sid;
  if (!buffer) return Queued::kNoBuffer;
  hit->tag = buffer;
  hit->reading = file;
  const bool ssd = hit->ssd;
  if (!insert_pending(hit)) {  // one hit in flight per connection
    free_buffer(buffer);
    return Queued::kNo;
  }
  vor_afile op{};
  op.file = file;
  op.box = completion_box(sid);
  op.type = VOR_AFILE_READ;
  op.offset = static_cast<int64_t>(offset);
  op.buffer = buffer;
  op.length = static_cast<int32_t>(length);
  op.callback = done;
  op.a1 = reinterpret_cast<void*>(static_cast<intptr_t>(sid));
  op.a2 = buffer;
  if (vor_afile_readx(&op, ssd ? 1 : 0)) return Queued::kYes;
  remove_pending(sid).reset();
  free_buffer(buffer);
  return Queued::kNo;
}

void heads_done(vor_afile* op, void*, void* a1, void* a2, void*, void*);
void whole_done(vor_afile* op, void*, void* a1, void* a2, void*, void*);
void body_done(vor_afile* op, void*, void* a1, void* a2, void*, void*);

struct Ask {
  int64_t sid;
  bool close;
  const char* cache_key;
  const char* disk_key;
  const char* path;
  const char* record;
  uint8_t kind;
  uint64_t r1, r2, cl;
  uint64_t from, to;
  int coding;
};

// Opens the file, checks it, registers the record and queues its first read.
Queued open_and_read(const Ask& q, bool whole) {
  if (q.r1 + q.r2 < 1 || q.r1 + q.r2 > kMaxHeads) {
    delete_file_and_record(q.path, nullptr, q.kind);
    return Queued::kNo;
  }
  bool vanished = false;
  cu_xfile* file = open_cache_file(q.path, &vanished);
  if (vanished) seams::disk_calls().index_del(q.kind, q.path);
  if (!file) return Queued::kNo;
  bool holder_busy = false;
  std::unique_ptr<SharedBody> shared = shared_body_open(q.record, &holder_busy);
  if (holder_busy) {
    // A holder being written or deleted is no reason to drop this entry: a miss for now.
    edgeserv_fclose(q.path, file);
    return Queued::kNo;
  }
  const uint64_t size = q.r1 + q.r2 + (shared ? 0 : q.cl);
  int32_t disk = 0;
  if (static_cast<uint64_t>(cu_xfile_GetFileSize(file)) != size || !read_disk(q.record, &disk)) {
    delete_file_and_record(q.path, file, q.kind);
    return Queued::kNo;
  }
  auto hit = std::make_unique<DiskHit>();
  hit->sid = q.sid;
  hit->close = q.close;
  hit->cache_key = q.cache_key;
  hit->disk_key = q.disk_key;
  hit->path = q.path;
  hit->file = file;
  hit->ssd = policydb_diskno_IsSSD(disk) != 0;
  hit->r1 = q.r1;
  hit->r2 = q.r2;
  hit->cl = q.cl;
  std::memcpy(hit->record, q.record, kIndexRecordSize);
  hit->kind = q.kind;
  hit->from = q.from;
  hit->to = q.to;
  hit->shared = std::move(shared);
  hit->coding = q.coding;
  return queue_read(std::move(hit), file, 0, whole ? size : q.r1 + q.r2, whole ? whole_done : heads_done);
}

// ---- answers --------------------------------------------------------------------------------

// A request head for the head hook when the connection has none: GET of the key's path.
Head hook_request(const std::string& key) {
  const size_t slash = key.find('/');
  const std::string host = key.substr(0, std::min<size_t>(slash == std::string::npos ? key.size() : slash, 200));
  const std::string target = slash == std::string::npos ? "/" : key.substr(slash);
  const std::string text = "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
  Head head(http_parser_make());
  if (head) {
    http_parser_parse(head.get(), text.data(), static_cast<int32_t>(text.size()));
    http_parser_buildIndex(head.get());
  }
  return head;
}

// The stored request must be this request's (or the rewritten key's).
bool same_request(const DiskHit& hit, http_parser* stored) {
  char key[kRequestKeyBuffer];
  if (!request_key(stored, key)) return false;
  if (strcasecmp(key, hit.cache_key.c_str()) == 0) return true;
  if (rewrite_entry_count() == 0) return false;
  char buffer[kKeyBuffer] = {};
  uint8_t skip = 0;
  const bool answered = call_rewrite_list(key, nullptr, buffer, &skip, nullptr);
  return strcasecmp(answered && !skip ? buffer : key, hit.disk_key.c_str()) == 0;
}

// The stored heads parsed and checked; NULL for a bad file.
Head parse_heads(const DiskHit& hit, const char* bytes) {
  Head request(http_parser_make());
  Head response(http_parser_make());
  if (!request || !response) return nullptr;
  http_parser_parse(request.get(), bytes, static_cast<int32_t>(hit.r1));
  if (!http_parser_check(request.get())) return nullptr;
  http_parser_buildIndex(request.get());
  if (!same_request(hit, request.get())) return nullptr;
  http_parser_parse(response.get(), bytes + hit.r1, static_cast<int32_t>(hit.r2));
  if (!http_parser_check(response.get())) return nullptr;
  http_parser_buildIndex(response.get());
  const Length length = content_length(response.get());
  if (length.field == LengthField::kInvalid || (length.field == LengthField::kValid && length.value != hit.cl)) {
    return nullptr;
  }
  // A chunked copy keeps its framing: a Content-Length beside it would contradict it.
  if (length.field == LengthField::kAbsent && !is_chunked(response.get())) {
    http_parser_InsertKey(response.get(), "Content-Length", std::to_string(hit.cl).c_str());
  }
  return response;
}

void mark_partial(http_parser* head, const DiskHit& hit) {
  http_parser_ModifyStatus(head, "206 Partial Content");
  http_parser_ModifyKey(head, "Content-Length", std::to_string(hit.to - hit.from).c_str());
  char range[96];
  std::snprintf(range, sizeof range, "bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64, hit.from,
                hit.to == 0 ? 0 : hit.to - 1, hit.cl);
  http_parser_ModifyKey(head, "Content-Range", range);
}

// X-Via, X-Cache, the range, the close and the Cache-Control of an answer from disk.
void finish_head(DiskHit& hit, http_parser* head) {
  http_parser_ModifyKey(head, "X-Via", edgeserv_XFlag());
  if (policydb_system_get_AddXCacheToHeader()) http_parser_ModifyKey(head, "X-Cache", "HIT");
  // A chunked copy cannot be cut under its framing: the whole 200 answers a range.
  if (is_chunked(head)) {
    hit.from = 0;
    hit.to = hit.cl;
  }
  if (hit.from != 0 || hit.to != hit.cl) mark_partial(head, hit);
  if (hit.close) http_parser_ModifyKey(head, "Connection", "close");
  rewrite_cache_control_disk(hit.record, head);
}

http_parser* client_request(int64_t sid) {
  client_rec* client = edgeserv_GetClient_BySid(sid);
  return client ? client->parser : nullptr;
}

// The request the plug-ins' hooks see: the client's head, else one made from the cache key.
http_parser* hooks_request(const DiskHit& hit, Head& made) {
  if (http_parser* request = client_request(hit.sid)) return request;
  made = hook_request(hit.cache_key);
  return made.get();
}

// Writes the head unless the plug-ins' head hook answers false, and logs the answer: its status
// and the body bytes it carries are known only now (a range may have become a whole 200).
void write_head(const DiskHit& hit, http_parser* head, uint64_t body_bytes) {
  char status[4];
  if (http_parser_GetStatus(head, status, sizeof status)) {
    access_log_hit(hit.sid, client_request(hit.sid), hit.cache_key.c_str(), status, body_bytes);
  }
  const ResponseHooks hooks = response_hooks();
  Head made;
  if (hooks.head && !hooks.head(hit.sid, hooks_request(hit, made), 0, head, 1)) return;
  edgeserv_WriteJitter(hit.sid, http_parser_GetStr(head), http_parser_GetLen(head));
}

void end_answer(const DiskHit& hit) {
  edgeserv_close(hit.sid, hit.close ? 0 : kKeepAliveMs);
  if (!hit.close) edgeserv_AnswerDone(hit.sid);
}

void bad_file(HitPtr hit) {
  delete_file_and_record(hit->path.c_str(), hit->file, hit->kind);
  hit->file = nullptr;
  const int64_t sid = hit->sid;
  hit.reset();
  edgeserv_close(sid, 0);
}

void cut_short(HitPtr hit) {
  const int64_t sid = hit->sid;
  hit.reset();
  edgeserv_close(sid, 0);
}

// Copies a whole body into the memory cache; false when the body queue cannot hold it.
bool promote(const DiskHit& hit, http_parser* head, const char* body, uint64_t len) {
  cu_xjitter queue{};
  init_body_queue(&queue);
  if (cu_xjitter_SetData(&queue, body, len) != len) {
    cu_xjitter_destroy(&queue);
    return false;
  }
  const int64_t expiry = static_cast<int64_t>(index_hex(hit.record, "ep", static_cast<uint64_t>(edgeserv_mytime())));
  char rule[kShortValueSize];
  const uint32_t type = index_value(hit.record, "cc", rule, sizeof rule) && std::strcmp(rule, "1") == 0 ? 1 : 0;
  store_memory_from_disk(hit.cache_key.c_str(), http_parser_GetStr(head), &queue, hit.kind, type, expiry);
  cu_xjitter_destroy(&queue);
  return true;
}

// The whole body from memory, then its copy to the memory cache.
void send_whole_body(HitPtr hit, http_parser* head, const char* body) {
  edgeserv_WriteJitter(hit->sid, body, static_cast<int32_t>(hit->cl));
  if (promote(*hit, head, body, hit->cl)) {
    end_answer(*hit);
  } else {
    edgeserv_close(hit->sid, 0);
  }
}

// Not served from disk after all: the request is read again and goes upstream.
void go_upstream(HitPtr hit) {
  const int64_t sid = hit->sid;
  const std::string cache_key = hit->cache_key;
  hit.reset();
  {
    std::lock_guard<std::mutex> lock(disk_io_lock());
    pending().no_disk_hit[sid] = cache_key;
  }
  edgeserv_RereadRequest(sid);
}

// A chunked copy is not for a client that reads no chunked framing: the answer relayed from
// upstream reaches it de-chunked.
bool framing_unreadable(const DiskHit& hit, http_parser* head) {
  http_parser* request = client_request(hit.sid);
  return request && !vor::upfetch::speaks_http11(request) && is_chunked(head);
}

// A coded copy decoded for the client. Lack of room is a miss: the request is read again and goes
// upstream; corrupt data is a bad file.
void send_decoded(HitPtr hit, http_parser* head, const char* body) {
  char* plain = nullptr;
  uint32_t plain_len = 0;
  const DecodeOutcome outcome = decode_copy(head, body, hit->cl, &plain, &plain_len);
  if (outcome == DecodeOutcome::kBad) return bad_file(std::move(hit));
  if (outcome == DecodeOutcome::kNoRoom) return go_upstream(std::move(hit));
  finish_head(*hit, head);
  write_head(*hit, head, plain_len);
  Head made;
  Chunk chunk{plain, static_cast<int32_t>(plain_len)};
  run_body_hooks(hit->sid, hooks_request(*hit, made), 0, head, 1, true, chunk);
  if (chunk.send && chunk.len > 0) edgeserv_WriteJitter(hit->sid, chunk.data, chunk.len);
  release_chunk(chunk, plain);
  codec_free(nullptr, plain);
  end_answer(*hit);
}

int64_t sid_of(void* a1) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(a1)); }

void heads_done(vor_afile* op, void*, void* a1, void* tag, void*, void*) {
  HitPtr hit = claim(sid_of(a1), tag, op->file);
  if (!hit) return free_buffer(tag);
  const char* bytes = static_cast<const char*>(op->buffer);
  if (op->result < 0 || static_cast<uint64_t>(op->result) != hit->r1 + hit->r2) {
    free_buffer(tag);
    return cut_short(std::move(hit));
  }
  Head head = parse_heads(*hit, bytes);
  free_buffer(tag);
  if (!head) return bad_file(std::move(hit));
  if (framing_unreadable(*hit, head.get())) return go_upstream(std::move(hit));
  finish_head(*hit, head.get());
  write_head(*hit, head.get(), hit->to - hit->from);
  const SharedBody* shared = hit->shared.get();
  const uint64_t base = shared ? shared->r1 + shared->r2 : hit->r1 + hit->r2;
  const std::string& path = shared ? shared->path : hit->path;
  cu_xfile* file = shared ? hit->shared->file : hit->file;
  const bool ssd = shared ? shared->ssd : hit->ssd;
  // The output queue owns the file from here and closes it when the range is sent.
  if (shared) {
    hit->shared->file = nullptr;
  } else {
    hit->file = nullptr;
  }
  const int64_t from = static_cast<int64_t>(base + hit->from);
  const int64_t to = static_cast<int64_t>(base + hit->to);
  if (ssd) {
    edgeserv_WriteFileEx_BySSD(hit->sid, path.c_str(), file, from, to);
  } else {
    edgeserv_WriteFileEx(hit->sid, path.c_str(), file, from, to);
  }
  end_answer(*hit);
}

void whole_done(vor_afile* op, void*, void* a1, void* tag, void*, void*) {
  const int64_t sid = sid_of(a1);
  HitPtr hit = claim(sid, tag, op->file);
  if (!hit) return free_buffer(tag);
  const char* bytes = static_cast<const char*>(op->buffer);
  const uint64_t want = hit->r1 + hit->r2 + (hit->shared ? 0 : hit->cl);
  if (op->result < 0 || static_cast<uint64_t>(op->result) != want) {
    free_buffer(tag);
    return cut_short(std::move(hit));
  }
  Head head = parse_heads(*hit, bytes);
  if (!head) {
    free_buffer(tag);
    return bad_file(std::move(hit));
  }
  if (framing_unreadable(*hit, head.get())) {
    free_buffer(tag);
    return go_upstream(std::move(hit));
  }
  if (!hit->shared) {
    // The body's place is read before the hit moves into the call.
    const char* body = bytes + hit->r1 + hit->r2;
    if (hit->coding != kNone) {
      send_decoded(std::move(hit), head.get(), body);
    } else {
      finish_head(*hit, head.get());
      write_head(*hit, head.get(), hit->cl);
      send_whole_body(std::move(hit), head.get(), body);
    }
    return free_buffer(tag);
  }
  free_buffer(tag);
  // The body comes from the holder's file; a copy to decode keeps its head unsent until then.
  if (hit->coding == kNone) {
    finish_head(*hit, head.get());
    write_head(*hit, head.get(), hit->to - hit->from);
  }
  hit->kept = std::move(head);
  cu_xfile* holder = hit->shared->file;
  const uint64_t offset = hit->shared->r1 + hit->shared->r2 + hit->from;
  const uint64_t length = hit->to - hit->from;
  if (queue_read(std::move(hit), holder, offset, length, body_done) != Queued::kYes) {
    edgeserv_close(sid, 0);
  }
}

void body_done(vor_afile* op, void*, void* a1, void* tag, void*, void*) {
  HitPtr hit = claim(sid_of(a1), tag, op->file);
  if (!hit) return free_buffer(tag);
  const char* bytes = static_cast<const char*>(op->buffer);
  if (op->result < 0 || static_cast<uint64_t>(op->result) != hit->to - hit->from) {
    free_buffer(tag);
    return cut_short(std::move(hit));
  }
  Head head = std::move(hit->kept);
  if (hit->coding != kNone) {
    send_decoded(std::move(hit), head.get(), bytes);
  } else {
    send_whole_body(std::move(hit), head.get(), bytes);
  }
  free_buffer(tag);
}

// The coding the stored copy has and the client's request does not take; kNone otherwise.
int coding_lacked(int64_t sid, const char* record) {
  char name[kShortValueSize];
  if (!index_value(record, "ce", name, sizeof name)) return kNone;
  int coding = kNone;
  for (int c = kGzip; c <= kCompress; ++c) {
    if (strcasecmp(name, coding_name(c)) == 0) coding = c;
  }
  if (coding == kNone) return kNone;
  http_parser* request = client_request(sid);
  char accept[100];
  if (request && http_parser_GetKey(request, "Accept-Encoding", accept, sizeof accept) &&
      contains_ignore_case(accept, coding_name(coding))) {
    return kNone;
  }
  return coding;
}

}  // namespace

bool disk_serve(int64_t client_sid, bool close, const char* cache_key, const char* disk_key, const char* path,
                const char* record, uint8_t kind, int64_t from, int64_t to) {
  if (!cache_key || !disk_key || !path || !record) return false;
  if (take_no_disk_mark(client_sid, cache_key)) return false;
  if (writer_count() + seams::pending_disk_reads() >= policydb_system_get_MaxOpenedFilesByDiskCache()) return false;
  Ask q{client_sid, close, cache_key, disk_key, path, record, kind, 0, 0, 0, 0, 0, kNone};
  if (!read_lengths(record, &q.r1, &q.r2, &q.cl)) {
    delete_file_and_record(path, nullptr, kind);
    return false;
  }
  const uint64_t end = to < 0 ? q.cl : static_cast<uint64_t>(to);
  if (from < 0 || end > q.cl || static_cast<uint64_t>(from) > end) return false;
  q.from = static_cast<uint64_t>(from);
  q.to = end;
  q.coding = coding_lacked(client_sid, record);
  if (q.coding != kNone) {
    // Decoded in one piece: the whole coded body is read, the range dropped.
    if (q.cl > kMaxCodedBody) return false;
    q.from = 0;
    q.to = q.cl;
    return open_and_read(q, true) == Queued::kYes;
  }
  const bool whole = q.from == 0 && q.to == q.cl && q.cl <= policydb_system_get_MaxCacheBlockSize() &&
                     q.r1 + q.r2 + q.cl <= static_cast<uint64_t>(INT32_MAX);
  if (whole) {
    const Queued queued = open_and_read(q, true);
    if (queued != Queued::kNoBuffer) return queued == Queued::kYes;
  }
  return open_and_read(q, false) == Queued::kYes;
}

void cancel_disk_read(int64_t client_sid) {
  HitPtr hit = remove_pending(client_sid);
  {
    std::lock_guard<std::mutex> lock(disk_io_lock());
    pending().no_disk_hit.erase(client_sid);
  }
  hit.reset();
}

namespace seams {

bool disk_read_pending(int64_t client_sid) {
  std::lock_guard<std::mutex> lock(disk_io_lock());
  return pending().by_sid.count(client_sid) != 0;
}

size_t pending_disk_reads() {
  std::lock_guard<std::mutex> lock(disk_io_lock());
  return pending().by_sid.size();
}

}  // namespace seams

}  // namespace vor::reqgate
