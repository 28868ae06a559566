#include "common/byte_stream.h"

#include <algorithm>
#include <cstring>

namespace orv {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

constexpr bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The code point a wide element stands for; anything that is not a scalar value is replaced.
constexpr char32_t ScalarValue(wchar_t element) {
  const auto c = static_cast<char32_t>(element);
  return (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) ? kReplacement : c;
}

struct WidePrefix {
  std::size_t elements;  // leading elements of the text kept
  std::size_t units;     // UTF-16 units they encode to
};

// The longest prefix of text whose UTF-16 form fits max_units units.
WidePrefix MeasureWide(std::wstring_view text, std::size_t max_units) noexcept {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t width = ScalarValue(text[i]) >= 0x10000 ? 2 : 1;
    if (units + width > max_units) {
      return {i, units};
    }
    units += width;
  }
  return {text.size(), units};
}

void StoreU16(std::uint8_t* out, char16_t unit) noexcept {
  out[0] = static_cast<std::uint8_t>(unit);
  out[1] = static_cast<std::uint8_t>(unit >> 8);
}

char32_t LoadU16(const std::uint8_t* in) noexcept {
  return static_cast<char32_t>(in[0] | (in[1] << 8));
}

// Decodes unit_count UTF-16LE units, keeping characters while they fit max_units units. Lone
// surrogates become U+FFFD (one unit each), so re-encoding what is kept gives the same length.
std::wstring DecodeUtf16(const std::uint8_t* units, std::size_t unit_count, std::size_t max_units) {
  std::wstring out;
  out.reserve(std::min(unit_count, max_units));
  std::size_t used = 0;
  for (std::size_t i = 0; i < unit_count; ++i) {
    const char32_t unit = LoadU16(units + 2 * i);
    if (IsHighSurrogate(unit) && i + 1 < unit_count && IsLowSurrogate(LoadU16(units + 2 * i + 2))) {
      if (used + 2 > max_units) {
        break;
      }
      const char32_t low = LoadU16(units + 2 * ++i);
      out += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      used += 2;
    } else {
      if (used + 1 > max_units) {
        break;
      }
      const bool lone = unit >= 0xD800 && unit <= 0xDFFF;
      out += static_cast<wchar_t>(lone ? kReplacement : unit);
      used += 1;
    }
  }
  return out;
}

}  // namespace

std::size_t CountedNarrowSize(std::string_view text, std::size_t max_bytes) noexcept {
  return 2 + std::min({text.size(), max_bytes, kMaxCountedTextBytes});
}

std::size_t CountedWideSize(std::wstring_view text, std::size_t max_units) noexcept {
  return 2 + 2 * MeasureWide(text, std::min(max_units, kMaxCountedWideUnits)).units;
}

std::uint8_t* ByteWriter::Reserve(std::size_t n) noexcept {
  if (!ok_ || capacity_ - position_ < n) {
    ok_ = false;
    return nullptr;
  }
  std::uint8_t* start = data_ + position_;
  position_ += n;
  return start;
}

void ByteWriter::PutU8(std::uint8_t value) noexcept {
  if (std::uint8_t* out = Reserve(1)) {
    out[0] = value;
  }
}

void ByteWriter::PutU16(std::uint16_t value) noexcept {
  if (std::uint8_t* out = Reserve(2)) {
    StoreU16(out, value);
  }
}

