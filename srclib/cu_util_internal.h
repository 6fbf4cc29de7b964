// Helpers of the utility unit that tests and other units of the library reach (not exported).
#pragma once
#include "vor_internal.h"
#include <stdint.h>

#include <optional>
#include <string>

namespace cu_internal {

// The smallest cgroup v2 memory.max on the way from the process's cgroup (the "0::" line of
// proc_cgroup) up to the root of the hierarchy mounted at cgroup_root; none when no limit is set.
std::optional<uint64_t> cgroup_memory_limit(const std::string& proc_cgroup, const std::string& cgroup_root);

}  // namespace cu_internal
