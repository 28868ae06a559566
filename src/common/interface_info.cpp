#include "common/interface_info.h"

#include <algorithm>
#include <limits>
#include <string_view>

#include "common/byte_stream.h"
#include "common/record_text.h"
#include "runtime/logger.h"

namespace {

using orv::ByteReader;
using orv::ByteWriter;

constexpr std::string_view kMarker = "ORVI";
constexpr std::string_view kEndMarker = "EM";
constexpr std::uint8_t kVersion = 1;
// Marker, version and total length.
constexpr std::size_t kHeaderBytes = 4 + 1 + 4;
// Each detail entry takes at least its u16 byte count.
constexpr std::size_t kMinEntryBytes = 2;
// -9991: what the callers of Deserialize know as "empty buffer".
constexpr OB_STATUSCODE kEmptyBuffer = kObQueueEmpty;

constexpr char kDeserializationFailed[] = "Object deserialization failed";

// Counts what a ByteWriter would write, so the size and the bytes come from one field list.
class ByteCounter {
 public:
  void PutU8(std::uint8_t) noexcept { bytes_ += 1; }
  void PutU16(std::uint16_t) noexcept { bytes_ += 2; }
  void PutU32(std::uint32_t) noexcept { bytes_ += 4; }
  void PutCountedNarrow(std::string_view text, std::size_t max_bytes) noexcept {
    bytes_ += orv::CountedNarrowSize(text, max_bytes);
  }
  void PutCountedWide(std::wstring_view text, std::size_t max_units) noexcept {
    bytes_ += orv::CountedWideSize(text, max_units);
  }
  [[nodiscard]] std::size_t position() const noexcept { return bytes_; }

 private:
  std::size_t bytes_ = 0;
};

// The stored fields in "ORVI" order, from the UID up to the hardware address.
template <typename Sink>
void PutStoredFields(const InterfaceInfo& r, Sink& out) {
  out.PutU32(r.uid);
  out.PutU32(r.index);
  out.PutU8(r.type_code);
  out.PutCountedWide(r.name, orv::kMaxCountedWideUnits);
  const std::size_t entries = std::min(r.detail_list.size(), InterfaceInfo::kMaxDetailEntries);
  out.PutU16(static_cast<std::uint16_t>(entries));
  for (std::size_t i = 0; i < entries; ++i) {
    out.PutCountedWide(r.detail_list[i], orv::kMaxCountedWideUnits);
  }
  out.PutCountedNarrow(r.hardware_address, orv::kMaxCountedTextBytes);
}

// Reads the stored fields (end marker excluded); false when they do not fill the input exactly.
bool GetStoredFields(ByteReader& in, InterfaceInfo& r) {
  r.uid = in.GetU32();
  r.index = in.GetU32();
  r.type_code = in.GetU8();
  r.name = in.GetCountedWide(orv::kMaxCountedWideUnits);
  const std::uint16_t entries = in.GetU16();
  if (entries > in.remaining() / kMinEntryBytes) {
    return false;
  }
  r.detail_list.reserve(entries);
  for (std::uint16_t i = 0; i < entries && in.ok(); ++i) {
    r.detail_list.push_back(in.GetCountedWide(orv::kMaxCountedWideUnits));
  }
  r.hardware_address = in.GetCountedNarrow(orv::kMaxCountedTextBytes);
  return in.ok() && in.remaining() == 0;
}

bool HasEndMarker(const std::uint8_t* buffer, std::uint32_t total_length) {
  return std::string_view(reinterpret_cast<const char*>(buffer) + total_length - kEndMarker.size(),
                          kEndMarker.size()) == kEndMarker;
}

}  // namespace

std::string InterfaceInfo::ToString() const {
  std::string out;
  out.reserve(160);
  out += "Interface UID: ";
  out += std::to_string(uid);
  out += " Interface Index: ";
  out += std::to_string(index);
  out += " Interface Type: ";
  out += std::to_string(type_code);
  out += " Interface Order ID: ";
  out += std::to_string(order_id);
  out += " Interface Name: ";
  orv::AppendLogText(out, name);
  out += " Interface Detail List: ";
  for (std::size_t i = 0; i < detail_list.size(); ++i) {
    if (i > 0) {
      out += ", ";
    }
    orv::AppendLogText(out, detail_list[i]);
  }
  return out;
}

std::size_t InterfaceInfo::SerializedSize() const noexcept {
  ByteCounter counter;
  PutStoredFields(*this, counter);
  return kHeaderBytes + counter.position() + kEndMarker.size();
}

OB_STATUSCODE InterfaceInfo::Serialize(std::uint8_t* buffer, std::uint32_t* size) const {
  const std::size_t needed = SerializedSize();
  // Only an absurd detail list (tens of thousands of huge entries) can pass the u32 length.
  if (needed > std::numeric_limits<std::uint32_t>::max()) {
    OB_LOG_ERROR("Interface object length sanity failed. Error in interface object serialization");
    return kObExportNotPossible;
  }
  if (buffer == nullptr || size == nullptr || *size == 0) {
    OB_LOG_ERROR("Memory not allocated for buffer");
    if (size != nullptr) {
      *size = static_cast<std::uint32_t>(needed);
    }
    return kObBadArgument;
  }
  if (*size < needed) {
    OB_LOG_ERROR("Buffer not sufficient for serializing Interface Object");
    *size = static_cast<std::uint32_t>(needed);
    return kObBufferTooSmall;
  }
  ByteWriter out(buffer, needed);
  out.PutBytes(kMarker);
  out.PutU8(kVersion);
  out.PutU32(static_cast<std::uint32_t>(needed));
  PutStoredFields(*this, out);
  out.PutBytes(kEndMarker);
  if (!out.ok() || out.position() != needed) {
    OB_LOG_ERROR("Interface object length sanity failed. Error in interface object serialization");
    return kObExportNotPossible;
  }
  *size = static_cast<std::uint32_t>(needed);
  return kObSuccess;
}

OB_STATUSCODE InterfaceInfo::Deserialize(const std::uint8_t* buffer, std::size_t length) {
  if (buffer == nullptr || length == 0) {
    OB_LOG_ERROR("Buffer sent was empty");
    return kEmptyBuffer;
  }
  ByteReader header(buffer, length);
  const std::string_view marker = header.GetBytes(kMarker.size());
  const std::uint8_t version = header.GetU8();
  const std::uint32_t total_length = header.GetU32();
  if (!header.ok() || marker != kMarker || version != kVersion || total_length > length ||
      total_length < kHeaderBytes + kEndMarker.size()) {
    OB_LOG_ERROR("%s", kDeserializationFailed);
    return kObBadArgument;
  }
  if (!HasEndMarker(buffer, total_length)) {
    OB_LOG_ERROR("Invalid interface object serialized buffer. No end marker found");
    return kObBadArgument;
  }
  ByteReader fields(buffer + kHeaderBytes, total_length - kHeaderBytes - kEndMarker.size());
  InterfaceInfo record;
  if (!GetStoredFields(fields, record)) {
    OB_LOG_ERROR("%s", kDeserializationFailed);
    return kObBadArgument;
  }
  *this = std::move(record);
  return kObSuccess;
}
