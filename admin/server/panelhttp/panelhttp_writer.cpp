// The connection writer: every admin connection's queue of output tasks (bytes, file ranges,
// a close after a delay), sent in order by the write-ready handler on the connection's thread.
// Output that cannot be queued whole closes the connection: a reply with a hole must never
// reach a peer that keeps reading the connection.
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "cu_date.h"
#include "cu_malloc.h"
#include "cu_jitter.h"
#include "cu_log.h"
#include "panelhttp_internal.h"

namespace {

enum TaskKind : uint8_t { kNone = 0, kMemory = 1, kFile = 2, kClose = 3 };

struct WriteTask {
  TaskKind kind = kNone;
  cu_jitter* data = nullptr;  // memory task
  std::string path;           // file task
  uint32_t from = 0;
  uint32_t to = 0;
  int32_t delay = 0;          // close task

  ~WriteTask() { cu_jitter_free(data); }
};

}  // namespace

struct panelhttp_tasks {
  std::deque<WriteTask*> queue;
};

namespace vor::panelhttp {
namespace {

// A busy queue takes no more bytes or file ranges once it holds this many tasks.
constexpr size_t kTaskLimit = 100000;
constexpr int32_t kMemoryBlock = 4096;
constexpr int32_t kMemoryBlocks = 10000;
constexpr int32_t kSendStep = 16384;

// Guarded by the server lock; removed hooks stay as NULL. Lives for the process, as the server does.
std::vector<vuved_write_hook_fn>& g_hooks = *new std::vector<vuved_write_hook_fn>;

std::deque<WriteTask*>& queue_of(VuvedConnection* conn) { return conn->tasks->queue; }

void release_task(WriteTask* task) {
  if (task->kind == kMemory) g_charge.fetch_sub(cu_jitter_GetLen(task->data), std::memory_order_relaxed);
  if (task->kind == kFile) g_charge.fetch_sub(static_cast<int64_t>(task->path.size()), std::memory_order_relaxed);
  delete task;
}

WriteTask* new_memory_task() {
  auto* task = new (std::nothrow) WriteTask;
  if (!task) return nullptr;
  task->kind = kMemory;
  task->data = cu_jitter_mallocx(kMemoryBlock, kMemoryBlocks, nullptr);
  if (!task->data) {
    delete task;
    return nullptr;
  }
  return task;
}

vor_box* box_of(int64_t sid) { return vor_bigbox_GetSlaveBox(bigbox(), sid); }

void drop_close_timer(VuvedConnection* conn) {
  if (conn->close_timer <= 0) return;
  vor_box_DeleteTimer(box_of(conn->sid), conn->close_timer);
  conn->close_timer = 0;
}

void start_watching(VuvedConnection* conn) {
  if (conn->write_watching) return;
  if (vorx_bigbox_import_ForWrite(bigbox(), conn->sid, on_writable, ctx())) conn->write_watching = 1;
}

void stop_watching(VuvedConnection* conn) {
  if (!conn->write_watching) return;
  vorx_bigbox_export_ForWrite(bigbox(), conn->sid);
  conn->write_watching = 0;
}

// Appends the bytes to the queue's last memory task, and behind it to new memory tasks as
// each fills up; false when a task cannot be made (what was appended stays queued).
bool append_bytes(VuvedConnection* conn, const uint8_t* data, int32_t len) {
  auto& queue = queue_of(conn);
  while (len > 0) {
    WriteTask* last = queue.empty() ? nullptr : queue.back();
    if (last && last->kind == kClose) {
      // Output behind a pending close takes its place: the connection stays.
      queue.pop_back();
      release_task(last);
      last = nullptr;
    }
    if (!last || last->kind != kMemory || cu_jitter_GetAvailableLen(last->data) == 0) {
      last = new_memory_task();
      if (!last) return false;
      queue.push_back(last);
    }
    const int32_t n = cu_jitter_SetData(last->data, data, len);
    if (n <= 0 && cu_jitter_GetLen(last->data) == 0) return false;  // no memory for a block
    g_charge.fetch_add(n, std::memory_order_relaxed);
    data += n;
    len -= n;
    if (n <= 0) {
      last = new_memory_task();
      if (!last) return false;
      queue.push_back(last);
    }
  }
  return true;
}

void print_and_log(const char* format, int64_t sid) {
  char line[256];
  snprintf(line, sizeof line, format, static_cast<long long>(sid));
  print("%s\n", line);
  cu_log_error(ctx()->log, "%s\r\n", line);
}

// Under the lock: a full queue or a failed allocation. The output already has a hole, so the
// connection goes.
bool refuse_output(VuvedConnection* conn, const char* line) {
  if (line) console("%s", line);
  panelhttp_ForceClose(conn->sid);
  return false;
}

void on_delayed_close(void*, void* ud, int32_t id, int32_t) {
  const int64_t sid = reinterpret_cast<intptr_t>(ud);
  {
    ServerLock lock;
    VuvedConnection* conn = find_connection(sid);
    if (!conn || conn->close_timer != id) return;
    conn->close_timer = 0;
  }
  close_now(sid, true);
}

void on_forced_close(void*, void* ud, int32_t, int32_t) { close_now(reinterpret_cast<intptr_t>(ud), true); }

struct Pump {
  int64_t sent = 0;
  bool close = false;
};

// Sends one step of bytes; false stops the task's loop.
bool send_step(VuvedConnection* conn, const void* data, int32_t n, int32_t* sent_now, Pump& pump) {
  const int32_t w = vor_bigbox_write(bigbox(), conn->sid, data, n);
  if (w < 0) {
    if (pump.sent == 0) {
      stop_watching(conn);
      pump.close = true;
    }
    *sent_now = 0;
    return false;
  }
  *sent_now = w;
  pump.sent += w;
  return w == n;
}

void pump_memory(VuvedConnection* conn, WriteTask* task, Pump& pump) {
  std::vector<uint8_t> buf(kSendStep);
  while (cu_jitter_GetLen(task->data) > 0) {
    const int32_t n = cu_jitter_PeekData(task->data, buf.data(), kSendStep);
    int32_t w = 0;
    const bool whole = send_step(conn, buf.data(), n, &w, pump);
    cu_jitter_GetData(task->data, nullptr, w);
    g_charge.fetch_sub(w, std::memory_order_relaxed);
    if (!whole) return;
  }
  queue_of(conn).pop_front();
  release_task(task);
}

// The file is read with the server lock released; a range that cannot be delivered whole
// (a failed read, a file shrunk under it) closes the connection: the peer has been promised
// those bytes.
void pump_file(VuvedConnection* conn, WriteTask* task, ServerLock& lock, Pump& pump) {
  std::vector<uint8_t> buf(kSendStep);
  const int64_t sid = conn->sid;
  while (task->from < task->to) {
    const uint32_t want = std::min<uint32_t>(task->to - task->from, kSendStep);
    uint32_t count = 0;
    const std::string path = task->path;
    const uint32_t from = task->from;
    lock.unlock();
    expect_unlocked();
    const bool ok = filecache_read(path.c_str(), from, from + want, buf.data(), &count);
    lock.lock();
    conn = find_connection(sid);
    if (!conn) return;
    if (!ok || count == 0) {
      stop_watching(conn);
      pump.close = true;
      return;
    }
    int32_t w = 0;
    const bool whole = send_step(conn, buf.data(), static_cast<int32_t>(count), &w, pump);
    task->from += static_cast<uint32_t>(w);
    if (!whole) return;
  }
  queue_of(conn).pop_front();
  release_task(task);
}

void pump_close(VuvedConnection* conn, WriteTask* task, Pump& pump) {
  if (task->delay > 0) {
    drop_close_timer(conn);
    const int32_t id = vor_box_NewOnceTimer(box_of(conn->sid), static_cast<uint32_t>(task->delay), on_delayed_close,
                                            reinterpret_cast<void*>(static_cast<intptr_t>(conn->sid)));
    conn->close_timer = id > 0 ? id : 0;
    queue_of(conn).pop_front();
    release_task(task);
    return;
  }
  pump.close = true;
}

}  // namespace

panelhttp_tasks* make_tasks() { return new (std::nothrow) panelhttp_tasks; }

void free_tasks(VuvedConnection* conn) {
  if (!conn->tasks) return;
  for (WriteTask* task : conn->tasks->queue) release_task(task);
  delete conn->tasks;
  conn->tasks = nullptr;
}

void on_writable(vor_bigbox*, void*, int64_t sid) {
  Pump pump;
  vuved_notice_fn notice = nullptr;
  void* notice_arg = nullptr;
  {
    ServerLock lock;
    VuvedConnection* conn = find_connection(sid);
    if (!conn) return;
    if (!conn->owner_thread) conn->owner_thread = gettid();
    auto& queue = queue_of(conn);
    if (queue.empty()) {
      stop_watching(conn);
    } else {
      WriteTask* task = queue.front();
      switch (task->kind) {
        case kMemory:
          pump_memory(conn, task, pump);
          break;
        case kFile:
          pump_file(conn, task, lock, pump);
          conn = find_connection(sid);
          break;
        case kClose:
          pump_close(conn, task, pump);
          break;
        default:
          queue.pop_front();
          release_task(task);
          break;
      }
    }
    g_sent_bytes.fetch_add(pump.sent, std::memory_order_relaxed);
    if (conn && queue_of(conn).empty()) {
      notice = conn->notice;
      notice_arg = conn->notice_arg;
    }
  }
  if (pump.close) {
    close_now(sid, true);
  } else if (notice) {
    expect_unlocked();
    notice(ctx(), sid, notice_arg);
  }
}

}  // namespace vor::panelhttp

