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

mode_t ModeOf(const std::filesystem::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST(PrivateFilesTest, ModesHoldUnderUmask077AndAMalformedSecretIsRefusedNotReplaced) {
  orv::test::TempDir temp;
  const auto& root = temp.path();
  std::ofstream(root / "machine-id") << "00112233445566778899aabbccddeeff\n";
  const std::array<std::uint8_t, 1> value{7};
  std::vector<std::uint8_t> blob;
  const mode_t previous = ::umask(077);
  const int error = OBPlatform::CreatePrivateDirectory((root / "a/b").string());
  const OB_STATUSCODE sealed =
      OBPlatform::CDataProtection(root / "x/dp", root / "machine-id", 1000).Protect(value, blob);
  ::umask(previous);
  ASSERT_EQ(error, 0);
  ASSERT_EQ(sealed, kObSuccess);
  for (const auto& [path, mode] : {std::pair{"a", 0755U},
                                   {"a/b", 0700U},
                                   {"x", 0755U},
                                   {"x/dp", 0700U},
                                   {"x/dp/1000.key", 0600U}}) {
    EXPECT_EQ(ModeOf(root / path), mode) << path;
  }

  std::ofstream(root / "x/dp/1001.key", std::ios::trunc) << "too short";
  const OBPlatform::CDataProtection other(root / "x/dp", root / "machine-id", 1001);
  EXPECT_EQ(other.Protect(value, blob), kObFailure);
  std::ifstream in(root / "x/dp/1001.key");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "too short");
}

}  // namespace
