// The pipe's look-up tables: sid -> pipe in shards, so threads serving different pipes do not
// queue on one lock to find them.
#include <new>

#include "conduit_internal.h"

namespace vor::conduit {

PipeTable::Shard& PipeTable::shard_of(int64_t sid) {
  // Sids differ mostly in their low bits (the descriptor): mix them all into the shard number.
  const uint64_t mixed = static_cast<uint64_t>(sid) * 0x9E3779B97F4A7C15ull;
  return shards_[mixed >> 58];
}

bool PipeTable::put(int64_t sid, Pipe* pipe) {
  Shard& shard = shard_of(sid);
  std::lock_guard<std::mutex> hold(shard.lock);
  try {
    if (shard.pipes.insert_or_assign(sid, pipe).second) size_.fetch_add(1, std::memory_order_relaxed);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void PipeTable::remove(int64_t sid, const Pipe* pipe) {
  Shard& shard = shard_of(sid);
  std::lock_guard<std::mutex> hold(shard.lock);
  const auto it = shard.pipes.find(sid);
  if (it == shard.pipes.end() || it->second != pipe) return;
  shard.pipes.erase(it);
  size_.fetch_sub(1, std::memory_order_relaxed);
}

Pipe* PipeTable::find(int64_t sid) {
  Shard& shard = shard_of(sid);
  std::lock_guard<std::mutex> hold(shard.lock);
  const auto it = shard.pipes.find(sid);
  if (it == shard.pipes.end()) return nullptr;
  it->second->refs.fetch_add(1, std::memory_order_relaxed);
  return it->second;
}

}  // namespace vor::conduit
