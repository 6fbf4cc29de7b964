// Calls from the request filter into its parts built elsewhere; see seams.cpp.
#pragma once
#include "http_parser.h"
#include "reqgate_internal.h"

namespace vor::reqgate::seams {

// The session cache learns the session values of a session action's response.
void session_learn(CacheDecision& record, http_parser* response);

}  // namespace vor::reqgate::seams
