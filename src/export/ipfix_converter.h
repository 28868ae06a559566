// The converter: turns what the exporter sends into complete IPFIX messages in the exporter's
// buffer: the template message, the endpoint identity message, one message per interface record,
// and messages of flow records taken from the send queue.
//
// Flow messages: records are sorted oldest first from the send queue into one queue per address
// family (capacity = the per-family record limit); sorting stops at the first record whose family
// queue is full, so records keep their order within a family. A message then holds at most one
// IPv4 set and one IPv6 set, in an order that alternates from message to message; only the first
// record of a message may run past the size limit (up to the buffer), and a record that fits not
// even into an empty message is dropped. Records left in a family queue open the next message.
//
// Every message starts with the 16-byte header whose sequence number comes from the process-wide
// message counter (ipfix_defs.h). All operations belong to the exporter thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/interface_info.h"
#include "common/status.h"
#include "config/data_collection_policy.h"
#include "export/ipfix_template.h"

namespace OBRuntime {
class CDeviceInfo;
}

class IConverter {
 public:
  // The data collection policy in force; by default the service profile's current one.
  using PolicySource = std::function<DataCollectionPolicy()>;

  virtual ~IConverter() = default;
  IConverter(const IConverter&) = delete;
  IConverter& operator=(const IConverter&) = delete;

  // Fills identity from the device (texts already set are kept), blanking to "-" the texts the
  // policy excludes (those are not fetched) and anonymising those it anonymises. Failures to
  // read a text are logged and leave it empty; always 0.
  [[nodiscard]] virtual OB_STATUSCODE getEndpointIdentity(EndpointIdentity& identity);
  // A message of flow records from send_queue at buffer[0, capacity), at most limit bytes except
  // for a first record that alone is larger. Reports the message length, or 0 when the message
  // holds no record (nothing to send, no sequence number used). Records placed in the message or
  // in a family queue leave send_queue; empty references are dropped. consumed, when given,
  // receives the records that are gone for good: those in the message and one dropped as too
  // large for any message.
  [[nodiscard]] virtual OB_STATUSCODE GetMultipleFlowObjectsStream(
      std::uint8_t* buffer, std::size_t limit, std::size_t capacity, FlowRecordQueue& send_queue,
      std::size_t per_family_limit, std::size_t& written, std::vector<FlowRecordPtr>* consumed) = 0;
  // The template message (templates 262, 267, 268, 266 in one set; 488 bytes); kObBufferTooSmall
  // below 488 bytes of capacity.
  [[nodiscard]] virtual OB_STATUSCODE GetTemplatesStream(std::uint8_t* buffer, std::size_t capacity,
                                                         std::size_t& written) = 0;
  // The endpoint identity message. A record that fails is reported with its status and nothing
  // is written (no header, no sequence number used).
  [[nodiscard]] virtual OB_STATUSCODE GetEndpointIdentityStream(std::uint8_t* buffer,
                                                                std::size_t capacity,
                                                                std::size_t& written) = 0;
  // The message of one interface record, with the endpoint's UDID (forty "f" when unknown);
  // failures as for GetEndpointIdentityStream.
  [[nodiscard]] virtual OB_STATUSCODE GetInterfaceInfoStream(
      std::uint8_t* buffer, std::size_t capacity, std::size_t& written,
      const InterfaceInfo& interface_info) = 0;

 protected:
  // device_info must outlive the converter; an empty policy_source reads the service profile.
  IConverter(const OBRuntime::CDeviceInfo& device_info, PolicySource policy_source);

  const OBRuntime::CDeviceInfo& device_info_;

 private:
  PolicySource policy_source_;
};

class CIPFIXConverter final : public IConverter {
 public:
  // Family queue capacity until the first flow message sets the per-family limit.
  static constexpr std::size_t kFamilyQueueCapacity = 5;

  // Reads this machine's identity and the service profile's policy.
  CIPFIXConverter();
  // For tests and tools: the given device identity and policy; device_info must outlive the
  // converter.
  CIPFIXConverter(const OBRuntime::CDeviceInfo& device_info, PolicySource policy_source);

  // IConverter
  [[nodiscard]] OB_STATUSCODE GetMultipleFlowObjectsStream(
      std::uint8_t* buffer, std::size_t limit, std::size_t capacity, FlowRecordQueue& send_queue,
      std::size_t per_family_limit, std::size_t& written,
      std::vector<FlowRecordPtr>* consumed) override;
  // Without the consumed list.
  [[nodiscard]] OB_STATUSCODE GetMultipleFlowObjectsStream(std::uint8_t* buffer, std::size_t limit,
                                                           std::size_t capacity,
                                                           FlowRecordQueue& send_queue,
                                                           std::size_t per_family_limit,
                                                           std::size_t& written) {
    return GetMultipleFlowObjectsStream(buffer, limit, capacity, send_queue, per_family_limit,
                                        written, nullptr);
  }
  [[nodiscard]] OB_STATUSCODE GetTemplatesStream(std::uint8_t* buffer, std::size_t capacity,
                                                 std::size_t& written) override;
  [[nodiscard]] OB_STATUSCODE GetEndpointIdentityStream(std::uint8_t* buffer, std::size_t capacity,
                                                        std::size_t& written) override;
  [[nodiscard]] OB_STATUSCODE GetInterfaceInfoStream(std::uint8_t* buffer, std::size_t capacity,
                                                     std::size_t& written,
                                                     const InterfaceInfo& interface_info) override;

  // Records sorted into the family queues and not yet sent (they open the next flow message).
  [[nodiscard]] std::size_t PendingRecords() const;
  // Takes those records out, oldest first within each family.
  [[nodiscard]] std::vector<FlowRecordPtr> TakePendingRecords();

 private:
  // Moves records from send_queue into the family queues until one is full.
  void sortIntoFamilies(FlowRecordQueue& send_queue);
  // One family's set after the message so far; updates length and the capacity left.
  void addFamilySet(IIPFIXTemplate& flow_template, FlowRecordQueue& family_queue,
                    std::uint8_t* buffer, std::size_t limit, std::size_t& length,
                    std::size_t& capacity_left, std::vector<FlowRecordPtr>* consumed);
  // Writes the header of a message of length bytes at buffer.
  [[nodiscard]] static OB_STATUSCODE writeHeader(std::uint8_t* buffer, std::size_t length);

  const std::uint32_t observation_domain_ = IPFIX_DEFS::kObservationDomainId;
  FlowRecordQueue ipv4_queue_{kFamilyQueueCapacity};
  FlowRecordQueue ipv6_queue_{kFamilyQueueCapacity};
  CRXFlowPerFlowDataTemplateIPv4 ipv4_template_;
  CRXFlowPerFlowDataTemplateIPv6 ipv6_template_;
  // Set: the next flow message starts with its IPv4 set.
  bool ipv4_first_ = true;
};
