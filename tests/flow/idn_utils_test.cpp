#include "flow/idn_utils.h"

#include <gtest/gtest.h>

#include "runtime/text.h"
#include "support/log_capture.h"

namespace {

std::string Code(OB_STATUSCODE status) { return std::to_string(static_cast<unsigned>(status)); }

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
