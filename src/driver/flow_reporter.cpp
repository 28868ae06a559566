#include "driver/flow_reporter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "driver/dns_packet_socket.h"
#include "driver/flow_datagram_builder.h"
#include "driver/kernel_flow_source.h"
#include "runtime/agent_thread.h"
#include "runtime/logger.h"

namespace orv::driver {

namespace {

std::atomic<bool> source_logged{false};

void LogFlowSource(bool kernel, const std::string& why_not) {
  if (source_logged.exchange(true)) {
    return;
  }
  if (kernel) {
    OB_LOG_WARN("flow source: kernel programs (every TCP and UDP flow, exact bytes)");
  } else {
    OB_LOG_WARN("flow source: sock_diag polling once a second (kernel programs unavailable: %s)",
                why_not.c_str());
  }
}

// poll(2) until the time given; 0 at once when it has passed.
int PollUntil(pollfd* fds, nfds_t count, std::chrono::steady_clock::time_point until) {
  const auto remaining =
      std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  return remaining.count() > 0 ? ::poll(fds, count, static_cast<int>(remaining.count())) : 0;
}

// Where the kernel flow source cannot run, DNS answers come from a packet socket; its absence
// (no CAP_NET_RAW) only costs the host names.
std::unique_ptr<DnsPacketSocket> OpenDnsPacketSocket() {
  std::string why_not;
  std::unique_ptr<DnsPacketSocket> socket = DnsPacketSocket::Open(why_not);
  if (!socket) {
    OB_LOG_WARN("destination host names unavailable: %s", why_not.c_str());
  }
  return socket;
}

FlowClock Now() {
  return {std::chrono::steady_clock::now(), static_cast<std::uint32_t>(std::time(nullptr))};
}

}  // namespace

CFlowReporter::CFlowReporter() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_.valid()) {
    OB_LOG_ERROR("cannot create the reporter's eventfd: %s", ::ErrnoText(errno).c_str());
  }
}

CFlowReporter::~CFlowReporter() { Disable(); }

