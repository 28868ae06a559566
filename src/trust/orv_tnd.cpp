#include "trust/orv_tnd.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

#include "common/network_type.h"
#include "runtime/logger.h"

namespace {

namespace NetworkMonitor = OBRuntime::NetworkMonitor;

constexpr std::uint32_t kTndVerdictTrusted = 0;
constexpr std::uint32_t kTunnelStateDisconnected = 4;
constexpr std::int32_t kReachable = 1;
constexpr std::chrono::milliseconds kNetworkTypeSignalDelay{500};

// Tunnel states in which an interface going down does not make the network unreachable.
bool TunnelKeepsReachable(std::uint32_t tunnel_state) {
  return tunnel_state == 1 || tunnel_state == 2 || tunnel_state == 3;
}

}  // namespace

CORVTND& CORVTND::GetInstance() {
  static CORVTND instance;
  return instance;
}

CORVTND::CORVTND(OBPlatform::VpnStateObjectNames names, NetworkMonitor::CNetworkMonitor* monitor)
    : names_(std::move(names)),
      monitor_(monitor != nullptr ? *monitor : NetworkMonitor::CNetworkMonitor::GetInstance()),
      network_type_(NETWORK_TYPE_UNKNOWN),
      last_record_(std::make_unique<VPNSharedState>()) {}

CORVTND::~CORVTND() { Stop(); }

int CORVTND::GetNetworkType() const { return network_type_.load(); }

bool CORVTND::IsVpnConnected() const { return tunnel_state_.load() == kTunnelStateConnected; }

bool CORVTND::IsVpnDisconnected() const { return tunnel_state_.load() == kTunnelStateDisconnected; }

void CORVTND::CopyLastVpnState(VPNSharedState& state) const {
  const std::lock_guard lock(record_mutex_);
  std::memcpy(&state, last_record_.get(), sizeof(VPNSharedState));
}

