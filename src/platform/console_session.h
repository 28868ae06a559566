// The user of the active session on the console seat, from systemd-logind (sd-login).
//
// Reads logind's state files under /run/systemd; needs no D-Bus connection and keeps no state.
// Safe from any thread.
#pragma once

#include <cstdint>

#include "common/status.h"

namespace orv::platform {

// The uid of the active session of "seat0" when that session's class is "user". kObNotFound when
// logind does not run, the seat does not exist, no session is active or the active session is
// not a user's (a greeter, a lock screen); kObFailure (os_error set) for any other error.
[[nodiscard]] OB_STATUSCODE GetConsoleUser(std::uint32_t& uid, int& os_error);

}  // namespace orv::platform
