// What the tests reach of nameres beyond its C interface.
#pragma once

namespace nameres_internal {
// Fails every look-up waiting or queued, empties the cache, restores the default settings and
// rebuilds the channel; returns once the resolver thread has done it. Not for the resolver thread.
void reset();
// True on the resolver thread.
bool on_resolver_thread();
// Look-ups accepted whose callback has not run yet.
size_t waiting();
}  // namespace nameres_internal
