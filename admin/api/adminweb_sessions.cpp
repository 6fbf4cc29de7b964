// Login, keep-alive, logout and password change; the login record of each admin session, the
// session check of every other command and the admin credential cache.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <string>

#include "adminweb_commands.h"
#include "adminweb_internal.h"
#include "cu_lib.h"
#include "cu_malloc.h"
#include "cu_md5.h"
#include "cu_util.h"
#include "cu_xmem.h"
#include "edgeserv.h"
#include "policydb.h"
#include "vor_kit.h"

namespace vor::adminweb {
namespace {

constexpr uint32_t kMaxSessions = 10000;
constexpr size_t kMaxPassword = 64;
constexpr size_t kMinChosenId = 32, kMaxChosenId = 64;
constexpr char kKeeperFactoryPassword[] = "580217";
constexpr const char* kSite = "adminweb\\session";

cu_xmem* g_pool = nullptr;
// The MD5 text of the admin's password; written only under wc_sqlite_lock.
std::string g_admin_md5;
bool g_admin_md5_loaded = false;

class ServerLock {
 public:
  ServerLock() { cu_sem_lock(&state().ctx->lock); }
  ~ServerLock() { cu_sem_unlock(&state().ctx->lock); }
  ServerLock(const ServerLock&) = delete;
  ServerLock& operator=(const ServerLock&) = delete;
};

}  // namespace

void free_login(AdminLogin* login) {
  if (login) cu_xmem_free(g_pool, login);
}

AdminLogin* make_login(const char* user, const char* id) {
  const size_t user_len = strlen(user) + 1, id_len = strlen(id) + 1;
  auto* login = static_cast<AdminLogin*>(cu_xmem_malloc(g_pool, sizeof(AdminLogin) + user_len + id_len));
  if (!login) return nullptr;
  login->user = reinterpret_cast<char*>(login + 1);
  login->id = login->user + user_len;
  memcpy(login->user, user, user_len);
  memcpy(login->id, id, id_len);
  login->login_time = edgeserv_mytime();
  return login;
}

uint8_t session_expired(const char* id, void* user, void*, void*, void*, void*) {
  // A logout cleared the word before this timer fired: the logout freed the record.
  auto* login = static_cast<AdminLogin*>(user);
  if (!login) return 1;
  if (state().display) {
    vor::console_line("[vuved -> session -> expire] %s: %s\r\n", login->user, id);
  }
  free_login(login);
  return 1;
}

namespace {

void sign_out(const char* id) {
  ServerLock lock;
  vuved_session* s = panelhttp_CheckSession(id);
  if (!s) return;
  free_login(static_cast<AdminLogin*>(s->user));
  s->user = nullptr;
  panelhttp_DelSession(id);
}

// A chosen id is kept only when it is as hard to guess as a generated one.
bool strong_id(const char* id) {
  const size_t len = strlen(id);
  if (len < kMinChosenId || len > kMaxChosenId) return false;
  for (const char* p = id; *p; ++p) {
    const char c = *p;
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

std::string md5_hex(const char* text) {
  char out[33] = "";
  cu_md5_encode(out, text);
  return out;
}

uint32_t login_error(const Request& r, const char* user, const char* password, std::string* id_out,
                     std::string* last_login) {
  DbLock db;
  const Escaped name(user), md5(md5_hex(password).c_str());
  SqlResult found(vor_sqlite_ExecExt(state().db,
                                     "select username, password, lastlogtime from wc_user where username='%s' and "
                                     "password='%s' limit 1",
                                     name.get(), md5.get()));
  if (!found) {
    report_db_error("[vuved -> zazudaza] read 'wc_user' table error!\r\n");
    return 10;
  }
  const char* last = nullptr;
  if (vor_sqlite_result_GetNumRows(found.get()) < 1 || !vor_sqlite_result_GetValue(found.get(), 2, 0, &last)) {
    return 20;
  }
  if (panelhttp_NumOfSessions() > kMaxSessions) return 10;
  *last_login = local_date(cu_strtoll(last ? last : "0", nullptr, 10));
  found.reset();
  SqlResult updated(vor_sqlite_ExecExt(state().db,
                                       "update wc_user set lastlogtime=%u where username='%s' and password='%s'",
                                       static_cast<uint32_t>(cu_time()), name.get(), md5.get()));
  if (!updated) {
    report_db_error("[vuved -> zazudaza] update 'wc_user' table error!\r\n",
                    "[vuved -> zazudaza] read 'wc_user' update error!\r\n");
    return 10;
  }
  const char* chosen = param(r, "SessionID");
  if (chosen && strong_id(chosen)) {
    *id_out = chosen;
  } else {
    char* generated = panelhttp_GenSession();
    if (!generated) return 10;
    *id_out = generated;
    _cu_free(generated, kSite, __LINE__);
  }
  AdminLogin* login = make_login(user, id_out->c_str());
  if (!login) return 10;
  if (!panelhttp_AddSession(id_out->c_str(), kSessionMs, session_expired, login, nullptr, nullptr, nullptr,
                            nullptr)) {
    free_login(login);
    return 10;
  }
  return 0;
}

void sign_in(const Request& r) {
  const char* user = param(r, "Username");
  const char* password = param(r, "Password");
  if (!user || !password) return reply_error(r.sid, r.params, 23);
  const bool keeper = strcasecmp(user, "keeper") == 0;
  if (!keeper && strcasecmp(user, "admin") != 0) return reply_error(r.sid, r.params, 20);
  if (keeper && strcasecmp(password, kKeeperFactoryPassword) == 0) return reply_error(r.sid, r.params, 20);
  std::string id, last_login;
  if (const uint32_t error = login_error(r, user, password, &id, &last_login)) {
    return reply_error(r.sid, r.params, error);
  }
  Body body(r.params, true);
  const std::string version = std::string("Quorin/Zazudaza/") + edgeserv_VersionString();
  body.text("SessionID", id.c_str()).text("UserType", user).text("Version", version.c_str());
  // Consoles compare this member byte for byte, slash unescaped and without indentation.
  body.raw_line("\"VersionExt\":\"Windows/64Bits\"").text("LastLoginTime", last_login.c_str());
  reply_text(r.sid, body.finish());
}

void sign_alive(const Request& r) {
  const char* id = param(r, "SessionID");
  if (!id) return reply_error(r.sid, r.params, 23);
  if (session_role(id) < 0) return reply_error(r.sid, r.params, 21);
  panelhttp_FreshSession(id, kSessionMs);
  reply_true(r.sid, r.params);
}

void sign_out_command(const Request& r) {
  const char* id = param(r, "SessionID");
  if (!id) return reply_error(r.sid, r.params, 23);
  sign_out(id);
  reply_true(r.sid, r.params);
}

void user_passwd(const Request& r) {
  // The keeper's session is refreshed before its refusal.
  if (const uint32_t error = check_session(r, Access::kRead)) return reply_error(r.sid, r.params, error);
  if (session_role(param(r, "SessionID")) == 1) return reply_error(r.sid, r.params, 22);
  const char* user = param(r, "Username");
  const char* password = param(r, "Password");
  if (!user || (strcmp(user, "admin") != 0 && strcmp(user, "keeper") != 0)) return reply_error(r.sid, r.params, 23);
  if (!password || strlen(password) > kMaxPassword) return reply_error(r.sid, r.params, 23);
  DbLock db;
  const std::string md5 = md5_hex(password);
  const Escaped md5_text(md5.c_str()), name(user);
  SqlResult updated(vor_sqlite_ExecExt(state().db, "update wc_user set password='%s' where username='%s'",
                                       md5_text.get(), name.get()));
  if (!updated) {
    report_db_error("[vuved -> zazudaza] update 'wc_user' table error!\r\n");
    return reply_error(r.sid, r.params, 10);
  }
  if (strcmp(user, "admin") == 0) {
    g_admin_md5 = md5;
    g_admin_md5_loaded = true;
  }
  reply_true(r.sid, r.params);
}

constexpr Command kSign[] = {{"in", sign_in, 0}, {"alive", sign_alive, 0}, {"out", sign_out_command, 0}};
constexpr Command kUser[] = {{"passwd", user_passwd, 0}};

}  // namespace

std::span<const Command> sign_commands() { return kSign; }
std::span<const Command> user_commands() { return kUser; }

bool make_session_pool() {
  cu_sem* lock = cu_sem_malloc();
  g_pool = lock ? cu_xmem_init_ext(lock, 8192, 1024, 65, nullptr, nullptr, nullptr) : nullptr;
  return g_pool != nullptr;
}

int32_t session_role(const char* id) {
  if (!id) return -1;
  ServerLock lock;
  vuved_session* s = panelhttp_CheckSession(id);
  const auto* login = s ? static_cast<const AdminLogin*>(s->user) : nullptr;
  if (!login) return -1;
  if (strcmp(login->user, "admin") == 0) return 0;
  if (strcmp(login->user, "keeper") == 0) return 1;
  return -1;
}

uint32_t check_session(const Request& r, Access access) {
  const char* id = param(r, "SessionID");
  if (!id) return 23;
  const int32_t role = session_role(id);
  if (role < 0) return 21;
  if (access == Access::kChange && role == 1) return 22;
  panelhttp_FreshSession(id, kSessionMs);
  return 0;
}

bool admin_password_matches(const char* password) {
  DbLock db;
  if (!g_admin_md5_loaded) {
    SqlResult row(vor_sqlite_exec(state().db, "select username, password from wc_user where username='admin' limit 1"));
    const char* md5 = nullptr;
    if (row && vor_sqlite_result_GetValue(row.get(), 1, 0, &md5) && md5) {
      g_admin_md5.assign(md5, strnlen(md5, 64));
      g_admin_md5_loaded = true;
    }
  }
  if (!g_admin_md5_loaded) return false;
  return strcasecmp(md5_hex(password).c_str(), g_admin_md5.c_str()) == 0 ||
         strcasecmp(password, g_admin_md5.c_str()) == 0;
}

}  // namespace vor::adminweb
