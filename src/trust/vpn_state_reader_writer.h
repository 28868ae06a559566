// Both sides of the VPN module's shared state record: the reading side the agent uses and the
// writing side of the VPN module (role 4), which orv-vpnstate and the tests play.
//
// A writer puts its initial record (network state 1, TND network type 2, tunnel state 4, both
// address blocks starting with the word 5) only into a block whose record is all zeros, the state
// of a block no one has written: a second writer attaching to a live block leaves it alone.
// Each writer operation changes the object's own copy and writes the whole record.
//
// Every operation is safe from any thread (the own copy has a mutex of its own).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "common/vpn_shared_state.h"
#include "platform/vpn_state_objects.h"
#include "trust/shared_memory.h"

// The record a VPN module writes before it knows anything.
[[nodiscard]] std::unique_ptr<VPNSharedState> MakeInitialVPNSharedState();

class CInterModuleVPNStateReaderWriter {
 public:
  // Attaches to the shared block as role; ok reports success (failures are logged).
  CInterModuleVPNStateReaderWriter(bool& ok, std::int32_t role,
                                   OBPlatform::VpnStateObjectNames names = {});
  virtual ~CInterModuleVPNStateReaderWriter();
  CInterModuleVPNStateReaderWriter(const CInterModuleVPNStateReaderWriter&) = delete;
  CInterModuleVPNStateReaderWriter& operator=(const CInterModuleVPNStateReaderWriter&) = delete;

  // Reads the block into the own copy and copies it to state; false (logged) when unreadable.
  [[nodiscard]] bool GetCurrentState(VPNSharedState& state);

  // Writer operations: each sets its field, zeroes the fields named, and writes the record.
  // Sets offset 0; zeroes the interface and session change words.
  [[nodiscard]] bool SetNetworkState(std::uint32_t value);
  // Sets offset 4; zeroes the session change word.
  [[nodiscard]] bool SetNetworkInterfaceChange(std::uint32_t value);
  // Sets offset 8; zeroes the interface change word.
  [[nodiscard]] bool SetUserSessionChange(std::uint32_t value);
  // Sets offset 12; zeroes the interface and session change words.
  [[nodiscard]] bool SetTndNetworkType(std::uint32_t value);
  // Copies the whole configuration; zeroes the interface and session change words.
  [[nodiscard]] bool SetVpnConfig(const VPNConfiguration& configuration);

  [[nodiscard]] bool is_writer() const noexcept { return writer_; }
  [[nodiscard]] const OBPlatform::VpnStateObjectNames& names() const noexcept { return names_; }

 private:
  // Writes the own copy whole; caller holds record_mutex_.
  [[nodiscard]] bool writeRecord();

  const OBPlatform::VpnStateObjectNames names_;
  const bool writer_;
  std::unique_ptr<CSharedMemory> shared_memory_;  // null when it could not be made
  std::mutex record_mutex_;
  std::unique_ptr<VPNSharedState> record_;  // guarded by record_mutex_
};
