#include "runtime/device_info.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <filesystem>
#include <fstream>
#include <string>

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

TEST_F(DeviceInfoTest, UdidIsHashOfMachineId) {
  Write("machine-id", "0123456789abcdef0123456789abcdef\n");
  const CDeviceInfo info(sources_);
  std::wstring udid;
  ASSERT_EQ(info.GetUDID(udid), kObSuccess);
  EXPECT_EQ(udid, kFixtureUdid);

  std::array<wchar_t, 41> buffer;
  buffer.fill(L'?');
  std::uint32_t length = buffer.size();
  ASSERT_EQ(info.GetUDID(buffer.data(), &length), kObSuccess);
  EXPECT_EQ(length, 40U);
  EXPECT_EQ(std::wstring(buffer.data()), kFixtureUdid);

  length = 40;  // no room for the terminator
  EXPECT_EQ(info.GetUDID(buffer.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(length, 41U);
  length = 0;
  EXPECT_EQ(info.GetUDID(nullptr, &length), kObBufferTooSmall);
  EXPECT_EQ(length, 41U);
  {
    orv::test::LogCapture capture;
    EXPECT_EQ(info.GetUDID(buffer.data(), nullptr), kObBadArgument);
    EXPECT_TRUE(capture.Has(LOG_ERROR, "CDeviceInfo::GetUDID", "null length"));
  }

  // Surrounding white space is not part of the id; a successful answer is kept.
  Write("machine-id", "  0123456789abcdef0123456789abcdef \r\n");
  const CDeviceInfo padded(sources_);
  ASSERT_EQ(padded.GetUDID(udid), kObSuccess);
  EXPECT_EQ(udid, kFixtureUdid);
  std::filesystem::remove(Path("machine-id"));
  ASSERT_EQ(padded.GetUDID(udid), kObSuccess);
  EXPECT_EQ(udid, kFixtureUdid);
}

TEST_F(DeviceInfoTest, UdidFailsWithoutUsableMachineId) {
  orv::test::LogCapture capture;
  std::wstring udid = L"unchanged";
  EXPECT_EQ(CDeviceInfo(sources_).GetUDID(udid), kObNotFound);
  for (const char* contents : {"", " \n", "uninitialized\n"}) {
    Write("machine-id", contents);
    EXPECT_EQ(CDeviceInfo(sources_).GetUDID(udid), kObNotFound) << contents;
    std::uint32_t length = 41;
    std::array<wchar_t, 41> buffer{};
    EXPECT_EQ(CDeviceInfo(sources_).GetUDID(buffer.data(), &length), kObNotFound);
  }
  EXPECT_EQ(udid, L"unchanged");
  EXPECT_TRUE(capture.Contains("no machine id in " + Path("machine-id")));
}

TEST_F(DeviceInfoTest, OsVersionFromOsReleaseAndKernel) {
  utsname names{};
  ASSERT_EQ(::uname(&names), 0);
  const std::wstring kernel = Utf8ToWide(names.release);

  Write("usr-os-release", "NAME=Fallback\nVERSION_ID=1\n");
  MYOSVERSION version = CDeviceInfo(sources_).GetOsVersion();
  EXPECT_EQ(version.name, L"Fallback");
  EXPECT_EQ(version.version, L"1");
  EXPECT_EQ(version.kernel_release, kernel);

  Write("etc-os-release",
        "# comment NAME=Wrong\n"
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
        "NAME=\"Debian \\\"GNU\\\"/Linux \xc3\xa9\"\n"
        "  VERSION_ID='12'  \n"
        "VERSION=\"12 (bookworm)\"\n"
        "ID=debian\n");
  version = CDeviceInfo(sources_).GetOsVersion();
  EXPECT_EQ(version.name, L"Debian \"GNU\"/Linux \u00e9");
  EXPECT_EQ(version.version, L"12");
  EXPECT_EQ(version.kernel_release, kernel);

  Write("etc-os-release", "NAME=Unquoted Name\nNAME=Later\nVERSION_ID=\n");
  version = CDeviceInfo(sources_).GetOsVersion();
  EXPECT_EQ(version.name, L"Later");
  EXPECT_EQ(version.version, L"");

  Write("etc-os-release", "garbage without equals\n\"NAME\"=x\n=\n");
  version = CDeviceInfo(sources_).GetOsVersion();
  EXPECT_EQ(version.name, L"");
  EXPECT_EQ(version.version, L"");

  std::filesystem::remove(Path("etc-os-release"));
  std::filesystem::remove(Path("usr-os-release"));
  version = CDeviceInfo(sources_).GetOsVersion();
  EXPECT_EQ(version.name, L"");
  EXPECT_EQ(version.version, L"");
  EXPECT_EQ(version.kernel_release, kernel);
}

TEST_F(DeviceInfoTest, ManufacturerFromFirmwareVendor) {
  const CDeviceInfo info(sources_);
  std::wstring vendor = L"unchanged";
  EXPECT_EQ(info.GetManufacturerName(vendor), kObNotFound);
  Write("sys_vendor", " \n");
  EXPECT_EQ(info.GetManufacturerName(vendor), kObNotFound);
  EXPECT_EQ(vendor, L"unchanged");
  Write("sys_vendor", "  QEMU Solutions \n");
  ASSERT_EQ(info.GetManufacturerName(vendor), kObSuccess);
  EXPECT_EQ(vendor, L"QEMU Solutions");
  std::array<wchar_t, 8> small{};
  std::uint32_t length = small.size();
  EXPECT_EQ(info.GetManufacturerName(small.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(length, 15U);
}

TEST_F(DeviceInfoTest, HostNameAndSystemTypeComeFromKernel) {
  std::array<char, HOST_NAME_MAX + 1> host{};
  ASSERT_EQ(::gethostname(host.data(), host.size() - 1), 0);
  utsname names{};
  ASSERT_EQ(::uname(&names), 0);
  const CDeviceInfo info(sources_);

  std::wstring text;
  ASSERT_EQ(info.GetHostName(text), kObSuccess);
  EXPECT_EQ(text, Utf8ToWide(host.data()));
  std::array<wchar_t, 256> buffer{};
  std::uint32_t length = buffer.size();
  ASSERT_EQ(info.GetHostName(buffer.data(), &length), kObSuccess);
  EXPECT_EQ(std::wstring(buffer.data(), length), text);

  ASSERT_EQ(info.GetSystemType(text), kObSuccess);
  EXPECT_EQ(text, Utf8ToWide(names.machine));
  length = 1;
  EXPECT_EQ(info.GetSystemType(buffer.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(length, text.size() + 1);
  ASSERT_EQ(info.GetSystemType(buffer.data(), &length), kObSuccess);
  EXPECT_EQ(std::wstring(buffer.data()), text);
}

}  // namespace
}  // namespace OBRuntime
