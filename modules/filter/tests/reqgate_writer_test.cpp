// Cache writers on real files: the stored heads cleaned byte for byte and the record read back,
// refusals (kinds, paths, threads, the open-file cap, one key at a time), failed writes and
// refused finishes or cancels leaving neither file nor record, an old copy under a reader, body
// sharing (equal bodies, the same key again, small bodies, a holder since rewritten), the tags a
// record can hold, and a full disk (a 16 MiB tmpfs, as root).
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "cu_md5.h"
#include "reqgate_test_util.h"
#include "reqgate_writer_test_util.h"

namespace {

using namespace vor::reqgate;
using vor::reqgate::test::g_max_open;
using vor::reqgate::test::Head;
using vor::reqgate::test::make_head;
using vor::reqgate::test::stored;
using vor::reqgate::test::g_share_least;
using vor::reqgate::test::Writers;
using vor::test::exists;
using vor::test::read_file;

constexpr char kRequest[] =
    "GET /a HTTP/1.1\r\nHost: h.test\r\nCookie: a=1\r\nAccept: */*\r\nCookie: b=2\r\nAuthorization: Basic eA==\r\n"
    "Proxy-Authorization: Basic eQ==\r\nUser-Agent: curl\r\nIf-None-Match: \"z\"\r\nX-Keep: 1\r\n\r\n";
constexpr char kStoredRequest[] = "GET /a HTTP/1.1\r\nHost: h.test\r\nX-Keep: 1\r\n\r\n";

std::string response_head(uint64_t length, const std::string& extra = "") {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\nAge: 3\r\nVia: 1.1 x\r\n" +
         "Connection: close\r\n" + extra + "\r\n";
}

// Both heads parsed from their texts (each ending with its blank line).
struct Heads {
  Head request_head;
  Head response_head;
  http_parser* request;
  http_parser* response;
  Heads(const std::string& req, const std::string& resp)
      : request_head(make_head(req.substr(0, req.size() - 2))),
        response_head(make_head(resp.substr(0, resp.size() - 2))),
        request(request_head.get()),
        response(response_head.get()) {}
};

std::string value_of(const std::string& record, const char* key) {
  char value[kIndexRecordSize + 1];
  return index_value(record.c_str(), key, value, sizeof value) ? value : "<none>";
}

std::string md5_of(const std::string& bytes) {
  cu_md5* ctx = cu_md5_make();
  cu_md5_append(ctx, bytes.data(), static_cast<int32_t>(bytes.size()));
  char out[33];
  cu_md5_finish(ctx, out);
  cu_md5_free(ctx);
  return out;
}

class Writer : public Writers {
 protected:
  // Begins, appends the body in 64 KiB pieces and finishes on slave box 0; begin's answer.
  bool write(const std::string& key, const std::string& body, uint32_t disk_no = 0, const std::string& extra = "",
             int32_t held_open = 0) {
    const uint8_t kind = kPublic;
    const bool begun = on_box(0, [&] {
      Heads h(kRequest, response_head(body.size(), extra));
      if (!writer_begin({kind, false, 60, disk_no, key, path_of(kind, disk_no, key)}, h.request, h.response)) {
        return false;
      }
      const std::string path = path_of(kind, disk_no, key);
      for (size_t at = 0; at < body.size(); at += 65536) {
        writer_append(path.c_str(), body.data() + at, static_cast<int64_t>(std::min<size_t>(65536, body.size() - at)));
      }
      writer_finish(path.c_str());
      return true;
    });
    quiesce(held_open);
    return begun;
  }
  std::string record_of(const std::string& key, uint8_t kind = kPublic) {
    std::string text;
    return stored(kind, file_name(key), &text) ? text : "";
  }
};

TEST_F(Writer, AFinishedFileHoldsTheCleanedHeadsAndTheBodyAndItsRecordIsStored) {
  const std::string extra = "ETag: \"v1\"\r\nLast-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\nContent-Type: text/plain\r\n";
  const bool begun = on_box(1, [&] {
    Heads h(kRequest, response_head(5, extra));
    const std::string path = path_of(kPublic, 1, "h.test/a");
    const bool ok = writer_begin({kPublic, true, 60, 1, "h.test/a", path}, h.request, h.response);
    writer_append(path.c_str(), "hel", 3);
    writer_append(path.c_str(), "lo", 2);
    writer_append(path.c_str(), "x", 0);  // nothing
    writer_finish(path.c_str());
    return ok;
  });
  ASSERT_TRUE(begun);
  quiesce();
  const std::string stored_response =
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nETag: \"v1\"\r\nLast-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\n"
      "Content-Type: text/plain\r\nConnection: keep-alive\r\n\r\n";
  EXPECT_EQ(read_file(path_of(kPublic, 1, "h.test/a")), kStoredRequest + stored_response + "hello");
  const std::string record = record_of("h.test/a");
  EXPECT_EQ(value_of(record, "vs"), "371");
  EXPECT_EQ(value_of(record, "dn"), "1");
  EXPECT_EQ(value_of(record, "pt"), folder_digits("h.test/a"));
  EXPECT_EQ(index_hex(record.c_str(), "r1", 0), std::strlen(kStoredRequest));
  EXPECT_EQ(index_hex(record.c_str(), "r2", 0), stored_response.size());
  EXPECT_EQ(index_hex(record.c_str(), "cl", 9), 5u);
  const uint64_t expiry = index_hex(record.c_str(), "ep", 0);
  EXPECT_GE(expiry, static_cast<uint64_t>(edgeserv_mytime()) + 59);
  EXPECT_LE(expiry, static_cast<uint64_t>(edgeserv_mytime()) + 61);
  EXPECT_EQ(index_hex(record.c_str(), "lm", 0), 1700000000u);
  EXPECT_EQ(value_of(record, "cc"), "1");
  EXPECT_EQ(value_of(record, "et"), "\"v1\"");
  EXPECT_EQ(value_of(record, "up"), path_signature("h.test/a"));
  EXPECT_EQ(value_of(record, "cm"), "<none>");  // below the sharing size
  EXPECT_EQ(disk_pools_in_use(), 0u);
}

TEST_F(Writer, RefusedBeginsCreateNothing) {
  const std::string key = "h.test/r";
  const std::string path = path_of(kPublic, 0, key);
  // Not a slave thread.
  {
    Heads h(kRequest, response_head(1));
    EXPECT_FALSE(writer_begin({kPublic, false, 60, 0, key, path}, h.request, h.response));
  }
  const auto begin_on = [&](int box, uint8_t kind, uint32_t disk_no, const std::string& at) {
    return on_box(box, [&] {
      Heads h(kRequest, response_head(1));
      return writer_begin({kind, false, 60, disk_no, key, at}, h.request, h.response);
    });
  };
  EXPECT_FALSE(begin_on(0, kIntelligent, 0, path));
  EXPECT_FALSE(begin_on(0, kSessionAction, 0, path));
  EXPECT_FALSE(begin_on(0, 5, 0, path));
  EXPECT_FALSE(begin_on(0, kPublic, 0, ""));
  EXPECT_FALSE(exists(path));
  // One file per kind and key at a time, whatever the disk; one writer per path.
  ASSERT_TRUE(begin_on(2, kPublic, 0, path));
  EXPECT_FALSE(begin_on(3, kPublic, 1, path_of(kPublic, 1, key)));
  EXPECT_FALSE(exists(path_of(kPublic, 1, key)));
  EXPECT_TRUE(begin_on(3, kMember, 1, path_of(kMember, 1, key)));
  // The open-file cap counts the writers.
  g_max_open = 2;
  EXPECT_FALSE(begin_on(1, kVisitor, 0, path_of(kVisitor, 0, key)));
  g_max_open = 5000;
  // Another thread's writer: append refused, finish and abort ignored.
  EXPECT_FALSE(on_box(1, [&] { return writer_append(path.c_str(), "x", 1); }));
  on_box(1, [&] { writer_finish(path.c_str()); });
  on_box(1, [&] { writer_abort(path.c_str()); });
  EXPECT_EQ(writer_count(), 2u);
  EXPECT_TRUE(on_box(2, [&] { return writer_append(path.c_str(), "y", 1); }));
  EXPECT_FALSE(on_box(2, [&] { return writer_append(nullptr, "y", 1); }));
  EXPECT_TRUE(on_box(2, [&] { return writer_append(path.c_str(), "y", -1); }));
  on_box(2, [&] { writer_finish(path.c_str()); });
  on_box(3, [&] { writer_abort(path_of(kMember, 1, key).c_str()); });
  quiesce();
  EXPECT_NE(record_of(key), "");
  EXPECT_EQ(record_of(key, kMember), "");
  EXPECT_FALSE(exists(path_of(kMember, 1, key)));
}

// The file layer's calls, with a switch that fails the next write or refuses events and cancels.
std::atomic<int> g_fail_write_errno{0};
std::atomic<bool> g_refuse_owner_ops{false};
bool failing_write(const vor_afile* op, uint8_t ssd) {
  const int error = g_fail_write_errno.exchange(0);
  if (error == 0) return vor_afile_writex(op, ssd);
  vor_afile done = *op;
  done.result = -1;
  done.error = error;
  done.callback(&done, done.ud, done.a1, done.a2, done.a3, done.a4);
  return true;
}
bool refusing_event(const vor_afile* op, uint8_t ssd) { return !g_refuse_owner_ops && vor_afile_eventx(op, ssd); }
bool refusing_cancel(const vor_afile* op, uint8_t ssd) { return !g_refuse_owner_ops && vor_afile_cancelx(op, ssd); }

TEST_F(Writer, AFailedWriteIsNeverIndexedAndItsFileGoes) {
  file_calls() = {failing_write, refusing_event, refusing_cancel};
  const struct {
    const char* key;
    int error;
  } kCases[] = {{"h.test/eio", EIO}, {"h.test/full", ENOSPC}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.key);
    const std::string path = path_of(kPublic, 2, c.key);
    const bool ok = on_box(0, [&] {
      Heads h(kRequest, response_head(6));
      if (!writer_begin({kPublic, false, 60, 2, c.key, path}, h.request, h.response)) return false;
      writer_append(path.c_str(), "ab", 2);
      g_fail_write_errno = c.error;
      writer_append(path.c_str(), "cd", 2);  // queued, then failed: a hole at full size
      const bool later = writer_append(path.c_str(), "ef", 2);
      writer_finish(path.c_str());
      return !later;
    });
    EXPECT_TRUE(ok);
    quiesce();
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(record_of(c.key), "");
  }
  EXPECT_NE(log_text().find("[zazudaza -> filter] start cleanning diskcache, diskno=2!"), std::string::npos);
}

