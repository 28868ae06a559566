#include "runtime/utils.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "runtime/logger.h"
#include "runtime/text.h"

namespace OBRuntime {
namespace {

constexpr wchar_t kSeparator = L'/';

// The variable's value as wide text, or fallback when it is unset or empty.
std::wstring EnvironmentPath(const char* name, std::wstring_view fallback) {
  // The agent never changes its environment, so reading it from any thread is safe.
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  if (value == nullptr || *value == '\0') {
    return std::wstring(fallback);
  }
  return Utf8ToWide(value);
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (path.size() > 1 && path.back() == kSeparator) {
    path.pop_back();
  }
  return path;
}

// Simple case folding of Latin Extended-A (U+0100..U+017F), where case pairs alternate.
wchar_t FoldLatinExtendedA(wchar_t c) {
  if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149) {
    return c;  // dotted I, dotless i, kra, 'n: no simple folding
  }
  if (c == 0x178) {
    return 0xFF;
  }
  if (c == 0x17F) {
    return L's';
  }
  const bool odd_is_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
  const bool is_odd = (c & 1) != 0;
  return is_odd == odd_is_upper ? static_cast<wchar_t>(c + 1) : c;
}

wchar_t FoldCase(wchar_t c) {
  if (c < 0x80) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 0x20) : c;
  }
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) {
    return static_cast<wchar_t>(c + 0x20);
  }
  if (c == 0xB5) {
    return 0x3BC;  // micro sign folds to Greek mu
  }
  if (c >= 0x100 && c <= 0x17F) {
    return FoldLatinExtendedA(c);
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) {
    return static_cast<wchar_t>(c + 0x20);
  }
  if (c == 0x3C2) {
    return 0x3C3;  // final sigma folds to sigma
  }
  if (c >= 0x410 && c <= 0x42F) {
    return static_cast<wchar_t>(c + 0x20);
  }
  if (c >= 0x400 && c <= 0x40F) {
    return static_cast<wchar_t>(c + 0x50);
  }
  return c;
}

bool SameFolded(wchar_t a, wchar_t b) { return a == b || FoldCase(a) == FoldCase(b); }

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') {
    return c - L'0';
  }
  if (c >= L'a' && c <= L'f') {
    return c - L'a' + 10;
  }
  if (c >= L'A' && c <= L'F') {
    return c - L'A' + 10;
  }
  return -1;
}

std::wstring_view FileNamePart(std::wstring_view path) {
  const std::size_t slash = path.rfind(kSeparator);
  return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

// An address in network byte order; length 4 or 16, 0 when the text parsed as neither.
struct ParsedAddress {
  std::array<std::uint8_t, 16> bytes{};
  std::size_t length = 0;
};

ParsedAddress ParseAddress(const std::string& text) {
  ParsedAddress parsed;
  if (::inet_pton(AF_INET, text.c_str(), parsed.bytes.data()) == 1) {
    parsed.length = 4;
  } else if (::inet_pton(AF_INET6, text.c_str(), parsed.bytes.data()) == 1) {
    parsed.length = 16;
  }
  return parsed;
}

}  // namespace

std::wstring Utils::GetProgramDataPath() {
  return WithoutTrailingSeparators(EnvironmentPath("PROGRAMDATA", L"/var/lib"));
}

std::wstring Utils::GetWindowsDirectoryPath() { return L"/etc"; }

bool Utils::GetAllUsersAppDataPath(std::wstring& out) {
  const char* value = std::getenv("ALLUSERSPROFILE");  // NOLINT(concurrency-mt-unsafe)
  out = (value == nullptr || *value == '\0') ? GetProgramDataPath()
                                             : WithoutTrailingSeparators(Utf8ToWide(value));
  return true;
}

std::wstring Utils::GetTempPath() {
  return WithoutTrailingSeparators(EnvironmentPath("TMPDIR", L"/tmp"));
}

std::wstring Utils::GetORVDataDirectory() {
  return ConcatenatePath(GetProgramDataPath(), L"Varno/Varno Ombrix Suite", L"ORV");
}

std::wstring Utils::ConcatenatePath(std::wstring_view a, std::wstring_view b, std::wstring_view c) {
  std::wstring joined;
  for (std::wstring_view part : {a, b, c}) {
    if (joined.empty()) {
      joined = part;  // the first non-empty part keeps its leading '/' (absolute paths)
      continue;
    }
    const std::size_t start = part.find_first_not_of(kSeparator);
    if (start == std::wstring_view::npos) {
      continue;
    }
    if (joined.back() != kSeparator) {
      joined += kSeparator;
    }
    joined += part.substr(start);
  }
  return joined;
}

std::uint64_t Utils::GetFileSize(const std::wstring& path) {
  std::uint64_t size = 0;
  return ObSucceeded(GetFileSize(path, size)) ? size : kInvalidFileSize;
}

OB_STATUSCODE Utils::GetFileSize(const std::wstring& path, std::uint64_t& size) {
  struct stat info {};
  if (::stat(WideToUtf8(path).c_str(), &info) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? kObNotFound : kObFailure;
  }
  size = static_cast<std::uint64_t>(info.st_size);
  return kObSuccess;
}

