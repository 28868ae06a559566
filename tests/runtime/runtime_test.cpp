// Text, paths and patterns, the logger, the device's identity, file hashing, LZS, and the
// context provider's socket service and the network monitor over live kernel sockets.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/status.h"
#include "runtime/byte_order.h"
#include "runtime/context_provider_service_base.h"
#include "runtime/device_info.h"
#include "runtime/log_limiter.h"
#include "runtime/logger.h"
#include "runtime/lzs.h"
#include "runtime/network_monitor.h"
#include "runtime/openssl_utility.h"
#include "runtime/safe_str.h"
#include "runtime/sha256_hash_manager.h"
#include "runtime/text.h"
#include "runtime/utils.h"
#include "support/child_process.h"
#include "support/context_provider_test_client.h"
#include "support/log_capture.h"
#include "support/namespace_rerun.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace OBRuntime {
namespace {

using namespace std::string_literals;
using orv::test::ContextTestClient;
using orv::test::WaitUntil;
using ::testing::Each;
using ::testing::ElementsAre;

TEST(TextTest, ConvertsBetweenWideUtf8AndUtf16ReplacingIllFormedInput) {
  const std::wstring wide = L"a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(WideToUtf8(wide), "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80z");
  EXPECT_EQ(WideToUtf16(wide), u"a\u00e9\u4e2d\U0001F600z");
  EXPECT_EQ(Utf8ToWide(WideToUtf8(wide)) + Utf16ToWide(WideToUtf16(wide)), wide + wide);
  EXPECT_EQ(Utf16Length(wide), 6U);
  // A prefix never splits a surrogate pair.
  EXPECT_THAT((std::vector{Utf16Prefix(wide, 9), Utf16Prefix(wide, 5), Utf16Prefix(wide, 4)}),
              ElementsAre(wide, L"a\u00e9\u4e2d\U0001F600", L"a\u00e9\u4e2d"));
  // A bad byte, a truncated sequence, an overlong "/", an encoded surrogate.
  EXPECT_THAT((std::vector{Utf8ToWide("a\xff!"), Utf8ToWide("\xe4\xb8"), Utf8ToWide("\xc0\xaf"),
                           Utf8ToWide("\xed\xa0\x80")}),
              ElementsAre(L"a\uFFFD!", L"\uFFFD\uFFFD", L"\uFFFD\uFFFD", L"\uFFFD\uFFFD\uFFFD"));
  // A lone high surrogate, then a lone low one; a code point beyond Unicode.
  EXPECT_EQ(Utf16ToWide(u"x\xD800y") + Utf16ToWide(u"\xDC00"), L"x\uFFFDy\uFFFD");
  EXPECT_EQ(WideToUtf8(L"\x110000"), "\xef\xbf\xbd");
  EXPECT_EQ(WideToUtf16(L"\x110000"), u"\uFFFD");
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

TEST(SafeStrTest, CopyLengthAndFormatStayWithinBoundsAndReportWhatWasCut) {
  std::array<char, 8> narrow;
  narrow.fill('#');
  // A result not below the capacity means the copy was cut.
  EXPECT_EQ(safe_strlcpyA(narrow.data(), "hello world", 6), 11U);
  EXPECT_EQ(std::string(narrow.data(), 7), "hello\0#"s);
  narrow.fill('#');
  EXPECT_EQ(safe_strlcpyA(narrow.data(), "abc", 0), 3U);  // nothing written
  EXPECT_EQ(narrow[0], '#');
  EXPECT_EQ(safe_strlcpyA(narrow.data(), nullptr, 4) + safe_strlcpyA(nullptr, "abc", 4), 3U);
  EXPECT_STREQ(narrow.data(), "");
  std::array<wchar_t, 8> wide;
  wide.fill(L'#');
  EXPECT_EQ(safe_strlcpyW(wide.data(), L"w\u00e9d", 5), 3U);
  EXPECT_EQ(std::wstring(wide.data()), L"w\u00e9d");
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_THAT((std::vector{safe_strnlenA(unterminated, 4), safe_strnlenA("ab", 10),
                           safe_strnlenA(nullptr, 10), safe_strnlenW(L"xyz", 2),
                           safe_strnlenW(nullptr, 10)}),
              ElementsAre(4, 2, 0, 2, 0));

  EXPECT_EQ(safe_snprintfA(narrow.data(), narrow.size(), "%d-%s", 42, "ab"), 5);
  EXPECT_STREQ(narrow.data(), "42-ab");
  // No room for the terminator.
  EXPECT_EQ(safe_snprintfA(narrow.data(), 7, "%s", "0123456"), kObBufferTooSmall);
  EXPECT_STREQ(narrow.data(), "012345");
  EXPECT_EQ(safe_snprintfA(narrow.data(), narrow.size(), "%ls", L"\x110000"), kObBadArgument);
  EXPECT_STREQ(narrow.data(), "");
  EXPECT_EQ(safe_snprintfW(wide.data(), wide.size(), L"%ls:%u", L"\u00e9t\u00e9", 7U), 5);
  EXPECT_EQ(std::wstring(wide.data()), L"\u00e9t\u00e9:7");
  wide.fill(L'#');
  EXPECT_EQ(safe_snprintfW(wide.data(), wide.size(), L"%ls", L"0123456789"), kObBufferTooSmall);
  EXPECT_EQ(std::wstring(wide.data(), 8), L"0123456"s + L'\0');
  wide.fill(L'#');
  EXPECT_EQ(safe_snprintfW(wide.data(), wide.size(), L"%s", "\xff\xfe"), kObBadArgument);
  EXPECT_EQ(wide[0], L'\0');
  EXPECT_THAT(
      (std::vector{
          safe_snprintfA(narrow.data(), 0, "%s", "x"), safe_snprintfA(nullptr, 8, "%s", "x"),
          safe_snprintfW(wide.data(), wide.size(), nullptr), safe_snprintfW(nullptr, 8, L"x")}),
      Each(kObBadArgument));
}

TEST(LoggerTest, HandsEscapedRecordsToTheSinkAndLimitsRepeatedLines) {
  const std::pair<const char*, const char*> names[] = {
      {"void OBRuntime::NetworkMonitor::CNetworkMonitor::Stop(int)", "CNetworkMonitor::Stop"},
      {"int main(int, char**)", "main"},
      {"OB_STATUSCODE CBoundedQueue<T>::Push(T&&) [with T = int]", "CBoundedQueue::Push"},
      {"std::map<int, std::string> ns::Foo::Get(std::pair<int, int>)", "Foo::Get"},
      {"InterfaceInfo::Serialize", "InterfaceInfo::Serialize"},
      {"bool Foo::operator()(int) const", "Foo::operator()"},
  };
  for (const auto& [pretty, qualified] : names) {
    EXPECT_EQ(ILogger::QualifiedName(pretty), qualified);
  }
  orv::test::LogCapture capture;
  OB_LOG_AS(LOG_WARNING, "CORVAgent::MainThreadProc", "ORVAgent: %s received.\n",
            "ORVShutdownEvent");
  OB_LOG_ERROR("value %d of %u", -5, 7U);
  const std::string long_text(2000, 'x');
  OB_LOG_DEBUG("%s", long_text.c_str());
  // Outside text cannot forge a line: control characters are escaped, tabs and the rest kept.
  OB_LOG_DEBUG("image %s", "/tmp/x\n2026-12-06T07:30:00.000Z ERROR Fake::Line f.cpp:1 \x1b[2J");
  EXPECT_TRUE(capture.Has(LOG_WARNING, "CORVAgent::MainThreadProc",
                          "ORVAgent: ORVShutdownEvent received."));
  EXPECT_TRUE(capture.Has(
      LOG_ERROR, "LoggerTest_HandsEscapedRecordsToTheSinkAndLimitsRepeatedLines_Test::TestBody",
      "value -5 of 7"));
  EXPECT_TRUE(capture.Contains(long_text));
  EXPECT_TRUE(capture.Contains(
      "image /tmp/x\\n2026-12-06T07:30:00.000Z ERROR Fake::Line f.cpp:1 \\x1b[2J"));
  EXPECT_EQ(EscapeControlCharacters("\\d\\u \xc3\xa9\t\r\x7f"s + '\0'),
            "\\d\\u \xc3\xa9\t\\r\\x7f\\x00");
  EXPECT_EQ(ILogger::ProgramName(), "oborvagent");

  // Lines that outside input can repeat pass a burst, then one a minute with the held-back count.
  CLogLimiter limiter;
  // The held-back count when a line at that second is admitted, -1 when it is not.
  std::vector<std::int64_t> admitted;
  for (const int second : {0, 0, 0, 0, 0, 0, 59, 60, 61, 121}) {
    std::uint64_t suppressed = 99;
    const auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    admitted.push_back(limiter.Admit(now + std::chrono::seconds(second), suppressed)
                           ? static_cast<std::int64_t>(suppressed)
                           : -1);
  }
  EXPECT_THAT(admitted, ElementsAre(0, 0, 0, 0, 0, -1, -1, 2, -1, 1));

  const std::size_t before = capture.Lines().size();
  for (int i = 0; i < 100; ++i) {
    OB_LOG_LIMITED(LOG_ERROR, "bad datagram %d", i);
  }
  EXPECT_EQ(capture.Lines().size() - before, CLogLimiter::kBurst);
}

TEST(UtilsTest, PathsFollowTheEnvironmentWithDefaultsAndJoinWithOneSlash) {
  ::unsetenv("ALLUSERSPROFILE");
  std::wstring all_users_path;
  for (const auto& [value, path] : {std::pair<const char*, std::wstring>{nullptr, L"/var/lib"},
                                    {"", L"/var/lib"},
                                    {"/srv/d\xc3\xa4t\xc3\xa4//", L"/srv/d\u00e4t\u00e4"},
                                    {"///", L"/"}}) {
    value != nullptr ? ::setenv("PROGRAMDATA", value, 1) : ::unsetenv("PROGRAMDATA");
    EXPECT_TRUE(Utils::GetAllUsersAppDataPath(all_users_path));
    EXPECT_EQ(Utils::GetProgramDataPath() + L"|" + all_users_path, path + L"|" + path);
  }
  ::setenv("PROGRAMDATA", "/pd/", 1);
  ::setenv("ALLUSERSPROFILE", "/users/all/", 1);
  EXPECT_TRUE(Utils::GetAllUsersAppDataPath(all_users_path));
  EXPECT_EQ(all_users_path + Utils::GetORVDataDirectory(),
            L"/users/all/pd/Varno/Varno Ombrix Suite/ORV");
  ::unsetenv("PROGRAMDATA");
  ::unsetenv("ALLUSERSPROFILE");

  for (const auto& [a, b, c, joined] :
       {std::array<std::wstring, 4>{L"/a/", L"/b/", L"/c", L"/a/b/c"},
        {L"/a", L"/", L"file", L"/a/file"},
        {L"", L"", L"file", L"file"},
        {L"", L"/", L"x", L"/x"},
        {L"a", L"b/", L"", L"a/b/"}}) {
    EXPECT_EQ(Utils::ConcatenatePath(a, b, c), joined) << WideToUtf8(joined);
  }
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

TEST(UtilsTest, HexEncodingRoundTripsAndRejectsMalformedText) {
  std::vector<std::uint8_t> all_bytes(256);
  std::iota(all_bytes.begin(), all_bytes.end(), 0);
  const std::string hex = Utils::EncodeToHex(all_bytes);
  EXPECT_EQ(hex.substr(0, 8) + hex.substr(504), "00010203fcfdfeff");
  EXPECT_EQ(Utils::EncodeHexToByte(Utf8ToWide(hex)),
            std::wstring(all_bytes.begin(), all_bytes.end()));
  EXPECT_EQ(Utils::EncodeHexToByte(L"BA78aB"), std::wstring({0xBA, 0x78, 0xAB}));
  for (const std::wstring bad : {L"abc", L"0g", L"g0", L"ab*", L"\u00e9\u00e9"}) {
    std::wstring decoded = L"stale";
    EXPECT_EQ(Utils::EncodeHexToByte(bad, decoded), kObBadArgument) << WideToUtf8(bad);
    EXPECT_EQ(decoded + Utils::EncodeHexToByte(bad), L"");
  }
}

TEST(UtilsTest, MatchesPatternsWithWildcardsAndCaseFoldingAndAddressesInRanges) {
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
    EXPECT_EQ(Utils::MatchPattern(text, pattern), match) << WideToUtf8(text + L" ~ " + pattern);
  }
  // Exponential with naive backtracking: 30 stars against 20000 'a' with no 'b' anywhere.
  std::wstring pattern = L"b";
  for (int i = 0; i < 30; ++i) pattern.insert(0, L"a*");
  EXPECT_FALSE(Utils::MatchPattern(std::wstring(20000, L'a'), pattern));

  const std::tuple<std::string, std::string, std::uint32_t, bool> ranges[] = {
      {"192.168.1.77", "192.168.1.0", 24, true},
      {"192.168.2.77", "192.168.1.0", 24, false},
      {"192.168.1.77", "192.168.1.64", 26, true},
      {"192.168.1.63", "192.168.1.64", 26, false},
      {"10.1.2.3", "10.1.2.3", 33, false},
      {"1.2.3.4", "200.0.0.0", 0, true},
      {"2001:db8:0:0:7fff::", "2001:db8::", 65, true},
      {"garbage", "10.0.0.0", 0, false},
      {"10.0.0.1", "::", 0, false},               // mixed families
      {"::ffff:10.0.0.1", "10.0.0.0", 8, false},  // mapped IPv6 is still IPv6
  };
  for (const auto& [address, network, prefix, match] : ranges) {
    EXPECT_EQ(Utils::IsCIDRMatch(address, network, prefix), match) << address << " " << network;
  }
}

using Bytes = std::vector<std::uint8_t>;

// Random bytes (which do not compress), or text with matches at every distance.
Bytes Sample(std::size_t size, bool random_only) {
  std::mt19937 random(static_cast<std::uint32_t>(size));
  Bytes bytes;
  while (bytes.size() < size) {
    const std::string word =
        random_only ? "" : "firefox 192.168.1." + std::to_string(random() % 300);
    bytes.insert(bytes.end(), word.begin(), word.end());
    bytes.push_back(static_cast<std::uint8_t>(random()));
  }
  bytes.resize(size);
  return bytes;
}

constexpr char kAbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
// First 20 bytes of SHA-256("0123456789abcdef0123456789abcdef").
constexpr wchar_t kFixtureUdid[] = L"3eb1bd439947eb762998e566ccc2e099c791118b";

std::string Digest(const std::string& bytes) {
  return CSha256HashManagerImpl::GetHashSHA256(bytes.data(), bytes.size());
}

// The digest the manager reports for path, as hex; "" on failure.
std::string HashOf(CSha256HashManagerImpl& manager, const std::wstring& path) {
  std::array<std::uint8_t, 32> digest{};
  return manager.GetHashSHA256(path, digest.data(), digest.size(), 1234) == kObSuccess
             ? Utils::EncodeToHex(digest)
             : "";
}

void SetModified(const std::wstring& path, long nanoseconds) {
  const timespec times[2] = {{1'700'000'000, nanoseconds}, {1'700'000'000, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, WideToUtf8(path).c_str(), times, 0), 0);
}

// Tests of what is read from files, made in a private directory.
class FilesTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }
  // Writes the file and returns its path in wide form.
  std::wstring Write(const std::string& name, const std::string& contents) const {
    std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << contents;
    return Utf8ToWide(Path(name));
  }

