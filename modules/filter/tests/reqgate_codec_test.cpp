// Content codings against real peers: our gzip read by gzip -t and zcat; gzip -n output, raw
// deflate and Python's zlib.compress decoded; the coding chosen from Accept-Encoding; the fixed
// frame of a known input; damaged tails; the codec arena's fall-back to the process allocator.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "reqgate.h"
#include "reqgate_internal.h"
#include "reqgate_test_util.h"
#include "vor_tempdir.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;
using vor::test::read_file;
using vor::test::run_shell;
using vor::test::TempDir;
using vor::test::write_file;

std::string html_page(size_t size) {
  std::string page = "<html><body>\n";
  for (int i = 0; page.size() < size; ++i) page += "<p>line " + std::to_string(i * 7919 % 10007) + "</p>\n";
  page.resize(size);
  return page;
}

struct Coded {
  bool ok;
  std::string body;
};

Coded encode(http_parser* request, http_parser* response, const std::string& body) {
  char* out = nullptr;
  uint32_t len = 0;
  const bool ok = reqgate_plugin__EncodeContent(request, response, body.data(), static_cast<uint32_t>(body.size()),
                                                &out, &len);
  Coded coded{ok, ok ? std::string(out, len) : std::string()};
  reqgate_plugin__EncodeMemFree(out);
  return coded;
}

Coded decode(http_parser* response, const std::string& body) {
  char* out = nullptr;
  uint32_t len = 0;
  const bool ok = reqgate_plugin__DecodeContent(nullptr, response, body.data(), static_cast<uint32_t>(body.size()),
                                                &out, &len);
  Coded coded{ok, ok ? std::string(out, len) : std::string()};
  reqgate_plugin__DecodeMemFree(out);
  return coded;
}

class Codec : public ::testing::Test {
 protected:
  void SetUp() override { set_console_trace(false); }
  void TearDown() override { set_console_trace(true); }
  TempDir dir_;
};

TEST_F(Codec, OurGzipPassesGzipTestAndZcat) {
  for (size_t size : {600, 16 * 1024, 256 * 1024, 1000 * 1000}) {
    SCOPED_TRACE(size);
    const std::string page = html_page(size);
    Head response = make_head("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n");
    const Coded coded = encode(nullptr, response.get(), page);
    ASSERT_TRUE(coded.ok);
    EXPECT_EQ(header(response.get(), "Content-Encoding"), "gzip");
    EXPECT_EQ(header(response.get(), "Content-Length"), std::to_string(coded.body.size()));
    EXPECT_EQ(header(response.get(), "Vary"), "Accept-Encoding");
    write_file(dir_.file("page.gz"), coded.body);
    EXPECT_EQ(run_shell("gzip -t " + dir_.file("page.gz")), 0);
    EXPECT_EQ(run_shell("zcat " + dir_.file("page.gz") + " > " + dir_.file("page")), 0);
    EXPECT_EQ(read_file(dir_.file("page")), page);
  }
}

TEST_F(Codec, PeersOutputsAreDecoded) {
  const std::string page = html_page(40000);
  write_file(dir_.file("page"), page);
  ASSERT_EQ(run_shell("gzip -n -c " + dir_.file("page") + " > " + dir_.file("page.gz")), 0);
  const std::string script = "import zlib,sys; d=open(sys.argv[1],'rb').read(); "
                             "open(sys.argv[1]+'.z','wb').write(zlib.compress(d)); "
                             "c=zlib.compressobj(6, zlib.DEFLATED, -15); "
                             "open(sys.argv[1]+'.raw','wb').write(c.compress(d)+c.flush())";
  ASSERT_EQ(run_shell("python3 -c \"" + script + "\" " + dir_.file("page")), 0);
  const struct {
    const char* label;
    const char* file;
  } peers[] = {{"gzip", "page.gz"}, {"compress", "page.z"}, {"deflate", "page.raw"}};
  for (const auto& p : peers) {
    SCOPED_TRACE(p.label);
    Head response = make_head(std::string("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nVary: Accept-Encoding\r\n"
                                          "Content-Length: 1\r\nContent-Encoding: ") + p.label + "\r\n");
    const Coded plain = decode(response.get(), read_file(dir_.file(p.file)));
    ASSERT_TRUE(plain.ok);
    EXPECT_EQ(plain.body, page);
    EXPECT_EQ(header(response.get(), "Content-Encoding"), "<none>");
    EXPECT_EQ(header(response.get(), "Vary"), "<none>");
    EXPECT_EQ(header(response.get(), "Content-Length"), std::to_string(page.size()));
  }
}

