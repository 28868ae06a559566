#include "export/ipfix_defs.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "runtime/logger.h"
#include "runtime/utils.h"

namespace IPFIX_DEFS {
namespace {

std::atomic<std::uint32_t> record_counter{1};

template <typename Unsigned>
OB_STATUSCODE PackBigEndian(std::uint8_t* dst, std::size_t capacity, Unsigned value,
                            std::size_t& written) {
  constexpr std::size_t kSize = sizeof(Unsigned);
  if (capacity < kSize) {
    return kObBufferTooSmall;
  }
  for (std::size_t i = 0; i < kSize; ++i) {
    dst[i] = static_cast<std::uint8_t>(value >> (8 * (kSize - 1 - i)));
  }
  written = kSize;
  return kObSuccess;
}

// The length prefix of a variable-length field of length bytes; kObFailure when the length
// cannot be expressed.
OB_STATUSCODE PackLengthPrefix(std::uint8_t* dst, std::size_t capacity, std::size_t length,
                               std::size_t& written) {
  if (length < kLongLengthMarker) {
    return pack(dst, capacity, static_cast<std::uint8_t>(length), written);
  }
  if (length > 0xFFFF) {
    OB_LOG_AS(LOG_ERROR, "IPFIX_DEFS::PackVariableLengthData",
              "PackVariableLengthData:: %zu bytes exceed the 65535 a field can hold", length);
    return kObFailure;
  }
  if (capacity < 3) {
    return kObBufferTooSmall;
  }
  dst[0] = kLongLengthMarker;
  std::size_t ignored = 0;
  (void)pack(dst + 1, capacity - 1, static_cast<std::uint16_t>(length), ignored);
  written = 3;
  return kObSuccess;
}

// Copies text that is all ASCII (its own UTF-8 form, by far the common case) without a
// conversion buffer. False when it does not fit or is not ASCII; the bytes then mean nothing.
bool CopyAscii(std::uint8_t* dst, std::size_t capacity, std::wstring_view value) {
  if (capacity < value.size()) {
    return false;
  }
  std::uint32_t seen = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    seen |= static_cast<std::uint32_t>(value[i]);
    dst[i] = static_cast<std::uint8_t>(value[i]);
  }
  return seen < 0x80;
}

int HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

template <std::size_t kBytes>
OB_STATUSCODE ParseAddress(int family, std::uint8_t* dst, std::size_t capacity,
                           std::string_view address, std::size_t& written, std::string& error) {
  if (capacity < kBytes) {
    return kObBufferTooSmall;
  }
  // inet_pton needs a terminated text; anything this long is no numeric address anyway.
  std::array<char, 64> text{};
  std::array<std::uint8_t, kBytes> bytes{};
  if (address.size() >= text.size() || address.find('\0') != std::string_view::npos) {
    error = std::make_error_code(std::errc::invalid_argument).message();
    return kObFailure;
  }
  std::memcpy(text.data(), address.data(), address.size());
  if (inet_pton(family, text.data(), bytes.data()) != 1) {
    error = std::make_error_code(std::errc::invalid_argument).message();
    return kObFailure;
  }
  std::memcpy(dst, bytes.data(), kBytes);
  written = kBytes;
  return kObSuccess;
}

// Writes the three-byte length form, then the list header, then each item through put_item.
template <typename Items, typename PutItem>
OB_STATUSCODE PackList(std::uint8_t* dst, std::size_t capacity, const BasicListHeader& header,
                       const Items& items, PutItem put_item, std::size_t& written) {
  if (capacity < 3) {
    return kObBufferTooSmall;
  }
  std::size_t used = 3;
  std::size_t step = 0;
  const auto put = [&](OB_STATUSCODE status) {
    if (ObSucceeded(status)) {
      used += step;
    }
    return status;
  };
  OB_STATUSCODE status = put(pack(dst + used, capacity - used, kBasicListSemanticAllOf, step));
  if (ObSucceeded(status)) {
    status = put(pack(dst + used, capacity - used, header.element_id, step));
  }
  if (ObSucceeded(status)) {
    status = put(pack(dst + used, capacity - used, header.element_length, step));
  }
  if (ObSucceeded(status)) {
    status = put(pack(dst + used, capacity - used, kEnterpriseNumber, step));
  }
  for (auto it = items.begin(); ObSucceeded(status) && it != items.end(); ++it) {
    status = put(put_item(dst + used, capacity - used, *it, step));
  }
  if (!ObSucceeded(status)) {
    return status;
  }
  const std::size_t body = used - 3;
  if (body > 0xFFFF) {
    OB_LOG_ERROR("basicList body of %zu bytes exceeds the 65535 a field can hold", body);
    return kObFailure;
  }
  dst[0] = kLongLengthMarker;
  dst[1] = static_cast<std::uint8_t>(body >> 8);
  dst[2] = static_cast<std::uint8_t>(body);
  written = used;
  return kObSuccess;
}

}  // namespace

OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::uint8_t value,
                   std::size_t& written) {
  return PackBigEndian(dst, capacity, value, written);
}

OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::uint16_t value,
                   std::size_t& written) {
  return PackBigEndian(dst, capacity, value, written);
}

OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::uint32_t value,
                   std::size_t& written) {
  return PackBigEndian(dst, capacity, value, written);
}

OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::uint64_t value,
                   std::size_t& written) {
  return PackBigEndian(dst, capacity, value, written);
}

OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::string_view value,
                   std::size_t& written) {
  if (capacity < value.size()) {
    return kObBufferTooSmall;
  }
  if (!value.empty()) {
    std::memcpy(dst, value.data(), value.size());
  }
  written = value.size();
  return kObSuccess;
}

OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::wstring_view value,
                   std::size_t& written) {
  if (CopyAscii(dst, capacity, value)) {
    written = value.size();
    return kObSuccess;
  }
  std::string narrow;
  const OB_STATUSCODE status = OBRuntime::Utils::WideCharToMBCS(value, narrow);
  if (!ObSucceeded(status)) {
    OB_LOG_AS(LOG_ERROR, "pack", "PACK<wstring>:: call to WideCharToMBCS failed");
    return status;
  }
  return pack(dst, capacity, std::string_view(narrow), written);
}

OB_STATUSCODE PackVariableLengthData(std::uint8_t* dst, std::size_t capacity,
                                     std::wstring_view value, std::size_t& written) {
  const std::size_t ascii_prefix = value.size() < kLongLengthMarker ? 1 : 3;
  std::size_t prefix = 0;
  if (value.size() <= 0xFFFF && capacity >= ascii_prefix &&
      CopyAscii(dst + ascii_prefix, capacity - ascii_prefix, value) &&
      ObSucceeded(PackLengthPrefix(dst, capacity, value.size(), prefix))) {
    written = prefix + value.size();
    return kObSuccess;
  }
  std::size_t length = 0;
  if (!ObSucceeded(OBRuntime::Utils::WideCharToMBLength(value, length))) {
    OB_LOG_AS(LOG_ERROR, "IPFIX_DEFS::PackVariableLengthData",
              "PackVariableLengthData:: call to WideCharToMBLength failed");
    return kObFailure;
  }
  OB_STATUSCODE status = PackLengthPrefix(dst, capacity, length, prefix);
  if (!ObSucceeded(status)) {
    return status;
  }
  if (capacity - prefix < length) {
    return kObBufferTooSmall;
  }
  std::size_t text = 0;
  status = pack(dst + prefix, capacity - prefix, value, text);
  if (!ObSucceeded(status)) {
    return status;
  }
  written = prefix + text;
  return kObSuccess;
}

OB_STATUSCODE PackVariableLengthData(std::uint8_t* dst, std::size_t capacity,
                                     std::string_view value, std::size_t& written) {
  std::size_t prefix = 0;
  OB_STATUSCODE status = PackLengthPrefix(dst, capacity, value.size(), prefix);
  if (!ObSucceeded(status)) {
    return status;
  }
  std::size_t text = 0;
  status = pack(dst + prefix, capacity - prefix, value, text);
  if (!ObSucceeded(status)) {
    return status;
  }
  written = prefix + text;
  return kObSuccess;
}

OB_STATUSCODE StringToHexArray(std::uint8_t* dst, std::size_t capacity, std::string_view hex,
                               std::size_t& written) {
  const std::size_t bytes = hex.size() / 2;
  if (capacity < bytes) {
    return kObBufferTooSmall;
  }
  if (hex.size() % 2 != 0 || !IsLowercaseHex(hex, hex.size())) {
    OB_LOG_AS(LOG_DEBUG, "IPFIX_DEFS::StringToHexArray",
              "Passed string was not a valid hex string");
    return kObFailure;
  }
  for (std::size_t i = 0; i < bytes; ++i) {
    dst[i] = static_cast<std::uint8_t>((HexValue(hex[2 * i]) << 4) | HexValue(hex[2 * i + 1]));
  }
  written = bytes;
  return kObSuccess;
}

