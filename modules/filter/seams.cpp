// Calls from the request filter into its parts not in this build yet. Each does nothing (or
// answers as with nothing stored) until its part replaces the body: the session cache, the
// memory store, the disk cache and the access log.
#include "seams.h"

namespace vor::reqgate::seams {

void session_learn(CacheDecision&, http_parser*) {}
bool is_member(http_parser*) { return false; }
void strip_session_cookies(http_parser*) {}
void memory_store(FilterRecord&) {}

}  // namespace vor::reqgate::seams
