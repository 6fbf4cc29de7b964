// Cache writers: a response kept on disk is written through the asynchronous file layer while it
// streams to the client, then indexed.
#include <mutex>

#include "reqgate_internal.h"

namespace vor::reqgate {

std::mutex& disk_io_lock() {
  static std::mutex lock;
  return lock;
}

}  // namespace vor::reqgate
