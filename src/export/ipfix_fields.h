// The agent's four IPFIX templates as data: each field's element, length and where its value
// comes from. The template records (what a collector learns) and the data record writers (what
// it then decodes) both walk these tables, so the two cannot drift apart.
//
// Enterprise elements (enterprise number 9) are listed without the enterprise bit; the bit is
// added where they go on the wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/orv_flow_object.h"
#include "export/ipfix_defs.h"

namespace IPFIX_DEFS {

inline constexpr std::uint16_t kTemplateIdEndpointIdentity = 262;
inline constexpr std::uint16_t kTemplateIdInterfaceInfo = 266;
inline constexpr std::uint16_t kTemplateIdPerFlowIPv4 = 267;
inline constexpr std::uint16_t kTemplateIdPerFlowIPv6 = 268;

// IANA elements.
inline constexpr std::uint16_t kElementFlowStartSeconds = 150;
inline constexpr std::uint16_t kElementFlowEndSeconds = 151;
inline constexpr std::uint16_t kElementVirtualStationName = 350;
// Enterprise elements that are not flow record fields (those are kField* in orv_flow_object.h).
inline constexpr std::uint16_t kElementUdid = 12332;
inline constexpr std::uint16_t kElementOsText1 = 12334;
inline constexpr std::uint16_t kElementOsText2 = 12335;
inline constexpr std::uint16_t kElementManufacturer = 12336;
inline constexpr std::uint16_t kElementSystemType = 12337;
inline constexpr std::uint16_t kElementHostedModuleName = 12348;
// A hosted module hash (32 bytes) in flow records, an interface detail entry (text) in interface
// records: each basicList header states which length is in force.
inline constexpr std::uint16_t kElementListEntry = 12350;
inline constexpr std::uint16_t kElementOsText3 = 12351;
inline constexpr std::uint16_t kElementInterfaceUid = 12355;
inline constexpr std::uint16_t kElementInterfaceIndex = 12356;
inline constexpr std::uint16_t kElementInterfaceType = 12357;
inline constexpr std::uint16_t kElementInterfaceName = 12358;
inline constexpr std::uint16_t kElementInterfaceDetails = 12359;
inline constexpr std::uint16_t kElementHardwareAddress = 12360;

inline constexpr std::uint16_t kUdidBytes = 20;
inline constexpr std::uint16_t kHashBytes = 32;

// Where a data record field takes its value from.
enum class FieldSource : std::uint8_t {
  // Flow record.
  kProtocol,
  kSourceAddress,
  kSourcePort,
  kDestinationAddress,
  kDestinationPort,
  kFlowStart,
  kFlowEnd,
  kUdid,  // every template: the endpoint's UDID as 20 bytes
  kLoggedInUserName,
  kLoggedInUserAccountType,
  kProcessUserName,
  kProcessUserAccountType,
  kProcessName,
  kProcessHash,
  kParentProcessUserName,
  kParentProcessUserAccountType,
  kParentProcessName,
  kParentProcessHash,
  kBytesIn,
  kBytesOut,
  kDnsSuffix,
  kDestinationHostName,
  kFlowInterfaceUid,
  kHostedModules,
  kHostedModuleHashes,
  // Endpoint identity.
  kHostName,
  kOsText1,
  kOsText2,
  kOsText3,
  kManufacturer,
  kSystemType,
  // Interface record.
  kInterfaceUid,
  kInterfaceIndex,
  kInterfaceType,
  kInterfaceName,
  kInterfaceDetails,
  kHardwareAddress,
};

struct TemplateField {
  std::uint16_t element_id;  // without the enterprise bit
  std::uint16_t length;      // kVariableLength for variable-length fields
  bool enterprise;
  FieldSource source;
  // For basicList fields: the items' element (without the enterprise bit) and length.
  std::uint16_t item_element_id = 0;
  std::uint16_t item_length = 0;
};

// The size of the template record: header plus one specifier per field.
[[nodiscard]] constexpr std::size_t TemplateRecordSize(std::span<const TemplateField> fields) {
  std::size_t size = kTemplateHeaderSize;
  for (const TemplateField& field : fields) {
    size += field.enterprise ? kEnterpriseSpecifierSize : kIanaSpecifierSize;
  }
  return size;
}

namespace internal {

using S = FieldSource;
inline constexpr std::uint16_t kVar = kVariableLength;

// Fields 2 and 4 of the per-flow templates are the only ones that depend on the family.
[[nodiscard]] constexpr std::array<TemplateField, 25> PerFlowFields(
    std::uint16_t source_element, std::uint16_t destination_element, std::uint16_t address_length) {
  return {{
      {kFieldProtocol, 1, false, S::kProtocol},
      {source_element, address_length, false, S::kSourceAddress},
      {kFieldSourcePort, 2, false, S::kSourcePort},
      {destination_element, address_length, false, S::kDestinationAddress},
      {kFieldDestinationPort, 2, false, S::kDestinationPort},
      {kElementFlowStartSeconds, 4, false, S::kFlowStart},
      {kElementFlowEndSeconds, 4, false, S::kFlowEnd},
      {kElementUdid, kUdidBytes, true, S::kUdid},
      {kFieldLoggedInUserName, kVar, true, S::kLoggedInUserName},
      {kFieldLoggedInUserAccountType, 2, true, S::kLoggedInUserAccountType},
      {kFieldProcessUserName, kVar, true, S::kProcessUserName},
      {kFieldProcessUserAccountType, 2, true, S::kProcessUserAccountType},
      {kFieldProcessName, kVar, true, S::kProcessName},
      {kFieldProcessHash, kHashBytes, true, S::kProcessHash},
      {kFieldParentProcessUserName, kVar, true, S::kParentProcessUserName},
      {kFieldParentProcessUserAccountType, 2, true, S::kParentProcessUserAccountType},
      {kFieldParentProcessName, kVar, true, S::kParentProcessName},
      {kFieldParentProcessHash, kHashBytes, true, S::kParentProcessHash},
      {kFieldBytesIn, 8, true, S::kBytesIn},
      {kFieldBytesOut, 8, true, S::kBytesOut},
      {kFieldDnsSuffix, kVar, true, S::kDnsSuffix},
      {kFieldDestinationHostName, kVar, true, S::kDestinationHostName},
      {kElementInterfaceUid, 4, true, S::kFlowInterfaceUid},
      {kFieldHostedModules, kVar, true, S::kHostedModules, kElementHostedModuleName, kVar},
      {kFieldHostedModuleHashes, kVar, true, S::kHostedModuleHashes, kElementListEntry, kHashBytes},
  }};
}

}  // namespace internal

inline constexpr std::array<TemplateField, 25> kPerFlowIPv4Fields =
    internal::PerFlowFields(kFieldSourceIpv4Address, kFieldDestinationIpv4Address, 4);
inline constexpr std::array<TemplateField, 25> kPerFlowIPv6Fields =
    internal::PerFlowFields(kFieldSourceIpv6Address, kFieldDestinationIpv6Address, 16);

inline constexpr std::array<TemplateField, 7> kEndpointIdentityFields = {{
    {kElementVirtualStationName, internal::kVar, false, FieldSource::kHostName},
    {kElementUdid, kUdidBytes, true, FieldSource::kUdid},
    {kElementOsText1, internal::kVar, true, FieldSource::kOsText1},
    {kElementOsText2, internal::kVar, true, FieldSource::kOsText2},
    {kElementOsText3, internal::kVar, true, FieldSource::kOsText3},
    {kElementManufacturer, internal::kVar, true, FieldSource::kManufacturer},
    {kElementSystemType, internal::kVar, true, FieldSource::kSystemType},
}};

inline constexpr std::array<TemplateField, 7> kInterfaceInfoFields = {{
    {kElementUdid, kUdidBytes, true, FieldSource::kUdid},
    {kElementInterfaceUid, 4, true, FieldSource::kInterfaceUid},
    {kElementInterfaceIndex, 4, true, FieldSource::kInterfaceIndex},
    {kElementInterfaceType, 1, true, FieldSource::kInterfaceType},
    {kElementInterfaceName, internal::kVar, true, FieldSource::kInterfaceName},
    {kElementInterfaceDetails, internal::kVar, true, FieldSource::kInterfaceDetails,
     kElementListEntry, internal::kVar},
    {kElementHardwareAddress, internal::kVar, true, FieldSource::kHardwareAddress},
}};

static_assert(TemplateRecordSize(kEndpointIdentityFields) == 56);
static_assert(TemplateRecordSize(kInterfaceInfoFields) == 60);
static_assert(TemplateRecordSize(kPerFlowIPv4Fields) == 176);
static_assert(TemplateRecordSize(kPerFlowIPv6Fields) == 176);

}  // namespace IPFIX_DEFS
