#include "trust/vpn_state_reader_writer.h"

#include <cstring>
#include <new>
#include <utility>

#include "runtime/logger.h"

namespace {

constexpr std::uint32_t kNetworkStateInitial = 1;
constexpr std::uint32_t kTndNetworkTypeInitial = 2;
constexpr std::uint32_t kTunnelStateInitial = 4;
constexpr std::uint32_t kAddressBlockHeaderInitial = 5;

}  // namespace

std::unique_ptr<VPNSharedState> MakeInitialVPNSharedState() {
  auto state = std::make_unique<VPNSharedState>();  // value-initialised: all zeros
  state->network_state = kNetworkStateInitial;
  state->tnd_network_type = kTndNetworkTypeInitial;
  state->vpn_config.tunnel_state = kTunnelStateInitial;
  state->vpn_config.ipv4.header_word = kAddressBlockHeaderInitial;
  state->vpn_config.ipv6.header_word = kAddressBlockHeaderInitial;
  return state;
}

CInterModuleVPNStateReaderWriter::CInterModuleVPNStateReaderWriter(
    bool& ok, std::int32_t role, OBPlatform::VpnStateObjectNames names)
    : names_(std::move(names)), writer_(role == kVpnStateRoleWriter) {
  ok = false;
  record_ = MakeInitialVPNSharedState();
  bool memory_ok = false;
  auto memory = std::make_unique<CSharedMemory>(
      role, static_cast<std::uint32_t>(kVPNSharedStateSize), memory_ok, names_);
  if (!memory_ok) {
    OB_LOG_ERROR("CSharedMemory failed");
    return;
  }
  shared_memory_ = std::move(memory);
  if (writer_) {
    std::uint32_t size = kVPNSharedStateSize;
    bool written = false;
    if (!shared_memory_->WriteToSharedMemoryIfBlank(record_.get(), size, written)) {
      OB_LOG_ERROR("Unable to write initial state to the shared memory, buff size required = %u",
                   size);
      return;
    }
  }
  ok = true;
}

CInterModuleVPNStateReaderWriter::~CInterModuleVPNStateReaderWriter() = default;

bool CInterModuleVPNStateReaderWriter::GetCurrentState(VPNSharedState& state) {
  const std::lock_guard lock(record_mutex_);
  std::uint32_t size = kVPNSharedStateSize;
  if (shared_memory_ == nullptr || !shared_memory_->ReadSharedMemory(size, record_.get())) {
    OB_LOG_ERROR("Unable to read from the memory location, buff size required = %u",
                 static_cast<unsigned>(kVPNSharedStateSize));
    return false;
  }
  std::memcpy(&state, record_.get(), sizeof(VPNSharedState));
  return true;
}

bool CInterModuleVPNStateReaderWriter::writeRecord() {
  std::uint32_t size = kVPNSharedStateSize;
  if (shared_memory_ == nullptr || !shared_memory_->WriteToSharedMemory(record_.get(), size)) {
    OB_LOG_ERROR("Unable to write to the shared memory, buff size required = %u",
                 static_cast<unsigned>(kVPNSharedStateSize));
    return false;
  }
  return true;
}

bool CInterModuleVPNStateReaderWriter::SetNetworkState(std::uint32_t value) {
  const std::lock_guard lock(record_mutex_);
  record_->network_state = value;
  record_->network_interface_change = 0;
  record_->user_session_change = 0;
  return writeRecord();
}

bool CInterModuleVPNStateReaderWriter::SetNetworkInterfaceChange(std::uint32_t value) {
  const std::lock_guard lock(record_mutex_);
  record_->network_interface_change = value;
  record_->user_session_change = 0;
  return writeRecord();
}

bool CInterModuleVPNStateReaderWriter::SetUserSessionChange(std::uint32_t value) {
  const std::lock_guard lock(record_mutex_);
  record_->user_session_change = value;
  record_->network_interface_change = 0;
  return writeRecord();
}

bool CInterModuleVPNStateReaderWriter::SetTndNetworkType(std::uint32_t value) {
  const std::lock_guard lock(record_mutex_);
  record_->tnd_network_type = value;
  record_->network_interface_change = 0;
  record_->user_session_change = 0;
  return writeRecord();
}

bool CInterModuleVPNStateReaderWriter::SetVpnConfig(const VPNConfiguration& configuration) {
  const std::lock_guard lock(record_mutex_);
  std::memcpy(&record_->vpn_config, &configuration, sizeof(VPNConfiguration));
  record_->network_interface_change = 0;
  record_->user_session_change = 0;
  return writeRecord();
}
