// Chunk framing: the one size-line reader every walk uses, and the walk over a whole body (the
// stored copy's check and the de-chunking of the codecs).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "reqgate_internal.h"

namespace vor::reqgate {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Size lines longer than this break the framing of a whole-body walk.
constexpr size_t kLinePeek = 1024;

}  // namespace

SizeLine read_size_line(std::string_view text) {
  size_t digits = 0;
  uint64_t size = 0;
  while (digits < text.size() && hex_value(text[digits]) >= 0) {
    size = size * 16 + static_cast<uint64_t>(hex_value(text[digits]));
    if (size > kMaxChunkSize) return {LineState::kTooLarge, 0, 0};
    ++digits;
  }
  if (digits == 0) return {text.empty() ? LineState::kNeedMore : LineState::kNoDigits, 0, 0};
  // Chunk extensions run to the line end.
  size_t end = digits;
  while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
  if (end == text.size()) return {LineState::kNeedMore, 0, 0};
  if (text[end] == '\n') return {LineState::kNoCrlf, 0, 0};
  if (end + 1 == text.size()) return {LineState::kNeedMore, 0, 0};
  if (text[end + 1] != '\n') return {LineState::kNoCrlf, 0, 0};
  return {LineState::kReady, static_cast<uint32_t>(size), end + 2};
}

WalkResult walk_chunks(uint64_t total, PeekFn peek, void* source, SinkFn sink, void* target, uint64_t room) {
  uint64_t pos = 0;
  uint64_t data = 0;
  char window[kLinePeek];
  std::string chunk;
  for (;;) {
    const size_t got = peek(source, pos, window, total - pos < kLinePeek ? total - pos : kLinePeek);
    if (got < 3) return {WalkFault::kShortLine, 0, data};
    const SizeLine line = read_size_line(std::string_view(window, got));
    if (line.state != LineState::kReady) return {WalkFault::kBadLine, 0, data};
    const uint64_t start = pos + line.length;
    if (line.size == 0) {
      // The end: exactly CRLF left, or trailers up to the first empty line.
      const uint64_t from = start - 2;
      if (total - start < 2) return {WalkFault::kShortEnd, 0, data};
      std::string rest(total - from, '\0');
      rest.resize(peek(source, from, rest.data(), rest.size()));
      const size_t blank = rest.find("\r\n\r\n");
      if (blank == std::string::npos) return {WalkFault::kNoEnd, 0, data};
      const uint64_t end = from + blank + 4;
      if (end != total) return {WalkFault::kWrongEnd, end, data};
      return {WalkFault::kNone, end, data};
    }
    // 64-bit sums: size is below 2^31 and pos below the body length.
    if (start + line.size + 2 > total) return {WalkFault::kWrongEnd, 0, data};
    if (data + line.size > room) return {WalkFault::kNoRoom, 0, data};
    char crlf[2];
    if (peek(source, start + line.size, crlf, 2) != 2 || crlf[0] != '\r' || crlf[1] != '\n') {
      return {WalkFault::kWrongEnd, 0, data};
    }
    if (sink) {
      chunk.resize(line.size);
      peek(source, start, chunk.data(), line.size);
      sink(target, chunk.data(), line.size);
    }
    data += line.size;
    pos = start + line.size + 2;
  }
}

void ChunkPayload::feed(const char* data, size_t len, std::string& out) {
  size_t i = 0;
  while (i < len && phase_ != Phase::kDone && phase_ != Phase::kBroken) {
    if (phase_ == Phase::kData) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(left_, len - i));
      out.append(data + i, take);
      i += take;
      left_ -= take;
      if (left_ == 0) phase_ = Phase::kDataEnd;
      continue;
    }
    line_.push_back(data[i++]);
    if (phase_ == Phase::kDataEnd) {
      if (line_.size() < 2) continue;
      phase_ = line_ == "\r\n" ? Phase::kSize : Phase::kBroken;
      line_.clear();
    } else if (line_.back() != '\n') {
      if (line_.size() > kLinePeek) phase_ = Phase::kBroken;
    } else if (phase_ == Phase::kTrailer) {
      // Trailer lines are dropped; the empty line ends the body.
      if (line_ == "\r\n") phase_ = Phase::kDone;
      line_.clear();
    } else {
      const SizeLine line = read_size_line(line_);
      if (line.state != LineState::kReady || line.length != line_.size()) {
        phase_ = Phase::kBroken;
      } else {
        left_ = line.size;
        phase_ = line.size == 0 ? Phase::kTrailer : Phase::kData;
      }
      line_.clear();
    }
  }
}

bool contains_ignore_case(std::string_view text, std::string_view word) {
  if (word.empty()) return true;
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (starts_ignore_case(text.substr(i), word)) return true;
  }
  return false;
}

bool starts_ignore_case(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(word[i]))) {
      return false;
    }
  }
  return true;
}

int status_code(http_parser* response) {
  char status[8];
  if (!http_parser_GetStatus(response, status, sizeof status)) return 0;
  if (!std::isdigit(static_cast<unsigned char>(status[0])) || !std::isdigit(static_cast<unsigned char>(status[1])) ||
      !std::isdigit(static_cast<unsigned char>(status[2]))) {
    return 0;
  }
  return (status[0] - '0') * 100 + (status[1] - '0') * 10 + (status[2] - '0');
}

}  // namespace vor::reqgate
