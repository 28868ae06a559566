// The driver's datagram layout, checked in this one place: bytes placed here by hand must parse
// to the message written out here, and that message must build to the same bytes, so a mistake
// shared by the builder and the parser cannot hide.
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

void Put(Bytes& bytes, std::size_t offset, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

TEST(KdfMessage, HandPlacedBytesParseAndBuildBothWays) {
  // Offset, value, size in bytes (little-endian; the ports, 8080 and 53, in network order).
  const std::tuple<std::size_t, std::uint64_t, int> fields[] = {
      {0, 1439, 2},    {2, 1, 1},        {3, 1, 1},
      {4, 23, 2},      {6, 0x901F, 2},   {8, 0xCAFE, 4},
      {12, 0x20, 1},   {27, 0x05, 1},    {32, 23, 2},
      {34, 0x3500, 2}, {40, 0xff, 1},    {55, 0x01, 1},
      {316, 23, 4},    {320, 17, 4},     {324, 1234567890123ULL, 8},
      {332, 99, 8},    {348, 777, 4},    {352, 778, 4},
      {356, 100, 4},   {360, 200, 4},    {396, 4, 2},
      {398, 'a', 2},   {400, 0xD83D, 2}, {722, 2, 2},
      {724, 'p', 2},   {1016, 7, 1},     {1017, 0x01020304, 4}};
  Bytes m(1439, 0);
  for (const auto& [offset, value, size] : fields) Put(m, offset, value, size);
  std::memcpy(&m[60], "xn--bcher-kva.example", 21);
  std::memset(&m[364], 0x5A, 32);
  std::memset(&m[690], 0x7E, 32);

  KdfFlowData expected;
  expected.local = {23, 8080, {0xFE, 0xCA, 0, 0}, 0xCAFE, {0x20}};
  expected.local.ipv6[15] = 0x05;
  expected.remote = {23, 53, {}, 0, {0xff}};
  expected.remote.ipv6[15] = 0x01;
  expected.host_name = "xn--bcher-kva.example";
  expected.address_family = 23;
  expected.protocol = 17;
  expected.bytes_in = 1234567890123ULL;
  expected.bytes_out = 99;
  expected.pid = 777;
  expected.parent_pid = 778;
  expected.flow_start = 100;
  expected.flow_end = 200;
  expected.process_hash.fill(0x5A);
  expected.process_path = {u'a', char16_t{0xD83D}};
  expected.parent_hash.fill(0x7E);
  expected.parent_path = u"p";
  expected.direction = 7;
  expected.report_kind = 0x01020304;

  KdfFlowData parsed;
  ASSERT_EQ(ParseKdfFlowData(m, parsed), kObSuccess);
  EXPECT_EQ(parsed, expected);
  EXPECT_EQ(parsed.remote.Address(false).to_string(), "ff00::1");
  const KdfFlowDatagram built = BuildKdfFlowDatagram(expected);
  EXPECT_EQ(Bytes(built.begin(), built.end()), m);

  // An IPv4 flow's addresses take the flow information's place.
  expected.address_family = 2;
  expected.local.ipv4 = {192, 168, 1, 20};
  expected.remote.ipv4 = {93, 184, 216, 34};
  const KdfFlowDatagram v4 = BuildKdfFlowDatagram(expected);
  EXPECT_EQ(Bytes(&v4[8], &v4[12]), (Bytes{192, 168, 1, 20}));
  EXPECT_EQ(Bytes(&v4[36], &v4[40]), (Bytes{93, 184, 216, 34}));

  const Bytes pid = {8, 0, 1, 2, 4, 3, 2, 1};
  KdfPidInfo info;
  ASSERT_EQ(ParseKdfPidInfo(pid, info), kObSuccess);
  EXPECT_EQ(info.pid, 0x01020304u);
  const KdfPidInfoDatagram pid_built = BuildKdfPidInfoDatagram(info);
  EXPECT_EQ(Bytes(pid_built.begin(), pid_built.end()), pid);
}

// Stated lengths beyond a field are clamped to the field, rounded down to whole units, and an
// unterminated host name stops at the end of its field.
TEST(KdfMessage, ParserBoundsPathsAndHostNameToTheirFields) {
  // Stated length in bytes, path length in units.
  const std::pair<std::uint16_t, std::size_t> cases[] = {
      {3, 1}, {292, 146}, {293, 146}, {0xFFFF, 146}};
  for (const auto& [stated, units] : cases) {
    Bytes m(1439, 0);
    std::memset(&m[60], 'h', 256);  // no terminator
    std::memset(&m[398], 'x', 292);
    Put(m, 396, stated, 2);
    Put(m, 722, stated, 2);
    KdfFlowData flow;
    ASSERT_EQ(ParseKdfFlowData(m, flow), kObSuccess);
    EXPECT_EQ(flow.host_name, std::string(256, 'h'));
    EXPECT_EQ(flow.process_path, std::u16string(units, u'\u7878')) << stated;
    EXPECT_EQ(flow.parent_path.size(), units) << stated;
  }
  KdfFlowData flow;
  EXPECT_EQ(ParseKdfFlowData(Bytes(1438, 0), flow), kObBadArgument);
  EXPECT_EQ(ParseKdfFlowData(Bytes(1440, 0), flow), kObBadArgument);
  KdfPidInfo info;
  EXPECT_EQ(ParseKdfPidInfo(Bytes(7, 0), info), kObBadArgument);
}

TEST(KdfMessage, SyntheticFlowsRoundTrip) {
  SyntheticFlowSource source(42, 50);
  for (int i = 0; i < 200; ++i) {
    const KdfFlowData flow = source.NextFlow(1767000000);
    KdfFlowData parsed;
    ASSERT_EQ(ParseKdfFlowData(BuildKdfFlowDatagram(flow), parsed), kObSuccess);
    // The builder writes only the address form of the flow's family.
    KdfFlowData expected = flow;
    for (KdfEndpoint* endpoint : {&expected.local, &expected.remote}) {
      if (expected.IsIPv4()) {
        endpoint->ipv6 = {};
        std::memcpy(&endpoint->ipv6_flow_info, endpoint->ipv4.data(), 4);  // little-endian host
      } else {
        endpoint->ipv4 = {};
      }
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
