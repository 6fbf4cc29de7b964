// The output queue of a client connection and its writers. Writers send at once when the queue
// is empty and queue the rest; the pump sends from the head task whenever the socket is
// writable; a close is itself a task, so a connection closes only after the output queued
// before it. Every send and every queue change happens under the record's lock, so the bytes of
// concurrent writers never interleave inside one write; write hooks and the writable notice run
// after the lock is released.
//
// Output that cannot be queued whole (task limit, block limit, pool dry, no arena memory) is
// never followed by later bytes: the writer answers 0 and force-closes the connection, so the
// client sees a cut connection instead of an answer with a hole in it.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "cu_util.h"
#include "edgeserv_internal.h"
#include "vor_afile.h"
#include "vor_box.h"

// One entry of a client's output queue, in the connection's arena.
struct edgeserv_task {
  uint8_t type;           // edge::TaskKind
  cu_xjitter bytes;       // memory task: bytes still to send
  cu_xjitter* bytes_ptr;  // &bytes for a memory task, NULL otherwise
  char* name;             // file task: registry name, in the arena
  cu_xfile* file;         // file task: the open file, released when the task ends
  int64_t next_offset;    // file task: offset of the next byte to send
  int64_t end_offset;     // file task: first offset past the range
  uint8_t reading;        // file task: a read is in flight
  void* buffer;           // file task: the slice buffer while no read is in flight
  int32_t capacity;
  int32_t buffer_offset;  // bytes of the slice already sent
  int32_t buffer_length;  // bytes read into the slice
  void* in_flight;        // the buffer the outstanding read owns; it names the read
  uint8_t ssd;
  int32_t delay;          // close task: ms before closing
  edgeserv_task* prev;
  edgeserv_task* next;
};

// The queue: a list of tasks; the pump works on the head, writers add at the tail.
struct edgeserv_outq {
  edgeserv_task* head;
  edgeserv_task* tail;
  int32_t count;
};

namespace edge {
namespace {

constexpr int32_t kMaxTasks = 100000;
constexpr int32_t kSendStep = 32768;
constexpr uint64_t kBlockSize = 2048;
constexpr uint64_t kMaxBlocks = 8192;

using Task = edgeserv_task;

vor_bigbox* bigbox_of(edgeserv_ctx* ctx) { return ctx && ctx->daemon ? ctx->daemon->bigbox : nullptr; }

// The write hooks, under a lock of their own (taken under a record's lock, never around one).
struct HookList {
  std::mutex lock;
  std::vector<edgeserv_write_hook_fn> fns;  // cleared entries stay and are skipped
  std::atomic<bool> any{false};
};

HookList& hooks() {
  static HookList h;
  return h;
}

std::atomic<uint64_t> g_total_sent{0};
std::atomic<uint64_t> g_pump_runs{0};  // writable events handled: a spinning pump shows here

// Hook calls made under the record's lock and run after it.
struct HookCalls {
  std::vector<edgeserv_write_hook_fn> fns;
  std::vector<std::string> chunks;
  void add(const char* data, int32_t n) {
    if (n > 0 && !fns.empty()) chunks.emplace_back(data, static_cast<size_t>(n));
  }
  void run(int64_t sid) {
    expect_unlocked();
    for (const std::string& c : chunks)
      for (edgeserv_write_hook_fn fn : fns)
        if (fn) fn(sid, c.data(), static_cast<int32_t>(c.size()));
  }
};

// The hooks in force, copied under the hook list's lock.
std::vector<edgeserv_write_hook_fn> hooks_now() {
  if (!hooks().any.load(std::memory_order_acquire)) return {};
  std::lock_guard<std::mutex> hold(hooks().lock);
  std::vector<edgeserv_write_hook_fn> out;
  for (edgeserv_write_hook_fn fn : hooks().fns)
    if (fn) out.push_back(fn);
  return out;
}

void count_sent(client_rec* rec, int32_t n) {
  if (n <= 0) return;
  std::atomic_ref<uint32_t>(rec->sent).fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed);
  g_total_sent.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
}

// One send: bytes sent, 0 when it would block, -1 on error. A TLS client's bytes go through its
// TLS connection once the handshake is done; a close_notify or fatal error ends the connection.
int32_t send_some(edgeserv_ctx* ctx, client_rec* rec, const void* data, int32_t len) {
  if (!rec->tls_on) return vor_bigbox_write(bigbox_of(ctx), rec->sid, data, len);
  if (!rec->tls.handshake_done) return 0;
  const int32_t n = cu_ssl_conn_write(&rec->tls, data, len);
  if (n > 0) return n;
  if (rec->tls.state == CU_SSL_STATE_CLOSE_NOTIFY) {
    cu_ssl_conn_shutdown(&rec->tls);
    return -1;
  }
  return rec->tls.state == CU_SSL_STATE_FATAL || n < 0 ? -1 : 0;
}

// A TLS client whose last step could not write all its bytes (a handshake flight bigger than
// the send buffer) stays watched for writing: the writable handler steps it again.
bool wants_room(const client_rec* rec) { return rec->tls_on && rec->tls.state == CU_SSL_STATE_WANT_WRITE; }

// A TLS client whose output waits for its peer's bytes (the handshake, or a write that needs
// input) is not watched for writing: the next TLS read step starts the pump again.
bool waits_for_peer(const client_rec* rec) {
  return rec->tls_on && !wants_room(rec) && (!rec->tls.handshake_done || rec->tls.state == CU_SSL_STATE_WANT_READ);
}

void cancel_delay_timer(edgeserv_ctx* ctx, client_rec* rec) {
  if (rec->delay_timer <= 0) return;
  if (vor_box* box = vor_bigbox_GetSlaveBox(bigbox_of(ctx), rec->sid)) vor_box_DeleteTimer(box, rec->delay_timer);
  rec->delay_timer = 0;
}

void on_writable(vor_bigbox* bb, void* ud, int64_t sid);

}  // namespace

