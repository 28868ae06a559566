#include "config/profile_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace orv::config {
namespace {

TEST(ProfileTextTest, ReadsNumbersLikeLexicalCast) {
  using Int32 = std::optional<std::int32_t>;
  using Uint16 = std::optional<std::uint16_t>;
  // Text, as a signed 32-bit number, as an unsigned 16-bit number (none: refused).
  const std::tuple<std::wstring, Int32, Uint16> cases[] = {
      {L"+45", 45, 45},
      {L"-1", -1, 65535},       // unsigned 16-bit wraps
      {L"-65536", -65536, {}},  // magnitude beyond 16 bits
      {L"-2147483648", INT32_MIN, {}},
      {L"2147483648", {}, {}},
      {L"", {}, {}},
      {L"-", {}, {}},
      {L" 5", {}, {}},
      {L"\x0665", {}, {}},  // a non-ASCII digit is no digit
  };
  for (const auto& [text, as_int32, as_uint16] : cases) {
    SCOPED_TRACE(std::string(text.begin(), text.end()));
    std::int32_t int32 = 99;
    std::uint16_t uint16 = 99;
    EXPECT_EQ(ReadInt32(text, int32), as_int32.has_value());
    EXPECT_EQ(int32, as_int32.value_or(99));
    EXPECT_EQ(ReadUint16(text, uint16), as_uint16.has_value());
    EXPECT_EQ(uint16, as_uint16.value_or(99));
  }
}

TEST(ProfileTextTest, SplitsAtCommaRunsAndComparesIgnoringAsciiCase) {
  using Items = std::vector<std::wstring_view>;
  EXPECT_EQ(SplitAtCommas(L",a,, b"), (Items{L"", L"a", L" b"}));
  EXPECT_EQ(SplitAtCommas(L"a,,"), (Items{L"a", L""}));
  EXPECT_TRUE(EqualsIgnoreCase(L"Trusted", L"tRUSTED"));
  EXPECT_FALSE(EqualsIgnoreCase(L"all ", L"all"));
  EXPECT_FALSE(EqualsIgnoreCase(L"\x00C4", L"\x00E4"));  // only ASCII folds
}

}  // namespace
}  // namespace orv::config
