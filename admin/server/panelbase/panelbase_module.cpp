// The static-file module's descriptor and its init, exit, accept and close steps.
#include <stdio.h>

#include "panelbase_internal.h"

namespace {

// An idle connection goes after 15 s; any output takes that close back.
constexpr int32_t kIdleClose = 15000;

void say(const char* line) {
  fputs(line, stdout);
  fflush(stdout);
}

uint8_t panelbase_init(panelhttp_ctx*) {
  say("[vuved -> genernal] module init!\n");
  return 1;
}

void panelbase_exit(panelhttp_ctx*) { say("[vuved -> genernal] module exit!\n"); }

uint8_t panelbase_on_accept(panelhttp_ctx*, int64_t sid, const char*, uint16_t) {
  panelhttp_close(sid, kIdleClose);
  return 1;
}

void panelbase_on_close(panelhttp_ctx*, int64_t) {}

uint8_t panelbase_on_request(panelhttp_ctx*, int64_t sid, vor_http_table* request, vor_http_table*,
                             RTParser* parser) {
  return vor::panelbase::answer(sid, request, parser);
}

}  // namespace

vuved_module_desc genernal = {342,           nullptr,        nullptr,           nullptr,           panelbase_init,
                              panelbase_exit, panelbase_on_accept, panelbase_on_close, panelbase_on_request};
