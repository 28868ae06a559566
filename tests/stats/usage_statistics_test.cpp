#include "stats/usage_statistics.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/utils.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::minutes;
using std::chrono::seconds;

std::string Statistics(int db_size, int flows_per_day) {
  return "d11:DbFile Sizei" + std::to_string(db_size) + "e7:Enabledi1e13:Flows per dayi" +
         std::to_string(flows_per_day) + "ee";
}

class UsageStatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDatabaseSize(2048); }
  void SetDatabaseSize(std::uintmax_t size) {
    std::ofstream(database_, std::ios::binary).close();
    fs::resize_file(database_, size);
  }
  // Counts flows count times at the current time plus step; every call must succeed.
  void Flows(int count, seconds step = {}) {
    now_ += step;
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(statistics_.CollectAndReport(database_.wstring()), kObSuccess);
    }
  }
  std::string File() const { return orv::test::ChildProcess::ReadAll(file_); }

  orv::test::TempDir temp_;
  fs::path module_data_ = temp_.path() / "Varno" / "Varno Ombrix Suite" / "Tellwick" / "moduledata";
  fs::path file_ = module_data_ / "ORVPhoneHome.tlw.temp";
  fs::path database_ = temp_.path() / "ORV.db";
  seconds now_{1000000};
  CUsageStatistics statistics_{[this] { return now_; },
                               [this](std::wstring& path) {
                                 path = temp_.path().wstring();
                                 return true;
                               }};
};

TEST_F(UsageStatisticsTest, TakesOverSizeEvery15MinutesAndFlowsEveryDay) {
  Flows(10, minutes(15) - seconds(1));
  EXPECT_FALSE(fs::exists(module_data_)) << "no file I/O before a period elapsed";
  Flows(1, seconds(1));
  EXPECT_EQ(File(), Statistics(2048, 0));
  EXPECT_EQ(fs::status(module_data_).permissions(), fs::perms(0755));
  EXPECT_EQ(statistics_.Size(), 0U) << "the write created the file";

  // Between take-overs nothing is written, even though the size changed; what is written is the
  // figure taken over at that moment, not the previous period's.
  SetDatabaseSize(4096);
  Flows(100, minutes(14));
  EXPECT_EQ(File(), Statistics(2048, 0));
  Flows(1, minutes(1));
  EXPECT_EQ(File(), Statistics(4096, 0));
  EXPECT_EQ(statistics_.Size(), 3U) << "the file was there: the items stay";

  // The day period began at construction: 10 + 1 + 100 + 1 flows so far. The feedback module has
  // sent and removed the file meanwhile, and the database is gone.
  fs::remove(file_);
  fs::remove(database_);
  Flows(417, seconds(1000000) + minutes(1440) - seconds(1) - now_);
  EXPECT_EQ(statistics_.FlowCounter(), 529U);
  EXPECT_EQ(File(), Statistics(0, 0)) << "recreated when the size was due";
  EXPECT_EQ(statistics_.Size(), 0U);
  Flows(1, seconds(1));
  EXPECT_EQ(File(), Statistics(0, 530));
  EXPECT_EQ(statistics_.FlowCounter(), 0U) << "the counter restarts with the new day";
}

TEST_F(UsageStatisticsTest, KeepsForeignEntriesAndReplacesHostileFiles) {
  fs::create_directories(module_data_);
  std::ofstream(file_, std::ios::binary) << "d5:Extrai7e7:Enabledi0ee";
  Flows(1, minutes(15));
  EXPECT_EQ(File(), "d11:DbFile Sizei2048e7:Enabledi1e5:Extrai7e13:Flows per dayi0ee");
  std::ofstream(file_, std::ios::binary) << "d1:k" << std::string(100000, 'l');
  Flows(1, minutes(15));
  EXPECT_EQ(File(), Statistics(2048, 0));

  // A file where the directory belongs: logged, and the agent goes on.
  orv::test::LogCapture log;
  fs::remove_all(module_data_);
  std::ofstream(module_data_) << "not a directory";
  Flows(1, minutes(15));
  EXPECT_TRUE(log.Contains("Cannot create"));
}

TEST_F(UsageStatisticsTest, WithoutAPathTheFailureIsLoggedOncePerPeriod) {
  orv::test::LogCapture log;
  CUsageStatistics statistics([this] { return now_; }, [](std::wstring&) { return false; });
  EXPECT_EQ(statistics.CollectAndReport(database_.wstring()), kObSuccess);
  now_ += minutes(15);
  EXPECT_EQ(statistics.CollectAndReport(database_.wstring()), kObFailure);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CUsageStatistics::writeFile", "Failed to get bencode file"));
  EXPECT_EQ(statistics.CollectAndReport(database_.wstring()), kObSuccess) << "no retry per flow";
  EXPECT_EQ(statistics.ReportedDbSize(), 2048U);

  // The real path source follows the all-users profile.
  ::setenv("ALLUSERSPROFILE", temp_.path().c_str(), 1);
  std::wstring path;
  EXPECT_TRUE(CUsageStatistics::GetStatisticsFilePath(
      [](std::wstring& base) { return OBRuntime::Utils::GetAllUsersAppDataPath(base); }, path));
  ::unsetenv("ALLUSERSPROFILE");
  EXPECT_EQ(fs::path(path), module_data_ / "ORVPhoneHome.tlw");
  CUsageStatistics real;
  EXPECT_EQ(real.CollectAndReport(database_.wstring()), kObSuccess);
  EXPECT_EQ(real.FlowCounter(), 1U);
}

}  // namespace
