#include "stats/usage_statistics.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/utils.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::minutes;
using std::chrono::seconds;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class UsageStatisticsTest : public ::testing::Test {
 protected:
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

  void SetUp() override { SetDatabaseSize(2048); }

  void SetDatabaseSize(std::uintmax_t size) {
    std::ofstream(database_, std::ios::binary).close();
    fs::resize_file(database_, size);
  }
  // Counts flows at the current time; every call must succeed.
  void Flows(int count) {
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(statistics_.CollectAndReport(database_.wstring()), kObSuccess);
    }
  }
};

TEST_F(UsageStatisticsTest, FilePathIsUnderModuleData) {
  std::wstring path;
  ASSERT_TRUE(CUsageStatistics::GetStatisticsFilePath(
      [](std::wstring& base) {
        base = L"/srv/users/";
        return true;
      },
      path));
  EXPECT_EQ(path, L"/srv/users/Varno/Varno Ombrix Suite/Tellwick/moduledata/ORVPhoneHome.tlw");
  EXPECT_FALSE(CUsageStatistics::GetStatisticsFilePath([](std::wstring&) { return false; }, path));
}

TEST_F(UsageStatisticsTest, RuntimePathFollowsAllUsersProfile) {
  ::setenv("ALLUSERSPROFILE", temp_.path().c_str(), 1);
  std::wstring path;
  CUsageStatistics real;
  ASSERT_TRUE(CUsageStatistics::GetStatisticsFilePath(
      [](std::wstring& base) { return OBRuntime::Utils::GetAllUsersAppDataPath(base); }, path));
  ::unsetenv("ALLUSERSPROFILE");
  EXPECT_EQ(fs::path(path), module_data_ / "ORVPhoneHome.tlw");
  EXPECT_EQ(real.CollectAndReport(database_.wstring()), kObSuccess);
  EXPECT_EQ(real.FlowCounter(), 1U);
}

TEST_F(UsageStatisticsTest, TakesOverSizeEvery15MinutesAndFlowsEveryDay) {
  Flows(10);
  EXPECT_FALSE(fs::exists(module_data_)) << "no file I/O before a period elapsed";

  now_ += minutes(15) - seconds(1);
  Flows(1);
  EXPECT_FALSE(fs::exists(file_));

  now_ += seconds(1);
  Flows(1);
  EXPECT_EQ(ReadFile(file_), "d11:DbFile Sizei2048e7:Enabledi1e13:Flows per dayi0ee");
  EXPECT_EQ(fs::status(module_data_).permissions() & fs::perms::all,
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                fs::perms::others_read | fs::perms::others_exec);

  // Between take-overs nothing is written, even though the size changed.
  SetDatabaseSize(4096);
  fs::remove(file_);
  now_ += minutes(14);
  Flows(100);
  EXPECT_FALSE(fs::exists(file_));
  now_ += minutes(1);
  Flows(1);
  EXPECT_EQ(ReadFile(file_), "d11:DbFile Sizei4096e7:Enabledi1e13:Flows per dayi0ee");

  // The day period began at construction: 10 + 1 + 1 + 100 + 1 flows so far.
  SetDatabaseSize(2048);
  now_ = seconds(1000000) + minutes(1440) - seconds(1);
  Flows(416);
  EXPECT_EQ(statistics_.FlowCounter(), 529U);
  EXPECT_EQ(statistics_.ReportedFlowsPerDay(), 0U);
  now_ += seconds(1);
  Flows(1);
  EXPECT_EQ(ReadFile(file_), "d11:DbFile Sizei2048e7:Enabledi1e13:Flows per dayi530ee");
  EXPECT_EQ(statistics_.FlowCounter(), 0U) << "the counter restarts with the new day";
  EXPECT_EQ(statistics_.ReportedFlowsPerDay(), 530U);
}

TEST_F(UsageStatisticsTest, RemovedFileIsRecreatedAndDictionaryCleared) {
  now_ += minutes(15);
  Flows(1);
  ASSERT_TRUE(fs::exists(file_));
  EXPECT_EQ(statistics_.Size(), 0U) << "the write created the file";

  now_ += minutes(15);
  Flows(1);
  EXPECT_EQ(statistics_.Size(), 3U) << "the file was there: the items stay";

  fs::remove(file_);  // the feedback module has sent and removed it
  now_ += minutes(15);
  Flows(1);
  EXPECT_EQ(ReadFile(file_), "d11:DbFile Sizei2048e7:Enabledi1e13:Flows per dayi0ee");
  EXPECT_EQ(statistics_.Size(), 0U);
}

TEST_F(UsageStatisticsTest, KeepsForeignEntriesAndReplacesHostileFiles) {
  fs::create_directories(module_data_);
  std::ofstream(file_, std::ios::binary) << "d5:Extrai7e7:Enabledi0ee";
  now_ += minutes(15);
  Flows(1);
  EXPECT_EQ(ReadFile(file_), "d11:DbFile Sizei2048e7:Enabledi1e5:Extrai7e13:Flows per dayi0ee");

  orv::test::LogCapture log;
  std::ofstream(file_, std::ios::binary) << "d1:k" << std::string(100000, 'l');
  now_ += minutes(15);
  Flows(1);
  EXPECT_TRUE(log.Contains("Bencode nesting deeper than 64 levels"));
  EXPECT_TRUE(log.Contains("Bencode dictionary internalize failed"));
  EXPECT_EQ(ReadFile(file_), "d11:DbFile Sizei2048e7:Enabledi1e13:Flows per dayi0ee");
}

TEST_F(UsageStatisticsTest, MissingDatabaseReportsZero) {
  fs::remove(database_);
  now_ += minutes(15);
  Flows(1);
  EXPECT_EQ(ReadFile(file_), "d11:DbFile Sizei0e7:Enabledi1e13:Flows per dayi0ee");
}

TEST_F(UsageStatisticsTest, MissingPathFailsOncePerPeriod) {
  orv::test::LogCapture log;
  CUsageStatistics statistics([this] { return now_; }, [](std::wstring&) { return false; });
  EXPECT_EQ(statistics.CollectAndReport(database_.wstring()), kObSuccess);
  now_ += minutes(15);
  EXPECT_EQ(statistics.CollectAndReport(database_.wstring()), kObFailure);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CUsageStatistics::writeFile", "Failed to get bencode file"));
  EXPECT_EQ(statistics.CollectAndReport(database_.wstring()), kObSuccess)
      << "the period was taken over; no retry on every flow";
  EXPECT_EQ(statistics.ReportedDbSize(), 2048U);
}

TEST_F(UsageStatisticsTest, UnwritableDirectoryIsLoggedAndIgnored) {
  fs::create_directories(module_data_.parent_path());
  std::ofstream(module_data_) << "not a directory";
  orv::test::LogCapture log;
  now_ += minutes(15);
  EXPECT_EQ(statistics_.CollectAndReport(database_.wstring()), kObSuccess);
  EXPECT_TRUE(log.Contains("Cannot create"));
}

}  // namespace
