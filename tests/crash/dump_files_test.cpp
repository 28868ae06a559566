#include "crash/dump_files.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kPrefix = "oborvagent_1.2.3_";

TEST(DumpFilesTest, NamesCarryTheLocalTime) {
  std::array<char, 64> path{};
  // 2026-12-06 23:30:05 UTC is 2026-12-07 01:30:05 two hours east.
  ASSERT_TRUE(orv::crash::FormatDumpPath("/tmp/a_1_", 1796599805, 2 * 3600, path));
  EXPECT_STREQ(path.data(), "/tmp/a_1_20261207013005.mdmp");
  ASSERT_TRUE(orv::crash::FormatDumpPath("/tmp/a_1_", 1796599805, -5 * 3600, path));
  EXPECT_STREQ(path.data(), "/tmp/a_1_20261206183005.mdmp");
  std::array<char, 20> small{};
  EXPECT_FALSE(orv::crash::FormatDumpPath("/tmp/a_1_", 0, 0, small));
  EXPECT_EQ(orv::crash::DumpNamePrefix("oborvagent", "1.2.3"), kPrefix);
  EXPECT_FALSE(orv::crash::IsDumpName(std::string(kPrefix) + "20261206101010.dmp0", kPrefix));
}

// A file that cannot be deleted is logged and left behind; pruning goes on with the next one
// and ends.
TEST(DumpFilesTest, PruningLogsWhatItCannotDoAndEnds) {
  orv::test::TempDir dir;
  orv::test::LogCapture log;
  orv::crash::PruneMiniDumpFiles(dir.path().string(), kPrefix, 5);
  EXPECT_TRUE(log.Contains("There are no minidump files matching the search pattern: " +
                           dir.path().string() + "/" + kPrefix + "??????????????.mdmp failed."));
  orv::crash::PruneMiniDumpFiles((dir.path() / "missing").string(), kPrefix, 5);
  EXPECT_TRUE(log.Contains("FindNextFile failed.  Error = 2"));

  for (int day = 1; day <= 4; ++day) {
    std::ofstream(dir.path() / (kPrefix + ("2026120" + std::to_string(day)) + "000000.mdmp"));
  }
  std::vector<std::string> attempts;
  orv::crash::PruneMiniDumpFiles(dir.path().string(), kPrefix, 1, [&](const std::string& path) {
    attempts.push_back(std::filesystem::path(path).filename().string().substr(17, 8));
    return attempts.size() == 1 ? EACCES : 0;
  });
  EXPECT_EQ(attempts, (std::vector<std::string>{"20261201", "20261202", "20261203"}));
  EXPECT_TRUE(log.Has(LOG_WARNING, "CExceptionHandlerEx::PruneMiniDumpFiles",
                      "DeleteFile error 0x0000000D failed to delete " + dir.path().string() + "/" +
                          kPrefix + "20261201000000.mdmp"));
}

}  // namespace
