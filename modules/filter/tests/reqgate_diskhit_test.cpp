// Disk hits from hand-made cache files and index records (real index stores in a temporary
// runtime tree, the real file registry and asynchronous file layer): whole bodies, ranges, the
// promotion of small bodies, shared bodies, damaged entries deleted with their records, busy files
// left alone, chunked copies, coded copies decoded for a client without that coding, and the
// pending read that holds a pipelined request back. The edge server's output, closes and the
// client record are fakes of this test; the file tasks read the real file.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cu_md5.h"
#include "cu_xfile.h"
#include "edgeserv.h"
#include "reqgate.h"
#include "reqgate_internal.h"
#include "reqgate_test_util.h"
#include "seams.h"
#include "vor_afile.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

namespace fs = std::filesystem;
using namespace vor::reqgate;
using namespace vor::reqgate::test;

constexpr int64_t kNow = 1700000000;
constexpr int64_t kSid = 77;

struct FileTask {
  std::string path;
  int64_t from, to;
};

// What the edge server was asked to do, from any thread.
struct World {
  std::mutex mu;
  std::condition_variable changed;
  std::string out;
  std::vector<FileTask> tasks;
  std::vector<uint32_t> closes;
  int rereads = 0;
  std::map<std::string, std::string> memory;  // promoted: key -> head + body
  uint32_t block_size = 4096;
  uint32_t max_open = 5000;
  std::string disk_path;
  Head client;  // the client's request head; NULL: none
  bool hold_writes = false;  // the fake output blocks until released

  void reset() {
    std::lock_guard<std::mutex> lock(mu);
    out.clear();
    tasks.clear();
    closes.clear();
    rereads = 0;
    memory.clear();
    block_size = 4096;
    max_open = 5000;
    client.reset();
  }
  bool ended() {
    std::lock_guard<std::mutex> lock(mu);
    return !closes.empty() || rereads > 0;
  }
};
World w;

void fake_set(uint32_t, const char* url, const char* head, cu_xjitter* body, uint32_t, uint8_t) {
  std::string bytes(cu_xjitter_GetLen(body), '\0');
  cu_xjitter_PeekDatax(body, bytes.data(), 0, bytes.size());
  cu_xjitter_empty(body);
  std::lock_guard<std::mutex> lock(w.mu);
  w.memory[url] = std::string(head) + bytes;
}

}  // namespace

extern "C" {
uint8_t edgeserv_WriteJitter(int64_t, const char* data, int32_t len) {
  std::lock_guard<std::mutex> lock(w.mu);
  w.out.append(data, static_cast<size_t>(len));
  return 1;
}
// The file task: the range read from the file, which the queue then releases.
uint8_t edgeserv_WriteFileEx(int64_t, const char* name, cu_xfile* file, int64_t from, int64_t to) {
  std::string bytes(static_cast<size_t>(to - from), '\0');
  const ssize_t n = pread(cu_xfile_GetFd(file), bytes.data(), bytes.size(), from);
  bytes.resize(n < 0 ? 0 : static_cast<size_t>(n));
  edgeserv_fclose(name, file);
  std::lock_guard<std::mutex> lock(w.mu);
  w.out += bytes;
  w.tasks.push_back({name, from, to});
  return 1;
}
uint8_t edgeserv_WriteFileEx_BySSD(int64_t sid, const char* name, cu_xfile* file, int64_t from, int64_t to) {
  return edgeserv_WriteFileEx(sid, name, file, from, to);
}
void edgeserv_close(int64_t, uint32_t delay) {
  std::lock_guard<std::mutex> lock(w.mu);
  w.closes.push_back(delay);
}
void edgeserv_RereadRequest(int64_t) {
  std::lock_guard<std::mutex> lock(w.mu);
  ++w.rereads;
}
client_rec* edgeserv_GetClient_BySid(int64_t) {
  static client_rec client{};
  client.parser = w.client.get();
  return w.client ? &client : nullptr;
}
const char* edgeserv_XFlag(void) { return "node1"; }
int64_t edgeserv_mytime(void) { return kNow; }
uint32_t policydb_system_get_MaxCacheBlockSize(void) { return w.block_size; }
uint32_t policydb_system_get_MaxOpenedFilesByDiskCache(void) { return w.max_open; }
uint8_t policydb_system_get_AddXCacheToHeader(void) { return 1; }
uint8_t policydb_diskno_IsSSD(int32_t) { return 0; }
uint8_t policydb_diskno_GetPath(int32_t num, char* buffer, int32_t len) {
  if (num != 1) return 0;
  std::snprintf(buffer, static_cast<size_t>(len), "%s", w.disk_path.c_str());
  return 1;
}
}

