// The flow reporter's table of live flows: turns successive socket dumps and destroy
// notifications into flow data reports.
//
// A flow is a connected TCP or UDP socket that some process holds (a non-zero inode): TCP in any
// state from SYN-SENT to LAST-ACK, UDP in the connected state. Listening and unconnected sockets
// are not flows, but their ports mark inbound flows: a flow whose local port is such a port was
// opened by the remote end (direction 1). Flows are keyed by the kernel's socket cookie. A flow
// ends when its socket leaves the dump, is orphaned (its last descriptor closed: the inode turns
// 0) or is reported destroyed; it then gets one final report (kind 2) with the last counters
// known. While it lives it gets an interim report (kind 1) each report interval; 0 disables
// interim reports.
//
// The owner of a new socket is looked up once. An inode that no process holds is remembered as
// unowned and not looked up again while the socket lasts, so a dump in which nothing new
// appeared costs no /proc walk; such a socket is never reported. Not thread-safe: one owner.
#pragma once

#include <chrono>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "driver/dns_name_cache.h"
#include "driver/inet_diag.h"
#include "driver/kdf_message.h"
#include "driver/socket_owner.h"

namespace orv::driver {

inline constexpr std::uint32_t kReportKindInterim = 1;

// The two clocks a report needs: monotonic for intervals, wall seconds for the flow times.
struct FlowClock {
  std::chrono::steady_clock::time_point monotonic;
  std::uint32_t wall_seconds = 0;
};

class FlowTable {
 public:
  // owners must outlive the table.
  // owners and names (when given: the host names flows get at their start) must outlive the
  // table.
  explicit FlowTable(ISocketOwnerSource& owners, IHostNameLookup* names = nullptr);

  // Applies one complete dump of all TCP and UDP sockets (listening and unconnected ones
  // included): new flows are added, ended flows reported final and dropped, flows due an interim
  // report reported. Reports are appended to reports.
  void ApplyDump(const std::vector<DiagSocket>& sockets, const FlowClock& now,
                 std::uint32_t interval_seconds, std::vector<KdfFlowData>& reports);
  // Ends the flows of destroyed sockets with the counters the notification carries; sockets
  // that are not tracked flows are ignored.
  void ApplyDestroyed(const std::vector<DiagSocket>& destroyed, const FlowClock& now,
                      std::vector<KdfFlowData>& reports);

  [[nodiscard]] std::size_t FlowCount() const noexcept { return flows_.size(); }
  // How many owner lookups (/proc walks) the table has asked for.
  [[nodiscard]] std::uint64_t OwnerLookups() const noexcept { return owner_lookups_; }

 private:
  struct Flow {
    DiagSocket socket;
    ProcessDetails owner;
    std::string host_name;  // the remote's, as learned from DNS
    std::uint8_t direction = 0;
    std::uint32_t start_seconds = 0;
    std::chrono::steady_clock::time_point last_report;
    bool seen = false;  // present with its inode in the dump being applied
  };

  // Looks up the owners of fresh flow sockets and tracks those a process holds; the inodes of
  // the others are added to unowned.
  void addFlows(const std::vector<const DiagSocket*>& fresh, const FlowClock& now,
                std::unordered_set<std::uint32_t>& unowned);
  [[nodiscard]] bool isListeningPort(const DiagSocket& socket) const;
  void endUnseen(const FlowClock& now, std::vector<KdfFlowData>& reports);
  void reportDue(const FlowClock& now, std::uint32_t interval_seconds,
                 std::vector<KdfFlowData>& reports);
  [[nodiscard]] static KdfFlowData buildReport(const Flow& flow, std::uint32_t report_kind,
                                               std::uint32_t end_seconds);

  ISocketOwnerSource& owners_;
  IHostNameLookup* names_;
  std::unordered_map<std::uint64_t, Flow> flows_;          // by socket cookie
  std::unordered_set<std::uint32_t> unowned_;              // inodes no process held when looked up
  std::unordered_set<std::uint16_t> listening_tcp_ports_;  // rebuilt from each dump
  std::unordered_set<std::uint16_t> listening_udp_ports_;
  std::uint64_t owner_lookups_ = 0;
};

// Sets report's endpoints, address family and protocol from socket's; an IPv6 socket whose both
// ends are IPv4-mapped is reported as IPv4.
void DescribeEndpoints(const DiagSocket& socket, KdfFlowData& report);

// Sets what a report says of the flow besides its endpoints and bytes, alike for both flow
// tables: a Flow has owner (ProcessDetails), start_seconds, host_name and direction.
template <typename Flow>
void DescribeFlow(const Flow& flow, std::uint32_t report_kind, std::uint32_t end_seconds,
                  KdfFlowData& report) {
  report.pid = flow.owner.pid;
  report.process_start_time = flow.owner.start_time;
  report.parent_pid = flow.owner.parent_pid;
  report.flow_start = flow.start_seconds;
  report.flow_end = end_seconds;
  report.host_name = flow.host_name;
  report.process_path = flow.owner.path;
  report.parent_path = flow.owner.parent_path;
  report.direction = flow.direction;
  report.report_kind = report_kind;
}

// True when socket is a flow: a connected TCP or UDP socket that a process holds.
[[nodiscard]] bool IsFlowSocket(const DiagSocket& socket) noexcept;

}  // namespace orv::driver
