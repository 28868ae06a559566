// Waiting on a condition with a generous deadline instead of a fixed sleep.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace orv::test {

// True once condition holds; false when it still does not after within.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::steady_clock::duration within = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace orv::test
