// Explicit text conversions between the agent's in-memory wide text (std::wstring, one code
// point per element) and the encodings its formats use: UTF-8 for logs, IPFIX and file names,
// UTF-16 where a wire or disk format says so. They never consult the process locale.
//
// Ill-formed input (a lone surrogate, a value above U+10FFFF, a bad UTF-8 sequence) is replaced
// by U+FFFD, one per offending unit or byte, so conversion itself never fails.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace OBRuntime {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

[[nodiscard]] std::string WideToUtf8(std::wstring_view wide);
[[nodiscard]] std::wstring Utf8ToWide(std::string_view utf8);
[[nodiscard]] std::u16string WideToUtf16(std::wstring_view wide);
[[nodiscard]] std::wstring Utf16ToWide(std::u16string_view utf16);
// The same conversions written into out, reusing its buffer: no allocation once it is large
// enough, for texts converted again and again.
void Utf8ToWide(std::string_view utf8, std::wstring& out);
void Utf16ToWide(std::u16string_view utf16, std::wstring& out);

// Number of UTF-16 units that WideToUtf16 produces: the unit a "character" limit counts.
[[nodiscard]] std::size_t Utf16Length(std::wstring_view wide) noexcept;

// The longest prefix of wide whose UTF-16 form has at most max_units units; never splits a
// character that needs a surrogate pair.
[[nodiscard]] std::wstring_view Utf16Prefix(std::wstring_view wide, std::size_t max_units) noexcept;

// text with every ASCII control character but the tab (below 0x20, and 0x7F) written as an
// escape: "\n", "\r", else "\xHH". Untrusted names printed one per line can then never forge a
// line or drive a terminal. Other bytes, tabs and backslashes included, are kept as they are.
[[nodiscard]] std::string EscapeControlCharacters(std::string_view text);

}  // namespace OBRuntime
