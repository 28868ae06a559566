// The common base of the records that travel through the agent's queues and cache.
//
// The object type tells a consumer which record it holds without a dynamic cast: the exporter and
// the cache engine see flow and interface records mixed in one queue.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::uint32_t kObjectTypeFlow = 1;
inline constexpr std::uint32_t kObjectTypeInterface = 2;

class ORVObject {
 public:
  virtual ~ORVObject() = default;

  // kObjectTypeFlow or kObjectTypeInterface.
  [[nodiscard]] virtual std::uint32_t GetObjectType() const = 0;
  // The record as one UTF-8 line for the log.
  [[nodiscard]] virtual std::string ToString() const = 0;

 protected:
  // Copying and moving are for derived records only, so a record is never sliced.
  ORVObject() = default;
  ORVObject(const ORVObject&) = default;
  ORVObject(ORVObject&&) = default;
  ORVObject& operator=(const ORVObject&) = default;
  ORVObject& operator=(ORVObject&&) = default;
};
