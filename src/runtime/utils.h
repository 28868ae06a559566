// Path, text, pattern and address helpers shared by every subsystem.
//
// Paths are wide text in memory and UTF-8 on the file system; the separator is '/'. The three
// base directories come from $PROGRAMDATA, $ALLUSERSPROFILE and $TMPDIR, each with a fixed
// default, so tests and side-by-side agents can relocate them. Functions that only had meaning on
// Windows (registry, 32-bit emulation) answer "not available". Every function is safe from any
// thread; none keeps state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

namespace OBRuntime {

class Utils {
 public:
  Utils() = delete;

  // What the size query answers when the file cannot be examined.
  static constexpr std::uint64_t kInvalidFileSize = std::numeric_limits<std::uint64_t>::max();

  // $PROGRAMDATA when set and non-empty, else "/var/lib"; trailing '/' removed except for "/".
  [[nodiscard]] static std::wstring GetProgramDataPath();
  // The system configuration directory, "/etc": what the Windows directory is to a Windows
  // program (where system-wide executables and settings are looked up).
  [[nodiscard]] static std::wstring GetWindowsDirectoryPath();
  // $ALLUSERSPROFILE when set and non-empty, else the program-data path; always true on Linux.
  [[nodiscard]] static bool GetAllUsersAppDataPath(std::wstring& out);
  // $TMPDIR when set and non-empty, else "/tmp"; no trailing separator.
  [[nodiscard]] static std::wstring GetTempPath();
  // The program-data path + "/Varno/Varno Ombrix Suite/ORV".
  [[nodiscard]] static std::wstring GetORVDataDirectory();

  // a + "/" + b + "/" + c with exactly one separator at each join; empty parts are skipped.
  [[nodiscard]] static std::wstring ConcatenatePath(std::wstring_view a, std::wstring_view b,
                                                    std::wstring_view c);

  // Size in bytes of the file (symbolic links followed), or kInvalidFileSize.
  [[nodiscard]] static std::uint64_t GetFileSize(const std::wstring& path);
  // Size in bytes; kObNotFound when the file does not exist, kObFailure for other stat errors.
  [[nodiscard]] static OB_STATUSCODE GetFileSize(const std::wstring& path, std::uint64_t& size);

  // UTF-8 form of wide text (ill-formed elements become U+FFFD); kObOutOfMemory is the only
  // failure.
  [[nodiscard]] static OB_STATUSCODE WideCharToMBCS(std::wstring_view wide, std::string& out);
  // Byte length of the UTF-8 form WideCharToMBCS produces, without building it.
  [[nodiscard]] static OB_STATUSCODE WideCharToMBLength(std::wstring_view wide,
                                                        std::size_t& length);

  // Lowercase hexadecimal text, two characters per byte.
  [[nodiscard]] static std::string EncodeToHex(std::span<const std::uint8_t> bytes);
  // The bytes that hexadecimal text (either case) stands for, one wide element per byte value;
  // empty for an odd length or a non-hex character (logged), and for empty input.
  [[nodiscard]] static std::wstring EncodeHexToByte(std::wstring_view hex);
  // As above with a status: kObBadArgument for an odd length or a non-hex character.
  [[nodiscard]] static OB_STATUSCODE EncodeHexToByte(std::wstring_view hex, std::wstring& bytes);

  // Whole-text wildcard match: '*' any run (also empty), '?' exactly one element; letters compare
  // case-insensitively by simple case folding of ASCII, Latin-1, Latin Extended-A, basic Greek and
  // basic Cyrillic (other scripts compare exactly). Time O(text x pattern) at worst.
  [[nodiscard]] static bool MatchPattern(std::wstring_view text, std::wstring_view pattern);

  // True when both texts are addresses of the same family (IPv4 dotted quad or IPv6) and their
  // first prefix_length bits agree. Prefix 0 matches the whole family; a prefix beyond the
  // family's width (32 or 128) or an unparsable text never matches.
  [[nodiscard]] static bool IsCIDRMatch(const std::string& address, const std::string& network,
                                        std::uint32_t prefix_length);

  // There is no registry on Linux: always kObNotFound, nothing written.
  [[nodiscard]] static OB_STATUSCODE GetRegistryValue(std::uintptr_t root_key,
                                                      std::wstring_view sub_key,
                                                      std::wstring_view value_name, void* buffer,
                                                      std::uint32_t* size, std::uint32_t* type,
                                                      std::uint32_t flags);
  // No 32-bit emulation layer exists here: always false.
  [[nodiscard]] static bool IsOs_Wow64();
  // No 32-bit system directory exists here: always false.
  [[nodiscard]] static bool IsProcessFromSysWOW64Dir(std::wstring_view path);

  // The part of path after its last '/' (the whole path when it has none), copied into out with
  // a terminator; capacity counts the terminator. kObBufferTooSmall (out left empty when
  // capacity > 0) when it does not fit, kObBadArgument for a null out.
  [[nodiscard]] static OB_STATUSCODE GetFileNameFromPath(std::wstring_view path, wchar_t* out,
                                                         std::size_t capacity);
  // The part of path after its last '/'.
  [[nodiscard]] static std::wstring GetFileNameFromPath(std::wstring_view path);
  // The same part, viewed in path.
  [[nodiscard]] static std::wstring_view FileNameOf(std::wstring_view path);
  // The file name of each path, in order; kObOutOfMemory is the only failure.
  [[nodiscard]] static OB_STATUSCODE GetFileNamesFromPaths(const std::vector<std::wstring>& paths,
                                                           std::vector<std::wstring>& names);
};

}  // namespace OBRuntime
