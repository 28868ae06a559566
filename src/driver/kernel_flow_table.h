// The kernel flow source's table in user space: turns the events of the kernel programs into
// flow data reports.
//
// A flow is a TCP connection (keyed by its socket's cookie) or a UDP (socket, remote address,
// remote port) pair. TCP: the opening event adds the flow; the closing event carries the final
// counters and the whole description, so a connection whose opening was never seen (it opened
// before the source started, or its event was lost) still gets its final report. UDP: the
// opening event adds the pair; its counters live in the kernel's map, read when a report is due;
// the socket's release ends every pair of the socket, and a pair idle for the report interval
// (60 s when the interval is 0) ends on its own.
//
// Each period (the interval, or 60 s) a flow is checked: an interim report (kind 1) when the
// interval is not 0, an end for an idle UDP pair or for a flow the kernel no longer holds (an
// evicted entry or a lost closing event; it must be missing at two checks in a row, so a closing
// event still on its way is not beaten). Events are untrusted bytes: a truncated, oversized or
// unknown event is counted, logged (rate-limited) and dropped. Not thread-safe: one owner.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "driver/bpf/flow_events.h"
#include "driver/dns_name_cache.h"
#include "driver/flow_table.h"
#include "driver/inet_diag.h"
#include "driver/kdf_message.h"
#include "driver/socket_owner.h"

namespace orv::driver {

// How long a UDP pair may stay silent, and how often flows are checked, when the report interval
// is 0.
inline constexpr std::chrono::seconds kDefaultFlowCheckPeriod{60};

// The kernel maps the table reads, behind a seam so the table can be tested with a fake.
class IKernelFlowMaps {
 public:
  virtual ~IKernelFlowMaps() = default;
  // False when the kernel holds no such flow.
  [[nodiscard]] virtual bool ReadTcp(std::uint64_t cookie, orv_tcp_counters& out) = 0;
  [[nodiscard]] virtual bool ReadUdp(const orv_flow_key& key, orv_udp_counters& out) = 0;
  // Reads and removes the pair in one step; false when the kernel holds no such pair.
  [[nodiscard]] virtual bool TakeUdp(const orv_flow_key& key, orv_udp_counters& out) = 0;
};

class KernelFlowTable {
 public:
  // maps, owners and names (when given: the host names flows get at their start) must outlive
  // the table.
  KernelFlowTable(IKernelFlowMaps& maps, IOwnerResolver& owners, IHostNameLookup* names = nullptr);

  // Applies one event as received from the ring buffer, appending the reports it ends.
  void Apply(std::span<const std::uint8_t> bytes, const FlowClock& now,
             std::vector<KdfFlowData>& reports);
  // Appends the interim reports and the ends due at now.
  void ReportDue(const FlowClock& now, std::uint32_t interval_seconds,
                 std::vector<KdfFlowData>& reports);

  [[nodiscard]] std::size_t FlowCount() const noexcept { return flows_.size(); }
  // Events dropped as truncated, oversized or unknown.
  [[nodiscard]] std::uint64_t MalformedEvents() const noexcept { return malformed_events_; }

 private:
  struct KeyHash {
    std::size_t operator()(const orv_flow_key& key) const noexcept;
  };
  struct KeyEqual {
    bool operator()(const orv_flow_key& a, const orv_flow_key& b) const noexcept;
  };
  struct Flow {
    DiagSocket socket;  // addresses, ports, protocol and the counters last read
    ProcessDetails owner;
    std::string host_name;  // the remote's, as its owner or the machine learned it from DNS
    std::uint8_t direction = 0;
    std::uint32_t start_seconds = 0;
    std::chrono::steady_clock::time_point last_check;
    bool missing = false;  // the kernel did not hold it at the last check
  };
  using FlowMap = std::unordered_map<orv_flow_key, Flow, KeyHash, KeyEqual>;

  void add(const orv_flow_event& event, const FlowClock& now);
  void endTcp(const orv_flow_event& event, const FlowClock& now, std::vector<KdfFlowData>& reports);
  void releaseUdp(std::uint64_t cookie, const FlowClock& now, std::vector<KdfFlowData>& reports);
  // Reads the flow's counters from the kernel; false when it holds the flow no longer. idle_for
  // is set for a UDP pair.
  bool refresh(const orv_flow_key& key, Flow& flow, const FlowClock& now,
               std::chrono::nanoseconds& idle_for);
  void forget(FlowMap::iterator flow);
  [[nodiscard]] Flow describe(const orv_flow_event& event, const FlowClock& now);
  [[nodiscard]] static KdfFlowData buildReport(const Flow& flow, std::uint32_t report_kind,
                                               std::uint32_t end_seconds);

  IKernelFlowMaps& maps_;
  IOwnerResolver& owners_;
  IHostNameLookup* names_;
  FlowMap flows_;
  std::unordered_map<std::uint64_t, std::vector<orv_flow_key>> udp_pairs_;  // by socket cookie
  std::uint64_t malformed_events_ = 0;
};

// The table's key for a TCP connection (only the cookie set).
[[nodiscard]] orv_flow_key TcpFlowKey(std::uint64_t cookie) noexcept;

}  // namespace orv::driver
