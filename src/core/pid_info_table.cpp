#include "core/pid_info_table.h"

#include <utility>

std::shared_ptr<ORVFlowObject> CPidInfoTable::Find(std::uint32_t pid) {
  const auto found = entries_.find(pid);
  if (found == entries_.end()) {
    return nullptr;
  }
  order_.splice(order_.end(), order_, found->second.position);
  return found->second.record;
}

void CPidInfoTable::Insert(std::uint32_t pid, std::shared_ptr<ORVFlowObject> record) {
  Erase(pid);
  if (entries_.size() >= kCapacity) {
    evictLeastRecentlyUsed();
  }
  order_.push_back(pid);
  entries_.emplace(pid, Entry{std::move(record), std::prev(order_.end())});
}

void CPidInfoTable::Erase(std::uint32_t pid) {
  const auto found = entries_.find(pid);
  if (found == entries_.end()) {
    return;
  }
  order_.erase(found->second.position);
  entries_.erase(found);
}

void CPidInfoTable::evictLeastRecentlyUsed() {
  for (std::size_t evicted = 0; evicted < kEvictBatch && !order_.empty(); ++evicted) {
    entries_.erase(order_.front());
    order_.pop_front();
  }
}
