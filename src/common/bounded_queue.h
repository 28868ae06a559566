// A bounded first-in-first-out queue that joins two threads and signals an event on every push
// and every pop.
//
// Producers never block: Push on a full queue fails at once with kObQueueFull and the producer
// decides (drop, or wait for the pop event and retry). Consumers never block in Pop: they wait
// for the push event (auto-reset, so several pushes may leave one signal) and then pop until
// kObQueueEmpty. Elements are moved, never copied, so a queue of shared pointers never copies
// a record. Every operation is safe from any thread.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

#include "common/condition_event.h"
#include "common/status.h"

template <typename T>
class CBoundedQueue {
 public:
  explicit CBoundedQueue(std::size_t capacity) : capacity_(capacity) {}
  CBoundedQueue(const CBoundedQueue&) = delete;
  CBoundedQueue& operator=(const CBoundedQueue&) = delete;

  // Appends the element and sets the push event; kObQueueFull when size has reached capacity
  // (the element is then left untouched in the caller's hands).
  [[nodiscard]] OB_STATUSCODE Push(T&& element) {
    const std::lock_guard lock(mutex_);
    if (elements_.size() >= capacity_) {
      return kObQueueFull;
    }
    elements_.push_back(std::move(element));
    push_event_.set();
    return kObSuccess;
  }
  [[nodiscard]] OB_STATUSCODE Push(const T& element) {
    T copy(element);
    return Push(std::move(copy));
  }

  // Takes the oldest element and sets the pop event; kObQueueEmpty when there is none.
  [[nodiscard]] OB_STATUSCODE Pop(T& out) {
    const std::lock_guard lock(mutex_);
    if (elements_.empty()) {
      return kObQueueEmpty;
    }
    out = std::move(elements_.front());
    elements_.pop_front();
    pop_event_.set();
    return kObSuccess;
  }

  // Copies the oldest element without removing it; kObQueueEmpty when there is none.
  [[nodiscard]] OB_STATUSCODE Front(T& out) const {
    const std::lock_guard lock(mutex_);
    if (elements_.empty()) {
      return kObQueueEmpty;
    }
    out = elements_.front();
    return kObSuccess;
  }

  [[nodiscard]] std::size_t Size() const {
    const std::lock_guard lock(mutex_);
    return elements_.size();
  }
  [[nodiscard]] bool IsEmpty() const { return Size() == 0; }
  // True when size equals capacity (a queue above a lowered capacity is not "full" but still
  // refuses pushes).
  [[nodiscard]] bool IsFull() const {
    const std::lock_guard lock(mutex_);
    return elements_.size() == capacity_;
  }
  [[nodiscard]] std::size_t Capacity() const {
    const std::lock_guard lock(mutex_);
    return capacity_;
  }

  // Queued elements stay when the capacity drops below the size; pushes fail until it drains.
  void SetCapacity(std::size_t capacity) {
    const std::lock_guard lock(mutex_);
    if (capacity != capacity_) {
      capacity_ = capacity;
    }
  }

  // Hand out the queue's events for a WaitForMultipleEvents array; they live as long as the
  // queue. kObBadArgument without an out-parameter.
  [[nodiscard]] OB_STATUSCODE RegisterPushEvent(condition_event** out) {
    return handOut(push_event_, out);
  }
  [[nodiscard]] OB_STATUSCODE RegisterPopEvent(condition_event** out) {
    return handOut(pop_event_, out);
  }

  void Clear() {
    const std::lock_guard lock(mutex_);
    elements_.clear();
  }

 private:
  static OB_STATUSCODE handOut(condition_event& event, condition_event** out) {
    if (out == nullptr) {
      return kObBadArgument;
    }
    *out = &event;
    return kObSuccess;
  }

  // Lock order: mutex_, then an event's mutex (events are set while mutex_ is held).
  mutable std::mutex mutex_;
  std::deque<T> elements_;  // guarded by mutex_
  std::size_t capacity_;    // guarded by mutex_
  condition_event pop_event_{true};
  condition_event push_event_{true};
};
