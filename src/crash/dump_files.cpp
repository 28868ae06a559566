#include "crash/dump_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "crash/crash_messages.h"
#include "crash/signal_safe_text.h"
#include "runtime/logger.h"

namespace orv::crash {
namespace {

constexpr std::string_view kDumpExtension = ".mdmp";
constexpr std::size_t kStampLength = 14;
constexpr const char* kPruneFunction = "CExceptionHandlerEx::PruneMiniDumpFiles";

int RemoveWithUnlink(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

// Logs a crash message whose "%ls" arguments are UTF-8 text.
void LogMessage(int level, const char* format, std::initializer_list<FormatArgument> arguments) {
  std::array<char, 4096> buffer{};
  SignalSafeText text(buffer);
  text.AppendFormat(format, arguments);
  OB_LOG_AS(level, kPruneFunction, "%s", text.data());
}

// The matching regular files of directory that this account owns, sorted by name; false when
// the directory cannot be read to the end. Anything else under a dump name (another account's
// file planted in a shared temporary directory, a link) is neither counted nor deleted.
bool ListDumps(const std::string& directory, const std::string& prefix,
               std::vector<std::string>& names) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::directory_iterator entry(directory, error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    struct stat status {};
    if (IsDumpName(name, prefix) && ::lstat(entry->path().c_str(), &status) == 0 &&
        S_ISREG(status.st_mode) && status.st_uid == ::geteuid()) {
      names.push_back(name);
    }
  }
  if (error) {
    LogMessage(LOG_DEBUG, kPruneFindNextFailed, {error.value()});
    return false;
  }
  std::sort(names.begin(), names.end());
  return true;
}

}  // namespace

std::string DumpNamePrefix(const std::string& exe_name, const std::string& version) {
  return exe_name + "_" + version + "_";
}

bool FormatDumpPath(const char* prefix, std::int64_t utc_seconds, std::int64_t utc_offset,
                    std::span<char> out) noexcept {
  if (out.empty()) {
    return false;
  }
  const CivilTime local = CivilFromSeconds(utc_seconds + utc_offset);
  SignalSafeText text(out);
  text.Append(prefix).AppendDecimal(static_cast<std::uint64_t>(std::max(local.year, 0)), 4);
  for (const int part : {local.month, local.day, local.hour, local.minute, local.second}) {
    text.AppendDecimal(static_cast<std::uint64_t>(part), 2);
  }
  text.Append(kDumpExtension.data(), kDumpExtension.size());
  return !text.truncated();
}

bool IsDumpName(const std::string& name, const std::string& prefix) {
  return name.size() == prefix.size() + kStampLength + kDumpExtension.size() &&
         name.starts_with(prefix) && name.ends_with(kDumpExtension);
}

void PruneMiniDumpFiles(const std::string& directory, const std::string& prefix, std::size_t keep,
                        const RemoveFileFunction& remove_file) {
  try {
    std::vector<std::string> names;
    if (!ListDumps(directory, prefix, names)) {
      return;
    }
    if (names.empty()) {
      const std::string pattern =
          directory + "/" + prefix + std::string(kStampLength, '?') + std::string(kDumpExtension);
      LogMessage(LOG_DEBUG, kNoDumpFiles, {pattern.c_str()});
      return;
    }
    const RemoveFileFunction& remover = remove_file ? remove_file : RemoveWithUnlink;
    // Oldest first; every file leaves the list whether or not it could be deleted.
    for (std::size_t i = 0; i + keep < names.size(); ++i) {
      const std::string path = directory + "/" + names[i];
      if (const int error = remover(path); error != 0) {
        LogMessage(LOG_WARNING, kDeleteFailed, {static_cast<std::uint32_t>(error), path.c_str()});
      }
    }
  } catch (const std::exception& error) {
    OB_LOG_AS(LOG_WARNING, kPruneFunction, "pruning stopped: %s", error.what());
  }
}

}  // namespace orv::crash