  orv::test::TempDir dir_;
  DeviceInfoSources sources_{.machine_id_path = Path("machine-id"),
                             .os_release_paths = {Path("etc-os-release"), Path("usr-os-release")},
                             .sys_vendor_path = Path("sys_vendor")};
};

TEST_F(FilesTest, DeviceIdentityUnderTheLengthContractOsVersionManufacturerAndHost) {
  std::wstring text = L"unchanged";
  std::array<wchar_t, 256> buffer;
  std::uint32_t length = 41;
  // No file, a blank one and the placeholder are no id; surrounding white space is not part of it.
  for (const char* next : {" \n", "uninitialized\n", "  0123456789abcdef0123456789abcdef \r\n"}) {
    EXPECT_EQ(CDeviceInfo(sources_).GetUDID(text), kObNotFound);
    EXPECT_EQ(CDeviceInfo(sources_).GetUDID(buffer.data(), &length), kObNotFound);
    Write("machine-id", next);
  }
  EXPECT_EQ(text, L"unchanged");
  const CDeviceInfo info(sources_);
  ASSERT_EQ(info.GetUDID(text), kObSuccess);
  EXPECT_EQ(text, kFixtureUdid);
  std::filesystem::remove(Path("machine-id"));  // a successful answer is kept
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
    EXPECT_EQ(std::tie(found.name, found.version, found.kernel_release),
              std::tuple(name, version, Utf8ToWide(names.release)))
        << etc;
  }
  std::filesystem::remove(Path("etc-os-release"));
  std::filesystem::remove(Path("usr-os-release"));
  EXPECT_EQ(CDeviceInfo(sources_).GetOsVersion().name, L"");

  text = L"unchanged";
  length = 8;
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
  length = buffer.size();
  ASSERT_EQ(info.GetSystemType(buffer.data(), &length), kObSuccess);
  EXPECT_EQ(std::wstring(buffer.data()), Utf8ToWide(names.machine));
}

