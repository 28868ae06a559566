// User and group names from the system's account databases (NSS: files, LDAP, SSSD...), and the
// few system settings that classify accounts.
//
// Lookups report kObSuccess, kObNotFound when no entry exists, and kObFailure (os_error set) when
// the database could not be read. Every function is safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

namespace orv::platform {

[[nodiscard]] OB_STATUSCODE LookupUserName(std::uint32_t uid, std::string& name, int& os_error);
[[nodiscard]] OB_STATUSCODE LookupGroupName(std::uint32_t gid, std::string& name, int& os_error);
// The groups of a user as a login would give them: the primary group first, then the
// supplementary groups in database order.
[[nodiscard]] OB_STATUSCODE LookupUserGroups(std::uint32_t uid, std::vector<std::uint32_t>& gids,
                                             int& os_error);

// The lowest uid of ordinary users: UID_MIN from the login.defs text, 1000 when absent or
// malformed.
[[nodiscard]] std::uint32_t ParseUidMin(std::string_view login_defs);
// ParseUidMin of /etc/login.defs (1000 when it cannot be read).
[[nodiscard]] std::uint32_t ReadUidMin();
// The uid that unmapped ids appear as (/proc/sys/kernel/overflowuid, 65534 when unreadable).
[[nodiscard]] std::uint32_t ReadOverflowUid();
// The host name up to its first dot; "localhost" when it cannot be read.
[[nodiscard]] std::string ShortHostName();

}  // namespace orv::platform
