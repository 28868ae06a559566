// Names and housekeeping of minidump files: "<exe name>_<version>_YYYYMMDDHHMMSS.mdmp".
//
// The fourteen-digit local time stamp makes name order the age order, which pruning relies on.
// Building a name is async-signal-safe (the handler names its file with it); pruning is not and
// runs when the handler is installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace orv::crash {

// Number of dumps kept when the configuration word does not say.
inline constexpr std::size_t kDefaultDumpsToKeep = 5;

// "<exe name>_<version>_": what every dump of this program and version starts with.
[[nodiscard]] std::string DumpNamePrefix(const std::string& exe_name, const std::string& version);

// Writes "<prefix>YYYYMMDDHHMMSS.mdmp" for the local time that is utc_seconds + utc_offset into
// out (terminated); false when it does not fit. Async-signal-safe.
[[nodiscard]] bool FormatDumpPath(const char* prefix, std::int64_t utc_seconds,
                                  std::int64_t utc_offset, std::span<char> out) noexcept;

// True when name is prefix followed by exactly fourteen characters and ".mdmp".
[[nodiscard]] bool IsDumpName(const std::string& name, const std::string& prefix);

// Removes one file; returns 0 or the errno of the failure.
using RemoveFileFunction = std::function<int(const std::string& path)>;

// Deletes the oldest dumps named "<directory>/<prefix>..." until at most keep remain. A file
// that cannot be deleted is logged and counted as handled, so pruning always ends; no match at
// all is logged too.
void PruneMiniDumpFiles(const std::string& directory, const std::string& prefix, std::size_t keep,
                        const RemoveFileFunction& remove_file = {});

}  // namespace orv::crash