void start_writing(edgeserv_ctx* ctx, client_rec* rec) {
  // A force-closed connection stays without interest until its timer ends it.
  if (rec->writing || rec->force_timer != 0) return;
  rec->writing = vorx_bigbox_import_ForWrite(bigbox_of(ctx), rec->sid, on_writable, ctx) ? 1 : 0;
}

void stop_writing(edgeserv_ctx* ctx, client_rec* rec) {
  if (rec->writing) vorx_bigbox_export_ForWrite(bigbox_of(ctx), rec->sid);
  rec->writing = 0;
}

namespace {

// --- tasks ------------------------------------------------------------------------------------

Task* new_task(client_rec* rec) {
  void* block = cu_xmem_malloc(rec->arena, sizeof(Task));
  if (!block) return nullptr;
  memset(block, 0, sizeof(Task));
  return static_cast<Task*>(block);
}

void push_task(edgeserv_outq* q, Task* t) {
  t->prev = q->tail;
  t->next = nullptr;
  if (q->tail)
    q->tail->next = t;
  else
    q->head = t;
  q->tail = t;
  ++q->count;
}

void unlink_task(edgeserv_outq* q, Task* t) {
  (t->prev ? t->prev->next : q->head) = t->next;
  (t->next ? t->next->prev : q->tail) = t->prev;
  --q->count;
}

void make_memory(Task* t) {
  t->type = kTaskMemory;
  cu_xjitter_init(&t->bytes, xjitter_pool(), kBlockSize, kMaxBlocks);
  t->bytes_ptr = &t->bytes;
}

// Releases what a task holds. A read in flight keeps its buffer: the completion frees it.
void release_contents(client_rec* rec, Task* t) {
  if (t->type == kTaskMemory) cu_xjitter_destroy(&t->bytes);
  if (t->type == kTaskFile) {
    if (t->buffer) fileop_free(t->buffer);
    if (t->file) defer_file_release(t->name ? t->name : "", t->file);
    if (t->name) cu_xmem_free(rec->arena, t->name);
  }
  t->buffer = nullptr;
  t->file = nullptr;
  t->name = nullptr;
  t->bytes_ptr = nullptr;
}

void end_task(client_rec* rec, Task* t) {
  release_contents(rec, t);
  unlink_task(rec->queue, t);
  cu_xmem_free(rec->arena, t);
}

void tasks_too_much(const char* writer) {
  if (!flags().display.load(std::memory_order_relaxed)) return;
  char line[160];
  snprintf(line, sizeof line, "[quorin -> zazudaza] zazudaza -> %s -> tasks too much!\n", writer);
  console(line);
}

// The tail task made ready for memory output: a tail memory task, a tail close task taken over,
// or a new task; NULL when none can be had.
Task* memory_tail(client_rec* rec, bool force_new) {
  edgeserv_outq* q = rec->queue;
  Task* tail = q->tail;
  if (!force_new && tail && tail->type == kTaskMemory) return tail;
  if (!force_new && tail && tail->type == kTaskClose) {
    tail->delay = 0;
    make_memory(tail);
    return tail;
  }
  if (q->count > kMaxTasks) return nullptr;
  Task* t = new_task(rec);
  if (!t) return nullptr;
  make_memory(t);
  push_task(q, t);
  return t;
}

// Queues all len bytes behind the output; false when some could not be queued.
bool queue_memory(client_rec* rec, const char* data, int32_t len) {
  if (rec->queue->count > kMaxTasks) {
    tasks_too_much("__write_jitter2");
    return false;
  }
  bool force_new = false;
  while (len > 0) {
    Task* t = memory_tail(rec, force_new);
    if (!t) {
      if (rec->queue->count > kMaxTasks) tasks_too_much("__write_jitter2");
      return false;
    }
    const bool fresh = cu_xjitter_GetLen(&t->bytes) == 0;
    const uint64_t took = cu_xjitter_SetData(&t->bytes, data, static_cast<uint64_t>(len));
    data += took;
    len -= static_cast<int32_t>(took);
    if (len == 0) break;
    // A task at its block cap gets a new task behind it; a fresh task that takes nothing
    // means the pool is dry.
    if (took == 0 && fresh) return false;
    force_new = cu_xjitter_GetAvailableLen(&t->bytes) == 0 || took == 0;
    if (!force_new) return false;
  }
  return true;
}

// --- the pump ---------------------------------------------------------------------------------

enum class Step { kNext, kWait, kClose, kForce };

thread_local char t_send_buffer[kSendStep];

Step pump_memory(edgeserv_ctx* ctx, client_rec* rec, Task* t, HookCalls* calls, bool* wrote) {
  while (cu_xjitter_GetLen(&t->bytes) > 0) {
    const uint64_t n = cu_xjitter_PeekData(&t->bytes, t_send_buffer, kSendStep);
    const int32_t sent = send_some(ctx, rec, t_send_buffer, static_cast<int32_t>(n));
    if (sent < 0) {
      if (*wrote) return Step::kWait;
      stop_writing(ctx, rec);
      return Step::kClose;
    }
    if (sent == 0) return Step::kWait;
    *wrote = true;
    calls->add(t_send_buffer, sent);
    count_sent(rec, sent);
    cu_xjitter_GetData(&t->bytes, nullptr, static_cast<uint64_t>(sent));
    if (static_cast<uint64_t>(sent) < n) return Step::kWait;
  }
  end_task(rec, t);
  return Step::kNext;
}

// Sends what is left of the file task's slice; kNext when it is all out.
Step send_slice(edgeserv_ctx* ctx, client_rec* rec, Task* t, HookCalls* calls) {
  while (t->buffer_offset < t->buffer_length) {
    const int32_t want = std::min(t->buffer_length - t->buffer_offset, kSendStep);
    const char* from = static_cast<const char*>(t->buffer) + t->buffer_offset;
    const int32_t sent = send_some(ctx, rec, from, want);
    if (sent < 0) return Step::kClose;
    if (sent == 0) return Step::kWait;
    calls->add(from, sent);
    count_sent(rec, sent);
    t->buffer_offset += sent;
    t->next_offset += sent;
    if (sent < want) return Step::kWait;
  }
  return Step::kNext;
}

void read_done(vor_afile* op, void* ud, void* a1, void*, void*, void*);

// A slice buffer: the size by the files with operations pending, never more than is left.
void* slice_buffer(Task* t, int64_t left) {
  if (t->buffer) return t->buffer;
  const int32_t pending = vor_filter_nfiles();
  int32_t size = pending < 10 ? 262144 : pending < 100 ? 131072 : 65536;
  for (int32_t want : {size, 32768, 8192}) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(want, left));
    if (void* b = fileop_alloc(static_cast<uint64_t>(n))) {
      t->capacity = n;
      return b;
    }
  }
  return nullptr;
}

