#include "vor_regex.h"

#include "cu_malloc.h"
#include "vor_kit.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

constexpr char kUnit[] = "regex\\vor_regex";
constexpr char kPcreUnit[] = "regex\\vor_regex__xmem";
constexpr int32_t kEntries = 10;          // match entries of the matching and replacing forms
constexpr int32_t kMaxOvectorPairs = 65535;

void* pcre_alloc(PCRE2_SIZE n, void*) { return _cu_malloc(n, kPcreUnit, __LINE__); }
void pcre_release(void* p, void*) { _cu_free(p, kPcreUnit, __LINE__); }

// PCRE2 takes all its memory (compiled code, match data, backtracking frames) from the
// process allocator through these contexts; they are made once and only read afterwards,
// which PCRE2 allows from many threads at once.
struct PcreContexts {
  pcre2_general_context* general = pcre2_general_context_create(pcre_alloc, pcre_release, nullptr);
  pcre2_compile_context* compile = general ? pcre2_compile_context_create(general) : nullptr;
  pcre2_match_context* match = general ? pcre2_match_context_create(general) : nullptr;
  bool ready() const { return general && compile && match; }
};

const PcreContexts& contexts() {
  static const PcreContexts* instance = new PcreContexts;  // kept for the life of the process
  return *instance;
}

pcre2_code* compile(const char* pattern, bool caseless, size_t* error_offset) {
  const PcreContexts& ctx = contexts();
  if (!ctx.ready()) return nullptr;
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                   caseless ? PCRE2_CASELESS : 0, &error, &offset, ctx.compile);
  if (error_offset) *error_offset = offset;
  return code;
}

// Match data of up to kKeptPairs pairs, one per thread and kept: a match then takes no memory of
// its own (PCRE2 also keeps its backtracking frames in it between matches).
constexpr uint32_t kKeptPairs = 64;

pcre2_match_data* thread_match_data() {
  struct Kept {
    pcre2_match_data* md = pcre2_match_data_create(kKeptPairs, contexts().general);
    ~Kept() { pcre2_match_data_free(md); }
  };
  static thread_local Kept kept;
  return kept.md;
}

// Runs the pattern on the subject and fills count entries as the POSIX match record does:
// groups that took no part, and entries past the last group, are -1. False on no match,
// on an error of the engine (limits reached) and when match data cannot be had.
bool run(const pcre2_code* code, const char* subject, vor_regmatch* match, int32_t count) {
  const auto pairs = static_cast<uint32_t>(std::clamp(count, 1, kMaxOvectorPairs));
  vor::Owned<pcre2_match_data, pcre2_match_data_free> own;
  pcre2_match_data* md = pairs <= kKeptPairs ? thread_match_data() : nullptr;
  if (!md) {
    own.reset(pcre2_match_data_create(pairs, contexts().general));
    md = own.get();
  }
  if (!md) return false;
  const int rc =
      pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject), PCRE2_ZERO_TERMINATED, 0, 0, md, contexts().match);
  if (rc < 0) return false;
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(md);
  const int32_t filled = rc == 0 ? static_cast<int32_t>(pairs) : rc;
  for (int32_t i = 0; i < count; ++i) {
    const bool set = i < filled && i < static_cast<int32_t>(pairs) && ovector[2 * i] != PCRE2_UNSET;
    match[i].rm_so = set ? static_cast<int32_t>(ovector[2 * i]) : -1;
    match[i].rm_eo = set ? static_cast<int32_t>(ovector[2 * i + 1]) : -1;
  }
  return true;
}

// Groups from 0 up to the first that took no part or runs backwards.
int32_t usable_groups(const vor_regmatch* m) {
  int32_t n = 0;
  while (n < kEntries && m[n].rm_so >= 0 && m[n].rm_eo >= 0 && m[n].rm_eo >= m[n].rm_so) ++n;
  return n;
}

// Appends whole pieces while they fit in size - 1 characters; the first that does not fit
// ends the expansion.
class Output {
 public:
  Output(char* buf, int32_t size) : buf_(buf), budget_(static_cast<size_t>(size - 1)) { buf_[0] = '\0'; }
  bool put(std::string_view piece) {
    if (full_ || piece.size() > budget_ - used_) {
      full_ = true;
      return false;
    }
    std::memcpy(buf_ + used_, piece.data(), piece.size());
    used_ += piece.size();
    buf_[used_] = '\0';
    return true;
  }

 private:
  char* buf_;
  size_t budget_;
  size_t used_ = 0;
  bool full_ = false;
};

// "$g" with g a usable group writes the group; "$g" past them writes nothing; any other
// '$' stands for itself.
void expand(const char* subject, const vor_regmatch* m, const char* tmpl, char* output, int32_t size) {
  const int32_t groups = usable_groups(m);
  Output out(output, size);
  const std::string_view t(tmpl);
  size_t from = 0;
  for (size_t dollar = t.find('$'); dollar != std::string_view::npos; dollar = t.find('$', from)) {
    const char next = dollar + 1 < t.size() ? t[dollar + 1] : '\0';
    if (next >= '0' && next <= '9') {
      if (!out.put(t.substr(from, dollar - from))) return;
      const int32_t g = next - '0';
      if (g < groups && !out.put(std::string_view(subject + m[g].rm_so, static_cast<size_t>(m[g].rm_eo - m[g].rm_so)))) {
        return;
      }
      from = dollar + 2;
    } else {
      if (!out.put(t.substr(from, dollar + 1 - from))) return;
      from = dollar + 1;
    }
  }
  if (from < t.size()) out.put(t.substr(from));
}

}  // namespace

