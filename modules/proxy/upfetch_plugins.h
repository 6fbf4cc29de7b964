// The plug-in host: libraries listed in ../plugins/plugins.ini, loaded once at init in index
// order, and the walks that call their entry points. No lock is held while a hook runs.
#pragma once
#include "quo_plugin.h"

#include <cstdint>

namespace vor::upfetch::plugins {

// Loads the listed libraries and runs their init entries (once, from the module's init).
void load();
// The exit entries, in load order.
void exit_all();
// 0 when a plug-in refused the connection (the walk stops there).
uint8_t sock_init(int64_t sid, const char* ip);
void sock_exit(int64_t sid);
// 0 when a plug-in took the request over.
uint8_t request_http(int64_t sid, http_parser* request);

// The three response walks for the request filter; NULL when no plug-in exports the entry the
// walk needs.
struct ResponseWalks {
  quo_plugin_response_http_fn head;
  quo_plugin_response_content_fn body;
  quo_plugin_response_content_x_fn body_x;
};
ResponseWalks response_walks();

// Forgets every loaded plug-in (tests load again; libraries stay mapped).
void reset_for_tests();

}  // namespace vor::upfetch::plugins
