#include "export/ipfix_template.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "runtime/device_info.h"
#include "runtime/logger.h"
#include "runtime/utils.h"

namespace {

using IPFIX_DEFS::FieldSource;
using IPFIX_DEFS::TemplateField;
using UdidBytes = std::array<std::uint8_t, IPFIX_DEFS::kUdidBytes>;

constexpr char kFlowWriter[] = "IIPFIXTemplate::getMultipleObjectStream";
constexpr std::string_view kUnknownHash = "Unknown";
// The largest set (and message) length the 16-bit length fields can state.
constexpr std::size_t kMaxSetLength = 0xFFFF;

// Everything one record may draw its values from; the table says which applies.
struct RecordValues {
  const ORVFlowObject* flow = nullptr;
  const EndpointIdentity* identity = nullptr;
  const InterfaceInfo* interface_info = nullptr;
  UdidBytes udid{};
  int family = kFamilyIPv4;
};

UdidBytes FallbackUdid() {
  UdidBytes bytes;
  bytes.fill(0xFF);
  return bytes;
}

// The 20 bytes of a 40-character lowercase hex UDID; false when the text is anything else.
bool ParseUdid(std::string_view text, UdidBytes& bytes) {
  std::size_t written = 0;
  return IPFIX_DEFS::IsLowercaseHex(text, 2 * IPFIX_DEFS::kUdidBytes) &&
         ObSucceeded(IPFIX_DEFS::StringToHexArray(bytes.data(), bytes.size(), text, written));
}

// The UDID handed to the endpoint and interface writers, converted to narrow text first.
UdidBytes UdidFromText(std::wstring_view udid, const char* function) {
  std::string narrow;
  UdidBytes bytes{};
  if (!ObSucceeded(OBRuntime::Utils::WideCharToMBCS(udid, narrow))) {
    OB_LOG_AS(LOG_ERROR, function, "PACK<wstring>:: call to WideCharToMBCS failed");
    return FallbackUdid();
  }
  if (!ParseUdid(narrow, bytes)) {
    OB_LOG_AS(LOG_ERROR, function,
              "UDID of %zu characters is not 40 lowercase hex characters; using forty \"f\"",
              narrow.size());
    return FallbackUdid();
  }
  return bytes;
}

// The UDID read afresh for a flow record.
UdidBytes UdidForFlow(const OBRuntime::CDeviceInfo& device_info) {
  std::wstring udid;
  UdidBytes bytes{};
  if (!ObSucceeded(device_info.GetUDID(udid)) ||
      !IPFIX_DEFS::IsLowercaseHex(udid, 2 * IPFIX_DEFS::kUdidBytes) ||
      !ParseUdid(std::string(udid.begin(), udid.end()), bytes)) {
    OB_LOG_AS(LOG_ERROR, kFlowWriter,
              "CRXFlowPerFlowDataTemplateIPv4::GetObjectStream failed to extract UDID from "
              "endpoint. Using invalid UDID");
    return FallbackUdid();
  }
  return bytes;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  const char lower = static_cast<char>(c | 0x20);
  return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// A hash as the 32 raw bytes its field holds: raw bytes as they are, 64 hex characters decoded;
// "Unknown", empty and anything else (logged) give zeros.
std::string HashBytes(std::string_view hash) {
  std::string bytes(IPFIX_DEFS::kHashBytes, '\0');
  if (hash.size() == IPFIX_DEFS::kHashBytes) {
    bytes.assign(hash);
    return bytes;
  }
  if (hash.empty() || hash == kUnknownHash) {
    return bytes;
  }
  if (hash.size() == 2 * IPFIX_DEFS::kHashBytes &&
      std::all_of(hash.begin(), hash.end(), [](char c) { return HexDigit(c) >= 0; })) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<char>((HexDigit(hash[2 * i]) << 4) | HexDigit(hash[2 * i + 1]));
    }
    return bytes;
  }
  OB_LOG_AS(LOG_ERROR, kFlowWriter,
            "hash of %zu bytes is neither 32 bytes nor 64 hex characters; writing 32 zero bytes",
            hash.size());
  return bytes;
}