TEST_F(FilesTest, HashesBuffersAndFilesAgainstKnownVectorsAndRefusesWhatIsNoFile) {
  // Cleaning up leaves the library usable for later hashing.
  ASSERT_EQ(COpensslUtility::InitOpenSSL(), kObSuccess);
  EXPECT_EQ(COpensslUtility::CleanUpOpenSSL(), kObSuccess);
  ASSERT_EQ(COpensslUtility::InitOpenSSL(), kObSuccess);
  EXPECT_EQ(Digest("abc"), kAbcDigest);
  EXPECT_EQ(CSha256HashManagerImpl::GetHashSHA256(nullptr, 0), kEmptyDigest);
  EXPECT_EQ(CSha256HashManagerImpl::GetHashSHA256(nullptr, 5), "");

  CSha256HashManagerImpl& manager = CSha256HashManagerImpl::AcquireInstance();
  EXPECT_EQ(&manager, &CSha256HashManagerImpl::AcquireInstance());
  const std::wstring abc = Write("abc.bin", "abc");
  EXPECT_EQ(HashOf(manager, abc), kAbcDigest);
  EXPECT_EQ(HashOf(manager, Write("empty.bin", "")), kEmptyDigest);
  // Several read blocks, the last one partial.
  const Bytes bytes = Sample(3 * 256 * 1024 + 7, true);
  const std::string large(bytes.begin(), bytes.end());
  const std::wstring large_path = Write("l\u00e4rge.bin", large);
  EXPECT_EQ(HashOf(manager, large_path), Digest(large));
  EXPECT_EQ(Utils::GetFileSize(large_path), large.size());
  EXPECT_EQ(Utils::GetFileSize(large_path + L".missing"), Utils::kInvalidFileSize);
  std::uint64_t size = 0;
  EXPECT_EQ(Utils::GetFileSize(large_path + L"/below-a-file", size), kObNotFound);
  // Symbolic links are followed, as for /proc/<pid>/exe.
  std::filesystem::create_symlink(Path("abc.bin"), Path("link"));
  EXPECT_EQ(HashOf(manager, Utf8ToWide(Path("link"))), kAbcDigest);

  std::vector<std::string> hashes = {"stale"};
  ASSERT_EQ(manager.GetHashSHA256List({abc, abc + L".missing", abc}, hashes, 42), kObSuccess);
  EXPECT_EQ(hashes, (std::vector<std::string>{kAbcDigest, "", kAbcDigest}));
  ASSERT_EQ(manager.GetHashSHA256List({}, hashes), kObSuccess);
  EXPECT_TRUE(hashes.empty());

  // What cannot be hashed: a directory, no name, a FIFO (refused without blocking), bad output.
  const auto hashed = manager.FilesHashed();
  std::array<std::uint8_t, 32> digest{};
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  for (const std::wstring& path :
       {Utf8ToWide(dir_.path().string()), std::wstring(), Utf8ToWide(Path("fifo"))}) {
    EXPECT_EQ(manager.GetHashSHA256(path, digest.data(), 32, 1), kObNotFound) << WideToUtf8(path);
  }
  EXPECT_EQ(manager.GetHashSHA256(abc, nullptr, 32, 1), kObBadArgument);
  EXPECT_EQ(manager.GetHashSHA256(abc, digest.data(), 31, 1), kObBadArgument);
  EXPECT_EQ(manager.FilesHashed(), hashed);

  // A small cache hashes a file once until it changes, and evicts the least recently used half.
  CSha256HashManagerImpl small(4);
  const std::wstring path = Write("busy.bin", "abc");
  SetModified(path, 100);
  EXPECT_EQ(HashOf(small, path) + HashOf(small, path), std::string(kAbcDigest) + kAbcDigest);
  EXPECT_EQ(small.FilesHashed(), 1U);
  // Same size, new contents, modification time differing only in nanoseconds.
  Write("busy.bin", "xyz");
  SetModified(path, 200);
  EXPECT_EQ(HashOf(small, path) + HashOf(small, path), Digest("xyz") + Digest("xyz"));
  EXPECT_EQ(small.FilesHashed(), 2U);
  // Replaced by another file (new inode) under the same name.
  SetModified(Write("other.bin", "abc"), 200);
  std::filesystem::rename(Path("other.bin"), Path("busy.bin"));
  EXPECT_EQ(HashOf(small, path), kAbcDigest);
  EXPECT_EQ(small.FilesHashed(), 3U);

  // Full at four: busy.bin (f0) is used again last, so f1 and f2 are the least recently used
  // when f4 arrives; the others are still known.
  std::vector<std::wstring> paths = {path};
  for (int i = 1; i < 5; ++i) {
    paths.push_back(Write("f" + std::to_string(i), std::string(i, 'x')));
  }
  for (const int i : {0, 1, 2, 3, 0, 4, 0, 3, 4}) {
    ASSERT_FALSE(HashOf(small, paths[i]).empty());
  }
  EXPECT_EQ(small.FilesHashed(), 7U);
  EXPECT_EQ(small.CachedEntries(), 3U);
}

