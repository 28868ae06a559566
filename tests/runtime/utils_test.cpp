// Path, text and pattern utilities, and the device's identity.
#include "runtime/utils.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/device_info.h"
#include "runtime/text.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace OBRuntime {
namespace {

// Sets the variable, or unsets it for null.
void SetEnv(const char* name, const char* value) {
  value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
}

TEST(UtilsTest, BaseDirectoriesFollowEnvironmentWithDefaults) {
  SetEnv("ALLUSERSPROFILE", nullptr);
  for (const auto& [value, path] : {std::pair<const char*, std::wstring>{nullptr, L"/var/lib"},
                                    {"", L"/var/lib"},
                                    {"/srv/d\xc3\xa4t\xc3\xa4//", L"/srv/d\u00e4t\u00e4"},
                                    {"///", L"/"}}) {
    SetEnv("PROGRAMDATA", value);
    std::wstring all_users_path;
    EXPECT_TRUE(Utils::GetAllUsersAppDataPath(all_users_path));
    EXPECT_EQ(Utils::GetProgramDataPath() + L"|" + all_users_path, path + L"|" + path);
  }
  SetEnv("PROGRAMDATA", "/pd/");
  SetEnv("ALLUSERSPROFILE", "/users/all/");
  std::wstring all_users_path;
  EXPECT_TRUE(Utils::GetAllUsersAppDataPath(all_users_path));
  EXPECT_EQ(all_users_path + Utils::GetORVDataDirectory(),
            L"/users/all/pd/Varno/Varno Ombrix Suite/ORV");
  SetEnv("PROGRAMDATA", nullptr);
  SetEnv("ALLUSERSPROFILE", nullptr);

  for (const auto& [a, b, c, joined] : {std::array<std::wstring, 4>{L"/a", L"b", L"c", L"/a/b/c"},
                                        {L"/a/", L"/b/", L"/c", L"/a/b/c"},
                                        {L"/a", L"/", L"file", L"/a/file"},
                                        {L"", L"", L"file", L"file"},
                                        {L"", L"/", L"x", L"/x"},
                                        {L"a", L"b/", L"", L"a/b/"}}) {
    EXPECT_EQ(Utils::ConcatenatePath(a, b, c), joined) << WideToUtf8(joined);
  }
}

TEST(UtilsTest, FileSizesAndMultiByteLengths) {
  const orv::test::TempDir dir;
  const auto file = dir.path() / "d\u00e4ta.bin";
  std::ofstream(file, std::ios::binary) << std::string(1234, 'x');
  const std::wstring path = Utf8ToWide(file.string());
  std::uint64_t size = 0;
  EXPECT_EQ(Utils::GetFileSize(path, size), kObSuccess);
  EXPECT_EQ(size, 1234U);
  EXPECT_EQ(Utils::GetFileSize(path), 1234U);
  EXPECT_EQ(Utils::GetFileSize(path + L".missing"), Utils::kInvalidFileSize);
  EXPECT_EQ(Utils::GetFileSize(path + L"/below-a-file", size), kObNotFound);

  // One code point of each UTF-8 length, each side of every boundary, and invalid ones.
  for (const std::wstring& text :
       {std::wstring{0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF},
        std::wstring{static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000)}}) {
    std::string out = "stale";
    ASSERT_EQ(Utils::WideCharToMBCS(text, out), kObSuccess);
    EXPECT_EQ(out, WideToUtf8(text));
    std::size_t length = 99;
    ASSERT_EQ(Utils::WideCharToMBLength(text, length), kObSuccess);
    EXPECT_EQ(length, out.size()) << out;
  }
}

TEST(UtilsTest, HexEncodingRoundTripsAndRejectsMalformedText) {
  std::vector<std::uint8_t> all_bytes(256);
  std::iota(all_bytes.begin(), all_bytes.end(), 0);
  const std::string hex = Utils::EncodeToHex(all_bytes);
  EXPECT_EQ(hex.substr(0, 8) + hex.substr(504), "00010203fcfdfeff");
  EXPECT_EQ(Utils::EncodeHexToByte(Utf8ToWide(hex)),
            std::wstring(all_bytes.begin(), all_bytes.end()));
  EXPECT_EQ(Utils::EncodeHexToByte(L"BA78aB"), std::wstring({0xBA, 0x78, 0xAB}));
  orv::test::LogCapture capture;
  for (const std::wstring bad : {L"abc", L"0g", L"g0", L"ab*", L"\u00e9\u00e9"}) {
    std::wstring decoded = L"stale";
    EXPECT_EQ(Utils::EncodeHexToByte(bad, decoded), kObBadArgument) << WideToUtf8(bad);
    EXPECT_EQ(decoded + Utils::EncodeHexToByte(bad), L"");
  }
  EXPECT_TRUE(capture.Contains("odd length 3"));
  EXPECT_TRUE(capture.Contains("non-hex character at offset 1"));
}

