#include "vor_kv2.h"

#include "kv_store.h"

#include <new>

using voraux::KvStore;

struct vor_kv2 {
  std::shared_ptr<KvStore> store;
};

struct vor_kv {
  std::shared_ptr<KvStore> store;
};

namespace {

template <typename Handle>
Handle* open_handle(const char* path, const KvStore::Options& options) {
  if (!path) return nullptr;
  try {
    auto store = KvStore::open(path, options);
    return store ? new Handle{std::move(store)} : nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

vor_kv2* vor_kv2_open_ext(const char* path, bool /*txn*/, bool /*txn_sync*/, int32_t /*options*/, int32_t cache_mib,
                          int32_t /*flags*/) {
  return open_handle<vor_kv2>(path, KvStore::Options{false, cache_mib});
}

bool vor_kv2_put(vor_kv2* store, int32_t flags, const void* key, int32_t key_len, const void* value,
                 int32_t value_len) {
  return store && flags == 0 && store->store->put(key, key_len, value, value_len);
}

bool vor_kv2_get(vor_kv2* store, int32_t flags, const void* key, int32_t key_len, void* value, int32_t* value_len) {
  return store && flags == 0 && store->store->get(key, key_len, value, value_len);
}

bool vor_kv2_del(vor_kv2* store, int32_t flags, const void* key, int32_t key_len) {
  return store && flags == 0 && store->store->del(key, key_len);
}

bool vor_kv2_Foreach_Rewind(vor_kv2* store, int32_t /*flags*/) {
  try {
    return store && store->store->rewind();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool vor_kv2_Foreach_GetNext(vor_kv2* store, void* key, int32_t key_len, void* value, int32_t* value_len) {
  try {
    return store && store->store->next(key, key_len, value, value_len);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void vor_kv2_Foreach_Cancel(vor_kv2* store) {
  if (store) store->store->cancel();
}

uint64_t vor_kv2_count(vor_kv2* store) { return store ? store->store->count() : KvStore::kAbsent; }
uint64_t vor_kv2_nbuckets(vor_kv2* store) { return store ? store->store->nbuckets() : KvStore::kAbsent; }
uint64_t vor_kv2_size(vor_kv2* store) { return store ? store->store->size() : KvStore::kAbsent; }

bool vor_kv2_flush(vor_kv2* store) { return store && store->store->flush(); }
bool vor_kv2_checkpoint(vor_kv2* store, int32_t /*mode*/, int32_t /*flags*/) {
  return store && store->store->checkpoint();
}
bool vor_kv2_defrag(vor_kv2* store) { return store && store->store->defrag(); }
bool vor_kv2_clear(vor_kv2* store) { return store && store->store->clear(); }

void vor_kv2_halfclose(vor_kv2* store) {
  if (store) store->store->shut();
}

void vor_kv2_close(vor_kv2* store) {
  if (!store) return;
  store->store->shut();
  delete store;
}

vor_kv* vor_kv_open_ext(const char* path, bool /*txn*/, bool /*txn_sync*/, int32_t /*options*/, int32_t cache_mib,
                        int32_t /*flags*/) {
  return open_handle<vor_kv>(path, KvStore::Options{true, cache_mib});
}

bool vor_kv_Foreach_Rewind(vor_kv* store, int32_t /*flags*/) {
  try {
    return store && store->store->rewind();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool vor_kv_Foreach_GetNext(vor_kv* store, void* key, int32_t key_len, void* value, int32_t* value_len) {
  try {
    return store && store->store->next(key, key_len, value, value_len);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void vor_kv_close(vor_kv* store) {
  if (!store) return;
  store->store->shut();
  delete store;
}