namespace {

std::string hex(uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(v));
  return text;
}

std::string pattern(size_t n, unsigned seed = 7) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed + i / 251) & 0xFF);
  return s;
}

// Bytes that do not compress.
std::string noise(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xFF);
  }
  return s;
}

std::string gzip_of(const std::string& plain) {
  z_stream s{};
  deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, plain.size()) + 64, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  s.avail_in = static_cast<uInt>(plain.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

std::string md5_of(const std::string& text) {
  char name[33];
  cu_md5_encode(name, text.c_str());
  return std::string(name, 32);
}

// One cache entry as the writer leaves it: the file's bytes and its index record.
struct Entry {
  std::string key;
  uint8_t kind = kPublic;
  std::string request;   // stored request head
  std::string response;  // stored response head
  std::string body;
  std::string extra;     // pairs after cc (ce, cm, cr)
  bool body_in_file = true;
  std::string name() const { return md5_of(key); }
};

Entry entry(const std::string& key, const std::string& body,
            const std::string& headers = "Content-Type: image/png\r\n") {
  Entry e;
  e.key = key;
  const size_t slash = key.find('/');
  e.request = "GET " + key.substr(slash) + " HTTP/1.1\r\nHost: " + key.substr(0, slash) + "\r\n\r\n";
  e.response = "HTTP/1.1 200 OK\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  e.body = body;
  return e;
}

class DiskHitTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vor_afile_setup(1); }

  void SetUp() override {
    w.reset();
    root_ = dir_.path();
    for (const char* folder : {"bin", "config", "logs", "disk1"}) fs::create_directories(root_ + "/" + folder);
    w.disk_path = root_ + "/disk1";
    old_cwd_ = fs::current_path().string();
    ASSERT_EQ(chdir((root_ + "/bin").c_str()), 0);
    testing::internal::CaptureStdout();
    open_index_stores();
    testing::internal::GetCapturedStdout();
    memory_tables()[0].set = fake_set;
    seams::disk_calls() = seams::DiskCalls{index_get, index_put, index_del, seams::disk_calls().disk_path, disk_serve};
  }
  void TearDown() override {
    EXPECT_TRUE(vor::test::wait_until([] { return edgeserv_fnnodes() == 0; })) << "files left open";
    EXPECT_EQ(seams::pending_disk_reads(), 0u);
    index_close();
    content_close();
    ASSERT_EQ(chdir(old_cwd_.c_str()), 0);
  }

  std::string path_of(const Entry& e) const { return cache_path(e.kind, w.disk_path, e.key); }

  // Writes the file and stores the record; r1, r2 and cl may be overridden.
  std::string put(const Entry& e, const std::string& lengths = "") {
    const std::string path = path_of(e);
    make_dirs(path);
    std::ofstream(path, std::ios::binary) << e.request << e.response << (e.body_in_file ? e.body : "");
    std::string record = "vs=371&dn=1&pt=" + folder_digits(e.key);
    record += lengths.empty() ? "&r1=" + hex(e.request.size()) + "&r2=" + hex(e.response.size()) +
                                    "&cl=" + hex(e.body.size())
                              : lengths;
    record += "&ep=" + hex(kNow + 600) + "&cc=0" + e.extra + "&up=1/";
    record.resize(kIndexRecordSize, '\0');
    EXPECT_TRUE(index_put(e.kind, e.name().c_str(), record.c_str()));
    return record;
  }
  bool indexed(const Entry& e) {
    char record[kIndexRecordSize + 1] = {};
    return index_get(e.kind, e.name().c_str(), record);
  }
  std::string record_of(const Entry& e) {
    char record[kIndexRecordSize + 1] = {};
    index_get(e.kind, e.name().c_str(), record);
    return std::string(record, kIndexRecordSize);
  }

  // Serves and waits for the answer's end (a close or a reread).
  bool serve(const Entry& e, int64_t from = 0, int64_t to = -1, bool close = false) {
    const std::string record = record_of(e);
    const std::string path = path_of(e);
    const bool ok =
        disk_serve(kSid, close, e.key.c_str(), e.key.c_str(), path.c_str(), record.c_str(), e.kind, from, to);
    if (ok) {
      EXPECT_TRUE(vor::test::wait_until([] { return w.ended(); }));
    }
    return ok;
  }
  bool file_gone(const Entry& e) {
    return vor::test::wait_until([&] { return !fs::exists(path_of(e)); });
  }

  vor::test::TempDir dir_;
  std::string root_;
  std::string old_cwd_;
};

