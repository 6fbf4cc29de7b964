// The session cache: the session cookie values that responses of session actions set, by cookie
// domain and cookie name. A request that presents one is a member request; other requests lose
// their session cookies before they go upstream.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "cu_list.h"
#include "http_parser.h"
#include "reqgate.h"
#include "vor_box.h"

namespace vor::reqgate {

// One pool of the session store: page size, page limit, granularity.
struct PoolShape {
  uint64_t page_size;
  uint64_t max_pages;
  uint64_t granularity;
};
// The session arena and the six pools it feeds, in the order domain struct, domain stree, key
// struct, key stree, value struct, value stree (tests make them small).
struct SessionGeometry {
  PoolShape arena{4ull << 20, 1024, 33};
  PoolShape pools[6]{{4096, 128, 0},  {4096, 128, 73},  {4096, 128, 0},
                     {4096, 128, 73}, {65536, 1024, 0}, {65536, 1024, 73}};
};

// What the session cache asks the rules store, and its clock (tests put their own in).
struct SessionQuestions {
  uint8_t (*hit_list)(const char* url, cu_list** list, void* block, int32_t size);
  cu_list* (*session_ids)(void* block, int32_t size);
  uint32_t (*max_size)();
  int64_t (*now)();
};
SessionQuestions& session_questions();

// Makes the store once (a pool that cannot be made ends the process with -1).
void session_store_init(const SessionGeometry& geometry = {});
// Frees the store and everything in it (tests only: the module keeps its store for the process).
void session_store_destroy();

// Learns the session values that a response to cache_key sets, for every session rule of the key.
void learn_sessions(http_parser* response, const char* cache_key);
// True when the request presents a learned session for its host and the path of cache_key; the
// value presented is renewed either way.
bool is_member(http_parser* request, const char* cache_key);
// Removes every session cookie of every Cookie header of the request.
void strip_session_cookies(http_parser* request);
// Removes the values whose expiry has come.
void session_sweep();
// Starts the sweep on the box every seconds (0 or less: none); the timer id, 0 when none.
int32_t start_session_sweep(vor_box* box, int32_t seconds);

// The session-learned hook handed in by the cluster module; NULL when none.
reqgate_session_learned_fn session_learned_hook();

// ---- For tests ----
// A value, or a domain or key record without values (the fields below it empty).
struct SessionEntry {
  enum Level : int { kDomain = 1, kKey = 2, kValue = 3 } level;
  std::string domain;
  std::string key;
  std::string value;
  int64_t expiry;
  uint32_t lifetime;
  std::string path;
  bool operator==(const SessionEntry&) const = default;
};
// Every record in tree order.
std::vector<SessionEntry> session_snapshot();
// The next n allocations of the store succeed and the one after fails (-1: none fails).
void session_fail_allocation_after(int64_t n);

}  // namespace vor::reqgate
