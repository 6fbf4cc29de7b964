// Calls from the request filter into its parts not in this build yet. Each does nothing (or
// answers as with nothing stored) until its part replaces the body: the session cache, the
// memory store, the disk cache and the access log.
#include "seams.h"

namespace vor::reqgate::seams {

void session_learn(CacheDecision&, http_parser*) {}

}  // namespace vor::reqgate::seams