OB_STATUSCODE PackZeros(std::uint8_t* dst, std::size_t capacity, std::size_t count,
                        std::size_t& written) {
  if (capacity < count) {
    return kObBufferTooSmall;
  }
  std::memset(dst, 0, count);
  written = count;
  return kObSuccess;
}

OB_STATUSCODE PackAddress(std::uint8_t* dst, std::size_t capacity, const std::string& address,
                          int family, std::size_t& written) {
  std::string error;
  const bool v6 = family == kFamilyIPv6;
  const OB_STATUSCODE status =
      v6 ? IPFIX_DEFS::IPv6StringToHex(dst, capacity, address, written, error)
         : IPFIX_DEFS::IPv4StringToHex(dst, capacity, address, written, error);
  if (status != kObFailure) {
    return status;
  }
  OB_LOG_AS(LOG_ERROR, kFlowWriter,
            v6 ? "IIPFIXTemplate::getObjectStream call to IPv6StringToHex failed with exception %s"
               : "IIPFIXTemplate::getObjectStream call to IPv4StringToHex failed with exception %s",
            error.c_str());
  return PackZeros(dst, capacity, v6 ? 16 : 4, written);
}

OB_STATUSCODE PackHash(std::uint8_t* dst, std::size_t capacity, const std::string& hash,
                       std::size_t& written) {
  if (hash.size() == IPFIX_DEFS::kHashBytes) {
    return IPFIX_DEFS::pack(dst, capacity, std::string_view(hash), written);
  }
  return IPFIX_DEFS::pack(dst, capacity, std::string_view(HashBytes(hash)), written);
}

OB_STATUSCODE PackModuleHashes(std::uint8_t* dst, std::size_t capacity,
                               const IPFIX_DEFS::BasicListHeader& header,
                               const std::vector<std::string>& hashes, std::size_t& written) {
  const bool all_raw = std::all_of(hashes.begin(), hashes.end(), [](const std::string& hash) {
    return hash.size() == IPFIX_DEFS::kHashBytes;
  });
  if (all_raw) {
    return IPFIX_DEFS::PackBasicListRaw(dst, capacity, header, hashes, written);
  }
  std::vector<std::string> normalised;
  normalised.reserve(hashes.size());
  for (const std::string& hash : hashes) {
    normalised.push_back(HashBytes(hash));
  }
  return IPFIX_DEFS::PackBasicListRaw(dst, capacity, header, normalised, written);
}

IPFIX_DEFS::BasicListHeader ListHeader(const TemplateField& field) {
  return {static_cast<std::uint16_t>(field.item_element_id | IPFIX_DEFS::kEnterpriseBit),
          field.item_length};
}

using IPFIX_DEFS::pack;
using IPFIX_DEFS::PackVariableLengthData;

