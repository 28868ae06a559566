// The netlink answer parsers (sock_diag and the process connector) against buffers laid out here
// by hand; staying inside any buffer is the fuzz target's, what a refusal answers is here.
#include "driver/inet_diag.h"

#include <gtest/gtest.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>

#include <cstring>
#include <vector>

#include "driver/proc_connector.h"

namespace orv::driver {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Append(Bytes& out, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  out.insert(out.end(), bytes, bytes + size);
  out.resize(NLMSG_ALIGN(out.size()));
}

// One netlink message of type whose body is body.
Bytes Message(std::uint16_t type, const Bytes& body) {
  nlmsghdr header{};
  header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + body.size());
  header.nlmsg_type = type;
  Bytes out;
  Append(out, &header, sizeof(header));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

void AppendAttribute(Bytes& body, std::uint16_t type, const void* payload, std::size_t size) {
  rtattr attribute{};
  attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
  attribute.rta_type = type;
  const std::size_t start = body.size();
  body.resize(start + RTA_SPACE(size));
  std::memcpy(body.data() + start, &attribute, sizeof(attribute));
  std::memcpy(body.data() + start + RTA_LENGTH(0), payload, size);
}

Bytes SocketBody(std::uint8_t family, std::uint8_t state, std::uint16_t local_port,
                 std::uint16_t remote_port, std::uint32_t inode, std::uint64_t cookie) {
  inet_diag_msg message{};
  message.idiag_family = family;
  message.idiag_state = state;
  message.id.idiag_sport = htons(local_port);
  message.id.idiag_dport = htons(remote_port);
  message.id.idiag_src[0] = htonl(0x0a000001);
  message.id.idiag_dst[0] = htonl(0x0a000002);
  message.id.idiag_cookie[0] = static_cast<std::uint32_t>(cookie);
  message.id.idiag_cookie[1] = static_cast<std::uint32_t>(cookie >> 32);
  message.idiag_inode = inode;
  Bytes body;
  Append(body, &message, sizeof(message));
  return body;
}

void AppendTcpInfo(Bytes& body, std::uint64_t acked, std::uint64_t received, std::size_t size) {
  tcp_info info{};
  info.tcpi_bytes_acked = acked;
  info.tcpi_bytes_received = received;
  info.tcpi_bytes_sent = acked + 100;
  info.tcpi_bytes_retrans = 100;
  AppendAttribute(body, INET_DIAG_INFO, &info, size);
}

Bytes DumpAnswer() {
  Bytes body = SocketBody(AF_INET, kTcpEstablished, 40000, 443, 777, 0x1122334455667788ULL);
  AppendTcpInfo(body, 1500, 9000, sizeof(tcp_info));
  Bytes buffer = Message(SOCK_DIAG_BY_FAMILY, body);
  // A destroy notification names its protocol; a TCP info too short for the counters (an old
  // kernel's) is no reason to reject the socket.
  Bytes destroyed = SocketBody(AF_INET6, kTcpClose, 1, 2, 0, 3);
  const std::uint8_t udp = IPPROTO_UDP;
  AppendAttribute(destroyed, INET_DIAG_PROTOCOL, &udp, 1);
  AppendTcpInfo(destroyed, 1, 1, offsetof(tcp_info, tcpi_bytes_received));
  const Bytes second = Message(SOCK_DIAG_BY_FAMILY, destroyed);
  buffer.insert(buffer.end(), second.begin(), second.end());
  const int done = 0;
  const Bytes end = Message(NLMSG_DONE, Bytes(reinterpret_cast<const std::uint8_t*>(&done),
                                              reinterpret_cast<const std::uint8_t*>(&done) + 4));
  buffer.insert(buffer.end(), end.begin(), end.end());
  return buffer;
}

TEST(InetDiagParser, DecodesADumpAnswerWithAProtocolAttributeAndAShortTcpInfo) {
  const Bytes answer = DumpAnswer();
  std::vector<DiagSocket> sockets;
  DiagBufferEnd end = DiagBufferEnd::kDone;
  // Without its closing message (16 + 4 bytes) the dump goes on in the next buffer.
  ASSERT_EQ(ParseInetDiagBuffer(std::span(answer).first(answer.size() - 20), 6, sockets, end),
            kObSuccess);
  EXPECT_EQ(end, DiagBufferEnd::kMore);
  sockets.clear();
  ASSERT_EQ(ParseInetDiagBuffer(answer, IPPROTO_TCP, sockets, end), kObSuccess);
  EXPECT_EQ(end, DiagBufferEnd::kDone);
  ASSERT_EQ(sockets.size(), 2u);
  const DiagSocket& flow = sockets[0];
  EXPECT_EQ(flow.family, AF_INET);
  EXPECT_EQ(flow.protocol, IPPROTO_TCP);
  EXPECT_EQ(flow.state, kTcpEstablished);
  EXPECT_EQ(flow.local_port, 40000);
  EXPECT_EQ(flow.remote_port, 443);
  EXPECT_EQ(flow.local_address, (std::array<std::uint8_t, 16>{10, 0, 0, 1}));
  EXPECT_EQ(flow.remote_address, (std::array<std::uint8_t, 16>{10, 0, 0, 2}));
  EXPECT_EQ(flow.inode, 777u);
  EXPECT_EQ(flow.cookie, 0x1122334455667788ULL);
  EXPECT_TRUE(flow.has_counters && flow.has_sent_counters);
  EXPECT_EQ(flow.bytes_acked, 1500u);
  EXPECT_EQ(flow.bytes_received, 9000u);
  EXPECT_EQ(flow.bytes_sent, 1600u);
  EXPECT_EQ(flow.bytes_retrans, 100u);
  EXPECT_EQ(sockets[1].protocol, IPPROTO_UDP);
  EXPECT_FALSE(sockets[1].has_counters || sockets[1].has_sent_counters);
}

TEST(InetDiagParser, RejectsMalformedMessages) {
  struct Case {
    const char* name;
    Bytes buffer;
    OB_STATUSCODE status;
  };
  Bytes lying_attribute = SocketBody(AF_INET, kTcpEstablished, 1, 2, 3, 4);
  AppendTcpInfo(lying_attribute, 1, 1, sizeof(tcp_info));
  // The attribute claims more bytes than its message holds.
  rtattr* attribute =
      reinterpret_cast<rtattr*>(lying_attribute.data() + NLMSG_ALIGN(sizeof(inet_diag_msg)));
  attribute->rta_len = 0xffff;
  const int refused = -EPERM;
  const Bytes whole = DumpAnswer();
  const Case cases[] = {
      {"lying attribute", Message(SOCK_DIAG_BY_FAMILY, lying_attribute), kObBadArgument},
      {"error answer",
       Message(NLMSG_ERROR, Bytes(reinterpret_cast<const std::uint8_t*>(&refused),
                                  reinterpret_cast<const std::uint8_t*>(&refused) + 4)),
       kObFailure},
      {"short error", Message(NLMSG_ERROR, Bytes(2, 0)), kObBadArgument},
      {"cut inside a message", Bytes(whole.begin(), whole.begin() + 40), kObBadArgument},
  };
  for (const Case& test : cases) {
    std::vector<DiagSocket> sockets;
    DiagBufferEnd end = DiagBufferEnd::kMore;
    EXPECT_EQ(ParseInetDiagBuffer(test.buffer, IPPROTO_TCP, sockets, end), test.status)
        << test.name;
    EXPECT_TRUE(sockets.empty()) << test.name;
  }
}

Bytes ProcEvent(decltype(proc_event::what) what, std::uint32_t pid, std::uint32_t tgid) {
  proc_event event{};
  event.what = what;
  if (what == proc_event::PROC_EVENT_FORK) {
    event.event_data.fork.child_pid = static_cast<int>(pid);
    event.event_data.fork.child_tgid = static_cast<int>(tgid);
  } else {
    event.event_data.exec.process_pid = static_cast<int>(pid);
    event.event_data.exec.process_tgid = static_cast<int>(tgid);
  }
  cn_msg message{};
  message.id = {CN_IDX_PROC, CN_VAL_PROC};
  message.len = sizeof(event);
  Bytes body(sizeof(cn_msg) + sizeof(event));
  std::memcpy(body.data(), &message, sizeof(message));
  std::memcpy(body.data() + sizeof(cn_msg), &event, sizeof(event));
  return Message(NLMSG_DONE, body);
}

TEST(ProcConnectorParser, ReportsProcessStartsButNotThreads) {
  Bytes buffer = ProcEvent(proc_event::PROC_EVENT_FORK, 100, 100);
  for (const Bytes& more : {ProcEvent(proc_event::PROC_EVENT_FORK, 101, 100),  // a thread
                            ProcEvent(proc_event::PROC_EVENT_EXEC, 102, 102),
                            ProcEvent(proc_event::PROC_EVENT_EXIT, 100, 100)}) {
    buffer.insert(buffer.end(), more.begin(), more.end());
  }
  std::vector<std::uint32_t> started;
  ASSERT_EQ(ParseProcConnectorBuffer(buffer, started), kObSuccess);
  EXPECT_EQ(started, (std::vector<std::uint32_t>{100, 102}));
}

}  // namespace
}  // namespace orv::driver
