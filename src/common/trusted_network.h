// What the other subsystems ask of the trusted network detector, so that they can be built and
// tested without it: the profile chooses its data collection policy from these two answers.
#pragma once

#include "common/network_type.h"

class ITrustedNetworkState {
 public:
  virtual ~ITrustedNetworkState() = default;
  // NETWORK_TYPE_TRUSTED, NETWORK_TYPE_UNTRUSTED or NETWORK_TYPE_UNKNOWN; safe from any thread.
  [[nodiscard]] virtual int GetNetworkType() const = 0;
  // True when the VPN module reports its tunnel connected; safe from any thread.
  [[nodiscard]] virtual bool IsVpnConnected() const = 0;
};