OB_STATUSCODE PackFlowField(std::uint8_t* dst, std::size_t capacity, const TemplateField& field,
                            const RecordValues& values, std::size_t& n) {
  const ORVFlowObject& f = *values.flow;
  switch (field.source) {
    case FieldSource::kProtocol:
      return pack(dst, capacity, f.protocol, n);
    case FieldSource::kSourceAddress:
      return PackAddress(dst, capacity, f.source_address, values.family, n);
    case FieldSource::kSourcePort:
      return pack(dst, capacity, f.source_port, n);
    case FieldSource::kDestinationAddress:
      return PackAddress(dst, capacity, f.destination_address, values.family, n);
    case FieldSource::kDestinationPort:
      return pack(dst, capacity, f.destination_port, n);
    case FieldSource::kFlowStart:
      return pack(dst, capacity, f.flow_start, n);
    case FieldSource::kFlowEnd:
      return pack(dst, capacity, f.flow_end, n);
    case FieldSource::kLoggedInUserName:
      return PackVariableLengthData(dst, capacity, std::wstring_view(f.logged_in_user_name), n);
    case FieldSource::kLoggedInUserAccountType:
      return pack(dst, capacity, f.logged_in_user_account_type, n);
    case FieldSource::kProcessUserName:
      return PackVariableLengthData(dst, capacity, std::wstring_view(f.process_user_name), n);
    case FieldSource::kProcessUserAccountType:
      return pack(dst, capacity, f.process_user_account_type, n);
    case FieldSource::kProcessName:
      return PackVariableLengthData(dst, capacity, std::wstring_view(f.process_name), n);
    case FieldSource::kProcessHash:
      return PackHash(dst, capacity, f.process_hash, n);
    case FieldSource::kParentProcessUserName:
      return PackVariableLengthData(dst, capacity, std::wstring_view(f.parent_process_user_name),
                                    n);
    case FieldSource::kParentProcessUserAccountType:
      return pack(dst, capacity, f.parent_process_user_account_type, n);
    case FieldSource::kParentProcessName:
      return PackVariableLengthData(dst, capacity, std::wstring_view(f.parent_process_name), n);
    case FieldSource::kParentProcessHash:
      return PackHash(dst, capacity, f.parent_process_hash, n);
    case FieldSource::kBytesIn:
      return pack(dst, capacity, f.bytes_in, n);
    case FieldSource::kBytesOut:
      return pack(dst, capacity, f.bytes_out, n);
    case FieldSource::kDnsSuffix:
      return PackVariableLengthData(dst, capacity, std::wstring_view(f.dns_suffix), n);
    case FieldSource::kDestinationHostName:
      return PackVariableLengthData(dst, capacity, std::wstring_view(f.destination_host_name), n);
    case FieldSource::kFlowInterfaceUid:
      return pack(dst, capacity, f.interface_uid, n);
    case FieldSource::kHostedModules:
      return IPFIX_DEFS::PackBasicList(dst, capacity, ListHeader(field), f.hosted_modules, n);
    case FieldSource::kHostedModuleHashes:
      return PackModuleHashes(dst, capacity, ListHeader(field), f.hosted_module_hashes, n);
    default:
      return kObNotImplemented;
  }
}

OB_STATUSCODE PackIdentityField(std::uint8_t* dst, std::size_t capacity, const TemplateField& field,
                                const RecordValues& values, std::size_t& n) {
  const EndpointIdentity& e = *values.identity;
  switch (field.source) {
    case FieldSource::kHostName:
      return PackVariableLengthData(dst, capacity, e.host_name, n);
    case FieldSource::kOsText1:
      return PackVariableLengthData(dst, capacity, e.os_text1, n);
    case FieldSource::kOsText2:
      return PackVariableLengthData(dst, capacity, e.os_text2, n);
    case FieldSource::kOsText3:
      return PackVariableLengthData(dst, capacity, e.os_text3, n);
    case FieldSource::kManufacturer:
      return PackVariableLengthData(dst, capacity, e.manufacturer, n);
    case FieldSource::kSystemType:
      return PackVariableLengthData(dst, capacity, e.system_type, n);
    default:
      return kObNotImplemented;
  }
}

OB_STATUSCODE PackInterfaceField(std::uint8_t* dst, std::size_t capacity,
                                 const TemplateField& field, const RecordValues& values,
                                 std::size_t& n) {
  const InterfaceInfo& i = *values.interface_info;
  switch (field.source) {
    case FieldSource::kInterfaceUid:
      return pack(dst, capacity, i.uid, n);
    case FieldSource::kInterfaceIndex:
      return pack(dst, capacity, i.index, n);
    case FieldSource::kInterfaceType:
      return pack(dst, capacity, i.type_code, n);
    case FieldSource::kInterfaceName:
      return PackVariableLengthData(dst, capacity, i.name, n);
    case FieldSource::kInterfaceDetails:
      return IPFIX_DEFS::PackBasicList(dst, capacity, ListHeader(field), i.detail_list, n);
    case FieldSource::kHardwareAddress:
      return PackVariableLengthData(dst, capacity, std::string_view(i.hardware_address), n);
    default:
      return kObNotImplemented;
  }
}

