// Fuzzes the read-only "ORVO" flow record reader: the input follows the magic. A record that
// reads is also written in the current form and checked to read back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/orv_flow_object.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::fuzz::SilenceLogs();
  std::vector<std::uint8_t> input = {'O', 'R', 'V', 'O'};
  input.insert(input.end(), data, data + size);
  orv::fuzz::ReadAndRoundTrip<ORVFlowObject>(input);
  return 0;
}
