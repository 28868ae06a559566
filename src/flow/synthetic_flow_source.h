// Plausible flow reports for load generation, benchmarks and end-to-end tests: private local
// addresses, public remote ones (IPv4 and IPv6), ephemeral local ports against well-known
// service ports, host names, process image paths with their parents, image hashes, byte counts,
// both directions, interim and final report kinds. Deterministic for a given seed.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "driver/kdf_message.h"

// A process whose flows are reported: its id, its parent's id, their image paths and hashes.
struct SyntheticProcess {
  std::uint32_t pid = 0;
  std::uint32_t parent_pid = 0;
  std::u16string path;
  std::u16string parent_path;
  std::array<std::uint8_t, kKdfHashBytes> hash{};
  std::array<std::uint8_t, kKdfHashBytes> parent_hash{};
};

class SyntheticFlowSource {
 public:
  // ipv6_percent of the flows (0 to 100) are IPv6.
  SyntheticFlowSource(std::uint32_t seed, unsigned ipv6_percent);

  // Reports every later flow as coming from process instead of an invented one.
  void UseProcess(const SyntheticProcess& process);

  // The next flow report; flow times are around now_seconds.
  [[nodiscard]] KdfFlowData NextFlow(std::uint32_t now_seconds);
  // The process of the flow NextFlow returned last (the first process before any flow).
  [[nodiscard]] const SyntheticProcess& LastProcess() const { return processes_[last_]; }

 private:
  void FillEndpoints(KdfFlowData& flow);

  std::mt19937 random_;
  unsigned ipv6_percent_;
  std::vector<SyntheticProcess> processes_;
  std::size_t last_ = 0;
};