OB_STATUSCODE PackField(std::uint8_t* dst, std::size_t capacity, const TemplateField& field,
                        const RecordValues& values, std::size_t& n) {
  if (field.source == FieldSource::kUdid) {
    return pack(
        dst, capacity,
        std::string_view(reinterpret_cast<const char*>(values.udid.data()), values.udid.size()), n);
  }
  if (values.flow != nullptr) {
    return PackFlowField(dst, capacity, field, values, n);
  }
  if (values.identity != nullptr) {
    return PackIdentityField(dst, capacity, field, values, n);
  }
  return PackInterfaceField(dst, capacity, field, values, n);
}

// One record in table order at dst; on failure nothing is reported and the bytes mean nothing.
OB_STATUSCODE WriteRecord(std::uint8_t* dst, std::size_t capacity,
                          std::span<const TemplateField> fields, const RecordValues& values,
                          std::size_t& written) {
  std::size_t used = 0;
  for (const TemplateField& field : fields) {
    std::size_t step = 0;
    const OB_STATUSCODE status = PackField(dst + used, capacity - used, field, values, step);
    if (!ObSucceeded(status)) {
      return status;
    }
    used += step;
  }
  written = used;
  return kObSuccess;
}

void WriteSetHeader(std::uint8_t* buffer, std::uint16_t set_id, std::size_t length) {
  std::size_t ignored = 0;
  (void)IPFIX_SET_HEADER(set_id, static_cast<std::uint16_t>(length))
      .Serialize(buffer, IPFIX_DEFS::kSetHeaderSize, ignored);
}

// A set of exactly one record.
OB_STATUSCODE WriteSingleRecordSet(std::uint8_t* buffer, std::size_t capacity, std::uint16_t set_id,
                                   std::span<const TemplateField> fields,
                                   const RecordValues& values, std::size_t& written) {
  capacity = std::min(capacity, kMaxSetLength);
  if (capacity < IPFIX_DEFS::kSetHeaderSize) {
    return kObBufferTooSmall;
  }
  std::size_t record = 0;
  const OB_STATUSCODE status =
      WriteRecord(buffer + IPFIX_DEFS::kSetHeaderSize, capacity - IPFIX_DEFS::kSetHeaderSize,
                  fields, values, record);
  if (!ObSucceeded(status)) {
    return status;
  }
  written = IPFIX_DEFS::kSetHeaderSize + record;
  WriteSetHeader(buffer, set_id, written);
  return kObSuccess;
}

}  // namespace

IIPFIXTemplate::IIPFIXTemplate(std::uint16_t template_id,
                               std::span<const IPFIX_DEFS::TemplateField> fields)
    : header_(template_id, static_cast<std::uint16_t>(fields.size())),
      fields_(fields),
      template_id_(template_id) {
  specifiers_.reserve(fields.size());
  for (const TemplateField& field : fields) {
    if (field.enterprise) {
      specifiers_.push_back(std::make_unique<CIPFIXFieldSpecifierVARNO>(
          field.element_id, field.length, IPFIX_DEFS::kEnterpriseNumber));
    } else {
      specifiers_.push_back(
          std::make_unique<CIPFIXFieldSpecifierIANA>(field.element_id, field.length));
    }
  }
}

IIPFIXTemplate::~IIPFIXTemplate() = default;

