// The datagram builder is checked against offsets written out here, and the parser against bytes
// placed here by hand, so a shared mistake in the two cannot hide.
#include "driver/kdf_message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "driver/flow_datagram_builder.h"
#include "flow/synthetic_flow_source.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint64_t LittleEndian(const std::uint8_t* p, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

void Put(Bytes& bytes, std::size_t offset, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

KdfFlowData SampleIpv4Flow() {
  KdfFlowData flow;
  flow.local = {2, 51000, {192, 168, 1, 20}, 0, {}};
  flow.remote = {2, 443, {93, 184, 216, 34}, 0, {}};
  flow.host_name = "www.example.com";
  flow.address_family = 2;
  flow.protocol = 6;
  flow.bytes_in = 0x0102030405060708ULL;
  flow.bytes_out = 4000;
  flow.pid = 4321;
  flow.parent_pid = 1;
  flow.flow_start = 1767000000;
  flow.flow_end = 1767000060;
  flow.process_hash.fill(0xAB);
  flow.process_path = u"/usr/bin/curl";
  flow.parent_hash.fill(0xCD);
  flow.parent_path = u"/usr/bin/b\u00e4sh";
  flow.direction = 1;
  flow.report_kind = 2;
  return flow;
}

TEST(KdfFlowDatagramBuilder, WritesEveryFieldAtItsOffset) {
  const KdfFlowDatagram d = BuildKdfFlowDatagram(SampleIpv4Flow());
  EXPECT_EQ(LittleEndian(&d[0], 2), 1439u);
  EXPECT_EQ(d[2], 1);
  EXPECT_EQ(d[3], 1);
  EXPECT_EQ(LittleEndian(&d[4], 2), 2u);
  EXPECT_EQ(d[6], 51000 >> 8);  // port in network byte order
  EXPECT_EQ(d[7], 51000 & 0xFF);
  EXPECT_EQ(Bytes(&d[8], &d[12]), (Bytes{192, 168, 1, 20}));
  EXPECT_EQ(LittleEndian(&d[32], 2), 2u);
  EXPECT_EQ(d[34], 0x01);
  EXPECT_EQ(d[35], 0xBB);
  EXPECT_EQ(Bytes(&d[36], &d[40]), (Bytes{93, 184, 216, 34}));
  EXPECT_STREQ(reinterpret_cast<const char*>(&d[60]), "www.example.com");
  EXPECT_EQ(LittleEndian(&d[316], 4), 2u);
  EXPECT_EQ(LittleEndian(&d[320], 4), 6u);
  EXPECT_EQ(LittleEndian(&d[324], 8), 0x0102030405060708ULL);
  EXPECT_EQ(LittleEndian(&d[332], 8), 4000u);
  EXPECT_EQ(LittleEndian(&d[348], 4), 4321u);
  EXPECT_EQ(LittleEndian(&d[352], 4), 1u);
  EXPECT_EQ(LittleEndian(&d[356], 4), 1767000000u);
  EXPECT_EQ(LittleEndian(&d[360], 4), 1767000060u);
  EXPECT_EQ(d[364], 0xAB);
  EXPECT_EQ(d[395], 0xAB);
  EXPECT_EQ(LittleEndian(&d[396], 2), 26u);
  EXPECT_EQ(d[398], '/');
  EXPECT_EQ(d[399], 0);
  EXPECT_EQ(d[398 + 2 * 12], 'l');
  EXPECT_EQ(d[690], 0xCD);
  EXPECT_EQ(d[721], 0xCD);
  EXPECT_EQ(LittleEndian(&d[722], 2), 26u);
  EXPECT_EQ(LittleEndian(&d[724 + 2 * 10], 2), 0xE4u);
  EXPECT_EQ(d[1016], 1);
  EXPECT_EQ(LittleEndian(&d[1017], 4), 2u);
  for (std::size_t i = 1021; i < d.size(); ++i) ASSERT_EQ(d[i], 0) << i;
}

TEST(KdfFlowDatagramBuilder, PlacesIpv6AddressesAfterFlowInformation) {
  KdfFlowData flow = SampleIpv4Flow();
  flow.address_family = 23;
  flow.local.family = 23;
  flow.local.ipv6_flow_info = 0x11223344;
  flow.local.ipv6 = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
  flow.remote.ipv6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const KdfFlowDatagram d = BuildKdfFlowDatagram(flow);
  EXPECT_EQ(LittleEndian(&d[8], 4), 0x11223344u);
  EXPECT_EQ(d[12], 0xfe);
  EXPECT_EQ(d[27], 9);
  EXPECT_EQ(d[40], 0x20);
  EXPECT_EQ(d[55], 1);
  EXPECT_EQ(LittleEndian(&d[28], 4), 0u);  // scope
  EXPECT_EQ(LittleEndian(&d[316], 4), 23u);
}

TEST(KdfPidInfoDatagramBuilder, WritesHeaderAndProcessId) {
  KdfPidInfo info;
  info.pid = 0x01020304;
  const KdfPidInfoDatagram d = BuildKdfPidInfoDatagram(info);
  EXPECT_EQ(Bytes(d.begin(), d.end()), (Bytes{8, 0, 1, 2, 4, 3, 2, 1}));
}

TEST(KdfMessageParser, ReadsHandPlacedFields) {
  Bytes m(1439, 0);
  Put(m, 0, 1439, 2);
  m[2] = 1;
  m[3] = 1;
  Put(m, 4, 23, 2);
  m[6] = 0x1F;  // port 8080
  m[7] = 0x90;
  Put(m, 8, 0xCAFE, 4);
  m[12] = 0x20;
  m[27] = 0x05;
  Put(m, 32, 23, 2);
  m[34] = 0;
  m[35] = 53;
  m[40] = 0xff;
  m[55] = 0x01;
  std::memcpy(&m[60], "xn--bcher-kva.example", 21);
  Put(m, 316, 23, 4);
  Put(m, 320, 17, 4);
  Put(m, 324, 1234567890123ULL, 8);
  Put(m, 332, 99, 8);
  Put(m, 340, 0xFFFFFFFFFFFFFFFFULL, 8);  // not read
  Put(m, 348, 777, 4);
  Put(m, 352, 778, 4);
  Put(m, 356, 100, 4);
  Put(m, 360, 200, 4);
  m[364] = 0x5A;
  Put(m, 396, 4, 2);
  Put(m, 398, 'a', 2);
  Put(m, 400, 0xD83D, 2);
  m[690 + 31] = 0x7E;
  Put(m, 722, 2, 2);
  Put(m, 724, 'p', 2);
  m[1016] = 7;
  Put(m, 1017, 0x01020304, 4);

  KdfFlowData flow;
  ASSERT_EQ(ParseKdfFlowData(m, flow), kObSuccess);
  EXPECT_EQ(flow.header.total_length, 1439);
  EXPECT_EQ(flow.local.family, 23);
  EXPECT_EQ(flow.local.port, 8080);
  EXPECT_EQ(flow.local.ipv6_flow_info, 0xCAFEu);
  EXPECT_EQ(flow.local.ipv6[0], 0x20);
  EXPECT_EQ(flow.local.ipv6[15], 0x05);
  EXPECT_EQ(flow.remote.port, 53);
  EXPECT_EQ(flow.remote.Address(false).to_string(), "ff00::1");
  EXPECT_EQ(flow.host_name, "xn--bcher-kva.example");
  EXPECT_FALSE(flow.IsIPv4());
  EXPECT_EQ(flow.protocol, 17u);
  EXPECT_EQ(flow.bytes_in, 1234567890123ULL);
  EXPECT_EQ(flow.bytes_out, 99u);
  EXPECT_EQ(flow.pid, 777u);
  EXPECT_EQ(flow.parent_pid, 778u);
  EXPECT_EQ(flow.flow_start, 100u);
  EXPECT_EQ(flow.flow_end, 200u);
  EXPECT_EQ(flow.process_hash[0], 0x5A);
  EXPECT_EQ(flow.process_path, (std::u16string{u'a', char16_t{0xD83D}}));
  EXPECT_EQ(flow.parent_hash[31], 0x7E);
  EXPECT_EQ(flow.parent_path, u"p");
  EXPECT_EQ(flow.direction, 7);
  EXPECT_EQ(flow.report_kind, 0x01020304u);

  Bytes pid = {8, 0, 1, 2, 0x10, 0x20, 0, 0};
  KdfPidInfo info;
  ASSERT_EQ(ParseKdfPidInfo(pid, info), kObSuccess);
  EXPECT_EQ(info.header.total_length, 8);
  EXPECT_EQ(info.header.type, 2);
  EXPECT_EQ(info.pid, 0x2010u);
}

// Stated lengths beyond a field are clamped to the field, rounded down to whole units, and an
// unterminated host name stops at the end of its field.
TEST(KdfMessageParser, BoundsPathsAndHostName) {
  struct Case {
    std::uint16_t stated;
    std::size_t units;
  };
  const Case cases[] = {{0, 0}, {1, 0}, {3, 1}, {292, 146}, {293, 146}, {0xFFFF, 146}};
  for (const Case& c : cases) {
    const KdfFlowDatagram built = BuildKdfFlowDatagram(SampleIpv4Flow());
    Bytes m(built.begin(), built.end());
    std::memset(&m[60], 'h', 256);  // no terminator
    for (std::size_t i = 398; i < 690; ++i) m[i] = 'x';
    Put(m, 396, c.stated, 2);
    Put(m, 722, c.stated, 2);
    KdfFlowData flow;
    ASSERT_EQ(ParseKdfFlowData(m, flow), kObSuccess);
    EXPECT_EQ(flow.host_name, std::string(256, 'h'));
    EXPECT_EQ(flow.process_path.size(), c.units) << c.stated;
    EXPECT_EQ(flow.parent_path.size(), c.units) << c.stated;
    if (c.units == 146) {
      EXPECT_EQ(flow.process_path.back(), u'\u7878');  // still inside its own field
      EXPECT_EQ(flow.parent_hash, SampleIpv4Flow().parent_hash);
    }
  }
}

TEST(KdfMessageParser, RejectsWrongSizes) {
  KdfFlowData flow;
  const Bytes short_message(1438, 0);
  const Bytes long_message(1440, 0);
  EXPECT_EQ(ParseKdfFlowData(short_message, flow), kObBadArgument);
  EXPECT_EQ(ParseKdfFlowData(long_message, flow), kObBadArgument);
  KdfPidInfo info;
  EXPECT_EQ(ParseKdfPidInfo(Bytes(7, 0), info), kObBadArgument);
  KdfMessageHeader header;
  EXPECT_EQ(ParseKdfHeader(Bytes(3, 0), header), kObBadArgument);
}

TEST(KdfMessageParser, RoundTripsSyntheticFlows) {
  SyntheticFlowSource source(42, 50);
  for (int i = 0; i < 200; ++i) {
    const KdfFlowData flow = source.NextFlow(1767000000);
    const KdfFlowDatagram d = BuildKdfFlowDatagram(flow);
    KdfFlowData parsed;
    ASSERT_EQ(ParseKdfFlowData(d, parsed), kObSuccess);
    // The builder writes only the address form of the flow's family.
    KdfFlowData expected = flow;
    if (expected.IsIPv4()) {
      expected.local.ipv6 = {};
      expected.remote.ipv6 = {};
      expected.local.ipv6_flow_info = LittleEndian(flow.local.ipv4.data(), 4);
      expected.remote.ipv6_flow_info = LittleEndian(flow.remote.ipv4.data(), 4);
    } else {
      expected.local.ipv4 = {};
      expected.remote.ipv4 = {};
    }
    ASSERT_EQ(parsed, expected) << i;
  }
}

// The process start time rides in eight bytes the format leaves unread; a sender that does not
// know it leaves them zero.
TEST(KdfFlowDatagramBuilder, CarriesTheProcessStartTimeInTheUnreadBytes) {
  KdfFlowData flow = SampleIpv4Flow();
  flow.process_start_time = 0x1122334455667788ULL;
  const KdfFlowDatagram d = BuildKdfFlowDatagram(flow);
  EXPECT_EQ(LittleEndian(&d[340], 8), flow.process_start_time);
  KdfFlowData parsed;
  ASSERT_EQ(ParseKdfFlowData(d, parsed), kObSuccess);
  EXPECT_EQ(parsed.process_start_time, flow.process_start_time);
  EXPECT_EQ(LittleEndian(&BuildKdfFlowDatagram(SampleIpv4Flow())[340], 8), 0u);
}

TEST(KdfEndpointText, FormatsAsInetNtop) {
  const KdfEndpoint cases[] = {
      {2, 0, {0, 0, 0, 0}, 0, {}},
      {2, 0, {255, 255, 255, 255}, 0, {}},
      {2, 0, {10, 0, 9, 100}, 0, {}},
      {2, 0, {1, 20, 199, 7}, 0, {}},
      {23, 0, {}, 0, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}},
      {23, 0, {}, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}},
  };
  for (const KdfEndpoint& endpoint : cases) {
    const bool ipv4 = endpoint.family == 2;
    std::array<char, kKdfAddressTextSize> text{};
    ASSERT_TRUE(FormatKdfAddress(endpoint, ipv4, text));
    std::array<char, kKdfAddressTextSize> expected{};
    ASSERT_NE(::inet_ntop(ipv4 ? AF_INET : AF_INET6,
                          ipv4 ? static_cast<const void*>(endpoint.ipv4.data())
                               : static_cast<const void*>(endpoint.ipv6.data()),
                          expected.data(), expected.size()),
              nullptr);
    EXPECT_STREQ(text.data(), expected.data());
  }
}

}  // namespace
