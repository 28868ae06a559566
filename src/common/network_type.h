// The trusted network detector's verdict on the current network, as every subsystem reads it.
#pragma once

enum NETWORK_TYPE : int {
  NETWORK_TYPE_TRUSTED = 1,
  NETWORK_TYPE_UNTRUSTED = 2,
  NETWORK_TYPE_UNKNOWN = 3,
};