Bytes Text(const std::string& text) { return {text.begin(), text.end()}; }

// A block: "LZS1", the stated length little-endian, then the bits given as '0'/'1' (spaces
// ignored), most significant first, zero padded.
Bytes Block(std::uint32_t stated, const std::string& bits) {
  Bytes block = {'L', 'Z', 'S', '1'};
  for (int i = 0; i < 4; ++i) block.push_back(static_cast<std::uint8_t>(stated >> (8 * i)));
  int used = 0;
  for (const char bit : bits) {
    if (bit == ' ') continue;
    if (used % 8 == 0) block.push_back(0);
    if (bit == '1') block.back() |= static_cast<std::uint8_t>(0x80 >> (used % 8));
    ++used;
  }
  return block;
}

std::string Literal(char c) {
  return "0 " + std::bitset<8>(static_cast<std::uint8_t>(c)).to_string() + " ";
}

constexpr const char* kEnd = "1 1 0000000";

class CLZSTest : public ::testing::Test {
 protected:
  Bytes Compress(const Bytes& input) {
    Bytes block(input.size() * 2 + 64);
    auto length = static_cast<std::uint32_t>(block.size());
    EXPECT_EQ(lzs_.Compress(input.data(), static_cast<std::uint32_t>(input.size()), block.data(),
                            &length),
              kObSuccess);
    block.resize(length);
    return block;
  }
  // Decompresses in place in a buffer of block.size() + spare bytes; the status and the buffer.
  std::pair<OB_STATUSCODE, Bytes> Decompress(const Bytes& block, std::size_t spare) {
    Bytes buffer = block;
    buffer.resize(block.size() + spare, 0xEE);
    auto length = static_cast<std::uint32_t>(buffer.size());
    const OB_STATUSCODE status = lzs_.Decompress(
        buffer.data(), static_cast<std::uint32_t>(block.size()), buffer.data(), &length);
    buffer.resize(status == kObSuccess ? length : buffer.size());
    return {status, buffer};
  }

