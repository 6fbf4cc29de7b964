// Content codings: gzip (our own frame around raw deflate), "deflate" (raw deflate) and
// "compress" (zlib format), in one-shot zlib calls over fixed work buffers from the codec arena.
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "cu_mem.h"
#include "cu_sem.h"
#include "reqgate.h"
#include "reqgate_internal.h"

namespace vor::reqgate {

namespace {

constexpr uint64_t kArenaSize = 16ull << 20;
constexpr size_t kGzipHead = 10;
constexpr size_t kGzipFrame = 18;
constexpr unsigned char kGzipHeader[kGzipHead] = {0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 0x03};
constexpr const char* kCodingNames[] = {"", "gzip", "deflate", "compress"};

// One 16 MiB block carved by cu_mem under its own lock; allocations past it go to malloc.
class CodecArena {
 public:
  CodecArena() : block_(static_cast<uint8_t*>(std::malloc(kArenaSize))) {
    lock_ = cu_sem_malloc();
    if (block_ && lock_) mem_ = cu_mem_init_ext(&header_, lock_, block_, kArenaSize, 512);
  }
  void* alloc(uint64_t n) {
    void* p = mem_ ? cu_mem_malloc(mem_, n) : nullptr;
    return p ? p : std::malloc(n);
  }
  void free(void* p) {
    if (!p) return;
    if (owns(p)) {
      cu_mem_free(mem_, p);
    } else {
      std::free(p);
    }
  }
  bool owns(const void* p) const {
    const auto* b = static_cast<const uint8_t*>(p);
    return mem_ && b >= block_ && b < block_ + kArenaSize;
  }

 private:
  uint8_t* block_;
  cu_sem* lock_ = nullptr;
  cu_mem header_{};
  cu_mem* mem_ = nullptr;
};

// Lives for the process: plug-ins and the admin API may call the exports at any time.
CodecArena& arena() {
  static CodecArena* instance = new CodecArena();
  return *instance;
}

struct BufferFree {
  void operator()(char* p) const { arena().free(p); }
};
using Buffer = std::unique_ptr<char, BufferFree>;

int finish_deflate(z_stream& s, int init, const char* in, size_t len, char* out, size_t room, size_t* produced) {
  if (init != Z_OK) return init;
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
  s.avail_in = static_cast<uInt>(len);
  s.next_out = reinterpret_cast<Bytef*>(out);
  s.avail_out = static_cast<uInt>(room);
  int result = deflate(&s, Z_FINISH);
  *produced = s.total_out;
  deflateEnd(&s);
  if (result == Z_STREAM_END) return Z_OK;
  return result == Z_OK ? Z_BUF_ERROR : result;
}

int finish_inflate(z_stream& s, int init, const char* in, size_t len, char* out, size_t room, size_t* produced) {
  if (init != Z_OK) return init;
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
  s.avail_in = static_cast<uInt>(len);
  s.next_out = reinterpret_cast<Bytef*>(out);
  s.avail_out = static_cast<uInt>(room);
  int result = inflate(&s, Z_FINISH);
  *produced = s.total_out;
  const bool all_in = s.avail_in == 0;
  inflateEnd(&s);
  if (result == Z_STREAM_END) return Z_OK;
  if (result == Z_NEED_DICT || (result == Z_BUF_ERROR && all_in)) return Z_DATA_ERROR;
  return result;
}

z_stream new_stream() {
  z_stream s{};
  s.zalloc = codec_alloc;
  s.zfree = codec_free;
  return s;
}

int deflate_with(int window, char* out, size_t room, const char* in, size_t len, size_t* produced) {
  z_stream s = new_stream();
  const int init = deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, window, 9, Z_DEFAULT_STRATEGY);
  return finish_deflate(s, init, in, len, out, room, produced);
}

int inflate_with(int window, char* out, size_t room, const char* in, size_t len, size_t* produced) {
  z_stream s = new_stream();
  const int init = inflateInit2(&s, window);
  return finish_inflate(s, init, in, len, out, room, produced);
}

void put_le32(char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint32_t get_le32(const char* at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(at[i]);
  return v;
}

// Raw deflate of in into out after the gzip header, then the frame; the frame's length.
bool write_gzip(char* out, size_t room, const char* in, size_t len, size_t* framed) {
  size_t produced = 0;
  if (deflate_raw(out + kGzipHead, room, in, len, &produced) != Z_OK) return false;
  std::memcpy(out, kGzipHeader, kGzipHead);
  const auto crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(in), static_cast<uInt>(len)));
  put_le32(out + kGzipHead + produced, crc);
  put_le32(out + kGzipHead + produced + 4, static_cast<uint32_t>(len));
  *framed = produced + kGzipFrame;
  return true;
}

