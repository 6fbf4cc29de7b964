// The admin API's descriptor and its init, exit, accept, close and request steps.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "adminweb.h"
#include "adminweb_internal.h"
#include "cu_log.h"
#include "cu_lib.h"
#include "cu_malloc.h"
#include "cu_util.h"
#include "policydb.h"
#include "seams.h"
#include "vor_kit.h"

namespace vor::adminweb {
namespace {

// panelhttp hands on only this much of a body: a longer form would lose its tail unseen.
constexpr int64_t kFormLimit = 16384;

void say(const char* line) { vor::console_line("%s", line); }

// 1 when display_console reads as the number 1 or is absent.
uint8_t display_flag(cu_config* settings) {
  const char* v = settings ? cu_config_GetKey(settings, "system", "display_console") : nullptr;
  return !v || number(v) == 1 ? 1 : 0;
}

uint8_t adminweb_init(panelhttp_ctx* ctx) {
  say("[vuved -> zazudaza] module init!\r\n");
  State& s = state();
  s.ctx = ctx;
  s.display = display_flag(ctx ? ctx->settings : nullptr);
  if (!make_session_pool()) {
    constexpr char kLine[] =
        "vuved -> zazudaza -> adminweb__xmem -> ____session__xmem_init() -> cu_xmem_init_ext(session struct) -> "
        "return NULL -> exit!\r\n";
    say(kLine);
    if (ctx && ctx->log) cu_log_error(ctx->log, "%s", kLine);
    exit(-1);
  }
  s.db = wc_sqlite_GetHandle();
  s.start_time = cu_time();
  return 1;
}

void adminweb_exit(panelhttp_ctx*) { say("[vuved -> zazudaza] module exit!\r\n"); }

uint8_t adminweb_on_accept(panelhttp_ctx*, int64_t, const char*, uint16_t) { return 1; }

void adminweb_on_close(panelhttp_ctx*, int64_t sid) {
  seams::rtp_delete(sid);
  seams::rtdiskcache_delete(sid);
}

void dump(vor_http_table* request, vor_http_table* form) {
  char* head = vor_http_table_GetHeaderStr(request);
  char* text = form ? vor_http_table_GetFormStr(form) : nullptr;
  say(masked_dump(head, text).c_str());
  if (head) _cu_free(head, "adminweb\\dump", __LINE__);
  if (text) _cu_free(text, "adminweb\\dump", __LINE__);
}

bool form_too_long(vor_http_table* request) {
  const char* length = vor_http_table_GetField(request, "Content-Length");
  return length && cu_strtoll(length, nullptr, 10) > kFormLimit;
}

// The parameter table of the method, or NULL when the request cannot carry one.
vor_http_table* parameters(vor_http_table* request, vor_http_table* form, RTParser* parser) {
  const char* method = vor_http_table_GetMethod(request);
  if (method && strcasecmp(method, "GET") == 0) return RTParser_GetRequestQuery(parser);
  if (method && strcasecmp(method, "POST") == 0 && !form_too_long(request)) return form;
  return nullptr;
}

uint8_t adminweb_on_request(panelhttp_ctx*, int64_t sid, vor_http_table* request, vor_http_table* form,
                            RTParser* parser) {
  if (state().display) dump(request, form);
  vor_http_table* params = parameters(request, form, parser);
  if (!params) {
    reply_error(sid, nullptr, 23);
    seams::calls().close(sid, 0);
    return 0;
  }
  if (!state().db) {
    reply_error(sid, params, 10);
    seams::calls().close(sid, 0);
    return 0;
  }
  dispatch(sid, request, params, parser);
  return 0;
}

}  // namespace

State& state() {
  static State s;
  return s;
}

}  // namespace vor::adminweb

using namespace vor::adminweb;

vuved_module_desc zazudaza = {342,           "/quorin/zazudaza.quo", nullptr,           nullptr,
                                      adminweb_init, adminweb_exit,          adminweb_on_accept, adminweb_on_close,
                                      adminweb_on_request};
