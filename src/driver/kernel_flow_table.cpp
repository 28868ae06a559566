#include "driver/kernel_flow_table.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "runtime/log_limiter.h"

namespace orv::driver {

namespace {

bool IsWellFormed(const orv_flow_event& event) {
  const bool inet = event.family == AF_INET || event.family == AF_INET6;
  switch (event.type) {
    case ORV_EVENT_TCP_OPENED:
    case ORV_EVENT_TCP_CLOSED:
      return inet && event.protocol == IPPROTO_TCP;
    case ORV_EVENT_UDP_OPENED:
      return inet && event.protocol == IPPROTO_UDP;
    case ORV_EVENT_UDP_RELEASED:
      return event.protocol == IPPROTO_UDP;
    default:
      return false;
  }
}

std::chrono::nanoseconds MonotonicNow(const FlowClock& now) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now.monotonic.time_since_epoch());
}

// The wall-clock second of a CLOCK_MONOTONIC time (steady_clock is CLOCK_MONOTONIC on Linux).
std::uint32_t WallSeconds(std::uint64_t monotonic_ns, const FlowClock& now) {
  const auto now_ns = static_cast<std::uint64_t>(MonotonicNow(now).count());
  if (monotonic_ns == 0 || monotonic_ns > now_ns) {
    return now.wall_seconds;
  }
  const auto ago = static_cast<std::uint32_t>((now_ns - monotonic_ns) / 1'000'000'000ULL);
  return ago < now.wall_seconds ? now.wall_seconds - ago : 0;
}

orv_flow_key UdpFlowKey(const orv_flow_event& event) {
  orv_flow_key key{};
  key.cookie = event.cookie;
  std::memcpy(key.remote_address, event.remote_address, sizeof(key.remote_address));
  key.remote_port = event.remote_port;
  key.family = event.family;
  return key;
}

KernelOwner OwnerOf(const orv_owner& owner) {
  return {owner.tgid, owner.parent_tgid, owner.start_boottime_ns, owner.exe_inode,
          owner.exe_device};
}

}  // namespace

orv_flow_key TcpFlowKey(std::uint64_t cookie) noexcept {
  orv_flow_key key{};
  key.cookie = cookie;
  return key;
}

std::size_t KernelFlowTable::KeyHash::operator()(const orv_flow_key& key) const noexcept {
  return std::hash<std::string_view>()(
      std::string_view(reinterpret_cast<const char*>(&key), sizeof(key)));
}

