#include "stats/usage_statistics.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace {

constexpr const wchar_t* kModuleDataDirectory = L"Varno/Varno Ombrix Suite/Tellwick/moduledata";
constexpr const wchar_t* kStatisticsFileName = L"ORVPhoneHome.tlw";
constexpr mode_t kDirectoryMode = 0755;

// CLOCK_BOOTTIME: monotonic, and unlike CLOCK_MONOTONIC it counts suspended time, so a laptop
// asleep overnight still completes its day period.
std::chrono::seconds BootTime() {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  return std::chrono::seconds(now.tv_sec);
}

std::int64_t AsInteger(std::uint64_t value) {
  return static_cast<std::int64_t>(
      std::min<std::uint64_t>(value, std::numeric_limits<std::int64_t>::max()));
}

// Creates every missing directory of path (0755 whatever the umask); 0 or the failing errno.
int CreateDirectories(const std::string& path) {
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = path.substr(0, end);
    if (::mkdir(prefix.c_str(), kDirectoryMode) == 0) {
      ::chmod(prefix.c_str(), kDirectoryMode);
    } else if (errno != EEXIST) {
      return errno;
    }
    if (end == std::string::npos) {
      break;
    }
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return errno;
  }
  return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

CUsageStatistics::CUsageStatistics()
    : CUsageStatistics(BootTime, [](std::wstring& path) {
        return OBRuntime::Utils::GetAllUsersAppDataPath(path);
      }) {}

CUsageStatistics::CUsageStatistics(Clock clock, AllUsersPathSource all_users_path)
    : CBencodeDictionary(true),
      clock_(std::move(clock)),
      all_users_path_(std::move(all_users_path)),
      last_flows_update_(clock_()),
      last_db_size_update_(last_flows_update_) {}

std::uint64_t CUsageStatistics::CountFlow() { return flow_counter_++; }

void CUsageStatistics::ReadDbFileSize(const std::wstring& database_path) {
  std::uint64_t size = 0;
  const OB_STATUSCODE status = OBRuntime::Utils::GetFileSize(database_path, size);
  if (status == kObSuccess) {
    current_db_size_ = size;
  } else if (status == kObNotFound) {
    current_db_size_ = 0;
  } else {
    OB_LOG_ERROR("Cannot read the size of %s; keeping %llu",
                 OBRuntime::WideToUtf8(database_path).c_str(),
                 static_cast<unsigned long long>(current_db_size_));
  }
}

bool CUsageStatistics::GetStatisticsFilePath(const AllUsersPathSource& all_users_path,
                                             std::wstring& path) {
  std::wstring base;
  if (!all_users_path(base) || base.empty()) {
    return false;
  }
  path = OBRuntime::Utils::ConcatenatePath(base, kModuleDataDirectory, kStatisticsFileName);
  return true;
}

OB_STATUSCODE CUsageStatistics::CollectAndReport(const std::wstring& database_path) {
  CountFlow();
  const std::chrono::seconds now = clock_();
  const bool db_size_due = now - last_db_size_update_ >= kDbSizePeriod;
  const bool day_due = now - last_flows_update_ >= kFlowsPerDayPeriod;
  if (!db_size_due && !day_due) {
    return kObSuccess;
  }
  if (db_size_due) {
    ReadDbFileSize(database_path);
    reported_db_size_ = current_db_size_;
    last_db_size_update_ = now;
  }
  if (day_due) {
    reported_flows_per_day_ = flow_counter_;
    flow_counter_ = 0;
    last_flows_update_ = now;
  }
  // The figures were taken over either way, so a missing path is logged once per period.
  return writeFile();
}

OB_STATUSCODE CUsageStatistics::writeFile() {
  std::wstring path;
  if (!GetStatisticsFilePath(all_users_path_, path)) {
    OB_LOG_ERROR("Failed to get bencode file");
    return kObFailure;
  }
  const std::string directory = OBRuntime::WideToUtf8(path.substr(0, path.rfind(L'/')));
  if (const int error = CreateDirectories(directory); error != 0) {
    OB_LOG_ERROR("Cannot create %s: %s", directory.c_str(), ErrnoText(error).c_str());
    return kObSuccess;
  }
  SetFile(path);
  // A malformed or oversized file is logged by Load and then replaced by a fresh one.
  (void)Load();
  SetInteger(kDbFileSizeKey, AsInteger(reported_db_size_));
  SetInteger(kEnabledKey, 1);
  SetInteger(kFlowsPerDayKey, AsInteger(reported_flows_per_day_));
  (void)Flush(true);  // failures are logged there; statistics never stop the agent
  return kObSuccess;
}
