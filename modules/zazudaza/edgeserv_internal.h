// Inside the edge server: the module-wide state, the client table with its record locks,
// and the steps that the module, the sub-module walks, the connections and the close paths share.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "edgeserv.h"
#include "vor_bigbox.h"

namespace edge {

constexpr char kVersion[] = "3.7.9";
constexpr char kServerToken[] = "Quorin/Zazudaza/3.7.9";
constexpr char kUnit[] = "modules\\zazudaza";

// --- settings ---------------------------------------------------------------------------------

// The [system] settings of zazudaza.ini as they are in force.
struct Settings {
  bool display = true;
  bool redirect_301 = true;
  uint32_t idle_limit = 60;  // seconds; 0: no idle sweep
  bool nodelay = true;
  bool faster_close = true;
  int32_t hdd_threads = 6;
  int32_t ssd_threads = 2;
};

// Reads the [system] group (a NULL config gives the defaults).
Settings read_settings(cu_config* config);
// Pages of the xjitter pool for a machine with that much physical memory.
uint64_t xjitter_page_limit(uint64_t physical_bytes);

// --- module-wide state ------------------------------------------------------------------------

// Flags read on every thread, written by init: relaxed atomics.
struct Flags {
  std::atomic<bool> display{false};
  std::atomic<bool> redirect_301{true};
  std::atomic<uint32_t> idle_limit{60};
  std::atomic<bool> nodelay{true};
  std::atomic<bool> faster_close{true};
};
Flags& flags();
void apply_settings(const Settings& s);

// The context, NULL before init.
edgeserv_ctx* context();
// Test hook: makes ctx the module's context (NULL forgets it).
void set_context(edgeserv_ctx* ctx);
// Stores t into the cached clock (the clock timer does so every second).
void set_clock(int64_t t);
void add_received(uint64_t n);
// The arena lock for a new connection, chosen at random.
cu_sem* arena_lock();
// The struct pool (page source of the arenas) and the hash pool (client table nodes).
cu_xmem* struct_pool();
cu_xmem* hash_pool();
// Makes the three pools once; a pool that cannot be made ends the process.
void make_pools(cu_log* log);

// Console and log lines.
void console(const char* text);
void console_error(const char* text);

// --- the client table and the record locks ---------------------------------------------------

struct ClientSlot;

// Holds the lock of a sid's record for a scope and counts the calling thread's depth of record
// locks, so that code which must run unlocked (slots, hooks, notices, location look-ups) can check
// it. rec() is the sid's record, NULL when the sid is unknown (or there is no context). The lock is
// re-entrant and innermost: a module's own lock is taken before it, never under it, and no thread
// holds two records' locks at once.
class ClientLock {
 public:
  ClientLock(edgeserv_ctx* ctx, int64_t sid);
  ~ClientLock() { unlock(); }
  ClientLock(const ClientLock&) = delete;
  ClientLock& operator=(const ClientLock&) = delete;
  client_rec* rec() const { return rec_; }
  void unlock();
  // Takes the lock again and looks the sid up anew: the record, or NULL when it is gone.
  client_rec* relock();