// Starts the read of the next slice; kWait while it is in flight.
Step start_read(edgeserv_ctx* ctx, client_rec* rec, Task* t) {
  const int64_t left = t->end_offset - t->next_offset;
  void* buffer = slice_buffer(t, left);
  if (!buffer) return Step::kForce;
  t->buffer = nullptr;
  vor_afile op{};
  op.file = t->file;
  op.box = vor_bigbox_GetSlaveBox(bigbox_of(ctx), rec->sid);
  op.type = VOR_AFILE_READ;
  op.offset = t->next_offset;
  op.buffer = buffer;
  op.length = static_cast<int32_t>(std::min<int64_t>(left, t->capacity));
  op.callback = read_done;
  op.ud = ctx;
  op.a1 = sid_to_ud(rec->sid);
  if (!op.box || !vor_afile_readx(&op, t->ssd)) {
    fileop_free(buffer);
    return Step::kForce;
  }
  t->reading = 1;
  t->in_flight = buffer;
  t->buffer_offset = 0;
  t->buffer_length = 0;
  stop_writing(ctx, rec);
  return Step::kWait;
}

Step pump_file(edgeserv_ctx* ctx, client_rec* rec, Task* t, HookCalls* calls) {
  if (t->reading) {
    stop_writing(ctx, rec);
    return Step::kWait;
  }
  const Step sent = send_slice(ctx, rec, t, calls);
  if (sent == Step::kClose) stop_writing(ctx, rec);
  if (sent != Step::kNext) return sent;
  if (t->next_offset >= t->end_offset) {
    end_task(rec, t);
    return Step::kNext;
  }
  return start_read(ctx, rec, t);
}

