// Names of the three shared objects through which the VPN module publishes its state.
//
// The defaults are the names every module of the endpoint agrees on. Tests and side-by-side
// setups pass other names so that they never touch a running agent's objects.
#pragma once

#include <string>
#include <string_view>

namespace OBPlatform {

inline constexpr char kVpnStateBlockName[] = "/VarnoObTempMemory";
inline constexpr char kVpnStateLockName[] = "/VarnoObMemoryLock";
inline constexpr char kVpnStateEventName[] = "/VarnoObNamedEvent";

struct VpnStateObjectNames {
  std::string block = kVpnStateBlockName;
  std::string lock = kVpnStateLockName;
  std::string event = kVpnStateEventName;

  // The default names, each followed by suffix (which must not contain '/').
  [[nodiscard]] static VpnStateObjectNames WithSuffix(std::string_view suffix) {
    VpnStateObjectNames names;
    names.block.append(suffix);
    names.lock.append(suffix);
    names.event.append(suffix);
    return names;
  }
};

}  // namespace OBPlatform