constexpr char kDecodeTrace[] = "reqgate_plugin__DecodeContent()";

// Our gzip reader: header flags are not read; the length and the CRC-32 must match.
bool read_gzip(char* out, size_t room, const char* in, size_t len, size_t* produced, bool* no_room) {
  if (len < kGzipFrame) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(in);
  if (b[0] != 0x1F || b[1] != 0x8B || b[2] != 0x08) {
    trace("[Decoding -> gzip -> HeaderError -> Header [%X] [%X] [%X]] %s\r\n", b[0], b[1], b[2], kDecodeTrace);
    return false;
  }
  if (const int result = inflate_raw(out, room, in + kGzipHead, len - kGzipFrame, produced); result != Z_OK) {
    if (no_room) *no_room = result == Z_BUF_ERROR;
    trace("[Decoding -> DoUngzipError] %s\r\n", kDecodeTrace);
    return false;
  }
  const auto crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(out), static_cast<uInt>(*produced)));
  if (get_le32(in + len - 4) != static_cast<uint32_t>(*produced) || get_le32(in + len - 8) != crc) {
    trace("[Decoding -> gzip -> TailError] %s\r\n", kDecodeTrace);
    return false;
  }
  return true;
}

// no_room (when given) tells a decoded length past the room from corrupt data.
bool decode_into(int coding, char* out, size_t room, const char* in, size_t len, size_t* produced, bool* no_room) {
  if (coding == kGzip) return read_gzip(out, room, in, len, produced, no_room);
  const int result = len < 1 ? Z_DATA_ERROR
                     : coding == kDeflate ? inflate_raw(out, room, in, len, produced)
                                          : inflate_zlib(out, room, in, len, produced);
  if (result == Z_OK) return true;
  if (no_room) *no_room = result == Z_BUF_ERROR;
  trace(coding == kDeflate ? "[Decoding -> DoInflateError] %s\r\n" : "[Decoding -> DoUncompressError] %s\r\n",
        kDecodeTrace);
  return false;
}

// The coding a client's Accept-Encoding offers; "compress" alone gets none: the zlib format we
// write is not the LZW that label names.
int offered_coding(http_parser* request) {
  char accept[255];
  if (!http_parser_GetKey(request, "Accept-Encoding", accept, sizeof accept)) return kNone;
  if (contains_ignore_case(accept, "gzip")) return kGzip;
  if (contains_ignore_case(accept, "deflate")) return kDeflate;
  return kNone;
}

void hand_out(Buffer buffer, size_t len, char** out, uint32_t* out_len) {
  if (out_len) *out_len = static_cast<uint32_t>(len);
  if (out) *out = buffer.release();
}

struct Sink {
  char* out;
  size_t len;
};

void sink_copy(void* target, const char* data, size_t n) {
  auto* sink = static_cast<Sink*>(target);
  std::memcpy(sink->out + sink->len, data, n);
  sink->len += n;
}

size_t peek_memory(void* source, uint64_t offset, char* buffer, size_t n) {
  const auto* text = static_cast<const std::string_view*>(source);
  if (offset >= text->size()) return 0;
  const size_t take = std::min<size_t>(n, text->size() - offset);
  std::memcpy(buffer, text->data() + offset, take);
  return take;
}