void ByteWriter::PutU32(std::uint32_t value) noexcept {
  if (std::uint8_t* out = Reserve(4)) {
    for (int i = 0; i < 4; ++i) {
      out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }
}

void ByteWriter::PutU64(std::uint64_t value) noexcept {
  if (std::uint8_t* out = Reserve(8)) {
    for (int i = 0; i < 8; ++i) {
      out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }
}

void ByteWriter::PutBytes(std::string_view bytes) noexcept {
  std::uint8_t* out = Reserve(bytes.size());
  if (out != nullptr && !bytes.empty()) {
    std::memcpy(out, bytes.data(), bytes.size());
  }
}

void ByteWriter::PutCountedNarrow(std::string_view text, std::size_t max_bytes) noexcept {
  const std::size_t length = std::min({text.size(), max_bytes, kMaxCountedTextBytes});
  if (!ok_ || capacity_ - position_ < 2 + length) {
    ok_ = false;
    return;
  }
  PutU16(static_cast<std::uint16_t>(length));
  PutBytes(text.substr(0, length));
}

void ByteWriter::PutCountedWide(std::wstring_view text, std::size_t max_units) noexcept {
  const WidePrefix prefix = MeasureWide(text, std::min(max_units, kMaxCountedWideUnits));
  std::uint8_t* out = Reserve(2 + 2 * prefix.units);
  if (out == nullptr) {
    return;
  }
  StoreU16(out, static_cast<char16_t>(2 * prefix.units));
  out += 2;
  for (std::size_t i = 0; i < prefix.elements; ++i) {
    const char32_t c = ScalarValue(text[i]);
    if (c < 0x10000) {
      StoreU16(out, static_cast<char16_t>(c));
      out += 2;
    } else {
      StoreU16(out, static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      StoreU16(out + 2, static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      out += 4;
    }
  }
}

const std::uint8_t* ByteReader::Take(std::size_t n) noexcept {
  if (!ok_ || length_ - position_ < n) {
    ok_ = false;
    return nullptr;
  }
  const std::uint8_t* start = data_ + position_;
  position_ += n;
  return start;
}

std::uint8_t ByteReader::GetU8() noexcept {
  const std::uint8_t* in = Take(1);
  return in == nullptr ? 0 : in[0];
}

std::uint16_t ByteReader::GetU16() noexcept {
  const std::uint8_t* in = Take(2);
  return in == nullptr ? 0 : static_cast<std::uint16_t>(LoadU16(in));
}

std::uint32_t ByteReader::GetU32() noexcept {
  const std::uint8_t* in = Take(4);
  if (in == nullptr) {
    return 0;
  }
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | in[i];
  }
  return value;
}

std::uint64_t ByteReader::GetU64() noexcept {
  const std::uint8_t* in = Take(8);
  if (in == nullptr) {
    return 0;
  }
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) {
    value = (value << 8) | in[i];
  }
  return value;
}

std::string_view ByteReader::GetBytes(std::size_t n) noexcept {
  const std::uint8_t* in = Take(n);
  if (in == nullptr || n == 0) {
    return {};
  }
  return {reinterpret_cast<const char*>(in), n};
}

std::string ByteReader::GetCountedNarrow(std::size_t max_bytes) {
  const std::string_view bytes = GetBytes(GetU16());
  return std::string(bytes.substr(0, std::min(bytes.size(), max_bytes)));
}

std::wstring ByteReader::GetCountedWide(std::size_t max_units) {
  const std::uint16_t byte_count = GetU16();
  if (byte_count % 2 != 0) {
    Fail();
    return {};
  }
  const std::uint8_t* in = Take(byte_count);
  return in == nullptr ? std::wstring() : DecodeUtf16(in, byte_count / 2, max_units);
}

std::string ByteReader::GetTerminatedNarrow(std::size_t max_bytes) {
  if (remaining() == 0) {
    Fail();
    return {};
  }
  const auto* start = data_ + position_;
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(start, 0, length_ - position_));
  if (end == nullptr) {
    Fail();
    return {};
  }
  const auto length = static_cast<std::size_t>(end - start);
  position_ += length + 1;
  return std::string(reinterpret_cast<const char*>(start), std::min(length, max_bytes));
}

std::wstring ByteReader::GetTerminatedWide(std::size_t max_units) {
  if (!ok_) {
    return {};
  }
  const std::uint8_t* start = data_ + position_;
  const std::size_t available = (length_ - position_) / 2;
  std::size_t units = 0;
  while (units < available && (start[2 * units] | start[2 * units + 1]) != 0) {
    ++units;
  }
  if (units == available) {
    Fail();
    return {};
  }
  position_ += 2 * (units + 1);
  return DecodeUtf16(start, units, max_units);
}

}  // namespace orv
