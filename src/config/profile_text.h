// How the profile reads its values: numbers, enumerations and comma-separated lists.
//
// Numbers are read the way boost::lexical_cast reads them, so the clamping table's outcomes stay
// the same: decimal digits with one optional leading sign and nothing else (no spaces); a value
// outside the signed range fails; an unsigned type accepts a leading '-' and wraps modulo its
// width (so "-1" read as 16 bits is 65535), but a magnitude beyond the type still fails.
// Enumerated values are compared ignoring ASCII letter case, never by locale.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace orv::config {

[[nodiscard]] bool ReadInt32(std::wstring_view text, std::int32_t& value);
[[nodiscard]] bool ReadUint16(std::wstring_view text, std::uint16_t& value);
[[nodiscard]] bool ReadUint32(std::wstring_view text, std::uint32_t& value);

// True when a and b are equal with ASCII letters compared case-insensitively.
[[nodiscard]] bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept;

// Splits at commas, a run of adjacent commas counting as one; a leading or trailing comma still
// yields an empty first or last item, and empty text yields one empty item. Items are untrimmed.
[[nodiscard]] std::vector<std::wstring_view> SplitAtCommas(std::wstring_view text);

}  // namespace orv::config
