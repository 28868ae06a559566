#include "driver/flow_collector.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <utility>

#include "runtime/logger.h"

namespace orv::driver {

namespace {

constexpr std::uint32_t StateBit(std::uint8_t state) { return 1U << state; }

struct DumpRequest {
  std::uint8_t protocol;
  std::uint32_t states;
};

// TCP flows: every state but listeners, request sockets, time-wait and closed ones; UDP flows:
// connected sockets. Listeners (TCP listening, unconnected UDP) only mark ports, and are dumped
// after the flows: a dump is not one instant and the kernel walks listeners before connections,
// so a connection accepted while a combined dump ran could show up without its listener and be
// taken for outbound. Dumped later, a listener that existed when its connection came is seen.
constexpr DumpRequest kDumpRequests[] = {
    {IPPROTO_TCP, ~(StateBit(kTcpListen) | StateBit(kTcpSynRecv) | StateBit(kTcpTimeWait) |
                    StateBit(kTcpClose) | StateBit(kTcpNewSynRecv))},
    {IPPROTO_UDP, StateBit(kTcpEstablished)},
    {IPPROTO_TCP, StateBit(kTcpListen)},
    {IPPROTO_UDP, StateBit(kTcpClose)}};

std::atomic<bool> destroy_fallback_logged{false};
std::atomic<bool> connector_fallback_logged{false};

}  // namespace

FlowCollector::FlowCollector(ISocketOwnerSource& owners, IHostNameLookup* names)
    : owners_(owners), table_(owners, names) {}

void FlowCollector::OpenEventSources(bool flow_events) {
  int os_error = 0;
  if (flow_events && diag_.OpenDestroyNotifications(os_error) != kObSuccess &&
      !destroy_fallback_logged.exchange(true)) {
    OB_LOG_WARN("sock_diag destroy notifications unavailable (%s): flows end at the next poll",
                ::ErrnoText(os_error).c_str());
  }
  if (connector_.Open(os_error) != kObSuccess && !connector_fallback_logged.exchange(true)) {
    OB_LOG_WARN("process connector unavailable (%s): new processes are found in /proc at each poll",
                ::ErrnoText(os_error).c_str());
  }
}

OB_STATUSCODE FlowCollector::PollFlows(const FlowClock& now, std::uint32_t interval_seconds,
                                       std::vector<KdfFlowData>& reports) {
  sockets_.clear();
  for (const DumpRequest& request : kDumpRequests) {
    for (std::uint8_t family : {AF_INET, AF_INET6}) {
      if (diag_.Dump(family, request.protocol, request.states, sockets_) != kObSuccess) {
        OB_LOG_ERROR("socket dump failed; the flow table is kept until the next poll");
        return kObFailure;
      }
    }
  }
  table_.ApplyDump(sockets_, now, interval_seconds, reports);
  return kObSuccess;
}

void FlowCollector::PollProcesses(std::vector<std::uint32_t>& started) {
  if (connector_.Fd() >= 0) {
    return;
  }
  std::vector<std::uint32_t> pids;
  owners_.ListProcesses(pids);
  std::unordered_set<std::uint32_t> current(pids.begin(), pids.end());
  if (have_pid_baseline_) {
    for (std::uint32_t pid : pids) {
      if (!known_pids_.contains(pid)) {
        started.push_back(pid);
      }
    }
  }
  known_pids_ = std::move(current);
  have_pid_baseline_ = true;
}

void FlowCollector::ReadEvents(const FlowClock& now, std::vector<KdfFlowData>& reports,
                               std::vector<std::uint32_t>& started) {
  if (diag_.NotificationFd() >= 0) {
    std::vector<DiagSocket> destroyed;
    diag_.ReadDestroyNotifications(destroyed);
    table_.ApplyDestroyed(destroyed, now, reports);
  }
  if (connector_.Fd() >= 0 && !connector_.Read(started)) {
    OB_LOG_WARN("process events were lost (receive buffer full)");
  }
}

}  // namespace orv::driver
