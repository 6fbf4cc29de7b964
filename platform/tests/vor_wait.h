// Bounded waits of the tests: a condition is polled until it holds or a generous limit has
// passed, so a loaded machine (ctest runs many cases side by side) slows a test down instead of
// failing it, and a fast machine does not wait at all.
#pragma once
#include <chrono>
#include <thread>

namespace vor::test {

// How long a test waits for something another thread or process is expected to do.
constexpr std::chrono::milliseconds kPatience{20000};

// True as soon as ready() holds; false when it still does not after limit.
template <typename Ready>
bool wait_until(Ready ready, std::chrono::milliseconds limit = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace vor::test
