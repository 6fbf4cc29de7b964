// URL patterns as the rules store matches them: a wildcard, a regular expression or an exact text,
// with or without regard to case, that may name the request's own host as "%{HTTP_HOST}".
// One matcher serves the exported URL rule object and every cache family's rules.
#pragma once
#include "cu_pattern.h"
#include "vor_regex.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace policydb::url {

enum Kind : uint8_t { kWildcard = 0, kRegex = 1, kExact = 2 };

// Expansion and template-check buffers hold this many bytes, the terminator included.
constexpr size_t kBufferSize = 4096;
// The host of a URL is cut to this many characters.
constexpr size_t kHostLimit = 200;

// The template with each "%{HTTP_HOST}" replaced by the URL's host, into out (kBufferSize bytes).
// The first piece that does not fit ends the text; out is always terminated. Answers its length.
size_t expand(const char* url, const char* tmpl, char* out);
// The same with the host's regular-expression characters escaped.
size_t expand_regex(const char* url, const char* tmpl, char* out);
// True when the template, each placeholder read as "HOST", compiles as a case-sensitive regex.
bool check_template(const char* tmpl);

// What a pattern was compiled to; a rule with neither object is expanded at each match.
struct Compiled {
  cu_pattern* wildcard = nullptr;
  vor_regex* regex = nullptr;
};

// How a regex text holding "%{" is made: the exported object compiles a placeholder at the start
// in the host-class form; family rules keep every such text a template.
enum class Form : uint8_t { kObject, kFamily };

// Compiles text of the kind into *compiled; false when it does not compile or the kind is unknown
// (an unknown kind of a template text is kept, and matches nothing).
bool compile(const char* text, uint8_t icase, uint8_t kind, Form form, Compiled* compiled);
void release(Compiled* compiled);
// True when the URL matches the pattern; any thread, the compiled objects serialise themselves.
bool matches(const char* text, uint8_t icase, uint8_t kind, const Compiled& compiled, const char* url);

// A family rule's pattern: immutable once made, cheap to copy (the compiled objects are shared).
class Pattern {
 public:
  Pattern() = default;
  // False (nothing kept) when the text does not compile for a family rule.
  bool make(const char* text, uint8_t icase, uint8_t kind);
  bool matches(const char* url) const;
  const std::string& text() const { return text_; }
  uint8_t icase() const { return icase_; }
  uint8_t kind() const { return kind_; }

 private:
  struct Holder {
    Compiled compiled;
    ~Holder() { release(&compiled); }
  };
  std::string text_;
  uint8_t icase_ = 0;
  uint8_t kind_ = 0;
  std::shared_ptr<const Holder> holder_;
};

}  // namespace policydb::url
