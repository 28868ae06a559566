// Text conversion, bounded string functions and the logger that writes text out.
#include "runtime/text.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>

#include "common/status.h"
#include "runtime/log_limiter.h"
#include "runtime/logger.h"
#include "runtime/safe_str.h"
#include "support/log_capture.h"

namespace OBRuntime {
namespace {

using namespace std::string_literals;

TEST(TextTest, ConvertsBetweenWideUtf8AndUtf16ReplacingIllFormedInput) {
  const std::wstring wide = L"a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(WideToUtf8(wide), "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80z");
  EXPECT_EQ(Utf8ToWide(WideToUtf8(wide)), wide);
  EXPECT_EQ(WideToUtf16(wide), u"a\u00e9\u4e2d\U0001F600z");
  EXPECT_EQ(Utf16Length(wide), 6U);
  EXPECT_EQ(Utf16ToWide(WideToUtf16(wide)), wide);

  const std::pair<std::string, std::wstring> utf8[] = {
      {"a\xff!", L"a\uFFFD!"},
      {"\xe4\xb8", L"\uFFFD\uFFFD"},            // truncated sequence
      {"\xc0\xaf", L"\uFFFD\uFFFD"},            // overlong "/"
      {"\xed\xa0\x80", L"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
  };
  for (const auto& [bytes, decoded] : utf8) {
    EXPECT_EQ(Utf8ToWide(bytes), decoded);
  }
  // A lone high surrogate, then a lone low one.
  EXPECT_EQ(Utf16ToWide(std::u16string{u'x', static_cast<char16_t>(0xD800), u'y'}), L"x\uFFFDy");
  EXPECT_EQ(Utf16ToWide(std::u16string(1, static_cast<char16_t>(0xDC00))), L"\uFFFD");
  const std::wstring out_of_range(1, static_cast<wchar_t>(0x110000));
  EXPECT_EQ(WideToUtf8(out_of_range), "\xef\xbf\xbd");
  EXPECT_EQ(WideToUtf16(out_of_range), u"\uFFFD");
}

TEST(TextTest, Utf16PrefixNeverSplitsASurrogatePair) {
  const std::wstring wide = L"ab\U0001F600c";
  EXPECT_EQ(Utf16Prefix(wide, 10), wide);
  EXPECT_EQ(Utf16Prefix(wide, 4), L"ab\U0001F600");
  EXPECT_EQ(Utf16Prefix(wide, 3), L"ab");
}

TEST(SafeStrTest, CopyAndLengthStayWithinBoundsAndReportTheSourceLength) {
  std::array<char, 8> narrow;
  narrow.fill('#');
  // A result not below the capacity means the copy was cut.
  EXPECT_EQ(safe_strlcpyA(narrow.data(), "hello world", 6), 11U);
  EXPECT_STREQ(narrow.data(), "hello");
  EXPECT_EQ(narrow[6], '#');
  narrow.fill('#');
  EXPECT_EQ(safe_strlcpyA(narrow.data(), "abc", 0), 3U);  // nothing written
  EXPECT_EQ(narrow[0], '#');
  EXPECT_EQ(safe_strlcpyA(narrow.data(), nullptr, 4), 0U);
  EXPECT_STREQ(narrow.data(), "");
  EXPECT_EQ(safe_strlcpyA(nullptr, "abc", 4), 3U);
  std::array<wchar_t, 8> wide;
  wide.fill(L'#');
  EXPECT_EQ(safe_strlcpyW(wide.data(), L"w\u00e9d", 5), 3U);
  EXPECT_EQ(std::wstring(wide.data()), L"w\u00e9d");

  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(safe_strnlenA(unterminated, sizeof unterminated), 4U);
  EXPECT_EQ(safe_strnlenA("ab", 10), 2U);
  EXPECT_EQ(safe_strnlenA(nullptr, 10), 0U);
  EXPECT_EQ(safe_strnlenW(L"xyz", 2), 2U);
  EXPECT_EQ(safe_strnlenW(nullptr, 10), 0U);
}

TEST(SafeStrTest, SnprintfReportsCountTruncationOrError) {
  std::array<char, 8> narrow;
  EXPECT_EQ(safe_snprintfA(narrow.data(), narrow.size(), "%d-%s", 42, "ab"), 5);
  EXPECT_STREQ(narrow.data(), "42-ab");
  // No room for the terminator.
  EXPECT_EQ(safe_snprintfA(narrow.data(), 7, "%s", "0123456"), kObBufferTooSmall);
  EXPECT_STREQ(narrow.data(), "012345");
  EXPECT_EQ(safe_snprintfA(narrow.data(), 0, "%s", "x"), kObBadArgument);
  EXPECT_EQ(safe_snprintfA(nullptr, 8, "%s", "x"), kObBadArgument);
  const wchar_t invalid[] = {static_cast<wchar_t>(0x110000), L'\0'};
  EXPECT_EQ(safe_snprintfA(narrow.data(), narrow.size(), "%ls", invalid), kObBadArgument);
  EXPECT_STREQ(narrow.data(), "");

  std::array<wchar_t, 8> wide;
  EXPECT_EQ(safe_snprintfW(wide.data(), wide.size(), L"%ls:%u", L"\u00e9t\u00e9", 7U), 5);
  EXPECT_EQ(std::wstring(wide.data()), L"\u00e9t\u00e9:7");
  wide.fill(L'#');
  EXPECT_EQ(safe_snprintfW(wide.data(), wide.size(), L"%ls", L"0123456789"), kObBufferTooSmall);
  EXPECT_EQ(std::wstring(wide.data()), L"0123456");
  EXPECT_EQ(wide[7], L'\0');
  wide.fill(L'#');
  EXPECT_EQ(safe_snprintfW(wide.data(), wide.size(), L"%s", "\xff\xfe"), kObBadArgument);
  EXPECT_EQ(wide[0], L'\0');
  EXPECT_EQ(safe_snprintfW(wide.data(), wide.size(), nullptr), kObBadArgument);
  EXPECT_EQ(safe_snprintfW(nullptr, 8, L"x"), kObBadArgument);
}

TEST(LoggerTest, ReducesPrettyFunctionToClassAndOperation) {
  const std::pair<const char*, const char*> cases[] = {
      {"OB_STATUSCODE CExporter::Start()", "CExporter::Start"},
      {"void OBRuntime::NetworkMonitor::CNetworkMonitor::Stop(int)", "CNetworkMonitor::Stop"},
      {"int main(int, char**)", "main"},
      {"OB_STATUSCODE CBoundedQueue<T>::Push(T&&) [with T = int]", "CBoundedQueue::Push"},
      {"std::map<int, std::string> ns::Foo::Get(std::pair<int, int>)", "Foo::Get"},
      {"InterfaceInfo::Serialize", "InterfaceInfo::Serialize"},
      {"bool Foo::operator()(int) const", "Foo::operator()"},
  };
  for (const auto& [pretty, qualified] : cases) {
    EXPECT_EQ(ILogger::QualifiedName(pretty), qualified);
  }
}

TEST(LoggerTest, HandsFormattedRecordToSinkWithControlCharactersEscaped) {
  orv::test::LogCapture capture;
  OB_LOG_AS(LOG_WARNING, "CORVAgent::MainThreadProc", "ORVAgent: %s received.\n",
            "ORVShutdownEvent");
  OB_LOG_ERROR("value %d of %u", -5, 7U);
  const std::string long_text(2000, 'x');
  OB_LOG_DEBUG("%s", long_text.c_str());
  EXPECT_TRUE(capture.Has(LOG_WARNING, "CORVAgent::MainThreadProc",
                          "ORVAgent: ORVShutdownEvent received."));
  EXPECT_TRUE(capture.Has(LOG_ERROR,
                          "LoggerTest_HandsFormattedRecordToSinkWithControlCharactersEscaped_Test::"
                          "TestBody",
                          "value -5 of 7"));
  EXPECT_TRUE(capture.Contains(long_text));
  EXPECT_EQ(ILogger::ProgramName(), "oborvagent");
  // Outside text cannot forge a line: control characters are escaped, tabs and the rest kept.
  OB_LOG_DEBUG("image %s", "/tmp/x\n2026-12-06T07:30:00.000Z ERROR Fake::Line f.cpp:1 \x1b[2J");
  EXPECT_TRUE(capture.Contains(
      "image /tmp/x\\n2026-12-06T07:30:00.000Z ERROR Fake::Line f.cpp:1 \\x1b[2J"));
  EXPECT_EQ(EscapeControlCharacters("\\d\\u \xc3\xa9\t\r\x7f"s + '\0'),
            "\\d\\u \xc3\xa9\t\\r\\x7f\\x00");
}

TEST(LoggerTest, LimiterPassesBurstThenOneLinePerMinuteWithTheHeldBackCount) {
  CLogLimiter limiter;
  const auto start = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  std::uint64_t suppressed = 99;
  for (std::uint32_t i = 0; i < CLogLimiter::kBurst; ++i) {
    EXPECT_TRUE(limiter.Admit(start, suppressed));
    EXPECT_EQ(suppressed, 0U);
  }
  EXPECT_FALSE(limiter.Admit(start, suppressed));
  EXPECT_FALSE(limiter.Admit(start + std::chrono::seconds(59), suppressed));
  EXPECT_TRUE(limiter.Admit(start + std::chrono::seconds(60), suppressed));
  EXPECT_EQ(suppressed, 2U);
  EXPECT_FALSE(limiter.Admit(start + std::chrono::seconds(61), suppressed));
  EXPECT_TRUE(limiter.Admit(start + std::chrono::seconds(121), suppressed));
  EXPECT_EQ(suppressed, 1U);

  orv::test::LogCapture capture;
  for (int i = 0; i < 100; ++i) {
    OB_LOG_LIMITED(LOG_ERROR, "bad datagram %d", i);
  }
  EXPECT_EQ(capture.Lines().size(), CLogLimiter::kBurst);
}

}  // namespace
}  // namespace OBRuntime