void arm_delay_timer(edgeserv_ctx* ctx, client_rec* rec, uint32_t delay) {
  vor_box* box = vor_bigbox_GetSlaveBox(bigbox_of(ctx), rec->sid);
  cancel_delay_timer(ctx, rec);
  const int32_t id = box ? vor_box_NewOnceTimer(box, delay, close_timer, sid_to_ud(rec->sid)) : 0;
  rec->delay_timer = id > 0 ? id : 0;
}

Step pump_close(edgeserv_ctx* ctx, client_rec* rec, Task* t) {
  const int32_t delay = t->delay;
  end_task(rec, t);
  if (delay <= 0) return Step::kClose;
  arm_delay_timer(ctx, rec, static_cast<uint32_t>(delay));
  return Step::kNext;
}

Step pump_step(edgeserv_ctx* ctx, client_rec* rec, HookCalls* calls, bool* wrote) {
  Task* t = rec->queue->head;
  switch (t->type) {
    case kTaskMemory:
      return pump_memory(ctx, rec, t, calls, wrote);
    case kTaskFile:
      return pump_file(ctx, rec, t, calls);
    case kTaskClose:
      return pump_close(ctx, rec, t);
    default:
      end_task(rec, t);
      return Step::kNext;
  }
}

// What a pump run or a completion leaves to do once the lock is released.
struct AfterUnlock {
  Step end = Step::kWait;
  edgeserv_writable_fn notice = nullptr;
  void* notice_arg = nullptr;
  HookCalls calls;
};

void finish(edgeserv_ctx* ctx, int64_t sid, AfterUnlock& after) {
  after.calls.run(sid);
  if (after.end == Step::kClose) {
    close_now(ctx, sid);
    return;
  }
  if (after.end == Step::kForce) {
    edgeserv_ForceClose(sid);
    return;
  }
  if (after.notice) after.notice(ctx, sid, after.notice_arg);
}

void take_notice(client_rec* rec, AfterUnlock* after) {
  if (rec->queue->count != 0) return;
  after->notice = rec->notice_fn;
  after->notice_arg = rec->notice_arg;
}

