// The driver's datagram layout, checked in this one place: bytes placed here by hand must parse
// to the message written out here, and that message must build to the same bytes, so a mistake
// shared by the builder and the parser cannot hide.
#include "driver/kdf_message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "driver/flow_datagram_builder.h"
#include "flow/synthetic_flow_source.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using Fields = std::vector<std::tuple<std::size_t, std::uint64_t, int>>;

// length zero bytes with each (offset, value, size) written little-endian.
Bytes Place(std::size_t length, const Fields& fields) {
  Bytes bytes(length, 0);
  for (const auto& [offset, value, size] : fields) {
    for (int i = 0; i < size; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  return bytes;
}

TEST(KdfMessage, HandPlacedBytesParseAndBuildBothWays) {
  // Little-endian fields, the ports (8080 and 53) in network order: header (1439 bytes, version
  // 1, type 1); local endpoint (family 23, port, flow information, address 2000::5); remote
  // endpoint (ff00::1); family 23 and protocol 17; bytes in and out; the process's start time in
  // bytes the format leaves unread; pid 777 and parent 778; start
  // 100 and end 200; process path (4 bytes: "a" and a lone surrogate); parent path (2 bytes: "p");
  // direction 7 and report kind.
  // clang-format off
  const Fields fields = {{0, 0x0101059F, 4}, {4, 0xCAFE901F0017, 8}, {12, 0x20, 1}, {27, 0x05, 1},
      {32, 0x35000017, 4}, {40, 0xff, 1}, {55, 0x01, 1}, {316, 0x1100000017, 8},
      {324, 1234567890123, 8}, {332, 99, 8}, {340, 0x1122334455667788, 8}, {348, 0x30A00000309, 8}, {356, 0xC800000064, 8},
      {396, 0xD83D00610004, 6}, {722, 0x700002, 4}, {1016, 0x0102030407, 5}};
  // clang-format on
  Bytes m = Place(1439, fields);
  std::memcpy(&m[60], "xn--bcher-kva.example", 21);
  std::memset(&m[364], 0x5A, 32);  // the hashes
  std::memset(&m[690], 0x7E, 32);
  KdfFlowData parsed;
  ASSERT_EQ(ParseKdfFlowData(m, parsed), kObSuccess);
  const KdfFlowData& p = parsed;
  EXPECT_EQ(std::tuple(p.header, p.local.family, p.local.port, p.local.ipv6_flow_info,
                       p.local.Address(false).to_string(), p.remote.port,
                       p.remote.Address(false).to_string(), p.host_name, p.address_family),
            std::tuple(KdfMessageHeader{1439, 1, 1}, 23, 8080, 0xCAFEu, "2000::5", 53, "ff00::1",
                       "xn--bcher-kva.example", 23u));
  EXPECT_EQ(std::tuple(p.protocol, p.bytes_in, p.bytes_out, p.pid, p.parent_pid, p.flow_start,
                       p.flow_end, p.process_path, p.parent_path, p.direction, p.report_kind),
            std::tuple(17u, 1234567890123ULL, 99u, 777u, 778u, 100u, 200u,
                       std::u16string{u'a', char16_t{0xD83D}}, u"p", 7, 0x01020304u));
  EXPECT_EQ(std::tuple(p.process_hash[31], p.parent_hash[0], p.process_start_time),
            std::tuple(0x5A, 0x7E, 0x1122334455667788ULL));
  const KdfFlowDatagram built = BuildKdfFlowDatagram(parsed);
  EXPECT_EQ(Bytes(built.begin(), built.end()), m);
  // An IPv4 flow's addresses take the flow information's place.
  parsed.address_family = 2;
  parsed.local.ipv4 = {192, 168, 1, 20};
  const KdfFlowDatagram v4 = BuildKdfFlowDatagram(parsed);
  EXPECT_EQ(Bytes(&v4[8], &v4[12]), (Bytes{192, 168, 1, 20}));

  const Bytes pid = {8, 0, 1, 2, 4, 3, 2, 1};
  KdfPidInfo info;
  ASSERT_EQ(ParseKdfPidInfo(pid, info), kObSuccess);
  EXPECT_EQ(info.pid, 0x01020304u);
  const KdfPidInfoDatagram pid_built = BuildKdfPidInfoDatagram(info);
  EXPECT_EQ(Bytes(pid_built.begin(), pid_built.end()), pid);
}

// Stated path lengths beyond a field are clamped to it, odd ones rounded down to whole units; an
// unterminated host name stops at the end of its field; other sizes are refused.
TEST(KdfMessage, ParserKeepsPathsAndHostNameWithinTheirFields) {
  for (const auto& [stated, units] :
       {std::pair<int, std::size_t>{3, 1}, {293, 146}, {0xFFFF, 146}}) {
    Bytes m = Place(1439, {{396, stated, 2}, {722, stated, 2}});
    std::memset(&m[60], 'h', 256);
    std::memset(&m[398], 'x', 292);
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

// Every synthetic flow is a datagram that parses back to what built it.
TEST(KdfMessage, SyntheticFlowsSurviveARoundTrip) {
  SyntheticFlowSource source(42, 50);
  for (int i = 0; i < 50; ++i) {
    const KdfFlowDatagram built = BuildKdfFlowDatagram(source.NextFlow(1767000000));
    KdfFlowData parsed;
    ASSERT_EQ(ParseKdfFlowData(built, parsed), kObSuccess);
    ASSERT_EQ(BuildKdfFlowDatagram(parsed), built) << i;
  }
}

// IPv4 text is written by hand on the per-flow path; IPv6 text is inet_ntop's own.
TEST(KdfEndpointText, FormatsAsInetNtop) {
  const KdfEndpoint cases[] = {
      {2, 0, {0, 0, 0, 0}, 0, {}},
      {2, 0, {255, 255, 255, 255}, 0, {}},
      {2, 0, {10, 0, 9, 100}, 0, {}},
      {2, 0, {1, 20, 199, 7}, 0, {}},
  };
  for (const KdfEndpoint& endpoint : cases) {
    std::array<char, kKdfAddressTextSize> text{};
    ASSERT_TRUE(FormatKdfAddress(endpoint, true, text));
    std::array<char, kKdfAddressTextSize> expected{};
    ASSERT_NE(::inet_ntop(AF_INET, endpoint.ipv4.data(), expected.data(), expected.size()),
              nullptr);
    EXPECT_STREQ(text.data(), expected.data());
  }
}

}  // namespace
