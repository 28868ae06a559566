#include "runtime/text.h"

namespace OBRuntime {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

constexpr bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
constexpr bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The code point a wide element stands for, with anything that is not a scalar value replaced.
constexpr char32_t ScalarValue(wchar_t element) {
  const auto c = static_cast<char32_t>(element);
  return (c > kMaxCodePoint || IsSurrogate(c)) ? kReplacementCharacter : c;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one UTF-8 sequence at utf8[pos]; advances pos past it, or past one byte when invalid.
char32_t DecodeUtf8(std::string_view utf8, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(utf8[pos]);
  std::size_t length = 0;
  char32_t c = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2, c = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, c = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, c = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return kReplacementCharacter;
  }
  if (pos + length > utf8.size()) {
    ++pos;
    return kReplacementCharacter;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(utf8[pos + i]);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacementCharacter;
    }
    c = (c << 6) | (next & 0x3F);
  }
  if (c < minimum || c > kMaxCodePoint || IsSurrogate(c)) {
    ++pos;
    return kReplacementCharacter;
  }
  pos += length;
  return c;
}

}  // namespace

std::string WideToUtf8(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (const wchar_t element : wide) {
    AppendUtf8(out, ScalarValue(element));
  }
  return out;
}

std::wstring Utf8ToWide(std::string_view utf8) {
  std::wstring out;
  Utf8ToWide(utf8, out);
  return out;
}

void Utf8ToWide(std::string_view utf8, std::wstring& out) {
  out.clear();
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    out += static_cast<wchar_t>(DecodeUtf8(utf8, pos));
  }
}

std::u16string WideToUtf16(std::wstring_view wide) {
  std::u16string out;
  out.reserve(wide.size());
  for (const wchar_t element : wide) {
    const char32_t c = ScalarValue(element);
    if (c < 0x10000) {
      out += static_cast<char16_t>(c);
    } else {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

std::wstring Utf16ToWide(std::u16string_view utf16) {
  std::wstring out;
  Utf16ToWide(utf16, out);
  return out;
}

void Utf16ToWide(std::u16string_view utf16, std::wstring& out) {
  out.clear();
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char32_t unit = utf16[i];
    if (IsHighSurrogate(unit) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
      const char32_t low = utf16[++i];
      out += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    } else {
      out += static_cast<wchar_t>(IsSurrogate(unit) ? kReplacementCharacter : unit);
    }
  }
}

std::size_t Utf16Length(std::wstring_view wide) noexcept {
  std::size_t units = 0;
  for (const wchar_t element : wide) {
    units += ScalarValue(element) >= 0x10000 ? 2 : 1;
  }
  return units;
}

std::wstring_view Utf16Prefix(std::wstring_view wide, std::size_t max_units) noexcept {
  std::size_t units = 0;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    units += ScalarValue(wide[i]) >= 0x10000 ? 2 : 1;
    if (units > max_units) {
      return wide.substr(0, i);
    }
  }
  return wide;
}

std::string EscapeControlCharacters(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 0x20 && byte != 0x7F) || c == '\t') {
      escaped += c;
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else {
      escaped += "\\x";
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0x0F];
    }
  }
  return escaped;
}

}  // namespace OBRuntime