struct Answer {
  std::string status, head, body;
};
Answer answer() {
  std::lock_guard<std::mutex> lock(w.mu);
  const size_t end = w.out.find("\r\n\r\n");
  if (end == std::string::npos) return {"", "", w.out};
  return {w.out.substr(0, w.out.find("\r\n")), w.out.substr(0, end + 4), w.out.substr(end + 4)};
}
std::string header_of(const std::string& head, const char* name) {
  Head parsed = make_head(head.substr(0, head.size() - 2));
  return header(parsed.get(), name);
}

// ---- whole bodies and ranges -------------------------------------------------------------------

struct RangeCase {
  const char* what;
  size_t body;
  int64_t from, to;
  const char* status;
  const char* content_range;
  bool promoted;
  size_t tasks;
};

TEST_F(DiskHitTest, WholeBodiesAndRangesComeFromTheFile) {
  const RangeCase cases[] = {
      {"small whole: one read, promoted", 1000, 0, -1, "HTTP/1.1 200 OK", "<none>", true, 0},
      {"small range", 1000, 100, 200, "HTTP/1.1 206 Partial Content", "bytes 100-199/1000", false, 1},
      {"range of the whole body is a 200", 1000, 0, 1000, "HTTP/1.1 200 OK", "<none>", true, 0},
      {"large whole: file task", 600000, 0, -1, "HTTP/1.1 200 OK", "<none>", false, 1},
      {"range across a slice edge", 600000, 262000, 262300, "HTTP/1.1 206 Partial Content",
       "bytes 262000-262299/600000", false, 1},
      {"open range to the end", 600000, 524287, -1, "HTTP/1.1 206 Partial Content", "bytes 524287-599999/600000",
       false, 1},
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(c.what);
    w.reset();
    const Entry e = entry("a.test/img/" + std::to_string(c.body), pattern(c.body));
    put(e);
    ASSERT_TRUE(serve(e, c.from, c.to));
    const Answer a = answer();
    const size_t to = c.to < 0 ? c.body : static_cast<size_t>(c.to);
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(header_of(a.head, "Content-Length"), std::to_string(to - static_cast<size_t>(c.from)));
    EXPECT_EQ(header_of(a.head, "Content-Range"), c.content_range);
    EXPECT_EQ(header_of(a.head, "X-Cache"), "HIT");
    EXPECT_EQ(header_of(a.head, "X-Via"), "node1");
    EXPECT_TRUE(a.body == e.body.substr(static_cast<size_t>(c.from), to - static_cast<size_t>(c.from)));
    EXPECT_EQ(w.memory.count(e.key), c.promoted ? 1u : 0u);
    EXPECT_EQ(w.tasks.size(), c.tasks);
    if (!w.tasks.empty()) {
      const int64_t base = static_cast<int64_t>(e.request.size() + e.response.size());
      EXPECT_EQ(w.tasks[0].from, base + c.from);
      EXPECT_EQ(w.tasks[0].to, base + static_cast<int64_t>(to));
    }
    EXPECT_EQ(w.closes, std::vector<uint32_t>{6000});
    EXPECT_TRUE(indexed(e));
  }
}

