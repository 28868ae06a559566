#include "context/network_app_payload.h"

#include <algorithm>

#include "runtime/byte_order.h"
#include "runtime/logger.h"
#include "runtime/text.h"

namespace orv::context {
namespace {

constexpr std::size_t kProcessIdSize = 4;
constexpr std::size_t kUnitSize = 2;

}  // namespace

std::size_t NetworkAppPayloadSize(std::wstring_view name) {
  return kProcessIdSize + (OBRuntime::Utf16Length(name) + 1) * kUnitSize;
}

OB_STATUSCODE WriteNetworkAppPayload(std::uint32_t process_id, std::wstring_view name,
                                     std::span<std::uint8_t> buffer, std::size_t& size) {
  if (name.find(L'\0') != std::wstring_view::npos) {
    OB_LOG_ERROR("Process name of pid %u holds a zero character", process_id);
    return kObBadArgument;
  }
  size = NetworkAppPayloadSize(name);
  if (buffer.size() < size) {
    return kObBufferTooSmall;
  }
  std::uint8_t* out = buffer.data();
  OBRuntime::StoreLe<std::uint32_t>(out, process_id);
  out += kProcessIdSize;
  for (const char16_t unit : OBRuntime::WideToUtf16(name)) {
    OBRuntime::StoreLe<std::uint16_t>(out, unit);
    out += kUnitSize;
  }
  OBRuntime::StoreLe<std::uint16_t>(out, 0);
  return kObSuccess;
}

OB_STATUSCODE ReadNetworkAppPayload(std::span<const std::uint8_t> payload,
                                    std::uint32_t& process_id, std::wstring& name) {
  if (payload.size() < kProcessIdSize + kUnitSize || payload.size() % kUnitSize != 0) {
    OB_LOG_WARN("Network app payload of %zu bytes: needs 4 + 2n bytes, n >= 1", payload.size());
    return kObBadArgument;
  }
  std::u16string units;
  for (std::size_t at = kProcessIdSize; at < payload.size(); at += kUnitSize) {
    units.push_back(static_cast<char16_t>(OBRuntime::LoadLe<std::uint16_t>(&payload[at])));
  }
  if (units.back() != 0 || std::count(units.begin(), units.end(), u'\0') != 1) {
    OB_LOG_WARN("Network app payload of %zu bytes: the name must end with its only zero unit",
                payload.size());
    return kObBadArgument;
  }
  units.pop_back();
  process_id = OBRuntime::LoadLe<std::uint32_t>(payload.data());
  name = OBRuntime::Utf16ToWide(units);
  return kObSuccess;
}

}  // namespace orv::context
