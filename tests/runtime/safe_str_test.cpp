#include "runtime/safe_str.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "common/status.h"

namespace OBRuntime {
namespace {

TEST(SafeStrTest, CopyAndLengthStayWithinBoundsAndReportTheSourceLength) {
  std::array<char, 8> narrow;
  narrow.fill('#');
  EXPECT_EQ(safe_strlcpyA(narrow.data(), "hello world", 6),
            11U);  // result >= capacity: cut
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
  EXPECT_EQ(safe_snprintfA(narrow.data(), 7, "%s", "0123456"),
            kObBufferTooSmall);  // no NUL room
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

}  // namespace
}  // namespace OBRuntime