  CLZS lzs_;
};

TEST_F(CLZSTest, CodesHandBuiltBitstreamsAndRejectsMalformedOnesWithoutWriting) {
  const std::string abc = Literal('a') + Literal('b') + Literal('c');
  // Short offsets, an overlapping copy, 4- and 12-bit length codes, both ways.
  for (const auto& [text, bits] :
       {std::pair<std::string, std::string>{"", kEnd},
        {"abcabcabc", abc + "1 1 0000011 1101 " + kEnd},
        {std::string(25, 'x'), Literal('x') + "1 1 0000001 1111 1111 0001 " + kEnd}}) {
    const Bytes block = Block(static_cast<std::uint32_t>(text.size()), bits);
    EXPECT_EQ(Compress(Text(text)), block);
    EXPECT_EQ(Decompress(block, 64), std::pair(kObSuccess, Text(text)));
  }
  // The long offset form for a short distance, which this encoder does not write.
  EXPECT_EQ(Decompress(Block(7, abc + "1 0 00000000010 10 " + kEnd), 64),
            std::pair(kObSuccess, Text("abcbcbc")));

  const std::pair<Bytes, const char*> cases[] = {
      {Text("ORVN\x03 serialised flow record"), "Not an LZS block"},  // stored uncompressed
      {Text("LZS1\x03"), "Not an LZS block"},
      {Block(0, ""), "without an end marker"},
      {Block(3, abc), "without an end marker"},
      {Block(3, abc + "1 1 00"), "without an end marker"},  // inside a token
      {Block(4, Literal('a') + "1 1 0000010 00 " + kEnd),
       "offset 2 at output byte 1 reaches before the start"},
      {Block(4, Literal('a') + "1 0 00000000000 00 " + kEnd), "offset 0"},
      {Block(2, abc + kEnd), "longer than the stated 2 bytes"},
      {Block(3, Literal('a') + "1 1 0000001 1111 0000 " + kEnd), "longer than the stated 3 bytes"},
      {Block(5, abc + kEnd), "end marker after 3 of the stated 5"},
      {Block(3, abc + kEnd + "0000 00000000"), "data after the end marker"},  // a whole byte
      {Block(3, abc + kEnd + "1"), "data after the end marker"},              // non-zero padding
      {Block(128 << 20, kEnd), "cannot hold"},
      {Block(1000, kEnd), "cannot hold"},
  };
  for (const auto& [block, logged] : cases) {
    orv::test::LogCapture log;
    Bytes unchanged = block;
    unchanged.resize(block.size() + 64, 0xEE);
    EXPECT_EQ(Decompress(block, 64), std::pair(kObBadArgument, unchanged)) << logged;
    EXPECT_TRUE(log.Contains(logged)) << logged;
  }
}

