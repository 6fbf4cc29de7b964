// Calls from the rules store's core into its parts that are not in this build yet. Each is a
// no-op (or a refusal) until its part replaces the body with the real call.
#include "policydb_internal.h"

namespace policydb::seams {

void restart_stat() {}

}  // namespace policydb::seams
