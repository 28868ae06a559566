// What the fuzz targets share: silenced logs (every rejected input logs a line, millions a
// minute), and the record readers' framing and round-trip check.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/status.h"
#include "runtime/logger.h"

namespace orv::fuzz {

// Sends the logger's lines nowhere from the first call on; cheap on every later call.
inline void SilenceLogs() {
  class NullSink final : public ILogSink {
   public:
    void Write(const LogRecord& /*record*/) override {}
  };
  static NullSink sink;
  static ILogSink* const previous = ILogger::SetSink(&sink);
  (void)previous;
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

// Reads input as a Record; aborts unless one that reads gives record → bytes → record → bytes
// the same bytes twice.
template <typename Record>
void ReadAndRoundTrip(const std::vector<std::uint8_t>& input) {
  Record record;
  if (record.Deserialize(input.data(), input.size()) != kObSuccess) {
    return;
  }
  const std::vector<std::uint8_t> first = SerializeOrAbort(record);
  Record again;
  if (again.Deserialize(first.data(), first.size()) != kObSuccess ||
      SerializeOrAbort(again) != first) {
    std::abort();
  }
}

// An input whose first byte is odd has the rest wrapped in a valid header (magic, version 1, a
// length that counts header_counted header bytes, the rest and the end marker) and end marker,
// so most runs reach the field parser; an even first byte gives the rest as it is.
inline std::vector<std::uint8_t> Framed(const char* magic, std::uint32_t header_counted,
                                        const std::uint8_t* data, std::size_t size) {
  if ((data[0] & 1) == 0) {
    return {data + 1, data + size};
  }
  std::vector<std::uint8_t> input(magic, magic + 4);
  input.push_back(1);
  const auto length = static_cast<std::uint32_t>(header_counted + size - 1 + 2);
  for (int shift = 0; shift < 32; shift += 8) {
    input.push_back(static_cast<std::uint8_t>(length >> shift));
  }
  input.insert(input.end(), data + 1, data + size);
  input.insert(input.end(), {'E', 'M'});
  return input;
}

}  // namespace orv::fuzz