// De-chunks a body for a coding step; the head loses its Transfer-Encoding. False: not sound.
bool dechunk_input(http_parser* response, const char*& body, size_t& len, Buffer& holder) {
  if (!is_chunked(response)) return true;
  char* plain = nullptr;
  size_t plain_len = 0;
  dechunk(response, body, len, &plain, &plain_len);
  if (!plain) return false;
  holder.reset(plain);
  body = plain;
  len = plain_len;
  http_parser_DelKey(response, "Transfer-Encoding");
  return true;
}

bool encode(http_parser* request, http_parser* response, const char* body, size_t len, char** out,
            uint32_t* out_len) {
  if (len < 512 || http_parser_IsKey(response, "Content-Encoding")) return false;
  if (len > 1048576 && http_parser_IsKey(response, "Transfer-Encoding")) return false;
  const int coding = request ? offered_coding(request) : kGzip;
  if (coding == kNone) return false;
  const bool chunked = is_chunked(response);
  Buffer plain;
  if (!dechunk_input(response, body, len, plain)) return false;
  Buffer output(work_buffer());
  size_t produced = 0;
  bool ok = output != nullptr;
  if (ok && coding == kGzip) {
    ok = write_gzip(output.get(), kWorkBuffer - kGzipFrame, body, len, &produced);
  } else if (ok) {
    ok = deflate_raw(output.get(), kWorkBuffer, body, len, &produced) == Z_OK;
  }
  if (!ok) {
    if (chunked) http_parser_ModifyKey(response, "Transfer-Encoding", "chunked");
    return false;
  }
  http_parser_ModifyKey(response, "Content-Length", std::to_string(produced).c_str());
  http_parser_ModifyKey(response, "Content-Encoding", kCodingNames[coding]);
  if (!http_parser_IsKey(response, "Vary")) http_parser_InsertKey(response, "Vary", "Accept-Encoding");
  hand_out(std::move(output), produced, out, out_len);
  return true;
}

}  // namespace

DecodeOutcome decode_copy(http_parser* response, const char* body, size_t len, char** out, uint32_t* out_len) {
  const int coding = needs_decoding(nullptr, response);
  Buffer plain;
  const bool chunked = is_chunked(response);
  if (coding == kNone) {
    if (!chunked || !dechunk_input(response, body, len, plain)) return DecodeOutcome::kBad;
    hand_out(std::move(plain), len, out, out_len);
    return DecodeOutcome::kDecoded;
  }
  if (!dechunk_input(response, body, len, plain)) {
    // A framing walk without a work buffer proves nothing about the data.
    Buffer probe(work_buffer());
    return probe ? DecodeOutcome::kBad : DecodeOutcome::kNoRoom;
  }
  Buffer output(work_buffer());
  if (!output) {
    trace("[Decoding] __ende_mem_alloc() Return NULL!\r\n");
    if (chunked) http_parser_ModifyKey(response, "Transfer-Encoding", "chunked");
    return DecodeOutcome::kNoRoom;
  }
  size_t produced = 0;
  bool no_room = false;
  if (!decode_into(coding, output.get(), kWorkBuffer - 1, body, len, &produced, &no_room)) {
    if (chunked) http_parser_ModifyKey(response, "Transfer-Encoding", "chunked");
    return no_room ? DecodeOutcome::kNoRoom : DecodeOutcome::kBad;
  }
  output.get()[produced] = '\0';
  http_parser_DelKey(response, "Vary");
  http_parser_DelKey(response, "Content-Encoding");
  http_parser_DelKey(response, "Content-Length");
  if (!is_chunked(response)) http_parser_InsertKey(response, "Content-Length", std::to_string(produced).c_str());
  hand_out(std::move(output), produced, out, out_len);
  return DecodeOutcome::kDecoded;
}

namespace {

bool decode(http_parser* response, const char* body, size_t len, char** out, uint32_t* out_len) {
  return decode_copy(response, body, len, out, out_len) == DecodeOutcome::kDecoded;
}

}  // namespace

