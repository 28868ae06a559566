// What the interface manager needs of the trusted network detector: its verdict, the tunnel
// test, and registration for change signals. Production wraps CORVTND; tests use a fake.
#pragma once

#include "common/status.h"
#include "common/trusted_network.h"
#include "trust/orv_tnd.h"

class INetworkChangeSource : public ITrustedNetworkState {
 public:
  // Connects the observer's three operations to the detector's signals.
  [[nodiscard]] virtual OB_STATUSCODE RegisterForNetworkChange(
      IORVNetworkChangeObserver* observer) = 0;
  // Disconnects them; an observer never registered is success.
  [[nodiscard]] virtual OB_STATUSCODE DeRegisterForNetworkChange(
      IORVNetworkChangeObserver* observer) = 0;
};

class CTndNetworkChangeSource final : public INetworkChangeSource {
 public:
  explicit CTndNetworkChangeSource(CORVTND& detector) : detector_(detector) {}

  // ITrustedNetworkState
  [[nodiscard]] int GetNetworkType() const override { return detector_.GetNetworkType(); }
  [[nodiscard]] bool IsVpnConnected() const override { return detector_.IsVpnConnected(); }

  // INetworkChangeSource
  [[nodiscard]] OB_STATUSCODE RegisterForNetworkChange(
      IORVNetworkChangeObserver* observer) override {
    return detector_.RegisterForNetworkChange(observer);
  }
  [[nodiscard]] OB_STATUSCODE DeRegisterForNetworkChange(
      IORVNetworkChangeObserver* observer) override {
    return detector_.DeRegisterForNetworkChange(observer);
  }

 private:
  CORVTND& detector_;
};
