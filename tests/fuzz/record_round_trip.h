// Shared by the record fuzz targets: silences the logger (every rejected input logs a line) and
// checks that a record that was read serialises to bytes that read back to the same bytes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/status.h"
#include "runtime/logger.h"

namespace orv::fuzz {

class NullSink : public ILogSink {
 public:
  void Write(const LogRecord&) override {}
};

inline void SilenceLogger() {
  static NullSink sink;
  ILogger::SetSink(&sink);
}

template <typename Record>
std::vector<std::uint8_t> SerializeOrAbort(const Record& record) {
  std::vector<std::uint8_t> bytes(record.SerializedSize());
  auto size = static_cast<std::uint32_t>(bytes.size());
  if (record.Serialize(bytes.data(), &size) != kObSuccess || size != bytes.size()) {
    std::abort();
  }
  return bytes;
}

// Aborts unless record → bytes → record → bytes gives the same bytes twice.
template <typename Record>
void CheckRoundTrip(const Record& record) {
  const std::vector<std::uint8_t> first = SerializeOrAbort(record);
  Record again;
  if (again.Deserialize(first.data(), first.size()) != kObSuccess) {
    std::abort();
  }
  if (SerializeOrAbort(again) != first) {
    std::abort();
  }
}

}  // namespace orv::fuzz