OB_STATUSCODE IIPFIXTemplate::Serialize(std::uint8_t* buffer, std::size_t capacity,
                                        std::size_t& written) const {
  if (capacity < GetTemplateSize()) {
    return kObBufferTooSmall;
  }
  std::size_t used = 0;
  OB_STATUSCODE status = header_.Serialize(buffer, capacity, used);
  for (auto it = specifiers_.begin(); ObSucceeded(status) && it != specifiers_.end(); ++it) {
    std::size_t step = 0;
    status = (*it)->Serialize(buffer + used, capacity - used, step);
    used += step;
  }
  if (ObSucceeded(status)) {
    written = used;
  }
  return status;
}

std::uint16_t IIPFIXTemplate::GetTemplateId() const { return template_id_; }

std::size_t IIPFIXTemplate::GetTemplateSize() const {
  return IPFIX_DEFS::TemplateRecordSize(fields_);
}

OB_STATUSCODE IIPFIXTemplate::getObjectStream(std::uint8_t* /*buffer*/, std::size_t /*capacity*/,
                                              const ORVFlowObject& /*flow*/, std::size_t& written) {
  written = 0;
  return kObNotImplemented;
}

OB_STATUSCODE IIPFIXTemplate::getMultipleObjectStream(std::uint8_t* /*buffer*/,
                                                      std::size_t /*room*/,
                                                      std::size_t /*capacity*/,
                                                      FlowRecordQueue& /*queue*/,
                                                      std::size_t& written) {
  written = 0;
  return kObNotImplemented;
}

OB_STATUSCODE IIPFIXTemplate::GetEndpointIdentityStream(std::uint8_t* /*buffer*/,
                                                        std::size_t /*capacity*/,
                                                        const EndpointIdentity& /*identity*/,
                                                        std::size_t& written) {
  written = 0;
  return kObNotImplemented;
}

OB_STATUSCODE IIPFIXTemplate::GetInterfaceInfoStream(std::uint8_t* /*buffer*/,
                                                     std::size_t /*capacity*/, std::size_t& written,
                                                     const InterfaceInfo& /*interface_info*/,
                                                     std::wstring_view /*udid*/) {
  written = 0;
  return kObNotImplemented;
}

OB_STATUSCODE IIPFIXTemplate::writeFlowSet(std::uint8_t* buffer, std::size_t room,
                                           std::size_t capacity, FlowRecordQueue& queue, int family,
                                           const OBRuntime::CDeviceInfo& device_info,
                                           std::size_t& written) const {
  written = 0;
  if (queue.IsEmpty()) {
    return kObSuccess;
  }
  capacity = std::min(capacity, kMaxSetLength);
  if (capacity < IPFIX_DEFS::kMessageHeaderSize) {
    return kObBufferTooSmall;
  }
  std::size_t set_length = IPFIX_DEFS::kSetHeaderSize;
  // The first record may use the whole buffer; later ones must fit under the room.
  std::size_t record_capacity = capacity - set_length;
  RecordValues values;
  values.family = family;
  // Read once per set: a set holds a handful of records and the UDID does not change meanwhile.
  values.udid = UdidForFlow(device_info);
  FlowRecordPtr record;
  while (queue.Front(record) == kObSuccess) {
    if (!record) {
      (void)queue.Pop(record);
      continue;
    }
    values.flow = record.get();
    std::size_t record_length = 0;
    const OB_STATUSCODE status =
        WriteRecord(buffer + set_length, record_capacity, fields_, values, record_length);
    if (!ObSucceeded(status)) {
      return status;
    }
    set_length += record_length;
    WriteSetHeader(buffer, template_id_, set_length);
    written = set_length;
    (void)queue.Pop(record);
    const std::size_t limit = std::min(room, capacity);
    if (set_length >= limit) {
      break;
    }
    record_capacity = limit - set_length;
  }
  return kObSuccess;
}

