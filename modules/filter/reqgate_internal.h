// What the request filter's own files share.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cu_xjitter.h"
#include "http_parser.h"
#include "upfetch_request.h"
#include "reqgate.h"
#include "vor_afile.h"
#include "vor_box.h"
#include "vor_kv2.h"

namespace vor::reqgate {

// Console trace lines are printed only while this is on (display_console).
bool console_trace();
void set_console_trace(bool on);
// Prints a trace line while the console trace is on.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Chunk framing: the one size-line reader and the walk over a whole body ----

// A chunk larger than this is broken framing: every walk then agrees on 31-bit sizes.
constexpr uint32_t kMaxChunkSize = 0x7FFFFFFF;

enum class LineState : uint8_t { kNeedMore, kReady, kNoDigits, kNoCrlf, kTooLarge };
struct SizeLine {
  LineState state;
  uint32_t size;    // kReady: the chunk's size
  size_t length;    // kReady: bytes of the line with its CRLF (extensions included)
};
// Reads one chunk-size line at the start of text: hex digits, any extension, CRLF.
SizeLine read_size_line(std::string_view text);

enum class WalkFault : uint8_t {
  kNone,
  kShortLine,   // fewer than 3 bytes where a size line starts
  kBadLine,     // no sound size line there
  kShortEnd,    // fewer than 2 bytes after the zero-size line
  kNoEnd,       // no end of the trailers
  kWrongEnd,    // a chunk runs past the body, its CRLF is missing, or bytes follow the end
  kNoRoom,      // the data do not fit the output room
};
struct WalkResult {
  WalkFault fault;
  uint64_t end;         // where the framing ends (kNone)
  uint64_t data_bytes;  // chunk data seen
};
// Walks a whole chunked body read through peek(offset, buffer, n) -> bytes copied; sink(data, n)
// takes each chunk's data. Trailers after the zero-size chunk are skipped.
using PeekFn = size_t (*)(void* source, uint64_t offset, char* buffer, size_t n);
using SinkFn = void (*)(void* target, const char* data, size_t n);
WalkResult walk_chunks(uint64_t total, PeekFn peek, void* source, SinkFn sink, void* target, uint64_t room);

// The data of a chunked body that arrives in pieces, its framing (size lines, the CRLFs after
// the data, trailers) left out. Broken framing stops the data where it broke.
class ChunkPayload {
 public:
  // Appends the chunk data among the bytes to out.
  void feed(const char* data, size_t len, std::string& out);
  bool done() const { return phase_ == Phase::kDone; }

