#include "export/ipfix_defs.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "export/ipfix_test_support.h"
#include "support/log_capture.h"

namespace {

using orv::test::Bytes;
using orv::test::ExpectedBytes;

using Encoder = std::function<OB_STATUSCODE(std::uint8_t*, std::size_t, std::size_t&)>;

// Runs an encoder into a buffer of exactly capacity bytes; returns the bytes it reported.
Bytes Encode(const Encoder& encoder, std::size_t capacity, OB_STATUSCODE& status) {
  Bytes buffer(capacity + 1, 0xEE);  // one guard byte past the capacity
  std::size_t written = 12345;
  status = encoder(buffer.data(), capacity, written);
  EXPECT_EQ(buffer[capacity], 0xEE) << "wrote past the capacity";
  if (status != kObSuccess) {
    EXPECT_EQ(written, 12345u) << "reported bytes on failure";
    return {};
  }
  return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(written));
}

Bytes EncodeOk(const Encoder& encoder, std::size_t capacity = 70000) {
  OB_STATUSCODE status = kObFailure;
  Bytes out = Encode(encoder, capacity, status);
  EXPECT_EQ(status, kObSuccess);
  return out;
}

TEST(IpfixEncoders, VariableLengthTextUsesOneOrThreeLengthBytes) {
  struct Case {
    std::size_t length;
    Bytes prefix;
  };
  const std::vector<Case> cases = {{0, {0x00}},
                                   {1, {0x01}},
                                   {254, {0xFE}},
                                   {255, {0xFF, 0x00, 0xFF}},
                                   {300, {0xFF, 0x01, 0x2C}},
                                   {65535, {0xFF, 0xFF, 0xFF}}};
  for (const Case& c : cases) {
    const std::string narrow(c.length, 'x');
    const std::wstring wide(c.length, L'x');
    Bytes expected = c.prefix;
    expected.insert(expected.end(), narrow.begin(), narrow.end());
    EXPECT_EQ(EncodeOk([&](auto* d, auto n, auto& w) {
                return IPFIX_DEFS::PackVariableLengthData(d, n, std::string_view(narrow), w);
              }),
              expected)
        << c.length;
    EXPECT_EQ(EncodeOk([&](auto* d, auto n, auto& w) {
                return IPFIX_DEFS::PackVariableLengthData(d, n, std::wstring_view(wide), w);
              }),
              expected)
        << c.length;
  }
}

TEST(IpfixEncoders, WideTextGoesOutAsUtf8) {
  const Bytes out = EncodeOk([](auto* d, auto n, auto& w) {
    return IPFIX_DEFS::PackVariableLengthData(d, n, std::wstring_view(L"\u00e9\u4e2d\U0001F600"),
                                              w);
  });
  EXPECT_EQ(out, (Bytes{9, 0xC3, 0xA9, 0xE4, 0xB8, 0xAD, 0xF0, 0x9F, 0x98, 0x80}));
}

TEST(IpfixEncoders, TextTooLongForSixteenBitLengthIsRejected) {
  orv::test::LogCapture log;
  OB_STATUSCODE status = kObSuccess;
  const std::string text(65536, 'x');
  (void)Encode(
      [&](auto* d, auto n, auto& w) {
        return IPFIX_DEFS::PackVariableLengthData(d, n, std::string_view(text), w);
      },
      70000, status);
  EXPECT_EQ(status, kObFailure);
  EXPECT_TRUE(log.Contains("65536"));
}

TEST(IpfixEncoders, BasicListOfTextItemsUsesLongLengthForm) {
  const std::vector<std::wstring> items = {L"ab", L"c"};
  const IPFIX_DEFS::BasicListHeader header{0xB03C, 0xFFFF};
  const Bytes out = EncodeOk(
      [&](auto* d, auto n, auto& w) { return IPFIX_DEFS::PackBasicList(d, n, header, items, w); });
  EXPECT_EQ(out, (Bytes{0xFF, 0x00, 0x0E, 0x03, 0xB0, 0x3C, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x09,
                        0x02, 'a', 'b', 0x01, 'c'}));

  const std::vector<std::wstring> none;
  EXPECT_EQ(EncodeOk([&](auto* d, auto n, auto& w) {
              return IPFIX_DEFS::PackBasicList(d, n, header, none, w);
            }),
            (Bytes{0xFF, 0x00, 0x09, 0x03, 0xB0, 0x3C, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x09}));
}

TEST(IpfixEncoders, BasicListOfRawItemsHasNoItemPrefix) {
  const std::vector<std::string> items = {std::string("\x01\x02", 2), std::string("\x03\x04", 2)};
  const IPFIX_DEFS::BasicListHeader header{0xB03E, 2};
  EXPECT_EQ(
      EncodeOk([&](auto* d, auto n, auto& w) {
        return IPFIX_DEFS::PackBasicListRaw(d, n, header, items, w);
      }),
      (Bytes{0xFF, 0x00, 0x0D, 0x03, 0xB0, 0x3E, 0x00, 0x02, 0x00, 0x00, 0x00, 0x09, 1, 2, 3, 4}));
}

