// Opening a named POSIX shared memory object that only trusted processes can have written.
//
// /dev/shm is writable by every account, so a name may already be taken by someone else's object
// when the agent starts. An object is used only when it is a regular file owned by root or by
// this process's effective uid that neither group nor others may write; anything else under the
// name is logged and removed (root may remove it despite the sticky bit), and the object is then
// created afresh with O_EXCL and mode 0600, so no one else ever holds a writable descriptor to it.
// Safe from any thread.
#pragma once

#include <string>

#include "runtime/unique_fd.h"

namespace OBPlatform::internal {

// Opens name read-write, creating it (empty, mode 0600) when absent; created says which. 0 or an
// errno value (EPERM when a foreign object cannot be removed).
[[nodiscard]] int OpenTrustedSharedObject(const std::string& name, OBRuntime::UniqueFd& fd,
                                          bool& created);

}  // namespace OBPlatform::internal
