// Helpers of the file unit that other units of the library share (not exported).
#pragma once
#include "vor_internal.h"
#include <string>
#include <string_view>

namespace cu_internal {

// Replaces the file at path with text: a hidden temporary file beside it is written, synced and
// renamed over it, so readers see the old file or the new one and any failure leaves the old one
// as it was. A symbolic link stays a link (the file it names is replaced); a replaced file keeps
// its mode, a new one gets 0644. Answers 0 or the errno of the step that failed.
int replace_file(const std::string& path, std::string_view text);

}  // namespace cu_internal