TEST_F(DiskHitTest, PromotedCopyHoldsTheHeadAsSentAndTheBody) {
  const Entry e = entry("a.test/p.png", pattern(3000));
  put(e);
  ASSERT_TRUE(serve(e, 0, -1, true));
  const Answer a = answer();
  EXPECT_EQ(header_of(a.head, "Connection"), "close");
  EXPECT_EQ(w.closes, std::vector<uint32_t>{0});
  EXPECT_EQ(w.memory[e.key], a.head + e.body);
}

uint8_t refuse_head(int64_t, http_parser* request, int64_t, http_parser*, uint8_t from_cache) {
  // Without a head on the connection the hook sees one made from the cache key.
  return request && header(request, "Host") == "a.test" && from_cache == 1 ? 0 : 1;
}

TEST_F(DiskHitTest, AHeadHookAnsweringFalseHoldsTheHeadBackButNotTheBody) {
  reqgate_ImportPluginResponseEntry_v2(refuse_head, nullptr, nullptr);
  for (size_t size : {size_t{1000}, size_t{50000}}) {
    SCOPED_TRACE(size);
    w.reset();
    const Entry e = entry("a.test/hooked" + std::to_string(size), pattern(size));
    put(e);
    ASSERT_TRUE(serve(e));
    EXPECT_TRUE(w.out == e.body);
  }
  reqgate_ImportPluginResponseEntry_v2(nullptr, nullptr, nullptr);
}

TEST_F(DiskHitTest, AStoredHeadWithoutLengthGetsCl) {
  Entry e = entry("a.test/nolength", pattern(500));
  e.response = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n\r\n";
  put(e);
  ASSERT_TRUE(serve(e));
  EXPECT_EQ(header_of(answer().head, "Content-Length"), "500");
}

TEST_F(DiskHitTest, ABodyTooLargeForTheQueueIsSentButNotPromoted) {
  w.block_size = 4 << 20;
  const Entry e = entry("a.test/big", pattern(2100000));
  put(e);
  ASSERT_TRUE(serve(e));
  EXPECT_TRUE(answer().body == e.body);
  EXPECT_EQ(w.memory.count(e.key), 0u);
  EXPECT_EQ(w.closes, std::vector<uint32_t>{0});
}

TEST_F(DiskHitTest, RangesOutsideTheBodyAreMissesAndDeleteNothing) {
  const Entry e = entry("a.test/r", pattern(1000));
  put(e);
  for (auto [from, to] : {std::pair<int64_t, int64_t>{0, 1001}, {-1, 10}, {500, 100}}) {
    EXPECT_FALSE(serve(e, from, to)) << from << "-" << to;
  }
  EXPECT_TRUE(indexed(e));
  EXPECT_TRUE(fs::exists(path_of(e)));
}

TEST_F(DiskHitTest, TooManyOpenFilesIsAMiss) {
  w.max_open = 0;
  const Entry e = entry("a.test/cap", pattern(100));
  put(e);
  EXPECT_FALSE(serve(e));
  EXPECT_TRUE(indexed(e));
}

// ---- damaged entries -------------------------------------------------------------------------

