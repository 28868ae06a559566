// How the exporter and the cache engine learn whether records may leave the endpoint now.
//
// The agent implements IExportStatusRegistrar; the exporter and the cache engine implement
// IExportStatusObserver and register with it. Notifications run on the thread that emits them
// (the agent's loop), so observers only record the new state and wake their own thread.
#pragma once

#include "common/status.h"
#include "common/vpn_shared_state.h"

class IExportStatusObserver {
 public:
  enum EXPORTER_STATUS : int { EXPORT_DISABLED = 0, EXPORT_ENABLED = 1 };

  virtual ~IExportStatusObserver() = default;
  // Export became enabled (on a trusted network) or disabled.
  virtual void OnExportStatusChange(EXPORTER_STATUS status) = 0;
  // The VPN module published a new state record.
  virtual void OnVPNStateChange(const VPNSharedState& state) = 0;
};

class IExportStatusRegistrar {
 public:
  virtual ~IExportStatusRegistrar() = default;
  // Connects both notifications of the observer; kObFailure when that fails.
  [[nodiscard]] virtual OB_STATUSCODE RegisterForExportStatusChange(
      IExportStatusObserver* observer) = 0;
  // Disconnects both notifications; the observer is not called once this returns.
  [[nodiscard]] virtual OB_STATUSCODE DeRegisterForExportStatusChange(
      IExportStatusObserver* observer) = 0;
  // Writes whether the network is trusted now and returns the trusted network detector's state
  // (1 trusted, 2 untrusted, 3 unknown).
  virtual int IsTrusted(bool* trusted) = 0;
};
