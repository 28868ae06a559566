#include "export/ipfix_converter.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "config/orv_profile.h"
#include "runtime/device_info.h"
#include "runtime/logger.h"

namespace {

constexpr std::size_t kHeader = IPFIX_DEFS::kMessageHeaderSize;
constexpr std::size_t kMaxMessageLength = 0xFFFF;

std::vector<FlowRecordPtr> Drain(FlowRecordQueue& queue) {
  std::vector<FlowRecordPtr> records;
  FlowRecordPtr record;
  while (queue.Pop(record) == kObSuccess) {
    records.push_back(std::move(record));
  }
  return records;
}
// Address family value of IPv6 in flow records.
constexpr std::uint32_t kAddressFamilyIPv6 = 1;
constexpr wchar_t kExcludedText[] = L"-";
constexpr wchar_t kFallbackUdid[] = L"ffffffffffffffffffffffffffffffffffffffff";

// The policy-controlled texts of the endpoint identity, in the order the policy is applied.
constexpr std::array<std::pair<std::int32_t, std::wstring EndpointIdentity::*>, 6> kPolicyFields = {
    {
        {IPFIX_DEFS::kElementManufacturer, &EndpointIdentity::manufacturer},
        {IPFIX_DEFS::kElementVirtualStationName, &EndpointIdentity::host_name},
        {IPFIX_DEFS::kElementSystemType, &EndpointIdentity::system_type},
        {IPFIX_DEFS::kElementOsText1, &EndpointIdentity::os_text1},
        {IPFIX_DEFS::kElementOsText2, &EndpointIdentity::os_text2},
        {IPFIX_DEFS::kElementOsText3, &EndpointIdentity::os_text3},
    }};

const OBRuntime::CDeviceInfo& SystemDeviceInfo() {
  static const OBRuntime::CDeviceInfo device_info;
  return device_info;
}

using DeviceGetter = OB_STATUSCODE (OBRuntime::CDeviceInfo::*)(std::wstring&) const;

// Fetches a text that is still empty; a failure logs message and leaves it empty.
void FetchIfEmpty(const OBRuntime::CDeviceInfo& device_info, DeviceGetter getter,
                  std::wstring& text, const char* message) {
  if (!text.empty()) {
    return;
  }
  if (!ObSucceeded((device_info.*getter)(text))) {
    text.clear();
    OB_LOG_AS(LOG_ERROR, "IConverter::getEndpointIdentity", "%s", message);
  }
}

void CopyIfEmpty(std::wstring& text, const std::wstring& value) {
  if (text.empty()) {
    text = value;
  }
}

}  // namespace

IConverter::IConverter(const OBRuntime::CDeviceInfo& device_info, PolicySource policy_source)
    : device_info_(device_info), policy_source_(std::move(policy_source)) {}

OB_STATUSCODE IConverter::getEndpointIdentity(EndpointIdentity& identity) {
  const DataCollectionPolicy policy =
      policy_source_ ? policy_source_()
                     : CORVProfile::GetInstance().GetCurrentDataCollectionPolicy();
  for (const auto& [element, text] : kPolicyFields) {
    if (policy.IsFieldExcluded(element)) {
      identity.*text = kExcludedText;
    }
  }
  if (identity.udid.empty() && !ObSucceeded(device_info_.GetUDID(identity.udid))) {
    identity.udid.clear();
    OB_LOG_ERROR("IConverter::getEndpointIdentity failed to extract UDID.");
  }
  using OBRuntime::CDeviceInfo;
  FetchIfEmpty(device_info_, &CDeviceInfo::GetManufacturerName, identity.manufacturer,
               "IConverter::getEndpointIdentity failed to extract manufacturer.");
  FetchIfEmpty(device_info_, &CDeviceInfo::GetHostName, identity.host_name,
               "IConverter::getEndpointIdentity failed to extract virtual station name.");
  FetchIfEmpty(device_info_, &CDeviceInfo::GetSystemType, identity.system_type,
               "IConverter::getEndpointIdentity failed to extract system type.");
  const OBRuntime::MYOSVERSION os = device_info_.GetOsVersion();
  CopyIfEmpty(identity.os_text1, os.name);
  CopyIfEmpty(identity.os_text2, os.version);
  CopyIfEmpty(identity.os_text3, os.kernel_release);
  for (const auto& [element, text] : kPolicyFields) {
    if (policy.IsFieldAnonymised(element)) {
      AnonymizeValue(identity.*text);
    }
  }
  return kObSuccess;
}

CIPFIXConverter::CIPFIXConverter() : CIPFIXConverter(SystemDeviceInfo(), PolicySource()) {}

CIPFIXConverter::CIPFIXConverter(const OBRuntime::CDeviceInfo& device_info,
                                 PolicySource policy_source)
    : IConverter(device_info, std::move(policy_source)),
      ipv4_template_(device_info),
      ipv6_template_(device_info) {}

