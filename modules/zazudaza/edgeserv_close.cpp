// The ends of a client connection. Each runs the on_close walk once, without a record lock,
// on the connection's slave thread, and then takes the record out of the table and frees it
// (which deletes its timers and closes its socket). A force close from any thread only stops
// the socket's interest and arms a 1 ms timer on the slave box, which does the rest there.
#include <stdio.h>

#include <atomic>
#include <string>

#include "edgeserv_internal.h"
#include "vor_box.h"

namespace edge {
namespace {

vor_bigbox* bigbox_of(edgeserv_ctx* ctx) { return ctx && ctx->daemon ? ctx->daemon->bigbox : nullptr; }

// The last step of every end: out of the table and freed, when still there.
void remove_and_free(edgeserv_ctx* ctx, int64_t sid) {
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec) return;
  remove_client(lock);
  client_free(ctx, rec);
}

constexpr int32_t kClosing = -1;

void arm_force_timer(vor_box* box, client_rec* rec, int64_t sid) {
  const int32_t id = vor_box_NewOnceTimer(box, 1, close_timer, sid_to_ud(sid));
  rec->force_timer = id > 0 ? id : 0;
}

}  // namespace

void close_now(edgeserv_ctx* ctx, int64_t sid) {
  {
    // Without close_notify a close-delimited HTTPS answer reads as cut short.
    ClientLock lock(ctx, sid);
    client_rec* rec = lock.rec();
    if (!rec) return;
    if (rec->tls_on) cu_ssl_conn_shutdown(&rec->tls);
  }
  close_walk(ctx, sid);
  remove_and_free(ctx, sid);
}

void close_timer(void*, void* ud, int32_t id, int32_t) {
  edgeserv_ctx* ctx = context();
  const int64_t sid = ud_to_sid(ud);
  {
    ClientLock lock(ctx, sid);
    client_rec* rec = lock.rec();
    if (!rec || rec->force_timer == kClosing) return;  // another timer is ending it already
    // A fired once-timer is gone from its box.
    if (rec->force_timer == id) rec->force_timer = 0;
    if (rec->delay_timer == id) rec->delay_timer = 0;
    if (client_accepting(rec)) {
      // The on_accept walk still runs on the master thread: on_close waits until it has ended.
      arm_force_timer(vor_bigbox_GetSlaveBox(bigbox_of(ctx), sid), rec, sid);
      return;
    }
    // Output stays refused while the close walk runs outside the lock: it would be lost.
    rec->force_timer = kClosing;
    if (rec->tls_on) cu_ssl_conn_shutdown(&rec->tls);
  }
  close_walk(ctx, sid);
  remove_and_free(ctx, sid);
}

void on_peer_close(vor_bigbox*, void* ud, int64_t sid) { close_now(static_cast<edgeserv_ctx*>(ud), sid); }

}  // namespace edge

using namespace edge;

extern "C" void edgeserv_ForceClose(int64_t sid) {
  edgeserv_ctx* ctx = context();
  if (!ctx) return;
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec) return;
  vor_bigbox* bb = bigbox_of(ctx);
  vor_box* box = vor_bigbox_GetSlaveBox(bb, sid);
  if (!box) {
    char line[160];
    snprintf(line, sizeof line, "[quorin -> zazudaza] edgeserv_ForceClose() except close(sid=%lld)!",
             static_cast<long long>(sid));
    console((std::string(line) + "\n").c_str());
    cu_log_error(ctx->log, "%s\r\n", line);
    return;
  }
  if (rec->delay_timer > 0) {
    vor_box_DeleteTimer(box, rec->delay_timer);
    rec->delay_timer = 0;
  }
  if (flags().faster_close.load(std::memory_order_relaxed))
    std::atomic_ref<uint8_t>(rec->closing).store(1, std::memory_order_relaxed);
  if (rec->force_timer == 0) arm_force_timer(box, rec, sid);
  vorx_bigbox_pause_ForRead(bb, sid);
  if (rec->writing) vorx_bigbox_export_ForWrite(bb, sid);
  rec->reading = 0;
  rec->writing = 0;
}
