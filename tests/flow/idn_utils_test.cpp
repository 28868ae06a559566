#include "flow/idn_utils.h"

#include <gtest/gtest.h>

#include "runtime/text.h"
#include "support/log_capture.h"

namespace {

using CodePoints = std::vector<std::uint32_t>;

std::string Code(OB_STATUSCODE status) { return std::to_string(static_cast<unsigned>(status)); }

TEST(IDNUtils, PunycodeDecodesAndRejectsBadInput) {
  // Input, output capacity, status, code points (on success). The first is a sample of RFC 3492;
  // the failures: non-basic before the delimiter, an invalid digit, a truncated number, beyond
  // 0xFFFFFFFF, basic code points past the capacity, 257 past the cap.
  const CodePoints sample = {0x33, 0x5E74, 0x42, 0x7D44, 0x91D1, 0x516B, 0x5148, 0x751F};
  const std::vector<std::tuple<std::string, std::size_t, OB_STATUSCODE, CodePoints>> cases = {
      {"3B-ww4c5e180e575a65lsy2b", 300, kObSuccess, sample},
      {"ab-no82a", 300, kObSuccess, {0x61, 0x1F600, 0x62}},
      {"", 300, kObSuccess, {}},
      {"b\xC3\xBC-kva", 300, kObBadArgument, {}},
      {"bcher-kv!", 300, kObBadArgument, {}},
      {"bcher-k", 300, kObBadArgument, {}},
      {"999999999", 300, kObOverflow, {}},
      {"ab-kva", 1, kObBufferTooSmall, {}},
      {"tda" + std::string(256, 'a'), 300, kObBufferTooSmall, {}}};
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
      {{0x61, 0xFFFF, 0x10000, 0x10FFFF}, 6, kObSuccess, u"a\uFFFF\U00010000\U0010FFFF"},
      {{0x61, 0x10000}, 2, kObTextTooLong, {}},
      {{0x61, 0x62}, 1, kObTextTooLong, {}},
      {{0xDFFF}, 4, kObBadArgument, {}},
      {{0x110000}, 4, kObBadArgument, {}},
      {{}, 4, kObBadArgument, {}},
      {{0x61}, 0, kObBadArgument, {}}};
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

// Names within the name and label limits decode label by label; a label that fails is logged with
// the inner failure (none when it is refused before decoding).
TEST(IDNUtils, DecodesNamesWithinTheLimitsAndLogsLabelFailures) {
  const std::string label62(62, 'a');
  const std::string name253 = label62 + "." + label62 + "." + label62 + "." + label62 + ".b";
  // The result limit counts UTF-16 units: 25 emoji (28 Punycode characters) become 50 units.
  const std::string emoji = "xn--e28h" + std::string(24, 'a');
  const std::string grows = emoji + "." + emoji + "." + emoji + "." + emoji + ".";  // 204 units
  const std::string punycode = "IDNUtils::punycodeDecode failed [";
  const std::string utf16 = "IDNUtils::convert32BitToUTF16 failed [";
  // Name, status, decoded name (empty: 253 units), the inner failure logged. Basic letters keep
  // their case; 32 supplementary characters need 64 UTF-16 units, one more than a label may have.
  const std::vector<std::tuple<std::string, OB_STATUSCODE, std::wstring, std::string>> cases = {
      {"xn--bcher-kva.example.com", kObSuccess, L"b\u00fccher.example.com", ""},
      {"XN--MNCHEN-3YA.de", kObSuccess, L"M\u00fcNCHEN.de", ""},
      {"a..b.xn-bcher.xn--dn32g", kObSuccess, L"a..b.xn-bcher.\U0010FFFF", ""},
      {name253, kObSuccess, std::wstring(name253.begin(), name253.end()), ""},
      {grows + std::string(49, 'z'), kObSuccess, L"", ""},
      {name253 + "c", kObTextTooLong, L"", ""},
      {"com." + std::string(63, 'a'), kObTextTooLong, L"", ""},
      {grows + std::string(50, 'z'), kObTextTooLong, L"", ""},
      {"", kObBadArgument, L"", ""},
      {"xn--.com", kObFailure, L"", ""},
      {"xn--bcher-kv!.com", kObFailure, L"", punycode + Code(kObBadArgument) + "]"},
      {"xn--999999999.com", kObFailure, L"", punycode + Code(kObOverflow) + "]"},
      {"xn--ib9b.com", kObFailure, L"", utf16 + Code(kObBadArgument) + "]"},
      {"xn--e28h" + std::string(31, 'a'), kObFailure, L"", utf16 + Code(kObTextTooLong) + "]"}};
  for (const auto& [name, status, decoded, inner] : cases) {
    orv::test::LogCapture log;
    std::wstring out;
    EXPECT_EQ(IDNUtils::DecodeIDN(name.data(), name.size(), out), status) << name;
    if (status == kObSuccess && decoded.empty()) {
      EXPECT_EQ(OBRuntime::Utf16Length(out), 253u);
    } else {
      EXPECT_EQ(status == kObSuccess ? out : L"", decoded) << name;
    }
    const std::string label_status = Code(inner.empty() ? kObBadArgument : kObFailure);
    EXPECT_EQ(log.Has(LOG_ERROR, "IDNUtils::DecodeIDN",
                      "IDNUtils::decodeIDNLabel failed [" + label_status + "]"),
              status == kObFailure)
        << name;
    EXPECT_EQ(log.Has(LOG_ERROR, "IDNUtils::decodeIDNLabel", inner), !inner.empty()) << name;
  }
  std::wstring out;
  EXPECT_EQ(IDNUtils::DecodeIDN(nullptr, 3, out), kObBadArgument);
}

}  // namespace
