// The trusted network detector: decides whether the endpoint is on a trusted network from the
// VPN module's verdict and tunnel state (read by CInterModuleVPNStateReader) and from the
// runtime network monitor's reachability, and tells its observers of changes.
//
// Evaluation: untrusted (2), unless the network is reachable and the VPN module's verdict is
// trusted (TND network type 0), or the tunnel is connected (1); both give trusted (1). Unknown
// (3) before the first evaluation and when there is no reader. The type changes only when the
// reader announces a change; reachability and interface events only update the reachable flag
// and notify.
//
// Threads: Start and Stop from one controlling thread. OnVPNModuleStateChanged runs on the
// reader thread and emits the VPN-state and network-type signals there (the latter 500 ms after
// noticing the change); the network monitor callbacks run on its thread. GetNetworkType,
// IsVpnConnected, IsVpnDisconnected and CopyLastVpnState are safe from any thread: the type,
// reachable flag and tunnel state are atomics and the last record is copied under a mutex.
// Observers are called synchronously on the emitting thread and must only note the change.
#pragma once

#include <atomic>
#include <boost/signals2/signal.hpp>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "common/status.h"
#include "common/trusted_network.h"
#include "common/vpn_shared_state.h"
#include "platform/vpn_state_objects.h"
#include "runtime/network_monitor.h"
#include "trust/vpn_state_reader.h"

class IORVNetworkChangeObserver {
 public:
  virtual ~IORVNetworkChangeObserver() = default;
  // The tunnel state changed; state is the record just read (valid during the call only).
  virtual void OnVPNStateChanged(const VPNSharedState& state) = 0;
  // The network type changed.
  virtual void OnTrustedStateChanged() = 0;
  // A network interface went down or up.
  virtual void OnNetworkTypeChange() = 0;
};

class CORVTND final : public IVpnStateChangeObserver,
                      public OBRuntime::NetworkMonitor::INetworkChangeObserver,
                      public ITrustedNetworkState {
 public:
  // The process-wide detector on the real shared objects and the runtime's monitor.
  static CORVTND& GetInstance();

  // A detector on the given shared objects and monitor (nullptr: the process-wide monitor).
  explicit CORVTND(OBPlatform::VpnStateObjectNames names = {},
                   OBRuntime::NetworkMonitor::CNetworkMonitor* monitor = nullptr);
  ~CORVTND() override;
  CORVTND(const CORVTND&) = delete;
  CORVTND& operator=(const CORVTND&) = delete;

  // Starts the monitor and the reader and evaluates: 0; -9978 when started already; -9999 or
  // the reader's status when the reader cannot be made, started or registered with.
  [[nodiscard]] OB_STATUSCODE Start();
  // Stops the monitor and the reader; 0. Does nothing when not started.
  OB_STATUSCODE Stop();

  // ITrustedNetworkState
  [[nodiscard]] int GetNetworkType() const override;
  [[nodiscard]] bool IsVpnConnected() const override;

  // True when the last record's tunnel state is 4, the VPN module's initial value.
  [[nodiscard]] bool IsVpnDisconnected() const;
  // A copy of the last record read (zeros before the first evaluation).
  void CopyLastVpnState(VPNSharedState& state) const;

  // Connects the observer's three operations to the three signals; -9994 for null, -9999 when
  // connecting fails (logged).
  [[nodiscard]] OB_STATUSCODE RegisterForNetworkChange(IORVNetworkChangeObserver* observer);
  // Disconnects them; an observer never registered is success.
  [[nodiscard]] OB_STATUSCODE DeRegisterForNetworkChange(IORVNetworkChangeObserver* observer);

  // IVpnStateChangeObserver
  void OnVPNModuleStateChanged() override;

  // OBRuntime::NetworkMonitor::INetworkChangeObserver
  void OnInterfaceChange(int state) override;
  void OnTrustedStateChange(int state) override;
  void OnNetworkStateChange(int state) override;

 private:
  struct Connections {
    boost::signals2::connection vpn_state;
    boost::signals2::connection network_type;
    boost::signals2::connection interface;
  };

  // Copies the reader's record into the last record and derives the type.
  [[nodiscard]] OB_STATUSCODE getCurrentVPNState(int& network_type);
  void stopMonitor();

  const OBPlatform::VpnStateObjectNames names_;
  OBRuntime::NetworkMonitor::CNetworkMonitor& monitor_;

  boost::signals2::signal<void()> network_type_changed_;
  boost::signals2::signal<void()> interface_changed_;
  boost::signals2::signal<void(const VPNSharedState&)> vpn_state_changed_;
  std::mutex observers_mutex_;
  std::map<IORVNetworkChangeObserver*, Connections> observers_;  // guarded by observers_mutex_

  std::mutex lifecycle_mutex_;  // serialises Start and Stop
  // Set by Start before the reader can call back and cleared by Stop after the reader thread is
  // joined, so the reader thread may use it without a lock.
  std::unique_ptr<CInterModuleVPNStateReader> reader_;

  // Serialises evaluations (Start's and the reader thread's) so that each compares against the
  // type the one before it stored.
  std::mutex evaluation_mutex_;
  std::atomic<int> network_type_;
  std::atomic<std::int32_t> reachable_{2};
  std::atomic<std::uint32_t> tunnel_state_{0};  // of the last record
  mutable std::mutex record_mutex_;
  std::unique_ptr<VPNSharedState> last_record_;  // guarded by record_mutex_

  // Lets Stop cut the 500 ms pause before the network-type signal short.
  std::mutex stop_mutex_;
  std::condition_variable stop_changed_;
  bool stopping_ = false;  // guarded by stop_mutex_
};