OB_STATUSCODE Utils::WideCharToMBCS(std::wstring_view wide, std::string& out) {
  try {
    out = WideToUtf8(wide);
    return kObSuccess;
  } catch (const std::bad_alloc&) {
    OB_LOG_ERROR("out of memory converting %zu characters", wide.size());
    return kObOutOfMemory;
  } catch (const std::length_error&) {
    OB_LOG_ERROR("text of %zu characters too long to convert", wide.size());
    return kObOutOfMemory;
  }
}

OB_STATUSCODE Utils::WideCharToMBLength(std::wstring_view wide, std::size_t& length) {
  std::size_t bytes = 0;
  for (const wchar_t element : wide) {
    const auto c = static_cast<char32_t>(element);
    if (c < 0x80) {
      bytes += 1;
    } else if (c < 0x800) {
      bytes += 2;
    } else if (c < 0x10000 || c > 0x10FFFF) {
      bytes += 3;  // surrogates and out-of-range values become U+FFFD, also three bytes
    } else {
      bytes += 4;
    }
  }
  length = bytes;
  return kObSuccess;
}

std::string Utils::EncodeToHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(bytes.size() * 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    hex[2 * i] = kDigits[bytes[i] >> 4];
    hex[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return hex;
}

std::wstring Utils::EncodeHexToByte(std::wstring_view hex) {
  std::wstring bytes;
  if (!ObSucceeded(EncodeHexToByte(hex, bytes))) {
    bytes.clear();
  }
  return bytes;
}

OB_STATUSCODE Utils::EncodeHexToByte(std::wstring_view hex, std::wstring& bytes) {
  bytes.clear();
  if (hex.size() % 2 != 0) {
    OB_LOG_WARN("hexadecimal text of odd length %zu rejected", hex.size());
    return kObBadArgument;
  }
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) {
      OB_LOG_WARN("hexadecimal text rejected: non-hex character at offset %zu",
                  high < 0 ? i : i + 1);
      bytes.clear();
      return kObBadArgument;
    }
    bytes += static_cast<wchar_t>(high * 16 + low);
  }
  return kObSuccess;
}

// Greedy two-pointer matching: on a mismatch only the most recent '*' is widened by one element.
// Earlier stars never need revisiting, because a later star can absorb whatever an earlier one
// would, so the worst case is O(text x pattern) instead of exponential.
bool Utils::MatchPattern(std::wstring_view text, std::wstring_view pattern) {
  std::size_t t = 0;
  std::size_t p = 0;
  std::size_t star = std::wstring_view::npos;  // position of the last '*' seen in the pattern
  std::size_t star_text = 0;                   // text position that '*' currently extends to
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      star_text = t;
    } else if (p < pattern.size() && (pattern[p] == L'?' || SameFolded(pattern[p], text[t]))) {
      ++p;
      ++t;
    } else if (star != std::wstring_view::npos) {
      p = star + 1;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') {
    ++p;
  }
  return p == pattern.size();
}

bool Utils::IsCIDRMatch(const std::string& address, const std::string& network,
                        std::uint32_t prefix_length) {
  const ParsedAddress a = ParseAddress(address);
  const ParsedAddress n = ParseAddress(network);
  if (a.length == 0 || a.length != n.length || prefix_length > a.length * 8) {
    return false;
  }
  const std::size_t whole_bytes = prefix_length / 8;
  for (std::size_t i = 0; i < whole_bytes; ++i) {
    if (a.bytes[i] != n.bytes[i]) {
      return false;
    }
  }
  const std::uint32_t rest_bits = prefix_length % 8;
  if (rest_bits == 0) {
    return true;
  }
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest_bits));
  return (a.bytes[whole_bytes] & mask) == (n.bytes[whole_bytes] & mask);
}

OB_STATUSCODE Utils::GetRegistryValue(std::uintptr_t /*root_key*/, std::wstring_view /*sub_key*/,
                                      std::wstring_view /*value_name*/, void* /*buffer*/,
                                      std::uint32_t* /*size*/, std::uint32_t* /*type*/,
                                      std::uint32_t /*flags*/) {
  return kObNotFound;
}

bool Utils::IsOs_Wow64() { return false; }

bool Utils::IsProcessFromSysWOW64Dir(std::wstring_view /*path*/) { return false; }

OB_STATUSCODE Utils::GetFileNameFromPath(std::wstring_view path, wchar_t* out,
                                         std::size_t capacity) {
  if (out == nullptr) {
    OB_LOG_ERROR("null output buffer");
    return kObBadArgument;
  }
  const std::wstring_view name = FileNamePart(path);
  if (name.size() >= capacity) {
    if (capacity > 0) {
      out[0] = L'\0';
    }
    return kObBufferTooSmall;
  }
  name.copy(out, name.size());
  out[name.size()] = L'\0';
  return kObSuccess;
}

std::wstring Utils::GetFileNameFromPath(std::wstring_view path) {
  return std::wstring(FileNamePart(path));
}

std::wstring_view Utils::FileNameOf(std::wstring_view path) { return FileNamePart(path); }

OB_STATUSCODE Utils::GetFileNamesFromPaths(const std::vector<std::wstring>& paths,
                                           std::vector<std::wstring>& names) {
  try {
    std::vector<std::wstring> result;
    result.reserve(paths.size());
    for (const std::wstring& path : paths) {
      result.push_back(GetFileNameFromPath(path));
    }
    names = std::move(result);
    return kObSuccess;
  } catch (const std::bad_alloc&) {
    OB_LOG_ERROR("out of memory taking the names of %zu paths", paths.size());
    return kObOutOfMemory;
  }
}

}  // namespace OBRuntime