// A TLS step that waited for room (a handshake flight or a read's own output) runs again on
// the slave thread before the pump takes the record's lock.
bool rerun_tls_step(edgeserv_ctx* ctx, int64_t sid) {
  client_rec* rec;
  {
    ClientLock lock(ctx, sid);
    rec = lock.rec();
    if (!rec || !rec->tls_on || !rec->tls.cross_want) return rec != nullptr;
    stop_writing(ctx, rec);
  }
  tls_read_step(ctx, rec, nullptr, 0);
  return ClientLock(ctx, sid).rec() == rec;
}

void on_writable(vor_bigbox* bb, void* ud, int64_t sid) {
  auto* ctx = static_cast<edgeserv_ctx*>(ud);
  g_pump_runs.fetch_add(1, std::memory_order_relaxed);
  if (!rerun_tls_step(ctx, sid)) return;
  AfterUnlock after;
  {
    ClientLock lock(ctx, sid);
    client_rec* rec = lock.rec();
    if (!rec) return;
    std::atomic_ref<int64_t> owner(rec->owner_thread);
    if (owner.load(std::memory_order_relaxed) == 0) owner.store(cu_GetThisThreadId(), std::memory_order_relaxed);
    after.calls.fns = hooks_now();
    bool wrote = false;
    Step step = Step::kNext;
    while (step == Step::kNext && rec->queue->head) step = pump_step(ctx, rec, &after.calls, &wrote);
    if (!rec->queue->head && step == Step::kNext) {
      if (!wants_room(rec)) stop_writing(ctx, rec);
      // A module's pause (a name look-up, an upstream that fell behind) outlasts the queue.
      if (!rec->reading && !rec->read_held) {
        rec->reading = vorx_bigbox_start_ForRead(bb, sid) ? 1 : 0;
        if (rec->reading && rec->tls_on) tls_post_read_step(ctx, sid);
      }
    }
    if (step == Step::kWait && waits_for_peer(rec)) stop_writing(ctx, rec);
    after.end = step;
    take_notice(rec, &after);
  }
  finish(ctx, sid, after);
}

}  // namespace

void pump_now(edgeserv_ctx* ctx, int64_t sid) { on_writable(bigbox_of(ctx), ctx, sid); }

