// Fuzzes the service profile reader: arbitrary bytes as the profile document, then every policy
// that the load produced is applied to a flow record, so the filter tests built from the
// document are evaluated too. The input goes through the same parser and profile code as a
// file; only the file read is skipped.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/orv_profile.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::fuzz::SilenceLogs();
  const std::string_view document(reinterpret_cast<const char*>(data), size);
  (void)CORVProfile::LoadProfileFromBuffer(document);
  static const ORVFlowObject flow = [] {
    ORVFlowObject f;
    f.source_address = "10.1.2.3";
    f.destination_address = "2001:db8::1";
    f.destination_port = 443;
    f.process_name = L"curl";
    f.process_user_name = L"host\\alice";
    f.process_hash = std::string(32, '\x5c');
    f.tracked = true;
    return f;
  }();
  const CORVProfile& profile = CORVProfile::GetInstance();
  for (std::size_t slot = 0; slot < kPolicySlots; ++slot) {
    for (const bool knox : {false, true}) {
      const DataCollectionPolicy policy = profile.GetPolicy(slot, knox);
      bool keep = true;
      (void)policy.IsFlowAllowed(flow, keep);
      (void)policy.IsFieldExcluded(12333);
    }
  }
  (void)profile.GetSettings();
  return 0;
}
