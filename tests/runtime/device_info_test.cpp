#include "runtime/device_info.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "runtime/text.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace OBRuntime {
namespace {

// First 20 bytes of SHA-256("0123456789abcdef0123456789abcdef").
constexpr wchar_t kFixtureUdid[] = L"3eb1bd439947eb762998e566ccc2e099c791118b";

class DeviceInfoTest : public ::testing::Test {
 protected:
  DeviceInfoTest() {
    sources_.machine_id_path = Path("machine-id");
    sources_.os_release_paths = {Path("etc-os-release"), Path("usr-os-release")};
    sources_.sys_vendor_path = Path("sys_vendor");
  }

  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  void Write(const std::string& name, const std::string& contents) const {
    std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << contents;
  }

  orv::test::TempDir dir_;
  DeviceInfoSources sources_;
};

TEST_F(DeviceInfoTest, UdidIsHashOfMachineIdCopiedUnderTheLengthContract) {
  orv::test::LogCapture capture;
  std::wstring udid = L"unchanged";
  std::array<wchar_t, 41> buffer;
  std::uint32_t length = buffer.size();
  EXPECT_EQ(CDeviceInfo(sources_).GetUDID(udid), kObNotFound);
  for (const char* contents : {" \n", "uninitialized\n"}) {
    Write("machine-id", contents);
    EXPECT_EQ(CDeviceInfo(sources_).GetUDID(udid), kObNotFound) << contents;
    EXPECT_EQ(CDeviceInfo(sources_).GetUDID(buffer.data(), &length), kObNotFound);
  }
  EXPECT_EQ(udid, L"unchanged");
  EXPECT_TRUE(capture.Contains("no machine id in " + Path("machine-id")));

  // Surrounding white space is not part of the id; a successful answer is kept.
  Write("machine-id", "  0123456789abcdef0123456789abcdef \r\n");
  const CDeviceInfo info(sources_);
  ASSERT_EQ(info.GetUDID(udid), kObSuccess);
  EXPECT_EQ(udid, kFixtureUdid);
  std::filesystem::remove(Path("machine-id"));
  buffer.fill(L'?');
  ASSERT_EQ(info.GetUDID(buffer.data(), &length), kObSuccess);
  EXPECT_EQ(length, 40U);
  EXPECT_EQ(std::wstring(buffer.data()), kFixtureUdid);

  length = 40;  // no room for the terminator
  EXPECT_EQ(info.GetUDID(buffer.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(length, 41U);
  length = 0;
  EXPECT_EQ(info.GetUDID(nullptr, &length), kObBufferTooSmall);
  EXPECT_EQ(length, 41U);
  EXPECT_EQ(info.GetUDID(buffer.data(), nullptr), kObBadArgument);
  EXPECT_TRUE(capture.Has(LOG_ERROR, "CDeviceInfo::GetUDID", "null length"));
}

TEST_F(DeviceInfoTest, OsVersionFromTheFirstOsReleaseFileAndTheKernel) {
  utsname names{};
  ASSERT_EQ(::uname(&names), 0);
  Write("usr-os-release", "NAME=Fallback\nVERSION_ID=1\n");
  const std::tuple<std::string, std::wstring, std::wstring> cases[] = {
      {"", L"Fallback", L"1"},  // no first file
      {"# comment NAME=Wrong\nPRETTY_NAME=\"Debian GNU/Linux 12\"\n"
       "NAME=\"Debian \\\"GNU\\\"/Linux \xc3\xa9\"\n  VERSION_ID='12'  "
       "\nVERSION=\"12\"\n",
       L"Debian \"GNU\"/Linux \u00e9", L"12"},
      {"NAME=Unquoted Name\nNAME=Later\nVERSION_ID=\n", L"Later", L""},
      {"garbage without equals\n\"NAME\"=x\n=\n", L"", L""},
  };
  for (const auto& [etc, name, version] : cases) {
    if (!etc.empty()) {
      Write("etc-os-release", etc);
    }
    const MYOSVERSION found = CDeviceInfo(sources_).GetOsVersion();
    EXPECT_EQ(found.name, name) << etc;
    EXPECT_EQ(found.version, version) << etc;
    EXPECT_EQ(found.kernel_release, Utf8ToWide(names.release));
  }
  std::filesystem::remove(Path("etc-os-release"));
  std::filesystem::remove(Path("usr-os-release"));
  EXPECT_EQ(CDeviceInfo(sources_).GetOsVersion().name, L"");
}

TEST_F(DeviceInfoTest, ManufacturerHostNameAndSystemType) {
  const CDeviceInfo info(sources_);
  std::wstring text = L"unchanged";
  std::array<wchar_t, 256> buffer{};
  std::uint32_t length = 8;
  EXPECT_EQ(info.GetManufacturerName(text), kObNotFound);
  Write("sys_vendor", " \n");
  EXPECT_EQ(info.GetManufacturerName(buffer.data(), &length), kObNotFound);
  EXPECT_EQ(text, L"unchanged");
  Write("sys_vendor", "  QEMU Solutions \n");
  ASSERT_EQ(info.GetManufacturerName(text), kObSuccess);
  EXPECT_EQ(text, L"QEMU Solutions");
  EXPECT_EQ(info.GetManufacturerName(buffer.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(length, 15U);

  std::array<char, HOST_NAME_MAX + 1> host{};
  ASSERT_EQ(::gethostname(host.data(), host.size() - 1), 0);
  length = buffer.size();
  ASSERT_EQ(info.GetHostName(buffer.data(), &length), kObSuccess);
  EXPECT_EQ(std::wstring(buffer.data(), length), Utf8ToWide(host.data()));
  utsname names{};
  ASSERT_EQ(::uname(&names), 0);
  length = buffer.size();
  ASSERT_EQ(info.GetSystemType(buffer.data(), &length), kObSuccess);
  EXPECT_EQ(std::wstring(buffer.data()), Utf8ToWide(names.machine));
}

}  // namespace
}  // namespace OBRuntime
