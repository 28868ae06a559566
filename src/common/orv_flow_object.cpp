#include "common/orv_flow_object.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <string_view>

#include "common/byte_stream.h"
#include "common/record_text.h"
#include "runtime/logger.h"
#include "runtime/text.h"

namespace {

using orv::ByteReader;
using orv::ByteWriter;

constexpr std::string_view kMagicV1 = "ORVN";
constexpr std::string_view kMagicOld = "ORVO";
constexpr std::string_view kEndMarker = "EM";
constexpr std::uint8_t kVersion = 1;
// Magic, version and payload length.
constexpr std::size_t kHeaderBytes = 4 + 1 + 4;
// An "ORVO" record stores each hash as this many raw bytes.
constexpr std::size_t kOldHashBytes = 32;
// Each entry of a counted list takes at least its u16 byte count.
constexpr std::size_t kMinCountedEntryBytes = 2;
// Each entry of a terminated wide list takes at least its terminator.
constexpr std::size_t kMinTerminatedWideBytes = 2;
// -9991: what the callers of Deserialize know as "empty buffer".
constexpr OB_STATUSCODE kEmptyBuffer = kObQueueEmpty;

constexpr char kDeserializeName[] = "ORVFlowObject::Deserialize";
constexpr char kDeserializationFailed[] = "Object deserialization failed";

// Counts what a ByteWriter would write, so the size and the bytes come from one field list.
class ByteCounter {
 public:
  void PutU8(std::uint8_t) noexcept { bytes_ += 1; }
  void PutU16(std::uint16_t) noexcept { bytes_ += 2; }
  void PutU32(std::uint32_t) noexcept { bytes_ += 4; }
  void PutU64(std::uint64_t) noexcept { bytes_ += 8; }
  void PutBytes(std::string_view bytes) noexcept { bytes_ += bytes.size(); }
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

// The stored fields in "ORVN" order, from the process id up to the last hosted module hash.
template <typename Sink>
void PutStoredFields(const ORVFlowObject& r, Sink& out) {
  constexpr std::size_t kWide = ORVFlowObject::kMaxWideTextUnits;
  out.PutU32(r.process_id);
  out.PutCountedNarrow(r.source_address, ORVFlowObject::kMaxAddressBytes);
  out.PutU16(r.source_port);
  out.PutCountedNarrow(r.destination_address, ORVFlowObject::kMaxAddressBytes);
  out.PutU16(r.destination_port);
  out.PutU8(r.protocol);
  out.PutU32(r.flow_start);
  out.PutU32(r.flow_end);
  out.PutU64(r.bytes_in);
  out.PutU64(r.bytes_out);
  out.PutU32(r.interface_uid);
  out.PutU32(r.address_family);
  out.PutCountedWide(r.process_name, kWide);
  out.PutCountedWide(r.parent_process_name, kWide);
  out.PutCountedNarrow(r.process_hash, ORVFlowObject::kHashBytes);
  out.PutCountedNarrow(r.parent_process_hash, ORVFlowObject::kHashBytes);
  out.PutCountedWide(r.logged_in_user_name, kWide);
  out.PutU16(r.logged_in_user_account_type);
  out.PutCountedWide(r.process_user_name, kWide);
  out.PutU16(r.process_user_account_type);
  out.PutCountedWide(r.parent_process_user_name, kWide);
  out.PutU16(r.parent_process_user_account_type);
  out.PutCountedWide(r.dns_suffix, kWide);
  out.PutCountedWide(r.destination_host_name, kWide);
  const std::size_t modules = std::min(r.hosted_modules.size(), ORVFlowObject::kMaxHostedModules);
  out.PutU16(static_cast<std::uint16_t>(modules));
  for (std::size_t i = 0; i < modules; ++i) {
    out.PutCountedWide(r.hosted_modules[i], kWide);
  }
  const std::size_t hashes =
      std::min(r.hosted_module_hashes.size(), ORVFlowObject::kMaxHostedModules);
  out.PutU16(static_cast<std::uint16_t>(hashes));
  for (std::size_t i = 0; i < hashes; ++i) {
    out.PutCountedNarrow(r.hosted_module_hashes[i], ORVFlowObject::kHashBytes);
  }
}

// Reads the stored fields of an "ORVN" payload (end marker excluded); false when they do not
// fill it exactly.
bool GetStoredFields(ByteReader& in, ORVFlowObject& r) {
  constexpr std::size_t kWide = ORVFlowObject::kMaxWideTextUnits;
  r.process_id = in.GetU32();
  r.source_address = in.GetCountedNarrow(ORVFlowObject::kMaxAddressBytes);
  r.source_port = in.GetU16();
  r.destination_address = in.GetCountedNarrow(ORVFlowObject::kMaxAddressBytes);
  r.destination_port = in.GetU16();
  r.protocol = in.GetU8();
  r.flow_start = in.GetU32();
  r.flow_end = in.GetU32();
  r.bytes_in = in.GetU64();
  r.bytes_out = in.GetU64();
  r.interface_uid = in.GetU32();
  r.address_family = in.GetU32();
  r.process_name = in.GetCountedWide(kWide);
  r.parent_process_name = in.GetCountedWide(kWide);
  r.process_hash = in.GetCountedNarrow(ORVFlowObject::kHashBytes);
  r.parent_process_hash = in.GetCountedNarrow(ORVFlowObject::kHashBytes);
  r.logged_in_user_name = in.GetCountedWide(kWide);
  r.logged_in_user_account_type = in.GetU16();
  r.process_user_name = in.GetCountedWide(kWide);
  r.process_user_account_type = in.GetU16();
  r.parent_process_user_name = in.GetCountedWide(kWide);
  r.parent_process_user_account_type = in.GetU16();
  r.dns_suffix = in.GetCountedWide(kWide);
  r.destination_host_name = in.GetCountedWide(kWide);
  const std::uint16_t modules = in.GetU16();
  if (modules > in.remaining() / kMinCountedEntryBytes) {
    return false;
  }
  r.hosted_modules.reserve(modules);
  for (std::uint16_t i = 0; i < modules && in.ok(); ++i) {
    r.hosted_modules.push_back(in.GetCountedWide(kWide));
  }
  const std::uint16_t hashes = in.GetU16();
  if (hashes > in.remaining() / kMinCountedEntryBytes) {
    return false;
  }
  r.hosted_module_hashes.reserve(hashes);
  for (std::uint16_t i = 0; i < hashes && in.ok(); ++i) {
    r.hosted_module_hashes.push_back(in.GetCountedNarrow(ORVFlowObject::kHashBytes));
  }
  return in.ok() && in.remaining() == 0;
}

// Reads an "ORVO" record after its magic; trailing bytes are ignored (the layout has no length).
bool GetOldFields(ByteReader& in, ORVFlowObject& r) {
  constexpr std::size_t kWide = ORVFlowObject::kMaxWideTextUnits;
  r.process_id = in.GetU32();
  r.source_address = in.GetTerminatedNarrow(ORVFlowObject::kMaxAddressBytes);
  r.source_port = in.GetU16();
  r.destination_address = in.GetTerminatedNarrow(ORVFlowObject::kMaxAddressBytes);
  r.destination_port = in.GetU16();
  r.protocol = in.GetU8();
  r.flow_start = in.GetU32();
  r.flow_end = in.GetU32();
  r.bytes_in = in.GetU64();
  r.bytes_out = in.GetU64();
  r.interface_uid = in.GetU32();
  r.address_family = in.GetU32();
  r.process_name = in.GetTerminatedWide(kWide);
  r.parent_process_name = in.GetTerminatedWide(kWide);
  r.process_hash = std::string(in.GetBytes(kOldHashBytes));
  r.parent_process_hash = std::string(in.GetBytes(kOldHashBytes));
  r.logged_in_user_name = in.GetTerminatedWide(kWide);
  r.logged_in_user_account_type = in.GetU16();
  r.process_user_name = in.GetTerminatedWide(kWide);
  r.process_user_account_type = in.GetU16();
  r.parent_process_user_name = in.GetTerminatedWide(kWide);
  r.parent_process_user_account_type = in.GetU16();
  r.dns_suffix = in.GetTerminatedWide(kWide);
  r.destination_host_name = in.GetTerminatedWide(kWide);
  const std::uint32_t modules = in.GetU32();
  if (modules > in.remaining() / kMinTerminatedWideBytes) {
    return false;
  }
  r.hosted_modules.reserve(modules);
  for (std::uint32_t i = 0; i < modules && in.ok(); ++i) {
    r.hosted_modules.push_back(in.GetTerminatedWide(kWide));
  }
  const std::uint32_t hashes = in.GetU32();
  if (hashes > in.remaining() / kOldHashBytes) {
    return false;
  }
  r.hosted_module_hashes.reserve(hashes);
  for (std::uint32_t i = 0; i < hashes && in.ok(); ++i) {
    r.hosted_module_hashes.emplace_back(in.GetBytes(kOldHashBytes));
  }
  return in.ok();
}

// Reads a version-1 record: header checks, then the end marker, then the fields.
OB_STATUSCODE DeserializeV1(const std::uint8_t* buffer, std::size_t length, ORVFlowObject& r) {
  ByteReader header(buffer, length);
  header.Skip(kMagicV1.size());
  const std::uint8_t version = header.GetU8();
  if (header.ok() && version != kVersion) {
    OB_LOG_AS(LOG_ERROR, kDeserializeName, "Unknown ORV Flow Object version");
    return kObNotImplemented;
  }
  const std::uint32_t payload_length = header.GetU32();
  if (!header.ok() || payload_length > header.remaining()) {
    OB_LOG_AS(LOG_ERROR, kDeserializeName, "%s", kDeserializationFailed);
    return kObBadArgument;
  }
  const std::uint8_t* payload = buffer + kHeaderBytes;
  if (payload_length < kEndMarker.size() ||
      std::string_view(reinterpret_cast<const char*>(payload) + payload_length - kEndMarker.size(),
                       kEndMarker.size()) != kEndMarker) {
    OB_LOG_AS(LOG_ERROR, kDeserializeName,
              "Invalid flow object serialized buffer. No end marker found");
    return kObBadArgument;
  }
  ByteReader fields(payload, payload_length - kEndMarker.size());
  if (!GetStoredFields(fields, r)) {
    OB_LOG_AS(LOG_ERROR, kDeserializeName, "%s", kDeserializationFailed);
    return kObBadArgument;
  }
  return kObSuccess;
}

void AppendHex(std::string& out, std::string_view bytes) {
  constexpr char kDigits[] = "0123456789abcdef";
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    out += kDigits[value >> 4];
    out += kDigits[value & 0x0F];
  }
}

std::wstring HashText(std::string_view hash) {
  std::wstring text;
  text.reserve(hash.size());
  for (const char byte : hash) {
    text += static_cast<wchar_t>(static_cast<unsigned char>(byte));
  }
  return text;
}

// Field text lookup table: the text form of each field the filter engine can test.
struct FieldText {
  std::uint32_t field_id;
  bool pattern_applies;
  std::wstring (*text)(const ORVFlowObject&);
};

constexpr std::array kFieldTexts = {
    FieldText{kFieldProtocol, false,
              [](const ORVFlowObject& r) { return std::to_wstring(r.protocol); }},
    FieldText{kFieldSourcePort, false,
              [](const ORVFlowObject& r) { return std::to_wstring(r.source_port); }},
    FieldText{kFieldSourceIpv4Address, false,
              [](const ORVFlowObject& r) { return OBRuntime::Utf8ToWide(r.source_address); }},
    FieldText{kFieldSourceIpv6Address, false,
              [](const ORVFlowObject& r) { return OBRuntime::Utf8ToWide(r.source_address); }},
    FieldText{kFieldDestinationPort, false,
              [](const ORVFlowObject& r) { return std::to_wstring(r.destination_port); }},
    FieldText{kFieldDestinationIpv4Address, false,
              [](const ORVFlowObject& r) { return OBRuntime::Utf8ToWide(r.destination_address); }},
    FieldText{kFieldDestinationIpv6Address, false,
              [](const ORVFlowObject& r) { return OBRuntime::Utf8ToWide(r.destination_address); }},
    FieldText{kFieldLoggedInUserName, true,
              [](const ORVFlowObject& r) { return r.logged_in_user_name; }},
    FieldText{kFieldProcessUserName, true,
              [](const ORVFlowObject& r) { return r.process_user_name; }},
    FieldText{kFieldParentProcessUserName, true,
              [](const ORVFlowObject& r) { return r.parent_process_user_name; }},
    FieldText{kFieldProcessName, true, [](const ORVFlowObject& r) { return r.process_name; }},
    FieldText{kFieldParentProcessName, true,
              [](const ORVFlowObject& r) { return r.parent_process_name; }},
    FieldText{kFieldDnsSuffix, true, [](const ORVFlowObject& r) { return r.dns_suffix; }},
    FieldText{kFieldDestinationHostName, true,
              [](const ORVFlowObject& r) { return r.destination_host_name; }},
    FieldText{kFieldProcessHash, false,
              [](const ORVFlowObject& r) { return HashText(r.process_hash); }},
    FieldText{kFieldParentProcessHash, false,
              [](const ORVFlowObject& r) { return HashText(r.parent_process_hash); }},
    FieldText{
        kFieldLoggedInUserAccountType, false,
        [](const ORVFlowObject& r) { return std::to_wstring(r.logged_in_user_account_type); }},
    FieldText{kFieldProcessUserAccountType, false,
              [](const ORVFlowObject& r) { return std::to_wstring(r.process_user_account_type); }},
    FieldText{
        kFieldParentProcessUserAccountType, false,
        [](const ORVFlowObject& r) { return std::to_wstring(r.parent_process_user_account_type); }},
};

}  // namespace

