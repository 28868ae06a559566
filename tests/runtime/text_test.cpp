#include "runtime/text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace OBRuntime {
namespace {

TEST(TextTest, ConvertsBetweenWideUtf8AndUtf16ReplacingIllFormedInput) {
  const std::wstring wide = L"a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(WideToUtf8(wide), "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80z");
  EXPECT_EQ(Utf8ToWide(WideToUtf8(wide)), wide);
  EXPECT_EQ(WideToUtf16(wide), u"a\u00e9\u4e2d\U0001F600z");
  EXPECT_EQ(Utf16Length(wide), 6U);
  EXPECT_EQ(Utf16ToWide(WideToUtf16(wide)), wide);

  const std::pair<std::string, std::wstring> utf8[] = {
      {"a\xff"
       "b",
       L"a\uFFFDb"},
      {"\xe4\xb8", L"\uFFFD\uFFFD"},            // truncated sequence
      {"\xc0\xaf", L"\uFFFD\uFFFD"},            // overlong "/"
      {"\xed\xa0\x80", L"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
  };
  for (const auto& [bytes, decoded] : utf8) {
    EXPECT_EQ(Utf8ToWide(bytes), decoded);
  }
  EXPECT_EQ(Utf16ToWide(std::u16string{u'x', static_cast<char16_t>(0xD800), u'y'}),
            L"x\uFFFDy");  // lone high
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

}  // namespace
}  // namespace OBRuntime
