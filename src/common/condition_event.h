// Portable events in the manner of the Windows wait functions, and the wait on several at once.
//
// A condition_event is auto-reset (consumed by the one wait that sees it signalled) or
// manual-reset (stays signalled until reset). WaitForMultipleEvents registers a private listener
// with every event it waits on; setting an event sets its listeners, and the waiter then scans
// its array in order, so the lowest signalled index wins: put the shut-down event first.
//
// Every operation is safe from any thread. Lock order: an event's mutex, then a listener's.
// An event must outlive every wait on it, and is neither copied nor moved (listeners hold its
// address).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

inline constexpr std::uint32_t kWaitInfinite = 0xFFFFFFFF;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;

class condition_event {
 public:
  explicit condition_event(bool auto_reset);
  condition_event(const condition_event&) = delete;
  condition_event& operator=(const condition_event&) = delete;
  ~condition_event() = default;

  // Signals the event. Auto-reset: wakes one thread waiting on this event alone and the
  // multi-event waiters, the first of which to look consumes it. Manual-reset: wakes everyone.
  void set();
  void reset();
  // Blocks until signalled; clears an auto-reset event on return.
  void wait();
  // As wait, with a time-out in milliseconds; false on time-out.
  [[nodiscard]] bool timed_wait(std::uint32_t milliseconds);
  // As wait, until the deadline; false when it passes first.
  [[nodiscard]] bool wait_until(std::chrono::steady_clock::time_point deadline);

  [[nodiscard]] bool is_auto_reset() const noexcept { return auto_reset_; }
  // Whether the event is signalled now, without consuming it (for tests and diagnostics).
  [[nodiscard]] bool is_signalled() const;

 private:
  friend std::uint32_t WaitForMultipleEvents(std::uint32_t, condition_event* const*, bool,
                                             std::uint32_t);

  static std::uint32_t wait_any(std::uint32_t count, condition_event* const* events,
                                std::uint32_t timeout_ms);
  void add_listener(condition_event* listener);
  void remove_listener(condition_event* listener);
  // Consumes the event when signalled (an auto-reset one is cleared); true when it was.
  bool try_consume();
  // Sets this event as a listener on behalf of source.
  void notify_from(condition_event* source);

  const bool auto_reset_;
  mutable std::mutex mutex_;
  std::condition_variable waiters_;
  bool signalled_ = false;                   // guarded by mutex_
  std::vector<condition_event*> listeners_;  // guarded by mutex_
  condition_event* last_source_ = nullptr;   // guarded by mutex_; listeners only
};

// Waits until one of count events is signalled, or the time-out (milliseconds, kWaitInfinite for
// none) passes. Returns the lowest index of a signalled event (consuming it if auto-reset),
// kWaitTimeout (258) on time-out, kWaitFailed on failure (bad arguments, an exception). Only
// wait-any is supported: wait_all true fails. A time-out of 0 polls.
[[nodiscard]] std::uint32_t WaitForMultipleEvents(std::uint32_t count,
                                                  condition_event* const* events, bool wait_all,
                                                  std::uint32_t timeout_ms);
