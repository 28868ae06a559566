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

std::string Code(OB_STATUSCODE status) { return std::to_string(static_cast<unsigned>(status)); }

TEST(IDNUtils, PunycodeDecodesRfc3492SamplesAndRejectsBadInput) {
  struct Case {
    std::string input;
    std::size_t capacity;
    OB_STATUSCODE status;
    CodePoints points;  // checked on success
  };
  const std::vector<Case> cases = {
      {"egbpdaj6bu4bxfgehfvwxn",
       300,
       kObSuccess,
       {0x644, 0x64A, 0x647, 0x645, 0x627, 0x628, 0x62A, 0x643, 0x644, 0x645, 0x648, 0x634, 0x639,
        0x631, 0x628, 0x64A, 0x61F}},
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
  for (const Case& c : cases) {
    CodePoints points(c.capacity);
    std::size_t count = points.size();
    EXPECT_EQ(IDNUtils::punycodeDecode(c.input.data(), c.input.size(), points.data(), &count),
              c.status)
        << c.input;
    if (c.status == kObSuccess) {
      points.resize(count);
      EXPECT_EQ(points, c.points) << c.input;
    }
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
      {{0x61, 0x10000}, 2, kObTextTooLong},
      {{0x61, 0x62}, 1, kObTextTooLong},
      {{0xDFFF}, 4, kObBadArgument},
      {{0x110000}, 4, kObBadArgument},
      {{}, 4, kObBadArgument},
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

TEST(IDNUtils, DecodesPunycodeLabelsWithinTheNameAndLabelLimits) {
  const std::string label62(62, 'a');
  const std::string name253 = label62 + "." + label62 + "." + label62 + "." + label62 + ".b";
  // The result limit counts UTF-16 units: 25 emoji (28 Punycode characters) become 50 units.
  const std::string emoji = "xn--e28h" + std::string(24, 'a');
  const std::string grows = emoji + "." + emoji + "." + emoji + "." + emoji;  // 203 units
  struct Case {
    std::string name;
    OB_STATUSCODE status;
    std::wstring decoded;  // checked on success
  };
  const std::vector<Case> cases = {
      {"xn--bcher-kva.example.com", kObSuccess, L"b\u00fccher.example.com"},
      {"XN--MNCHEN-3YA.de", kObSuccess, L"M\u00fcNCHEN.de"},  // basic letters keep their case
      {"www.xn--ihqwcrb4cv8a8dqg056pqjye.cn", kObSuccess,
       L"www.\u4ed6\u4eec\u4e3a\u4ec0\u4e48\u4e0d\u8bf4\u4e2d\u6587.cn"},
      {"example.com.", kObSuccess, L"example.com."},
      {"a..b", kObSuccess, L"a..b"},
      {"xn-bcher.com", kObSuccess, L"xn-bcher.com"},
      {name253, kObSuccess, std::wstring(name253.begin(), name253.end())},
      {name253 + "c", kObTextTooLong, L""},
      {std::string(63, 'a') + ".com", kObTextTooLong, L""},
      {"com." + std::string(63, 'a'), kObTextTooLong, L""},
      {"", kObBadArgument, L""},
      {grows + "." + std::string(50, 'z'), kObTextTooLong, L""},
  };
  for (const Case& c : cases) {
    std::wstring out;
    EXPECT_EQ(Decode(c.name, out), c.status) << c.name;
    if (c.status == kObSuccess) {
      EXPECT_EQ(out, c.decoded) << c.name;
    }
  }
  std::wstring out;
  EXPECT_EQ(Decode(grows + "." + std::string(49, 'z'), out), kObSuccess);
  EXPECT_EQ(OBRuntime::Utf16Length(out), 253u);
  EXPECT_EQ(IDNUtils::DecodeIDN(nullptr, 3, out), kObBadArgument);
}

TEST(IDNUtils, LabelFailuresAreLoggedWithTheInnerStatus) {
  struct Case {
    std::string label;
    std::string inner;  // empty: refused before decoding
  };
  const std::vector<Case> cases = {
      {"xn--", ""},
      {"xn--bcher-kv!", "IDNUtils::punycodeDecode failed [" + Code(kObBadArgument) + "]"},
      {"xn--999999999", "IDNUtils::punycodeDecode failed [" + Code(kObOverflow) + "]"},
      {"xn--ib9b", "IDNUtils::convert32BitToUTF16 failed [" + Code(kObBadArgument) + "]"},
      // 32 supplementary characters need 64 UTF-16 units, one more than a label may have.
      {"xn--e28h" + std::string(31, 'a'),
       "IDNUtils::convert32BitToUTF16 failed [" + Code(kObTextTooLong) + "]"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    std::wstring out;
    EXPECT_EQ(Decode(c.label + ".com", out), kObFailure) << c.label;
    const OB_STATUSCODE label_status = c.inner.empty() ? kObBadArgument : kObFailure;
    EXPECT_TRUE(log.Has(LOG_ERROR, "IDNUtils::DecodeIDN",
                        "IDNUtils::decodeIDNLabel failed [" + Code(label_status) + "]"));
    if (!c.inner.empty()) {
      EXPECT_TRUE(log.Has(LOG_ERROR, "IDNUtils::decodeIDNLabel", c.inner)) << c.label;
    }
  }
  std::wstring label;
  EXPECT_EQ(IDNUtils::decodeIDNLabel("xn--dn32g", 9, label), kObSuccess);
  EXPECT_EQ(label, L"\U0010FFFF");
}

}  // namespace