OB_STATUSCODE CFlowReporter::Enable(const sockaddr_storage& destination, socklen_t length) {
  const bool usable = (destination.ss_family == AF_INET && length == sizeof(sockaddr_in)) ||
                      (destination.ss_family == AF_INET6 && length == sizeof(sockaddr_in6));
  if (!usable) {
    OB_LOG_ERROR("unusable destination: family %u, %u bytes", destination.ss_family, length);
    return kObBadArgument;
  }
  OBRuntime::UniqueFd sender(::socket(destination.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sender.valid() || !wake_.valid()) {
    OB_LOG_ERROR("cannot open the sending socket: %s", ::ErrnoText(errno).c_str());
    return kObFailure;
  }
  const std::lock_guard control(control_mutex_);
  {
    const std::lock_guard lock(mutex_);
    sender_ = std::move(sender);
    destination_ = destination;
    destination_length_ = length;
    send_failed_ = false;
  }
  if (thread_.joinable()) {
    return kObSuccess;
  }
  std::promise<void> sources_open;
  std::future<void> opened = sources_open.get_future();
  try {
    thread_ = OBRuntime::StartAgentThread(&CFlowReporter::run, this, std::move(sources_open));
  } catch (const std::system_error& error) {
    OB_LOG_ERROR("cannot start the reporter thread: %s", error.what());
    return kObFailure;
  }
  // Flows that begin once Enable returns are seen with their owners.
  opened.wait();
  return kObSuccess;
}

void CFlowReporter::Disable() {
  const std::lock_guard control(control_mutex_);
  if (!thread_.joinable()) {
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    settings_.stop = true;
  }
  const std::uint64_t one = 1;
  static_cast<void>(::write(wake_.get(), &one, sizeof(one)));
  thread_.join();
  const std::lock_guard lock(mutex_);
  settings_.stop = false;
  settings_.poll_now = false;
}

void CFlowReporter::SetInterval(std::uint32_t seconds) {
  const std::lock_guard lock(mutex_);
  settings_.interval_seconds = seconds;
}

void CFlowReporter::PollNow() {
  {
    const std::lock_guard lock(mutex_);
    settings_.poll_now = true;
  }
  const std::uint64_t one = 1;
  static_cast<void>(::write(wake_.get(), &one, sizeof(one)));
}

CFlowReporter::Settings CFlowReporter::takeSettings() {
  std::uint64_t count = 0;
  static_cast<void>(::read(wake_.get(), &count, sizeof(count)));
  const std::lock_guard lock(mutex_);
  const Settings taken = settings_;
  settings_.poll_now = false;
  return taken;
}

void CFlowReporter::run(std::promise<void> sources_open) {
  OB_LOG_DEBUG("flow reporter running");
  DnsNameCache names;
  DnsNameTracker name_tracker(names);
  ProcSocketOwnerSource owners;
  FlowCollector collector(owners, &names);
  std::string why_not;
  const std::unique_ptr<KernelFlowSource> kernel = KernelFlowSource::Open(why_not);
  LogFlowSource(kernel != nullptr, why_not);
  collector.OpenEventSources(kernel == nullptr);
  const std::unique_ptr<DnsPacketSocket> dns_packets = kernel ? nullptr : OpenDnsPacketSocket();
  sources_open.set_value();
  ProcOwnerResolver resolver;
  std::optional<KernelFlowTable> kernel_flows;
  if (kernel) {
    kernel->LearnNamesWith(name_tracker);
    kernel_flows.emplace(*kernel, resolver, &names);
  }
  std::vector<KdfFlowData> reports;
  std::vector<std::uint32_t> started;
  auto next_poll = std::chrono::steady_clock::now();
  auto batch_until = next_poll;
  for (;;) {
    wait(next_poll, collector, kernel ? kernel->Fd() : -1, batch_until,
         dns_packets ? dns_packets->Fd() : -1);
    const Settings settings = takeSettings();
    if (settings.stop) {
      break;
    }
    reports.clear();
    started.clear();
    const FlowClock now = Now();
    if (dns_packets) {
      dns_packets->Consume(name_tracker, now.monotonic);
    }
    collector.ReadEvents(now, reports, started);
    if (kernel) {
      kernel->Consume(*kernel_flows, now, reports);
      batch_until = now.monotonic + kEventBatchPeriod;
    }
    if (settings.poll_now || now.monotonic >= next_poll) {
      next_poll = now.monotonic + kPollPeriod;
      collector.PollProcesses(started);
      if (kernel) {
        kernel_flows->ReportDue(now, settings.interval_seconds, reports);
        kernel->LogLostEvents(now.monotonic);
      } else {
        static_cast<void>(collector.PollFlows(now, settings.interval_seconds, reports));
      }
    }
    send(started, reports);
  }
  OB_LOG_DEBUG("flow reporter stopped");
}

void CFlowReporter::wait(std::chrono::steady_clock::time_point deadline,
                         const FlowCollector& collector, int kernel_fd,
                         std::chrono::steady_clock::time_point batch_until, int dns_fd) const {
  pollfd fds[5] = {{wake_.get(), POLLIN, 0},
                   {collector.DestroyNotificationFd(), POLLIN, 0},
                   {collector.ProcessEventFd(), POLLIN, 0},
                   {dns_fd, POLLIN, 0},
                   {kernel_fd, POLLIN, 0}};
  // Negative descriptors are ignored by poll, so absent sources need no special case.
  const auto batch_end = std::min(batch_until, deadline);
  if (kernel_fd >= 0 && std::chrono::steady_clock::now() < batch_end &&
      PollUntil(fds, 4, batch_end) > 0) {
    return;  // the other sources are served at once; the ring buffer waits out the batch period
  }
  static_cast<void>(PollUntil(fds, 5, deadline));
}

void CFlowReporter::send(const std::vector<std::uint32_t>& started,
                         const std::vector<KdfFlowData>& reports) {
  if (started.empty() && reports.empty()) {
    return;
  }
  const std::lock_guard lock(mutex_);
  for (std::uint32_t pid : started) {
    KdfPidInfo info;
    info.pid = pid;
    const KdfPidInfoDatagram datagram = BuildKdfPidInfoDatagram(info);
    sendDatagram(datagram.data(), datagram.size());
  }
  for (const KdfFlowData& report : reports) {
    const KdfFlowDatagram datagram = BuildKdfFlowDatagram(report);
    sendDatagram(datagram.data(), datagram.size());
  }
}

void CFlowReporter::sendDatagram(const std::uint8_t* bytes, std::size_t size) {
  const ssize_t sent =
      ::sendto(sender_.get(), bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&destination_), destination_length_);
  if (sent < 0 && !send_failed_) {
    OB_LOG_WARN("sending a %zu-byte datagram to the flow data channel failed: %s", size,
                ::ErrnoText(errno).c_str());
  }
  send_failed_ = sent < 0;
}

}  // namespace orv::driver