namespace {

// File read completion, on the client's slave box. The buffer is the read's: it goes back to
// its task when that task still waits for it, else it is freed here.
void read_done(vor_afile* op, void* ud, void* a1, void*, void*, void*) {
  auto* ctx = static_cast<edgeserv_ctx*>(ud);
  const int64_t sid = ud_to_sid(a1);
  void* buffer = op->buffer;
  AfterUnlock after;
  {
    ClientLock lock(ctx, sid);
    client_rec* rec = lock.rec();
    Task* t = rec ? rec->queue->head : nullptr;
    if (!t || t->type != kTaskFile || !t->reading || t->in_flight != buffer) {
      fileop_free(buffer);
      return;
    }
    t->reading = 0;
    t->in_flight = nullptr;
    t->buffer = buffer;
    if (op->result <= 0 || op->cancelled) {
      // The file ends short of its range: nothing may follow the hole.
      end_task(rec, t);
      after.end = Step::kForce;
    } else {
      after.calls.fns = hooks_now();
      t->buffer_offset = 0;
      t->buffer_length = op->result;
      after.end = send_slice(ctx, rec, t, &after.calls);
      if (after.end == Step::kClose) end_task(rec, t);
      if (after.end == Step::kNext && t->next_offset >= t->end_offset) end_task(rec, t);
      if (after.end != Step::kClose) start_writing(ctx, rec);
      if (after.end == Step::kNext) after.end = Step::kWait;
    }
  }
  finish(ctx, sid, after);
}

// --- writers ----------------------------------------------------------------------------------

// The held client if a writer may write to it, or NULL (unknown or force-closed).
client_rec* writable_client(const ClientLock& held) {
  client_rec* rec = held.rec();
  return rec && rec->force_timer == 0 ? rec : nullptr;
}

bool on_owner_thread(const client_rec* rec) {
  return std::atomic_ref<int64_t>(const_cast<client_rec*>(rec)->owner_thread).load(std::memory_order_relaxed) ==
         static_cast<int64_t>(cu_GetThisThreadId());
}

uint8_t write_memory(int64_t sid, const char* data, int32_t len) {
  if (len < 1 || !data) return 1;
  edgeserv_ctx* ctx = context();
  if (!ctx) return 0;
  HookCalls calls;
  bool queued = true;
  {
    ClientLock lock(ctx, sid);
    client_rec* rec = writable_client(lock);
    if (!rec) return 0;
    cancel_delay_timer(ctx, rec);
    calls.fns = hooks_now();
    int32_t sent = 0;
    // A TLS connection is written only on its own slave thread, once its handshake is done.
    const bool direct = rec->tls_on ? on_owner_thread(rec) && rec->tls.handshake_done
                                    : calls.fns.empty() || on_owner_thread(rec);
    if (rec->queue->count == 0 && direct) {
      sent = std::max(send_some(ctx, rec, data, len), 0);
      calls.add(data, sent);
      count_sent(rec, sent);
    }
    if (sent < len) {
      queued = queue_memory(rec, data + sent, len - sent);
      start_writing(ctx, rec);
    }
  }
  calls.run(sid);
  if (!queued) edgeserv_ForceClose(sid);
  return queued ? 1 : 0;
}

// Queues the range of an open file; the file is the queue's (or released) from here on.
uint8_t write_file(int64_t sid, const char* name, cu_xfile* file, int64_t from, int64_t to, bool ssd) {
  edgeserv_ctx* ctx = context();
  bool refused = true;
  bool cut = false;
  {
    ClientLock lock(ctx, sid);
    client_rec* rec = writable_client(lock);
    if (rec) {
      cancel_delay_timer(ctx, rec);
      cut = true;
      Task* t = nullptr;
      if (rec->queue->count > kMaxTasks) {
        tasks_too_much("__write_file2");
      } else if (rec->queue->tail && rec->queue->tail->type == kTaskClose) {
        t = rec->queue->tail;
      } else if ((t = new_task(rec)) != nullptr) {
        push_task(rec->queue, t);
      }
      char* copy = t ? cu_xmem_strdup(rec->arena, name) : nullptr;
      if (t && copy) {
        t->type = kTaskFile;
        t->delay = 0;
        t->name = copy;
        t->file = file;
        t->next_offset = from;
        t->end_offset = to;
        t->ssd = ssd ? 1 : 0;
        start_writing(ctx, rec);
        refused = false;
        cut = false;
      } else if (t) {
        end_task(rec, t);
      }
    }
    if (refused) defer_file_release(name, file);
  }
  if (cut) edgeserv_ForceClose(sid);
  return refused ? 0 : 1;
}

uint8_t write_file_ex(int64_t sid, const char* name, cu_xfile* file, int64_t from, int64_t to, bool ssd) {
  if (!name) return 1;
  if (to <= from) {
    if (file) edgeserv_fclose(name, file);
    return 1;
  }
  if (!file) file = edgeserv_fopen_r(name, nullptr);
  if (!file) return 0;
  return write_file(sid, name, file, from, to, ssd);
}

uint8_t write_file_plain(int64_t sid, const char* name, int64_t from, int64_t to, bool ssd) {
  if (!name || to <= from) return 1;
  return write_file_ex(sid, name, nullptr, from, to, ssd);
}

// Reports a sid whose socket has no slave box; the caller then leaves it alone.
void no_slave_box(edgeserv_ctx* ctx, const char* what, int64_t sid) {
  char line[200];
  snprintf(line, sizeof line, "[quorin -> zazudaza] %s(sid=%lld)!", what, static_cast<long long>(sid));
  console((std::string(line) + "\n").c_str());
  cu_log_error(ctx->log, "%s\r\n", line);
}

}  // namespace

edgeserv_outq* queue_make(cu_xmem* arena) {
  void* block = cu_xmem_malloc(arena, sizeof(edgeserv_outq));
  if (!block) return nullptr;
  memset(block, 0, sizeof(edgeserv_outq));
  return static_cast<edgeserv_outq*>(block);
}

void queue_release_all(client_rec* rec) {
  if (!rec->queue) return;
  while (rec->queue->head) end_task(rec, rec->queue->head);
}

