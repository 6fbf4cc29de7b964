#include "cu_pool_failure.h"

#include <cstdio>
#include <cstdlib>

#include "cu_log.h"

void cu_pool__init_failed(const char* line) {
  fputs(line, stdout);
  fflush(stdout);
  __cu_system_log("xmem.log", "%s", line);
  exit(-1);
}
