// The agent's four IPFIX templates: each serialises its template record and writes data sets of
// its records (field lists in ipfix_fields.h).
//
//   262 CRXFlowEndpointIdentityTemplate   one record: who this endpoint is
//   266 CRXFlowInterfaceInfoTemplate      one record per network interface
//   267 CRXFlowPerFlowDataTemplateIPv4    flow records over IPv4
//   268 CRXFlowPerFlowDataTemplateIPv6    flow records over IPv6
//
// A data set starts at the position it is given: 4 bytes of set header (set ID = template ID,
// length including the header), then its records. Fixed-length fields always get their full
// length, so a record never falls out of step with its template: a UDID that is not 40 lowercase
// hex characters becomes forty "f", a hash that is neither 32 bytes nor 64 hex characters and an
// address that does not parse become zero bytes (each logged). Templates keep no state besides
// their field lists; they are used from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/bounded_queue.h"
#include "common/interface_info.h"
#include "common/orv_flow_object.h"
#include "common/status.h"
#include "export/ipfix_defs.h"
#include "export/ipfix_fields.h"

namespace OBRuntime {
class CDeviceInfo;
}

using FlowRecordPtr = std::shared_ptr<ORVFlowObject>;
using FlowRecordQueue = CBoundedQueue<FlowRecordPtr>;

// What the endpoint identity record carries; every text starts empty.
struct EndpointIdentity {
  std::wstring udid;
  std::wstring host_name;
  std::wstring os_text1;  // operating-system version record, in its order
  std::wstring os_text2;
  std::wstring os_text3;
  std::wstring manufacturer;
  std::wstring system_type;
};

// Address family flags of the per-flow record writer.
inline constexpr int kFamilyIPv4 = 0;
inline constexpr int kFamilyIPv6 = 1;

class IIPFIXTemplate : public ISerializable {
 public:
  ~IIPFIXTemplate() override;
  IIPFIXTemplate(const IIPFIXTemplate&) = delete;
  IIPFIXTemplate& operator=(const IIPFIXTemplate&) = delete;

  // The template record: kObBufferTooSmall, nothing written, below GetTemplateSize bytes.
  [[nodiscard]] OB_STATUSCODE Serialize(std::uint8_t* buffer, std::size_t capacity,
                                        std::size_t& written) const override;
  [[nodiscard]] virtual std::uint16_t GetTemplateId() const;
  // Bytes of the template record: 4 plus 4 per IANA and 8 per enterprise field.
  [[nodiscard]] virtual std::size_t GetTemplateSize() const;

  // One data record; no template implements it (kObNotImplemented).
  [[nodiscard]] virtual OB_STATUSCODE getObjectStream(std::uint8_t* buffer, std::size_t capacity,
                                                      const ORVFlowObject& flow,
                                                      std::size_t& written);
  // A data set of flow records taken oldest first from queue, at most room bytes except that the
  // first record may use all of capacity. A record leaves the queue only once completely written;
  // empty references are removed and skipped. Reports the set length (0 when no record was
  // written, also on failure of the first record) and returns the status of the last write: a
  // record that did not fit gives kObBufferTooSmall with the records before it reported.
  // kObNotImplemented except in the per-flow templates.
  [[nodiscard]] virtual OB_STATUSCODE getMultipleObjectStream(std::uint8_t* buffer,
                                                              std::size_t room,
                                                              std::size_t capacity,
                                                              FlowRecordQueue& queue,
                                                              std::size_t& written);
  // The data set of one endpoint identity record; kObNotImplemented except in template 262.
  [[nodiscard]] virtual OB_STATUSCODE GetEndpointIdentityStream(std::uint8_t* buffer,
                                                                std::size_t capacity,
                                                                const EndpointIdentity& identity,
                                                                std::size_t& written);
  // The data set of one interface record with the endpoint's UDID; kObNotImplemented except in
  // template 266.
  [[nodiscard]] virtual OB_STATUSCODE GetInterfaceInfoStream(std::uint8_t* buffer,
                                                             std::size_t capacity,
                                                             std::size_t& written,
                                                             const InterfaceInfo& interface_info,
                                                             std::wstring_view udid);

 protected:
  IIPFIXTemplate(std::uint16_t template_id, std::span<const IPFIX_DEFS::TemplateField> fields);

  // The shared writers behind the overrides.
  [[nodiscard]] OB_STATUSCODE writeFlowSet(std::uint8_t* buffer, std::size_t room,
                                           std::size_t capacity, FlowRecordQueue& queue, int family,
                                           const OBRuntime::CDeviceInfo& device_info,
                                           std::size_t& written) const;
  [[nodiscard]] OB_STATUSCODE writeEndpointIdentitySet(std::uint8_t* buffer, std::size_t capacity,
                                                       const EndpointIdentity& identity,
                                                       std::size_t& written) const;
  [[nodiscard]] OB_STATUSCODE writeInterfaceInfoSet(std::uint8_t* buffer, std::size_t capacity,
                                                    const InterfaceInfo& interface_info,
                                                    std::wstring_view udid,
                                                    std::size_t& written) const;

 private:
  IPFIX_TEMPLATE_HEADER header_;
  std::vector<std::unique_ptr<IInformationElement>> specifiers_;
  std::span<const IPFIX_DEFS::TemplateField> fields_;
  std::uint16_t template_id_;
};

class CRXFlowEndpointIdentityTemplate final : public IIPFIXTemplate {
 public:
  CRXFlowEndpointIdentityTemplate();
  [[nodiscard]] OB_STATUSCODE GetEndpointIdentityStream(std::uint8_t* buffer, std::size_t capacity,
                                                        const EndpointIdentity& identity,
                                                        std::size_t& written) override;
};

class CRXFlowInterfaceInfoTemplate final : public IIPFIXTemplate {
 public:
  CRXFlowInterfaceInfoTemplate();
  [[nodiscard]] OB_STATUSCODE GetInterfaceInfoStream(std::uint8_t* buffer, std::size_t capacity,
                                                     std::size_t& written,
                                                     const InterfaceInfo& interface_info,
                                                     std::wstring_view udid) override;
};

// The per-flow templates read the UDID from device_info for every record; device_info must
// outlive the template.
class CRXFlowPerFlowDataTemplateIPv4 final : public IIPFIXTemplate {
 public:
  explicit CRXFlowPerFlowDataTemplateIPv4(const OBRuntime::CDeviceInfo& device_info);
  [[nodiscard]] OB_STATUSCODE getMultipleObjectStream(std::uint8_t* buffer, std::size_t room,
                                                      std::size_t capacity, FlowRecordQueue& queue,
                                                      std::size_t& written) override;

 private:
  const OBRuntime::CDeviceInfo& device_info_;
};

class CRXFlowPerFlowDataTemplateIPv6 final : public IIPFIXTemplate {
 public:
  explicit CRXFlowPerFlowDataTemplateIPv6(const OBRuntime::CDeviceInfo& device_info);
  [[nodiscard]] OB_STATUSCODE getMultipleObjectStream(std::uint8_t* buffer, std::size_t room,
                                                      std::size_t capacity, FlowRecordQueue& queue,
                                                      std::size_t& written) override;

 private:
  const OBRuntime::CDeviceInfo& device_info_;
};