TEST_F(CLZSTest, RoundTripsEverySizeWorksInPlaceAndRejectsEveryCutBlockAndBadArguments) {
  EXPECT_LT(Compress(Bytes(4000, 0)).size(), 4000U / 25);  // a run costs 4 bits per 15 bytes
  // The last size passes the retained scratch size, so the next call allocates afresh.
  for (const std::size_t size : {1, 2, 3, 2049, 100000, (1 << 21) + 3}) {
    for (const Bytes& input : {Sample(size, true), Sample(size, false), Bytes(size, 'z')}) {
      const Bytes block = Compress(input);
      EXPECT_LE(block.size(), CLZS::kHeaderLength + (9 * size + 16) / 8);
      EXPECT_EQ(Decompress(block, size), std::pair(kObSuccess, input)) << size;
    }
  }

  const Bytes input = Sample(3000, false);
  Bytes buffer = input;
  auto length = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(lzs_.Compress(buffer.data(), length, buffer.data(), &length), kObSuccess);
  const Bytes block(buffer.begin(), buffer.begin() + length);
  EXPECT_EQ(block, Compress(input));
  // No room to decompress: the size needed comes back and the block stays as it was.
  ASSERT_EQ(lzs_.Decompress(buffer.data(), length, buffer.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + block.size()), block);
  EXPECT_EQ(length, input.size());
  // Every cut of a whole block is refused.
  for (std::size_t size = 0; size < block.size(); ++size) {
    EXPECT_EQ(Decompress(Bytes(block.begin(), block.begin() + size), 4000).first, kObBadArgument);
  }

  // Random bytes grow when compressed: an in-place Compress cannot fit.
  const Bytes random = Sample(500, true);
  buffer = random;
  length = static_cast<std::uint32_t>(buffer.size());
  EXPECT_EQ(lzs_.Compress(buffer.data(), length, buffer.data(), &length), kObBufferTooSmall);
  EXPECT_EQ(buffer, random);
  EXPECT_EQ(length, Compress(random).size());

  length = 64;
  std::uint32_t zero = 0;
  EXPECT_THAT((std::vector{lzs_.Compress(nullptr, 4, buffer.data(), &length),
                           lzs_.Compress(buffer.data(), 4, buffer.data(), &zero),
                           // The length is checked before anything is read.
                           lzs_.Compress(buffer.data(), CLZS::kMaxUncompressedLength + 1,
                                         buffer.data(), &length),
                           lzs_.Decompress(nullptr, 4, buffer.data(), &length),
                           lzs_.Decompress(buffer.data(), 4, buffer.data(), &zero)}),
              Each(kObBadArgument));
}

