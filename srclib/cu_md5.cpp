#include "cu_md5.h"

#include <cstddef>
#include <cstring>

#include "cu_lib_internal.h"
#include "cu_malloc.h"

namespace {

constexpr char kUnit[] = "srclib\\cu_md5";

constexpr uint32_t kInitialState[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

static_assert(sizeof(cu_md5) == 88, "cu_md5 is embedded in callers' records");

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint32_t f_round(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
// (x & z) | (y & ~z): the two halves never share a bit, so their sum is the same and both halves
// can be computed before the previous step ends.
inline uint32_t g_round(uint32_t x, uint32_t y, uint32_t z) { return (x & z) + (y & ~z); }
inline uint32_t h_round(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t i_round(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// The message word and constant are added first: they do not wait for the previous step.
#define MD5_STEP(f, a, b, c, d, x, s, t) \
  a += (x) + (t);                        \
  a += f(b, c, d);                       \
  a = rotl(a, s) + b

void transform(uint32_t state[4], const uint8_t* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = load_le32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  MD5_STEP(f_round, a, b, c, d, x[0], 7, 0xd76aa478);
  MD5_STEP(f_round, d, a, b, c, x[1], 12, 0xe8c7b756);
  MD5_STEP(f_round, c, d, a, b, x[2], 17, 0x242070db);
  MD5_STEP(f_round, b, c, d, a, x[3], 22, 0xc1bdceee);
  MD5_STEP(f_round, a, b, c, d, x[4], 7, 0xf57c0faf);
  MD5_STEP(f_round, d, a, b, c, x[5], 12, 0x4787c62a);
  MD5_STEP(f_round, c, d, a, b, x[6], 17, 0xa8304613);
  MD5_STEP(f_round, b, c, d, a, x[7], 22, 0xfd469501);
  MD5_STEP(f_round, a, b, c, d, x[8], 7, 0x698098d8);
  MD5_STEP(f_round, d, a, b, c, x[9], 12, 0x8b44f7af);
  MD5_STEP(f_round, c, d, a, b, x[10], 17, 0xffff5bb1);
  MD5_STEP(f_round, b, c, d, a, x[11], 22, 0x895cd7be);
  MD5_STEP(f_round, a, b, c, d, x[12], 7, 0x6b901122);
  MD5_STEP(f_round, d, a, b, c, x[13], 12, 0xfd987193);
  MD5_STEP(f_round, c, d, a, b, x[14], 17, 0xa679438e);
  MD5_STEP(f_round, b, c, d, a, x[15], 22, 0x49b40821);

  MD5_STEP(g_round, a, b, c, d, x[1], 5, 0xf61e2562);
  MD5_STEP(g_round, d, a, b, c, x[6], 9, 0xc040b340);
  MD5_STEP(g_round, c, d, a, b, x[11], 14, 0x265e5a51);
  MD5_STEP(g_round, b, c, d, a, x[0], 20, 0xe9b6c7aa);
  MD5_STEP(g_round, a, b, c, d, x[5], 5, 0xd62f105d);
  MD5_STEP(g_round, d, a, b, c, x[10], 9, 0x02441453);
  MD5_STEP(g_round, c, d, a, b, x[15], 14, 0xd8a1e681);
  MD5_STEP(g_round, b, c, d, a, x[4], 20, 0xe7d3fbc8);
  MD5_STEP(g_round, a, b, c, d, x[9], 5, 0x21e1cde6);
  MD5_STEP(g_round, d, a, b, c, x[14], 9, 0xc33707d6);
  MD5_STEP(g_round, c, d, a, b, x[3], 14, 0xf4d50d87);
  MD5_STEP(g_round, b, c, d, a, x[8], 20, 0x455a14ed);
  MD5_STEP(g_round, a, b, c, d, x[13], 5, 0xa9e3e905);
  MD5_STEP(g_round, d, a, b, c, x[2], 9, 0xfcefa3f8);
  MD5_STEP(g_round, c, d, a, b, x[7], 14, 0x676f02d9);
  MD5_STEP(g_round, b, c, d, a, x[12], 20, 0x8d2a4c8a);

  MD5_STEP(h_round, a, b, c, d, x[5], 4, 0xfffa3942);
  MD5_STEP(h_round, d, a, b, c, x[8], 11, 0x8771f681);
  MD5_STEP(h_round, c, d, a, b, x[11], 16, 0x6d9d6122);
  MD5_STEP(h_round, b, c, d, a, x[14], 23, 0xfde5380c);
  MD5_STEP(h_round, a, b, c, d, x[1], 4, 0xa4beea44);
  MD5_STEP(h_round, d, a, b, c, x[4], 11, 0x4bdecfa9);
  MD5_STEP(h_round, c, d, a, b, x[7], 16, 0xf6bb4b60);
  MD5_STEP(h_round, b, c, d, a, x[10], 23, 0xbebfbc70);
  MD5_STEP(h_round, a, b, c, d, x[13], 4, 0x289b7ec6);
  MD5_STEP(h_round, d, a, b, c, x[0], 11, 0xeaa127fa);
  MD5_STEP(h_round, c, d, a, b, x[3], 16, 0xd4ef3085);
  MD5_STEP(h_round, b, c, d, a, x[6], 23, 0x04881d05);
  MD5_STEP(h_round, a, b, c, d, x[9], 4, 0xd9d4d039);
  MD5_STEP(h_round, d, a, b, c, x[12], 11, 0xe6db99e5);
  MD5_STEP(h_round, c, d, a, b, x[15], 16, 0x1fa27cf8);
  MD5_STEP(h_round, b, c, d, a, x[2], 23, 0xc4ac5665);

  MD5_STEP(i_round, a, b, c, d, x[0], 6, 0xf4292244);
  MD5_STEP(i_round, d, a, b, c, x[7], 10, 0x432aff97);
  MD5_STEP(i_round, c, d, a, b, x[14], 15, 0xab9423a7);
  MD5_STEP(i_round, b, c, d, a, x[5], 21, 0xfc93a039);
  MD5_STEP(i_round, a, b, c, d, x[12], 6, 0x655b59c3);
  MD5_STEP(i_round, d, a, b, c, x[3], 10, 0x8f0ccc92);
  MD5_STEP(i_round, c, d, a, b, x[10], 15, 0xffeff47d);
  MD5_STEP(i_round, b, c, d, a, x[1], 21, 0x85845dd1);
  MD5_STEP(i_round, a, b, c, d, x[8], 6, 0x6fa87e4f);
  MD5_STEP(i_round, d, a, b, c, x[15], 10, 0xfe2ce6e0);
  MD5_STEP(i_round, c, d, a, b, x[6], 15, 0xa3014314);
  MD5_STEP(i_round, b, c, d, a, x[13], 21, 0x4e0811a1);
  MD5_STEP(i_round, a, b, c, d, x[4], 6, 0xf7537e82);
  MD5_STEP(i_round, d, a, b, c, x[11], 10, 0xbd3af235);
  MD5_STEP(i_round, c, d, a, b, x[2], 15, 0x2ad7d2bb);
  MD5_STEP(i_round, b, c, d, a, x[9], 21, 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

#undef MD5_STEP

void reset(cu_md5* ctx) {
  ctx->bits_low = 0;
  ctx->bits_high = 0;
  memcpy(ctx->state, kInitialState, sizeof kInitialState);
}

// Bytes already waiting in the block buffer, from the bit count.
size_t buffered(const cu_md5* ctx) { return (ctx->bits_low >> 3) & 63; }

void append(cu_md5* ctx, const uint8_t* data, size_t len) {
  size_t have = buffered(ctx);
  uint32_t add_low = uint32_t(len << 3);
  ctx->bits_low += add_low;
  ctx->bits_high += uint32_t(len >> 29) + (ctx->bits_low < add_low ? 1 : 0);

  if (have) {
    size_t fill = 64 - have;
    if (len < fill) {
      memcpy(ctx->block + have, data, len);
      return;
    }
    memcpy(ctx->block + have, data, fill);
    transform(ctx->state, ctx->block);
    data += fill;
    len -= fill;
  }
  for (; len >= 64; data += 64, len -= 64) transform(ctx->state, data);
  memcpy(ctx->block, data, len);
}

void finish(cu_md5* ctx, char* out) {
  uint8_t length_bytes[8];
  for (int i = 0; i < 4; ++i) {
    length_bytes[i] = uint8_t(ctx->bits_low >> (8 * i));
    length_bytes[4 + i] = uint8_t(ctx->bits_high >> (8 * i));
  }
  // 0x80, then zeros up to 56 mod 64, then the bit count as it was before padding.
  static const uint8_t kPadding[64] = {0x80};
  size_t have = buffered(ctx);
  append(ctx, kPadding, have < 56 ? 56 - have : 120 - have);
  append(ctx, length_bytes, 8);

  unsigned char digest[16];
  for (int i = 0; i < 16; ++i) digest[i] = uint8_t(ctx->state[i / 4] >> (8 * (i % 4)));
  cu_internal::hex_lower(digest, sizeof digest, out);
}

}  // namespace

cu_md5* cu_md5_make(void) {
  auto* ctx = static_cast<cu_md5*>(_cu_malloc(sizeof(cu_md5), kUnit, __LINE__));
  if (ctx) reset(ctx);
  return ctx;
}

void cu_md5_init(cu_md5* ctx) {
  if (ctx) reset(ctx);
}

void cu_md5_append(cu_md5* ctx, const void* data, int32_t len) {
  if (!ctx || !data || len <= 0) return;
  append(ctx, static_cast<const uint8_t*>(data), size_t(len));
}

void cu_md5_finish(cu_md5* ctx, char* out) {
  if (!ctx || !out) return;
  finish(ctx, out);
}

void cu_md5_free(cu_md5* ctx) { _cu_free(ctx, kUnit, __LINE__); }

void cu_md5_encode(char* out, const char* s) {
  if (!out) return;
  if (!s) {
    out[0] = '\0';
    return;
  }
  cu_md5 ctx;
  reset(&ctx);
  append(&ctx, reinterpret_cast<const uint8_t*>(s), strlen(s));
  finish(&ctx, out);
}
