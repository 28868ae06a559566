#include "config/profile_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace orv::config {
namespace {

TEST(ProfileTextTest, ReadsNumbersLikeLexicalCast) {
  struct Case {
    std::wstring text;
    std::optional<std::int32_t> as_int32;
    std::optional<std::uint16_t> as_uint16;
  };
  const Case cases[] = {
      {L"+45", 45, 45},
      {L"-1", -1, 65535},                 // unsigned 16-bit wraps
      {L"-65536", -65536, std::nullopt},  // magnitude beyond 16 bits
      {L"2147483647", 2147483647, std::nullopt},
      {L"-2147483648", INT32_MIN, std::nullopt},
      {L"2147483648", std::nullopt, std::nullopt},
      {L"", std::nullopt, std::nullopt},
      {L"-", std::nullopt, std::nullopt},
      {L" 5", std::nullopt, std::nullopt},
      {L"5x", std::nullopt, std::nullopt},
      {L"\x0665", std::nullopt, std::nullopt},  // a non-ASCII digit is no digit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    std::int32_t int32 = 99;
    ASSERT_EQ(ReadInt32(c.text, int32), c.as_int32.has_value());
    EXPECT_EQ(int32, c.as_int32.value_or(99));
    std::uint16_t uint16 = 99;
    ASSERT_EQ(ReadUint16(c.text, uint16), c.as_uint16.has_value());
    EXPECT_EQ(uint16, c.as_uint16.value_or(99));
  }
}

TEST(ProfileTextTest, SplitsAtCommaRunsAndComparesIgnoringAsciiCase) {
  using Items = std::vector<std::wstring_view>;
  EXPECT_EQ(SplitAtCommas(L"trusted,,untrusted"), (Items{L"trusted", L"untrusted"}));
  EXPECT_EQ(SplitAtCommas(L",a, b"), (Items{L"", L"a", L" b"}));
  EXPECT_EQ(SplitAtCommas(L"a,,"), (Items{L"a", L""}));
  EXPECT_TRUE(EqualsIgnoreCase(L"Trusted", L"tRUSTED"));
  EXPECT_FALSE(EqualsIgnoreCase(L"all ", L"all"));
  EXPECT_FALSE(EqualsIgnoreCase(L"\x00C4", L"\x00E4"));  // only ASCII folds
}

}  // namespace
}  // namespace orv::config