bool KernelFlowTable::KeyEqual::operator()(const orv_flow_key& a,
                                           const orv_flow_key& b) const noexcept {
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

KernelFlowTable::KernelFlowTable(IKernelFlowMaps& maps, IOwnerResolver& owners,
                                 IHostNameLookup* names)
    : maps_(maps), owners_(owners), names_(names) {}

void KernelFlowTable::Apply(std::span<const std::uint8_t> bytes, const FlowClock& now,
                            std::vector<KdfFlowData>& reports) {
  orv_flow_event event{};
  if (bytes.size() != sizeof(event)) {
    ++malformed_events_;
    OB_LOG_LIMITED(LOG_WARNING, "dropped a kernel flow event of %zu bytes (expected %zu)",
                   bytes.size(), sizeof(event));
    return;
  }
  std::memcpy(&event, bytes.data(), sizeof(event));
  if (!IsWellFormed(event)) {
    ++malformed_events_;
    OB_LOG_LIMITED(LOG_WARNING, "dropped an unknown kernel flow event (type %u, protocol %u)",
                   event.type, event.protocol);
    return;
  }
  switch (event.type) {
    case ORV_EVENT_TCP_OPENED:
    case ORV_EVENT_UDP_OPENED:
      add(event, now);
      break;
    case ORV_EVENT_TCP_CLOSED:
      endTcp(event, now, reports);
      break;
    default:
      releaseUdp(event.cookie, now, reports);
      break;
  }
}

KernelFlowTable::Flow KernelFlowTable::describe(const orv_flow_event& event, const FlowClock& now) {
  Flow flow;
  flow.socket.family = event.family;
  flow.socket.protocol = event.protocol;
  std::copy_n(event.local_address, 16, flow.socket.local_address.begin());
  std::copy_n(event.remote_address, 16, flow.socket.remote_address.begin());
  flow.socket.local_port = event.local_port;
  flow.socket.remote_port = event.remote_port;
  flow.socket.cookie = event.cookie;
  flow.owner = owners_.Resolve(OwnerOf(event.owner));
  if (names_ != nullptr) {
    flow.host_name = names_->HostNameOf(event.owner.tgid, event.family, flow.socket.remote_address,
                                        now.monotonic);
  }
  flow.direction = event.direction != 0 ? kKdfDirectionRemoteIsSource : 0;
  flow.start_seconds = WallSeconds(event.start_ns, now);
  flow.last_check = now.monotonic;
  return flow;
}

void KernelFlowTable::add(const orv_flow_event& event, const FlowClock& now) {
  const bool tcp = event.type == ORV_EVENT_TCP_OPENED;
  const orv_flow_key key = tcp ? TcpFlowKey(event.cookie) : UdpFlowKey(event);
  if (flows_.contains(key)) {
    return;
  }
  flows_.emplace(key, describe(event, now));
  if (!tcp) {
    udp_pairs_[event.cookie].push_back(key);
  }
}

void KernelFlowTable::endTcp(const orv_flow_event& event, const FlowClock& now,
                             std::vector<KdfFlowData>& reports) {
  const auto tracked = flows_.find(TcpFlowKey(event.cookie));
  Flow flow = tracked != flows_.end() ? tracked->second : describe(event, now);
  flow.socket.bytes_received = event.bytes_in;
  flow.socket.bytes_sent = event.bytes_out;
  reports.push_back(buildReport(flow, kKdfReportKindFinal, now.wall_seconds));
  if (tracked != flows_.end()) {
    flows_.erase(tracked);
  }
}

void KernelFlowTable::releaseUdp(std::uint64_t cookie, const FlowClock& now,
                                 std::vector<KdfFlowData>& reports) {
  const auto pairs = udp_pairs_.find(cookie);
  if (pairs == udp_pairs_.end()) {
    return;
  }
  const std::vector<orv_flow_key> keys = std::move(pairs->second);
  udp_pairs_.erase(pairs);
  for (const orv_flow_key& key : keys) {
    const auto tracked = flows_.find(key);
    if (tracked == flows_.end()) {
      continue;
    }
    orv_udp_counters counters{};
    if (maps_.TakeUdp(key, counters)) {
      tracked->second.socket.bytes_received = counters.bytes_in;
      tracked->second.socket.bytes_sent = counters.bytes_out;
    }
    reports.push_back(buildReport(tracked->second, kKdfReportKindFinal, now.wall_seconds));
    flows_.erase(tracked);
  }
}

bool KernelFlowTable::refresh(const orv_flow_key& key, Flow& flow, const FlowClock& now,
                              std::chrono::nanoseconds& idle_for) {
  if (flow.socket.protocol == IPPROTO_TCP) {
    orv_tcp_counters counters{};
    if (!maps_.ReadTcp(key.cookie, counters)) {
      return false;
    }
    flow.socket.bytes_received = counters.bytes_in;
    flow.socket.bytes_sent = counters.bytes_out;
    return true;
  }
  orv_udp_counters counters{};
  if (!maps_.ReadUdp(key, counters)) {
    return false;
  }
  flow.socket.bytes_received = counters.bytes_in;
  flow.socket.bytes_sent = counters.bytes_out;
  const auto last = std::chrono::nanoseconds(counters.last_ns);
  idle_for = MonotonicNow(now) > last ? MonotonicNow(now) - last : std::chrono::nanoseconds(0);
  return true;
}

void KernelFlowTable::ReportDue(const FlowClock& now, std::uint32_t interval_seconds,
                                std::vector<KdfFlowData>& reports) {
  const std::chrono::seconds period =
      interval_seconds != 0 ? std::chrono::seconds(interval_seconds) : kDefaultFlowCheckPeriod;
  for (auto it = flows_.begin(); it != flows_.end();) {
    Flow& flow = it->second;
    if (now.monotonic - flow.last_check < period) {
      ++it;
      continue;
    }
    flow.last_check = now.monotonic;
    std::chrono::nanoseconds idle_for{};
    const bool held = refresh(it->first, flow, now, idle_for);
    const bool idle = held && flow.socket.protocol == IPPROTO_UDP && idle_for >= period;
    if ((!held && flow.missing) || idle) {
      orv_udp_counters last{};
      if (idle && maps_.TakeUdp(it->first, last)) {  // with what came since the read
        flow.socket.bytes_received = last.bytes_in;
        flow.socket.bytes_sent = last.bytes_out;
      }
      reports.push_back(buildReport(flow, kKdfReportKindFinal, now.wall_seconds));
      const auto next = std::next(it);
      forget(it);
      it = next;
      continue;
    }
    flow.missing = !held;
    if (held && interval_seconds != 0) {
      reports.push_back(buildReport(flow, kReportKindInterim, now.wall_seconds));
    }
    ++it;
  }
}

void KernelFlowTable::forget(FlowMap::iterator flow) {
  if (flow->second.socket.protocol == IPPROTO_UDP) {
    const auto pairs = udp_pairs_.find(flow->first.cookie);
    if (pairs != udp_pairs_.end()) {
      std::erase_if(pairs->second,
                    [&](const orv_flow_key& key) { return KeyEqual()(key, flow->first); });
      if (pairs->second.empty()) {
        udp_pairs_.erase(pairs);
      }
    }
  }
  flows_.erase(flow);
}

KdfFlowData KernelFlowTable::buildReport(const Flow& flow, std::uint32_t report_kind,
                                         std::uint32_t end_seconds) {
  KdfFlowData report;
  DescribeEndpoints(flow.socket, report);
  report.bytes_in = flow.socket.bytes_received;
  report.bytes_out = flow.socket.bytes_sent;
  DescribeFlow(flow, report_kind, end_seconds, report);
  return report;
}

}  // namespace orv::driver
