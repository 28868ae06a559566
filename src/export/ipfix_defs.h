// The bytes of an IPFIX message (version 10, RFC 7011) as the agent writes them: message, set and
// template record headers, field specifiers, and the encoders that put values into data records,
// basicList values (RFC 6313) included.
//
// Every encoder writes into a caller-supplied buffer with the shape (destination, remaining
// capacity, value, out: bytes written). On success it reports what it wrote and the caller
// advances; on failure it reports nothing and the buffer past the destination holds no meaning.
// Integers go out big-endian. Capacity that is too small gives kObBufferTooSmall (-9992), a
// conversion that fails kObFailure (-9999). Nothing here allocates except wide-text conversion.
//
// The data record counter is process-wide and starts at 1; every message header carries the
// count of data records sent before it, so sequence numbers count data records (RFC 7011 3.1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/status.h"

namespace IPFIX_DEFS {

inline constexpr std::uint16_t kVersion = 10;
inline constexpr std::uint32_t kObservationDomainId = 127;
inline constexpr std::uint32_t kEnterpriseNumber = 9;
inline constexpr std::uint16_t kEnterpriseBit = 0x8000;
inline constexpr std::uint16_t kVariableLength = 0xFFFF;
inline constexpr std::uint16_t kTemplateSetId = 2;

inline constexpr std::size_t kMessageHeaderSize = 16;
inline constexpr std::size_t kSetHeaderSize = 4;
inline constexpr std::size_t kTemplateHeaderSize = 4;
inline constexpr std::size_t kIanaSpecifierSize = 4;
inline constexpr std::size_t kEnterpriseSpecifierSize = 8;
// Semantic (1), field id (2), element length (2), enterprise number (4).
inline constexpr std::size_t kBasicListHeaderSize = 9;
inline constexpr std::uint8_t kBasicListSemanticAllOf = 3;
// A variable-length field whose length needs the three-byte form starts with this byte.
inline constexpr std::uint8_t kLongLengthMarker = 255;

[[nodiscard]] OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::uint8_t value,
                                 std::size_t& written);
[[nodiscard]] OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::uint16_t value,
                                 std::size_t& written);
[[nodiscard]] OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::uint32_t value,
                                 std::size_t& written);
// Big-endian 64-bit value (high 32 bits first); reports 8.
[[nodiscard]] OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::uint64_t value,
                                 std::size_t& written);
// The bytes of the text, no length prefix and no terminator.
[[nodiscard]] OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::string_view value,
                                 std::size_t& written);
// The UTF-8 form of the text, no length prefix and no terminator; a failed conversion is logged
// and its status returned.
[[nodiscard]] OB_STATUSCODE pack(std::uint8_t* dst, std::size_t capacity, std::wstring_view value,
                                 std::size_t& written);

// Variable-length field (RFC 7011 section 7): one length byte below 255, else 255 and a 16-bit
// length, then the text (wide text as UTF-8). A text longer than 65535 bytes cannot be encoded
// and gives kObFailure with a log line; an empty text is the single byte 0.
[[nodiscard]] OB_STATUSCODE PackVariableLengthData(std::uint8_t* dst, std::size_t capacity,
                                                   std::wstring_view value, std::size_t& written);
[[nodiscard]] OB_STATUSCODE PackVariableLengthData(std::uint8_t* dst, std::size_t capacity,
                                                   std::string_view value, std::size_t& written);

// The bytes that lowercase hex text spells, first character the high nibble: length/2 bytes.
// kObBufferTooSmall below length/2 bytes of capacity; kObFailure (logged) for a character other
// than 0-9 a-f and for odd length, so a fixed-length field is never left short.
[[nodiscard]] OB_STATUSCODE StringToHexArray(std::uint8_t* dst, std::size_t capacity,
                                             std::string_view hex, std::size_t& written);
// True when text is exactly length lowercase hex characters.
[[nodiscard]] bool IsLowercaseHex(std::string_view text, std::size_t length) noexcept;
[[nodiscard]] bool IsLowercaseHex(std::wstring_view text, std::size_t length) noexcept;

// The 4 bytes of a dotted IPv4 address text in network order. A text that is not an address
// gives kObFailure with the reason in error (nothing logged here).
[[nodiscard]] OB_STATUSCODE IPv4StringToHex(std::uint8_t* dst, std::size_t capacity,
                                            std::string_view address, std::size_t& written,
                                            std::string& error);
// The 16 bytes of an IPv6 address text in network order; failures as for IPv4StringToHex.
[[nodiscard]] OB_STATUSCODE IPv6StringToHex(std::uint8_t* dst, std::size_t capacity,
                                            std::string_view address, std::size_t& written,
                                            std::string& error);

// How a basicList's items are described in its 9-byte list header.
struct BasicListHeader {
  std::uint16_t element_id;      // as on the wire: enterprise bit set
  std::uint16_t element_length;  // kVariableLength or the fixed item length
};

// A basicList value inside a variable-length field, always in the three-byte length form
// (255, 16-bit body length), body = list header (semantic allOf, enterprise number 9) then the
// items in order. Text items are each written as a variable-length field.
[[nodiscard]] OB_STATUSCODE PackBasicList(std::uint8_t* dst, std::size_t capacity,
                                          const BasicListHeader& header,
                                          std::span<const std::wstring> items,
                                          std::size_t& written);
