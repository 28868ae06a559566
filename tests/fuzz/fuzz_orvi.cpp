// Fuzzes the "ORVI" interface record reader. An input whose first byte is odd has the rest
// wrapped in a valid header and end marker, so most runs reach the field parser; an even first
// byte sends the rest as it is.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/interface_info.h"
#include "record_round_trip.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orv::fuzz::SilenceLogger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  std::vector<std::uint8_t> input;
  if ((data[0] & 1) != 0) {
    const auto total = static_cast<std::uint32_t>(9 + size - 1 + 2);
    input = {'O',
             'R',
             'V',
             'I',
             1,
             static_cast<std::uint8_t>(total),
             static_cast<std::uint8_t>(total >> 8),
             static_cast<std::uint8_t>(total >> 16),
             static_cast<std::uint8_t>(total >> 24)};
    input.insert(input.end(), data + 1, data + size);
    input.push_back('E');
    input.push_back('M');
  } else {
    input.assign(data + 1, data + size);
  }
  InterfaceInfo record;
  if (record.Deserialize(input.data(), input.size()) == kObSuccess) {
    orv::fuzz::CheckRoundTrip(record);
  }
  return 0;
}
