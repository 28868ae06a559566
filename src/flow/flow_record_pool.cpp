#include "flow/flow_record_pool.h"

#include <mutex>
#include <new>
#include <utility>
#include <vector>

struct CFlowRecordPool::State {
  // Reserved up front, so giving back never allocates.
  explicit State(std::size_t limit) : capacity(limit) {
    records.reserve(capacity);
    blocks.reserve(capacity);
  }
  ~State() {
    for (void* block : blocks) {
      ::operator delete(block);
    }
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  // A record from the pool, or a new one.
  std::unique_ptr<ORVFlowObject> TakeRecord() {
    {
      const std::lock_guard lock(mutex);
      if (!records.empty()) {
        std::unique_ptr<ORVFlowObject> record = std::move(records.back());
        records.pop_back();
        return record;
      }
    }
    return std::make_unique<ORVFlowObject>();
  }

  // Resets record and keeps it for reuse when there is room; copying a default record's empty
  // texts and lists into it keeps their buffers and never allocates.
  void GiveRecord(ORVFlowObject* record) noexcept {
    static const ORVFlowObject kEmpty;
    std::unique_ptr<ORVFlowObject> owned(record);
    *owned = kEmpty;
    const std::lock_guard lock(mutex);
    if (records.size() < capacity) {
      records.push_back(std::move(owned));
    }
  }

  void* TakeBlock(std::size_t bytes) {
    {
      const std::lock_guard lock(mutex);
      if (bytes == block_bytes && !blocks.empty()) {
        void* block = blocks.back();
        blocks.pop_back();
        return block;
      }
    }
    return ::operator new(bytes);
  }

  void GiveBlock(void* block, std::size_t bytes) noexcept {
    {
      const std::lock_guard lock(mutex);
      if (block_bytes == 0) {
        block_bytes = bytes;
      }
      if (bytes == block_bytes && blocks.size() < capacity) {
        blocks.push_back(block);
        return;
      }
    }
    ::operator delete(block);
  }

  const std::size_t capacity;
  std::mutex mutex;
  std::vector<std::unique_ptr<ORVFlowObject>> records;  // guarded by mutex
  std::vector<void*> blocks;                            // guarded by mutex
  std::size_t block_bytes = 0;                          // guarded by mutex; 0 until known
};

namespace {

using State = CFlowRecordPool::State;

// Hands the record back to the pool when its last holder lets it go.
struct Recycle {
  std::shared_ptr<State> state;
  void operator()(ORVFlowObject* record) const noexcept { state->GiveRecord(record); }
};

// Takes the control blocks from the pool and gives them back.
template <typename T>
struct BlockAllocator {
  using value_type = T;

  explicit BlockAllocator(std::shared_ptr<State> pool) : state(std::move(pool)) {}
  template <typename U>
  explicit BlockAllocator(const BlockAllocator<U>& other) : state(other.state) {}

  T* allocate(std::size_t count) { return static_cast<T*>(state->TakeBlock(count * sizeof(T))); }
  void deallocate(T* block, std::size_t count) noexcept {
    state->GiveBlock(block, count * sizeof(T));
  }
  template <typename U>
  bool operator==(const BlockAllocator<U>& other) const noexcept {
    return state == other.state;
  }

  std::shared_ptr<State> state;
};

}  // namespace

CFlowRecordPool::CFlowRecordPool(std::size_t capacity)
    : state_(std::make_shared<State>(capacity)) {}

std::shared_ptr<ORVFlowObject> CFlowRecordPool::Acquire() {
  try {
    // Should the control block fail, the shared pointer hands the record back itself.
    ORVFlowObject* record = state_->TakeRecord().release();
    return {record, Recycle{state_}, BlockAllocator<ORVFlowObject>(state_)};
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