int head_task_kind(const client_rec* rec) {
  const edgeserv_outq* q = rec->queue;
  return q && q->head ? q->head->type : -1;
}

int32_t queue_length(const client_rec* rec) { return rec->queue ? rec->queue->count : 0; }

std::string queue_kinds(const client_rec* rec) {
  std::string out;
  for (Task* t = rec->queue->head; t; t = t->next) out += static_cast<char>('0' + t->type);
  return out;
}

std::string queued_bytes(const client_rec* rec) {
  std::string out;
  for (Task* t = rec->queue->head; t; t = t->next) {
    if (t->type != kTaskMemory) continue;
    std::string part(cu_xjitter_GetLen(&t->bytes), '\0');
    cu_xjitter_PeekData(&t->bytes, part.data(), part.size());
    out += part;
  }
  return out;
}

bool push_empty_task(client_rec* rec) {
  Task* t = new_task(rec);
  if (t) push_task(rec->queue, t);
  return t != nullptr;
}

uint64_t total_sent() { return g_total_sent.load(std::memory_order_relaxed); }
uint64_t pump_runs() { return g_pump_runs.load(std::memory_order_relaxed); }

void reset_write_hooks() {
  std::lock_guard<std::mutex> hold(hooks().lock);
  hooks().fns.clear();
  hooks().any.store(false);
}

void take_back_delayed_close(edgeserv_ctx* ctx, int64_t sid) {
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec || std::atomic_ref<uint8_t>(rec->closing).load(std::memory_order_relaxed)) return;
  cancel_delay_timer(ctx, rec);
  Task* tail = rec->queue->tail;
  if (tail && tail->type == kTaskClose && tail->delay > 0) end_task(rec, tail);
}

}  // namespace edge

using namespace edge;

extern "C" {

uint8_t edgeserv_WriteJitter(int64_t sid, const char* data, int32_t len) { return write_memory(sid, data, len); }

uint8_t edgeserv_WriteFile(int64_t sid, const char* name, int64_t from, int64_t to) {
  return write_file_plain(sid, name, from, to, false);
}
uint8_t edgeserv_WriteFile_ByHDD(int64_t sid, const char* name, int64_t from, int64_t to) {
  return write_file_plain(sid, name, from, to, false);
}
uint8_t edgeserv_WriteFile_BySSD(int64_t sid, const char* name, int64_t from, int64_t to) {
  return write_file_plain(sid, name, from, to, true);
}
uint8_t edgeserv_WriteFileEx(int64_t sid, const char* name, cu_xfile* file, int64_t from, int64_t to) {
  return write_file_ex(sid, name, file, from, to, false);
}
uint8_t edgeserv_WriteFileEx_ByHDD(int64_t sid, const char* name, cu_xfile* file, int64_t from, int64_t to) {
  return write_file_ex(sid, name, file, from, to, false);
}
uint8_t edgeserv_WriteFileEx_BySSD(int64_t sid, const char* name, cu_xfile* file, int64_t from, int64_t to) {
  return write_file_ex(sid, name, file, from, to, true);
}

void edgeserv_ExportSock_ForRead(int64_t sid) {
  edgeserv_ctx* ctx = context();
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec) return;
  vorx_bigbox_pause_ForRead(bigbox_of(ctx), sid);
  rec->reading = 0;
  rec->read_held = 1;
}

void edgeserv_ImportSock_ForRead(int64_t sid) {
  edgeserv_ctx* ctx = context();
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec) return;
  rec->read_held = 0;
  if (rec->reading) return;
  rec->reading = vorx_bigbox_start_ForRead(bigbox_of(ctx), sid) ? 1 : 0;
  // Bytes already held in TLS input or inside OpenSSL would wait for the next socket read.
  if (rec->reading && rec->tls_on) tls_post_read_step(ctx, sid);
}

void edgeserv_ExportSock_ForWrite(int64_t sid) {
  edgeserv_ctx* ctx = context();
  ClientLock lock(ctx, sid);
  if (client_rec* rec = lock.rec()) stop_writing(ctx, rec);
}

void edgeserv_ImportSock_ForWrite(int64_t sid) {
  edgeserv_ctx* ctx = context();
  ClientLock lock(ctx, sid);
  if (client_rec* rec = lock.rec()) start_writing(ctx, rec);
}

