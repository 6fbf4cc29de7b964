// Ini files: any text saves back byte for byte, and edits the setters accept read back the
// same after the edited text is parsed again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cu_config.h"
#include "cu_malloc.h"

namespace {
constexpr char kUnit[] = "srclib\\tests\\cu_config_fuzz";

using Snapshot = std::map<std::string, std::map<std::string, std::string>>;

Snapshot snapshot(cu_config* cfg) {
  Snapshot out;
  std::vector<std::string> groups;
  const char* g;
  for (bool more = cu_config_GroupGetFirst(cfg, &g); more; more = cu_config_GroupGetNext(cfg, &g)) groups.push_back(g);
  for (const auto& group : groups) {
    auto& keys = out[group];
    const char *k, *v;
    for (bool more = cu_config_KeyGetFirst(cfg, group.c_str(), &k, &v); more; more = cu_config_KeyGetNext(cfg, &k, &v)) {
      keys[k] = v;
    }
  }
  return out;
}

std::string text_of(cu_config* cfg) {
  char* s = cu_config_ToString(cfg);
  if (!s) abort();
  std::string out(s);
  _cu_free(s, kUnit, __LINE__);
  return out;
}

// Small names drawn from the input: mostly ordinary, sometimes hostile.
std::string pick_name(const uint8_t*& p, const uint8_t* end) {
  static const char* const kNames[] = {"g", "h", "k", "x", "", "a b", "[s", "#c", "k=v", "q]", "v\r\nw", " lead", "/n", "\xEF\xBB\xBF"};
  if (p >= end) return "g";
  uint8_t b = *p++;
  return kNames[b % (sizeof kNames / sizeof kNames[0])];
}

void apply_edits(cu_config* cfg, const uint8_t* p, const uint8_t* end) {
  for (int step = 0; step < 8 && p < end; ++step) {
    uint8_t op = *p++ % 5;
    std::string a = pick_name(p, end), b = pick_name(p, end), c = pick_name(p, end);
    switch (op) {
      case 0:
        if (cu_config_SetKey(cfg, a.c_str(), b.c_str(), c.c_str())) {
          const char* got = cu_config_GetKey(cfg, a.c_str(), b.c_str());
          if (!got || c != got) abort();
        }
        break;
      case 1:
        cu_config_UnsetKey(cfg, a.c_str(), b.c_str());
        if (cu_config_IsKeyExist(cfg, a.c_str(), b.c_str())) abort();
        break;
      case 2:
        if (cu_config_SetGroup(cfg, a.c_str()) && !cu_config_IsGroupExist(cfg, a.c_str())) abort();
        break;
      case 3:
        cu_config_UnsetGroup(cfg, a.c_str());
        if (cu_config_IsGroupExist(cfg, a.c_str())) abort();
        break;
      default:
        cu_config_RenameGroup(cfg, a.c_str(), b.c_str());
        break;
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first 16 bytes (if any) steer the edits; the rest is the file text up to a NUL.
  size_t steer = size < 16 ? size : 16;
  std::string text(reinterpret_cast<const char*>(data) + steer, size - steer);
  text = text.substr(0, text.find('\0'));
  cu_config* cfg = cu_config_make1(text.c_str());
  if (!cfg) abort();
  std::string expected = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text;
  if (text_of(cfg) != expected) abort();

  apply_edits(cfg, data, data + steer);
  std::string edited = text_of(cfg);
  // A byte-order mark kept as text (a second one after the skipped first) is skipped again by
  // the next load: such a file cannot read back the same, by the format's own rule.
  if (edited.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    cu_config_free(cfg);
    return 0;
  }
  cu_config* again = cu_config_make1(edited.c_str());
  if (!again) abort();
  if (snapshot(cfg) != snapshot(again)) abort();
  if (text_of(again) != edited) abort();
  cu_config_free(again);
  cu_config_free(cfg);
  return 0;
}
