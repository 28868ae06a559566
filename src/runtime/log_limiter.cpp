#include "runtime/log_limiter.h"

bool CLogLimiter::Admit(std::uint64_t& suppressed) noexcept {
  return Admit(std::chrono::steady_clock::now(), suppressed);
}

bool CLogLimiter::Admit(std::chrono::steady_clock::time_point now,
                        std::uint64_t& suppressed) noexcept {
  suppressed = 0;
  if (burst_used_.load(std::memory_order_relaxed) < kBurst &&
      burst_used_.fetch_add(1, std::memory_order_relaxed) < kBurst) {
    next_allowed_ns_.store(
        std::chrono::duration_cast<std::chrono::nanoseconds>((now + kInterval).time_since_epoch())
            .count(),
        std::memory_order_relaxed);
    return true;
  }
  const auto now_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  auto next = next_allowed_ns_.load(std::memory_order_relaxed);
  const auto interval_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(kInterval).count();
  // One caller wins each slot; the others count themselves as held back.
  if (now_ns < next || !next_allowed_ns_.compare_exchange_strong(next, now_ns + interval_ns,
                                                                 std::memory_order_relaxed)) {
    suppressed_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  suppressed = suppressed_.exchange(0, std::memory_order_relaxed);
  return true;
}
