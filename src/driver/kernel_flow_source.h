// The kernel flow source: loads the flow programs (CO-RE, through their generated skeleton),
// attaches them at the root of the cgroup v2 hierarchy so every process in every network
// namespace is covered, and hands their ring buffer's events to a KernelFlowTable.
//
// Open fails, saying why, where BPF cannot be used: a build without the BPF toolchain, no
// CAP_BPF and CAP_PERFMON in the initial user namespace, no kernel BTF, a program the verifier
// refuses, no cgroup2 mount. The caller then falls back to sock_diag polling. Closing the source
// (destruction) detaches everything. Not thread-safe: the reporter's thread owns it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/dns_name_tracker.h"
#include "driver/kernel_flow_table.h"

namespace orv::driver {

class KernelFlowSource final : public IKernelFlowMaps {
 public:
  ~KernelFlowSource() override;
  KernelFlowSource(const KernelFlowSource&) = delete;
  KernelFlowSource& operator=(const KernelFlowSource&) = delete;

  // The loaded and attached source, or nullptr with the reason in why_not.
  [[nodiscard]] static std::unique_ptr<KernelFlowSource> Open(std::string& why_not);

  // Becomes readable when events wait.
  [[nodiscard]] int Fd() const noexcept;
  // From now on hands the DNS packets among the events to tracker (which must outlive the
  // source); without one they are dropped.
  void LearnNamesWith(DnsNameTracker& tracker) noexcept;
  // Hands every waiting event to table without blocking.
  void Consume(KernelFlowTable& table, const FlowClock& now, std::vector<KdfFlowData>& reports);
  // Events the kernel could not fit in the ring buffer since the source opened.
  [[nodiscard]] std::uint64_t LostEvents() const noexcept;
  // Counts the events lost since the last call for the operator; logs them at most once a minute.
  void LogLostEvents(std::chrono::steady_clock::time_point now);

  // IKernelFlowMaps
  [[nodiscard]] bool ReadTcp(std::uint64_t cookie, orv_tcp_counters& out) override;
  [[nodiscard]] bool ReadUdp(const orv_flow_key& key, orv_udp_counters& out) override;
  [[nodiscard]] bool TakeUdp(const orv_flow_key& key, orv_udp_counters& out) override;

  // What the source holds (programs, links, ring buffer); opaque outside its file.
  struct State;

 private:
  explicit KernelFlowSource(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
  std::uint64_t lost_logged_ = 0;
  std::uint64_t lost_counted_ = 0;  // handed to the operator counters
  std::chrono::steady_clock::time_point last_lost_log_{};
};

}  // namespace orv::driver