TEST_F(DiskHitTest, DamagedEntriesLoseFileAndRecordBeforeAnswering) {
  struct Case {
    const char* what;
    std::string lengths;  // record override; empty: the file's own
    size_t cut;           // bytes cut from the file's end
  };
  const Entry base = entry("a.test/d", pattern(5000));
  const std::string r1 = hex(base.request.size());
  const std::string r2 = hex(base.response.size());
  const Case cases[] = {
      {"short file", "", 1},
      {"heads of 0 bytes", "&r1=0&r2=0&cl=" + hex(5000), 0},
      {"heads of 65,537 bytes", "&r1=" + hex(65536) + "&r2=1&cl=" + hex(5000), 0},
      {"negative length", "&r1=-5&r2=" + r2 + "&cl=" + hex(5000), 0},
      {"missing cl", "&r1=" + r1 + "&r2=" + r2, 0},
      {"cl past 64 bits", "&r1=" + r1 + "&r2=" + r2 + "&cl=7fffffffffffffff", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    w.reset();
    put(base, c.lengths);
    if (c.cut) fs::resize_file(path_of(base), fs::file_size(path_of(base)) - c.cut);
    EXPECT_FALSE(serve(base));
    EXPECT_TRUE(file_gone(base));
    EXPECT_FALSE(indexed(base));
    EXPECT_EQ(answer().body, "");
  }
}

TEST_F(DiskHitTest, AFileFoundBadAfterTheReadIsDeletedAndTheConnectionClosedUnanswered) {
  struct Case {
    const char* what;
    size_t body;
  };
  for (const Case& c : {Case{"small: whole read", 2000}, Case{"large: head read", 50000}}) {
    SCOPED_TRACE(c.what);
    // Two keys' files swapped: the stored request names the other key.
    w.reset();
    Entry a = entry("a.test/one", pattern(c.body, 1));
    Entry b = entry("a.test/two", pattern(c.body, 2));
    Entry swapped = a;
    swapped.request = b.request;
    put(swapped);
    ASSERT_TRUE(serve(swapped));
    EXPECT_EQ(w.out, "");
    EXPECT_EQ(w.closes, std::vector<uint32_t>{0});
    EXPECT_TRUE(file_gone(a));
    EXPECT_FALSE(indexed(a));

    // A stored Content-Length other than cl.
    w.reset();
    Entry wrong = entry("a.test/len", pattern(c.body));
    wrong.response = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(c.body + 1) + "\r\n\r\n";
    put(wrong);
    ASSERT_TRUE(serve(wrong));
    EXPECT_EQ(w.out, "");
    EXPECT_TRUE(file_gone(wrong));
    EXPECT_FALSE(indexed(wrong));

    // An incomplete stored head.
    w.reset();
    Entry cut = entry("a.test/cut", pattern(c.body));
    cut.response = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(c.body) + "\r\n";
    cut.body = "\r\n" + cut.body.substr(2);
    put(cut, "&r1=" + hex(cut.request.size()) + "&r2=" + hex(cut.response.size()) + "&cl=" + hex(c.body));
    ASSERT_TRUE(serve(cut));
    EXPECT_EQ(w.out, "");
    EXPECT_TRUE(file_gone(cut));
  }
}

TEST_F(DiskHitTest, AVanishedFileLosesItsRecord) {
  const Entry e = entry("a.test/gone", pattern(100));
  put(e);
  fs::remove(path_of(e));
  EXPECT_FALSE(serve(e));
  EXPECT_FALSE(indexed(e));
}

TEST_F(DiskHitTest, AFileBeingWrittenGoesUpstreamWithNothingDeleted) {
  const Entry e = entry("a.test/busy", pattern(100));
  put(e);
  int32_t error = 0;
  // The writer's registration of the path (it truncates, then writes): readers are refused.
  const std::string content = e.request + e.response + e.body;
  cu_xfile* held = edgeserv_fopen_tx(path_of(e).c_str(), &error);
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(cu_xfile_write(held, content.data(), static_cast<int32_t>(content.size())),
            static_cast<int32_t>(content.size()));
  EXPECT_FALSE(serve(e));
  EXPECT_TRUE(indexed(e));
  edgeserv_fclose(path_of(e).c_str(), held);
  EXPECT_TRUE(vor::test::wait_until([] { return edgeserv_fnnodes() == 0; }));
  EXPECT_TRUE(fs::exists(path_of(e)));
  EXPECT_TRUE(serve(e));
}

// ---- shared bodies ---------------------------------------------------------------------------

class SharedBodyTest : public DiskHitTest {
 protected:
  // holder keeps the body; sharer's file holds its heads alone.
  void share(size_t size) {
    body_ = pattern(size, 9);
    holder_ = entry("a.test/holder", body_);
    sharer_ = entry("b.test/sharer", body_);
    const std::string md5 = md5_of(body_);
    holder_.extra = "&cm=" + md5;
    sharer_.extra = "&cm=" + md5 + "&cr=1";
    sharer_.body_in_file = false;
    put(holder_);
    put(sharer_);
    std::string content = "vs=371&ct=2&fn=" + holder_.name();
    content.resize(kContentRecordSize, '\0');
    ASSERT_TRUE(content_put(md5.c_str(), content.c_str()));
  }
  std::string body_;
  Entry holder_, sharer_;
};

TEST_F(SharedBodyTest, ASmallSharedBodyIsReadFromItsHolderAndPromoted) {
  share(3000);
  ASSERT_TRUE(serve(sharer_));
  const Answer a = answer();
  EXPECT_EQ(a.status, "HTTP/1.1 200 OK");
  EXPECT_TRUE(a.body == body_);
  EXPECT_EQ(w.memory.count(sharer_.key), 1u);
}

TEST_F(SharedBodyTest, ALargeSharedBodyRangeIsAFileTaskOnTheHolder) {
  share(300000);
  ASSERT_TRUE(serve(sharer_, 262100, 262200));
  const Answer a = answer();
  EXPECT_EQ(header_of(a.head, "Content-Range"), "bytes 262100-262199/300000");
  EXPECT_TRUE(a.body == body_.substr(262100, 100));
  ASSERT_EQ(w.tasks.size(), 1u);
  EXPECT_EQ(w.tasks[0].path, path_of(holder_));
  const int64_t base = static_cast<int64_t>(holder_.request.size() + holder_.response.size());
  EXPECT_EQ(w.tasks[0].from, base + 262100);
}

TEST_F(SharedBodyTest, AMissingContentRecordDeletesTheSharer) {
  share(3000);
  ASSERT_TRUE(content_del(md5_of(body_).c_str()));
  EXPECT_FALSE(serve(sharer_));
  EXPECT_TRUE(file_gone(sharer_));
  EXPECT_FALSE(indexed(sharer_));
  EXPECT_TRUE(indexed(holder_));
}

TEST_F(SharedBodyTest, ABusyHolderMakesAMissWithNothingDeleted) {
  share(3000);
  const std::string holder = path_of(holder_);
  const std::string bytes = holder_.request + holder_.response + body_;
  int32_t error = 0;
  cu_xfile* rewriting = edgeserv_fopen_tx(holder.c_str(), &error);
  ASSERT_NE(rewriting, nullptr);
  ASSERT_EQ(cu_xfile_write(rewriting, bytes.data(), static_cast<int32_t>(bytes.size())),
            static_cast<int32_t>(bytes.size()));
  EXPECT_FALSE(serve(sharer_));
  edgeserv_fclose(holder.c_str(), rewriting);
  EXPECT_TRUE(indexed(sharer_));
  EXPECT_TRUE(fs::exists(path_of(sharer_)));
  EXPECT_TRUE(vor::test::wait_until([] { return edgeserv_fnnodes() == 0; }));
  ASSERT_TRUE(serve(sharer_));
  EXPECT_TRUE(answer().body == body_);
}

TEST_F(SharedBodyTest, AShortHolderIsDeletedWithItsRecords) {
  share(3000);
  fs::resize_file(path_of(holder_), fs::file_size(path_of(holder_)) - 10);
  EXPECT_FALSE(serve(sharer_));
  EXPECT_TRUE(file_gone(holder_));
  EXPECT_FALSE(indexed(holder_));
  EXPECT_FALSE(indexed(sharer_));
  char content[kContentRecordSize + 1] = {};
  EXPECT_FALSE(content_get(md5_of(body_).c_str(), content));
}

// ---- chunked and coded copies ----------------------------------------------------------------

std::string chunked(const std::string& data) {
  char size[16];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + data + "\r\n0\r\n\r\n";
}

TEST_F(DiskHitTest, AChunkedCopyKeepsItsFramingAndAnswersARangeWhole) {
  for (auto [from, to] : {std::pair<int64_t, int64_t>{0, -1}, {10, 20}}) {
    for (size_t size : {size_t{500}, size_t{20000}}) {
      SCOPED_TRACE(std::to_string(from) + " " + std::to_string(size));
      w.reset();
      Entry e = entry("a.test/chunked" + std::to_string(size), chunked(pattern(size)));
      e.response = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nTransfer-Encoding: chunked\r\n\r\n";
      put(e);
      ASSERT_TRUE(serve(e, from, to));
      const Answer a = answer();
      EXPECT_EQ(a.status, "HTTP/1.1 200 OK");
      EXPECT_EQ(header_of(a.head, "Content-Length"), "<none>");
      EXPECT_EQ(header_of(a.head, "Content-Range"), "<none>");
      EXPECT_EQ(header_of(a.head, "Transfer-Encoding"), "chunked");
      EXPECT_TRUE(a.body == e.body);
    }
  }
}

Entry coded(const std::string& key, const std::string& plain) {
  Entry e = entry(key, gzip_of(plain),
                  "Content-Type: text/html\r\nContent-Encoding: gzip\r\nVary: Accept-Encoding\r\n");
  e.extra = "&ce=gzip";
  return e;
}

TEST_F(DiskHitTest, ACodedCopyIsDecodedForAClientWithoutTheCoding) {
  const std::string plain = pattern(600 * 1024);
  for (auto [from, to] : {std::pair<int64_t, int64_t>{0, -1}, {100, 200}}) {
    SCOPED_TRACE(from);
    w.reset();
    w.client = make_head("GET /c HTTP/1.1\r\nHost: a.test\r\n");
    const Entry e = coded("a.test/c", plain);
    put(e);
    ASSERT_TRUE(serve(e, from, to));
    const Answer a = answer();
    EXPECT_EQ(a.status, "HTTP/1.1 200 OK");
    EXPECT_EQ(header_of(a.head, "Content-Encoding"), "<none>");
    EXPECT_EQ(header_of(a.head, "Content-Length"), std::to_string(plain.size()));
    EXPECT_TRUE(a.body == plain);
    EXPECT_EQ(w.memory.count(e.key), 0u);
  }
}

TEST_F(DiskHitTest, ACodedCopyGoesAsStoredToAClientThatTakesTheCoding) {
  w.client = make_head("GET /c HTTP/1.1\r\nHost: a.test\r\nAccept-Encoding: gzip, br\r\n");
  const Entry e = coded("a.test/c", pattern(5000));
  put(e);
  ASSERT_TRUE(serve(e));
  const Answer a = answer();
  EXPECT_EQ(header_of(a.head, "Content-Encoding"), "gzip");
  EXPECT_TRUE(a.body == e.body);
}

TEST_F(DiskHitTest, ACodedCopyAboveOneMebibyteIsAMiss) {
  w.client = make_head("GET /c HTTP/1.1\r\nHost: a.test\r\n");
  Entry e = coded("a.test/huge", noise(1100000));
  ASSERT_GT(e.body.size(), 1u << 20);
  put(e);
  EXPECT_FALSE(serve(e));
  EXPECT_TRUE(indexed(e));
}

TEST_F(DiskHitTest, ADecodingPastItsRoomGoesUpstreamWithNothingSentOrDeleted) {
  w.client = make_head("GET /z HTTP/1.1\r\nHost: a.test\r\n");
  const Entry e = coded("a.test/z", std::string(2 << 20, 'a'));
  put(e);
  ASSERT_TRUE(serve(e));
  EXPECT_EQ(w.rereads, 1);
  EXPECT_EQ(w.out, "");
  EXPECT_TRUE(w.closes.empty());
  EXPECT_TRUE(indexed(e));
  EXPECT_TRUE(fs::exists(path_of(e)));
  // The request read again is not served from disk; the next one tries again.
  EXPECT_FALSE(serve(e));
  w.reset();
  w.client = make_head("GET /z HTTP/1.1\r\nHost: a.test\r\n");
  EXPECT_TRUE(serve(e));
  EXPECT_EQ(w.rereads, 1);
}

TEST_F(DiskHitTest, CorruptCodedDataIsABadFile) {
  w.client = make_head("GET /bad HTTP/1.1\r\nHost: a.test\r\n");
  Entry e = coded("a.test/bad", pattern(4000));
  e.body[20] = static_cast<char>(e.body[20] ^ 0x5A);
  e.body[21] = static_cast<char>(e.body[21] ^ 0x33);
  put(e);
  ASSERT_TRUE(serve(e));
  EXPECT_EQ(w.out, "");
  EXPECT_EQ(w.closes, std::vector<uint32_t>{0});
  EXPECT_TRUE(file_gone(e));
  EXPECT_FALSE(indexed(e));
}

// ---- a read in flight ------------------------------------------------------------------------

struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool open = false;
  bool entered = false;
  bool left = false;
};

