#include "driver/flow_table.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <utility>

namespace orv::driver {

namespace {

// A listening TCP socket, or a bound unconnected UDP socket: its port receives new flows.
bool IsListening(const DiagSocket& socket) {
  if (socket.protocol == IPPROTO_TCP) {
    return socket.state == kTcpListen;
  }
  return socket.protocol == IPPROTO_UDP && socket.state == kTcpClose && socket.local_port != 0;
}

bool IsV4Mapped(const std::array<std::uint8_t, 16>& address) {
  constexpr std::array<std::uint8_t, 12> kPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::equal(kPrefix.begin(), kPrefix.end(), address.begin());
}

// An IPv6 socket whose both ends are IPv4-mapped carries IPv4 traffic and is reported as such.
bool CarriesIpv4(const DiagSocket& socket) {
  return socket.family == AF_INET ||
         (IsV4Mapped(socket.local_address) && IsV4Mapped(socket.remote_address));
}

KdfEndpoint Endpoint(const std::array<std::uint8_t, 16>& address, std::uint16_t port, bool ipv4,
                     bool mapped) {
  KdfEndpoint endpoint;
  endpoint.port = port;
  if (ipv4) {
    endpoint.family = kKdfFamilyIPv4;
    std::copy_n(address.begin() + (mapped ? 12 : 0), 4, endpoint.ipv4.begin());
  } else {
    endpoint.family = kKdfFamilyIPv6;
    endpoint.ipv6 = address;
  }
  return endpoint;
}

// Takes the counters and state of a later view of the same socket.
void TakeCounters(const DiagSocket& from, DiagSocket& to) {
  to.state = from.state;
  if (from.has_counters) {
    to.has_counters = from.has_counters;
    to.has_sent_counters = from.has_sent_counters;
    to.bytes_received = from.bytes_received;
    to.bytes_acked = from.bytes_acked;
    to.bytes_sent = from.bytes_sent;
    to.bytes_retrans = from.bytes_retrans;
  }
}

// True when the peer's FIN has been counted in bytes_received. A closed socket (a destroy
// notification) is taken to have had the normal close; after a reset this undercounts by one.
bool FinReceived(std::uint8_t state) {
  constexpr std::uint8_t kCloseWait = 8;
  constexpr std::uint8_t kLastAck = 9;
  constexpr std::uint8_t kClosing = 11;
  return state == kCloseWait || state == kLastAck || state == kClosing || state == kTcpTimeWait ||
         state == kTcpClose;
}

std::uint64_t PayloadBytesIn(const DiagSocket& socket) {
  const std::uint64_t fin = FinReceived(socket.state) ? 1 : 0;
  return socket.bytes_received >= fin ? socket.bytes_received - fin : 0;
}

// Payload sent: sent minus retransmitted where the kernel has those counters; else the
// acknowledged bytes less the SYN (and a FIN, which cannot be told apart here).
std::uint64_t PayloadBytesOut(const DiagSocket& socket) {
  if (socket.has_sent_counters) {
    return socket.bytes_sent >= socket.bytes_retrans ? socket.bytes_sent - socket.bytes_retrans : 0;
  }
  return socket.bytes_acked > 0 ? socket.bytes_acked - 1 : 0;
}

}  // namespace

void DescribeEndpoints(const DiagSocket& socket, KdfFlowData& report) {
  const bool ipv4 = CarriesIpv4(socket);
  const bool mapped = ipv4 && socket.family != AF_INET;
  report.local = Endpoint(socket.local_address, socket.local_port, ipv4, mapped);
  report.remote = Endpoint(socket.remote_address, socket.remote_port, ipv4, mapped);
  report.address_family = ipv4 ? kKdfFamilyIPv4 : kKdfFamilyIPv6;
  report.protocol = socket.protocol;
}

bool IsFlowSocket(const DiagSocket& socket) noexcept {
  if (socket.inode == 0) {
    return false;
  }
  if (socket.protocol == IPPROTO_UDP) {
    return socket.state == kTcpEstablished;
  }
  if (socket.protocol != IPPROTO_TCP) {
    return false;
  }
  switch (socket.state) {
    case kTcpListen:
    case kTcpClose:
    case kTcpTimeWait:
    case kTcpSynRecv:
    case kTcpNewSynRecv:
      return false;
    default:
      return socket.state >= kTcpEstablished && socket.state <= kTcpNewSynRecv;
  }
}

FlowTable::FlowTable(ISocketOwnerSource& owners, IHostNameLookup* names)
    : owners_(owners), names_(names) {}

bool FlowTable::isListeningPort(const DiagSocket& socket) const {
  const auto& ports = socket.protocol == IPPROTO_TCP ? listening_tcp_ports_ : listening_udp_ports_;
  return ports.contains(socket.local_port);
}

void FlowTable::ApplyDump(const std::vector<DiagSocket>& sockets, const FlowClock& now,
                          std::uint32_t interval_seconds, std::vector<KdfFlowData>& reports) {
  listening_tcp_ports_.clear();
  listening_udp_ports_.clear();
  for (auto& [cookie, flow] : flows_) {
    flow.seen = false;
  }
  std::vector<const DiagSocket*> fresh;
  std::unordered_set<std::uint32_t> unowned;
  for (const DiagSocket& socket : sockets) {
    if (IsListening(socket)) {
      (socket.protocol == IPPROTO_TCP ? listening_tcp_ports_ : listening_udp_ports_)
          .insert(socket.local_port);
      continue;
    }
    const auto tracked = flows_.find(socket.cookie);
    if (tracked != flows_.end()) {
      // An orphaned socket still carries the flow's last counters; it ends the flow all the same.
      TakeCounters(socket, tracked->second.socket);
      tracked->second.seen = IsFlowSocket(socket);
    } else if (IsFlowSocket(socket)) {
      if (unowned_.contains(socket.inode)) {
        unowned.insert(socket.inode);
      } else {
        fresh.push_back(&socket);
      }
    }
  }
  addFlows(fresh, now, unowned);
  unowned_ = std::move(unowned);
  endUnseen(now, reports);
  reportDue(now, interval_seconds, reports);
}

void FlowTable::addFlows(const std::vector<const DiagSocket*>& fresh, const FlowClock& now,
                         std::unordered_set<std::uint32_t>& unowned) {
  if (fresh.empty()) {
    return;
  }
  std::unordered_set<std::uint32_t> inodes;
  for (const DiagSocket* socket : fresh) {
    inodes.insert(socket->inode);
  }
  std::unordered_map<std::uint32_t, ProcessDetails> owners;
  ++owner_lookups_;
  owners_.FindOwners(inodes, owners);
  for (const DiagSocket* socket : fresh) {
    const auto owner = owners.find(socket->inode);
    if (owner == owners.end()) {
      unowned.insert(socket->inode);
      continue;
    }
    Flow flow;
    flow.socket = *socket;
    flow.owner = owner->second;
    if (names_ != nullptr) {
      flow.host_name =
          names_->HostNameOf(flow.owner.pid, socket->family, socket->remote_address, now.monotonic);
    }
    flow.direction = isListeningPort(*socket) ? kKdfDirectionRemoteIsSource : 0;
    flow.start_seconds = now.wall_seconds;
    flow.last_report = now.monotonic;
    flow.seen = true;
    flows_.emplace(socket->cookie, std::move(flow));
  }
}

void FlowTable::endUnseen(const FlowClock& now, std::vector<KdfFlowData>& reports) {
  for (auto it = flows_.begin(); it != flows_.end();) {
    if (it->second.seen) {
      ++it;
      continue;
    }
    reports.push_back(buildReport(it->second, kKdfReportKindFinal, now.wall_seconds));
    it = flows_.erase(it);
  }
}

void FlowTable::reportDue(const FlowClock& now, std::uint32_t interval_seconds,
                          std::vector<KdfFlowData>& reports) {
  if (interval_seconds == 0) {
    return;
  }
  const auto interval = std::chrono::seconds(interval_seconds);
  for (auto& [cookie, flow] : flows_) {
    if (now.monotonic - flow.last_report >= interval) {
      reports.push_back(buildReport(flow, kReportKindInterim, now.wall_seconds));
      flow.last_report = now.monotonic;
    }
  }
}

void FlowTable::ApplyDestroyed(const std::vector<DiagSocket>& destroyed, const FlowClock& now,
                               std::vector<KdfFlowData>& reports) {
  for (const DiagSocket& socket : destroyed) {
    const auto tracked = flows_.find(socket.cookie);
    if (tracked == flows_.end()) {
      continue;
    }
    TakeCounters(socket, tracked->second.socket);
    reports.push_back(buildReport(tracked->second, kKdfReportKindFinal, now.wall_seconds));
    flows_.erase(tracked);
  }
}

KdfFlowData FlowTable::buildReport(const Flow& flow, std::uint32_t report_kind,
                                   std::uint32_t end_seconds) {
  const DiagSocket& socket = flow.socket;
  KdfFlowData report;
  DescribeEndpoints(socket, report);
  report.bytes_in = PayloadBytesIn(socket);
  report.bytes_out = PayloadBytesOut(socket);
  DescribeFlow(flow, report_kind, end_seconds, report);
  return report;
}

}  // namespace orv::driver
