#include "runtime/safe_str.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "common/status.h"

namespace OBRuntime {
namespace {

TEST(SafeStrTest, StrlcpyTruncatesTerminatesAndReportsSourceLength) {
  std::array<char, 8> narrow;
  narrow.fill('#');
  EXPECT_EQ(safe_strlcpyA(narrow.data(), "hello", 6), 5U);
  EXPECT_STREQ(narrow.data(), "hello");
  narrow.fill('#');
  EXPECT_EQ(safe_strlcpyA(narrow.data(), "hello world", 6), 11U);  // result >= capacity: cut
  EXPECT_STREQ(narrow.data(), "hello");
  EXPECT_EQ(narrow[6], '#');
  narrow.fill('#');
  EXPECT_EQ(safe_strlcpyA(narrow.data(), "abc", 1), 3U);
  EXPECT_EQ(narrow[0], '\0');
  EXPECT_EQ(narrow[1], '#');
  EXPECT_EQ(safe_strlcpyA(narrow.data(), "abc", 0), 3U);  // nothing written
  EXPECT_EQ(narrow[0], '\0');
  EXPECT_EQ(safe_strlcpyA(narrow.data(), nullptr, 4), 0U);
  EXPECT_STREQ(narrow.data(), "");
  EXPECT_EQ(safe_strlcpyA(nullptr, "abc", 4), 3U);

  std::array<wchar_t, 8> wide;
  wide.fill(L'#');
  EXPECT_EQ(safe_strlcpyW(wide.data(), L"w\u00e9de text", 5), 9U);
  EXPECT_EQ(std::wstring(wide.data()), L"w\u00e9de");
  EXPECT_EQ(wide[5], L'#');
}

TEST(SafeStrTest, StrnlenStopsAtBound) {
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(safe_strnlenA(unterminated, sizeof unterminated), 4U);
  EXPECT_EQ(safe_strnlenA("ab", 10), 2U);
  EXPECT_EQ(safe_strnlenA("abcdef", 3), 3U);
  EXPECT_EQ(safe_strnlenA(nullptr, 10), 0U);
  const wchar_t wide_unterminated[3] = {L'x', L'y', L'z'};
  EXPECT_EQ(safe_strnlenW(wide_unterminated, 3), 3U);
  EXPECT_EQ(safe_strnlenW(L"xy", 10), 2U);
  EXPECT_EQ(safe_strnlenW(nullptr, 10), 0U);
}

TEST(SafeStrTest, SnprintfReportsCountTruncationOrError) {
  std::array<char, 8> narrow;
  narrow.fill('#');
  EXPECT_EQ(safe_snprintfA(narrow.data(), narrow.size(), "%d-%s", 42, "ab"), 5);
  EXPECT_STREQ(narrow.data(), "42-ab");
  EXPECT_EQ(safe_snprintfA(narrow.data(), narrow.size(), "%s", "0123456789"), kObBufferTooSmall);
  EXPECT_STREQ(narrow.data(), "0123456");
  EXPECT_EQ(safe_snprintfA(narrow.data(), 7, "%s", "0123456"),
            kObBufferTooSmall);  // no room for NUL
  EXPECT_STREQ(narrow.data(), "012345");
  EXPECT_EQ(safe_snprintfA(narrow.data(), 0, "%s", "x"), kObBadArgument);
  EXPECT_EQ(safe_snprintfA(nullptr, 8, "%s", "x"), kObBadArgument);

  std::array<wchar_t, 8> wide;
  wide.fill(L'#');
  EXPECT_EQ(safe_snprintfW(wide.data(), wide.size(), L"%ls:%u", L"\u00e9t\u00e9", 7U), 5);
  EXPECT_EQ(std::wstring(wide.data()), L"\u00e9t\u00e9:7");
  wide.fill(L'#');
  EXPECT_EQ(safe_snprintfW(wide.data(), wide.size(), L"%ls", L"0123456789"), kObBufferTooSmall);
  EXPECT_EQ(std::wstring(wide.data()), L"0123456");
  wide.fill(L'#');
  EXPECT_EQ(safe_snprintfW(wide.data(), 1, L"%ls", L"x"), kObBufferTooSmall);
  EXPECT_EQ(wide[0], L'\0');
  EXPECT_EQ(wide[1], L'#');
  const wchar_t invalid[] = {static_cast<wchar_t>(0x110000), L'\0'};
  wide.fill(L'#');
  EXPECT_EQ(safe_snprintfA(narrow.data(), narrow.size(), "%ls", invalid), kObBadArgument);
  EXPECT_STREQ(narrow.data(), "");
  EXPECT_EQ(safe_snprintfW(wide.data(), wide.size(), L"%s", "\xff\xfe"), kObBadArgument);
  EXPECT_EQ(wide[0], L'\0');
  EXPECT_EQ(safe_snprintfW(wide.data(), wide.size(), nullptr), kObBadArgument);
  EXPECT_EQ(wide[0], L'\0');
}

}  // namespace
}  // namespace OBRuntime
