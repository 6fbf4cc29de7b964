// The accept slot: connection limits, socket buffers and the request time-out.
#include <algorithm>
#include <limits>

#include "upfetch_internal.h"

namespace vor::upfetch {
namespace {

constexpr int32_t kFewConnections = 1000;
constexpr int32_t kSomeConnections = 2000;
constexpr int32_t kFewSendBuffer = 65536;
constexpr int32_t kSomeSendBuffer = 32768;

int32_t as_buffer_size(uint32_t bytes) {
  return static_cast<int32_t>(std::min<uint32_t>(bytes, std::numeric_limits<int32_t>::max()));
}

// Fewer connections can each have more of the machine's socket memory.
int32_t send_buffer_for(int32_t connections, uint32_t max_send) {
  if (connections <= kFewConnections) return kFewSendBuffer;
  if (connections <= kSomeConnections) return kSomeSendBuffer;
  return as_buffer_size(max_send);
}

}  // namespace

uint8_t accept_connection(const AcceptCalls& calls, int64_t sid) {
  // The count includes this connection.
  const int32_t n = calls.connections();
  if (n >= 0 && static_cast<uint32_t>(n) >= calls.max_connections()) {
    calls.refuse_503(sid, "Service Temporarily Unavailable - Reach To Maximum Quorin Connections Setting");
    return 1;
  }
  if (n >= kMemoryLimitConnections) {
    calls.refuse_503(sid, "Service Temporarily Unavailable - Memory Is Not Enough For This Request");
    return 1;
  }
  calls.set_recv_buffer(sid, as_buffer_size(calls.max_recv_buffer()));
  calls.set_send_buffer(sid, send_buffer_for(n, calls.max_send_buffer()));
  const uint64_t timeout_ms = static_cast<uint64_t>(calls.request_timeout_s()) * 1000;
  if (timeout_ms == 0) return 1;
  // A delayed close counting from the accept; the first output to the client cancels it.
  calls.close_later(sid, static_cast<uint32_t>(std::min<uint64_t>(timeout_ms, std::numeric_limits<uint32_t>::max())));
  return 1;
}

}  // namespace vor::upfetch
