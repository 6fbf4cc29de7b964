#include "cu_md5.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cu_malloc.h"
#include "vor_tempdir.h"

namespace {

std::string md5_of(const std::string& s) {
  char out[33];
  cu_md5_encode(out, s.c_str());
  return out;
}

// The digest the openssl command line tool gives for these bytes.
std::string openssl_md5(const std::vector<uint8_t>& data) {
  vor::test::TempDir dir;
  const std::string path = dir.file("data");
  const std::string bytes(data.begin(), data.end());
  vor::test::write_file(path, bytes);
  EXPECT_EQ(vor::test::read_file(path), bytes);
  const std::string line = vor::test::shell_output("openssl dgst -md5 -r '" + path + "'");
  EXPECT_GE(line.size(), 32u);
  return line.substr(0, 32);
}

TEST(Md5, Rfc1321TestSuite) {
  const struct {
    const char* message;
    const char* digest;
  } kSuite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : kSuite) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(md5_of(c.message), c.digest);
  }
}

// Lengths around the padding edges (55 fits one block, 56 needs two) and block edges.
TEST(Md5, PiecesAcrossBlockEdgesMatchOpenssl) {
  std::mt19937 rng(20261210);
  for (size_t length : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4099}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> data(length);
    for (auto& b : data) b = uint8_t(rng());

    cu_md5 whole;
    cu_md5_init(&whole);
    cu_md5_append(&whole, data.data(), int32_t(length));
    char expected[33];
    cu_md5_finish(&whole, expected);
    EXPECT_EQ(expected, openssl_md5(data));

    for (int round = 0; round < 20; ++round) {
      cu_md5 pieces;
      cu_md5_init(&pieces);
      for (size_t at = 0; at < length;) {
        const size_t piece = std::min<size_t>(length - at, rng() % 70);  // 0-byte pieces too
        cu_md5_append(&pieces, data.data() + at, int32_t(piece));
        at += piece;
      }
      cu_md5_append(&pieces, data.data(), 0);
      char got[33];
      cu_md5_finish(&pieces, got);
      ASSERT_STREQ(got, expected) << "round " << round;
    }
  }
}

TEST(Md5, ExactBufferOf33BytesGetsTextAndNul) {
  char out[34];
  memset(out, 'x', sizeof out);
  cu_md5_encode(out, "abc");
  EXPECT_EQ(std::string(out, 32), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(out[32], '\0');
  EXPECT_EQ(out[33], 'x');
}

TEST(Md5, NonPositiveLengthsAndNullArgumentsChangeNothing) {
  cu_md5* ctx = cu_md5_make();
  ASSERT_NE(ctx, nullptr);
  cu_md5_append(ctx, "abc", 0);
  cu_md5_append(ctx, "abc", -5);
  cu_md5_append(ctx, nullptr, 3);
  cu_md5_append(nullptr, "abc", 3);
  char out[33];
  cu_md5_finish(ctx, out);
  EXPECT_STREQ(out, "d41d8cd98f00b204e9800998ecf8427e");
  cu_md5_finish(ctx, nullptr);
  cu_md5_free(ctx);
  cu_md5_free(nullptr);

  char text[33] = "unchanged";
  cu_md5_encode(nullptr, "abc");
  cu_md5_encode(text, nullptr);
  EXPECT_STREQ(text, "");
}

TEST(Md5, InitMakesAFinishedContextReusable) {
  cu_md5 ctx;
  cu_md5_init(&ctx);
  cu_md5_append(&ctx, "message digest", 14);
  char out[33];
  cu_md5_finish(&ctx, out);
  cu_md5_init(&ctx);
  cu_md5_append(&ctx, "abc", 3);
  cu_md5_finish(&ctx, out);
  EXPECT_STREQ(out, "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
