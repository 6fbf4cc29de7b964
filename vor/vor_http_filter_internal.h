// Inside vorcore only: what the HTTP client tells its response parser about its requests.
#pragma once
#include "vor_internal.h"
#include "vor_http_filter_response.h"

namespace vor::http_filter {

/* Responses whose head is read from now on answer a request of this method (a HEAD answer has no body). */
void set_request_method(vor_http_filter_response* f, const char* method);

}  // namespace vor::http_filter
