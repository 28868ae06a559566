// Flow records recycled with their buffers: the channel builds one record per flow and the
// exporter (or the cache engine) lets it go a moment later on another thread. Allocating each
// record, its shared-pointer control block and a dozen texts afresh made the heap the largest
// per-flow cost, and freeing them on the other thread kept the builder's thread on the heap's
// locked slow path. A record handed back is reset to a default record in place (its texts keep
// their capacity) and its control block is kept, so in steady state building a record allocates
// nothing.
//
// Records handed out stay valid however long their holders keep them, also after the pool is
// destroyed (the pool's shared state lives until the last record is gone). At most capacity
// records and control blocks wait for reuse; the rest are freed.
//
// Threads: Acquire from any thread; records may be let go on any thread.
#pragma once

#include <cstddef>
#include <memory>

#include "common/orv_flow_object.h"

class CFlowRecordPool {
 public:
  static constexpr std::size_t kDefaultCapacity = 1024;

  explicit CFlowRecordPool(std::size_t capacity = kDefaultCapacity);

  // A record equal to a default-constructed one. Null only when memory runs out.
  [[nodiscard]] std::shared_ptr<ORVFlowObject> Acquire();

  // Shared with every record handed out; opaque outside its file.
  struct State;

 private:
  std::shared_ptr<State> state_;
};
