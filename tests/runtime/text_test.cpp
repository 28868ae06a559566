#include "runtime/text.h"

#include <gtest/gtest.h>

namespace OBRuntime {
namespace {

TEST(TextTest, ConvertsBetweenWideUtf8AndUtf16) {
  const std::wstring wide = L"a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(WideToUtf8(wide), "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80z");
  EXPECT_EQ(Utf8ToWide(WideToUtf8(wide)), wide);
  const std::u16string utf16 = WideToUtf16(wide);
  EXPECT_EQ(utf16, u"a\u00e9\u4e2d\U0001F600z");
  EXPECT_EQ(utf16.size(), 6U);
  EXPECT_EQ(Utf16Length(wide), 6U);
  EXPECT_EQ(Utf16ToWide(utf16), wide);
}

TEST(TextTest, ReplacesIllFormedInput) {
  EXPECT_EQ(Utf8ToWide("a\xff"
                       "b"),
            L"a\uFFFDb");
  EXPECT_EQ(Utf8ToWide("\xe4\xb8"), L"\uFFFD\uFFFD");            // truncated sequence
  EXPECT_EQ(Utf8ToWide("\xc0\xaf"), L"\uFFFD\uFFFD");            // overlong "/"
  EXPECT_EQ(Utf8ToWide("\xed\xa0\x80"), L"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  const std::u16string lone_high = {u'x', static_cast<char16_t>(0xD800), u'y'};
  EXPECT_EQ(Utf16ToWide(lone_high), L"x\uFFFDy");
  const std::u16string lone_low = {static_cast<char16_t>(0xDC00)};
  EXPECT_EQ(Utf16ToWide(lone_low), L"\uFFFD");
  const std::wstring out_of_range(1, static_cast<wchar_t>(0x110000));
  EXPECT_EQ(WideToUtf8(out_of_range), "\xef\xbf\xbd");
  EXPECT_EQ(WideToUtf16(out_of_range), u"\uFFFD");
}

TEST(TextTest, Utf16PrefixNeverSplitsASurrogatePair) {
  const std::wstring wide = L"ab\U0001F600c";
  EXPECT_EQ(Utf16Prefix(wide, 10), wide);
  EXPECT_EQ(Utf16Prefix(wide, 4), L"ab\U0001F600");
  EXPECT_EQ(Utf16Prefix(wide, 3), L"ab");
  EXPECT_EQ(Utf16Prefix(wide, 0), L"");
}

}  // namespace
TEST(TextTest, EscapesControlCharactersOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain \\domain\\user é", "plain \\domain\\user é"},
      {"a\nb\rc\td", "a\\nb\\rc\td"},
      {std::string("nul\0esc\x1b del\x7f", 13), "nul\\x00esc\\x1b del\\x7f"},
  };
  for (const auto& [raw, escaped] : cases) {
    EXPECT_EQ(OBRuntime::EscapeControlCharacters(raw), escaped);
  }
}

}  // namespace OBRuntime