TEST_F(Writer, RefusedFinishEventsAndCancelsReleaseTheWriterAtOnce) {
  file_calls() = {failing_write, refusing_event, refusing_cancel};
  g_refuse_owner_ops = true;
  for (const bool finish : {true, false}) {
    const std::string key = finish ? "h.test/f" : "h.test/c";
    const std::string path = path_of(kVisitor, 3, key);
    const size_t left = on_box(1, [&] {
      Heads h(kRequest, response_head(2));
      EXPECT_TRUE(writer_begin({kVisitor, false, 60, 3, key, path}, h.request, h.response));
      writer_append(path.c_str(), "ok", 2);
      finish ? writer_finish(path.c_str()) : writer_abort(path.c_str());
      return writer_count();
    });
    EXPECT_EQ(left, 0u);
    quiesce();
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(record_of(key, kVisitor), "");
  }
  g_refuse_owner_ops = false;
}

TEST_F(Writer, AnAbortAfterAppendsLeavesNothing) {
  const std::string path = path_of(kMember, 0, "h.test/ab");
  on_box(3, [&] {
    Heads h(kRequest, response_head(100000));
    ASSERT_TRUE(writer_begin({kMember, false, 60, 0, "h.test/ab", path}, h.request, h.response));
    const std::string piece(50000, 'p');
    writer_append(path.c_str(), piece.data(), 50000);
    writer_abort(path.c_str());
  });
  quiesce();
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(record_of("h.test/ab", kMember), "");
}

