#include "vor_parse.h"

#include "cu_lib.h"
#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "cu_mem.h"
#include "cu_util.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kUnit[] = "vor\\vor_parse";
constexpr int32_t kMaxPacket = 10240;  // a whole packet, its NUL included
constexpr int32_t kPacketBuf = 10257;
constexpr int32_t kCmdBuf = 145;
constexpr int32_t kMaxWord = 128;      // command and parameter names
constexpr int32_t kMaxContent = 5120;  // content bytes before quotes are doubled
constexpr int32_t kMaxParams = 64;
constexpr int32_t kArenaSize = 33077;
constexpr char kCustomName[] = "__custom_switch_data__";

}  // namespace

struct vor_proto {
  char* packet;
  int32_t packet_len;
  char* cmd;
  int32_t cmd_len;
  int32_t cmd_start_pos;
  int32_t cmd_end_pos;
  char* para[kMaxParams];
  int32_t para_len[kMaxParams];
  int32_t para_start_pos[kMaxParams];
  int32_t para_end_pos[kMaxParams];
  char* content[kMaxParams];
  int32_t content_len[kMaxParams];
  int32_t content_start_pos[kMaxParams];
  int32_t content_end_pos[kMaxParams];
  // A parameter read after a run of NUL bytes lies outside the kept packet text: its
  // positions do not address packet bytes, so it may be read but never edited in place.
  bool detached[kMaxParams];
  int32_t num_fields;
  int32_t current_pos;
  void* mem_block;
  int32_t mem_size;
  cu_mem* mem;
  char* scratch;
};

namespace {

struct Separator {
  const char* text;
  int32_t len;
};

// Set once before packets are built, read by every packer; atomic so that a late change
// from another thread is still well defined.
std::atomic<int32_t> g_space{1};

Separator packing_separator() {
  switch (g_space.load(std::memory_order_relaxed)) {
    case 0: return {"\n", 1};
    case 2: return {";", 1};
    case 4: return {" ", 1};
    case 8: return {"&", 1};
    default: return {"\r\n", 2};
  }
}

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

bool is_separator(unsigned char c) { return c == '\r' || c == '\n' || c == ' ' || c == '&' || c == ';'; }
bool is_word_head(unsigned char c) { return cu_internal::is_letter(static_cast<char>(c)) || c == '_'; }
bool is_word_char(unsigned char c) { return is_word_head(c) || cu_internal::is_digit(static_cast<char>(c)); }

// Copies at most size - 1 bytes and a NUL; nothing when the buffer is NULL or has no room.
void copy_out(char* buf, int32_t size, const char* src) {
  if (buf && size >= 1) cu_strncpy(buf, src, size - 1);
}

// Checks a command or parameter name before it is packed.
bool valid_word(const char* word, bool is_param) {
  const char* kind = is_param ? "parameter" : "command";
  const auto* s = reinterpret_cast<const unsigned char*>(word);
  if (!is_word_head(s[0])) {
    say("error: %s string header is [%c]!\n", kind, s[0]);
    return false;
  }
  size_t len = 0;
  for (; s[len]; ++len) {
    if (!is_word_char(s[len])) {
      say("error: %s string include [%c]!\n", kind, s[len]);
      return false;
    }
  }
  if (len > static_cast<size_t>(kMaxWord)) {
    say("error: %s string length is [%d]!\n", kind, static_cast<int>(len));
    return false;
  }
  return true;
}

// Writes the content with every double quote doubled; answers the formatted length, or -1.
int32_t format_content(const char* content, char* out) {
  const size_t in_len = std::strlen(content);
  int32_t w = 0;
  size_t r = 0;
  for (; content[r] && w < kMaxPacket; ++r) {
    if (content[r] == '"') {
      if (w + 2 > kMaxPacket) break;
      out[w++] = '"';
    }
    out[w++] = content[r];
  }
  if (in_len > static_cast<size_t>(kMaxContent)) {
    say("error: content string too long[%d]!\n", static_cast<int>(in_len));
    return -1;
  }
  if (content[r]) {
    say("error: content string tail is [%c]!\n", content[r]);
    return -1;
  }
  if (w >= kMaxPacket) {
    say("error: format content string length is not enough[%d]!\n", kMaxPacket);
    return -1;
  }
  return w;
}

// Reads the elements of a received packet; every failure prints the reader's line.
class Reader {
 public:
  Reader(const char* text, int32_t len) : text_(reinterpret_cast<const unsigned char*>(text)), len_(len) {}

