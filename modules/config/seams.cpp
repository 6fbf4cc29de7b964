// Calls from the rules store's core into its parts that are not in this build yet. Each is a
// no-op (or a refusal) until its part replaces the body with the real call.
#include "policydb_internal.h"

namespace policydb::seams {

void restart_stat() {}

namespace {

// No TLS context can be built yet: every builder refuses as for unreadable extra parameters.
void* no_context(const char*, const char*, const char*, int32_t* error) {
  if (error) *error = -1;
  return nullptr;
}
void free_nothing(void*) {}

}  // namespace

TlsBuilders& tls() {
  static TlsBuilders builders{no_context, free_nothing, no_context, free_nothing};
  return builders;
}

void register_ctx_reset() {}

}  // namespace policydb::seams
