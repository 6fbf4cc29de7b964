// Feeds arbitrary text to the head and form parsers; whatever they accept must be written
// back by the table and parse again to the same entries.
#include "vor_http_table.h"

#include "cu_malloc.h"
#include "vor_fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using vor::test::require;

std::string or_empty(const char* s) { return s ? s : "(null)"; }

std::vector<std::string> entries(vor_http_table* t) {
  std::vector<std::string> out{or_empty(vor_http_table_GetMethod(t)), or_empty(vor_http_table_GetRequest(t)),
                               or_empty(vor_http_table_GetStatus(t))};
  const char *a = nullptr, *b = nullptr, *c = nullptr;
  vor_http_table_RewindField(t);
  while (vor_http_table_GetNextField(t, &a, &b)) out.push_back(std::string(a) + ": " + b);
  vor_http_table_RewindForm(t);
  while (vor_http_table_GetNextForm(t, &a, &b, &c)) out.push_back(std::string(a) + "=" + b + "|" + c);
  return out;
}

void check_head(const std::string& text) {
  vor_http_table* t = vor_http_table_ParseHeaderStr(text.c_str());
  if (!t) return;
  char* written = vor_http_table_GetHeaderStr(t);
  if (written) {
    vor_http_table* again = vor_http_table_ParseHeaderStr(written);
    require(again && entries(again) == entries(t));
    vor_http_table_free(again);
    _cu_free(written, "fuzz", __LINE__);
  }
  vor_http_table* copy = vor_http_table_clone(t);
  require(copy != nullptr);
  vor_http_table_free(copy);
  vor_http_table_free(t);
}

void check_form(const std::string& text) {
  vor_http_table* t = vor_http_table_ParseFormStr(text.c_str());
  if (!t) return;
  char* written = vor_http_table_GetFormStr(t);
  require(written || vor_http_table_GetFormStrLen(t) == 0);
  if (written) {
    require(static_cast<int32_t>(std::strlen(written)) == vor_http_table_GetFormStrLen(t));
    vor_http_table* again = vor_http_table_ParseFormStr(written);
    require(again && entries(again) == entries(t));
    vor_http_table_free(again);
    _cu_free(written, "fuzz", __LINE__);
  }
  vor_http_table_free(t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)quiet;
  if (size == 0 || size > 20000) return 0;
  const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  check_head(text);
  check_form(text);
  return 0;
}
