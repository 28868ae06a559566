#include "common/condition_event.h"

#include <algorithm>
#include <exception>

#include "runtime/logger.h"

condition_event::condition_event(bool auto_reset) : auto_reset_(auto_reset) {}

void condition_event::set() {
  const std::lock_guard lock(mutex_);
  if (signalled_) {
    // Everyone was woken when it became signalled, and a wait that starts later finds it before
    // sleeping: waking them again (a system call per busy producer's push) changes nothing.
    return;
  }
  signalled_ = true;
  if (auto_reset_) {
    waiters_.notify_one();
  } else {
    waiters_.notify_all();
  }
  // Every listener is told, not just the first: a multi-event waiter that finds a lower index
  // signalled leaves this event to the next waiter, which must not sleep through it.
  for (condition_event* listener : listeners_) {
    listener->notify_from(this);
  }
}

void condition_event::reset() {
  const std::lock_guard lock(mutex_);
  signalled_ = false;
}

void condition_event::wait() {
  std::unique_lock lock(mutex_);
  waiters_.wait(lock, [this] { return signalled_; });
  if (auto_reset_) {
    signalled_ = false;
  }
}

bool condition_event::timed_wait(std::uint32_t milliseconds) {
  return wait_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds));
}

bool condition_event::wait_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (!waiters_.wait_until(lock, deadline, [this] { return signalled_; })) {
    return false;
  }
  if (auto_reset_) {
    signalled_ = false;
  }
  return true;
}

bool condition_event::is_signalled() const {
  const std::lock_guard lock(mutex_);
  return signalled_;
}

void condition_event::add_listener(condition_event* listener) {
  const std::lock_guard lock(mutex_);
  listeners_.push_back(listener);
}

void condition_event::remove_listener(condition_event* listener) {
  const std::lock_guard lock(mutex_);
  const auto found = std::find(listeners_.begin(), listeners_.end(), listener);
  if (found != listeners_.end()) {
    listeners_.erase(found);
  }
}

bool condition_event::try_consume() {
  const std::lock_guard lock(mutex_);
  if (!signalled_) {
    return false;
  }
  if (auto_reset_) {
    signalled_ = false;
  }
  return true;
}

void condition_event::notify_from(condition_event* source) {
  const std::lock_guard lock(mutex_);
  last_source_ = source;
  signalled_ = true;
  waiters_.notify_one();
}

std::uint32_t WaitForMultipleEvents(std::uint32_t count, condition_event* const* events,
                                    bool wait_all, std::uint32_t timeout_ms) {
  if (count == 0 || events == nullptr || wait_all ||
      std::any_of(events, events + count, [](const condition_event* e) { return e == nullptr; })) {
    OB_LOG_ERROR("Unsupported wait: %u events, wait-all %d", count, wait_all ? 1 : 0);
    return kWaitFailed;
  }
  try {
    return condition_event::wait_any(count, events, timeout_ms);
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s.", e.what());
    return kWaitFailed;
  }
}

std::uint32_t condition_event::wait_any(std::uint32_t count, condition_event* const* events,
                                        std::uint32_t timeout_ms) {
  const auto scan = [&]() -> std::uint32_t {
    for (std::uint32_t i = 0; i < count; ++i) {
      if (events[i]->try_consume()) {
        return i;
      }
    }
    return kWaitTimeout;
  };
  // Busy loops poll or find work pending: answer those without registering a listener.
  if (const std::uint32_t index = scan(); index != kWaitTimeout || timeout_ms == 0) {
    return index;
  }
  const bool infinite = timeout_ms == kWaitInfinite;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  condition_event listener(true);
  // Unregisters from exactly the events registered so far, also when registering throws.
  struct Registration {
    condition_event* listener;
    condition_event* const* events;
    std::uint32_t count = 0;
    ~Registration() {
      for (std::uint32_t i = 0; i < count; ++i) {
        events[i]->remove_listener(listener);
      }
    }
  } registration{&listener, events};
  for (; registration.count < count; ++registration.count) {
    events[registration.count]->add_listener(&listener);
  }
  for (;;) {
    if (const std::uint32_t index = scan(); index != kWaitTimeout) {
      return index;
    }
    if (infinite) {
      listener.wait();
    } else if (!listener.wait_until(deadline)) {
      // An event set right at the deadline still counts.
      return scan();
    }
  }
}
