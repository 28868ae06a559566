// The agent's usage statistics: three figures written in bencode for the product's feedback
// module, which reads and removes "ORVPhoneHome.tlw.temp" in its moduledata directory:
//
//   d11:DbFile Sizei2048e7:Enabledi1e13:Flows per dayi530ee
//
// "DbFile Size" is the cache database's size as last taken over (every 15 minutes), "Flows per
// day" the flows counted in the last full day period (every 1440 minutes), "Enabled" always 1.
// The file is written only when a period has elapsed, so counting a flow costs no file I/O.
// Periods run on a clock that keeps counting through suspend; tests inject their own.
//
// Used only from flow admission, one caller at a time; there is no locking.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "common/status.h"
#include "stats/bencode.h"

class CUsageStatistics : public CBencodeDictionary {
 public:
  // Time since an arbitrary fixed point; must never go backwards.
  using Clock = std::function<std::chrono::seconds()>;
  // Fills the all-users application data directory; false when there is none.
  using AllUsersPathSource = std::function<bool(std::wstring&)>;

  static constexpr std::chrono::minutes kDbSizePeriod{15};
  static constexpr std::chrono::minutes kFlowsPerDayPeriod{1440};
  static constexpr const char* kDbFileSizeKey = "DbFile Size";
  static constexpr const char* kEnabledKey = "Enabled";
  static constexpr const char* kFlowsPerDayKey = "Flows per day";

  // Boot-time clock and the runtime's all-users path.
  CUsageStatistics();
  // Both periods start at the clock's current time.
  CUsageStatistics(Clock clock, AllUsersPathSource all_users_path);

  // Counts one flow; returns the count before it.
  std::uint64_t CountFlow();
  // Keeps the size of the database file: 0 when it does not exist, the previous size (logged)
  // when it cannot be examined.
  void ReadDbFileSize(const std::wstring& database_path);

  // Counts one flow. When 15 minutes have passed since the last size take-over, takes over the
  // database size; when 1440 minutes have passed since the last day take-over, takes over the
  // flow count and restarts it at 0. After either it loads the file, sets the three entries and
  // writes the file once (creating the moduledata directory, 0755, when missing). A failed write
  // is logged and still returns 0. kObFailure with "Failed to get bencode file" when a take-over
  // happened but the file's path cannot be found; the path is only looked for then.
  [[nodiscard]] OB_STATUSCODE CollectAndReport(const std::wstring& database_path);

  // The statistics file (without ".temp") under the all-users directory; false when the
  // directory is not available.
  [[nodiscard]] static bool GetStatisticsFilePath(const AllUsersPathSource& all_users_path,
                                                  std::wstring& path);

  [[nodiscard]] std::uint64_t FlowCounter() const { return flow_counter_; }
  [[nodiscard]] std::uint64_t ReportedDbSize() const { return reported_db_size_; }
  [[nodiscard]] std::uint64_t ReportedFlowsPerDay() const { return reported_flows_per_day_; }

 private:
  [[nodiscard]] OB_STATUSCODE writeFile();

  Clock clock_;
  AllUsersPathSource all_users_path_;
  std::chrono::seconds last_flows_update_;
  std::chrono::seconds last_db_size_update_;
  std::uint64_t reported_db_size_ = 0;
  std::uint64_t reported_flows_per_day_ = 0;
  std::uint64_t flow_counter_ = 0;
  std::uint64_t current_db_size_ = 0;  // as last read by ReadDbFileSize
};