OB_STATUSCODE CIPFIXConverter::writeHeader(std::uint8_t* buffer, std::size_t length) {
  std::size_t ignored = 0;
  return IPFIX_PCKT_HDR(static_cast<std::uint16_t>(length), IPFIX_DEFS::NextSequenceNumber(),
                        IPFIX_DEFS::kObservationDomainId, IPFIX_DEFS::ExportTime())
      .Serialize(buffer, kHeader, ignored);
}

void CIPFIXConverter::sortIntoFamilies(FlowRecordQueue& send_queue) {
  FlowRecordPtr record;
  while (send_queue.Front(record) == kObSuccess) {
    if (record) {
      FlowRecordQueue& family =
          record->address_family == kAddressFamilyIPv6 ? ipv6_queue_ : ipv4_queue_;
      if (family.Push(record) != kObSuccess) {
        return;
      }
    }
    (void)send_queue.Pop(record);
  }
}

void CIPFIXConverter::addFamilySet(IIPFIXTemplate& flow_template, FlowRecordQueue& family_queue,
                                   std::uint8_t* buffer, std::size_t limit, std::size_t& length,
                                   std::size_t& capacity_left,
                                   std::vector<FlowRecordPtr>* consumed) {
  if (family_queue.IsEmpty() || length >= limit) {
    return;
  }
  // The template takes records from the front; a copy of the queue tells which.
  std::vector<FlowRecordPtr> queued;
  if (consumed != nullptr) {
    queued = Drain(family_queue);
    for (const FlowRecordPtr& record : queued) {
      (void)family_queue.Push(record);
    }
  }
  std::size_t set = 0;
  // A record that does not fit ends the set with kObBufferTooSmall; what was written counts.
  (void)flow_template.getMultipleObjectStream(buffer + length, limit - length, capacity_left,
                                              family_queue, set);
  length += set;
  if (consumed != nullptr) {
    const std::size_t taken = queued.size() - family_queue.Size();
    consumed->insert(consumed->end(), queued.begin(),
                     queued.begin() + static_cast<std::ptrdiff_t>(taken));
  }
  if (set > 0) {
    capacity_left = limit > length ? limit - length : 0;
  } else if (length == kHeader) {
    FlowRecordPtr dropped;
    if (family_queue.Pop(dropped) == kObSuccess) {
      if (consumed != nullptr) {
        consumed->push_back(std::move(dropped));
      }
      OB_LOG_ERROR("dropped a flow record that does not fit into an empty message of %zu bytes",
                   capacity_left + kHeader);
    }
  }
}

OB_STATUSCODE CIPFIXConverter::GetMultipleFlowObjectsStream(
    std::uint8_t* buffer, std::size_t limit, std::size_t capacity, FlowRecordQueue& send_queue,
    std::size_t per_family_limit, std::size_t& written, std::vector<FlowRecordPtr>* consumed) {
  // A limit of 0 would let nothing through, ever.
  per_family_limit = std::max<std::size_t>(per_family_limit, 1);
  ipv4_queue_.SetCapacity(per_family_limit);
  ipv6_queue_.SetCapacity(per_family_limit);
  written = 0;
  if (capacity < kHeader) {
    return kObBufferTooSmall;
  }
  capacity = std::min(capacity, kMaxMessageLength);
  limit = std::min(limit, capacity);
  sortIntoFamilies(send_queue);
  std::size_t length = kHeader;
  std::size_t capacity_left = capacity - kHeader;
  if (ipv4_first_) {
    addFamilySet(ipv4_template_, ipv4_queue_, buffer, limit, length, capacity_left, consumed);
    addFamilySet(ipv6_template_, ipv6_queue_, buffer, limit, length, capacity_left, consumed);
  } else {
    addFamilySet(ipv6_template_, ipv6_queue_, buffer, limit, length, capacity_left, consumed);
    addFamilySet(ipv4_template_, ipv4_queue_, buffer, limit, length, capacity_left, consumed);
  }
  ipv4_first_ = !ipv4_first_;
  if (length == kHeader) {
    return kObSuccess;
  }
  const OB_STATUSCODE status = writeHeader(buffer, length);
  if (!ObSucceeded(status)) {
    OB_LOG_AS(LOG_ERROR, "CIPFIXConverter::GetAggregatedFlowObjectStream",
              "CIPFIXConverter::GetFlowObjectStream failed to serialize packet header.");
    return status;
  }
  written = length;
  return kObSuccess;
}

