// C++ only: a table indexed by descriptor, grown in chunks made on demand: descriptors are
// dense small numbers, and a table must reach as far as RLIMIT_NOFILE allows without a fixed
// cap or a full-size allocation up front. Header-only, so modules use it without an export.
//
// Thread rules: get and ensure may be called from any thread at any time; an entry, once made,
// stays at its address until the table is destroyed (nothing is moved or freed while it lives),
// so a pointer from get or ensure may be kept. What an entry holds is guarded by the user
// (atomics, or a lock of the user's). for_each, like destruction, sees every chunk made so far;
// destruction must not race with any other use.
#pragma once
#include "vor_cxx_only.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

namespace vor {

// The entry index of a socket id: its descriptor (the low bits; the generation sits above bit
// 32, see vor_sid.h); -1 for a sid <= 0. A table keyed so keeps the whole sid in its entry and
// compares it on every look-up, so a stale sid never reaches the descriptor's next connection.
inline int sid_index(int64_t sid) { return sid > 0 ? static_cast<int>(sid & 0x7fffffff) : -1; }

template <class T, int ChunkBits = 10>
class FdTable {
 public:
  // Descriptors from 0 up to this (exclusive) have a place; larger ones have none.
  static constexpr int kLimit = 1 << 24;

  FdTable() = default;
  ~FdTable() {
    for (auto& entry : chunks_) delete entry.load(std::memory_order_relaxed);
  }
  FdTable(const FdTable&) = delete;
  FdTable& operator=(const FdTable&) = delete;

  // The entry of fd when its chunk has been made; NULL otherwise or out of range.
  T* get(int fd) const {
    if (fd < 0 || fd >= kLimit) return nullptr;
    Chunk* chunk = chunks_[fd >> ChunkBits].load(std::memory_order_acquire);
    return chunk ? &chunk->entries[fd & kMask] : nullptr;
  }

  // The entry of fd, making its chunk (entries value-initialised) when missing; NULL out of
  // range or without memory.
  T* ensure(int fd) {
    if (T* entry = get(fd)) return entry;
    if (fd < 0 || fd >= kLimit) return nullptr;
    std::atomic<Chunk*>& slot = chunks_[fd >> ChunkBits];
    std::lock_guard<std::mutex> guard(grow_);
    Chunk* chunk = slot.load(std::memory_order_acquire);
    if (!chunk) {
      chunk = new (std::nothrow) Chunk();
      if (!chunk) return nullptr;
      slot.store(chunk, std::memory_order_release);
    }
    return &chunk->entries[fd & kMask];
  }

  // Calls fn(T&) on every entry of every chunk made so far, in descriptor order.
  template <class Fn>
  void for_each(Fn&& fn) {
    for (auto& slot : chunks_) {
      Chunk* chunk = slot.load(std::memory_order_acquire);
      if (!chunk) continue;
      for (T& entry : chunk->entries) fn(entry);
    }
  }

 private:
  static constexpr int kChunkSize = 1 << ChunkBits;
  static constexpr int kMask = kChunkSize - 1;
  static_assert(ChunkBits > 0 && ChunkBits < 24);
  struct Chunk {
    T entries[kChunkSize];
  };
  std::atomic<Chunk*> chunks_[kLimit >> ChunkBits] = {};
  std::mutex grow_;
};

}  // namespace vor
