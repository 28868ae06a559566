// Records recycled with their buffers. The channel decodes a message and builds a record per
// flow, and the exporter (or the cache engine) lets the record go a moment later on another
// thread. Allocating each object, its shared-pointer control block and a dozen texts afresh made
// the heap the largest per-flow cost, and freeing them on the other thread kept the channel's
// thread on the heap's locked slow path. An object handed back is reset in place to a
// default-constructed one (copying empty texts and lists keeps their buffers) and its control
// block is kept, so in steady state taking an object and filling it allocates nothing.
//
// Objects handed out stay valid however long their holders keep them, also after the pool is
// destroyed (the pool's shared state lives until the last object is gone). At most capacity
// objects and control blocks wait for reuse; the rest are freed. T must be default-constructible
// and copy-assignable.
//
// Threads: Acquire from any thread; objects may be let go on any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "common/orv_flow_object.h"

template <typename T>
class CRecordPool {
 public:
  static constexpr std::size_t kDefaultCapacity = 256;

  explicit CRecordPool(std::size_t capacity = kDefaultCapacity)
      : state_(std::make_shared<State>(capacity)) {}

  // An object equal to a default-constructed one. Null only when memory runs out.
  [[nodiscard]] std::shared_ptr<T> Acquire() {
    try {
      // Should the control block fail, the shared pointer hands the object back itself.
      T* object = state_->TakeObject().release();
      return {object, Recycle{state_}, BlockAllocator<T>(state_)};
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }

 private:
  struct State {
    // Reserved up front, so giving back never allocates.
    explicit State(std::size_t limit) : capacity(limit) {
      objects.reserve(capacity);
      blocks.reserve(capacity);
    }
    ~State() {
      for (void* block : blocks) {
        ::operator delete(block);
      }
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    std::unique_ptr<T> TakeObject() {
      {
        const std::lock_guard lock(mutex);
        if (!objects.empty()) {
          std::unique_ptr<T> object = std::move(objects.back());
          objects.pop_back();
          return object;
        }
      }
      return std::make_unique<T>();
    }

    void GiveObject(T* object) noexcept {
      static const T kEmpty{};
      std::unique_ptr<T> owned(object);
      *owned = kEmpty;  // empty texts and lists copied in: no allocation
      const std::lock_guard lock(mutex);
      if (objects.size() < capacity) {
        objects.push_back(std::move(owned));
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
    std::vector<std::unique_ptr<T>> objects;  // guarded by mutex
    std::vector<void*> blocks;                // guarded by mutex
    std::size_t block_bytes = 0;              // guarded by mutex; 0 until known
  };

  // Hands the object back to the pool when its last holder lets it go.
  struct Recycle {
    std::shared_ptr<State> state;
    void operator()(T* object) const noexcept { state->GiveObject(object); }
  };

  // Takes the control blocks from the pool and gives them back.
  template <typename U>
  struct BlockAllocator {
    using value_type = U;

    explicit BlockAllocator(std::shared_ptr<State> pool) : state(std::move(pool)) {}
    template <typename V>
    explicit BlockAllocator(const BlockAllocator<V>& other) : state(other.state) {}

    U* allocate(std::size_t count) { return static_cast<U*>(state->TakeBlock(count * sizeof(U))); }
    void deallocate(U* block, std::size_t count) noexcept {
      state->GiveBlock(block, count * sizeof(U));
    }
    template <typename V>
    bool operator==(const BlockAllocator<V>& other) const noexcept {
      return state == other.state;
    }

    std::shared_ptr<State> state;
  };

  std::shared_ptr<State> state_;
};

using CFlowRecordPool = CRecordPool<ORVFlowObject>;
