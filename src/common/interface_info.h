// The interface record: one of the endpoint's network interfaces, known to the collector by a
// small UID that survives restarts.
//
// Serialised form "ORVI" version 1 (little-endian): marker, u8 version, u32 total length of the
// whole record, u32 UID, u32 index, u8 type code, name as a counted wide text (u16 byte count,
// UTF-16LE), u16 number of detail entries and each as a counted wide text, the hardware address
// as a counted narrow text (u16 byte count, bytes), end marker "EM". Only these fields are
// stored; addresses, seen flag, missed count and order ID are not. Wide texts are written cut to
// 32767 UTF-16 units (so their byte count fits) and the detail list to 65535 entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/orv_object.h"
#include "common/status.h"

inline constexpr std::uint8_t kInterfaceTypeWired = 1;     // system type Ethernet
inline constexpr std::uint8_t kInterfaceTypeWireless = 2;  // system type IEEE 802.11
inline constexpr std::uint8_t kInterfaceTypeOwnVpn = 8;    // the product's own VPN adapter
inline constexpr std::uint8_t kInterfaceTypeOther = 15;

// The IPv4 address of an interface that has none.
inline constexpr char kNoIpv4Address[] = "-";

class InterfaceInfo : public ORVObject {
 public:
  static constexpr std::size_t kMaxDetailEntries = 0xFFFF;

  // ORVObject
  [[nodiscard]] std::uint32_t GetObjectType() const override { return kObjectTypeInterface; }
  // "Interface UID: 1 Interface Index: 2 Interface Type: 1 Interface Order ID: 3 Interface
  // Name: eth0 Interface Detail List: State=Trusted", entries joined with ", "; control
  // characters in texts become '?' so the line stays one line.
  [[nodiscard]] std::string ToString() const override;

  // Bytes that Serialize writes for this record.
  [[nodiscard]] std::size_t SerializedSize() const noexcept;
  // Writes the "ORVI" form into buffer[0, *size) and sets *size to the bytes written. A null
  // buffer or zero size gives -9994 and a buffer that is too small -9992; in both cases *size
  // (when size is not null) is set to the bytes needed.
  [[nodiscard]] OB_STATUSCODE Serialize(std::uint8_t* buffer, std::uint32_t* size) const;
  // Reads an "ORVI" record from buffer[0, length) into *this (fields that are not stored take
  // their defaults). On failure *this is left as it was: -9991 for an empty buffer, -9994 for
  // anything that is not a whole, valid record.
  [[nodiscard]] OB_STATUSCODE Deserialize(const std::uint8_t* buffer, std::size_t length);

  std::uint32_t uid = 0;    // given by the interface manager when first seen
  std::uint32_t index = 0;  // the system's interface index
  std::uint8_t type_code = kInterfaceTypeOther;
  std::wstring name;                          // the adapter's description
  std::string hardware_address;               // "aa:bb:cc:dd:ee:ff"; empty for type 15
  std::string ipv4_address = kNoIpv4Address;  // last IPv4 unicast address, numeric form
  std::set<std::string> ipv6_addresses;       // non-link-local unicast addresses, no "%" part
  std::string ipv4_broadcast;                 // directed broadcast of the IPv4 subnet
  bool seen = false;                          // found during the current refresh
  std::vector<std::wstring> detail_list;      // "SSID=..." (wireless), "State=..."
  std::uint8_t missed_count = 0;              // consecutive refreshes that missed it
  std::uint16_t order_id = 0;                 // change counter when last added or changed
};