std::uint32_t ORVFlowObject::NextFlowId() noexcept {
  static std::atomic<std::uint32_t> next{1};
  std::uint32_t id = next.fetch_add(1, std::memory_order_relaxed);
  while (id == 0) {
    id = next.fetch_add(1, std::memory_order_relaxed);
  }
  return id;
}

std::string ORVFlowObject::ToString() const {
  std::string out;
  out.reserve(640);
  const auto number = [&out](std::uint64_t value) { out += std::to_string(value); };
  out += "FlowId: ";
  number(flow_id);
  out += " Pid: ";
  number(process_id);
  out += " PPid: ";
  number(parent_process_id);
  out += " Network : [";
  orv::AppendLogText(out, source_address);
  out += ':';
  number(source_port);
  out += "] --> [";
  orv::AppendLogText(out, destination_address);
  out += ':';
  number(destination_port);
  out += "] Protocol: ";
  out += protocol == 6 ? "TCP" : "UDP";
  out += " Flow Start second: ";
  number(flow_start);
  out += " Flow End second: ";
  number(flow_end);
  out += " L4 Byte count In: ";
  number(bytes_in);
  out += " L4 Byte count Out: ";
  number(bytes_out);
  out += " Process Name: ";
  orv::AppendLogText(out, process_name);
  out += " Process Path: ";
  orv::AppendLogText(out, process_path);
  out += " Process hash: ";
  AppendHex(out, process_hash);
  out += " Process Username: ";
  orv::AppendLogText(out, process_user_name);
  out += " Parent process Name: ";
  orv::AppendLogText(out, parent_process_name);
  out += " Parent process Path: ";
  orv::AppendLogText(out, parent_process_path);
  out += " Parent process hash: ";
  AppendHex(out, parent_process_hash);
  out += " Logged in username: ";
  orv::AppendLogText(out, logged_in_user_name);
  out += " Logged in user account type: ";
  number(logged_in_user_account_type);
  out += " Process username : ";
  orv::AppendLogText(out, process_user_name);
  out += " Process user account type: ";
  number(process_user_account_type);
  out += " Parent process username: ";
  orv::AppendLogText(out, parent_process_user_name);
  out += " Parent process user account type: ";
  number(parent_process_user_account_type);
  out += " DNS suffix: ";
  orv::AppendLogText(out, dns_suffix);
  out += " Destination hostname: ";
  orv::AppendLogText(out, destination_host_name);
  return out;
}