TEST(IpfixEncoders, IntegersAreBigEndian) {
  EXPECT_EQ(EncodeOk([](auto* d, auto n, auto& w) {
              return IPFIX_DEFS::pack(d, n, std::uint64_t{0x0102030405060708}, w);
            }),
            (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(EncodeOk([](auto* d, auto n, auto& w) {
              return IPFIX_DEFS::pack(d, n, std::uint32_t{0xA1B2C3D4}, w);
            }),
            (Bytes{0xA1, 0xB2, 0xC3, 0xD4}));
  EXPECT_EQ(EncodeOk([](auto* d, auto n, auto& w) {
              return IPFIX_DEFS::pack(d, n, std::uint16_t{0x1234}, w);
            }),
            (Bytes{0x12, 0x34}));
}

TEST(IpfixEncoders, HexIdentifierAcceptsOnlyLowercaseHex) {
  EXPECT_EQ(EncodeOk([](auto* d, auto n, auto& w) {
              return IPFIX_DEFS::StringToHexArray(d, n, std::string(40, 'f'), w);
            }),
            Bytes(20, 0xFF));
  EXPECT_EQ(EncodeOk([](auto* d, auto n, auto& w) {
              return IPFIX_DEFS::StringToHexArray(d, n, "0a1b9f", w);
            }),
            (Bytes{0x0A, 0x1B, 0x9F}));
  for (const char* bad : {"FF", "0g", "abc", "a b "}) {
    orv::test::LogCapture log;
    OB_STATUSCODE status = kObSuccess;
    (void)Encode(
        [&](auto* d, auto n, auto& w) { return IPFIX_DEFS::StringToHexArray(d, n, bad, w); }, 10,
        status);
    EXPECT_EQ(status, kObFailure) << bad;
    EXPECT_TRUE(log.Has(LOG_DEBUG, "IPFIX_DEFS::StringToHexArray",
                        "Passed string was not a valid hex string"))
        << bad;
  }
}

TEST(IpfixEncoders, AddressesParseToNetworkOrderOrFail) {
  std::string error;
  EXPECT_EQ(EncodeOk([&](auto* d, auto n, auto& w) {
              return IPFIX_DEFS::IPv4StringToHex(d, n, "192.168.1.20", w, error);
            }),
            (Bytes{192, 168, 1, 20}));
  Bytes v6(16, 0);
  v6[0] = 0x20;
  v6[1] = 0x01;
  v6[2] = 0x0d;
  v6[3] = 0xb8;
  v6[15] = 0x02;
  EXPECT_EQ(EncodeOk([&](auto* d, auto n, auto& w) {
              return IPFIX_DEFS::IPv6StringToHex(d, n, "2001:db8::2", w, error);
            }),
            v6);
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "::1", "300.1.1.1", "10.0.0.1 "}) {
    OB_STATUSCODE status = kObSuccess;
    error.clear();
    (void)Encode(
        [&](auto* d, auto n, auto& w) { return IPFIX_DEFS::IPv4StringToHex(d, n, bad, w, error); },
        16, status);
    EXPECT_EQ(status, kObFailure) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  OB_STATUSCODE status = kObSuccess;
  (void)Encode([&](auto* d, auto n,
                   auto& w) { return IPFIX_DEFS::IPv6StringToHex(d, n, "10.0.0.1", w, error); },
               16, status);
  EXPECT_EQ(status, kObFailure);
}

TEST(IpfixEncoders, EveryEncoderOneByteShortReportsBufferTooSmall) {
  const std::vector<std::wstring> items = {L"ab", L"c"};
  const std::vector<std::string> raw = {"12", "34"};
  std::string error;
  const std::vector<std::pair<const char*, Encoder>> encoders = {
      {"u8", [](auto* d, auto n, auto& w) { return IPFIX_DEFS::pack(d, n, std::uint8_t{1}, w); }},
      {"u16", [](auto* d, auto n, auto& w) { return IPFIX_DEFS::pack(d, n, std::uint16_t{1}, w); }},
      {"u32", [](auto* d, auto n, auto& w) { return IPFIX_DEFS::pack(d, n, std::uint32_t{1}, w); }},
      {"u64", [](auto* d, auto n, auto& w) { return IPFIX_DEFS::pack(d, n, std::uint64_t{1}, w); }},
      {"narrow",
       [](auto* d, auto n, auto& w) { return IPFIX_DEFS::pack(d, n, std::string_view("abc"), w); }},
      {"wide", [](auto* d, auto n,
                  auto& w) { return IPFIX_DEFS::pack(d, n, std::wstring_view(L"a\u00e9"), w); }},
      {"var short",
       [](auto* d, auto n, auto& w) {
         return IPFIX_DEFS::PackVariableLengthData(d, n, std::string_view("abc"), w);
       }},
      {"var long",
       [](auto* d, auto n, auto& w) {
         return IPFIX_DEFS::PackVariableLengthData(d, n, std::string_view(std::string(300, 'a')),
                                                   w);
       }},
      {"var wide",
       [](auto* d, auto n, auto& w) {
         return IPFIX_DEFS::PackVariableLengthData(d, n, std::wstring_view(L"\u00e9\u00e9"), w);
       }},
      {"empty var",
       [](auto* d, auto n, auto& w) {
         return IPFIX_DEFS::PackVariableLengthData(d, n, std::string_view(), w);
       }},
      {"hex", [](auto* d, auto n,
                 auto& w) { return IPFIX_DEFS::StringToHexArray(d, n, std::string(40, 'a'), w); }},
      {"ipv4", [&](auto* d, auto n,
                   auto& w) { return IPFIX_DEFS::IPv4StringToHex(d, n, "1.2.3.4", w, error); }},
      {"ipv6", [&](auto* d, auto n,
                   auto& w) { return IPFIX_DEFS::IPv6StringToHex(d, n, "::1", w, error); }},
      {"list",
       [&](auto* d, auto n, auto& w) {
         return IPFIX_DEFS::PackBasicList(d, n, {0xB03C, 0xFFFF}, items, w);
       }},
      {"raw list",
       [&](auto* d, auto n, auto& w) {
         return IPFIX_DEFS::PackBasicListRaw(d, n, {0xB03E, 2}, raw, w);
       }},
      {"message header",
       [](auto* d, auto n, auto& w) { return IPFIX_PCKT_HDR(16, 1, 127, 0).Serialize(d, n, w); }},
      {"set header",
       [](auto* d, auto n, auto& w) { return IPFIX_SET_HEADER(2, 4).Serialize(d, n, w); }},
      {"template header",
       [](auto* d, auto n, auto& w) { return IPFIX_TEMPLATE_HEADER(262, 7).Serialize(d, n, w); }},
      {"iana",
       [](auto* d, auto n, auto& w) { return CIPFIXFieldSpecifierIANA(4, 1).Serialize(d, n, w); }},
      {"enterprise",
       [](auto* d, auto n, auto& w) {
         return CIPFIXFieldSpecifierVARNO(12332, 20, 9).Serialize(d, n, w);
       }},
  };
  for (const auto& [name, encoder] : encoders) {
    const std::size_t size = EncodeOk(encoder).size();
    ASSERT_GT(size, 0u) << name;
    OB_STATUSCODE status = kObSuccess;
    (void)Encode(encoder, size - 1, status);
    EXPECT_EQ(status, kObBufferTooSmall) << name;
    EXPECT_EQ(Encode(encoder, size, status).size(), size) << name;
  }
}

TEST(IpfixHeaders, SerialiseFieldByFieldInWireOrder) {
  EXPECT_EQ(EncodeOk([](auto* d, auto n, auto& w) {
              return IPFIX_PCKT_HDR(488, 0x01020304, 127, 0x5F000000).Serialize(d, n, w);
            }),
            ExpectedBytes().U16(10).U16(488).U32(0x5F000000).U32(0x01020304).U32(127).bytes());
  EXPECT_EQ(EncodeOk([](auto* d, auto n, auto& w) {
              return IPFIX_SET_HEADER(2, 472).Serialize(d, n, w);
            }),
            (Bytes{0x00, 0x02, 0x01, 0xD8}));
  EXPECT_EQ(EncodeOk([](auto* d, auto n, auto& w) {
              return IPFIX_TEMPLATE_HEADER(268, 25).Serialize(d, n, w);
            }),
            (Bytes{0x01, 0x0C, 0x00, 0x19}));
  EXPECT_EQ(EncodeOk([](auto* d, auto n, auto& w) {
              return CIPFIXFieldSpecifierVARNO(12332, 20, 9).Serialize(d, n, w);
            }),
            (Bytes{0xB0, 0x2C, 0x00, 0x14, 0x00, 0x00, 0x00, 0x09}));
  EXPECT_EQ(EncodeOk([](auto* d, auto n, auto& w) {
              return CIPFIXFieldSpecifierIANA(4, 1).Serialize(d, n, w);
            }),
            (Bytes{0x00, 0x04, 0x00, 0x01}));
}

TEST(IpfixMessageCounter, CountsDataRecordsAndExportTimeIsNow) {
  const std::uint32_t first = IPFIX_DEFS::NextSequenceNumber(3);
  EXPECT_GE(first, 1u);
  EXPECT_EQ(IPFIX_DEFS::NextSequenceNumber(0), first + 3);
  EXPECT_EQ(IPFIX_DEFS::PeekSequenceNumber(), first + 3);
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  EXPECT_LE(now - IPFIX_DEFS::ExportTime() + 1, 2u);  // within a second either way
}

}  // namespace
