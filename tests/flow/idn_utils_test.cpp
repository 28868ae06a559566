#include "flow/idn_utils.h"

#include <gtest/gtest.h>

#include "runtime/text.h"
#include "support/log_capture.h"

namespace {

using CodePoints = std::vector<std::uint32_t>;

std::string Code(OB_STATUSCODE status) { return std::to_string(static_cast<unsigned>(status)); }

TEST(IDNUtils, PunycodeDecodesRfc3492SamplesAndRejectsBadInput) {
  // Input, output capacity, status, code points (on success).
  const std::vector<std::tuple<std::string, std::size_t, OB_STATUSCODE, CodePoints>> cases = {
      {"3B-ww4c5e180e575a65lsy2b",
       300,
       kObSuccess,
       {0x33, 0x5E74, 0x42, 0x7D44, 0x91D1, 0x516B, 0x5148, 0x751F}},
      {"-> $1.00 <--",
       300,
       kObSuccess,
       {0x2D, 0x3E, 0x20, 0x24, 0x31, 0x2E, 0x30, 0x30, 0x20, 0x3C, 0x2D}},
      {"ab-no82a", 300, kObSuccess, {0x61, 0x1F600, 0x62}},
      {"", 300, kObSuccess, {}},
      {"b\xC3\xBC-kva", 300, kObBadArgument, {}},  // non-basic before the delimiter
      {"bcher-kv!", 300, kObBadArgument, {}},      // invalid digit
      {"bcher-k", 300, kObBadArgument, {}},        // truncated number
      {"999999999", 300, kObOverflow, {}},         // beyond 0xFFFFFFFF
      {"ab-kva", 1, kObBufferTooSmall, {}},        // basic code points past the capacity
      {"bcher-kva", 5, kObBufferTooSmall, {}},     // six code points
      {"tda" + std::string(256, 'a'), 300, kObBufferTooSmall, {}},  // 257: past the 256 cap
  };
  for (const auto& [input, capacity, status, expected] : cases) {
    CodePoints points(capacity);
    std::size_t count = points.size();
    EXPECT_EQ(IDNUtils::punycodeDecode(input.data(), input.size(), points.data(), &count), status)
        << input;
    points.resize(status == kObSuccess ? count : 0);
    EXPECT_EQ(points, expected) << input;
  }
}

TEST(IDNUtils, ConvertsCodePointsToUtf16) {
  // Code points, output capacity, status, units (on success).
  const std::vector<std::tuple<CodePoints, std::size_t, OB_STATUSCODE, std::u16string>> cases = {
      {{0x61, 0xFFFF, 0x10000, 0x10FFFF},
       6,
       kObSuccess,
       {u'a', 0xFFFF, 0xD800, 0xDC00, 0xDBFF, 0xDFFF}},
      {{0x61, 0x10000}, 2, kObTextTooLong, {}},
      {{0x61, 0x62}, 1, kObTextTooLong, {}},
      {{0xDFFF}, 4, kObBadArgument, {}},
      {{0x110000}, 4, kObBadArgument, {}},
      {{}, 4, kObBadArgument, {}},
      {{0x61}, 0, kObBadArgument, {}},
  };
  for (const auto& [points, capacity, status, expected] : cases) {
    std::u16string out(capacity, u'\0');
    std::size_t count = capacity;
    const std::uint32_t none = 0;
    EXPECT_EQ(IDNUtils::convert32BitToUTF16(points.empty() ? &none : points.data(), points.size(),
                                            out.data(), &count),
              status);
    out.resize(status == kObSuccess ? count : 0);
    EXPECT_EQ(out, expected);
  }
}

TEST(IDNUtils, DecodesPunycodeLabelsWithinTheNameAndLabelLimits) {
  const std::string label62(62, 'a');
  const std::string name253 = label62 + "." + label62 + "." + label62 + "." + label62 + ".b";
  // The result limit counts UTF-16 units: 25 emoji (28 Punycode characters) become 50 units.
  const std::string emoji = "xn--e28h" + std::string(24, 'a');
  const std::string grows = emoji + "." + emoji + "." + emoji + "." + emoji + ".";  // 204 units
  const std::vector<std::tuple<std::string, OB_STATUSCODE, std::wstring>> cases = {
      {"xn--bcher-kva.example.com", kObSuccess, L"b\u00fccher.example.com"},
      {"XN--MNCHEN-3YA.de", kObSuccess, L"M\u00fcNCHEN.de"},  // basic letters keep their case
      {"www.xn--ihqwcrb4cv8a8dqg056pqjye.cn", kObSuccess,
       L"www.\u4ed6\u4eec\u4e3a\u4ec0\u4e48\u4e0d\u8bf4\u4e2d\u6587.cn"},
      {"a..b.", kObSuccess, L"a..b."},
      {"xn-bcher.com", kObSuccess, L"xn-bcher.com"},
      {name253, kObSuccess, std::wstring(name253.begin(), name253.end())},
      {name253 + "c", kObTextTooLong, L""},
      {std::string(63, 'a') + ".com", kObTextTooLong, L""},
      {"com." + std::string(63, 'a'), kObTextTooLong, L""},
      {"", kObBadArgument, L""},
      {grows + std::string(50, 'z'), kObTextTooLong, L""},
  };
  for (const auto& [name, status, decoded] : cases) {
    std::wstring out;
    EXPECT_EQ(IDNUtils::DecodeIDN(name.data(), name.size(), out), status) << name;
    EXPECT_EQ(status == kObSuccess ? out : L"", decoded) << name;
  }
  std::wstring out;
  const std::string fits = grows + std::string(49, 'z');
  EXPECT_EQ(IDNUtils::DecodeIDN(fits.data(), fits.size(), out), kObSuccess);
  EXPECT_EQ(OBRuntime::Utf16Length(out), 253u);
  EXPECT_EQ(IDNUtils::DecodeIDN(nullptr, 3, out), kObBadArgument);
}

TEST(IDNUtils, LabelFailuresAreLoggedWithTheInnerStatus) {
  // Label, the inner failure logged (none when refused before decoding).
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"xn--", ""},
      {"xn--bcher-kv!", "IDNUtils::punycodeDecode failed [" + Code(kObBadArgument) + "]"},
      {"xn--999999999", "IDNUtils::punycodeDecode failed [" + Code(kObOverflow) + "]"},
      {"xn--ib9b", "IDNUtils::convert32BitToUTF16 failed [" + Code(kObBadArgument) + "]"},
      // 32 supplementary characters need 64 UTF-16 units, one more than a label may have.
      {"xn--e28h" + std::string(31, 'a'),
       "IDNUtils::convert32BitToUTF16 failed [" + Code(kObTextTooLong) + "]"},
  };
  for (const auto& [label, inner] : cases) {
    orv::test::LogCapture log;
    std::wstring out;
    const std::string name = label + ".com";
    EXPECT_EQ(IDNUtils::DecodeIDN(name.data(), name.size(), out), kObFailure) << label;
    EXPECT_TRUE(log.Has(LOG_ERROR, "IDNUtils::DecodeIDN",
                        "IDNUtils::decodeIDNLabel failed [" +
                            Code(inner.empty() ? kObBadArgument : kObFailure) + "]"));
    EXPECT_EQ(log.Has(LOG_ERROR, "IDNUtils::decodeIDNLabel", inner), !inner.empty()) << label;
  }
  std::wstring label;
  EXPECT_EQ(IDNUtils::decodeIDNLabel("xn--dn32g", 9, label), kObSuccess);
  EXPECT_EQ(label, L"\U0010FFFF");
}

}  // namespace