  int32_t pos() const { return pos_; }
  bool before_last_byte() const { return pos_ < len_ - 1; }

  // Before an element the text must not run out.
  bool skip_separators_before() {
    skip_separators();
    if (pos_ >= len_) {
      say("error: buff error!\n");
      return false;
    }
    return true;
  }

  void skip_separators() {
    while (pos_ < len_ && is_separator(text_[pos_])) ++pos_;
  }

  void skip_nuls() {
    while (pos_ < len_ && text_[pos_] == 0) ++pos_;
  }

  // A command or name at the current position; its bytes are copied to out when it is valid.
  bool read_word(bool is_param, char* out, int32_t* out_len) {
    const char* kind = is_param ? "parameter" : "command";
    const int32_t start = pos_;
    if (!is_word_head(text_[pos_])) {
      say("error: %s string header is [%c]!\n", kind, text_[pos_]);
      return false;
    }
    while (pos_ < len_ && is_word_char(text_[pos_])) ++pos_;
    const unsigned char end = pos_ < len_ ? text_[pos_] : 0;
    if (!(is_separator(end) || end == 0 || (is_param && end == '='))) {
      say("error: %s string include [%c]!\n", kind, end);
      return false;
    }
    const int32_t n = pos_ - start;
    if (n > kMaxWord) {
      say("error: %s string length is [>=%d or <1]!\n", kind, n);
      return false;
    }
    if (out) std::memcpy(out, text_ + start, static_cast<size_t>(n));
    *out_len = n;
    return true;
  }

  bool read_equals() {
    if (!skip_separators_before()) return false;
    if (text_[pos_] != '=') {
      say("error: '='[%c] syntax error!\n", text_[pos_]);
      return false;
    }
    ++pos_;
    return true;
  }

  // The quoted content; out (when given) receives it with doubled quotes made single.
  bool read_content(char* out, int32_t* out_len, int32_t* start, int32_t* end) {
    if (!skip_separators_before()) return false;
    if (text_[pos_] != '"') {
      say("error: content string header is [%c]!\n", text_[pos_]);
      return false;
    }
    *start = ++pos_;
    int32_t n = 0;
    for (;;) {
      if (pos_ >= len_) {
        say("error: buff error, no content tail(\")!\n");
        return false;
      }
      const unsigned char c = text_[pos_];
      if (c == 0) {
        say("error: content string tail is [%c]!\n", c);
        return false;
      }
      if (c == '"') {
        if (pos_ + 1 >= len_) {
          say("error: content string escape error[\"]!\n");
          return false;
        }
        if (text_[pos_ + 1] != '"') break;
        ++pos_;
      }
      if (out && n < kMaxContent) out[n] = static_cast<char>(c);
      ++n;
      ++pos_;
    }
    if (n > kMaxContent) {
      say("error: content string length is [>%d]!\n", n);
      return false;
    }
    *end = pos_++;
    *out_len = n;
    return true;
  }