// As above, with each item written as its raw bytes without a length prefix; the caller makes
// every item element_length bytes long.
[[nodiscard]] OB_STATUSCODE PackBasicListRaw(std::uint8_t* dst, std::size_t capacity,
                                             const BasicListHeader& header,
                                             std::span<const std::string> items,
                                             std::size_t& written);

// The sequence number of a message that carries data_records data records: as RFC 7011 defines
// it, the count of data records sent before this message (template records do not count), which
// the call then advances by data_records (modulo 2^32). Safe from any thread.
[[nodiscard]] std::uint32_t NextSequenceNumber(std::uint32_t data_records) noexcept;
// The value NextSequenceNumber will return next, without advancing.
[[nodiscard]] std::uint32_t PeekSequenceNumber() noexcept;
// Seconds since 1970-01-01 00:00:00 UTC, truncated to 32 bits.
[[nodiscard]] std::uint32_t ExportTime() noexcept;

}  // namespace IPFIX_DEFS

// Anything that writes itself into a buffer.
class ISerializable {
 public:
  virtual ~ISerializable() = default;
  // Writes the object at buffer[0, capacity) and reports the bytes written; kObBufferTooSmall,
  // with nothing written, when the whole object does not fit.
  [[nodiscard]] virtual OB_STATUSCODE Serialize(std::uint8_t* buffer, std::size_t capacity,
                                                std::size_t& written) const = 0;
};

// Message header: version, length, export time, sequence number, observation domain (16 bytes).
class IPFIX_PCKT_HDR final : public ISerializable {
 public:
  IPFIX_PCKT_HDR(std::uint16_t length, std::uint32_t sequence_number,
                 std::uint32_t observation_domain, std::uint32_t export_time,
                 std::uint16_t version = IPFIX_DEFS::kVersion)
  noexcept
      : version_(version),
        length_(length),
        export_time_(export_time),
        sequence_number_(sequence_number),
        observation_domain_(observation_domain) {}

  [[nodiscard]] OB_STATUSCODE Serialize(std::uint8_t* buffer, std::size_t capacity,
                                        std::size_t& written) const override;

 private:
  std::uint16_t version_;
  std::uint16_t length_;
  std::uint32_t export_time_;
  std::uint32_t sequence_number_;
  std::uint32_t observation_domain_;
};

// Set header: set ID (2 for the template set, else the template ID), length including itself.
class IPFIX_SET_HEADER final : public ISerializable {
 public:
  IPFIX_SET_HEADER(std::uint16_t set_id, std::uint16_t length)
  noexcept : set_id_(set_id), length_(length) {}

  [[nodiscard]] OB_STATUSCODE Serialize(std::uint8_t* buffer, std::size_t capacity,
                                        std::size_t& written) const override;

 private:
  std::uint16_t set_id_;
  std::uint16_t length_;
};

// Template record header: template ID and field count.
class IPFIX_TEMPLATE_HEADER final : public ISerializable {
 public:
  IPFIX_TEMPLATE_HEADER(std::uint16_t template_id, std::uint16_t field_count)
  noexcept : template_id_(template_id), field_count_(field_count) {}

  [[nodiscard]] OB_STATUSCODE Serialize(std::uint8_t* buffer, std::size_t capacity,
                                        std::size_t& written) const override;

 private:
  std::uint16_t template_id_;
  std::uint16_t field_count_;
};

// A field specifier of a template record.
class IInformationElement : public ISerializable {
 public:
  IInformationElement(std::uint16_t element_id, std::uint16_t field_length) noexcept
      : element_id_(element_id), field_length_(field_length) {}

  [[nodiscard]] std::uint16_t GetElementId() const noexcept { return element_id_; }
  [[nodiscard]] std::uint16_t GetFieldLength() const noexcept { return field_length_; }

 protected:
  std::uint16_t element_id_;  // as on the wire (enterprise bit set for enterprise elements)
  std::uint16_t field_length_;
};

// IANA element: element ID, field length (4 bytes).
class CIPFIXFieldSpecifierIANA final : public IInformationElement {
 public:
  CIPFIXFieldSpecifierIANA(std::uint16_t element_id, std::uint16_t field_length) noexcept
      : IInformationElement(element_id, field_length) {}

  [[nodiscard]] OB_STATUSCODE Serialize(std::uint8_t* buffer, std::size_t capacity,
                                        std::size_t& written) const override;
};

// Enterprise element: element ID with the enterprise bit, field length, enterprise number
// (8 bytes). The constructor sets the enterprise bit.
class CIPFIXFieldSpecifierVARNO final : public IInformationElement {
 public:
  CIPFIXFieldSpecifierVARNO(std::uint16_t element_id, std::uint16_t field_length,
                            std::uint32_t enterprise_number) noexcept
      : IInformationElement(static_cast<std::uint16_t>(element_id | IPFIX_DEFS::kEnterpriseBit),
                            field_length),
        enterprise_number_(enterprise_number) {}

  [[nodiscard]] std::uint32_t GetEnterpriseNumber() const noexcept { return enterprise_number_; }
  [[nodiscard]] OB_STATUSCODE Serialize(std::uint8_t* buffer, std::size_t capacity,
                                        std::size_t& written) const override;

 private:
  std::uint32_t enterprise_number_;
};
