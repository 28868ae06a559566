// Fuzzes the read-only "ORVO" flow record reader: the input follows the magic. A record that
// reads is also written in the current form and checked to read back to the same bytes.
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
  std::vector<std::uint8_t> input = {'O', 'R', 'V', 'O'};
  input.insert(input.end(), data, data + size);
  ORVFlowObject record;
  if (record.Deserialize(input.data(), input.size()) == kObSuccess) {
    orv::fuzz::CheckRoundTrip(record);
  }
  return 0;
}
