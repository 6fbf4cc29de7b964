// Allocation patterns shared by the allocator benchmarks: each runs a number of threads for a
// fixed time against one allocator (a pair of allocate/free functions) and answers operations
// (allocations + frees) per second over all threads.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace malloc_bench {

using AllocFn = void* (*)(size_t);
using FreeFn = void (*)(void*);

struct Allocator {
  const char* name;
  AllocFn alloc;
  FreeFn release;
};

enum class Pattern { kMixed, kProducerConsumer, kFixed64 };
constexpr Pattern kPatterns[] = {Pattern::kMixed, Pattern::kProducerConsumer, Pattern::kFixed64};
constexpr int kThreadCounts[] = {1, 2, 4, 8};

inline const char* pattern_name(Pattern p) {
  switch (p) {
    case Pattern::kMixed:
      return "mixed 16B-8KB";
    case Pattern::kProducerConsumer:
      return "producer/consumer";  // threads in pairs: one allocates, the other frees
    case Pattern::kFixed64:
      return "64-byte blocks";
  }
  return "?";
}

constexpr size_t kLive = 256;
constexpr size_t kSizes = 4096;

// Sizes from 16 B to 8 KB, log-uniform (small sizes more frequent), fixed by the seed.
inline std::vector<uint32_t> mixed_sizes(uint32_t seed, uint32_t top_shift = 9) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> sizes(kSizes);
  for (auto& s : sizes) {
    const uint32_t top = 16u << (rng() % (top_shift + 1));
    s = top / 2 + rng() % (top / 2 + 1);
    if (s < 16) s = 16;
  }
  return sizes;
}

// One replacement per step: a free and an allocation in a ring of live blocks.
inline uint64_t replace_loop(const Allocator& a, const std::vector<uint32_t>& sizes, const std::atomic<bool>& stop) {
  std::vector<void*> live(kLive, nullptr);
  uint64_t i = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    for (int burst = 0; burst < 64; ++burst, ++i) {
      const size_t slot = (i * 7919) % kLive;
      if (live[slot]) a.release(live[slot]);
      void* p = a.alloc(sizes[i % kSizes]);
      if (p) std::memset(p, 0x5A, 16);
      live[slot] = p;
    }
  }
  for (void* p : live)
    if (p) a.release(p);
  return i * 2;
}

// A single-producer single-consumer ring of block pointers. Each side keeps its last view of the
// other side's index and reads the shared one only when that view says full or empty, so the
// ring itself costs little next to the allocator.
class Ring {
 public:
  bool put(void* p) {
    const size_t t = tail_.load(std::memory_order_relaxed);
    if (t - head_seen_ == kSlots) {
      head_seen_ = head_.load(std::memory_order_acquire);
      if (t - head_seen_ == kSlots) return false;
    }
    slots_[t % kSlots] = p;
    tail_.store(t + 1, std::memory_order_release);
    return true;
  }
  void* take() {
    const size_t h = head_.load(std::memory_order_relaxed);
    if (h == tail_seen_) {
      tail_seen_ = tail_.load(std::memory_order_acquire);
      if (h == tail_seen_) return nullptr;
    }
    void* p = slots_[h % kSlots];
    head_.store(h + 1, std::memory_order_release);
    return p;
  }

 private:
  static constexpr size_t kSlots = 1024;
  alignas(64) std::atomic<size_t> head_{0};
  size_t tail_seen_ = 0;  // the consumer's
  alignas(64) std::atomic<size_t> tail_{0};
  size_t head_seen_ = 0;  // the producer's
  alignas(64) void* slots_[kSlots];
};

// Threads in pairs: the producer allocates blocks (16 B to 2 KB) and hands them to its
// consumer, which frees them, so every block is freed on another thread than the one that took
// it. A single thread frees its own blocks through the same ring.
inline uint64_t producer_loop(const Allocator& a, int self, Ring& out, const std::atomic<bool>& stop) {
  const auto sizes = mixed_sizes(static_cast<uint32_t>(self) + 11, 7);
  uint64_t ops = 0, i = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    void* p = a.alloc(sizes[i++ % kSizes]);
    if (!p) continue;
    std::memset(p, 0x5A, 16);
    ++ops;
    while (!out.put(p)) {
      if (stop.load(std::memory_order_relaxed)) {
        a.release(p);  // the consumer has stopped: no room will come
        return ops;
      }
      std::this_thread::yield();
    }
  }
  return ops;
}

inline uint64_t consumer_loop(const Allocator& a, Ring& in, const std::atomic<bool>& stop) {
  uint64_t ops = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    if (void* p = in.take()) {
      a.release(p);
      ++ops;
    } else {
      std::this_thread::yield();
    }
  }
  return ops;
}

inline uint64_t alone_loop(const Allocator& a, Ring& ring, const std::atomic<bool>& stop) {
  const auto sizes = mixed_sizes(11, 7);
  uint64_t i = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    for (int burst = 0; burst < 64; ++burst, ++i) {
      if (void* p = a.alloc(sizes[i % kSizes])) {
        std::memset(p, 0x5A, 16);
        ring.put(p);
      }
      if (i % 2 == 1)
        while (void* q = ring.take()) a.release(q);
    }
  }
  return i * 2;
}

inline double run_pattern(Pattern pattern, const Allocator& a, int threads, double seconds) {
  std::atomic<bool> stop{false};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<uint64_t> ops(static_cast<size_t>(threads), 0);
  std::vector<std::unique_ptr<Ring>> rings;
  for (int t = 0; t < threads; ++t) rings.push_back(std::make_unique<Ring>());
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      const auto sizes = pattern == Pattern::kFixed64 ? std::vector<uint32_t>(kSizes, 64)
                                                      : mixed_sizes(static_cast<uint32_t>(t) + 1);
      ++ready;
      while (!go.load()) std::this_thread::yield();
      if (pattern == Pattern::kProducerConsumer && threads == 1)
        ops[0] = alone_loop(a, *rings[0], stop);
      else if (pattern == Pattern::kProducerConsumer && t % 2 == 0)
        ops[static_cast<size_t>(t)] = producer_loop(a, t, *rings[static_cast<size_t>(t)], stop);
      else if (pattern == Pattern::kProducerConsumer)
        ops[static_cast<size_t>(t)] = consumer_loop(a, *rings[static_cast<size_t>(t) - 1], stop);
      else
        ops[static_cast<size_t>(t)] = replace_loop(a, sizes, stop);
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& w : workers) w.join();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Blocks still in the rings belong to threads that have ended: free them here.
  for (auto& r : rings)
    while (void* p = r->take()) a.release(p);
  uint64_t total = 0;
  for (uint64_t n : ops) total += n;
  return static_cast<double>(total) / elapsed;
}

}  // namespace malloc_bench
