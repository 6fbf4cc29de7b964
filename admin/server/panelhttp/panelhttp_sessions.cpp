// Admin sessions: random ids with an expiry timer on the box of the thread that made them, and
// the HTML escaper. A session record is freed only on its own box's thread, where its timer
// runs, so a timer never fires for a freed record.
#include <string.h>
#include <time.h>

#include <map>
#include <string>

#include "cu_malloc.h"
#include "cu_util.h"
#include "panelhttp_internal.h"

namespace vor::panelhttp {
namespace {

constexpr const char* kSite = "panelhttp\\session";
constexpr uint32_t kDefaultRefresh = 90000000;
constexpr int32_t kIdLength = 64;

// Guarded by the server lock; lives for the process, as the server and its timers do.
std::map<std::string, vuved_session*>& g_sessions = *new std::map<std::string, vuved_session*>;

vuved_session* find_session(const char* id) {
  auto it = g_sessions.find(id);
  return it == g_sessions.end() ? nullptr : it->second;
}

// On the session's own box thread.
void free_session(vuved_session* s) {
  if (s->timer > 0) vor_box_DeleteTimer(s->box, s->timer);
  _cu_free(s->id, kSite, __LINE__);
  _cu_free(s, kSite, __LINE__);
}

char* copy_text(const char* text) {
  const size_t n = strlen(text) + 1;
  auto* copy = static_cast<char*>(_cu_malloc(n, kSite, __LINE__));
  if (copy) memcpy(copy, text, n);
  return copy;
}

void on_expire(void*, void* ud, int32_t, int32_t) {
  auto* s = static_cast<vuved_session*>(ud);
  vuved_expire_fn expire;
  char* id;
  void* words[5];
  {
    ServerLock lock;
    auto it = g_sessions.find(s->id);
    if (it != g_sessions.end() && it->second == s) g_sessions.erase(it);
    expire = s->expire;
    id = copy_text(s->id);
    words[0] = s->user;
    words[1] = s->word1;
    words[2] = s->word2;
    words[3] = s->word3;
    words[4] = s->word4;
  }
  expect_unlocked();
  const uint8_t result = expire && id ? expire(id, words[0], words[1], words[2], words[3], words[4]) : 1;
  _cu_free(id, kSite, __LINE__);
  ServerLock lock;
  if (result != 0) {
    free_session(s);
  } else {
    s->expiry_ms = static_cast<uint64_t>(monotonic_ms()) + s->timeout;  // kept: asked again one period later
  }
}

void on_delete(vor_box* box, const char* id, void*, void*, void*, void*, void*, void*, void*, void*) {
  if (!id) return;
  ServerLock lock;
  vuved_session* s = find_session(id);
  if (!s || s->box != box) return;
  g_sessions.erase(id);
  free_session(s);
}

vor_box* owning_box() {
  vor_box* box = vor_bigbox_InvokeSlaveBox(bigbox());
  return box ? box : vor_bigbox_GetMasterBox(bigbox());
}

}  // namespace

int64_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t session_bytes() {
  ServerLock lock;
  return static_cast<int64_t>(g_sessions.size() * (sizeof(vuved_session) + kIdLength + 1));
}

}  // namespace vor::panelhttp

using namespace vor::panelhttp;

char* panelhttp_GenSession(void) {
  auto* id = static_cast<char*>(_cu_malloc(kIdLength + 1, kSite, __LINE__));
  if (id) cu_RandomStr(id, kIdLength);
  return id;
}

uint8_t panelhttp_AddSession(const char* id, uint32_t timeout, vuved_expire_fn expire, void* user, void* word1,
                             void* word2, void* word3, void* word4) {
  if (!id || timeout == 0 || !ctx()) return 0;
  vor_box* box = owning_box();
  if (!box) return 0;
  ServerLock lock;
  if (find_session(id)) return 0;
  auto* s = static_cast<vuved_session*>(_cu_calloc(1, sizeof(vuved_session), kSite, __LINE__));
  if (!s) return 0;
  s->id = copy_text(id);
  if (!s->id) {
    _cu_free(s, kSite, __LINE__);
    return 0;
  }
  *s = vuved_session{s->id, box, timeout, 0, expire, user, word1, word2, word3, word4,
                     static_cast<uint64_t>(monotonic_ms()) + timeout};
  s->timer = vor_box_NewLoopTimer(box, timeout, on_expire, s);
  if (s->timer <= 0) {
    s->timer = 0;
    free_session(s);
    return 0;
  }
  g_sessions.emplace(s->id, s);
  return 1;
}

vuved_session* panelhttp_CheckSession(const char* id) {
  if (!id) return nullptr;
  ServerLock lock;
  return find_session(id);
}

uint8_t panelhttp_FreshSession(const char* id, uint32_t ms) {
  if (!id) return 0;
  ServerLock lock;
  vuved_session* s = find_session(id);
  if (!s) return 0;
  const uint64_t target = static_cast<uint64_t>(monotonic_ms()) + (ms ? ms : kDefaultRefresh);
  if (target > s->expiry_ms) {
    // The timer moves by the difference, so the session lives ms past its last use, not the
    // sum of every refresh.
    if (s->timer > 0) vor_box_RefreshTimeout(s->box, s->timer, static_cast<uint32_t>(target - s->expiry_ms));
    s->expiry_ms = target;
  }
  return 1;
}

void panelhttp_DelSession(const char* id) {
  if (!id) return;
  ServerLock lock;
  vuved_session* s = find_session(id);
  if (s) vor_box_AddInEvent(s->box, id, on_delete, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

uint32_t panelhttp_NumOfSessions(void) {
  if (!ctx()) return 0;
  ServerLock lock;
  return static_cast<uint32_t>(g_sessions.size());
}

char* text_to_html(const char* text) {
  if (!text) return nullptr;
  std::string out;
  out.reserve(strlen(text) + 16);
  for (const char* p = text; *p; ++p) {
    switch (*p) {
      case '\t': out += "&nbsp;&nbsp;&nbsp;&nbsp;"; break;
      case '\n':
      case '\r': out += "<br>"; break;
      case ' ': out += "&nbsp;"; break;
      case '"': out += "&quot;"; break;
      case '&': out += "&amp;"; break;
      case '\'': out += "&#39;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += *p;
    }
  }
  auto* result = static_cast<char*>(_cu_malloc(out.size() + 1, kSite, __LINE__));
  if (result) memcpy(result, out.c_str(), out.size() + 1);
  return result;
}