OB_STATUSCODE IIPFIXTemplate::writeEndpointIdentitySet(std::uint8_t* buffer, std::size_t capacity,
                                                       const EndpointIdentity& identity,
                                                       std::size_t& written) const {
  RecordValues values;
  values.identity = &identity;
  values.udid = UdidFromText(identity.udid, "IIPFIXTemplate::getEndpointIdentityStream");
  return WriteSingleRecordSet(buffer, capacity, template_id_, fields_, values, written);
}

OB_STATUSCODE IIPFIXTemplate::writeInterfaceInfoSet(std::uint8_t* buffer, std::size_t capacity,
                                                    const InterfaceInfo& interface_info,
                                                    std::wstring_view udid,
                                                    std::size_t& written) const {
  RecordValues values;
  values.interface_info = &interface_info;
  values.udid = UdidFromText(udid, "IIPFIXTemplate::getInterfaceInfoStream");
  return WriteSingleRecordSet(buffer, capacity, template_id_, fields_, values, written);
}

CRXFlowEndpointIdentityTemplate::CRXFlowEndpointIdentityTemplate()
    : IIPFIXTemplate(IPFIX_DEFS::kTemplateIdEndpointIdentity, IPFIX_DEFS::kEndpointIdentityFields) {
}

OB_STATUSCODE CRXFlowEndpointIdentityTemplate::GetEndpointIdentityStream(
    std::uint8_t* buffer, std::size_t capacity, const EndpointIdentity& identity,
    std::size_t& written) {
  OB_LOG_DEBUG("CIPFIXConverter::GetEndpointIdentityStream VIRTUAL_SUCCESS");
  written = 0;
  return writeEndpointIdentitySet(buffer, capacity, identity, written);
}

CRXFlowInterfaceInfoTemplate::CRXFlowInterfaceInfoTemplate()
    : IIPFIXTemplate(IPFIX_DEFS::kTemplateIdInterfaceInfo, IPFIX_DEFS::kInterfaceInfoFields) {}

OB_STATUSCODE CRXFlowInterfaceInfoTemplate::GetInterfaceInfoStream(
    std::uint8_t* buffer, std::size_t capacity, std::size_t& written,
    const InterfaceInfo& interface_info, std::wstring_view udid) {
  OB_LOG_DEBUG("CIPFIXConverter::GetInterfaceInfoStream VIRTUAL_SUCCESS");
  written = 0;
  return writeInterfaceInfoSet(buffer, capacity, interface_info, udid, written);
}

CRXFlowPerFlowDataTemplateIPv4::CRXFlowPerFlowDataTemplateIPv4(
    const OBRuntime::CDeviceInfo& device_info)
    : IIPFIXTemplate(IPFIX_DEFS::kTemplateIdPerFlowIPv4, IPFIX_DEFS::kPerFlowIPv4Fields),
      device_info_(device_info) {}

OB_STATUSCODE CRXFlowPerFlowDataTemplateIPv4::getMultipleObjectStream(std::uint8_t* buffer,
                                                                      std::size_t room,
                                                                      std::size_t capacity,
                                                                      FlowRecordQueue& queue,
                                                                      std::size_t& written) {
  return writeFlowSet(buffer, room, capacity, queue, kFamilyIPv4, device_info_, written);
}

CRXFlowPerFlowDataTemplateIPv6::CRXFlowPerFlowDataTemplateIPv6(
    const OBRuntime::CDeviceInfo& device_info)
    : IIPFIXTemplate(IPFIX_DEFS::kTemplateIdPerFlowIPv6, IPFIX_DEFS::kPerFlowIPv6Fields),
      device_info_(device_info) {}

OB_STATUSCODE CRXFlowPerFlowDataTemplateIPv6::getMultipleObjectStream(std::uint8_t* buffer,
                                                                      std::size_t room,
                                                                      std::size_t capacity,
                                                                      FlowRecordQueue& queue,
                                                                      std::size_t& written) {
  return writeFlowSet(buffer, room, capacity, queue, kFamilyIPv6, device_info_, written);
}