TEST(UtilsTest, MatchPatternWildcardsAndCaseFolding) {
  const std::tuple<std::wstring, std::wstring, bool> cases[] = {
      {L"", L"**", true},
      {L"a", L"", false},
      {L"CHROME.EXE", L"chrom?.*", true},
      {L"chrome.exe", L"c*x*e*", true},
      {L"abc", L"*b", false},
      {L"a*b", L"a*b", true},  // '*' in the text is an ordinary character
      {L"mississippi", L"m*iss*ppi", true},
      {L"\u00c9T\u00c9\u00b5", L"\u00e9t\u00e9\u03bc", true},       // Latin-1, micro sign
      {L"\u0152\u0141\u0178\u017f", L"\u0153\u0142\u00ffS", true},  // Latin Extended-A
      {L"\u039a\u0391\u03c2", L"\u03ba\u03b1\u03c3", true},         // Greek, final sigma
      {L"\u041f\u0401", L"\u043f\u0451", true},                     // Cyrillic
      {L"\u00d7", L"\u00f7", false},                                // multiplication/division signs
      {L"\u0130", L"i", false},  // dotted capital I has no simple fold
      {L"a\U0001F600b", L"a?b", true},
  };
  for (const auto& [text, pattern, match] : cases) {
    EXPECT_EQ(Utils::MatchPattern(text, pattern), match)
        << WideToUtf8(text) << " ~ " << WideToUtf8(pattern);
  }
  // Exponential with naive backtracking: 30 stars against 20000 'a' with no 'b' anywhere.
  std::wstring pattern;
  for (int i = 0; i < 30; ++i) {
    pattern += L"a*";
  }
  EXPECT_FALSE(Utils::MatchPattern(std::wstring(20000, L'a'), pattern + L"b"));
}

TEST(UtilsTest, IsCIDRMatchTable) {
  const std::tuple<std::string, std::string, std::uint32_t, bool> cases[] = {
      {"192.168.1.77", "192.168.1.0", 24, true},
      {"192.168.2.77", "192.168.1.0", 24, false},
      {"192.168.1.77", "192.168.1.64", 26, true},
      {"192.168.1.63", "192.168.1.64", 26, false},
      {"10.1.2.3", "10.1.2.3", 33, false},
      {"1.2.3.4", "200.0.0.0", 0, true},
      {"2001:db8:0:0:8000::", "2001:db8::", 65, false},
      {"2001:db8:0:0:7fff::", "2001:db8::", 65, true},
      {"garbage", "10.0.0.0", 0, false},
      {"10.0.0.1", "::", 0, false},               // mixed families
      {"::ffff:10.0.0.1", "10.0.0.0", 8, false},  // mapped IPv6 is still IPv6
      {"10.0.0.1", "10.0.0.0/8", 8, false},       // garbage network
  };
  for (const auto& [address, network, prefix, match] : cases) {
    EXPECT_EQ(Utils::IsCIDRMatch(address, network, prefix), match)
        << address << " in " << network << "/" << prefix;
  }
}

TEST(UtilsTest, FileNamesAreCopiedWithinCapacity) {
  for (const auto& [path, capacity, status, name] :
       {std::tuple<std::wstring, std::size_t, OB_STATUSCODE, std::wstring>{L"/usr/bin/python3", 8,
                                                                           kObSuccess, L"python3"},
        {L"/usr/bin/python3", 7, kObBufferTooSmall, L""},  // no room for the terminator
        {L"/usr/lib/", 16, kObSuccess, L""},
        {L"/a", 0, kObBufferTooSmall, L"?"}}) {  // nothing may be written
    std::array<wchar_t, 17> out;  // one more than the largest capacity, to see overruns
    out.fill(L'?');
    EXPECT_EQ(Utils::GetFileNameFromPath(path, out.data(), capacity), status) << WideToUtf8(path);
    EXPECT_EQ(std::wstring(out.data(), name.size() + (capacity > 0)),
              name + std::wstring(capacity > 0, L'\0'));
    EXPECT_EQ(out[capacity], L'?');  // never beyond capacity
  }
  EXPECT_EQ(Utils::GetFileNameFromPath(L"/x", nullptr, 4), kObBadArgument);
  std::vector<std::wstring> names = {L"stale"};
  ASSERT_EQ(Utils::GetFileNamesFromPaths({L"/lib/a.so", L"b.so", L"/dir/"}, names), kObSuccess);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"a.so", L"b.so", L""}));
}

// First 20 bytes of SHA-256("0123456789abcdef0123456789abcdef").
constexpr wchar_t kFixtureUdid[] = L"3eb1bd439947eb762998e566ccc2e099c791118b";

class DeviceInfoTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  void Write(const std::string& name, const std::string& contents) const {
    std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << contents;
  }

  orv::test::TempDir dir_;
  DeviceInfoSources sources_{.machine_id_path = Path("machine-id"),
                             .os_release_paths = {Path("etc-os-release"), Path("usr-os-release")},
                             .sys_vendor_path = Path("sys_vendor")};
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
