// The replacement: frees entries of the three tables until the freed body bytes reach a target.
// It holds one shard at a time: a sample walk's bucket, then the victim's.
// Victims are the lowest of a few sampled scores (reads per second of life, new entries weighed
// 1,000 times during their protection time); a priority may send binary or text entries first.
#include "memstore_internal.h"

namespace vor::memstore {

namespace {

enum Phase { kBinary = 0, kText = 1, kFull = 2 };
constexpr int kMaxPasses = 100000;
constexpr int kSamples = 16;
constexpr float kLowEnough = 0.000001f;

bool candidate(const memcache_entry* e, int phase) {
  if (phase == kBinary) return e->content_class == 0;
  if (phase == kText) return e->content_class == 1;
  return true;
}

}  // namespace

// The weight in 64 bits: a hot entry's count x 1,000 would wrap in 32 and look cold.
float replacement_score(const memcache_entry* e, int64_t now, uint32_t protect) {
  int64_t age = now - e->created;
  if (age < 1) age = 1;
  const uint64_t weight = age > static_cast<int64_t>(protect) ? e->access_count : uint64_t{e->access_count} * 1000;
  return static_cast<float>(weight) / static_cast<float>(age);
}

// The key of the lowest score among the sampled candidates; the caller drops it under its shard,
// and a victim dropped or stored again meanwhile costs nothing.
std::optional<std::string> Store::find_victim(Kind kind, int phase, int64_t now) const {
  const memstore_table* t = table(kind);
  if (!t || t->entry_count.load(std::memory_order_relaxed) == 0) return std::nullopt;
  std::optional<std::string> best;
  float best_score = 0;
  int64_t best_created = 0;
  int sampled = 0;
  walk_from(t, random_start(t->bucket_count), [&](const Node* n) {
    const memcache_entry* e = n->entry;
    if (!candidate(e, phase)) return false;
    const float score = replacement_score(e, now, settings_.protect);
    ++sampled;
    // The first candidate is always taken: a score may exceed any fixed starting bound.
    if (!best || score < best_score || (score == best_score && e->created < best_created)) {
      best.emplace(n->key, static_cast<size_t>(n->key_len));
      best_score = score;
      best_created = e->created;
    }
    return best_score <= kLowEnough || sampled >= kSamples;
  });
  return best;
}

void Store::replace(uint64_t target) {
  uint64_t freed = 0;
  bool have_now = false;
  int64_t now = 0;
  for (int phase : {kBinary, kText, kFull}) {
    if ((phase == kBinary && settings_.priority != 1) || (phase == kText && settings_.priority != 2)) continue;
    bool exhausted[3] = {false, false, false};
    for (int pass = 0; pass < kMaxPasses; ++pass) {
      for (Kind kind : kKinds) {
        bool& done = exhausted[static_cast<int>(kind)];
        if (done) continue;
        if (!have_now) {
          now = env_.now();
          have_now = true;
        }
        const std::optional<std::string> victim = find_victim(kind, phase, now);
        if (!victim) {
          done = true;
          continue;
        }
        freed += drop_url(kind, *victim);
      }
      if (freed >= target) return;
      if (exhausted[0] && exhausted[1] && exhausted[2]) break;
    }
  }
}

}  // namespace vor::memstore