OB_STATUSCODE CIPFIXConverter::GetTemplatesStream(std::uint8_t* buffer, std::size_t capacity,
                                                  std::size_t& written) {
  written = 0;
  const CRXFlowEndpointIdentityTemplate identity;
  const CRXFlowInterfaceInfoTemplate interface_info;
  const std::array<const IIPFIXTemplate*, 4> templates = {&identity, &ipv4_template_,
                                                          &ipv6_template_, &interface_info};
  std::size_t total = 0;
  for (const IIPFIXTemplate* entry : templates) {
    total += entry->GetTemplateSize();
  }
  const std::size_t length = total + kHeader + IPFIX_DEFS::kSetHeaderSize;
  if (capacity < length) {
    return kObBufferTooSmall;
  }
  OB_STATUSCODE status = writeHeader(buffer, length);
  if (!ObSucceeded(status)) {
    OB_LOG_ERROR(
        "CIPFIXConverter::GetTemplatesStream failed to serialize packet header while crafting "
        "packet.");
    return status;
  }
  std::size_t used = kHeader;
  std::size_t step = 0;
  status = IPFIX_SET_HEADER(IPFIX_DEFS::kTemplateSetId,
                            static_cast<std::uint16_t>(total + IPFIX_DEFS::kSetHeaderSize))
               .Serialize(buffer + used, capacity - used, step);
  if (!ObSucceeded(status)) {
    OB_LOG_ERROR("CIPFIXConverter::GetTemplatesStream failed to serialize packet header.");
    return status;
  }
  used += step;
  for (std::size_t i = 0; i < templates.size(); ++i) {
    status = templates[i]->Serialize(buffer + used, capacity - used, step);
    if (!ObSucceeded(status)) {
      OB_LOG_ERROR("CIPFIXConverter::GetTemplatesStream failed to serialize template %d",
                   static_cast<int>(i));
      return status;
    }
    used += step;
  }
  written = used;
  return kObSuccess;
}

OB_STATUSCODE CIPFIXConverter::GetEndpointIdentityStream(std::uint8_t* buffer, std::size_t capacity,
                                                         std::size_t& written) {
  written = 0;
  EndpointIdentity identity;
  (void)getEndpointIdentity(identity);
  if (capacity < kHeader) {
    return kObBufferTooSmall;
  }
  capacity = std::min(capacity, kMaxMessageLength);
  CRXFlowEndpointIdentityTemplate identity_template;
  std::size_t set = 0;
  const OB_STATUSCODE record = identity_template.GetEndpointIdentityStream(
      buffer + kHeader, capacity - kHeader, identity, set);
  if (!ObSucceeded(record)) {
    OB_LOG_ERROR(
        "CIPFIXConverter::GetEndpointIdentityStream failed to fetch endpoint identity data");
    return record;  // no header: a failed record takes no sequence number
  }
  const OB_STATUSCODE status = writeHeader(buffer, kHeader + set);
  if (!ObSucceeded(status)) {
    OB_LOG_ERROR("CIPFIXConverter::GetEndpointIdentityStream failed to serialize packet header.");
    return status;
  }
  written = kHeader + set;
  return record;
}

OB_STATUSCODE CIPFIXConverter::GetInterfaceInfoStream(std::uint8_t* buffer, std::size_t capacity,
                                                      std::size_t& written,
                                                      const InterfaceInfo& interface_info) {
  written = 0;
  if (capacity < kHeader) {
    return kObBufferTooSmall;
  }
  capacity = std::min(capacity, kMaxMessageLength);
  std::wstring udid;
  if (!ObSucceeded(device_info_.GetUDID(udid))) {
    OB_LOG_ERROR("Failed to extract UDID.");
    udid = kFallbackUdid;
  }
  CRXFlowInterfaceInfoTemplate interface_template;
  std::size_t set = 0;
  const OB_STATUSCODE record = interface_template.GetInterfaceInfoStream(
      buffer + kHeader, capacity - kHeader, set, interface_info, udid);
  if (!ObSucceeded(record)) {
    OB_LOG_ERROR("CIPFIXConverter::GetInterfaceInfoStream failed to fetch interface data stream");
    return record;  // no header: a failed record takes no sequence number
  }
  const OB_STATUSCODE status = writeHeader(buffer, kHeader + set);
  if (!ObSucceeded(status)) {
    OB_LOG_ERROR("CIPFIXConverter::GetInterfaceInfoStream failed to serialize packet header.");
    return status;
  }
  written = kHeader + set;
  return record;
}

std::size_t CIPFIXConverter::PendingRecords() const {
  return ipv4_queue_.Size() + ipv6_queue_.Size();
}

std::vector<FlowRecordPtr> CIPFIXConverter::TakePendingRecords() {
  std::vector<FlowRecordPtr> records = Drain(ipv4_queue_);
  std::vector<FlowRecordPtr> ipv6 = Drain(ipv6_queue_);
  records.insert(records.end(), ipv6.begin(), ipv6.end());
  return records;
}