 private:
  friend void remove_client(ClientLock& held);
  ClientSlot* slot_ = nullptr;
  int64_t sid_;
  client_rec* rec_ = nullptr;
  bool held_ = false;
};
// Puts a record in the table under its sid; false without memory for the entry.
bool insert_client(client_rec* rec);
// Takes the held record out of the table (the caller frees it).
void remove_client(ClientLock& held);
// Records in the table.
int32_t client_count();
// Calls visit on every record, one at a time, each under its own lock.
void for_each_client(edgeserv_ctx* ctx, const std::function<void(client_rec*)>& visit);
// The calling thread's depth of record locks.
int lock_depth();
// Debug builds abort when the calling thread holds a record lock.
void expect_unlocked();

// --- sub-modules ------------------------------------------------------------------------------

void load_submodules(edgeserv_ctx* ctx);
void init_walk(edgeserv_ctx* ctx);
void exit_walk(edgeserv_ctx* ctx);
void accept_walk(edgeserv_ctx* ctx, int64_t sid, const char* ip, uint16_t port);
void read_walk(edgeserv_ctx* ctx, int64_t sid, const char* chunk, int32_t len, const char* body, int32_t body_len);
void close_walk(edgeserv_ctx* ctx, int64_t sid);

// --- connections ------------------------------------------------------------------------------

// Attaches the proxy_port listeners of quorind.ini; false when proxy_port is absent.
bool attach_listeners(edgeserv_ctx* ctx);
// A new record in its own arena, or NULL.
client_rec* client_new();
// Frees a record: its timers, its socket (when the sid is set), its queue and its arena.
void client_free(edgeserv_ctx* ctx, client_rec* rec);
// True while the accept path is still running the on_accept walk of the record.
bool client_accepting(const client_rec* rec);

// What one chunk did to the current request.
struct ChunkOutcome {
  const char* body = nullptr;  // start of the body part inside the chunk
  int32_t body_len = 0;
  int32_t used = 0;      // bytes of the chunk that belong to the current request; the rest are the next one's
  bool refused = false;  // the head frames its body in a way the node does not take
};
// Feeds one chunk of request bytes to the record's parser and moves its request state; the
// bytes after the end of a complete request are left to the next request.
ChunkOutcome track_request(client_rec* rec, const char* chunk, int32_t len);
// True when a complete head frames its body so that every reader agrees on where it ends.
bool framing_acceptable(const char* head, int32_t len, uint32_t* content_length, bool* has_length);

// --- TLS ------------------------------------------------------------------------------------

// The [ssl] protocols value as a mask: the sum of the words standing alone; 60 when none.
int32_t protocol_mask(const char* value);
// Reads ../config/ssl/ssl.ini, attaches the https_port listeners and builds the server context.
void tls_start(edgeserv_ctx* ctx);
// Sets up the TLS connection of a record just accepted on an HTTPS listener; false: no TLS.
bool tls_accept_setup(client_rec* rec);
// Ciphertext arrived for a TLS client (len 0: only step what is held); runs the request steps
// on each decrypted batch. The caller is the slave thread and holds no lock.
void tls_read_step(edgeserv_ctx* ctx, client_rec* rec, const char* data, int32_t len);
// Posts a read step with no new bytes to the client's slave box (reading restarted).
void tls_post_read_step(edgeserv_ctx* ctx, int64_t sid);
// The plain request steps of one chunk; false when the connection was closed by them.
bool handle_chunk(edgeserv_ctx* ctx, client_rec* rec, const char* data, int32_t len);
// The accept path shared by the plain and HTTPS listeners.
void accept_client(vor_bigbox* bb, edgeserv_ctx* ctx, int64_t listen_sid, int64_t sid, const char* ip,
                   uint16_t port, bool tls);
// Write interest on and off; the caller holds the record's lock.
void start_writing(edgeserv_ctx* ctx, client_rec* rec);
void stop_writing(edgeserv_ctx* ctx, client_rec* rec);
// One run of the queue pump for the client, as a writable event would; on its slave thread,
// without a record lock.
void pump_now(edgeserv_ctx* ctx, int64_t sid);

// --- output -----------------------------------------------------------------------------------

enum TaskKind : uint8_t { kTaskEmpty = 0, kTaskMemory = 1, kTaskFile = 2, kTaskClose = 3 };
// An empty queue in the arena, or NULL.
edgeserv_outq* queue_make(cu_xmem* arena);
// Ends every task of the record's queue (under the record's lock: files are released after it).
void queue_release_all(client_rec* rec);
// The kind of the head task; -1 for an empty queue. The caller holds the record's lock.
int head_task_kind(const client_rec* rec);
// Tasks queued. The caller holds the record's lock.
int32_t queue_length(const client_rec* rec);
uint64_t total_sent();
// Runs of the queue pump since start, all clients together (tests: a pump that spins).
uint64_t pump_runs();
// Tests: the kinds of the queued tasks in order, the bytes of its memory tasks in order, and an
// empty task pushed at the tail (false when it cannot be made). The caller holds the record's lock.
std::string queue_kinds(const client_rec* rec);
std::string queued_bytes(const client_rec* rec);
bool push_empty_task(client_rec* rec);
// Forgets every write hook (tests).
void reset_write_hooks();
// The pool of the output byte queues; tests may put a smaller one in its place.
cu_xmem* xjitter_pool();
void set_xjitter_pool(cu_xmem* pool);
// The local host name of the pages and the via token; tests may fix both.
const char* host_name();
void set_identity(const char* host, const char* via);
// Makes the via token from the host name, a random number and the time.
void make_via_token();

// --- files ------------------------------------------------------------------------------------

// Pages of the file-operation pool for a machine with that much physical memory.
uint64_t fileop_page_limit(uint64_t physical_bytes);
cu_xmem* fileop_pool();
void* fileop_alloc(uint64_t n);
void fileop_free(void* p);
// Hands a file to edgeserv_fclose once the calling thread no longer holds a record lock (the
// registry lock is never taken under it); at once when it holds none.
void defer_file_release(const char* name, cu_xfile* file);
// Runs the releases deferred by the calling thread.
void run_deferred_releases();

// --- closing ----------------------------------------------------------------------------------

// A new request on the connection: the delayed close the last answer queued behind itself is
// taken back (a close the close rule ends the connection with stays).
void take_back_delayed_close(edgeserv_ctx* ctx, int64_t sid);
// The close paths; each runs the on_close walk once and frees the record on the slave thread.
void close_now(edgeserv_ctx* ctx, int64_t sid);
void close_timer(void* box, void* ud, int32_t id, int32_t count);
void on_peer_close(vor_bigbox* bb, void* ud, int64_t sid);

// --- idle sweep and location ------------------------------------------------------------------

// The clock timer (every second) and the idle sweep (every limit seconds; 0: none) on the
// bigbox master box.
void start_clock(edgeserv_ctx* ctx);
void start_idle_sweep(edgeserv_ctx* ctx, uint32_t limit);
// One idle sweep over the client table at the clock value now.
void idle_sweep(edgeserv_ctx* ctx, int64_t now, uint32_t limit);
// Forgets the location lookup (tests).
void reset_location();

// sids are carried in the pointer-sized user data of timers.
inline void* sid_to_ud(int64_t sid) { return reinterpret_cast<void*>(static_cast<intptr_t>(sid)); }
inline int64_t ud_to_sid(void* ud) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(ud)); }

}  // namespace edge
