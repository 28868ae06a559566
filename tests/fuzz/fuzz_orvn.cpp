// Fuzzes the "ORVN" flow record reader. An input whose first byte is odd has the rest wrapped in
// a valid header and end marker, so most runs reach the field parser instead of the header
// checks; an even first byte sends the rest as it is.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/orv_flow_object.h"
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
    const auto payload = static_cast<std::uint32_t>(size - 1 + 2);
    input = {'O',
             'R',
             'V',
             'N',
             1,
             static_cast<std::uint8_t>(payload),
             static_cast<std::uint8_t>(payload >> 8),
             static_cast<std::uint8_t>(payload >> 16),
             static_cast<std::uint8_t>(payload >> 24)};
    input.insert(input.end(), data + 1, data + size);
    input.push_back('E');
    input.push_back('M');
  } else {
    input.assign(data + 1, data + size);
  }
  ORVFlowObject record;
  if (record.Deserialize(input.data(), input.size()) == kObSuccess) {
    orv::fuzz::CheckRoundTrip(record);
  }
  return 0;
}