using namespace vor::panelhttp;

uint8_t panelhttp_WriteJitter(int64_t sid, const void* data, int32_t len) {
  if (!data || len <= 0) return 1;
  std::vector<vuved_write_hook_fn> hooks;
  {
    ServerLock lock;
    hooks = g_hooks;
  }
  for (vuved_write_hook_fn hook : hooks) {
    if (!hook) continue;
    expect_unlocked();
    if (hook(sid, data, len) != 1) return 1;
  }
  ServerLock lock;
  VuvedConnection* conn = find_connection(sid);
  if (!conn || conn->force_timer) return 0;
  auto& queue = queue_of(conn);
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (queue.empty()) {
    drop_close_timer(conn);
    const int32_t w = std::max(vor_bigbox_write(bigbox(), sid, bytes, len), 0);
    g_sent_bytes.fetch_add(w, std::memory_order_relaxed);
    if (w == len) return 1;
    const bool queued = append_bytes(conn, bytes + w, len - w);
    start_watching(conn);
    return queued ? 1 : refuse_output(conn, nullptr);
  }
  if (queue.size() > kTaskLimit) {
    return refuse_output(conn, "[quorin -> vuved] vuved -> __write_jitter2 -> tasks too much!\n");
  }
  drop_close_timer(conn);
  return append_bytes(conn, bytes, len) ? 1 : refuse_output(conn, nullptr);
}

