// Fuzzes the "ORVN" flow record reader (its length field counts what follows the header).
#include <cstddef>
#include <cstdint>

#include "common/orv_flow_object.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::fuzz::SilenceLogs();
  if (size > 0) {
    orv::fuzz::ReadAndRoundTrip<ORVFlowObject>(orv::fuzz::Framed("ORVN", 0, data, size));
  }
  return 0;
}
