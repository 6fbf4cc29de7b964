// Calls from the request filter into its parts built elsewhere; see seams.cpp.
#pragma once
#include "http_parser.h"
#include "reqgate_internal.h"

namespace vor::reqgate::seams {

// The session cache learns the session values of a session action's response.
void session_learn(CacheDecision& record, http_parser* response);
// Whether the request carries a session the session cache learned.
bool is_member(http_parser* request);
// Removes the session cookies from a request.
void strip_session_cookies(http_parser* request);
// Stores a finished response in the memory cache (the body copy is dropped until then).
void memory_store(FilterRecord& record);

}  // namespace vor::reqgate::seams