uint8_t panelhttp_WriteFile(int64_t sid, const char* path, uint32_t from, uint32_t to) {
  if (!path || from >= to) return 1;
  ServerLock lock;
  VuvedConnection* conn = find_connection(sid);
  if (!conn || conn->force_timer) return 0;
  auto& queue = queue_of(conn);
  if (queue.size() > kTaskLimit) {
    return refuse_output(conn, "[quorin -> vuved] vuved -> __write_file2 -> tasks too much!\n");
  }
  auto* task = new (std::nothrow) WriteTask;
  if (!task) return refuse_output(conn, nullptr);
  task->kind = kFile;
  task->path = path;
  task->from = from;
  task->to = to;
  g_charge.fetch_add(static_cast<int64_t>(task->path.size()), std::memory_order_relaxed);
  drop_close_timer(conn);
  if (!queue.empty() && queue.back()->kind == kClose) {
    release_task(queue.back());
    queue.pop_back();
  }
  queue.push_back(task);
  start_watching(conn);
  return 1;
}

void panelhttp_close(int64_t sid, int32_t delay) {
  ServerLock lock;
  VuvedConnection* conn = find_connection(sid);
  if (!conn) return;
  auto& queue = queue_of(conn);
  if (!queue.empty()) {
    if (queue.back()->kind == kClose) {
      queue.back()->delay = delay;
      return;
    }
  } else if (!box_of(sid)) {
    print_and_log("[quorin -> vuved] panelhttp_close() -> close1, except close(sid=%lld)!", sid);
    return;
  } else {
    drop_close_timer(conn);
  }
  auto* task = new (std::nothrow) WriteTask;
  if (!task) return;
  task->kind = kClose;
  task->delay = delay;
  queue.push_back(task);
  start_watching(conn);
}

