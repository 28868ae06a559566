// Little-endian byte writer and bounds-checked reader for the records' serialised forms.
//
// Both keep a sticky failure flag: a write or read that would pass the end of the buffer does
// nothing, marks the stream failed and makes every later call a no-op returning zero or empty
// values, so a parser can read a run of fields and test ok() once. Nothing is ever read or
// written outside [data, data + length).
//
// Texts come in two layouts. Counted texts (the "ORVN" and "ORVI" records) are a u16 byte count
// and the bytes, no terminator; wide ones are UTF-16LE with surrogate pairs. Terminated texts
// (the read-only "ORVO" record) end at a zero byte or a zero UTF-16 unit. Limits are in bytes for
// narrow texts and in UTF-16 units for wide ones; a cut never splits a surrogate pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orv {

// Largest byte count a counted text can state.
inline constexpr std::size_t kMaxCountedTextBytes = 0xFFFF;
// Largest number of UTF-16 units a counted wide text can hold (its byte count must fit a u16).
inline constexpr std::size_t kMaxCountedWideUnits = kMaxCountedTextBytes / 2;

// Bytes a counted narrow text takes when cut to max_bytes (at most kMaxCountedTextBytes).
[[nodiscard]] std::size_t CountedNarrowSize(std::string_view text, std::size_t max_bytes) noexcept;
// Bytes a counted wide text takes when cut to max_units (at most kMaxCountedWideUnits).
[[nodiscard]] std::size_t CountedWideSize(std::wstring_view text, std::size_t max_units) noexcept;

class ByteWriter {
 public:
  // Writes into data[0, capacity); data may be null only when capacity is 0.
  ByteWriter(std::uint8_t* data, std::size_t capacity) noexcept
      : data_(data), capacity_(capacity) {}

  void PutU8(std::uint8_t value) noexcept;
  void PutU16(std::uint16_t value) noexcept;
  void PutU32(std::uint32_t value) noexcept;
  void PutU64(std::uint64_t value) noexcept;
  void PutBytes(std::string_view bytes) noexcept;
  // u16 byte count, then the first min(size, max_bytes) bytes of text.
  void PutCountedNarrow(std::string_view text, std::size_t max_bytes) noexcept;
  // u16 byte count, then text in UTF-16LE cut to max_units; ill-formed elements become U+FFFD.
  void PutCountedWide(std::wstring_view text, std::size_t max_units) noexcept;

  [[nodiscard]] std::size_t position() const noexcept { return position_; }
  [[nodiscard]] bool ok() const noexcept { return ok_; }

 private:
  // Start of n writable bytes, advancing past them; null (and failed) when they do not fit.
  std::uint8_t* Reserve(std::size_t n) noexcept;

  std::uint8_t* data_;
  std::size_t capacity_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

class ByteReader {
 public:
  // Reads from data[0, length); data may be null only when length is 0.
  ByteReader(const std::uint8_t* data, std::size_t length) noexcept
      : data_(data), length_(length) {}

  [[nodiscard]] std::uint8_t GetU8() noexcept;
  [[nodiscard]] std::uint16_t GetU16() noexcept;
  [[nodiscard]] std::uint32_t GetU32() noexcept;
  [[nodiscard]] std::uint64_t GetU64() noexcept;
  // Steps over n bytes (failing when fewer are left).
  void Skip(std::size_t n) noexcept { static_cast<void>(Take(n)); }
  // The next n bytes, or an empty view (failed) when fewer are left.
  [[nodiscard]] std::string_view GetBytes(std::size_t n) noexcept;
  // A counted narrow text, keeping its first max_bytes bytes.
  [[nodiscard]] std::string GetCountedNarrow(std::size_t max_bytes);
  // A counted wide text, keeping its first max_units UTF-16 units; an odd byte count fails.
  [[nodiscard]] std::wstring GetCountedWide(std::size_t max_units);
  // A zero-terminated narrow text, keeping its first max_bytes bytes; fails without a terminator.
  [[nodiscard]] std::string GetTerminatedNarrow(std::size_t max_bytes);
  // A zero-terminated UTF-16LE text, keeping its first max_units units; fails without a
  // terminator.
  [[nodiscard]] std::wstring GetTerminatedWide(std::size_t max_units);

  // Marks the stream failed, for content the caller finds invalid.
  void Fail() noexcept { ok_ = false; }
  [[nodiscard]] std::size_t position() const noexcept { return position_; }
  [[nodiscard]] std::size_t remaining() const noexcept { return ok_ ? length_ - position_ : 0; }
  [[nodiscard]] bool ok() const noexcept { return ok_; }

 private:
  // Start of the next n bytes, advancing past them; null (and failed) when fewer are left.
  const std::uint8_t* Take(std::size_t n) noexcept;

  const std::uint8_t* data_;
  std::size_t length_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

}  // namespace orv
