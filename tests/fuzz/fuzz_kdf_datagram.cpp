// Fuzzes the flow data channel's datagram handling: arbitrary bytes as a received datagram (its
// stated size taken from the input, so oversize and undersize paths run) and straight into
// processOrvData. Each delivered message is checked against its field bounds, and its host name
// is run through DecodeIDN as flow record construction will. Aborts on a bound violation.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "flow/idn_utils.h"
#include "flow/orv_user_kdf_ipc.h"
#include "fuzz_support.h"

namespace {

void CheckFlow(std::shared_ptr<const KdfFlowData> flow) {
  if (flow->header.version != kKdfVersion || flow->header.total_length != kKdfFlowDataSize ||
      flow->host_name.size() > kKdfHostNameBytes || flow->process_path.size() > kKdfPathBytes / 2 ||
      flow->parent_path.size() > kKdfPathBytes / 2) {
    std::abort();
  }
  std::wstring decoded;
  const OB_STATUSCODE status =
      IDNUtils::DecodeIDN(flow->host_name.data(), flow->host_name.size(), decoded);
  if (status == kObSuccess && decoded.size() > IDNUtils::kMaxNameLength) std::abort();
}

void CheckPidInfo(std::shared_ptr<const KdfPidInfo> info) {
  if (info->header.version != kKdfVersion || info->header.total_length != kKdfPidInfoSize) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::fuzz::SilenceLogs();
  static OB_STATUSCODE status = kObSuccess;
  static OrvUserKdfIpc channel(0, CheckFlow, CheckPidInfo, status);

  const std::span<const std::uint8_t> bytes(data, size);
  channel.processOrvData(bytes);
  // The first two bytes, when present, stand for the size the kernel reported; the received
  // bytes are what fits the channel's buffer.
  const std::size_t reported =
      size >= 2 ? (std::size_t{data[0]} | (std::size_t{data[1]} << 8)) % 2048 : size;
  const auto received = bytes.subspan(size >= 2 ? 2 : 0);
  channel.handleDatagram(
      received.first(std::min({received.size(), reported, OrvUserKdfIpc::kReceiveBufferSize})),
      reported);
  channel.handleDatagram(bytes.first(std::min(size, OrvUserKdfIpc::kReceiveBufferSize)), size);
  return 0;
}