TEST_F(Codec, CodingChosenFromAcceptEncoding) {
  const std::string page = html_page(4000);
  const struct {
    const char* accept;
    bool encoded;
    const char* coding;
  } cases[] = {
      {"Accept-Encoding: gzip, deflate\r\n", true, "gzip"},
      {"Accept-Encoding: deflate\r\n", true, "deflate"},
      {"Accept-Encoding: compress\r\n", false, "<none>"},  // zlib data is not LZW
      {"Accept-Encoding: br\r\n", false, "<none>"},
      {"", false, "<none>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.accept);
    Head request = make_head(std::string("GET / HTTP/1.1\r\nHost: h\r\n") + c.accept);
    Head response = make_head("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n");
    const Coded coded = encode(request.get(), response.get(), page);
    EXPECT_EQ(coded.ok, c.encoded);
    EXPECT_EQ(header(response.get(), "Content-Encoding"), c.coding);
    if (!coded.ok) continue;
    Head back = make_head(head_text(response.get()).substr(0, head_text(response.get()).size() - 2));
    EXPECT_EQ(decode(back.get(), coded.body).body, page);
  }
}

TEST_F(Codec, NotEncoded) {
  Head response = make_head("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n");
  EXPECT_FALSE(encode(nullptr, response.get(), std::string(511, 'a')).ok);
  EXPECT_TRUE(encode(nullptr, response.get(), std::string(512, 'a')).ok);
  // Already coded: never again.
  EXPECT_FALSE(encode(nullptr, response.get(), std::string(4096, 'a')).ok);
}

TEST_F(Codec, FrameOfAKnownInput) {
  std::string abc;
  for (int i = 0; i < 200; ++i) abc += "abc";
  Head response = make_head("HTTP/1.1 200 OK\r\n");
  const Coded coded = encode(nullptr, response.get(), abc);
  ASSERT_TRUE(coded.ok);
  const std::string head("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  EXPECT_EQ(coded.body.substr(0, 10), head);
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(abc.data()), static_cast<uInt>(abc.size()));
  const auto* tail = reinterpret_cast<const unsigned char*>(coded.body.data() + coded.body.size() - 8);
  EXPECT_EQ(tail[0] | tail[1] << 8 | tail[2] << 16 | uint32_t{tail[3]} << 24, crc);
  EXPECT_EQ(tail[4] | tail[5] << 8 | tail[6] << 16 | uint32_t{tail[7]} << 24, 600u);
}

TEST_F(Codec, DamagedTailIsATailError) {
  const std::string page = html_page(5000);
  Head response = make_head("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n");
  const std::string good = encode(nullptr, response.get(), page).body;
  for (size_t from_end : {8u, 5u, 4u, 1u}) {
    SCOPED_TRACE(from_end);
    std::string bad = good;
    bad[bad.size() - from_end] ^= 0x01;
    Head coded = make_head("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n");
    set_console_trace(true);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(decode(coded.get(), bad).ok);
    const std::string out = testing::internal::GetCapturedStdout();
    set_console_trace(false);
    EXPECT_NE(out.find("[Decoding -> gzip -> TailError] reqgate_plugin__DecodeContent()\r\n"), std::string::npos);
    EXPECT_EQ(header(coded.get(), "Content-Encoding"), "gzip");
  }
}

std::string chunk(const std::string& data) {
  char size[16];
  std::snprintf(size, sizeof size, "%zx", data.size());
  return std::string(size) + "\r\n" + data + "\r\n";
}

TEST_F(Codec, ChunkedBodiesWithTrailersBothWays) {
  const std::string page = html_page(3000);
  const std::string trailer = "0\r\nX-Trailer: 1\r\n\r\n";
  const std::string chunked = chunk(page.substr(0, 1024)) + chunk(page.substr(1024)) + trailer;
  Head response = make_head("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n");
  const std::string cut = chunked.substr(0, chunked.size() - trailer.size() - 10) + trailer;
  EXPECT_FALSE(encode(nullptr, response.get(), cut).ok);  // its second chunk runs past the body
  EXPECT_EQ(header(response.get(), "Transfer-Encoding"), "chunked");
  const Coded coded = encode(nullptr, response.get(), chunked);
  ASSERT_TRUE(coded.ok);
  EXPECT_EQ(header(response.get(), "Transfer-Encoding"), "<none>");
  Head gz = make_head("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n");
  const Coded plain = decode(gz.get(), chunk(coded.body) + trailer);
  ASSERT_TRUE(plain.ok);
  EXPECT_EQ(plain.body, page);
  EXPECT_EQ(header(gz.get(), "Transfer-Encoding"), "<none>");
  EXPECT_EQ(header(gz.get(), "Content-Length"), std::to_string(page.size()));
}

TEST_F(Codec, AGzipWithAFileNameFailsToDecode) {
  const std::string page = html_page(5000);
  write_file(dir_.file("named.html"), page);
  ASSERT_EQ(run_shell("gzip -c " + dir_.file("named.html") + " > " + dir_.file("named.gz")), 0);
  Head coded = make_head("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n");
  EXPECT_FALSE(decode(coded.get(), read_file(dir_.file("named.gz"))).ok);
}

TEST_F(Codec, FullArenaFallsBackAndFreesCleanly) {
  std::vector<char*> buffers;
  for (int i = 0; i < 20; ++i) buffers.push_back(work_buffer());
  size_t in_arena = 0;
  for (char* b : buffers) in_arena += codec_arena_owns(b) ? 1 : 0;
  EXPECT_GE(in_arena, 10u);
  EXPECT_LT(in_arena, buffers.size());
  // The coders still work with the arena full.
  const std::string page = html_page(20000);
  Head response = make_head("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n");
  const Coded coded = encode(nullptr, response.get(), page);
  ASSERT_TRUE(coded.ok);
  Head back = make_head("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n");
  EXPECT_EQ(decode(back.get(), coded.body).body, page);
  for (char* b : buffers) reqgate_plugin__EncodeMemFree(b);
  char* again = work_buffer();
  EXPECT_TRUE(codec_arena_owns(again));
  reqgate_plugin__DecodeMemFree(again);
}

TEST_F(Codec, CompressibleTypes) {
  EXPECT_TRUE(compressible(make_head("HTTP/1.1 200 OK\r\nContent-Type: text/css\r\n").get()));
  EXPECT_FALSE(compressible(make_head("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n").get()));
  EXPECT_FALSE(
      compressible(make_head("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n").get()));
}

TEST_F(Codec, NeedsDecodingUnlessTheClientTakesTheCoding) {
  Head response = make_head("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n");
  Head takes = make_head("GET / HTTP/1.1\r\nAccept-Encoding: gzip\r\n");
  Head refuses = make_head("GET / HTTP/1.1\r\nAccept-Encoding: identity\r\n");
  EXPECT_EQ(needs_decoding(takes.get(), response.get()), kNone);
  EXPECT_EQ(needs_decoding(refuses.get(), response.get()), kGzip);
  EXPECT_EQ(needs_decoding(nullptr, make_head("HTTP/1.1 200 OK\r\nContent-Encoding: x-compress\r\n").get()),
            kCompress);
}

}  // namespace
