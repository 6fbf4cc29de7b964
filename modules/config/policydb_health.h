// The health checks' calls into the box layer and a look at their index, for the tests: they
// put their own calls in to make one fail or to see what a check asked for.
#pragma once
#include <cstdint>

#include "vor_box.h"

namespace policydb::health {

struct BoxCalls {
  vor_box* (*thread_box)();
  int32_t (*once_timer)(vor_box* box, uint32_t ms, cu_box_timer_fn fn, void* ud);
  int32_t (*loop_timer)(vor_box* box, uint32_t ms, cu_box_timer_fn fn, void* ud);
  int64_t (*tcp_client)(vor_box* box, const char* host, uint16_t port, cu_box_sock_fn on_connected, void* ud_connected,
                        cu_box_sock_fn on_failed, void* ud_failed, cu_box_read_fn on_read, void* ud_read,
                        cu_box_sock_fn on_close, void* ud_close);
};
// Read by the check thread while a check runs: changed only while none runs.
BoxCalls& box_calls();

// True while a check of the upstream runs.
bool checking(uint32_t wid, uint32_t upstreamid);

}  // namespace policydb::health
