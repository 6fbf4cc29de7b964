#include "vor_sid.h"

#include <atomic>
#include <cerrno>
#include <unistd.h>

#include "vor_fd_table.h"

namespace vor {
namespace {

// The generation of each descriptor; descriptors beyond the table are kept as raw sids.
using Generations = FdTable<std::atomic<uint32_t>, 12>;

Generations& generations() {
  static Generations* table = new Generations;  // never destroyed: sockets outlive static destructors
  return *table;
}

std::atomic<uint32_t>* slot(int fd, bool create) {
  return create ? generations().ensure(fd) : generations().get(fd);
}

uint32_t generation_of(int64_t sid) { return static_cast<uint32_t>(static_cast<uint64_t>(sid) >> 32); }

// Generations stay within 31 bits (sids are positive) and skip 0, the mark of a raw sid.
uint32_t next_generation(uint32_t g) {
  g = (g + 1) & 0x7fffffffu;
  return g ? g : 1;
}

// Moves the descriptor's generation on: every sid made for it so far is stale.
uint32_t advance(std::atomic<uint32_t>* s) {
  uint32_t old = s->load(std::memory_order_relaxed);
  uint32_t g;
  do {
    g = next_generation(old);
  } while (!s->compare_exchange_weak(old, g, std::memory_order_acq_rel));
  return g;
}
}  // namespace

int64_t sid_make(int fd) {
  if (fd < 0) return -1;
  std::atomic<uint32_t>* s = slot(fd, true);
  if (!s) return fd;
  return static_cast<int64_t>(advance(s)) << 32 | fd;
}

int sid_fd(int64_t sid) { return sid_index(sid); }

bool sid_current(int64_t sid) {
  int fd = sid_fd(sid);
  if (fd < 0) return false;
  uint32_t g = generation_of(sid);
  if (g == 0) return true;
  std::atomic<uint32_t>* s = slot(fd, false);
  return s && s->load(std::memory_order_acquire) == g;
}

int sid_fd_checked(int64_t sid) {
  if (!sid_current(sid)) {
    errno = EBADF;
    return -1;
  }
  return sid_fd(sid);
}

bool sid_close(int64_t sid) {
  int fd = sid_fd(sid);
  uint32_t g = generation_of(sid);
  if (fd < 0) return false;
  // Retire before closing: once the number is free another thread may reuse it.
  std::atomic<uint32_t>* s = slot(fd, false);
  if (g != 0) {
    if (!s || !s->compare_exchange_strong(g, next_generation(g), std::memory_order_acq_rel)) return false;
  } else if (s) {
    advance(s);  // closed by its bare number: the sids made for it are stale as well
  }
  close(fd);
  return true;
}

}  // namespace vor