bool IsLowercaseHex(std::string_view text, std::size_t length) noexcept {
  if (text.size() != length) {
    return false;
  }
  for (const char c : text) {
    if (HexValue(c) < 0) {
      return false;
    }
  }
  return true;
}

bool IsLowercaseHex(std::wstring_view text, std::size_t length) noexcept {
  if (text.size() != length) {
    return false;
  }
  for (const wchar_t c : text) {
    if (c < 0 || c > 0x7F || HexValue(static_cast<char>(c)) < 0) {
      return false;
    }
  }
  return true;
}

OB_STATUSCODE IPv4StringToHex(std::uint8_t* dst, std::size_t capacity, std::string_view address,
                              std::size_t& written, std::string& error) {
  return ParseAddress<4>(AF_INET, dst, capacity, address, written, error);
}

OB_STATUSCODE IPv6StringToHex(std::uint8_t* dst, std::size_t capacity, std::string_view address,
                              std::size_t& written, std::string& error) {
  return ParseAddress<16>(AF_INET6, dst, capacity, address, written, error);
}

OB_STATUSCODE PackBasicList(std::uint8_t* dst, std::size_t capacity, const BasicListHeader& header,
                            std::span<const std::wstring> items, std::size_t& written) {
  const auto put_item = [](std::uint8_t* to, std::size_t room, const std::wstring& item,
                           std::size_t& n) { return PackVariableLengthData(to, room, item, n); };
  return PackList(dst, capacity, header, items, put_item, written);
}

OB_STATUSCODE PackBasicListRaw(std::uint8_t* dst, std::size_t capacity,
                               const BasicListHeader& header, std::span<const std::string> items,
                               std::size_t& written) {
  const auto put_item = [](std::uint8_t* to, std::size_t room, const std::string& item,
                           std::size_t& n) { return pack(to, room, std::string_view(item), n); };
  return PackList(dst, capacity, header, items, put_item, written);
}

std::uint32_t NextSequenceNumber(std::uint32_t data_records) noexcept {
  return record_counter.fetch_add(data_records, std::memory_order_relaxed);
}

std::uint32_t PeekSequenceNumber() noexcept {
  return record_counter.load(std::memory_order_relaxed);
}

std::uint32_t ExportTime() noexcept {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds));
}

}  // namespace IPFIX_DEFS

namespace {

// Writes a fixed-size header's fields in order: kObBufferTooSmall, nothing written, when size
// bytes do not fit, else every write fits and written becomes size.
template <typename... Fields>
OB_STATUSCODE PackAll(std::uint8_t* buffer, std::size_t capacity, std::size_t size,
                      std::size_t& written, Fields... fields) {
  if (capacity < size) {
    return kObBufferTooSmall;
  }
  std::size_t used = 0;
  const auto put = [&](auto value) {
    std::size_t step = 0;
    (void)IPFIX_DEFS::pack(buffer + used, capacity - used, value, step);
    used += step;
  };
  (put(fields), ...);
  written = size;
  return kObSuccess;
}

}  // namespace

OB_STATUSCODE IPFIX_PCKT_HDR::Serialize(std::uint8_t* buffer, std::size_t capacity,
                                        std::size_t& written) const {
  return PackAll(buffer, capacity, IPFIX_DEFS::kMessageHeaderSize, written, version_, length_,
                 export_time_, sequence_number_, observation_domain_);
}

OB_STATUSCODE IPFIX_SET_HEADER::Serialize(std::uint8_t* buffer, std::size_t capacity,
                                          std::size_t& written) const {
  return PackAll(buffer, capacity, IPFIX_DEFS::kSetHeaderSize, written, set_id_, length_);
}

OB_STATUSCODE IPFIX_TEMPLATE_HEADER::Serialize(std::uint8_t* buffer, std::size_t capacity,
                                               std::size_t& written) const {
  return PackAll(buffer, capacity, IPFIX_DEFS::kTemplateHeaderSize, written, template_id_,
                 field_count_);
}

OB_STATUSCODE CIPFIXFieldSpecifierIANA::Serialize(std::uint8_t* buffer, std::size_t capacity,
                                                  std::size_t& written) const {
  return PackAll(buffer, capacity, IPFIX_DEFS::kIanaSpecifierSize, written, element_id_,
                 field_length_);
}

OB_STATUSCODE CIPFIXFieldSpecifierVARNO::Serialize(std::uint8_t* buffer, std::size_t capacity,
                                                   std::size_t& written) const {
  return PackAll(buffer, capacity, IPFIX_DEFS::kEnterpriseSpecifierSize, written, element_id_,
                 field_length_, enterprise_number_);
}
