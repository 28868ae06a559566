#include "runtime/utils.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "runtime/text.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace OBRuntime {
namespace {

// Sets (or, with nullopt, unsets) an environment variable and restores it on destruction.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
    }
    Apply(value);
  }
  ~ScopedEnv() { Apply(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

  const char* name_;
  std::optional<std::string> old_;
};

TEST(UtilsTest, BaseDirectoriesFollowEnvironmentWithDefaults) {
  struct Case {
    std::optional<std::string> value;
    std::wstring program_data;
    std::wstring temp;
  };
  const std::vector<Case> cases = {
      {std::nullopt, L"/var/lib", L"/tmp"},
      {"", L"/var/lib", L"/tmp"},
      {"/srv/data", L"/srv/data", L"/srv/data"},
      {"/srv/data//", L"/srv/data", L"/srv/data"},
      {"/", L"/", L"/"},
      {"///", L"/", L"/"},
      {"/srv/d\xc3\xa4t\xc3\xa4", L"/srv/d\u00e4t\u00e4", L"/srv/d\u00e4t\u00e4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.value_or("(unset)"));
    const ScopedEnv program_data("PROGRAMDATA", c.value);
    const ScopedEnv temp("TMPDIR", c.value);
    const ScopedEnv all_users("ALLUSERSPROFILE", std::nullopt);
    EXPECT_EQ(Utils::GetProgramDataPath(), c.program_data);
    EXPECT_EQ(Utils::GetTempPath(), c.temp);
    std::wstring all_users_path;
    EXPECT_TRUE(Utils::GetAllUsersAppDataPath(all_users_path));
    EXPECT_EQ(all_users_path, c.program_data);
  }
  const ScopedEnv program_data("PROGRAMDATA", "/pd/");
  const ScopedEnv all_users("ALLUSERSPROFILE", "/users/all/");
  std::wstring all_users_path;
  EXPECT_TRUE(Utils::GetAllUsersAppDataPath(all_users_path));
  EXPECT_EQ(all_users_path, L"/users/all");
  EXPECT_EQ(Utils::GetORVDataDirectory(), L"/pd/Varno/Varno Ombrix Suite/ORV");
  EXPECT_EQ(Utils::GetWindowsDirectoryPath(), L"/etc");
}

TEST(UtilsTest, ConcatenatePathPutsOneSeparatorAtEachJoin) {
  struct Case {
    std::wstring a, b, c, joined;
  };
  const std::vector<Case> cases = {
      {L"/a", L"b", L"c.txt", L"/a/b/c.txt"},
      {L"/a/", L"/b/", L"/c", L"/a/b/c"},
      {L"/a", L"/", L"file", L"/a/file"},  // the separator passed as the middle part
      {L"/a", L"", L"file", L"/a/file"},
      {L"", L"", L"file", L"file"},
      {L"/", L"etc", L"x", L"/etc/x"},
      {L"", L"/", L"x", L"/x"},
      {L"a", L"b/", L"", L"a/b/"},
      {L"", L"", L"", L""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utils::ConcatenatePath(c.a, c.b, c.c), c.joined)
        << WideToUtf8(c.a) << " | " << WideToUtf8(c.b) << " | " << WideToUtf8(c.c);
  }
}

TEST(UtilsTest, GetFileSizeReportsBytesOrFailure) {
  const orv::test::TempDir dir;
  const auto file = dir.path() / "d\u00e4ta.bin";
  std::ofstream(file, std::ios::binary) << std::string(1234, 'x');
  const std::wstring path = Utf8ToWide(file.string());
  EXPECT_EQ(Utils::GetFileSize(path), 1234U);
  std::uint64_t size = 0;
  EXPECT_EQ(Utils::GetFileSize(path, size), kObSuccess);
  EXPECT_EQ(size, 1234U);

  const std::wstring missing = Utf8ToWide((dir.path() / "missing").string());
  EXPECT_EQ(Utils::GetFileSize(missing), Utils::kInvalidFileSize);
  EXPECT_EQ(Utils::GetFileSize(missing, size), kObNotFound);
  EXPECT_EQ(Utils::GetFileSize(path + L"/below-a-file", size), kObNotFound);
}

TEST(UtilsTest, MultiByteConversionIsUtf8AndLengthAgrees) {
  const std::vector<std::wstring> texts = {
      L"",
      L"plain",
      L"a\u00e9\u4e2d\U0001F600",
      std::wstring(1, static_cast<wchar_t>(0xD800)),    // lone surrogate
      std::wstring(1, static_cast<wchar_t>(0x110000)),  // beyond Unicode
      std::wstring(1, static_cast<wchar_t>(0x7F)) + std::wstring(1, static_cast<wchar_t>(0x80)) +
          std::wstring(1, static_cast<wchar_t>(0x7FF)) +
          std::wstring(1, static_cast<wchar_t>(0x800)) +
          std::wstring(1, static_cast<wchar_t>(0xFFFF)) +
          std::wstring(1, static_cast<wchar_t>(0x10000)) +
          std::wstring(1, static_cast<wchar_t>(0x10FFFF)),
  };
  for (const std::wstring& text : texts) {
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
  for (std::size_t i = 0; i < all_bytes.size(); ++i) {
    all_bytes[i] = static_cast<std::uint8_t>(i);
  }
  const std::string hex = Utils::EncodeToHex(all_bytes);
  ASSERT_EQ(hex.size(), 512U);
  EXPECT_EQ(hex.substr(0, 8), "00010203");
  EXPECT_EQ(hex.substr(504), "fcfdfeff");
  const std::wstring bytes = Utils::EncodeHexToByte(Utf8ToWide(hex));
  ASSERT_EQ(bytes.size(), 256U);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(bytes[i]), i);
  }
  EXPECT_EQ(Utils::EncodeHexToByte(L"BA78aB"), std::wstring({0xBA, 0x78, 0xAB}));
  EXPECT_EQ(Utils::EncodeToHex({}), "");
  std::wstring decoded = L"stale";
  EXPECT_EQ(Utils::EncodeHexToByte(L"", decoded), kObSuccess);
  EXPECT_EQ(decoded, L"");

  orv::test::LogCapture capture;
  for (const std::wstring bad : {L"abc", L"zz", L"0g", L"ab cd", L"ab*", L"\u00e9\u00e9", L"-1"}) {
    decoded = L"stale";
    EXPECT_EQ(Utils::EncodeHexToByte(bad, decoded), kObBadArgument) << WideToUtf8(bad);
    EXPECT_EQ(decoded, L"");
    EXPECT_EQ(Utils::EncodeHexToByte(bad), L"");
  }
  EXPECT_TRUE(capture.Contains("odd length 3"));
  EXPECT_TRUE(capture.Contains("non-hex character at offset 1"));
}

TEST(UtilsTest, MatchPatternTable) {
  struct Case {
    std::wstring text;
    std::wstring pattern;
    bool match;
  };
  const std::vector<Case> cases = {
      {L"", L"", true},
      {L"", L"*", true},
      {L"", L"**", true},
      {L"", L"?", false},
      {L"a", L"", false},
      {L"chrome.exe", L"chrome.exe", true},
      {L"CHROME.EXE", L"chrome.exe", true},
      {L"chrome.exe", L"Chrome.*", true},
      {L"chrome.exe", L"chrom?.exe", true},
      {L"chrome.exe", L"chrom??.exe", false},
      {L"chrome.exe", L"*.exe", true},
      {L"chrome.exe", L"*.dll", false},
      {L"chrome.exe", L"c*e*e", true},
      {L"chrome.exe", L"c*x*e*", true},
      {L"chrome.exe", L"*o*o*", false},
      {L"abc", L"a*", true},
      {L"abc", L"*c", true},
      {L"abc", L"*b", false},
      {L"abc", L"?*?*?", true},
      {L"ab", L"?*?*?", false},
      {L"a*b", L"a*b", true},  // '*' in the text is an ordinary character
      {L"mississippi", L"m*iss*ppi", true},
      {L"mississippi", L"m*iss*iss*iss*", false},
      {L"10.0.0.1", L"10.*.1", true},
      {L"\u00c9T\u00c9", L"\u00e9t\u00e9", true},              // Latin-1
      {L"\u0152UVRE", L"\u0153uvre", true},                    // Latin Extended-A, even upper
      {L"\u0141\u00d3D\u0179", L"\u0142\u00f3d\u017a", true},  // Latin Extended-A, odd upper
      {L"\u0178", L"\u00ff", true},
      {L"\u039a\u0391\u039b\u0397", L"\u03ba\u03b1\u03bb\u03b7", true},  // Greek
      {L"\u041f\u0420\u0418\u0412\u0415\u0422", L"\u043f\u0440\u0438\u0432\u0435\u0442", true},
      {L"\u0401", L"\u0451", true},   // Cyrillic IO
      {L"\u00d7", L"\u00f7", false},  // multiplication/division signs
      {L"\u0130", L"i", false},       // dotted capital I has no simple fold
      {L"a\U0001F600b", L"a?b", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utils::MatchPattern(c.text, c.pattern), c.match)
        << WideToUtf8(c.text) << " ~ " << WideToUtf8(c.pattern);
  }
}

TEST(UtilsTest, MatchPatternFinishesOnPathologicalInput) {
  // Exponential with naive backtracking: 30 stars against 20000 'a' with no 'b' anywhere.
  std::wstring pattern;
  for (int i = 0; i < 30; ++i) {
    pattern += L"a*";
  }
  pattern += L"b";
  EXPECT_FALSE(Utils::MatchPattern(std::wstring(20000, L'a'), pattern));
  EXPECT_TRUE(Utils::MatchPattern(std::wstring(20000, L'a') + L"b", pattern));
}

TEST(UtilsTest, IsCIDRMatchTable) {
  struct Case {
    std::string address;
    std::string network;
    std::uint32_t prefix;
    bool match;
  };
  const std::vector<Case> cases = {
      {"192.168.1.77", "192.168.1.0", 24, true},
      {"192.168.2.77", "192.168.1.0", 24, false},
      {"192.168.1.77", "192.168.1.64", 26, true},
      {"192.168.1.63", "192.168.1.64", 26, false},
      {"10.1.2.3", "10.1.2.3", 32, true},
      {"10.1.2.4", "10.1.2.3", 32, false},
      {"10.1.2.3", "10.1.2.3", 33, false},
      {"1.2.3.4", "200.0.0.0", 0, true},
      {"1.2.3.4", "200.0.0.0", 1, false},
      {"129.0.0.1", "200.0.0.0", 1, true},
      {"2001:db8::1", "2001:db8::", 32, true},
      {"2001:db9::1", "2001:db8::", 32, false},
      {"2001:db8:0:0:8000::", "2001:db8::", 65, false},
      {"2001:db8:0:0:7fff::", "2001:db8::", 65, true},
      {"::1", "::1", 128, true},
      {"::2", "::1", 128, false},
      {"::1", "::1", 129, false},
      {"fe80::1", "::", 0, true},
      {"10.0.0.1", "::", 0, false},               // mixed families
      {"::ffff:10.0.0.1", "10.0.0.0", 8, false},  // mapped IPv6 is still IPv6
      {"10.0.0.1", "::ffff:10.0.0.0", 104, false},
      {"10.0.0.1", "10.0.0.0/8", 8, false},  // garbage network
      {"garbage", "10.0.0.0", 0, false},
      {"", "", 0, false},
      {"10.0.0.256", "10.0.0.0", 8, false},
      {" 10.0.0.1", "10.0.0.0", 8, false},
      {"fe80::1%eth0", "fe80::", 10, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utils::IsCIDRMatch(c.address, c.network, c.prefix), c.match)
        << c.address << " in " << c.network << "/" << c.prefix;
  }
}

TEST(UtilsTest, WindowsOnlyFacilitiesAreNotAvailable) {
  std::array<std::uint8_t, 16> buffer{};
  std::uint32_t size = buffer.size();
  std::uint32_t type = 0;
  EXPECT_EQ(Utils::GetRegistryValue(0, L"SOFTWARE", L"x", buffer.data(), &size, &type, 0),
            kObNotFound);
  EXPECT_EQ(size, buffer.size());
  EXPECT_FALSE(Utils::IsOs_Wow64());
  EXPECT_FALSE(Utils::IsProcessFromSysWOW64Dir(L"/etc/syswow64/svchost.exe"));
}

TEST(UtilsTest, GetFileNameFromPathCopiesBoundedName) {
  struct Case {
    std::wstring path;
    std::size_t capacity;
    OB_STATUSCODE status;
    std::wstring name;
  };
  const std::vector<Case> cases = {
      {L"/usr/bin/python3", 8, kObSuccess, L"python3"},
      {L"/usr/bin/python3", 7, kObBufferTooSmall, L""},  // no room for the terminator
      {L"python3", 16, kObSuccess, L"python3"},
      {L"/usr/lib/", 16, kObSuccess, L""},
      {L"", 1, kObSuccess, L""},
      {L"/a", 0, kObBufferTooSmall, L"?"},  // nothing may be written
  };
  for (const Case& c : cases) {
    std::array<wchar_t, 17> out;  // one more than the largest capacity, to see overruns
    out.fill(L'?');
    EXPECT_EQ(Utils::GetFileNameFromPath(c.path, out.data(), c.capacity), c.status)
        << WideToUtf8(c.path);
    EXPECT_EQ(std::wstring(out.data(), c.name.size()), c.name);
    if (c.capacity > 0) {
      EXPECT_EQ(out[c.name.size()], L'\0');
    }
    EXPECT_EQ(out[c.capacity], L'?');  // never beyond capacity
  }
  EXPECT_EQ(Utils::GetFileNameFromPath(L"/x", nullptr, 4), kObBadArgument);

  std::vector<std::wstring> names = {L"stale"};
  ASSERT_EQ(Utils::GetFileNamesFromPaths({L"/lib/a.so", L"b.so", L"/dir/"}, names), kObSuccess);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"a.so", L"b.so", L""}));
}

}  // namespace
}  // namespace OBRuntime
