// Hand-built IPFIX messages for the export tests and the decoder's fuzz target: a big-endian
// writer for expected bytes, and the agent's template message spelled out by hand rather than
// with the agent's encoder, so tests do not share the encoder's assumptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv::test {

using Bytes = std::vector<std::uint8_t>;
inline constexpr std::uint16_t kVar = 0xFFFF;

// Appends big-endian integers, raw bytes, texts, field specifiers and sets, written
// here byte by byte rather than with the agent's encoder.
class Wire {
 public:
  // A message header of observation domain 127 and export time 1,700,000,000; Finish sets its
  // length.
  static Wire Message(std::uint32_t sequence, std::uint32_t domain = 127) {
    Wire m;
    m.U16(10).U16(0).U32(1'700'000'000).U32(sequence).U32(domain);
    return m;
  }
  Wire& U8(std::uint64_t v) { return Be(v, 1); }
  Wire& U16(std::uint64_t v) { return Be(v, 2); }
  Wire& U32(std::uint64_t v) { return Be(v, 4); }
  Wire& U64(std::uint64_t v) { return Be(v, 8); }
  Wire& Raw(const Bytes& raw) {
    bytes_.insert(bytes_.end(), raw.begin(), raw.end());
    return *this;
  }
  Wire& Fill(std::uint8_t value, std::size_t count) { return Raw(Bytes(count, value)); }
  Wire& Hex(std::string_view hex) {
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
      U8(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return *this;
  }
  // RFC 7011 variable-length text: one length byte below 255, else 255 and a 16-bit length.
  Wire& Text(std::string_view text) {
    (text.size() < 255 ? U8(text.size()) : U8(255).U16(text.size()));
    return Raw(Bytes(text.begin(), text.end()));
  }
  // Field specifier, IANA when enterprise is 0.
  Wire& Field(std::uint16_t id, std::uint16_t length, std::uint32_t enterprise = 0) {
    return enterprise == 0 ? U16(id).U16(length) : U16(0x8000 | id).U16(length).U32(enterprise);
  }
  Wire& BeginSet(std::uint16_t id) {
    set_start_ = bytes_.size();
    return U16(id).U16(0);
  }
  Wire& EndSet() { return Patch(set_start_ + 2, bytes_.size() - set_start_); }
  [[nodiscard]] Bytes Finish() { return Patch(2, bytes_.size()).bytes_; }
  [[nodiscard]] const Bytes& bytes() const { return bytes_; }

 private:
  Wire& Be(std::uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Wire& Patch(std::size_t at, std::size_t value) {
    bytes_[at] = static_cast<std::uint8_t>(value >> 8);
    bytes_[at + 1] = static_cast<std::uint8_t>(value);
    return *this;
  }
  Bytes bytes_;
  std::size_t set_start_ = 0;
};

inline std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t ReadU32(const std::uint8_t* p) {
  return std::uint32_t{ReadU16(p)} << 16 | ReadU16(p + 2);
}

// The agent's template message: 262, 267, 268 and 266 in one set (488 bytes).
inline Bytes AgentTemplateMessage(std::uint32_t sequence) {
  constexpr std::uint32_t kPen = 9;
  Wire m = Wire::Message(sequence);
  m.BeginSet(2).U16(262).U16(7).Field(350, kVar).Field(12332, 20, kPen);
  for (const std::uint16_t id : {12334, 12335, 12351, 12336, 12337}) m.Field(id, kVar, kPen);
  for (const bool v6 : {false, true}) {
    m.U16(v6 ? 268 : 267).U16(25).Field(4, 1).Field(v6 ? 27 : 8, v6 ? 16 : 4).Field(7, 2);
    m.Field(v6 ? 28 : 12, v6 ? 16 : 4).Field(11, 2).Field(150, 4).Field(151, 4);
    m.Field(12332, 20, kPen).Field(12333, kVar, kPen).Field(12361, 2, kPen);
    m.Field(12338, kVar, kPen).Field(12362, 2, kPen).Field(12340, kVar, kPen);
    m.Field(12341, 32, kPen).Field(12339, kVar, kPen).Field(12363, 2, kPen);
    m.Field(12342, kVar, kPen).Field(12343, 32, kPen).Field(12346, 8, kPen);
    m.Field(12347, 8, kPen).Field(12344, kVar, kPen).Field(12345, kVar, kPen);
    m.Field(12355, 4, kPen).Field(12352, kVar, kPen).Field(12353, kVar, kPen);
  }
  m.U16(266).U16(7).Field(12332, 20, kPen).Field(12355, 4, kPen).Field(12356, 4, kPen);
  m.Field(12357, 1, kPen).Field(12358, kVar, kPen).Field(12359, kVar, kPen);
  return m.Field(12360, kVar, kPen).EndSet().Finish();
}

}  // namespace orv::test