 private:
  enum class Phase : uint8_t { kSize, kData, kDataEnd, kTrailer, kDone, kBroken };
  Phase phase_ = Phase::kSize;
  std::string line_;
  uint64_t left_ = 0;
};

// ---- Completeness of a response body ----

struct IntegrityState {
  uint8_t enabled;
  uint8_t mode;  // IntegrityMode
  uint64_t received;
  uint64_t expected;
  char line[64];
  int8_t fill;
  uint8_t phase;
  uint32_t chunk_size;
  uint32_t chunk_read;
  uint8_t last_chunk;
  uint8_t closed_complete;
  uint8_t error;
  std::string cache_key;
};
enum IntegrityMode : uint8_t { kNoBody = 0, kLength = 1, kChunked = 2, kToClose = 3 };

// Sets the framing of a final response head (request: the request's copy, for HEAD); may remove
// Content-Length and set "Connection: close". False when the framing makes the answer unfit to
// keep: both lengths, or an invalid Content-Length.
bool integrity_init(IntegrityState& state, http_parser* request, http_parser* response, const char* cache_key);
// Feeds body bytes; answers how many of them belong to the body (the rest follow its end and
// are not this response's). Before the head is known every byte counts.
uint64_t integrity_feed(IntegrityState& state, const char* data, uint64_t len);
bool integrity_complete(const IntegrityState& state);
// The end check of a close-delimited body; may set closed complete and change the head.
bool final_body_check(IntegrityState& state, http_parser* response, cu_xjitter* body);
// The stored body copy against its Content-Length; without one only 301 and 302 pass.
bool check_content(http_parser* response, cu_xjitter* body, const char* cache_key);
// The stored body copy keeps its chunk framing: it must end exactly where the framing ends.
bool check_chunked(http_parser* response, cu_xjitter* body, const char* cache_key);

// ---- Content codings ----

constexpr size_t kWorkBuffer = 1064960;
enum Coding : int { kNone = 0, kGzip = 1, kDeflate = 2, kCompress = 3 };

void* codec_alloc(void* opaque, unsigned items, unsigned size);
void codec_free(void* opaque, void* p);
char* work_buffer();  // NULL when memory is short
// True when the codec arena owns p (tests: the fall-back to the process allocator).
bool codec_arena_owns(const void* p);

int deflate_raw(char* out, size_t room, const char* in, size_t len, size_t* produced);
int deflate_zlib(char* out, size_t room, const char* in, size_t len, size_t* produced);
int inflate_raw(char* out, size_t room, const char* in, size_t len, size_t* produced);
int inflate_zlib(char* out, size_t room, const char* in, size_t len, size_t* produced);

int needs_decoding(http_parser* request, http_parser* response);
// Whether the head's Transfer-Encoding is chunked.
bool is_chunked(http_parser* head);
// "gzip", "deflate" or "compress"; "" for kNone.
const char* coding_name(int coding);
bool compressible(http_parser* response);
// False when the head is not chunked; else true with *out a work buffer, or NULL when the
// framing is broken or the data do not fit.
bool dechunk(http_parser* response, const char* data, size_t len, char** out, size_t* out_len);

// ---- Settings and the rule questions the judgements ask ----

// filter.ini, [system]; the defaults are the values of absent keys.
struct Settings {
  bool debug_http = false;
  uint8_t diskcache_rewrite_ext = 1;
  bool fcache_extension = true;
  bool diskcache_index_txn = true;
  uint32_t max_ssd_cache_file_size = 524288;
  uint32_t cache_404_timeout = 16;
  bool mem_cache_30x = false;
  std::string disk_file_extension;
  uint32_t default_intelligent_timeout = 1;
  int32_t sessioncache_refresh = 300;
};
Settings& settings();

// The rules store's questions (tests put their own in).
using ExpireQuestion = uint32_t (*)(const char* url, uint8_t* icookie, uint32_t* olimit, uint32_t* isdiskcache);
using RefuseQuestion = uint8_t (*)(const char* url, uint32_t* olimit, uint32_t* cachelocation);
struct RuleQuestions {
  ExpireQuestion icache_expire;
  uint32_t (*max_cache_block)();
  uint8_t (*uses_memory_cache)();
  uint8_t (*session_action)(const char* url, int32_t* expire, char* name, int32_t len);
  uint8_t (*session_rules_exist)();
  ExpireQuestion force_expire[3];   // by olimit class: public, member, visitor
  RefuseQuestion refuse_hit[3];
};
RuleQuestions& rules();

// ---- Cacheability of a response ----

enum CacheKind : uint8_t { kIntelligent = 0, kSessionAction = 1, kPublic = 2, kMember = 3, kVisitor = 4 };
constexpr uint8_t kNotCacheable = 'o';
enum CacheSource : uint8_t { kFromHeaders = 0, kIntelligentSource = 1, kForced = 2 };

// The filter record's fields a judgement reads and fills.
struct CacheDecision {
  uint8_t cache_kind = 0;
  uint8_t cache_source = 0;
  uint32_t lifetime = 0;
  uint8_t strip_cookies = 0;
  uint8_t keep_memory_copy = 0;
  uint8_t no_disk = 0;
  uint8_t revalidating = 0;
  std::string disk_key;  // empty: none
  std::string cache_key;
};

// True when the response is to be cached; *length is 0 or its Content-Length.
bool judge_response(CacheDecision& record, http_parser* request, http_parser* response, uint32_t* length);
uint32_t response_lifetime(http_parser* response);
// A delta-seconds directive such as "max-age=" in a Cache-Control value: whether the name is
// there, whether a number (or '-') follows it, and its seconds (decimal; negative reads 0).
struct DeltaSeconds {
  bool present = false;
  bool number = false;
  uint64_t seconds = 0;
};
DeltaSeconds delta_seconds(std::string_view cache_control, std::string_view name);
// The lifetime a shared cache reads: s-maxage when it is a number, else max-age.
DeltaSeconds shared_max_age(std::string_view cache_control);
bool has_validator(http_parser* response);

// ---- Admission and the filter record ----

// The per-request outputs of admission, preset by the caller.
struct Admission {
  uint8_t cache_kind = 0;
  uint8_t icookie = 1;
  uint32_t lifetime = 0;
  uint8_t disk_permitted = 1;
  uint8_t disk_refused = 0;
};
// Classifies a request from the rule families; refused requests get kind 'o'.
void admit(http_parser* request, const char* cache_key, Admission& out);

// One proxied response, from the pipe's creation to its end.
struct FilterRecord {
  int64_t client_sid = 0;
  http_parser* request = nullptr;  // the client's head, copied
  int64_t response_sid = 0;
  http_parser* response = nullptr;
  cu_xjitter body{};
  uint64_t owner_thread = 0;
  CacheDecision decision;
  // Read by purge walks on other threads: the cache kind as last published, and the purge mark.
  std::atomic<uint8_t> shared_kind{0};
  std::atomic<uint8_t> purge_mark{0};
  uint8_t expired = 0;
  uint8_t spider = 0;
  IntegrityState integrity;
  uint32_t bytes_received = 0;
  std::string cache_file_path;
  uint8_t writing = 0;
  std::string disk_key_written;  // the key the cache file is begun under
  uint8_t header_error = 0;      // the rest of the connection's response passes unchanged
  // A client that cannot read chunked framing (not HTTP/1.1) gets the data alone, to the close.
  bool dechunk_for_client = false;
  ChunkPayload client_payload;
  bool bodiless_done = false;  // the close rule ran for an answer that ended with its head
  ~FilterRecord();
};
// Sets the cache kind and publishes it to the purge walks.
void set_cache_kind(FilterRecord& record, uint8_t kind);
// A record not yet in the hashes; NULL when one of its parts cannot be made.
FilterRecord* make_record(int64_t client_sid, http_parser* request, int64_t response_sid, const char* cache_key);
// A record in both hashes; NULL when one of its parts cannot be made.
FilterRecord* new_record(int64_t client_sid, http_parser* request, int64_t response_sid, const char* cache_key);
// Appends to the memory copy; a copy the body pool cannot hold whole is dropped.
bool append_body(FilterRecord& record, const char* data, uint64_t len);
enum class Lookup : uint8_t { kNone, kIncomplete, kFinished };
// Finishes the client's record when its body is complete (or when forced, at the close).
Lookup finish_client_record(int64_t client_sid, bool only_when_complete, std::string* old_key = nullptr);
FilterRecord* record_by_response(int64_t response_sid);
// Takes the response's record out of both hashes; NULL when there is none. The record is then ours.
FilterRecord* take_by_response(int64_t response_sid);
// Puts a new record into both hashes after freeing (unfinished) one still there for the client;
// false when the response sid has a record already.
bool register_record(FilterRecord* record);
// Calls fn on every registered record under the filter lock (purge marks).
void for_each_record(void (*fn)(FilterRecord& record, void* arg), void* arg);
// The filter lock, for printing a head and its title together.
std::mutex& filter_lock();
// Stores a whole, sound memory copy of a cacheable response in the memory cache.
void store_memory_copy(FilterRecord& record);
// The purge a record was marked for while in flight, run once its copies are stored.
void apply_purge_mark(const FilterRecord& record);
// Commits or abandons a record's cache file by the completeness of its body.
void end_cache_file(FilterRecord& record);
// The body pool (4 MiB pages, at most 17) and the records' memory in use.
uint64_t pools_in_use();
bool is_spider(http_parser* request);
// The key of a request: Host and target (an absolute target loses "http://" and the host); CONNECT:
// Host alone. NULL without method, Host (up to 200 characters) or target; out holds 4,096 bytes.
char* request_key(http_parser* request, char* out);
using vor::upfetch::wants_close;
// Disk-cache rewrite entries loaded from the plug-ins.
size_t rewrite_entry_count();
// Calls the rewrite list in order; true when an entry answered (key_buffer: 4,197 zeroed bytes).
bool call_rewrite_list(const char* key, http_parser* request, char* key_buffer, uint8_t* skip, uint32_t* lifetime);

// ---- The memory cache's tables by cache kind ----

struct MemoryTable {
  uint8_t (*check)(const char* url, uint32_t* expire, char* tag);
  int32_t (*get)(const char* url, const char* tag, char* head, uint32_t head_capacity, uint32_t from, uint32_t to,
                 void* body);
  void (*set)(uint32_t type, const char* url, const char* head, cu_xjitter* body, uint32_t expire,
              uint8_t content_class);
  uint8_t (*refresh_expire)(const char* url, uint32_t expire);
  uint8_t (*add_access)(const char* url, const char* tag);
  void (*clean)(const char* url);  // drops exactly that url's entry
};
// The table of a cache kind (0 and 2 public, 3 member, 4 visitor); NULL for the others.
const MemoryTable* memory_table(uint8_t kind);
// The three tables, public, member and visitor; tests put their own in.
MemoryTable* memory_tables();
// "Public", "Member", "Visitor" (kind 0 reads "Public").
const char* kind_name(uint8_t kind);

// ---- Memory copies: store and serve ----

constexpr uint32_t kLifetimeMask = 0x7FFFFFFF;
constexpr int32_t kStoredHeadCapacity = 16383;  // the get writes one more byte, the NUL
// 1 text, 0 binary, 2 anything else, from the Content-Type.
uint8_t content_class(http_parser* response);
// Stores a record's complete, sound body copy in the memory table of its kind, or drops it.
void store_memory(FilterRecord& record);
// Stores a response read from a cache file; kinds 0 and 2 public, 3 member, 4 visitor.
void store_memory_from_disk(const char* cache_key, const char* head, cu_xjitter* body, uint8_t kind, uint32_t type,
                            int64_t expiry);
// Serves a stored copy decoded for a client that cannot take its coding; false when not served.
bool serve_decoded(int64_t client_sid, const char* cache_key, http_parser* request, http_parser* stored, uint8_t kind,
                   const char* tag, uint64_t* bytes_sent);
// Writes a stored head and its whole body (the head and body hooks run), the close the request
// asks for marked on the head.
void send_whole_hit(int64_t client_sid, http_parser* request, http_parser* stored, char* body, uint32_t len,
                    uint64_t* bytes_sent);

// ---- Hits ----

enum class HitResult : uint8_t { kNoEntry, kNotServed, kServed, kServedCut };
struct HitOutputs {
  uint8_t expired = 0;
  uint8_t revalidate = 0;
  uint8_t rewritten = 0;
};
// Answers from the memory table of the kind; kServedCut when the body stopped short after the
// head went out (the caller closes at once).
HitResult memory_hit(int64_t client_sid, http_parser* request, const char* cache_key, uint8_t kind, bool check_expiry,
                     HitOutputs& out);
// Answers from the disk cache; kNoEntry or kServed.
HitResult disk_hit(int64_t client_sid, http_parser* request, const char* cache_key, uint8_t kind, bool check_expiry,
                   HitOutputs& out);
// The close after an answer from a cache: at once when the request wants it, else in 6 s.
void close_after_hit(int64_t client_sid, http_parser* request);
bool range_request(http_parser* request);
bool request_no_cache(http_parser* request, const char* cache_key);
// The first range of text (at "bytes") over a total: true with [from, to) when from < to <= total.
bool parse_range(uint64_t total, uint64_t* from, uint64_t* to, const char* text);
bool disk_range(http_parser* request, const char* index_record, uint64_t* total, uint64_t* from, uint64_t* to);
void rewrite_cache_control(http_parser* head, int64_t expiry);
void rewrite_cache_control_disk(const char* index_record, http_parser* head);

// ---- Conditional answers and revalidation ----

bool not_modified(int64_t client_sid, http_parser* request, http_parser* stored);
bool not_modified_disk(int64_t client_sid, http_parser* request, const char* index_record);
bool make_conditional(http_parser* request, http_parser* stored);
bool make_conditional_disk(http_parser* request, const char* index_record);
// An upstream answer to a revalidation; true when the call was answered here.
bool upstream_not_modified(FilterRecord& record, reqgate_writer upstream_writer);
bool restamp_disk_expiry(FilterRecord& record, const char* cache_key, uint8_t kind, int64_t expiry);
// A stored head updated by a 304: every field the 304 carries replaces all the stored lines of
// that name (names compared without regard to case); the stored body's framing and coding, the
// fields of one hop, those stored heads never keep (Set-Cookie too with strip_cookies) and, with
// keep_date, the Date stay as stored.
void merge_not_modified(http_parser* stored, http_parser* not_modified, bool strip_cookies, bool keep_date);

// ---- Index records of the disk cache: key=value pairs joined by '&' ----

constexpr size_t kIndexRecordSize = 170;   // an index record's value
constexpr size_t kContentRecordSize = 60;  // a content record's value
// Reader buffers (NUL included): dn, pt, cr, ct; ep, r1, r2, cl; cm, fn; up.
constexpr size_t kShortValueSize = 10;
constexpr size_t kNumberValueSize = 32;
constexpr size_t kNameValueSize = 33;
constexpr size_t kSignatureValueSize = 100;
// The value of key (at most size - 1 characters) in buffer; NULL when the key is absent. The
// record is read up to its first blank or NUL and never past record_size bytes.
char* index_value(const char* record, const char* key, char* buffer, size_t size,
                  size_t record_size = kIndexRecordSize);
// A hexadecimal value; fallback when the key is absent.
uint64_t index_hex(const char* record, const char* key, uint64_t fallback, size_t record_size = kIndexRecordSize);
// Removes the ep pair in place.
void index_drop_ep(char* record, size_t record_size = kIndexRecordSize);
// Appends a pair after the record's text; false when it does not fit record_size bytes, NUL included.
bool index_append(char* record, const char* key, const char* value, size_t record_size = kIndexRecordSize);
// The up value of a URL or cache key: hashes of its host and of up to three folders.
std::string path_signature(std::string_view url);

// ---- Cache-file paths ----

// The folder count of a directory depth (its low 8 bits): 10 to 1,000,000.
uint32_t folder_count(uint32_t depth);
// The folder number of a cache key: a 31-multiplier hash of its bytes (signed) modulo count.
uint32_t folder_number(std::string_view key, uint32_t count);
// The folder number's decimal digits at the configured depth: one folder level each.
std::string folder_digits(std::string_view key);
// "public" for kinds 0 and 2, "member" for 3, "visitor" for 4; NULL for any other kind.
const char* class_folder(uint8_t kind);
// disk/class/d/i/g/name[.extension] with '\' turned into '/' and single separators.
std::string join_path(std::string_view disk_path, std::string_view class_name, std::string_view digits,
                      std::string_view name, std::string_view extension);
// The 32 lowercase hexadecimal characters of the key's MD5: a cache file's name.
std::string file_name(std::string_view key);
// A cache file's path from its disk, folder digits and name; empty for a kind without a class.
std::string cache_path_at(uint8_t kind, std::string_view disk_path, std::string_view digits, std::string_view name);
std::string cache_path(uint8_t kind, std::string_view disk_path, std::string_view key);
// The cache file an index record names (dn in hexadecimal, pt in decimal digits, both present
// and well formed, the disk known); empty when it names none.
std::string record_file_path(uint8_t kind, std::string_view name, const char* record,
                             size_t record_size = kIndexRecordSize);
// Creates every missing folder of the path's folder part; the errno of the first level that
// could not be made, 0 when all are there.
int make_dirs(const std::string& path);

// ---- Cache writers ----

// Guards the writer tables and the table of disk-hit reads in flight; held only around their
// lookups, inserts and deletes.
std::mutex& disk_io_lock();

// The disk I/O pools, made once at module init on one shared lock.
enum class DiskPool : int { kHttpParser, kReadStruct, kReadTable, kWriteStruct, kWriteTree, kWriteTreeUnique };
constexpr int kDiskPoolCount = 6;
cu_xmem* disk_pool(DiskPool id);
// How a pool is made (tests make one fail): lock, page size, pages at most.
using PoolMaker = cu_xmem* (*)(cu_sem* lock, uint64_t page_size, uint64_t pages);
PoolMaker& disk_pool_maker();
// Makes the pools; a pool that cannot be made ends the process with -1 after its line.
void afile_pools();
// The pools, then their bytes in use as the baseline disk_pools_in_use counts from.
void afile_init();
uint64_t disk_pools_in_use();

// The file layer's queuing calls the writers use (tests put their own in).
struct FileCalls {
  bool (*write)(const vor_afile* op, uint8_t prefer_ssd);
  bool (*event)(const vor_afile* op, uint8_t prefer_ssd);
  bool (*cancel)(const vor_afile* op, uint8_t prefer_ssd);
};
FileCalls& file_calls();

// A disk found full: marked in the rules store, its cleaning started, logged and printed.
void disk_full(uint32_t disk);

// The file holding a body shared by MD5, when its chain is sound: the content record names a
// class record whose dn, pt, r1, r2 and cl exist, whose cl equals length (at least 1), which is
// no sharer itself (cr absent or 0) and whose cm is md5, on a known disk. A broken chain loses
// its content record (and the named record where that one is incomplete or its disk unknown).
struct SharedHolder {
  uint8_t kind = 0;
  char name[kNameValueSize] = {};
  char record[kIndexRecordSize + 1] = {};
  uint32_t disk = 0;
  uint64_t r1 = 0, r2 = 0, cl = 0;
  std::string path;
};
bool shared_holder(const char* md5, uint64_t length, SharedHolder* holder);

// A cache disk for a new file, of the preferred kind first; false when none is free.
bool choose_disk(bool hdd_first, uint32_t* disk, std::string* path);
struct WriterStart {
  uint8_t kind;     // 2, 3 or 4
  bool rule;        // a force-cache rule admitted the response
  uint32_t lifetime;
  uint32_t disk;
  std::string key;
  std::string path;
};
// Opens the file, queues the cleaned heads and registers the writer; a bigbox slave thread only.
bool writer_begin(const WriterStart& start, http_parser* request, http_parser* response);
// Queues body bytes; false for an unknown path, another thread's writer or a failed one.
bool writer_append(const char* path, const char* data, int64_t len);
// Indexes the file once its writes are done (unless a write failed: then it is deleted).
void writer_finish(const char* path);
// Deletes the file once its queued writes are dropped.
void writer_abort(const char* path);
size_t writer_count();

// ---- Disk-cache index stores ----

enum class IndexStore : uint8_t { kPublic, kMember, kVisitor, kContent };
// The 32-character key of a cache-file name or path (after its last '/' or '\'); false when
// fewer than 32 characters remain.
bool index_key(const char* name_or_path, char key[32]);
// Kinds 0 and 2 public, 3 member, 4 visitor; any other kind answers false.
bool index_put(uint8_t kind, const char* name, const char* record);  // record: 170 bytes
bool index_get(uint8_t kind, const char* name, char* record);        // record: 170 bytes
// Kinds 2, 3, 4 their store; any other kind every class store; true when a record was removed.
bool index_del(uint8_t kind, const char* name);
void index_defrag(uint8_t kind);
// Content records by body MD5 (60 bytes); false for an empty MD5.
bool content_put(const char* md5, const char* record);
bool content_get(const char* md5, char* record);
bool content_del(const char* md5);
// Module init: creates the dcindex folder, then converts, opens the class stores and the content store.
void open_index_stores();
void index_convert();
void index_open();
void content_open();
// A store's handle for walks (cleaning, scans); NULL when the store is absent.
vor_kv2* index_store(IndexStore store);
// Module exit: the class stores, then the content store.
void index_close();
void content_close();
// The three-hourly loop timer on the box whose tick calls index_flush_start; its id, 0 when none.
int32_t arm_index_flush(vor_box* box);
// Runs index_flush on a thread of its own; false when the thread cannot start.
bool index_flush_start();
// Checkpoints (journalled stores) or flushes every open store.
void index_flush();

// ---- Disk and index cleaning ----

// The random draws and the pauses of the cleaning passes; tests put seeded draws and no pauses in.
struct CleanCalls {
  int32_t (*draw)();           // 0 to 2,147,483,647
  void (*pause)(uint32_t ms);
};
CleanCalls& clean_calls();
// Starts the cleaning of a cache disk on a thread of its own unless a pass of that disk runs;
// true when a thread started.
bool dclean_start(uint32_t disk);
// The same for an index store.
bool iclean_start(IndexStore store);
// Starts the store's cleaning when it holds more records than its hash has buckets.
void iclean_if_over(IndexStore store);
// One pass over a disk on the calling thread: each class folder's digit folders of the current
// depth lose about one file in five that nobody has open, with its index record; the disk's full
// mark clears after each folder.
void dclean_pass(uint32_t disk);
// One pass over a store on the calling thread: about one record in five goes, with its cache file.
void iclean_pass(IndexStore store);
// Module exit: running passes end after their current entry; answers once they have.
void stop_cleaning();
// Module init: passes may start again.
void allow_cleaning();

// ---- Access log ----

// The line buffer the callers allocate (_cu_malloc); a line never outgrows it.
constexpr size_t kAccessLineSize = 16384;
// Module init: the settings and URL rules of access.ini (../config/zazudaza/, then
// ../modules/zazudaza/), the log of the current local day or hour and its switch timer on the
// master box (NULL: no switching). Without access.ini no file is opened and no rule exists.
void access_init(vor_box* master_box);
// Module exit: flushes the log.
void access_exit();
// True when one of the URL rules matches the URL.
bool access_wanted(const char* url);
// Builds the line into line (kAccessLineSize bytes) by the field switches; answers its length,
// CR LF included. Long values are cut, never the quotes, status or counts after them.
size_t access_format(char* line, const char* ip, http_parser* request, const char* status, uint64_t bytes,
                     const char* cache_status);
// Builds the line in line, writes it and frees line (_cu_free).
void access_line(const char* ip, http_parser* request, const char* status, uint64_t bytes, const char* cache_status,
                 char* line);
// The "MISS" line of a finished upstream response, when access logging is on and a rule
// matches its cache key.
void access_log_miss(FilterRecord& record);
// The "HIT" line of an answer from a cache, on the same conditions.
void access_log_hit(int64_t client_sid, http_parser* request, const char* cache_key, const char* status,
                    uint64_t bytes);
// Switches the log to the file of the current day or hour and arms the next switch.
void access_rotate();
// "../logs/access/access-Y-MM-DD[-HH].log" of the local time t; makes the folder.
std::string access_file_name(int64_t t, bool hourly);
// Milliseconds from t to the next local full hour or midnight; 1000 when none are left.
uint32_t access_switch_delay_ms(int64_t t, bool hourly);
// The clock the log reads (seconds since 1970); NULL puts the edge server's back.
using AccessClock = int64_t (*)();
void set_access_clock(AccessClock clock);

// ---- Purge and check by URL ----

// The disk key of a URL: a rewrite entry's answer when one answered without skip, else the URL.
std::string rewritten_disk_key(const char* url, http_parser* request);
// Drops the disk copies of exactly this URL (its disk key) from the three class stores and their files.
void purge_disk_exact(const char* url);
// Drops every stored copy of exactly this cache key: the three memory tables and, with the disk
// cache on, the disk copies.
void invalidate_url(const char* cache_key);
// A POST, PUT or DELETE that succeeded (2xx or 3xx) changed its URL: true when its stored copies go.
bool invalidates(http_parser* request, http_parser* response);
// Starts the scan that expires the entries under a "/*" URL's path on a thread of its own (a
// copy of the URL goes with it); false when no thread starts.
bool index_scan_start(const char* url);
// One scan pass over the class stores, after the scans queued before it.
void index_scan(const char* url);
// Scan threads started and not yet ended (queued ones included).
size_t index_scans_running();
// Module exit: queued and running scans stop; answers once none runs.
void stop_index_scans();

// ---- Disk hits ----

// A stored copy decoded for a client: kNoRoom when a work buffer was missing or the decoded body
// outgrew it (a miss), kBad when the data or their framing are broken.
enum class DecodeOutcome : uint8_t { kDecoded, kNoRoom, kBad };
DecodeOutcome decode_copy(http_parser* response, const char* body, size_t len, char** out, uint32_t* out_len);
// An empty body queue from the body pool (2,048-byte blocks, at most 1,024).
void init_body_queue(cu_xjitter* body);
// Serves a cache file from..to (to -1: to its end) to the client; false for a miss, nothing sent.
bool disk_serve(int64_t client_sid, bool close, const char* cache_key, const char* disk_key, const char* path,
                const char* record, uint8_t kind, int64_t from, int64_t to);
// The client's close: its disk read in flight (if any) is dropped, its file released.
void cancel_disk_read(int64_t client_sid);

// ---- Body hooks ----

// A chunk after the body hooks: they may put other data in its place.
struct Chunk {
  char* data;
  int32_t len;
  reqgate_free_fn free_fn = nullptr;
  void* free_arg = nullptr;
  bool send = true;
};
void run_body_hooks(int64_t client_sid, http_parser* request, int64_t response_sid, http_parser* response,
                    uint8_t from_cache, bool is_last, Chunk& chunk);
// Frees data a hook put in place of the original.
void release_chunk(Chunk& chunk, const char* original);

// ---- What the module holds for the response path ----

struct ResponseHooks {
  reqgate_head_hook head;
  reqgate_body_hook body;
  reqgate_ext_body_hook ext_body;
};
ResponseHooks response_hooks();
reqgate_url_purge_fn url_purge_hook();
bool connect_by_upstream();
edgeserv_ctx* edge_context();
// The icase flag and rule type of purge rules from X-RefreshCacheURL values.
struct RefreshSettings {
  uint8_t icase = 0;
  uint8_t rules = 2;
};
RefreshSettings& refresh_settings();
void read_refresh_settings(cu_config* edge_config);
std::vector<std::string>& spider_list();

// ---- Small header readers ----

// A head owned by its holder.
struct HeadFree {
  void operator()(http_parser* head) const { http_parser_free(head); }
};
using OwnedHead = std::unique_ptr<http_parser, HeadFree>;

// Content-Length values: one decimal number, or repeats of one value (in one line or several).
enum class LengthField : uint8_t { kAbsent, kValid, kInvalid };
struct Length {
  LengthField field;
  uint64_t value;
};
Length content_length(http_parser* head);
// Every line of a header, whole, joined by ", "; empty when absent.
std::string all_lines(http_parser* head, const char* name);

// The first three characters of the status as a number; 0 without a status.
int status_code(http_parser* response);
bool contains_ignore_case(std::string_view text, std::string_view word);
bool starts_ignore_case(std::string_view text, std::string_view word);

}  // namespace vor::reqgate
