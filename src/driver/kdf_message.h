// The two messages the socket-filter driver sends to the flow data channel, and their parsers.
//
// Wire layout (little-endian unless noted): a 4-byte header (u16 total length, u8 version, u8
// type) opens every message. A flow data message (type 1) is exactly 1439 bytes: two 28-byte
// endpoint blocks in the layout of a Windows IPv6 socket address (family, port in network order,
// IPv4 address or IPv6 flow information, IPv6 address, scope), a 256-byte host name, family,
// protocol, byte counters, process and parent ids, flow times, and the process and parent image
// hashes and UTF-16LE paths (292-byte fields), the direction byte and the report kind. A pid
// information message (type 2) is 8 bytes: the header and a process id.
//
// This driver also writes the process's start time (u64 at offset 340, clock ticks after boot as
// /proc/<pid>/stat counts them) into eight bytes the format leaves unread, so the agent can tell
// the process it knows from a newer one holding the same id without reading /proc for every
// flow; zero, as a sender that does not know it leaves it, means unknown.
//
// The parsers only decode fields; the header checks (version, total length) belong to the
// channel, which logs them. They never read past the bytes given: path lengths are clamped to
// their fields (rounded down to whole UTF-16 units) and the host name ends at its first zero
// byte or at the end of its field.
#pragma once

#include <array>
#include <boost/asio/ip/address.hpp>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/status.h"

// Header fields shared by both message types.
struct KdfMessageHeader {
  std::uint16_t total_length = 0;
  std::uint8_t version = 0;
  std::uint8_t type = 0;
  friend bool operator==(const KdfMessageHeader&, const KdfMessageHeader&) = default;
};

inline constexpr std::uint8_t kKdfVersion = 1;
inline constexpr std::uint8_t kKdfTypeFlowData = 1;
inline constexpr std::uint8_t kKdfTypePidInfo = 2;
inline constexpr std::size_t kKdfHeaderSize = 4;
inline constexpr std::size_t kKdfFlowDataSize = 1439;
inline constexpr std::size_t kKdfPidInfoSize = 8;
inline constexpr std::size_t kKdfHostNameBytes = 256;
inline constexpr std::size_t kKdfPathBytes = 292;
inline constexpr std::size_t kKdfHashBytes = 32;
// Wire values of the address family (Windows' AF_INET and AF_INET6).
inline constexpr std::uint32_t kKdfFamilyIPv4 = 2;
inline constexpr std::uint32_t kKdfFamilyIPv6 = 23;
// Direction byte value telling that the remote endpoint is the flow's source.
inline constexpr std::uint8_t kKdfDirectionRemoteIsSource = 1;
// Report kind of a flow's final report, the one counted in the usage statistics.
inline constexpr std::uint32_t kKdfReportKindFinal = 2;

// One endpoint block. Both address forms are kept as sent; which one is meaningful follows the
// message's address family (KdfFlowData::IsIPv4).
struct KdfEndpoint {
  std::uint16_t family = 0;
  std::uint16_t port = 0;               // host byte order
  std::array<std::uint8_t, 4> ipv4{};   // network byte order
  std::uint32_t ipv6_flow_info = 0;     // the same four bytes read as an integer
  std::array<std::uint8_t, 16> ipv6{};  // network byte order

  // The IPv4 address when ipv4_flow is true, else the IPv6 address.
  [[nodiscard]] boost::asio::ip::address Address(bool ipv4_flow) const;
  friend bool operator==(const KdfEndpoint&, const KdfEndpoint&) = default;
};

// A flow data message (type 1), decoded.
struct KdfFlowData {
  KdfMessageHeader header{static_cast<std::uint16_t>(kKdfFlowDataSize), kKdfVersion,
                          kKdfTypeFlowData};
  KdfEndpoint local;
  KdfEndpoint remote;
  std::string host_name;  // at most 256 bytes; empty when unknown
  std::uint32_t address_family = kKdfFamilyIPv4;
  std::uint32_t protocol = 0;  // 6 TCP, 17 UDP
  std::uint64_t bytes_in = 0;
  std::uint64_t bytes_out = 0;
  std::uint64_t process_start_time = 0;  // clock ticks after boot; 0 when unknown
  std::uint32_t pid = 0;
  std::uint32_t parent_pid = 0;
  std::uint32_t flow_start = 0;                            // seconds
  std::uint32_t flow_end = 0;                              // seconds
  std::array<std::uint8_t, kKdfHashBytes> process_hash{};  // all zero when unknown
  std::u16string process_path;                             // at most 146 units
  std::array<std::uint8_t, kKdfHashBytes> parent_hash{};
  std::u16string parent_path;
  std::uint8_t direction = 0;
  std::uint32_t report_kind = 0;

  // True when the flow is IPv4 (family 2); any other family is taken as IPv6.
  [[nodiscard]] bool IsIPv4() const noexcept { return address_family == kKdfFamilyIPv4; }
  friend bool operator==(const KdfFlowData&, const KdfFlowData&) = default;
};

// A pid information message (type 2), decoded.
struct KdfPidInfo {
  KdfMessageHeader header{static_cast<std::uint16_t>(kKdfPidInfoSize), kKdfVersion,
                          kKdfTypePidInfo};
  std::uint32_t pid = 0;
  friend bool operator==(const KdfPidInfo&, const KdfPidInfo&) = default;
};

// Room for any address FormatKdfAddress writes, with its terminator (INET6_ADDRSTRLEN).
inline constexpr std::size_t kKdfAddressTextSize = 46;
// The endpoint's address of a flow of the given family in inet_ntop's text form, terminated, into
// out; false (out empty) when it cannot be formatted. IPv4 is formatted here: inet_ntop goes
// through sprintf, a cost every flow would pay four times.
[[nodiscard]] bool FormatKdfAddress(const KdfEndpoint& endpoint, bool ipv4_flow,
                                    std::span<char, kKdfAddressTextSize> out);

// Header of bytes; kObBadArgument when fewer than 4 bytes are given.
[[nodiscard]] OB_STATUSCODE ParseKdfHeader(std::span<const std::uint8_t> bytes,
                                           KdfMessageHeader& out);
// Decodes a flow data message; kObBadArgument unless exactly 1439 bytes are given. Header
// values are decoded, not checked.
[[nodiscard]] OB_STATUSCODE ParseKdfFlowData(std::span<const std::uint8_t> bytes, KdfFlowData& out);
// Decodes a pid information message from the first 8 bytes; kObBadArgument when fewer are given.
[[nodiscard]] OB_STATUSCODE ParseKdfPidInfo(std::span<const std::uint8_t> bytes, KdfPidInfo& out);
