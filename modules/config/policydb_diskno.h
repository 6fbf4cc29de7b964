// The cache disks (table wc_diskno): folders numbered by the administrator that take the disk
// cache's files, which of them are in use, solid-state or full at the moment, and the round-robin
// choice of a disk for each new cache file.
#pragma once
#include <cstdint>
#include <string>

namespace policydb::diskno {

struct Disk {
  int32_t num = 0;      // the disk number, 0 or more
  int64_t row_num = 0;  // num as the table holds it (a loaded row may hold its negative)
  std::string path;     // as entered, either slash
  int64_t quota = 0;    // stored and kept, not used
  bool used = false;
  bool full = false;  // memory only
  bool ssd = false;
  std::string note;
};

void load();
void reset();

// The clock of the marker file's name (Unix seconds); cu_time unless a test sets one.
extern int64_t (*clock)();

}  // namespace policydb::diskno