// Calls a fake received, in order, safe to read while another thread adds to them.
class CallLog {
 public:
  void Record(std::string call) {
    const std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  // The calls so far that start with kind.
  [[nodiscard]] std::vector<std::string> Calls(const std::string& kind = "") {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> calls = calls_;
    std::erase_if(calls, [&](const std::string& call) { return !call.starts_with(kind); });
    return calls;
  }
  [[nodiscard]] bool WaitFor(const std::string& kind, std::size_t count) {
    return WaitUntil([&] { return Calls(kind).size() == count; });
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> calls_;  // guarded by mutex_
};

// Records the base's calls: "start", "stop <identity>", "message <type>".
class RecordingProvider : public CContextProviderServiceBase, public CallLog {
 public:
  RecordingProvider(ContextProviderOptions options, OB_STATUSCODE& status)
      : CContextProviderServiceBase(4, 0, {5}, 32557, status, 5, std::move(options)) {}
  ~RecordingProvider() override { Shutdown(); }

 protected:
  void start() override { Record("start"); }
  void stop(std::int32_t identity) override { Record("stop " + std::to_string(identity)); }
  void OnNewMessageReceived(const IPC_MESSAGE& message) override {
    Record("message " + std::to_string(message.type));
  }
};

// Version 3, type, payload length and one part, each 32 bits little-endian.
Bytes Header(std::uint32_t type, std::uint32_t length) {
  Bytes header = {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  StoreLe<std::uint32_t>(header.data() + 4, type);
  StoreLe<std::uint32_t>(header.data() + 8, length);
  return header;
}

class ContextProviderServiceBaseTest : public ::testing::Test {
 protected:
  std::unique_ptr<RecordingProvider> MakeProvider(std::size_t max_backlog_bytes = 1 << 20) {
    OB_STATUSCODE status = kObFailure;
    auto provider = std::make_unique<RecordingProvider>(
        ContextProviderOptions{.socket_path = path_, .max_backlog_bytes = max_backlog_bytes},
        status);
    EXPECT_EQ(status, kObSuccess);
    EXPECT_EQ(provider->Listen(), kObSuccess);
    return provider;
  }

  orv::test::TempDir dir_;
  const std::string path_ = (dir_.path() / "ContextProvider.sock").string();
};

TEST(IpcMessageTest, EncodesHeaderAndPayloadAndRejectsMalformedPackets) {
  IPC_MESSAGE message{.type = 2002, .payload_length = 3, .payload = {1, 2, 3}};
  Bytes packet;
  ASSERT_EQ(EncodeIpcMessage(message, packet), kObSuccess);
  const Bytes expected = {3, 0, 0, 0, 0xd2, 0x07, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 1, 2, 3};
  EXPECT_EQ(packet, expected);
  IPC_MESSAGE decoded;
  ASSERT_EQ(DecodeIpcMessage(packet, packet.size(), decoded), kObSuccess);
  EXPECT_EQ(std::tie(decoded.type, decoded.part_count, decoded.payload),
            std::tuple(2002u, 1u, message.payload));
  message.payload_length = 4;  // disagrees with the payload
  EXPECT_EQ(EncodeIpcMessage(message, packet), kObBadArgument);
  EXPECT_EQ(EncodeIpcMessage({.payload_length = kIpcMaxPayloadSize + 1,
                              .payload = Bytes(kIpcMaxPayloadSize + 1, 0)},
                             packet),
            kObBadArgument);

  // The length as recv reported it (past the buffer when the packet was cut; a short packet and
  // a cut one are sent to the live service below).
  const std::tuple<Bytes, std::size_t, const char*> cases[] = {
      {Header(3000, 1), 16, "its header gives a payload of 1 bytes"},
      {expected, 18, "its header gives a payload of 3 bytes"},
      {{2, 0, 0, 0, 0xb8, 0x0b, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, 16, "version 2, expected 3"},
  };
  for (const auto& [bytes, length, logged] : cases) {
    orv::test::LogCapture log;
    Bytes buffer = bytes;
    buffer.resize(std::max(bytes.size(), std::min(length, kIpcMaxPacketSize)));
    EXPECT_EQ(DecodeIpcMessage(buffer, length, decoded), kObBadArgument) << logged;
    EXPECT_TRUE(log.Contains(logged)) << logged;
  }
  EXPECT_TRUE(IsContextPeerAllowed(0, 1000) && IsContextPeerAllowed(1000, 1000));
  EXPECT_FALSE(IsContextPeerAllowed(1001, 1000) || IsContextPeerAllowed(1000, 0));
}

TEST_F(ContextProviderServiceBaseTest, OnlyAllowedPeersStartHangUpsStopAndMessagesReachEveryPeer) {
  auto provider = MakeProvider();
  if (::geteuid() == 0) {  // can run a peer under another uid (IsContextPeerAllowed is tested)
    // Let the other uid reach the socket, so that only the credential check can refuse it.
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
    ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
    EXPECT_EQ(orv::test::RunInChildAsNobody([&] {
                ContextTestClient intruder(path_);
                return !intruder.connected() ? 4 : intruder.WaitForEof() ? 0 : 5;
              }),
              0);  // connected, then closed at once
  }
  EXPECT_FALSE(provider->ArePeersConnected());
  ContextTestClient first(path_);
  ASSERT_TRUE(provider->WaitFor("start", 1));
  ContextTestClient second(path_);
  ASSERT_TRUE(provider->WaitFor("start", 2));
  const IPC_MESSAGE message{.type = 3001, .payload = {}};
  ASSERT_EQ(provider->SendMessageToAllPeers(message), kObSuccess);
  EXPECT_EQ(first.Receive(), Header(3001, 0));
  EXPECT_EQ(second.Receive(), Header(3001, 0));

  // Bad packets, one cut by recv, are dropped; the connection stays and later messages arrive.
  Bytes oversized = Header(3000, kIpcMaxPayloadSize + 1);
  oversized.resize(kIpcMaxPacketSize + 1);
  ASSERT_TRUE(first.SendRaw({3, 0, 0, 0}) && first.SendRaw(oversized) &&
              first.SendMessage(3000, {9}));
  ASSERT_TRUE(provider->WaitFor("message", 1));
  EXPECT_EQ(provider->Calls("message"), std::vector<std::string>{"message 3000"});

  first.Close();
  ASSERT_TRUE(provider->WaitFor("stop", 1));
  EXPECT_EQ(provider->Calls("stop"), std::vector<std::string>{"stop 0"});
  // Removed after stop returned.
  EXPECT_TRUE(WaitUntil([&] { return provider->DisconnectPeer(0) == kObNotFound; }));
  EXPECT_TRUE(provider->ArePeersConnected());
  EXPECT_EQ(provider->DisconnectPeer(1), kObSuccess);
  EXPECT_TRUE(second.WaitForEof());
  EXPECT_FALSE(provider->ArePeersConnected());
  EXPECT_EQ(provider->SendMessageToAllPeers(message), kObSuccess);  // nobody to send to

  ContextTestClient third(path_);
  ASSERT_TRUE(provider->WaitFor("start", 3));
  provider->Shutdown();
  EXPECT_TRUE(third.WaitForEof());
  EXPECT_EQ(provider->Calls("stop").size(), 1u);  // shutting down calls no stop
}

TEST_F(ContextProviderServiceBaseTest,
       SocketFileIsPrivateReplacedOnlyWhenStaleAndRemovedAtShutdown) {
  ASSERT_EQ(::mknod(path_.c_str(), S_IFSOCK | 0600, 0), 0);  // left behind by a dead process
  auto provider = MakeProvider();
  struct stat info {};
  ASSERT_EQ(::lstat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & (S_IFMT | 0777), S_IFSOCK | 0600u);
  EXPECT_EQ(provider->Listen(), kObAlreadyRunning);

  OB_STATUSCODE status = kObFailure;
  RecordingProvider rival({.socket_path = path_}, status);
  EXPECT_EQ(rival.Listen(), kObAlreadyRunning);  // someone listens: the file is not taken
  // The rival's probe was a connection that ended at once.
  ASSERT_TRUE(provider->WaitFor("stop", 1));
  provider->Shutdown();
  EXPECT_FALSE(std::filesystem::exists(path_));

  std::ofstream(path_) << "not a socket";
  EXPECT_EQ(rival.Listen(), kObFailure);
  EXPECT_TRUE(std::filesystem::is_regular_file(path_));
  RecordingProvider too_long({.socket_path = "/tmp/" + std::string(120, 'x')}, status);
  EXPECT_EQ(too_long.Listen(), kObBadArgument);
}

TEST_F(ContextProviderServiceBaseTest, PeerThatStopsReadingIsDroppedWithoutBlockingOthers) {
  auto provider = MakeProvider(64 * 1024);
  ContextTestClient slow(path_);
  ASSERT_TRUE(provider->WaitFor("start", 1));
  ContextTestClient reader(path_);
  ASSERT_TRUE(provider->WaitFor("start", 2));

  const IPC_MESSAGE message{.type = 2002, .payload_length = 1024, .payload = Bytes(1024, 0)};
  // The slow peer's socket buffer and then its backlog fill; sending never waits on it, and the
  // reader is never held up.
  for (int sent = 0; sent < 5000 && provider->Calls("stop").empty(); ++sent) {
    (void)provider->SendMessageToAllPeers(message);
    const auto packet = reader.Receive();
    ASSERT_TRUE(packet && packet->size() == kIpcHeaderSize + 1024) << "message " << sent;
  }
  ASSERT_TRUE(provider->WaitFor("stop 0", 1));
  EXPECT_TRUE(slow.WaitForEof());
  EXPECT_TRUE(provider->ArePeersConnected());
}

using namespace NetworkMonitor;
using NetworkMonitor::internal::NetlinkEvent;

// Records every callback: "up", "down", "reachable", "unreachable", "trusted".
class RecordingObserver : public INetworkChangeObserver, public CallLog {
 public:
  void OnInterfaceChange(int state) override { Record(state == kInterfaceDown ? "down" : "up"); }
  void OnTrustedStateChange(int /*state*/) override { Record("trusted"); }
  void OnNetworkStateChange(int state) override {
    Record(state == kNetworkReachable ? "reachable" : "unreachable");
  }

  // Waits until, after the first mark events, interface_event was seen count times and the
  // latest event is network_state: the state reported after the batch that carried them.
  bool WaitForBatch(std::size_t mark, const std::string& interface_event, std::ptrdiff_t count,
                    const std::string& network_state) {
    return WaitUntil([&] {
      const std::vector<std::string> events = Calls();
      return events.size() > mark && events.back() == network_state &&
             std::count(events.begin() + static_cast<std::ptrdiff_t>(mark), events.end(),
                        interface_event) >= count;
    });
  }
};

TEST(NetworkMonitorParserTest, ParsesALinkMessageAndStopsSafelyAtTruncatedOrMalformedInput) {
  // RTM_NEWLINK for link 3 with IFF_UP and an IFLA_OPERSTATE attribute of IF_OPER_UP.
  const Bytes whole = {
      40, 0, 0,  0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // nlmsghdr: length, type
      0,  0, 0,  0, 3,  0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,  // ifinfomsg: index, flags
      5,  0, 16, 0, 6,  0, 0, 0};                         // rtattr: length, type, value, padding
  // The kind, link index and state of the one event parsed.
  const auto parse = [](const Bytes& bytes) {
    const std::vector<NetlinkEvent> events = NetworkMonitor::internal::ParseNetlinkBuffer(bytes);
    EXPECT_EQ(events.size(), 1u);
    const NetlinkEvent event = events.empty() ? NetlinkEvent{} : events[0];
    return std::tuple(event.kind, event.link.index, event.link.up);
  };
  EXPECT_EQ(parse(whole), std::tuple(NetlinkEvent::Kind::kLinkNew, 3, true));
  // An attribute running past its message (operstate unread: UNKNOWN without IFF_RUNNING is
  // down), then a header claiming less than itself.
  Bytes bad = whole;
  bad[32] = 200;
  EXPECT_EQ(parse(bad), std::tuple(NetlinkEvent::Kind::kLinkNew, 3, false));
  bad[0] = 4;
  EXPECT_EQ(parse(bad), std::tuple(NetlinkEvent::Kind::kOverrun, 0, false));
}

TEST(NetworkMonitorTest, ReportsLinksAndReachabilityButNotTheBaselineInNamespace) {
  ORV_RERUN_IN_NAMESPACE("-rn");
  if (!orv::test::RunScript("ip -V").empty()) {
    GTEST_SKIP() << "ip(8) from iproute2 is not installed";
  }
  ASSERT_EQ(orv::test::RunScript(
                "ip link add v0 type veth peer name v1; ip link set v0 up; ip link set v1 up\n"
                "ip addr add 10.200.0.1/24 dev v0; ip route add default via 10.200.0.2"),
            "");
  // Carrier comes up asynchronously; the baseline must be taken once both ends are up (lo is
  // down).
  ASSERT_TRUE(WaitUntil([] { return orv::test::LinkUp("v0") && orv::test::LinkUp("v1"); }))
      << "veth carrier never came up";
  RecordingObserver observer;  // outlives the monitor's thread
  CNetworkMonitor monitor;
  ASSERT_EQ(monitor.RegisterForNetworkChange(&observer), kObSuccess);
  ASSERT_EQ(monitor.Start(), kObSuccess);
  EXPECT_EQ(monitor.Start(), kObAlreadyRunning);
  EXPECT_EQ(monitor.RegisterForNetworkChange(nullptr), kObBadArgument);

  // Loopback is ignored and the baseline is not reported: the route's removal comes first.
  ASSERT_EQ(orv::test::RunScript("ip link set lo up; ip route del default"), "");
  ASSERT_TRUE(observer.WaitForBatch(0, "up", 0, "unreachable"));
  EXPECT_EQ(observer.Calls(), std::vector<std::string>{"unreachable"});
  // A new address on an up link is an interface change; a default route over it makes the
  // network reachable.
  const std::size_t mark = observer.Calls().size();
  ASSERT_EQ(
      orv::test::RunScript("ip addr add 10.200.0.3/24 dev v0; ip route add default via 10.200.0.2"),
      "");
  ASSERT_TRUE(observer.WaitForBatch(mark, "up", 1, "reachable"));
  // The peer going down takes v0's carrier: both down, and the route no longer leads out;
  // carrier back: the kernel kept the route; deleting the pair removes both links and the route.
  for (const auto& [command, event, network] :
       {std::tuple{"ip link set v1 down", "down", "unreachable"},
        {"ip link set v1 up", "up", "reachable"},
        {"ip link del v0", "down", "unreachable"}}) {
    const std::size_t before = observer.Calls().size();
    ASSERT_EQ(orv::test::RunScript(command), "");
    ASSERT_TRUE(observer.WaitForBatch(before, event, 2, network)) << command;
  }
  ASSERT_EQ(monitor.DeRegisterForNetworkChange(&observer), kObSuccess);
  EXPECT_EQ(monitor.Stop(), kObSuccess);
  EXPECT_EQ(monitor.Stop(), kObSuccess);
  EXPECT_EQ(monitor.Start(), kObSuccess);  // again after a stop
  EXPECT_TRUE(observer.Calls("trusted").empty());
}

}  // namespace
}  // namespace OBRuntime