// A new version arriving while the old copy is read: the old record goes at once, the old file
// at its last close, and the new version is not written this time.
TEST_F(Writer, AnOldCopyUnderAReaderGoesAtItsLastClose) {
  const std::string key = "h.test/old";
  ASSERT_TRUE(write(key, "old body"));
  const std::string path = path_of(kPublic, 0, key);
  int32_t error = 0;
  cu_xfile* reader = edgeserv_fopen_r(path.c_str(), &error);
  ASSERT_NE(reader, nullptr);
  EXPECT_FALSE(write(key, "new body", 0, "", 1));
  EXPECT_EQ(record_of(key), "");
  EXPECT_TRUE(exists(path));
  edgeserv_fclose(path.c_str(), reader);
  EXPECT_TRUE(vor::test::wait_until([&] { return !exists(path); }));
}

// ---- Body sharing ----

class Sharing : public Writer {};

TEST_F(Sharing, AnEqualBodyUnderAnotherKeyKeepsOnlyItsHeads) {
  std::string body(3 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 4096);
  const std::string md5 = md5_of(body);
  ASSERT_TRUE(write("h.test/one", body, 0));
  ASSERT_TRUE(write("h.test/two", body, 1));
  const std::string one = record_of("h.test/one");
  const std::string two = record_of("h.test/two");
  EXPECT_EQ(value_of(one, "cm"), md5);
  EXPECT_EQ(value_of(one, "cr"), "<none>");
  EXPECT_EQ(value_of(two, "cm"), md5);
  EXPECT_EQ(value_of(two, "cr"), "1");
  EXPECT_EQ(index_hex(two.c_str(), "cl", 0), body.size());
  const uint64_t heads = index_hex(two.c_str(), "r1", 0) + index_hex(two.c_str(), "r2", 0);
  EXPECT_EQ(std::filesystem::file_size(path_of(kPublic, 1, "h.test/two")), heads);
  EXPECT_EQ(std::filesystem::file_size(path_of(kPublic, 0, "h.test/one")), heads + body.size());
  char content[kContentRecordSize + 1] = {};
  ASSERT_TRUE(content_get(md5.c_str(), content));
  EXPECT_EQ(std::string(content), "vs=371&ct=2&fn=" + file_name("h.test/one"));
  // The holder written again with the same body: it keeps its body and shares with nobody.
  ASSERT_TRUE(write("h.test/one", body, 0));
  EXPECT_EQ(value_of(record_of("h.test/one"), "cr"), "<none>");
  EXPECT_EQ(std::filesystem::file_size(path_of(kPublic, 0, "h.test/one")), heads + body.size());
}