void edgeserv_AddWriteHook(edgeserv_write_hook_fn fn) {
  edgeserv_ctx* ctx = context();
  if (!fn || !ctx) return;
  std::lock_guard<std::mutex> hold(hooks().lock);
  hooks().fns.push_back(fn);
  hooks().any.store(true, std::memory_order_release);
}

void edgeserv_DelWriteHook(edgeserv_write_hook_fn fn) {
  edgeserv_ctx* ctx = context();
  if (!fn || !ctx) return;
  std::lock_guard<std::mutex> hold(hooks().lock);
  for (edgeserv_write_hook_fn& entry : hooks().fns)
    if (entry == fn) entry = nullptr;
}

void edgeserv_AddWritableNotice(int64_t sid, edgeserv_writable_fn fn, void* arg) {
  edgeserv_ctx* ctx = context();
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec) return;
  rec->notice_fn = fn;
  rec->notice_arg = arg;
  start_writing(ctx, rec);
}

void edgeserv_DelWritableNotice(int64_t sid) {
  edgeserv_ctx* ctx = context();
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec) return;
  rec->notice_fn = nullptr;
  rec->notice_arg = nullptr;
}

uint32_t edgeserv_GetWritableLen(int64_t sid) {
  edgeserv_ctx* ctx = context();
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec || !rec->queue->head) return 0;
  auto memory_bytes = [](Task* t) { return t->type == kTaskMemory ? cu_xjitter_GetLen(&t->bytes) : 0; };
  uint64_t n = memory_bytes(rec->queue->head);
  if (rec->queue->count > 1) n += memory_bytes(rec->queue->tail);
  return static_cast<uint32_t>(std::min<uint64_t>(n, UINT32_MAX));
}

void edgeserv_close(int64_t sid, uint32_t delay) {
  edgeserv_ctx* ctx = context();
  if (!ctx) return;
  bool cut = false;
  {
    ClientLock lock(ctx, sid);
    client_rec* rec = lock.rec();
    if (!rec) return;
    if (!vor_bigbox_GetSlaveBox(bigbox_of(ctx), sid)) {
      no_slave_box(ctx, "edgeserv_close() -> close1, except close", sid);
      return;
    }
    const int32_t ms = static_cast<int32_t>(std::min<uint32_t>(delay, INT32_MAX));
    edgeserv_outq* q = rec->queue;
    if (q->count == 0) cancel_delay_timer(ctx, rec);
    if (q->tail && q->tail->type == kTaskClose) {
      q->tail->delay = ms;
    } else if (Task* t = new_task(rec)) {
      t->type = kTaskClose;
      t->delay = ms;
      push_task(q, t);
      start_writing(ctx, rec);
    } else {
      cut = true;  // a close that cannot be queued must not leave the connection open
    }
  }
  if (cut) edgeserv_ForceClose(sid);
}

void edgeserv_unclose(int64_t sid) {
  edgeserv_ctx* ctx = context();
  if (!ctx) return;
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec) return;
  if (!vor_bigbox_GetSlaveBox(bigbox_of(ctx), sid)) {
    no_slave_box(ctx, "edgeserv_unclose() -> unclose1, except close", sid);
    return;
  }
  if (flags().faster_close.load(std::memory_order_relaxed))
    std::atomic_ref<uint8_t>(rec->closing).store(0, std::memory_order_relaxed);
  cancel_delay_timer(ctx, rec);
  if (rec->queue->tail && rec->queue->tail->type == kTaskClose) end_task(rec, rec->queue->tail);
}

void edgeserv_TryFasterSafeClose(int64_t sid) {
  edgeserv_ctx* ctx = context();
  if (!ctx) return;
  if (!flags().faster_close.load(std::memory_order_relaxed)) {
    edgeserv_close(sid, 0);
    return;
  }
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec) return;
  std::atomic_ref<uint8_t>(rec->closing).store(1, std::memory_order_relaxed);
  const int kind = head_task_kind(rec);
  if (kind == kTaskMemory || kind == kTaskFile) edgeserv_close(sid, 0);
}

}  // extern "C"
