// Fuzzes the "ORVI" interface record reader (its length field counts the 9 header bytes).
#include <cstddef>
#include <cstdint>

#include "common/interface_info.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::fuzz::SilenceLogs();
  if (size > 0) {
    orv::fuzz::ReadAndRoundTrip<InterfaceInfo>(orv::fuzz::Framed("ORVI", 9, data, size));
  }
  return 0;
}
