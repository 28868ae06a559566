#include "flow/idn_utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/text.h"
#include "support/log_capture.h"

namespace {

using orv::test::LogCapture;
using CodePoints = std::vector<std::uint32_t>;

OB_STATUSCODE Decode(const std::string& name, std::wstring& out) {
  return IDNUtils::DecodeIDN(name.data(), name.size(), out);
}

// Code points of input, or empty with status set on failure.
CodePoints Punycode(const std::string& input, OB_STATUSCODE& status, std::size_t capacity = 300) {
  CodePoints points(capacity);
  std::size_t count = points.size();
  status = IDNUtils::punycodeDecode(input.data(), input.size(), points.data(), &count);
  points.resize(status == kObSuccess ? count : 0);
  return points;
}

TEST(IDNUtils, PunycodeDecodesRfc3492Samples) {
  struct Case {
    const char* encoded;
    CodePoints points;
  };
  const std::vector<Case> cases = {
      {"egbpdaj6bu4bxfgehfvwxn",
       {0x644, 0x64A, 0x647, 0x645, 0x627, 0x628, 0x62A, 0x643, 0x644, 0x645, 0x648, 0x634, 0x639,
        0x631, 0x628, 0x64A, 0x61F}},
      {"ihqwcrb4cv8a8dqg056pqjye",
       {0x4ED6, 0x4EEC, 0x4E3A, 0x4EC0, 0x4E48, 0x4E0D, 0x8BF4, 0x4E2D, 0x6587}},
      {"3B-ww4c5e180e575a65lsy2b", {0x33, 0x5E74, 0x42, 0x7D44, 0x91D1, 0x516B, 0x5148, 0x751F}},
      {"-> $1.00 <--", {0x2D, 0x3E, 0x20, 0x24, 0x31, 0x2E, 0x30, 0x30, 0x20, 0x3C, 0x2D}},
      {"ab-no82a", {0x61, 0x1F600, 0x62}},
      {"", {}},
  };
  for (const Case& c : cases) {
    OB_STATUSCODE status = kObFailure;
    EXPECT_EQ(Punycode(c.encoded, status), c.points) << c.encoded;
    EXPECT_EQ(status, kObSuccess) << c.encoded;
  }
}

TEST(IDNUtils, PunycodeRejectsBadInput) {
  struct Case {
    std::string input;
    std::size_t capacity;
    OB_STATUSCODE status;
  };
  const std::vector<Case> cases = {
      {"b\xC3\xBC-kva", 300, kObBadArgument},  // non-basic before the delimiter
      {"bcher-kv!", 300, kObBadArgument},      // invalid digit
      {"bcher-k", 300, kObBadArgument},        // truncated number
      {"-", 300, kObBadArgument},              // a leading delimiter is a digit, and invalid
      {"999999999", 300, kObOverflow},         // beyond 0xFFFFFFFF
      {"bcher-kva", 5, kObBufferTooSmall},     // six code points
      {"bcher-kva", 6, kObSuccess},
      {"tda" + std::string(255, 'a'), 300, kObSuccess},         // 256 code points
      {"tda" + std::string(256, 'a'), 300, kObBufferTooSmall},  // 257: past the 256 cap
  };
  for (const Case& c : cases) {
    OB_STATUSCODE status = kObSuccess;
    static_cast<void>(Punycode(c.input, status, c.capacity));
    EXPECT_EQ(status, c.status) << c.input;
  }
}

TEST(IDNUtils, ConvertsCodePointsToUtf16) {
  const CodePoints points = {0x61, 0xFFFF, 0x10000, 0x10FFFF};
  std::u16string units(6, u'\0');
  std::size_t count = units.size();
  ASSERT_EQ(IDNUtils::convert32BitToUTF16(points.data(), points.size(), units.data(), &count),
            kObSuccess);
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(units, (std::u16string{u'a', 0xFFFF, 0xD800, 0xDC00, 0xDBFF, 0xDFFF}));

  struct Case {
    CodePoints points;
    std::size_t capacity;
    OB_STATUSCODE status;
  };
  const std::vector<Case> cases = {
      {{0x61, 0x10000}, 2, kObTextTooLong}, {{0x61, 0x62}, 1, kObTextTooLong},
      {{0xD800}, 4, kObBadArgument},        {{0xDFFF}, 4, kObBadArgument},
      {{0x110000}, 4, kObBadArgument},      {{}, 4, kObBadArgument},
      {{0x61}, 0, kObBadArgument},
  };
  for (const Case& c : cases) {
    std::u16string out(4, u'\0');
    std::size_t capacity = c.capacity;
    const std::uint32_t none = 0;
    EXPECT_EQ(IDNUtils::convert32BitToUTF16(c.points.empty() ? &none : c.points.data(),
                                            c.points.size(), out.data(), &capacity),
              c.status);
  }
}

TEST(IDNUtils, DecodesPunycodeLabelsAndWidensTheOthers) {
  struct Case {
    const char* name;
    const wchar_t* decoded;
  };
  const std::vector<Case> cases = {
      {"xn--bcher-kva.example.com", L"b\u00fccher.example.com"},
      {"XN--MNCHEN-3YA.de", L"M\u00fcNCHEN.de"},  // basic letters keep their case
      {"www.xn--ihqwcrb4cv8a8dqg056pqjye.cn",
       L"www.\u4ed6\u4eec\u4e3a\u4ec0\u4e48\u4e0d\u8bf4\u4e2d\u6587.cn"},
      {"xn--ab-no82a", L"a\U0001F600b"},
      {"www.example.com", L"www.example.com"},
      {"example.com.", L"example.com."},
      {"a..b", L"a..b"},
      {"xn-bcher.com", L"xn-bcher.com"},
  };
  for (const Case& c : cases) {
    std::wstring out;
    EXPECT_EQ(Decode(c.name, out), kObSuccess) << c.name;
    EXPECT_EQ(out, c.decoded) << c.name;
  }
}

TEST(IDNUtils, EnforcesNameAndLabelLimits) {
  const std::string label62(62, 'a');
  // 62 + 1 + 62 + 1 + 62 + 1 + 62 + 1 + 1 = 253 characters.
  const std::string name253 = label62 + "." + label62 + "." + label62 + "." + label62 + ".b";
  ASSERT_EQ(name253.size(), 253u);
  std::wstring out;
  EXPECT_EQ(Decode(name253, out), kObSuccess);
  EXPECT_EQ(out.size(), 253u);
  EXPECT_EQ(Decode(name253 + "c", out), kObTextTooLong);
  EXPECT_EQ(Decode(std::string(63, 'a') + ".com", out), kObTextTooLong);
  EXPECT_EQ(Decode("com." + std::string(63, 'a'), out), kObTextTooLong);
  EXPECT_EQ(Decode("", out), kObBadArgument);
  EXPECT_EQ(IDNUtils::DecodeIDN(nullptr, 3, out), kObBadArgument);
  EXPECT_TRUE(out.empty());
  // The result limit counts UTF-16 units: 25 emoji (28 Punycode characters) become 50 units.
  const std::string emoji = "xn--e28h" + std::string(24, 'a');
  std::string grows = emoji;
  for (int i = 0; i < 3; ++i) grows += "." + emoji;  // 4 * 50 + 3 = 203 units
  EXPECT_EQ(Decode(grows + "." + std::string(49, 'z'), out), kObSuccess);
  EXPECT_EQ(OBRuntime::Utf16Length(out), 253u);
  EXPECT_EQ(Decode(grows + "." + std::string(50, 'z'), out), kObTextTooLong);
}

TEST(IDNUtils, ReportsLabelFailures) {
  std::wstring label;
  EXPECT_EQ(IDNUtils::decodeIDNLabel("xn--", 4, label), kObBadArgument);
  {
    LogCapture log;
    std::wstring out;
    EXPECT_EQ(Decode("xn--.com", out), kObFailure);
    EXPECT_TRUE(log.Has(LOG_ERROR, "IDNUtils::DecodeIDN",
                        "IDNUtils::decodeIDNLabel failed [" +
                            std::to_string(static_cast<unsigned>(kObBadArgument)) + "]"));
  }
  struct Case {
    const char* label;
    const char* inner;
    OB_STATUSCODE inner_status;
  };
  const std::vector<Case> cases = {
      {"xn--bcher-kv!", "IDNUtils::punycodeDecode failed", kObBadArgument},
      {"xn--999999999", "IDNUtils::punycodeDecode failed", kObOverflow},
      {"xn--ib9b", "IDNUtils::convert32BitToUTF16 failed", kObBadArgument},   // U+D800
      {"xn--en32g", "IDNUtils::convert32BitToUTF16 failed", kObBadArgument},  // 0x110000
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_EQ(IDNUtils::decodeIDNLabel(c.label, std::strlen(c.label), label), kObFailure);
    EXPECT_TRUE(log.Has(
        LOG_ERROR, "IDNUtils::decodeIDNLabel",
        std::string(c.inner) + " [" + std::to_string(static_cast<unsigned>(c.inner_status)) + "]"))
        << c.label;
  }
  // 32 supplementary characters need 64 UTF-16 units, one more than a label may have.
  const std::string too_wide = "xn--e28h" + std::string(31, 'a');
  LogCapture log;
  EXPECT_EQ(IDNUtils::decodeIDNLabel(too_wide.data(), too_wide.size(), label), kObFailure);
  EXPECT_TRUE(log.Has(LOG_ERROR, "IDNUtils::decodeIDNLabel",
                      "IDNUtils::convert32BitToUTF16 failed [" +
                          std::to_string(static_cast<unsigned>(kObTextTooLong)) + "]"));
  EXPECT_EQ(IDNUtils::decodeIDNLabel("xn--dn32g", 9, label), kObSuccess);
  EXPECT_EQ(label, L"\U0010FFFF");
}

}  // namespace
