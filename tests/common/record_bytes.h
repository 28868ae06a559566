// Test-side byte builder for hand-made serialised records, written independently of the
// production writer so the two check each other.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv::test {

class Bytes {
 public:
  Bytes& U8(std::uint8_t v) {
    data.push_back(v);
    return *this;
  }
  Bytes& U16(std::uint16_t v) { return Little(v, 2); }
  Bytes& U32(std::uint32_t v) { return Little(v, 4); }
  Bytes& U64(std::uint64_t v) { return Little(v, 8); }
  Bytes& Raw(std::string_view bytes) {
    data.insert(data.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Bytes& Append(const Bytes& other) {
    data.insert(data.end(), other.data.begin(), other.data.end());
    return *this;
  }
  // u16 byte count, then the bytes.
  Bytes& Narrow(std::string_view text) {
    return U16(static_cast<std::uint16_t>(text.size())).Raw(text);
  }
  // u16 byte count, then UTF-16LE units.
  Bytes& Wide(std::u16string_view text) {
    U16(static_cast<std::uint16_t>(2 * text.size()));
    return Units(text);
  }
  Bytes& NarrowZ(std::string_view text) { return Raw(text).U8(0); }
  // Hex digit pairs; spaces and '|' (for grouping) are ignored.
  Bytes& Hex(std::string_view hex) {
    int high = -1;
    for (const char c : hex) {
      if (c == ' ' || c == '|') {
        continue;
      }
      const int digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
      if (high < 0) {
        high = digit;
      } else {
        U8(static_cast<std::uint8_t>(high << 4 | digit));
        high = -1;
      }
    }
    return *this;
  }
  Bytes& WideZ(std::u16string_view text) { return Units(text).U16(0); }

  std::vector<std::uint8_t> data;

 private:
  Bytes& Little(std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) {
      data.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    return *this;
  }
  Bytes& Units(std::u16string_view text) {
    for (const char16_t unit : text) {
      U16(unit);
    }
    return *this;
  }
};

}  // namespace orv::test
