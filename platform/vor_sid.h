// Socket ids: a sid carries a descriptor and the generation the descriptor had when our socket
// helpers opened or accepted it (generation << 32 | fd). Closing through sid_close moves the
// generation on, so a late event, timer or delete addressed to a closed connection never
// reaches a new connection that reuses the descriptor. A sid with generation 0 is a raw
// descriptor that was not opened here; it is taken as it is.
#pragma once
#include "vor_internal.h"
#include <stdint.h>

namespace vor {

// A new sid for a descriptor just opened or accepted; -1 for a negative descriptor.
int64_t sid_make(int fd);
// The descriptor of a sid, whatever its generation; -1 for a sid <= 0 or out of range.
int sid_fd(int64_t sid);
// True when the sid still names the descriptor it was made for (raw sids: when non-negative).
bool sid_current(int64_t sid);
// The descriptor of a current sid; -1 (errno EBADF) for a stale or invalid sid.
int sid_fd_checked(int64_t sid);
// Retires a current sid and closes its descriptor; false (nothing closed) for a stale sid. A raw
// sid is closed as it is and retires every sid made for its descriptor.
bool sid_close(int64_t sid);

}  // namespace vor
