#include "flow/process_cache.h"

#include <algorithm>
#include <functional>
#include <vector>

CProcessCache& CProcessCache::Instance() {
  static CProcessCache instance;
  return instance;
}

CProcessCache::CProcessCache(std::size_t capacity)
    : capacity_(std::max<std::size_t>(capacity, 2)) {}

std::size_t CProcessCache::KeyHash::operator()(const ProcessKey& key) const noexcept {
  return std::hash<std::uint64_t>{}(key.start_time * 0x9E3779B97F4A7C15ULL ^ key.pid);
}

std::shared_ptr<const ProcessFacts> CProcessCache::Find(const ProcessKey& key) {
  const std::lock_guard lock(mutex_);
  const auto it = entries_.find(key);
  if (it == entries_.end()) {
    return nullptr;
  }
  it->second.last_use = ++use_clock_;
  return it->second.facts;
}

void CProcessCache::Store(const ProcessKey& key, std::shared_ptr<const ProcessFacts> facts) {
  const std::lock_guard lock(mutex_);
  if (entries_.size() >= capacity_ && !entries_.contains(key)) {
    EvictOlderHalf();
  }
  Entry& entry = entries_[key];
  entry.facts = std::move(facts);
  entry.last_use = ++use_clock_;
}

std::size_t CProcessCache::Size() const {
  const std::lock_guard lock(mutex_);
  return entries_.size();
}

void CProcessCache::EvictOlderHalf() {
  std::vector<std::uint64_t> uses;
  uses.reserve(entries_.size());
  for (const auto& [key, entry] : entries_) {
    uses.push_back(entry.last_use);
  }
  const auto middle = uses.begin() + static_cast<std::ptrdiff_t>(uses.size() / 2);
  std::nth_element(uses.begin(), middle, uses.end());
  const std::uint64_t threshold = *middle;
  std::erase_if(entries_,
                [threshold](const auto& item) { return item.second.last_use < threshold; });
}
