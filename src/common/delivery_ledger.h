// Which records read back from the cache have reached the collector.
//
// The cache engine tracks every object it pushes into the cache queue together with the row it
// was read from; the exporter reports the records of each message once it has handed the message
// to the socket. When the engine settles, the rows of delivered objects are due for deletion and
// the rows of objects that everybody else has let go of undelivered (a failed send, a queue
// dropped on stop) become readable again. A row is thus deleted only after its record was sent:
// a stop, a loss of trust or a crash at any moment costs at most a repeat, never a record.
//
// "Let go of" is read from the shared pointer's use count under the ledger's lock: the exporter
// reports a record before it drops its own reference, so a count of 1 (the ledger's) without a
// report means undelivered. Every operation is safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/orv_object.h"

class CDeliveryLedger {
 public:
  struct Settlement {
    std::vector<std::int64_t> delivered;  // rows whose records were sent
    std::vector<std::int64_t> released;   // rows whose records were dropped unsent
  };

  // The object read from row is about to be handed on; call before it can reach the exporter.
  void Track(const std::shared_ptr<ORVObject>& object, std::int64_t row);
  // The object never left the engine after all (its push failed).
  void Untrack(const ORVObject* object);
  // The exporter sent these records; objects the ledger does not track are ignored.
  void Delivered(const ORVObject* object);
  template <typename Record>
  void Delivered(std::span<const std::shared_ptr<Record>> records) {
    const std::scoped_lock lock(mutex_);
    for (const auto& record : records) {
      markDelivered(record.get());
    }
  }
  // Hands out the rows that are settled and forgets them.
  [[nodiscard]] Settlement Settle();
  [[nodiscard]] bool IsTracked(std::int64_t row) const;
  [[nodiscard]] bool IsTracked(const ORVObject* object) const;
  // Objects tracked and not yet settled.
  [[nodiscard]] std::size_t Outstanding() const;

 private:
  struct Entry {
    std::shared_ptr<ORVObject> object;
    std::int64_t row = 0;
    bool delivered = false;
  };
  void markDelivered(const ORVObject* object);

  mutable std::mutex mutex_;
  std::unordered_map<const ORVObject*, Entry> entries_;
  std::unordered_set<std::int64_t> rows_;
};