std::wstring ORVFlowObject::GetFieldText(std::uint32_t field_id, bool* pattern_applies) const {
  const auto* entry =
      std::find_if(kFieldTexts.begin(), kFieldTexts.end(),
                   [field_id](const FieldText& e) { return e.field_id == field_id; });
  const bool found = entry != kFieldTexts.end();
  if (pattern_applies != nullptr) {
    *pattern_applies = found && entry->pattern_applies;
  }
  return found ? entry->text(*this) : std::wstring();
}

std::size_t ORVFlowObject::SerializedSize() const noexcept {
  ByteCounter counter;
  PutStoredFields(*this, counter);
  return kHeaderBytes + counter.position() + kEndMarker.size();
}

OB_STATUSCODE ORVFlowObject::Serialize(std::uint8_t* buffer, std::uint32_t* size) const {
  const std::size_t needed = SerializedSize();
  if (buffer == nullptr || size == nullptr || *size == 0) {
    OB_LOG_ERROR("Memory not allocated for buffer");
    if (size != nullptr) {
      *size = static_cast<std::uint32_t>(needed);
    }
    return kObBadArgument;
  }
  if (*size < needed) {
    OB_LOG_ERROR("Buffer not sufficient for serializing flowObject");
    *size = static_cast<std::uint32_t>(needed);
    return kObBufferTooSmall;
  }
  const std::size_t payload_length = needed - kHeaderBytes;
  ByteWriter out(buffer, needed);
  out.PutBytes(kMagicV1);
  out.PutU8(kVersion);
  out.PutU32(static_cast<std::uint32_t>(payload_length));
  PutStoredFields(*this, out);
  out.PutBytes(kEndMarker);
  if (!out.ok() || out.position() - kHeaderBytes != payload_length) {
    OB_LOG_ERROR("Flow object length sanity failed. Error in flow object serialization");
    return kObExportNotPossible;
  }
  *size = static_cast<std::uint32_t>(needed);
  return kObSuccess;
}

OB_STATUSCODE ORVFlowObject::Deserialize(const std::uint8_t* buffer, std::size_t length) {
  if (buffer == nullptr || length == 0) {
    OB_LOG_ERROR("Buffer sent was empty");
    return kEmptyBuffer;
  }
  if (length < kMagicV1.size()) {
    OB_LOG_ERROR("%s", kDeserializationFailed);
    return kObBadArgument;
  }
  const std::string_view magic(reinterpret_cast<const char*>(buffer), kMagicV1.size());
  ORVFlowObject record;
  if (magic == kMagicV1) {
    const OB_STATUSCODE status = DeserializeV1(buffer, length, record);
    if (!ObSucceeded(status)) {
      return status;
    }
  } else if (magic == kMagicOld) {
    ByteReader in(buffer + kMagicOld.size(), length - kMagicOld.size());
    if (!GetOldFields(in, record)) {
      OB_LOG_ERROR("%s", kDeserializationFailed);
      return kObBadArgument;
    }
  } else {
    OB_LOG_ERROR("The buffer sent was not the serialized form of ORVObject");
    return kObBadArgument;
  }
  *this = std::move(record);
  return kObSuccess;
}
