// The command table: type, its commands in test order, their handlers and close delays, and the
// one driver that picks a row, runs it and queues the close.
#include <string.h>

#include "adminweb_commands.h"
#include "adminweb_internal.h"
#include "seams.h"

namespace vor::adminweb {
namespace {

void close_after(int64_t sid, int32_t delay) { seams::calls().close(sid, delay); }

const Command* find_command(const Family& family, const char* cmd) {
  for (const Command& c : family.commands) {
    if (strcmp(c.cmd, cmd) == 0) return &c;
  }
  return nullptr;
}

}  // namespace

std::span<const Family> families() {
  static const Family kFamilies[] = {
      {"sign", sign_commands(), kDelay},           {"user", user_commands(), kDelay},
      {"scache", scache_commands(), kDelay},       {"fcache", fcache_commands(), kDelay},
      {"icache", icache_commands(), kDelay},       {"rcache", rcache_commands(), kDelay},
      {"thiscache", thiscache_commands(), kDelay}, {"allcache", allcache_commands(), 100},
      {"protect", protect_commands(), kDelay},     {"permit", permit_commands(), kDelay},
      {"rewrite", rewrite_commands(), kDelay},     {"black", black_commands(), kDelay},
      {"white", white_commands(), kDelay},
  };
  return kFamilies;
}

const Family* find_family(const char* type) {
  for (const Family& f : families()) {
    if (strcmp(f.type, type) == 0) return &f;
  }
  return nullptr;
}

void dispatch(int64_t sid, vor_http_table* request, vor_http_table* params, RTParser* parser) {
  vor_http_table* query = RTParser_GetRequestQuery(parser);
  const char* type = vor_http_table_GetFormRaw(query, "type");
  const char* cmd = vor_http_table_GetFormRaw(query, "cmd");
  if (!type || !cmd) {
    reply_error(sid, params, 23);
    close_after(sid, 0);
    return;
  }
  const Family* family = find_family(type);
  if (!family) {
    reply_error(sid, params, 11);
    close_after(sid, 0);
    return;
  }
  const Command* command = find_command(*family, cmd);
  if (!command) {
    reply_error(sid, params, 11);
    close_after(sid, family->delay);
    return;
  }
  command->run(Request{sid, params, request});
  close_after(sid, command->delay ? command->delay : family->delay);
}

}  // namespace vor::adminweb
