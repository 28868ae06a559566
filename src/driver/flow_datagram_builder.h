// Encodes the driver's datagrams: what the flow reporter sends to the flow data channel, and
// what orv-flowgen, the tests and the benchmarks send in its place.
//
// The builder writes every field as given, header included, so callers can also produce
// malformed messages (a wrong version or total length). Texts are cut to their fields: the host
// name to 255 bytes plus its terminator, each path to 146 UTF-16 units.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "driver/kdf_message.h"

using KdfFlowDatagram = std::array<std::uint8_t, kKdfFlowDataSize>;
using KdfPidInfoDatagram = std::array<std::uint8_t, kKdfPidInfoSize>;

// The 1439-byte flow data datagram for flow. For an IPv4 flow (address family 2) each endpoint
// block carries its IPv4 address and zero IPv6 fields; otherwise its flow information and IPv6
// address. The process start time goes to offset 340; every other unread byte is zero.
[[nodiscard]] KdfFlowDatagram BuildKdfFlowDatagram(const KdfFlowData& flow);

// The 8-byte pid information datagram for info.
[[nodiscard]] KdfPidInfoDatagram BuildKdfPidInfoDatagram(const KdfPidInfo& info);
