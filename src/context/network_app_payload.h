// The messages of the network apps context and the payload of one network app (type 2002): the
// process id, 4 bytes little-endian, then the process name in UTF-16LE with its terminating zero
// unit. A name whose UTF-16 form holds a zero unit of its own cannot be carried and is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/status.h"

namespace orv::context {

// Peer → agent: send the full context again.
inline constexpr std::uint32_t kMessageContextRequest = 3000;
// Agent → peers (no payload): the context restarts, every app will be sent again.
inline constexpr std::uint32_t kMessageContextRestart = 3001;
// Agent → peers: one network app.
inline constexpr std::uint32_t kMessageNetworkApp = 2002;
// The payload buffer's first size: a name of up to 129 UTF-16 units fits.
inline constexpr std::size_t kNetworkAppBufferSize = 264;

// Bytes of the payload for a name.
[[nodiscard]] std::size_t NetworkAppPayloadSize(std::wstring_view name);
// Writes the payload into buffer and sets size to the bytes written; kObBufferTooSmall (size set
// to the bytes needed, nothing written) when it does not fit; kObBadArgument for a name holding a
// zero character.
[[nodiscard]] OB_STATUSCODE WriteNetworkAppPayload(std::uint32_t process_id, std::wstring_view name,
                                                   std::span<std::uint8_t> buffer,
                                                   std::size_t& size);
// Reads a payload back; kObBadArgument (with a log line) when it is shorter than 6 bytes, has an
// odd name length, lacks the terminating zero or holds another zero unit.
[[nodiscard]] OB_STATUSCODE ReadNetworkAppPayload(std::span<const std::uint8_t> payload,
                                                  std::uint32_t& process_id, std::wstring& name);

}  // namespace orv::context
