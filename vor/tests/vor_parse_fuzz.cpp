// Feeds arbitrary bytes to the command-packet parser, then edits whatever it accepted and
// checks that the packet text stays parseable and in bounds.
#include "vor_parse.h"
#include "vor_fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Owned {
  vor_proto* p = vor_proto_new();
  ~Owned() { vor_proto_free(p); }
};

using vor::test::require;

using Params = std::vector<std::pair<std::string, std::string>>;

Params params_of(vor_proto* p) {
  Params out;
  char *name = nullptr, *content = nullptr;
  int32_t name_len = 0, content_len = 0;
  for (bool ok = vorx_proto_GetFirst(p, &name, &name_len, &content, &content_len); ok;
       ok = vorx_proto_GetNext(p, &name, &name_len, &content, &content_len)) {
    out.emplace_back(std::string(name, static_cast<size_t>(name_len)), std::string(content, static_cast<size_t>(content_len)));
  }
  return out;
}

// The packet text of p must parse again; answers the parameters it holds.
Params reparse(vor_proto* p, vor_proto* q) {
  char* text = nullptr;
  int32_t len = 0;
  require(vor_proto_GetPacket(p, &text, &len));
  require(len >= 1 && len <= 10240 && text[len - 1] == '\0');
  require(vor_proto_ParsePacket(q, text, len));
  return params_of(q);
}

bool is_prefix(const Params& a, const Params& b) {
  return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

void exercise(const char* text, int32_t len, const std::string& edit) {
  Owned p, q;
  const bool parsed = vor_proto_ParsePacket(p.p, text, len);
  require(parsed == vor_proto_CheckPacket(nullptr, text, len));
  if (!parsed) return;
  const Params all = params_of(p.p);
  require(is_prefix(reparse(p.p, q.p), all));
  vor_proto* clone = vor_proto_clone(p.p);
  require(clone && params_of(clone) == all);
  vor_proto_free(clone);
  for (size_t i = 0; i < all.size(); ++i) {
    const std::string& name = all[i].first;
    if (vor_proto_ModifyPara(p.p, name.c_str(), edit.c_str())) reparse(p.p, q.p);
    if (i % 2 && vor_proto_DeletePara(p.p, name.c_str())) reparse(p.p, q.p);
  }
  if (vor_proto_PackPara(p.p, "zz_added", edit.c_str())) reparse(p.p, q.p);
  if (vor_proto_ModifyCmd(p.p, "changed_command")) reparse(p.p, q.p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)quiet;
  if (size == 0 || size > 12000) return 0;
  const auto* text = reinterpret_cast<const char*>(data);
  const std::string edit(text, strnlen(text, size < 40 ? size : 40));
  exercise(text, static_cast<int32_t>(size), edit);
  std::string terminated(text, size);  // most inputs lack the final NUL
  terminated.push_back('\0');
  exercise(terminated.data(), static_cast<int32_t>(terminated.size()), edit);
  return 0;
}
