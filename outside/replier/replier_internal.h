// What the tests reach of replier beyond its C interface.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace replier_internal {
// Connections known (not yet closed or forgotten).
size_t connections();
// Write-readiness events handled so far, all connections together.
uint64_t writable_events();
}  // namespace replier_internal