struct vor_regex {
  pcre2_code* code;
  uint32_t group_count;
  size_t error_offset;
  char* pattern;  // a slot no operation fills; freed when set
  uint8_t caseless;
  uint8_t compiled;
};

namespace {

vor_regex* make(const char* pattern, bool caseless) {
  if (!pattern) return nullptr;
  auto* re = static_cast<vor_regex*>(_cu_calloc(1, sizeof(vor_regex), kUnit, __LINE__));
  if (!re) return nullptr;
  re->code = compile(pattern, caseless, &re->error_offset);
  if (!re->code) {
    _cu_free(re, kUnit, __LINE__);
    return nullptr;
  }
  pcre2_pattern_info(re->code, PCRE2_INFO_CAPTURECOUNT, &re->group_count);
  re->caseless = caseless ? 1 : 0;
  re->compiled = 1;
  return re;
}

void release(vor_regex* re) {
  if (!re) return;
  _cu_free(re->pattern, kUnit, __LINE__);
  if (re->compiled) pcre2_code_free(re->code);
  _cu_free(re, kUnit, __LINE__);
}

bool replace_ext(vor_regex* re, const char* subject, int32_t* start, int32_t* end, const char* tmpl, char* output,
                 int32_t size) {
  vor_regmatch m[kEntries];
  if (!run(re->code, subject, m, kEntries)) {
    if (output && size > 0) output[0] = '\0';
    return false;
  }
  if (m[0].rm_eo < m[0].rm_so) m[0].rm_eo = m[0].rm_so;
  if (start) *start = m[0].rm_so;
  if (end) *end = m[0].rm_eo;
  if (output && size > 0 && tmpl) expand(subject, m, tmpl, output, size);
  return true;
}

using OwnedCode = vor::Owned<pcre2_code, pcre2_code_free>;

bool match_simple(const char* pattern, const char* subject, bool caseless) {
  if (!pattern || !subject) return false;
  OwnedCode code(compile(pattern, caseless, nullptr));
  vor_regmatch m[kEntries];
  return code && run(code.get(), subject, m, kEntries);
}

bool replace_simple(const char* pattern, const char* subject, const char* tmpl, char* output, int32_t size,
                    bool caseless) {
  if (!pattern || !subject || !tmpl) return false;
  OwnedCode code(compile(pattern, caseless, nullptr));
  vor_regmatch m[kEntries];
  if (!code || !run(code.get(), subject, m, kEntries)) return false;
  if (output && size > 0) expand(subject, m, tmpl, output, size);
  return true;
}

}  // namespace

vor_regex* vor_regex_make(const char* pattern) { return make(pattern, false); }

vor_regex* vor_regex_imake(const char* pattern) { return make(pattern, true); }

void vor_regex_free(vor_regex* re) { release(re); }

void vor_regex_ifree(vor_regex* re) { release(re); }

bool vor_regex_match(vor_regex* re, const char* subject) {
  vor_regmatch m[kEntries];
  return re && subject && run(re->code, subject, m, kEntries);
}

bool vor_regex_imatch(vor_regex* re, const char* subject) { return vor_regex_match(re, subject); }

bool vorx_regex_match(vor_regex* re, const char* subject, vor_regmatch* match, int32_t count) {
  if (!re || !subject || !match || count < 0) return false;
  return run(re->code, subject, match, count);
}

bool vorx_regex_imatch(vor_regex* re, const char* subject, vor_regmatch* match, int32_t count) {
  return vorx_regex_match(re, subject, match, count);
}

bool vor_regex_replace_ext(vor_regex* re, const char* subject, int32_t* start, int32_t* end, const char* tmpl,
                           char* output, int32_t size) {
  return re && subject && replace_ext(re, subject, start, end, tmpl, output, size);
}

bool vor_regex_ireplace_ext(vor_regex* re, const char* subject, int32_t* start, int32_t* end, const char* tmpl,
                            char* output, int32_t size) {
  return vor_regex_replace_ext(re, subject, start, end, tmpl, output, size);
}

bool vor_regex_replace(vor_regex* re, const char* subject, const char* tmpl, char* output, int32_t size) {
  return vor_regex_replace_ext(re, subject, nullptr, nullptr, tmpl, output, size);
}

bool vor_regex_ireplace(vor_regex* re, const char* subject, const char* tmpl, char* output, int32_t size) {
  return vor_regex_replace_ext(re, subject, nullptr, nullptr, tmpl, output, size);
}

bool vor_regex_match_simple(const char* pattern, const char* subject) { return match_simple(pattern, subject, false); }

bool vor_regex_match_isimple(const char* pattern, const char* subject) { return match_simple(pattern, subject, true); }

bool vor_regex_replace_simple(const char* pattern, const char* subject, const char* tmpl, char* output,
                              int32_t size) {
  return replace_simple(pattern, subject, tmpl, output, size, false);
}

bool vor_regex_replace_isimple(const char* pattern, const char* subject, const char* tmpl, char* output,
                               int32_t size) {
  return replace_simple(pattern, subject, tmpl, output, size, true);
}

const char* vor_regex_pattern(vor_regex* re) { return re ? re->pattern : nullptr; }
