// Internal to vorcore: the scoped cu_sem lock under its older name, kept only until the
// allocator's sources use vor::SemLock (vor_kit.h) directly; new code uses vor::SemLock.
#pragma once
#include "vor_internal.h"
#include "vor_kit.h"

namespace cu_internal {
using SemHold = vor::SemLock;
}  // namespace cu_internal
