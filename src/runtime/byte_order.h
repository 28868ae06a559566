// Little-endian loads and stores at raw buffer positions, for the fixed layouts the agent reads
// and writes (driver datagrams, cache record headers, compressed block headers). The caller has
// checked that the bytes are there; bounds-checked streams are in common/byte_stream.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace OBRuntime {

template <typename T>
[[nodiscard]] constexpr T LoadLe(const std::uint8_t* p) noexcept {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<T>(static_cast<T>(p[i]) << (8 * i));
  }
  return value;
}

template <typename T>
constexpr void StoreLe(std::uint8_t* p, T value) noexcept {
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    p[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

}  // namespace OBRuntime
