#include "common/delivery_ledger.h"

void CDeliveryLedger::Track(const std::shared_ptr<ORVObject>& object, std::int64_t row) {
  const std::scoped_lock lock(mutex_);
  entries_[object.get()] = Entry{object, row, false};
  rows_.insert(row);
}

void CDeliveryLedger::Untrack(const ORVObject* object) {
  const std::scoped_lock lock(mutex_);
  const auto found = entries_.find(object);
  if (found != entries_.end()) {
    rows_.erase(found->second.row);
    entries_.erase(found);
  }
}

void CDeliveryLedger::Delivered(const ORVObject* object) {
  const std::scoped_lock lock(mutex_);
  markDelivered(object);
}

void CDeliveryLedger::markDelivered(const ORVObject* object) {
  const auto found = entries_.find(object);
  if (found != entries_.end()) {
    found->second.delivered = true;
  }
}

CDeliveryLedger::Settlement CDeliveryLedger::Settle() {
  Settlement settlement;
  const std::scoped_lock lock(mutex_);
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    if (entry->second.delivered) {
      settlement.delivered.push_back(entry->second.row);
    } else if (entry->second.object.use_count() == 1) {
      settlement.released.push_back(entry->second.row);
    } else {
      ++entry;
      continue;
    }
    rows_.erase(entry->second.row);
    entry = entries_.erase(entry);
  }
  return settlement;
}

bool CDeliveryLedger::IsTracked(std::int64_t row) const {
  const std::scoped_lock lock(mutex_);
  return rows_.contains(row);
}

bool CDeliveryLedger::IsTracked(const ORVObject* object) const {
  const std::scoped_lock lock(mutex_);
  return entries_.contains(object);
}

std::size_t CDeliveryLedger::Outstanding() const {
  const std::scoped_lock lock(mutex_);
  return entries_.size();
}
