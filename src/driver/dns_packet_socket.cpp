#include "driver/dns_packet_socket.h"

#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "runtime/log_limiter.h"
#include "runtime/logger.h"

namespace orv::driver {

namespace {

constexpr std::uint32_t kAccept = 20;
constexpr std::uint32_t kDrop = 21;

constexpr sock_filter Load(std::uint16_t code, std::uint32_t k) { return BPF_STMT(code, k); }

// A conditional jump at index at to the absolute instructions yes and no.
constexpr sock_filter Jump(std::uint32_t at, std::uint16_t test, std::uint32_t k, std::uint32_t yes,
                           std::uint32_t no) {
  return BPF_JUMP(BPF_JMP | test | BPF_K, k, static_cast<std::uint8_t>(yes - at - 1),
                  static_cast<std::uint8_t>(no - at - 1));
}

// Offsets from the IP header (SOCK_DGRAM packet sockets see packets from there).
constexpr std::array<sock_filter, 22> kPort53Filter{{
    Load(BPF_LD | BPF_H | BPF_ABS, SKF_AD_OFF + SKF_AD_PROTOCOL),  // 0
    Jump(1, BPF_JEQ, ETH_P_IP, 3, 2),
    Jump(2, BPF_JEQ, ETH_P_IPV6, 13, kDrop),
    Load(BPF_LD | BPF_B | BPF_ABS, 9),  // 3: IPv4 protocol
    Jump(4, BPF_JEQ, IPPROTO_UDP, 6, 5),
    Jump(5, BPF_JEQ, IPPROTO_TCP, 6, kDrop),
    Load(BPF_LD | BPF_H | BPF_ABS, 6),  // 6: fragment offset
    Jump(7, BPF_JSET, 0x1FFF, kDrop, 8),
    Load(BPF_LDX | BPF_B | BPF_MSH, 0),  // 8: IPv4 header length
    Load(BPF_LD | BPF_H | BPF_IND, 0),   // 9: source port
    Jump(10, BPF_JEQ, 53, kAccept, 11),
    Load(BPF_LD | BPF_H | BPF_IND, 2),  // 11: destination port
    Jump(12, BPF_JEQ, 53, kAccept, kDrop),
    Load(BPF_LD | BPF_B | BPF_ABS, 6),  // 13: IPv6 next header
    Jump(14, BPF_JEQ, IPPROTO_UDP, 16, 15),
    Jump(15, BPF_JEQ, IPPROTO_TCP, 16, kDrop),
    Load(BPF_LD | BPF_H | BPF_ABS, 40),  // 16
    Jump(17, BPF_JEQ, 53, kAccept, 18),
    Load(BPF_LD | BPF_H | BPF_ABS, 42),  // 18
    Jump(19, BPF_JEQ, 53, kAccept, kDrop),
    Load(BPF_RET | BPF_K, 0xFFFF),  // 20: accept
    Load(BPF_RET | BPF_K, 0),       // 21: drop
}};

std::uint16_t Load16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

}  // namespace

bool ReadIpPacket(std::span<const std::uint8_t> ip, bool outgoing, DnsPacket& out) {
  std::size_t transport = 0;
  std::size_t end = 0;
  std::size_t address_at = 0;
  std::size_t address_size = 0;
  if (ip.size() >= 20 && ip[0] >> 4 == 4) {
    transport = (ip[0] & 0x0F) * 4u;
    end = Load16(ip, 2);
    if (transport < 20 || (Load16(ip, 6) & 0x3FFF) != 0) {  // a fragment, or more to come
      return false;
    }
    out.family = AF_INET;
    out.protocol = ip[9];
    address_at = 12;
    address_size = 4;
  } else if (ip.size() >= 40 && ip[0] >> 4 == 6) {
    transport = 40;
    end = 40 + std::size_t{Load16(ip, 4)};
    out.family = AF_INET6;
    out.protocol = ip[6];
    address_at = 8;
    address_size = 16;
  } else {
    return false;
  }
  if ((out.protocol != IPPROTO_UDP && out.protocol != IPPROTO_TCP) || end > ip.size() ||
      transport + (out.protocol == IPPROTO_UDP ? 8 : 20) > end) {
    return false;
  }
  const std::size_t payload =
      transport + (out.protocol == IPPROTO_UDP ? 8 : (ip[transport + 12] >> 4) * 4u);
  if (payload < transport + 8 || payload > end) {
    return false;
  }
  const auto source = ip.subspan(address_at, address_size);
  const auto destination = ip.subspan(address_at + address_size, address_size);
  out.local_address = {};
  out.remote_address = {};
  std::copy(outgoing ? source.begin() : destination.begin(),
            outgoing ? source.end() : destination.end(), out.local_address.begin());
  std::copy(outgoing ? destination.begin() : source.begin(),
            outgoing ? destination.end() : source.end(), out.remote_address.begin());
  out.local_port = Load16(ip, transport + (outgoing ? 0 : 2));
  out.remote_port = Load16(ip, transport + (outgoing ? 2 : 0));
  out.egress = outgoing;
  out.pid = 0;
  out.payload = ip.subspan(payload, end - payload);
  return true;
}

std::unique_ptr<DnsPacketSocket> DnsPacketSocket::Open(std::string& why_not) {
  // Protocol 0 receives nothing until the bind below, so no packet slips in before the filter.
  OBRuntime::UniqueFd fd(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    why_not = "no packet socket: " + ::ErrnoText(errno);
    return nullptr;
  }
  const sock_fprog program{static_cast<unsigned short>(kPort53Filter.size()),
                           const_cast<sock_filter*>(kPort53Filter.data())};
  sockaddr_ll all{};
  all.sll_family = AF_PACKET;
  all.sll_protocol = htons(ETH_P_ALL);
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof(program)) != 0 ||
      ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&all), sizeof(all)) != 0) {
    why_not = "cannot filter the packet socket: " + ::ErrnoText(errno);
    return nullptr;
  }
  return std::unique_ptr<DnsPacketSocket>(new DnsPacketSocket(std::move(fd)));
}

DnsPacketSocket::DnsPacketSocket(OBRuntime::UniqueFd fd) : fd_(std::move(fd)), buffer_(65536) {}

void DnsPacketSocket::Consume(DnsNameTracker& tracker, std::chrono::steady_clock::time_point now) {
  for (std::size_t read = 0; read < kDnsPacketsPerConsume; ++read) {
    sockaddr_ll from{};
    socklen_t length = sizeof(from);
    const ssize_t size = ::recvfrom(fd_.get(), buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&from), &length);
    if (size < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        OB_LOG_LIMITED(LOG_WARNING, "reading DNS packets failed: %s", ::ErrnoText(errno).c_str());
      }
      return;
    }
    DnsPacket packet;
    if (ReadIpPacket(std::span(buffer_.data(), static_cast<std::size_t>(size)),
                     from.sll_pkttype == PACKET_OUTGOING, packet)) {
      tracker.Apply(packet, now);
    }
  }
}

}  // namespace orv::driver