void* codec_alloc(void*, unsigned items, unsigned size) { return arena().alloc(uint64_t{items} * size); }
void codec_free(void*, void* p) { arena().free(p); }
char* work_buffer() { return static_cast<char*>(arena().alloc(kWorkBuffer)); }
bool codec_arena_owns(const void* p) { return arena().owns(p); }

int deflate_raw(char* out, size_t room, const char* in, size_t len, size_t* produced) {
  return deflate_with(-MAX_WBITS, out, room, in, len, produced);
}
int deflate_zlib(char* out, size_t room, const char* in, size_t len, size_t* produced) {
  return deflate_with(MAX_WBITS, out, room, in, len, produced);
}
int inflate_raw(char* out, size_t room, const char* in, size_t len, size_t* produced) {
  return inflate_with(-MAX_WBITS, out, room, in, len, produced);
}
int inflate_zlib(char* out, size_t room, const char* in, size_t len, size_t* produced) {
  return inflate_with(MAX_WBITS, out, room, in, len, produced);
}

int needs_decoding(http_parser* request, http_parser* response) {
  char coding[100];
  if (!http_parser_GetKey(response, "Content-Encoding", coding, sizeof coding)) return kNone;
  int found = kNone;
  for (int c = kGzip; c <= kCompress && found == kNone; ++c) {
    if (contains_ignore_case(coding, kCodingNames[c])) found = c;
  }
  char accept[100];
  if (found != kNone && request && http_parser_GetKey(request, "Accept-Encoding", accept, sizeof accept) &&
      contains_ignore_case(accept, kCodingNames[found])) {
    return kNone;
  }
  return found;
}

bool is_chunked(http_parser* head) {
  char coding[20];
  return http_parser_GetKey(head, "Transfer-Encoding", coding, sizeof coding) && starts_ignore_case(coding, "chunked");
}

const char* coding_name(int coding) { return coding >= kGzip && coding <= kCompress ? kCodingNames[coding] : ""; }

bool compressible(http_parser* response) {
  static constexpr const char* kTextTypes[] = {"text/", "javascript", "json", "xml"};
  char type[100];
  if (http_parser_IsKey(response, "Content-Encoding")) return false;
  if (!http_parser_GetKey(response, "Content-Type", type, sizeof type)) return false;
  for (const char* t : kTextTypes) {
    if (contains_ignore_case(type, t)) return true;
  }
  return false;
}

bool dechunk(http_parser* response, const char* data, size_t len, char** out, size_t* out_len) {
  *out = nullptr;
  *out_len = 0;
  if (!is_chunked(response)) return false;
  Buffer buffer(work_buffer());
  if (!buffer) return true;
  std::string_view text(data, len);
  Sink sink{buffer.get(), 0};
  const WalkResult walk = walk_chunks(len, peek_memory, &text, sink_copy, &sink, kWorkBuffer);
  if (walk.fault != WalkFault::kNone) return true;
  if (sink.len < kWorkBuffer) buffer.get()[sink.len] = '\0';
  *out_len = sink.len;
  *out = buffer.release();
  return true;
}

}  // namespace vor::reqgate

using namespace vor::reqgate;

uint8_t reqgate_plugin__EncodeContent(http_parser* request, http_parser* response, const char* body, uint32_t len,
                                      char** out, uint32_t* out_len) {
  if (!response || !body) return 0;
  return encode(request, response, body, len, out, out_len) ? 1 : 0;
}

uint8_t reqgate_plugin__DecodeContent(http_parser*, http_parser* response, const char* body, uint32_t len, char** out,
                                      uint32_t* out_len) {
  if (!response || !body) return 0;
  return decode(response, body, len, out, out_len) ? 1 : 0;
}

void reqgate_plugin__EncodeMemFree(char* buffer) { codec_free(nullptr, buffer); }
void reqgate_plugin__DecodeMemFree(char* buffer) { codec_free(nullptr, buffer); }