TEST_F(Sharing, BodiesBelowTheSharingSizeCarryNoDigest) {
  g_share_least = 4 << 20;
  const std::string body(3 << 20, 's');
  ASSERT_TRUE(write("h.test/s1", body));
  ASSERT_TRUE(write("h.test/s2", body));
  EXPECT_EQ(value_of(record_of("h.test/s2"), "cm"), "<none>");
  EXPECT_EQ(std::filesystem::file_size(path_of(kPublic, 0, "h.test/s2")),
            index_hex(record_of("h.test/s2").c_str(), "r1", 0) + index_hex(record_of("h.test/s2").c_str(), "r2", 0) +
                body.size());
  // A sharing size of 0 counts as 1: every body is digested.
  g_share_least = 0;
  ASSERT_TRUE(write("h.test/s3", "tiny"));
  EXPECT_EQ(value_of(record_of("h.test/s3"), "cm"), md5_of("tiny"));
}

// A holder rewritten with another body no longer holds the digest it was named for: the new
// file keeps its body and becomes the holder.
TEST_F(Sharing, AHolderSinceRewrittenIsNotSharedWith) {
  g_share_least = 1;
  ASSERT_TRUE(write("h.test/holder", "body X"));
  ASSERT_TRUE(write("h.test/holder", "body Y"));
  ASSERT_TRUE(write("h.test/third", "body X"));
  const std::string third = record_of("h.test/third");
  EXPECT_EQ(value_of(third, "cr"), "<none>");
  EXPECT_EQ(read_file(path_of(kPublic, 0, "h.test/third")).substr(index_hex(third.c_str(), "r1", 0) +
                                                                   index_hex(third.c_str(), "r2", 0)),
            "body X");
  char content[kContentRecordSize + 1] = {};
  ASSERT_TRUE(content_get(md5_of("body X").c_str(), content));
  EXPECT_EQ(value_of(content, "fn"), file_name("h.test/third"));
}