void block_worker(vor_afile*, void* ud, void*, void*, void*, void*) {
  auto* gate = static_cast<Gate*>(ud);
  std::unique_lock<std::mutex> lock(gate->mu);
  gate->entered = true;
  gate->cv.notify_all();
  gate->cv.wait(lock, [&] { return gate->open; });
  gate->left = true;
  gate->cv.notify_all();
}

// Holds the one file worker until released: reads queued meanwhile stay in flight.
class HeldWorker {
 public:
  explicit HeldWorker(const std::string& path) : path_(path) {
    std::ofstream(path_) << "x";
    file_ = cu_xfile_open_r(path_.c_str(), 0);
    vor_afile op{};
    op.file = file_;
    op.type = VOR_AFILE_EVENT;
    op.callback = block_worker;
    op.ud = &gate_;
    EXPECT_TRUE(vor_afile_event(&op));
    std::unique_lock<std::mutex> lock(gate_.mu);
    gate_.cv.wait(lock, [&] { return gate_.entered; });
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(gate_.mu);
      gate_.open = true;
    }
    gate_.cv.notify_all();
  }
  ~HeldWorker() {
    release();
    {
      // The worker still reads the gate until it has left: the gate dies with this object.
      std::unique_lock<std::mutex> lock(gate_.mu);
      gate_.cv.wait(lock, [&] { return gate_.left; });
    }
    vor_afile op{};
    op.file = file_;
    op.type = VOR_AFILE_CLOSE;
    vor_afile_close(&op);
  }

 private:
  std::string path_;
  cu_xfile* file_ = nullptr;
  Gate gate_;
};

