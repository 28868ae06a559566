// The flow record: one network flow with its process, user, interface and DNS data.
//
// Records are built from driver messages, thinned by the data collection policy, exported as
// IPFIX and kept in the cache in the serialised form below. After a record is queued it is only
// read, so it has no lock of its own.
//
// Serialised form "ORVN" version 1 (little-endian): magic, u8 version, u32 payload length (bytes
// from the process id up to and including the end marker), the stored fields, "EM". A narrow
// text is a u16 byte count and the bytes, a wide text a u16 byte count and UTF-16LE units.
// Paths, parent process id, direction, host command line, tracked and flow id are not stored.
// The older layout "ORVO" (zero-terminated texts, fixed 32-byte hashes) is read, never written.
//
// Both directions apply the same limits, so a record that was read serialises to the bytes it
// will read back as: addresses keep 59 bytes, wide texts 259 UTF-16 units (never half a
// surrogate pair), hashes 32 bytes, each hosted module list 65535 entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/orv_object.h"
#include "common/status.h"

// Field identifiers: how the data collection policy names a field to exclude or anonymise, and
// how the IPFIX templates name it. The small ones are the standard IPFIX element numbers.
inline constexpr std::uint32_t kFieldProtocol = 4;
inline constexpr std::uint32_t kFieldSourcePort = 7;
inline constexpr std::uint32_t kFieldSourceIpv4Address = 8;
inline constexpr std::uint32_t kFieldDestinationPort = 11;
inline constexpr std::uint32_t kFieldDestinationIpv4Address = 12;
inline constexpr std::uint32_t kFieldSourceIpv6Address = 27;
inline constexpr std::uint32_t kFieldDestinationIpv6Address = 28;
inline constexpr std::uint32_t kFieldLoggedInUserName = 12333;
inline constexpr std::uint32_t kFieldProcessUserName = 12338;
inline constexpr std::uint32_t kFieldParentProcessUserName = 12339;
inline constexpr std::uint32_t kFieldProcessName = 12340;
inline constexpr std::uint32_t kFieldProcessHash = 12341;
inline constexpr std::uint32_t kFieldParentProcessName = 12342;
inline constexpr std::uint32_t kFieldParentProcessHash = 12343;
inline constexpr std::uint32_t kFieldDnsSuffix = 12344;
inline constexpr std::uint32_t kFieldDestinationHostName = 12345;
inline constexpr std::uint32_t kFieldBytesIn = 12346;
inline constexpr std::uint32_t kFieldBytesOut = 12347;
inline constexpr std::uint32_t kFieldHostedModules = 12352;
inline constexpr std::uint32_t kFieldHostedModuleHashes = 12353;
inline constexpr std::uint32_t kFieldLoggedInUserAccountType = 12361;
inline constexpr std::uint32_t kFieldProcessUserAccountType = 12362;
inline constexpr std::uint32_t kFieldParentProcessUserAccountType = 12363;

class ORVFlowObject : public ORVObject {
 public:
  // Limits that the serialised forms keep (see the file comment).
  static constexpr std::size_t kMaxAddressBytes = 59;
  static constexpr std::size_t kMaxWideTextUnits = 259;
  static constexpr std::size_t kHashBytes = 32;
  static constexpr std::size_t kMaxHostedModules = 0xFFFF;

  // The next value of the process-wide flow id sequence: 1, 2, ...; skips 0 when it wraps.
  // Safe from any thread.
  [[nodiscard]] static std::uint32_t NextFlowId() noexcept;

  // ORVObject
  [[nodiscard]] std::uint32_t GetObjectType() const override { return kObjectTypeFlow; }
  // "FlowId: 1 Pid: 2 ... Destination hostname: x"; control characters in texts become '?' so
  // the line stays one line.
  [[nodiscard]] std::string ToString() const override;

  // The text form of a field for the filter engine, and through pattern_applies (when not null)
  // whether wildcard patterns apply to it; an unknown field gives an empty text, no patterns.
  [[nodiscard]] std::wstring GetFieldText(std::uint32_t field_id, bool* pattern_applies) const;

  // Bytes that Serialize writes for this record.
  [[nodiscard]] std::size_t SerializedSize() const noexcept;
  // Writes the "ORVN" form into buffer[0, *size) and sets *size to the bytes written. A null
  // buffer or zero size gives -9994 and a buffer that is too small -9992; in both cases *size
  // (when size is not null) is set to the bytes needed.
  [[nodiscard]] OB_STATUSCODE Serialize(std::uint8_t* buffer, std::uint32_t* size) const;
  // Reads an "ORVN" or "ORVO" record from buffer[0, length) into *this (fields that are not
  // stored take their defaults). On failure *this is left as it was: -9991 for an empty buffer,
  // -9998 for an unknown version, -9994 for anything else that is not a whole, valid record.
  [[nodiscard]] OB_STATUSCODE Deserialize(const std::uint8_t* buffer, std::size_t length);

  bool tracked = false;  // matched the troubleshooting pattern; admission logs its fate
  std::uint32_t process_id = 0;
  std::uint32_t parent_process_id = 0;  // 0xFFFFFFFF in records made from pid information
  std::string source_address;           // textual IPv4 or IPv6 address
  std::uint16_t source_port = 0;        // host byte order
  std::string destination_address;
  std::uint16_t destination_port = 0;
  std::uint8_t direction = 0;       // 1 when the remote endpoint is the source
  std::uint32_t interface_uid = 0;  // InterfaceInfo::uid holding the local address; 0 until known
  std::wstring process_name;        // file name part of process_path
  std::wstring process_path;
  std::wstring parent_process_name;
  std::wstring parent_process_path;
  std::string process_hash;  // raw SHA-256 bytes: 32 when set, else empty
  std::string parent_process_hash;
  std::vector<std::wstring> hosted_modules;       // modules run by a surrogate host process
  std::vector<std::string> hosted_module_hashes;  // their raw hashes, in the same order
  std::wstring host_command_line;
  std::wstring logged_in_user_name;  // console user
  std::uint16_t logged_in_user_account_type = 0;
  std::wstring process_user_name;
  std::uint16_t process_user_account_type = 0;
  std::wstring parent_process_user_name;
  std::uint16_t parent_process_user_account_type = 0;
  std::wstring dns_suffix;             // of the interface carrying the source address
  std::wstring destination_host_name;  // internationalised names decoded
  std::uint8_t protocol = 0;           // 6 TCP, 17 UDP
  std::uint32_t flow_start = 0;        // seconds
  std::uint32_t flow_end = 0;
  std::uint64_t bytes_in = 0;  // layer-4 bytes received
  std::uint64_t bytes_out = 0;
  std::uint32_t address_family = 0;
  std::uint32_t flow_id = 0;  // from NextFlowId for records built from flow messages, else 0
};
