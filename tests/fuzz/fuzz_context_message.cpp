// Fuzzes the context messages: arbitrary bytes as a received packet, and its payload as a network
// app. Aborts when a packet that decodes does not encode back to the same bytes, or when a
// payload that reads does not write back to the same bytes (names without replaced units).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "context/network_app_payload.h"
#include "fuzz_support.h"
#include "runtime/context_provider_service_base.h"
#include "runtime/text.h"

namespace {

void CheckPayload(std::span<const std::uint8_t> payload) {
  std::uint32_t process_id = 0;
  std::wstring name;
  if (!ObSucceeded(orv::context::ReadNetworkAppPayload(payload, process_id, name)) ||
      name.find(static_cast<wchar_t>(OBRuntime::kReplacementCharacter)) != std::wstring::npos) {
    return;
  }
  std::vector<std::uint8_t> buffer(orv::context::kNetworkAppBufferSize);
  std::size_t size = 0;
  OB_STATUSCODE status = orv::context::WriteNetworkAppPayload(process_id, name, buffer, size);
  if (status == kObBufferTooSmall) {
    buffer.resize(size);
    status = orv::context::WriteNetworkAppPayload(process_id, name, buffer, size);
  }
  if (!ObSucceeded(status) || size != payload.size() ||
      !std::equal(payload.begin(), payload.end(), buffer.begin())) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::fuzz::SilenceLogs();
  const std::span<const std::uint8_t> packet(data, size);
  OBRuntime::IPC_MESSAGE message;
  if (!ObSucceeded(OBRuntime::DecodeIpcMessage(packet, size, message))) {
    return 0;
  }
  std::vector<std::uint8_t> encoded;
  if (!ObSucceeded(OBRuntime::EncodeIpcMessage(message, encoded)) ||
      !std::equal(packet.begin(), packet.end(), encoded.begin(), encoded.end())) {
    std::abort();
  }
  CheckPayload(message.payload);
  return 0;
}
