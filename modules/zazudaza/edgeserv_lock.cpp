// The client table and the record locks. The table is indexed by descriptor and read without a
// process-wide lock; each entry carries the lock of the record that lives there, so a record is
// looked up, changed and taken out under its own lock only. An entry (and its lock) stays at its
// address for the life of the process, so a look-up never races with a record being freed: the
// sid kept in the entry is compared on every look-up, and a stale sid finds nothing.
//
// Slots, hooks, notices and location look-ups run with no record lock held (depth 0): a close is
// decided under the lock and carried out after it.
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>

#include "edgeserv_internal.h"
#include "vor_fd_table.h"

struct edge::ClientSlot {
  std::recursive_mutex lock;
  std::atomic<client_rec*> rec{nullptr};  // written under the lock; read bare only to skip empties
  int64_t sid = 0;
};

namespace edge {
namespace {

using Table = vor::FdTable<ClientSlot>;

Table& table() {
  static Table* t = new Table;  // never destroyed: slave threads outlive static destructors
  return *t;
}

std::atomic<int32_t> g_count{0};
thread_local int t_depth = 0;

}  // namespace

ClientLock::ClientLock(edgeserv_ctx* ctx, int64_t sid) : sid_(sid) {
  if (ctx) slot_ = table().get(vor::sid_index(sid));
  relock();
}

client_rec* ClientLock::relock() {
  if (!slot_) return nullptr;
  if (!held_) {
    slot_->lock.lock();
    held_ = true;
    ++t_depth;
  }
  rec_ = slot_->sid == sid_ ? slot_->rec.load(std::memory_order_relaxed) : nullptr;
  return rec_;
}

void ClientLock::unlock() {
  if (!held_) return;
  held_ = false;
  rec_ = nullptr;
  --t_depth;
  slot_->lock.unlock();
  if (t_depth == 0) run_deferred_releases();
}

bool insert_client(client_rec* rec) {
  ClientSlot* slot = table().ensure(vor::sid_index(rec->sid));
  if (!slot) return false;
  std::lock_guard<std::recursive_mutex> hold(slot->lock);
  if (!slot->rec.load(std::memory_order_relaxed)) g_count.fetch_add(1, std::memory_order_relaxed);
  slot->sid = rec->sid;
  slot->rec.store(rec, std::memory_order_relaxed);
  return true;
}

void remove_client(ClientLock& held) {
  ClientSlot* slot = held.slot_;
  if (!held.held_ || !held.rec_) return;
  slot->rec.store(nullptr, std::memory_order_relaxed);
  slot->sid = 0;
  held.rec_ = nullptr;
  g_count.fetch_sub(1, std::memory_order_relaxed);
}

int32_t client_count() { return g_count.load(std::memory_order_relaxed); }

void for_each_client(edgeserv_ctx* ctx, const std::function<void(client_rec*)>& visit) {
  if (!ctx) return;
  table().for_each([&](ClientSlot& slot) {
    if (!slot.rec.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::recursive_mutex> hold(slot.lock);
    client_rec* rec = slot.rec.load(std::memory_order_relaxed);
    if (!rec) return;
    ++t_depth;
    visit(rec);
    --t_depth;
  });
  if (t_depth == 0) run_deferred_releases();
}

int lock_depth() { return t_depth; }

void expect_unlocked() {
#ifndef NDEBUG
  if (t_depth != 0) {
    fputs("edgeserv: a slot or callback was about to run with a client record's lock held\n", stderr);
    abort();
  }
#endif
}

}  // namespace edge