 private:
  const unsigned char* text_;
  int32_t len_;
  int32_t pos_ = 0;
};

void reset_arena(vor_proto* p) { p->mem = cu_mem_init(p->mem_block, static_cast<uint64_t>(p->mem_size)); }

void reset_object(vor_proto* p) {
  p->packet[0] = '\0';
  p->packet_len = 0;
  p->cmd[0] = '\0';
  p->cmd_len = p->cmd_start_pos = p->cmd_end_pos = 0;
  p->num_fields = 0;
  p->current_pos = 0;
  reset_arena(p);
}

char* arena_copy(vor_proto* p, const char* src, int32_t len) {
  auto* copy = static_cast<char*>(cu_mem_malloc(p->mem, static_cast<uint64_t>(len) + 1));
  if (!copy) return nullptr;
  std::memcpy(copy, src, static_cast<size_t>(len));
  copy[len] = '\0';
  return copy;
}

void arena_release(vor_proto* p, char* copy) {
  if (copy) cu_mem_free(p->mem, copy);
}

int32_t find_param(const vor_proto* p, const char* name) {
  for (int32_t i = 0; i < p->num_fields; ++i) {
    if (std::strcmp(p->para[i], name) == 0) return i;
  }
  return -1;
}

// Only a parameter whose bytes lie inside the packet text, before its final NUL, is edited.
bool editable(const vor_proto* p, int32_t i) {
  return !p->detached[i] && p->para_start_pos[i] >= 0 && p->para_start_pos[i] < p->content_start_pos[i] &&
         p->content_start_pos[i] <= p->content_end_pos[i] && p->content_end_pos[i] < p->packet_len - 1;
}

void shift_params(vor_proto* p, int32_t from, int32_t d) {
  for (int32_t i = from; i < p->num_fields; ++i) {
    p->para_start_pos[i] += d;
    p->para_end_pos[i] += d;
    p->content_start_pos[i] += d;
    p->content_end_pos[i] += d;
  }
}

// Replaces old_len bytes at pos with new_len bytes; the packet text holds no NUL before its
// final one, so the rest of the text moves along with it.
void splice(vor_proto* p, int32_t pos, int32_t old_len, const char* bytes, int32_t new_len) {
  cu_strreplace(p->packet, pos, old_len, bytes, new_len);
  p->packet_len += new_len - old_len;
  p->packet[p->packet_len - 1] = '\0';
}

struct ParseLines {
  const char* bad_param;
  const char* bad_equals;
  const char* bad_content;
};
constexpr ParseLines kParseLines = {"info: packet parameter error!\n", "info: packet '=' error!\n",
                                    "info: packet content error!\n"};
constexpr ParseLines kCheckLines = {"info: packet have error parameter!\n", "info: packet have error '='!\n",
                                    "info: packet have error content!\n"};

// Runs the syntax of a received packet; stores into p when it is given, else only checks.
bool scan_packet(vor_proto* p, const char* text, int32_t len, const ParseLines& lines) {
  if (text[len - 1] != '\0') {
    say("warn: packet tail error[%c]!\n", text[len - 1]);
    return false;
  }
  char* scratch = p ? p->scratch : nullptr;
  Reader r(text, len);
  if (!r.skip_separators_before()) return false;
  const int32_t cmd_start = r.pos();
  int32_t cmd_len = 0;
  if (!r.read_word(false, scratch, &cmd_len)) return false;
  if (p) {
    std::memcpy(p->cmd, scratch, static_cast<size_t>(cmd_len));
    p->cmd[cmd_len] = '\0';
    p->cmd_len = cmd_len;
    p->cmd_start_pos = cmd_start;
    p->cmd_end_pos = cmd_start + cmd_len;
  }
  r.skip_separators();
  r.skip_nuls();
  int32_t count = 0;
  while (r.before_last_byte()) {
    if (count == kMaxParams) {
      say("error: parameter too many(%d)!\n", kMaxParams);
      return false;
    }
    int32_t name_len = 0;
    if (!r.skip_separators_before() || !r.read_word(true, scratch, &name_len)) {
      say("%s", lines.bad_param);
      return false;
    }
    const int32_t name_start = r.pos() - name_len;
    if (p) {
      p->para[count] = arena_copy(p, scratch, name_len);
      if (!p->para[count]) return false;
      p->para_len[count] = name_len;
      p->para_start_pos[count] = name_start;
      p->para_end_pos[count] = name_start + name_len;
    }
    if (!r.read_equals()) {
      say("%s", lines.bad_equals);
      return false;
    }
    int32_t content_len = 0, start = 0, end = 0;
    if (!r.read_content(scratch, &content_len, &start, &end)) {
      say("%s", lines.bad_content);
      return false;
    }
    if (p) {
      p->content[count] = arena_copy(p, scratch, content_len);
      if (!p->content[count]) return false;
      p->content_len[count] = content_len;
      p->content_start_pos[count] = start;
      p->content_end_pos[count] = end;
    }
    ++count;
    r.skip_separators();
    r.skip_nuls();
  }
  if (count >= kMaxParams) {
    say("error: parameter too many(%d)!\n", kMaxParams);
    return false;
  }
  if (p) {
    const auto* first_nul = static_cast<const char*>(std::memchr(text, 0, static_cast<size_t>(len)));
    const auto kept = static_cast<int32_t>(first_nul - text);
    std::memcpy(p->packet, text, static_cast<size_t>(kept));
    p->packet[kept] = '\0';
    p->packet_len = kept + 1;
    for (int32_t i = 0; i < count; ++i) p->detached[i] = p->para_start_pos[i] >= kept;
    p->num_fields = count;
    p->current_pos = 0;
  }
  return true;
}

bool parse_packet(vor_proto* p, const char* text, int32_t len) {
  reset_object(p);
  if (!text || len < 1 || len > kMaxPacket) return false;
  if (scan_packet(p, text, len, kParseLines)) return true;
  reset_object(p);
  return false;
}

bool pack_cmd(vor_proto* p, const char* cmd) {
  if (!valid_word(cmd, false)) return false;
  const Separator sep = packing_separator();
  const auto len = static_cast<int32_t>(std::strlen(cmd));
  if (len + sep.len + 1 > kMaxPacket) {
    say("error: packing command string error!\n");
    return false;
  }
  reset_object(p);
  std::memcpy(p->packet, cmd, static_cast<size_t>(len));
  std::memcpy(p->packet + len, sep.text, static_cast<size_t>(sep.len));
  p->packet[len + sep.len] = '\0';
  p->packet_len = len + sep.len + 1;
  std::memcpy(p->cmd, cmd, static_cast<size_t>(len) + 1);
  p->cmd_len = p->cmd_end_pos = len;
  p->cmd_start_pos = 0;
  return true;
}

// The packet grows just after its last non-NUL byte; -1 when the packet has no proper tail.
int32_t insertion_point(const vor_proto* p) {
  int32_t at = p->packet_len - 1;
  if (p->packet[at] != '\0') return -1;
  while (at > 0 && p->packet[at - 1] == '\0') --at;
  return at > 0 ? at : -1;
}

bool pack_para(vor_proto* p, const char* name, const char* content) {
  if (p->num_fields >= kMaxParams) {
    say("warn: number of parameters is already too many(%d)!\n", p->num_fields);
    return false;
  }
  if (p->packet_len <= 0) return false;
  const int32_t at = insertion_point(p);
  if (at < 0) {
    say("error: find packet tail fail!\n");
    return false;
  }
  if (!valid_word(name, true)) return false;
  if (find_param(p, name) >= 0) {
    say("info: para(%s) is exist!\n", name);
    return false;
  }
  const int32_t formatted = format_content(content, p->scratch);
  if (formatted < 0) return false;
  const Separator sep = packing_separator();
  const auto name_len = static_cast<int32_t>(std::strlen(name));
  // A received packet may end right after its command; the name must not run into it.
  const int32_t lead = at == p->cmd_end_pos ? sep.len : 0;
  if (p->packet_len + lead + name_len + formatted + sep.len + 3 > kMaxPacket) {
    say("error: packing parameter string error!\n");
    return false;
  }
  const int32_t i = p->num_fields;
  p->para[i] = arena_copy(p, name, name_len);
  if (!p->para[i]) {
    say("warn: cu_mem_malloc()->para return NULL!\n");
    return false;
  }
  const auto content_len = static_cast<int32_t>(std::strlen(content));
  p->content[i] = arena_copy(p, content, content_len);
  if (!p->content[i]) {
    say("warn: cu_mem_malloc()->content return NULL!\n");
    arena_release(p, p->para[i]);
    return false;
  }
  char* w = p->packet + at;
  std::memcpy(w, sep.text, static_cast<size_t>(lead));
  w += lead;
  p->para_start_pos[i] = static_cast<int32_t>(w - p->packet);
  std::memcpy(w, name, static_cast<size_t>(name_len));
  w += name_len;
  p->para_end_pos[i] = static_cast<int32_t>(w - p->packet);
  *w++ = '=';
  *w++ = '"';
  p->content_start_pos[i] = static_cast<int32_t>(w - p->packet);
  std::memcpy(w, p->scratch, static_cast<size_t>(formatted));
  w += formatted;
  p->content_end_pos[i] = static_cast<int32_t>(w - p->packet);
  *w++ = '"';
  std::memcpy(w, sep.text, static_cast<size_t>(sep.len));
  w += sep.len;
  *w++ = '\0';
  p->para_len[i] = name_len;
  p->content_len[i] = content_len;
  p->detached[i] = false;
  p->num_fields = i + 1;
  p->packet_len = static_cast<int32_t>(w - p->packet);
  return true;
}

bool modify_cmd(vor_proto* p, const char* cmd) {
  if (!valid_word(cmd, false)) return false;
  const auto len = static_cast<int32_t>(std::strlen(cmd));
  const int32_t d = len - p->cmd_len;
  if (p->packet_len + d > kMaxPacket) {
    say("warn: packet too big(cmd=%s)!\n", cmd);
    return false;
  }
  const bool sane = p->packet_len >= 1 && p->packet_len <= kMaxPacket && p->cmd_len >= 1 &&
                    p->cmd_len <= kMaxWord && p->cmd_start_pos >= 0 && p->cmd_start_pos < p->cmd_end_pos &&
                    p->cmd_end_pos < p->packet_len;
  if (!sane) return false;
  splice(p, p->cmd_start_pos, p->cmd_len, cmd, len);
  p->cmd_end_pos += d;
  p->cmd_len = len;
  shift_params(p, 0, d);
  std::memmove(p->cmd, cmd, static_cast<size_t>(len) + 1);  // cmd may be the object's own copy
  return true;
}

bool modify_para(vor_proto* p, const char* name, const char* content) {
  const int32_t i = find_param(p, name);
  if (i < 0) {
    say("info: para(%s) is not exist!\n", name);
    return false;
  }
  if (!editable(p, i)) return false;
  const int32_t formatted = format_content(content, p->scratch);
  if (formatted < 0) return false;
  const int32_t old_len = p->content_end_pos[i] - p->content_start_pos[i];
  const int32_t d = formatted - old_len;
  if (p->packet_len + d > kMaxPacket) {
    say("warn: packet too big(content=%s)!\n", content);
    return false;
  }
  const auto content_len = static_cast<int32_t>(std::strlen(content));
  char* copy = arena_copy(p, content, content_len);
  if (!copy) {
    say("warn: cu_mem_malloc()->modify return NULL!\n");
    return false;
  }
  arena_release(p, p->content[i]);
  p->content[i] = copy;
  p->content_len[i] = content_len;
  splice(p, p->content_start_pos[i], old_len, p->scratch, formatted);
  p->content_end_pos[i] += d;
  shift_params(p, i + 1, d);
  return true;
}

bool delete_para(vor_proto* p, const char* name) {
  const int32_t i = find_param(p, name);
  if (i < 0) {
    say("info: deleted para(%s) is not exist!\n", name);
    return false;
  }
  if (!editable(p, i)) return false;
  const int32_t start = p->para_start_pos[i];
  int32_t end = p->content_end_pos[i] + 1;
  while (end < p->packet_len - 1 && is_separator(static_cast<unsigned char>(p->packet[end]))) ++end;
  const int32_t count = end - start;
  splice(p, start, count, "", 0);
  arena_release(p, p->para[i]);
  arena_release(p, p->content[i]);
  for (int32_t j = i + 1; j < p->num_fields; ++j) {
    p->para[j - 1] = p->para[j];
    p->para_len[j - 1] = p->para_len[j];
    p->para_start_pos[j - 1] = p->para_start_pos[j] - count;
    p->para_end_pos[j - 1] = p->para_end_pos[j] - count;
    p->content[j - 1] = p->content[j];
    p->content_len[j - 1] = p->content_len[j];
    p->content_start_pos[j - 1] = p->content_start_pos[j] - count;
    p->content_end_pos[j - 1] = p->content_end_pos[j] - count;
    p->detached[j - 1] = p->detached[j];
  }
  --p->num_fields;
  return true;
}

bool has_packet(const vor_proto* p) { return p->cmd_len > 0 && p->packet_len > 0; }

void empty_packet(vor_proto* p) {
  p->packet[0] = '\0';
  p->packet_len = 0;
}

void give_entry(vor_proto* p, int32_t i, char** name, int32_t* name_len, char** content, int32_t* content_len) {
  if (name) *name = p->para[i];
  if (name_len) *name_len = p->para_len[i];
  if (content) *content = p->content[i];
  if (content_len) *content_len = p->content_len[i];
}

void copy_entry(vor_proto* p, int32_t i, char* name, int32_t name_size, char* content, int32_t content_size) {
  copy_out(name, name_size, p->para[i]);
  copy_out(content, content_size, p->content[i]);
}

vor_proto* make_proto() {
  auto* p = static_cast<vor_proto*>(_cu_calloc(1, sizeof(vor_proto), kUnit, __LINE__));
  if (!p) return nullptr;
  p->packet = static_cast<char*>(_cu_malloc(kPacketBuf, kUnit, __LINE__));
  p->cmd = static_cast<char*>(_cu_malloc(kCmdBuf, kUnit, __LINE__));
  p->scratch = static_cast<char*>(_cu_malloc(kPacketBuf, kUnit, __LINE__));
  p->mem_block = _cu_malloc(kArenaSize, kUnit, __LINE__);
  p->mem_size = kArenaSize;
  if (!p->packet || !p->cmd || !p->scratch || !p->mem_block) {
    vor_proto_free(p);
    return nullptr;
  }
  reset_object(p);
  return p;
}

vor_proto* clone_proto(const vor_proto* src) {
  vor_proto* c = make_proto();
  if (!c) return nullptr;
  if (src->cmd_len <= 0 || src->packet_len <= 0 || src->cmd_len > kMaxWord || src->packet_len > kMaxPacket) {
    return c;
  }
  std::memcpy(c->packet, src->packet, static_cast<size_t>(src->packet_len));
  c->packet_len = src->packet_len;
  std::memcpy(c->cmd, src->cmd, static_cast<size_t>(src->cmd_len) + 1);
  c->cmd_len = src->cmd_len;
  c->cmd_start_pos = src->cmd_start_pos;
  c->cmd_end_pos = src->cmd_end_pos;
  for (int32_t i = 0; i < src->num_fields; ++i) {
    c->para[i] = arena_copy(c, src->para[i], src->para_len[i]);
    c->content[i] = c->para[i] ? arena_copy(c, src->content[i], src->content_len[i]) : nullptr;
    if (!c->content[i]) {
      vor_proto_free(c);
      return nullptr;
    }
    c->para_len[i] = src->para_len[i];
    c->para_start_pos[i] = src->para_start_pos[i];
    c->para_end_pos[i] = src->para_end_pos[i];
    c->content_len[i] = src->content_len[i];
    c->content_start_pos[i] = src->content_start_pos[i];
    c->content_end_pos[i] = src->content_end_pos[i];
    c->detached[i] = src->detached[i];
  }
  c->num_fields = src->num_fields;
  c->current_pos = src->current_pos;
  return c;
}

char byte_at(const vor_proto* p, int32_t i) {
  return i >= 0 && i < kPacketBuf ? p->packet[i] : '\0';
}

void print_proto(vor_proto* p) {
  if (p->packet_len < 1 || p->packet_len > kMaxPacket) {
    p->cmd[0] = '\0';
    p->cmd_len = 0;
    empty_packet(p);
  }
  std::printf("packet:\n%s\n", p->packet);
  std::printf("strlen(packet):%d\n", static_cast<int>(std::strlen(p->packet)));
  std::printf("packet_len:%d\n", p->packet_len);
  std::printf("cmd:%s\n", p->cmd);
  std::printf("cmd_len:%d\n", p->cmd_len);
  std::printf("cmd_start_pos:%d\n", p->cmd_start_pos);
  std::printf("cmd_end_pos:%d\n", p->cmd_end_pos);
  std::printf("num_fields:%d\n", p->num_fields);
  std::printf("current_pos:%d\n", p->current_pos);
  for (int32_t i = 0; i < p->num_fields; ++i) {
    std::printf("\n");
    std::printf("para[%d]:%s\n", i, p->para[i]);
    std::printf("para_len[%d]:%d\n", i, p->para_len[i]);
    std::printf("para_start_pos[%d]:%d\n", i, p->para_start_pos[i]);
    std::printf("para_start_pos[%c]\n", byte_at(p, p->para_start_pos[i]));
    std::printf("para_end_pos[%d]:%d\n", i, p->para_end_pos[i]);
    std::printf("para_end_pos[%c]\n", byte_at(p, p->para_end_pos[i] - 1));
    std::printf("\n");
    std::printf("content[%d]:%s\n", i, p->content[i]);
    std::printf("content_len[%d]:%d\n", i, p->content_len[i]);
    std::printf("content_start_pos[%d]:%d\n", i, p->content_start_pos[i]);
    std::printf("content_start_pos[%c]\n", byte_at(p, p->content_start_pos[i]));
    std::printf("content_end_pos[%d]:%d\n", i, p->content_end_pos[i]);
    std::printf("content_end_pos[%c]\n", byte_at(p, p->content_end_pos[i]));
  }
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

vor_proto* vor_proto_new(void) { return make_proto(); }

void vor_proto_free(vor_proto* p) {
  if (!p) return;
  _cu_free(p->mem_block, kUnit, __LINE__);
  _cu_free(p->cmd, kUnit, __LINE__);
  _cu_free(p->packet, kUnit, __LINE__);
  _cu_free(p->scratch, kUnit, __LINE__);
  _cu_free(p, kUnit, __LINE__);
}

bool vor_proto_PackCmd(vor_proto* p, const char* cmd) { return p && cmd && pack_cmd(p, cmd); }

bool vor_proto_PackPara(vor_proto* p, const char* name, const char* content) {
  return p && name && content && pack_para(p, name, content);
}

bool vor_proto_ModifyCmd(vor_proto* p, const char* cmd) { return p && cmd && modify_cmd(p, cmd); }

bool vor_proto_ModifyPara(vor_proto* p, const char* name, const char* content) {
  return p && name && content && modify_para(p, name, content);
}

bool vor_proto_DeletePara(vor_proto* p, const char* name) { return p && name && delete_para(p, name); }

bool vor_proto_ParsePacket(vor_proto* p, const char* text, int32_t len) { return p && parse_packet(p, text, len); }

bool vor_proto_CheckPacket(vor_proto*, const char* text, int32_t len) {
  if (!text || len < 1 || len > kMaxPacket) return false;
  return scan_packet(nullptr, text, len, kCheckLines);
}

bool vor_proto_GetPacket(vor_proto* p, char** text, int32_t* len) {
  if (!p) return false;
  const bool ok = has_packet(p);
  if (!ok) empty_packet(p);
  if (text) *text = p->packet;
  if (len) *len = p->packet_len;
  return ok;
}

char* vorx_proto_GetPacket(vor_proto* p, char** text, int32_t* len) {
  if (!p) return nullptr;
  vor_proto_GetPacket(p, text, len);
  return p->packet;
}

int32_t vorx_proto_GetPacketLen(vor_proto* p) {
  if (!p) return 0;
  if (!has_packet(p)) empty_packet(p);
  return p->packet_len;
}

bool vorx_proto_GetCmd(vor_proto* p, char** cmd, int32_t* len) {
  if (!p || p->cmd_len < 1 || p->packet_len < 1) return false;
  if (cmd) *cmd = p->cmd;
  if (len) *len = p->cmd_len;
  return true;
}

bool vor_proto_GetCmd(vor_proto* p, char* buf, int32_t size) {
  if (!p || p->cmd_len < 1 || p->packet_len < 1) return false;
  copy_out(buf, size, p->cmd);
  return true;
}

bool vorx_proto_GetPara(vor_proto* p, const char* name, char** content, int32_t* len) {
  if (!p) return false;
  const int32_t i = name ? find_param(p, name) : -1;
  if (i < 0) {
    say("info: get para(%s) is not exist!\n", name ? name : "(null)");
    return false;
  }
  if (content) *content = p->content[i];
  if (len) *len = p->content_len[i];
  return true;
}

bool vor_proto_GetPara(vor_proto* p, const char* name, char* buf, int32_t size) {
  if (!p || !name) return false;
  const int32_t i = find_param(p, name);
  if (i < 0) {
    say("info: get para(%s) is not exist!\n", name);
    return false;
  }
  copy_out(buf, size, p->content[i]);
  return true;
}

int32_t vor_proto_NumPara(vor_proto* p) { return p ? p->num_fields : 0; }

void vor_proto_rewind(vor_proto* p) {
  if (p) p->current_pos = 0;
}

bool vorx_proto_GetFirst(vor_proto* p, char** name, int32_t* name_len, char** content, int32_t* content_len) {
  if (!p || p->num_fields < 1) return false;
  give_entry(p, 0, name, name_len, content, content_len);
  p->current_pos = 1;
  return true;
}

bool vor_proto_GetFirst(vor_proto* p, char* name, int32_t name_size, char* content, int32_t content_size) {
  if (!p || p->num_fields < 1) return false;
  copy_entry(p, 0, name, name_size, content, content_size);
  p->current_pos = 1;
  return true;
}

bool vorx_proto_GetNext(vor_proto* p, char** name, int32_t* name_len, char** content, int32_t* content_len) {
  if (!p || p->num_fields < 1 || p->current_pos < 0 || p->current_pos >= p->num_fields) return false;
  give_entry(p, p->current_pos++, name, name_len, content, content_len);
  return true;
}

bool vor_proto_GetNext(vor_proto* p, char* name, int32_t name_size, char* content, int32_t content_size) {
  if (!p || p->num_fields < 1 || p->current_pos < 0 || p->current_pos >= p->num_fields) return false;
  copy_entry(p, p->current_pos++, name, name_size, content, content_size);
  return true;
}

vor_proto* vor_proto_clone(vor_proto* p) { return p ? clone_proto(p) : nullptr; }

void vorx_proto_SetSpace(int32_t value) {
  if (value == 0 || value == 1 || value == 2 || value == 4 || value == 8) {
    g_space.store(value, std::memory_order_relaxed);
  }
}

bool vorx_proto_PackCustomData(vor_proto* p, const void* data, int32_t len) {
  if (!p || !data || len <= 0) return false;
  const int64_t encoded = 4 * static_cast<int64_t>(len) / 3;
  if (encoded + encoded % 4 > kMaxContent) return false;
  std::string text(static_cast<size_t>(len + 2) / 3 * 4 + 1, '\0');
  if (cu_base64_encode(text.data(), data, len) < 0) return false;
  return vor_proto_PackPara(p, kCustomName, text.c_str());
}

bool vorx_proto_GetCustomData(vor_proto* p, void* buf, int32_t size, int32_t* len) {
  if (!p || !buf || size <= 0) return false;
  char* content = nullptr;
  int32_t content_len = 0;
  if (!vorx_proto_GetPara(p, kCustomName, &content, &content_len)) return false;
  const int32_t decoded = cu_base64_decode(p->scratch, content, content_len < kPacketBuf ? content_len : kPacketBuf);
  if (decoded <= 0) return false;
  const int32_t n = decoded < size ? decoded : size;
  std::memcpy(buf, p->scratch, static_cast<size_t>(n));
  if (len) *len = n;
  return true;
}

void vor_proto_print(vor_proto* p) {
  if (p) print_proto(p);
}