TEST_F(DiskHitTest, AReadInFlightHoldsTheNextRequestBackAndDiesWithTheClient) {
  const Entry e = entry("a.test/held", pattern(2000));
  put(e);
  const std::string record = record_of(e);
  const std::string path = path_of(e);
  {
    HeldWorker held(root_ + "/held");
    ASSERT_TRUE(disk_serve(kSid, false, e.key.c_str(), e.key.c_str(), path.c_str(), record.c_str(), e.kind, 0, -1));
    EXPECT_TRUE(seams::disk_read_pending(kSid));
    EXPECT_EQ(seams::pending_disk_reads(), 1u);
    // A second hit on the connection is refused; so is the pipelined request's admission.
    EXPECT_FALSE(disk_serve(kSid, false, e.key.c_str(), e.key.c_str(), path.c_str(), record.c_str(), e.kind, 0, -1));
    Head next = make_head("GET /other HTTP/1.1\r\nHost: a.test\r\n");
    uint8_t kind = 0, icookie = 1, permitted = 1, refused = 0;
    uint32_t lifetime = 0;
    EXPECT_EQ(reqgate_NewRequest_v4(kSid, next.get(), "a.test/other", &kind, &icookie, &lifetime, &permitted,
                                    &refused),
              0);
    // The client goes: its record and file are released; the late completion only frees its buffer.
    reqgate_on_close(nullptr, kSid);
    EXPECT_FALSE(seams::disk_read_pending(kSid));
  }
  EXPECT_TRUE(vor::test::wait_until([] { return edgeserv_fnnodes() == 0; }));
  EXPECT_EQ(w.out, "");
  EXPECT_TRUE(w.closes.empty());
  EXPECT_TRUE(indexed(e));
}

}  // namespace
