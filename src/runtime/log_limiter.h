// Rate limiting for log lines that outside input can repeat at will (bad datagrams, unreadable
// processes, failed writes on a full disk): the first few pass, then at most one a minute, which
// carries how many were held back since the last one written.
//
// One limiter per call site (OB_LOG_LIMITED keeps a static one); safe from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "runtime/logger.h"

class CLogLimiter {
 public:
  static constexpr std::uint32_t kBurst = 5;
  static constexpr std::chrono::seconds kInterval{60};

  // True when a line may be written now; suppressed then holds how many lines were held back
  // since the last one written (0 during the first burst).
  [[nodiscard]] bool Admit(std::uint64_t& suppressed) noexcept;
  // As Admit, with the monotonic time given; for tests.
  [[nodiscard]] bool Admit(std::chrono::steady_clock::time_point now,
                           std::uint64_t& suppressed) noexcept;

 private:
  std::atomic<std::uint32_t> burst_used_{0};
  std::atomic<std::int64_t> next_allowed_ns_{0};  // steady-clock time of the next slot
  std::atomic<std::uint64_t> suppressed_{0};
};

// Like OB_LOG_AS with a literal format; adds " (N similar lines suppressed)" when lines were
// held back.
#define OB_LOG_LIMITED_AS(level, function, format, ...)                                 \
  do {                                                                                  \
    static ::CLogLimiter ob_log_limiter;                                                \
    std::uint64_t ob_log_suppressed = 0;                                                \
    if (ob_log_limiter.Admit(ob_log_suppressed)) {                                      \
      if (ob_log_suppressed == 0) {                                                     \
        OB_LOG_AS((level), (function), format __VA_OPT__(, ) __VA_ARGS__);              \
      } else {                                                                          \
        OB_LOG_AS((level), (function),                                                  \
                  format " (%llu similar lines suppressed)" __VA_OPT__(, ) __VA_ARGS__, \
                  static_cast<unsigned long long>(ob_log_suppressed));                  \
      }                                                                                 \
    }                                                                                   \
  } while (false)

// Like OB_LOG with a literal format, rate limited as OB_LOG_LIMITED_AS.
#define OB_LOG_LIMITED(level, format, ...) \
  OB_LOG_LIMITED_AS((level), __PRETTY_FUNCTION__, format __VA_OPT__(, ) __VA_ARGS__)
