#include "config/profile_text.h"

#include <limits>

namespace orv::config {
namespace {

// Reads an optional sign and at least one digit; magnitude must not exceed limit.
bool ReadSignedMagnitude(std::wstring_view text, std::uint64_t limit, bool& negative,
                         std::uint64_t& magnitude) {
  negative = false;
  if (!text.empty() && (text.front() == L'+' || text.front() == L'-')) {
    negative = text.front() == L'-';
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return false;
  }
  magnitude = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') {
      return false;
    }
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - L'0');
    if (magnitude > limit) {
      return false;
    }
  }
  return true;
}

template <typename T>
bool ReadUnsigned(std::wstring_view text, T& value) {
  bool negative = false;
  std::uint64_t magnitude = 0;
  if (!ReadSignedMagnitude(text, std::numeric_limits<T>::max(), negative, magnitude)) {
    return false;
  }
  value = static_cast<T>(negative ? static_cast<T>(0) - static_cast<T>(magnitude)
                                  : static_cast<T>(magnitude));
  return true;
}

wchar_t FoldAscii(wchar_t c) noexcept { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

}  // namespace

bool ReadInt32(std::wstring_view text, std::int32_t& value) {
  constexpr std::uint64_t kMaxNegative = std::uint64_t{1} << 31;
  bool negative = false;
  std::uint64_t magnitude = 0;
  if (!ReadSignedMagnitude(text, kMaxNegative, negative, magnitude) ||
      (!negative && magnitude == kMaxNegative)) {
    return false;
  }
  value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                   : static_cast<std::int32_t>(magnitude);
  return true;
}

bool ReadUint16(std::wstring_view text, std::uint16_t& value) { return ReadUnsigned(text, value); }

bool ReadUint32(std::wstring_view text, std::uint32_t& value) { return ReadUnsigned(text, value); }

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) {
      return false;
    }
  }
  return true;
}

std::vector<std::wstring_view> SplitAtCommas(std::wstring_view text) {
  std::vector<std::wstring_view> items;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(L',', start);
    items.push_back(text.substr(start, comma == std::wstring_view::npos ? comma : comma - start));
    if (comma == std::wstring_view::npos) {
      return items;
    }
    start = text.find_first_not_of(L',', comma);
    if (start == std::wstring_view::npos) {
      items.emplace_back();  // trailing comma run
      return items;
    }
  }
}

}  // namespace orv::config