TEST_F(Sharing, TagsARecordCannotHoldAreLeftOut) {
  const std::string fits(60, 't');
  const struct {
    std::string tag;
    bool kept;
  } kCases[] = {{"\"" + fits + "\"", true},  {"\"a&ep=1\"", false}, {"\"a b\"", false},
                {"\"a\tb\"", false},           {"W/\"w\"", true}};
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.tag);
    const std::string key = "h.test/tag" + std::to_string(n++);
    ASSERT_TRUE(write(key, "b", 0, "ETag: " + c.tag + "\r\n"));
    const std::string record = record_of(key);
    EXPECT_EQ(value_of(record, "et"), c.kept ? c.tag : "<none>");
    EXPECT_LT(record.size(), kIndexRecordSize);
  }
  // A tag that would bring the record to 170 bytes is left out; one byte less is kept.
  g_share_least = 1;  // cm makes the record long
  const std::string probe_key = "h.test/tagprobe";
  ASSERT_TRUE(write(probe_key, "b", 0, "ETag: \"x\"\r\n"));
  // The check runs before the up pair is added: the record then lacks both pairs.
  const std::string probe = record_of(probe_key);
  const size_t before_tag = probe.size() - std::strlen("&et=\"x\"") - std::strlen("&up=") - value_of(probe, "up").size();
  const size_t room = kIndexRecordSize - 23 - before_tag - 1;  // the longest tag kept
  for (const size_t len : {room, room + 1}) {
    const std::string tag = "\"" + std::string(len - 2, 'q') + "\"";
    ASSERT_TRUE(write(probe_key, "b", 0, "ETag: " + tag + "\r\n"));
    EXPECT_EQ(value_of(record_of(probe_key), "et"), len == room ? tag : "<none>") << len;
  }
}

// ---- A full disk ----

TEST_F(Writer, AFullDiskIsMarkedAndKeepsNeitherFileNorRecord) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  std::filesystem::create_directories(disk(0));
  ASSERT_EQ(mount("tmpfs", disk(0).c_str(), "tmpfs", 0, "size=16m,nr_inodes=64"), 0) << std::strerror(errno);
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{disk(0)};
  const auto full_lines = [&] {
    const std::string log = log_text();
    size_t lines = 0;
    for (size_t at = log.find("start cleanning diskcache, diskno=0!"); at != std::string::npos;
         at = log.find("start cleanning diskcache, diskno=0!", at + 1)) {
      ++lines;
    }
    return lines;
  };
  const std::string big(20 << 20, 'z');
  EXPECT_TRUE(write("h.test/big", big, 0));  // begun; a write finds the disk full
  EXPECT_FALSE(exists(path_of(kPublic, 0, "h.test/big")));
  EXPECT_EQ(record_of("h.test/big"), "");
  const size_t after_write = full_lines();
  EXPECT_GE(after_write, 1u);
  // Out of inodes: the open itself finds the disk full.
  for (int i = 0; i < 64; ++i) std::ofstream(disk(0) + "/f" + std::to_string(i));
  EXPECT_FALSE(write("h.test/next", "b", 0));
  EXPECT_FALSE(exists(path_of(kPublic, 0, "h.test/next")));
  EXPECT_EQ(full_lines(), after_write + 1) << log_text();
}

}  // namespace

namespace {

cu_xmem* no_write_tree(cu_sem* lock, uint64_t page_size, uint64_t pages) {
  if (page_size == (256u << 10)) return nullptr;  // "write stree"
  return cu_xmem_init_ext(lock, page_size, pages, 0, nullptr, nullptr, nullptr);
}

// A pool that cannot be made at start-up ends the process with -1 after its line (a process of
// its own: this one may have made its pools already).
TEST(DiskPools, APoolThatCannotBeMadeEndsTheProcessWithItsLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dup2(2, 1);  // the line goes to standard output
        vor::reqgate::disk_pool_maker() = no_write_tree;
        vor::reqgate::afile_pools();
      },
      testing::ExitedWithCode(255),
      "\nreqgate__afile__xmem -> ____afile__xmem_init\\(\\) -> cu_xmem_init_ext\\(write stree\\) -> return NULL -> exit!\r\n");
}

}  // namespace
