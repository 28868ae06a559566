#include "crash/dump_files.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using orv::crash::PruneMiniDumpFiles;

constexpr const char* kPrefix = "oborvagent_1.2.3_";

class DumpFilesTest : public ::testing::Test {
 protected:
  void Make(const std::string& name) { std::ofstream(dir_.path() / name) << "x"; }
  [[nodiscard]] bool Exists(const std::string& name) const {
    return fs::exists(dir_.path() / name);
  }

  orv::test::TempDir dir_;
};

TEST_F(DumpFilesTest, NamesCarryTheLocalTime) {
  std::array<char, 64> path{};
  // 2026-12-06 23:30:05 UTC is 2026-12-07 01:30:05 two hours east.
  ASSERT_TRUE(orv::crash::FormatDumpPath("/tmp/a_1_", 1796599805, 2 * 3600, path));
  EXPECT_STREQ(path.data(), "/tmp/a_1_20261207013005.mdmp");
  ASSERT_TRUE(orv::crash::FormatDumpPath("/tmp/a_1_", 1796599805, -5 * 3600, path));
  EXPECT_STREQ(path.data(), "/tmp/a_1_20261206183005.mdmp");
  std::array<char, 20> small{};
  EXPECT_FALSE(orv::crash::FormatDumpPath("/tmp/a_1_", 0, 0, small));
  EXPECT_EQ(orv::crash::DumpNamePrefix("oborvagent", "1.2.3"), kPrefix);
}

TEST_F(DumpFilesTest, RecognisesOnlyFullDumpNames) {
  const std::string prefix = kPrefix;
  EXPECT_TRUE(orv::crash::IsDumpName(prefix + "20261206101010.mdmp", prefix));
  EXPECT_TRUE(orv::crash::IsDumpName(prefix + "??????????????.mdmp", prefix));  // any fourteen
  EXPECT_FALSE(orv::crash::IsDumpName(prefix + "2026120610101.mdmp", prefix));
  EXPECT_FALSE(orv::crash::IsDumpName(prefix + "202612061010100.mdmp", prefix));
  EXPECT_FALSE(orv::crash::IsDumpName(prefix + "20261206101010.dmp0", prefix));
  EXPECT_FALSE(orv::crash::IsDumpName("oborvagent_1.2.4_20261206101010.mdmp", prefix));
}

TEST_F(DumpFilesTest, KeepsTheNewestAndLeavesOtherFiles) {
  for (int day = 1; day <= 7; ++day) {
    Make(std::string(kPrefix) + "2026120" + std::to_string(day) + "000000.mdmp");
  }
  Make("unrelated.txt");
  PruneMiniDumpFiles(dir_.path().string(), kPrefix, 5);
  EXPECT_FALSE(Exists(std::string(kPrefix) + "20261201000000.mdmp"));
  EXPECT_FALSE(Exists(std::string(kPrefix) + "20261202000000.mdmp"));
  for (int day = 3; day <= 7; ++day) {
    EXPECT_TRUE(Exists(std::string(kPrefix) + "2026120" + std::to_string(day) + "000000.mdmp"));
  }
  EXPECT_TRUE(Exists("unrelated.txt"));
}

TEST_F(DumpFilesTest, UndeletableFileIsLoggedAndPruningEnds) {
  for (int day = 1; day <= 4; ++day) {
    Make(std::string(kPrefix) + "2026120" + std::to_string(day) + "000000.mdmp");
  }
  orv::test::LogCapture log;
  std::vector<std::string> attempts;
  PruneMiniDumpFiles(dir_.path().string(), kPrefix, 1, [&](const std::string& path) {
    attempts.push_back(fs::path(path).filename().string());
    return attempts.size() == 1 ? EACCES : 0;
  });
  EXPECT_EQ(attempts, (std::vector<std::string>{std::string(kPrefix) + "20261201000000.mdmp",
                                                std::string(kPrefix) + "20261202000000.mdmp",
                                                std::string(kPrefix) + "20261203000000.mdmp"}));
  EXPECT_TRUE(log.Has(LOG_WARNING, "CExceptionHandlerEx::PruneMiniDumpFiles",
                      "DeleteFile error 0x0000000D failed to delete " +
                          (dir_.path() / (std::string(kPrefix) + "20261201000000.mdmp")).string()));
}

TEST_F(DumpFilesTest, NoMatchAndUnreadableDirectoryAreLogged) {
  orv::test::LogCapture log;
  PruneMiniDumpFiles(dir_.path().string(), kPrefix, 5);
  EXPECT_TRUE(
      log.Has(LOG_DEBUG, "CExceptionHandlerEx::PruneMiniDumpFiles",
              "CExceptionHandlerEx::PruneMiniDumpFiles -                              There are no "
              "minidump files matching the search pattern: " +
                  dir_.path().string() + "/" + kPrefix + "??????????????.mdmp failed."));
  PruneMiniDumpFiles((dir_.path() / "missing").string(), kPrefix, 5);
  EXPECT_TRUE(log.Contains("FindNextFile failed.  Error = 2"));
}

}  // namespace