OB_STATUSCODE CORVTND::RegisterForNetworkChange(IORVNetworkChangeObserver* observer) {
  if (observer == nullptr) {
    OB_LOG_ERROR("Bad Parameter Passed, Slot to be signalled NULL");
    return kObBadArgument;
  }
  try {
    const std::lock_guard lock(observers_mutex_);
    if (observers_.contains(observer)) {
      return kObSuccess;
    }
    Connections connections;
    connections.vpn_state = vpn_state_changed_.connect(
        [observer](const VPNSharedState& state) { observer->OnVPNStateChanged(state); });
    connections.network_type =
        network_type_changed_.connect([observer] { observer->OnTrustedStateChanged(); });
    connections.interface =
        interface_changed_.connect([observer] { observer->OnNetworkTypeChange(); });
    observers_.emplace(observer, connections);
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Failed to connect the signal to the passed slot as %s", e.what());
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CORVTND::DeRegisterForNetworkChange(IORVNetworkChangeObserver* observer) {
  if (observer == nullptr) {
    OB_LOG_ERROR("Bad Parameter Passed, Slot to be signalled NULL");
    return kObBadArgument;
  }
  try {
    const std::lock_guard lock(observers_mutex_);
    const auto found = observers_.find(observer);
    if (found != observers_.end()) {
      found->second.vpn_state.disconnect();
      found->second.network_type.disconnect();
      found->second.interface.disconnect();
      observers_.erase(found);
    }
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Failed to disconnect the signal to the passed slot as %s", e.what());
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CORVTND::getCurrentVPNState(int& network_type) {
  if (reader_ == nullptr) {
    OB_LOG_ERROR("Inter Module VPN State Reader not initialized");
    network_type = NETWORK_TYPE_UNKNOWN;
    return kObFailure;
  }
  std::uint32_t verdict = 0;
  std::uint32_t tunnel_state = 0;
  {
    const std::lock_guard lock(record_mutex_);
    reader_->CopyCurrentState(*last_record_);
    verdict = last_record_->tnd_network_type;
    tunnel_state = last_record_->vpn_config.tunnel_state;
  }
  tunnel_state_ = tunnel_state;
  network_type = NETWORK_TYPE_UNTRUSTED;
  if (reachable_.load() == kReachable && verdict == kTndVerdictTrusted) {
    network_type = NETWORK_TYPE_TRUSTED;
  }
  if (tunnel_state == kTunnelStateConnected) {
    network_type = NETWORK_TYPE_TRUSTED;
  }
  return kObSuccess;
}

void CORVTND::OnVPNModuleStateChanged() {
  bool type_changed = false;
  bool tunnel_changed = false;
  {
    const std::lock_guard lock(evaluation_mutex_);
    const int old_type = network_type_.load();
    const std::uint32_t old_tunnel_state = tunnel_state_.load();
    int type = NETWORK_TYPE_UNKNOWN;
    if (getCurrentVPNState(type) != kObSuccess) {
      OB_LOG_ERROR("Unable to fetch current VPN state");
      return;
    }
    type_changed = type != old_type;
    if (type_changed) {
      network_type_ = type;
    }
    tunnel_changed = tunnel_state_.load() != old_tunnel_state;
  }
  if (tunnel_changed) {
    OB_LOG_DEBUG("change in vpn tunnel state");
    auto record = std::make_unique<VPNSharedState>();
    CopyLastVpnState(*record);
    vpn_state_changed_(*record);
  }
  if (type_changed) {
    OB_LOG_DEBUG("Noticed change in network");
    std::unique_lock lock(stop_mutex_);
    if (stop_changed_.wait_for(lock, kNetworkTypeSignalDelay, [this] { return stopping_; })) {
      return;  // stopping: the observers are on their way out
    }
    lock.unlock();
    network_type_changed_();
  }
}

void CORVTND::OnInterfaceChange(int state) {
  const bool down = state == NetworkMonitor::kInterfaceDown;
  OB_LOG_DEBUG("Network Interface change notified - Interface %s.", down ? "down" : "up");
  if (down && !TunnelKeepsReachable(tunnel_state_.load())) {
    reachable_ = 0;
  }
  interface_changed_();
}

void CORVTND::OnNetworkStateChange(int state) {
  OB_LOG_DEBUG("Network State change notified - Network %s.",
               state == kReachable ? "Reachable" : "Not Reachable");
  reachable_ = state;
}

void CORVTND::OnTrustedStateChange(int /*state*/) {
  OB_LOG_DEBUG("Trusted state change notified.");
}

OB_STATUSCODE CORVTND::Start() {
  const std::lock_guard lock(lifecycle_mutex_);
  if (reader_ != nullptr) {
    OB_LOG_ERROR("ORVTND already initialized");
    return kObAlreadyInitialised;
  }
  reachable_ = kReachable;
  if (const OB_STATUSCODE status = monitor_.Start();
      status != kObSuccess && status != kObAlreadyRunning) {
    OB_LOG_ERROR("Start NetworkMonitor failed");
  }
  if (monitor_.RegisterForNetworkChange(this) != kObSuccess) {
    OB_LOG_ERROR("Unable to register for the network change notification");
  }
  std::unique_ptr<CInterModuleVPNStateReader> reader;
  bool reader_ok = false;
  try {
    reader = std::make_unique<CInterModuleVPNStateReader>(reader_ok, names_);
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s", e.what());
  }
  if (reader == nullptr || !reader_ok) {
    OB_LOG_ERROR("Not able to create an instance of the Inter Module VPN State Reader");
    stopMonitor();
    return kObFailure;
  }
  // Registering before the reader's thread runs means no change can fall between the first
  // read and the registration; evaluation_mutex_ orders Start's evaluation against the thread's.
  if (const OB_STATUSCODE status = reader->RegisterForVpnStateChangeNotification(this);
      status != kObSuccess) {
    OB_LOG_ERROR("Unable to register for the TND/VPN tunnel state change notification");
    stopMonitor();
    return status;
  }
  {
    const std::lock_guard stop_lock(stop_mutex_);
    stopping_ = false;
  }
  reader_ = std::move(reader);
  const std::lock_guard evaluation(evaluation_mutex_);
  if (const OB_STATUSCODE status = reader_->Start(); status != kObSuccess) {
    OB_LOG_ERROR("Not able to start network state change detector");
    reader_.reset();
    stopMonitor();
    return status;
  }
  int type = NETWORK_TYPE_UNKNOWN;
  if (getCurrentVPNState(type) != kObSuccess) {
    OB_LOG_ERROR("Unable to fetch the initial network state");
  } else {
    network_type_ = type;
  }
  return kObSuccess;
}

void CORVTND::stopMonitor() {
  if (monitor_.DeRegisterForNetworkChange(this) != kObSuccess || monitor_.Stop() != kObSuccess) {
    OB_LOG_ERROR("Not able to stop NetworkMonitor");
  }
}

OB_STATUSCODE CORVTND::Stop() {
  const std::lock_guard lock(lifecycle_mutex_);
  if (reader_ == nullptr) {
    return kObSuccess;
  }
  {
    const std::lock_guard stop_lock(stop_mutex_);
    stopping_ = true;
  }
  stop_changed_.notify_all();
  stopMonitor();
  if (reader_->DeRegisterForVpnStateChangeNotification(this) != kObSuccess ||
      reader_->Stop() != kObSuccess) {
    OB_LOG_ERROR("Not able to stop network state change detector");
  }
  reader_.reset();
  return kObSuccess;
}