void panelhttp_unclose(int64_t sid) {
  ServerLock lock;
  VuvedConnection* conn = find_connection(sid);
  if (!conn) return;
  if (!box_of(sid)) {
    print_and_log("[quorin -> vuved] panelhttp_unclose() -> unclose1, except close(sid=%lld)!", sid);
    return;
  }
  drop_close_timer(conn);
  auto& queue = queue_of(conn);
  if (!queue.empty() && queue.back()->kind == kClose) {
    release_task(queue.back());
    queue.pop_back();
  }
}

void panelhttp_ForceClose(int64_t sid) {
  ServerLock lock;
  VuvedConnection* conn = find_connection(sid);
  if (!conn) return;
  vor_box* box = box_of(sid);
  if (!box) {
    print_and_log("[quorin -> vuved] panelhttp_ForceClose() except close(sid=%lld)!", sid);
    return;
  }
  drop_close_timer(conn);
  if (conn->force_timer) return;
  const int32_t id = vor_box_NewOnceTimer(box, 1, on_forced_close, reinterpret_cast<void*>(static_cast<intptr_t>(sid)));
  conn->force_timer = id > 0 ? id : -1;  // a timer that cannot be made still refuses every write
}

uint8_t panelhttp_Write404Status(int64_t sid, vor_http_table* head) {
  vor_http_table* own = nullptr;
  if (!head) {
    own = head = vor_http_table_make();
    if (!head) return 0;
    char date[64];
    cu_GetGMTString2(time(nullptr), date, sizeof date);
    vor_http_table_SetStatus(head, "404 Not Found");
    vor_http_table_SetField(head, "Date", date);
    vor_http_table_SetField(head, "Content-Length", "0");
    vor_http_table_SetField(head, "Content-Type", "text/html");
    vor_http_table_SetField(head, "Server", kServerName);
    vor_http_table_SetField(head, "Connection", "Close");
  }
  std::string document;
  int32_t size = 0;
  panelhttp_ctx* c = ctx();
  const char* root = c ? cu_config_GetKey(c->settings, "system", "wwwroot") : nullptr;
  const char* name = c ? cu_config_GetKey(c->settings, "errordocs", "404error") : nullptr;
  if (root && name) {
    document = std::string(root) + name;
    if (panelhttp_GetFileAttr(document.c_str(), &size, nullptr)) {
      char length[16];
      snprintf(length, sizeof length, "%u", static_cast<uint32_t>(size));
      vor_http_table_SetField(head, "Content-Length", length);
    } else {
      document.clear();
    }
  }
  if (char* text = vor_http_table_GetHeaderStr(head)) {
    panelhttp_WriteJitter(sid, text, static_cast<int32_t>(strlen(text)));
    _cu_free(text, "panelhttp", __LINE__);
  }
  if (!document.empty()) panelhttp_WriteFile(sid, document.c_str(), 0, static_cast<uint32_t>(size));
  vor_http_table_free(own);
  return 1;
}

void panelhttp_AddWriteHook(vuved_write_hook_fn fn) {
  if (!fn) return;
  ServerLock lock;
  g_hooks.push_back(fn);
}

void panelhttp_DelWriteHook(vuved_write_hook_fn fn) {
  ServerLock lock;
  for (auto& hook : g_hooks) {
    if (hook == fn) {
      hook = nullptr;
      return;
    }
  }
}

void panelhttp_AddWritableNotice(int64_t sid, vuved_notice_fn fn, void* arg) {
  ServerLock lock;
  VuvedConnection* conn = find_connection(sid);
  if (!conn) return;
  conn->notice = fn;
  conn->notice_arg = arg;
  start_watching(conn);
}

void panelhttp_DelWritableNotice(int64_t sid) {
  ServerLock lock;
  if (VuvedConnection* conn = find_connection(sid)) {
    conn->notice = nullptr;
    conn->notice_arg = nullptr;
  }
}

uint32_t panelhttp_GetWritableLen(int64_t sid) {
  ServerLock lock;
  VuvedConnection* conn = find_connection(sid);
  if (!conn) return 0;
  auto& queue = queue_of(conn);
  if (queue.empty()) return 0;
  uint32_t len = 0;
  if (queue.front()->kind == kMemory) len += static_cast<uint32_t>(cu_jitter_GetLen(queue.front()->data));
  if (queue.size() > 1 && queue.back()->kind == kMemory) {
    len += static_cast<uint32_t>(cu_jitter_GetLen(queue.back()->data));
  }
  return len;
}
