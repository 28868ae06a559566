// One poll's worth of work for the flow reporter: socket dumps into the flow table, destroy
// notifications, and process starts, from whichever kernel sources this process may use.
//
// Sources, best first: sock_diag destroy notifications end flows the moment their socket goes,
// with exact final counters (else the next poll ends them); the process connector announces
// process starts (else each poll compares the ids in /proc with the previous poll's, the first
// poll being the baseline). A missing source is logged once per process. Not thread-safe: the
// reporter's thread owns it.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "common/status.h"
#include "driver/flow_table.h"
#include "driver/inet_diag.h"
#include "driver/kdf_message.h"
#include "driver/proc_connector.h"
#include "driver/socket_owner.h"

namespace orv::driver {

class FlowCollector {
 public:
  // owners must outlive the collector.
  // names (when given: the host names flows get at their start) must outlive the collector.
  explicit FlowCollector(ISocketOwnerSource& owners, IHostNameLookup* names = nullptr);

  // Subscribes to the event sources this process may use; socket destroy notifications only
  // when flow_events (another source may report the flows).
  void OpenEventSources(bool flow_events = true);
  // Dumps TCP and UDP over IPv4 and IPv6 and applies them to the table, appending the reports
  // due. kObFailure (logged) when a dump fails: the table is left as it was, so a failed dump
  // never ends flows.
  [[nodiscard]] OB_STATUSCODE PollFlows(const FlowClock& now, std::uint32_t interval_seconds,
                                        std::vector<KdfFlowData>& reports);
  // Without the process connector: appends the processes that appeared in /proc since the last
  // call (none on the first). With it: does nothing; ReadEvents delivers them.
  void PollProcesses(std::vector<std::uint32_t>& started);
  // Handles what the event sources have delivered, without blocking.
  void ReadEvents(const FlowClock& now, std::vector<KdfFlowData>& reports,
                  std::vector<std::uint32_t>& started);

  // Descriptors that become readable when events wait; -1 for a source not in use.
  [[nodiscard]] int DestroyNotificationFd() const noexcept { return diag_.NotificationFd(); }
  [[nodiscard]] int ProcessEventFd() const noexcept { return connector_.Fd(); }
  [[nodiscard]] const FlowTable& Table() const noexcept { return table_; }

 private:
  ISocketOwnerSource& owners_;
  SockDiagChannel diag_;
  ProcConnector connector_;
  FlowTable table_;
  std::vector<DiagSocket> sockets_;  // reused between polls
  std::unordered_set<std::uint32_t> known_pids_;
  bool have_pid_baseline_ = false;
};

}  // namespace orv::driver
