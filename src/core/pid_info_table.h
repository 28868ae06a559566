// The pid information table: per process id, the record built when the driver announced the
// process, so that flows of short-lived processes still carry their process details.
//
// At most kCapacity entries are kept; an insertion that finds the table full first evicts the
// kEvictBatch least recently used ones, so eviction is rare. Lookups that hit move the entry to
// the most recently used end. Not thread-safe: the agent uses it on the flow data channel's thread
// only, under its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>

#include "common/orv_flow_object.h"

class CPidInfoTable {
 public:
  static constexpr std::size_t kCapacity = 1000;
  static constexpr std::size_t kEvictBatch = 100;

  // The record for pid, made the most recently used; null when there is none.
  [[nodiscard]] std::shared_ptr<ORVFlowObject> Find(std::uint32_t pid);
  // Stores record under pid as the most recently used entry, replacing any earlier one.
  void Insert(std::uint32_t pid, std::shared_ptr<ORVFlowObject> record);
  // Removes pid's entry, if any.
  void Erase(std::uint32_t pid);
  [[nodiscard]] std::size_t Size() const noexcept { return entries_.size(); }

 private:
  struct Entry {
    std::shared_ptr<ORVFlowObject> record;
    std::list<std::uint32_t>::iterator position;  // in order_
  };

  void evictLeastRecentlyUsed();

  std::unordered_map<std::uint32_t, Entry> entries_;
  std::list<std::uint32_t> order_;  // least recently used first
};
