#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/data_protection.h"
#include "platform/private_directory.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

mode_t ModeOf(const fs::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST(PrivateFilesTest, DirectoriesGetTheirModesWhateverTheUmask) {
  orv::test::TempDir temp;
  const mode_t previous = ::umask(077);
  const int error = OBPlatform::CreatePrivateDirectory((temp.path() / "a/b/c").string());
  std::ofstream(temp.path() / "machine-id") << "00112233445566778899aabbccddeeff\n";
  const OBPlatform::CDataProtection protection(temp.path() / "x/dp", temp.path() / "machine-id",
                                               1000);
  std::vector<std::uint8_t> blob;
  const OB_STATUSCODE protected_status = protection.Protect(std::array<std::uint8_t, 1>{7}, blob);
  ::umask(previous);
  ASSERT_EQ(error, 0);
  ASSERT_EQ(protected_status, kObSuccess);
  EXPECT_EQ(ModeOf(temp.path() / "a"), 0755U);
  EXPECT_EQ(ModeOf(temp.path() / "a/b"), 0755U);
  EXPECT_EQ(ModeOf(temp.path() / "a/b/c"), 0700U);
  EXPECT_EQ(ModeOf(temp.path() / "x"), 0755U);
  EXPECT_EQ(ModeOf(temp.path() / "x/dp"), 0700U);
  EXPECT_EQ(ModeOf(temp.path() / "x/dp/1000.key"), 0600U);
}

TEST(PrivateFilesTest, AMalformedSecretIsRefusedNotReplaced) {
  orv::test::TempDir temp;
  std::ofstream(temp.path() / "machine-id") << "00112233445566778899aabbccddeeff\n";
  fs::create_directories(temp.path() / "dp");
  const fs::path secret = temp.path() / "dp/1000.key";
  std::ofstream(secret) << "too short";
  const OBPlatform::CDataProtection protection(temp.path() / "dp", temp.path() / "machine-id",
                                               1000);
  std::vector<std::uint8_t> blob;
  EXPECT_EQ(protection.Protect(std::array<std::uint8_t, 1>{7}, blob), kObFailure);
  std::ifstream in(secret);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "too short");
}

}  // namespace
