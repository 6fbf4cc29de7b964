// Inside vorcore only: what the HTTP client tells its response parser about its requests.
#pragma once
#include "vor_internal.h"
#include "vor_http_filter_response.h"

/* Responses whose head is read from now on answer a request of this method (a HEAD answer has no body). */
void vor_http_filter_response__SetRequestMethod(vor_http_filter_response* f, const char* method);
