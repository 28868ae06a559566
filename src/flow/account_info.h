// Account names and account types as flow records carry them.
//
// An account name is "domain\user": directory accounts ("user@domain") become "domain\user",
// local accounts are qualified with the short host name. The account type says which built-in
// group the account belongs to (table below), plus a flag for membership of a domain's
// "Domain Users" group.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/status.h"
#include "flow/process_queries.h"

inline constexpr std::uint16_t kAccountTypeNone = 0;
inline constexpr std::uint16_t kAccountTypeUsers = 1;
inline constexpr std::uint16_t kAccountTypeAdministrators = 2;
inline constexpr std::uint16_t kAccountTypeGuests = 3;
inline constexpr std::uint16_t kAccountTypeDomainFlag = 0x8000;

// The account type of uid with groups (in the kernel's order). The walk looks first at the uid
// itself (0: Administrators; the overflow uid: Guests; UID_MIN or above: Users), then at each
// group: until a domain group was noted, a name containing "Domain Users" (any case) notes one;
// sudo/wheel/admin set Administrators and end the walk, nogroup/guest/guests set Guests and end
// it, users sets Users and the walk goes on. The domain flag is added at the end. Groups without
// a name count for nothing.
[[nodiscard]] std::uint16_t ComputeAccountType(std::uint32_t uid,
                                               const std::vector<std::uint32_t>& groups,
                                               IAccountDirectory& directory);

// "domain\user" for uid. kObFailure (logged) when the uid has no entry or the database cannot be
// read ("no mapping"); kObExportNotPossible (-9989) when the entry has an empty name.
[[nodiscard]] OB_STATUSCODE FormatAccountName(std::uint32_t uid, IAccountDirectory& directory,
                                              std::wstring& name);

// Copies a "domain\user" name with its terminator into buffer. size holds the capacity in wide
// characters; a capacity below the name's user and domain lengths plus 4 gives kObBufferTooSmall
// with size set to that; on success size becomes the name's length. A null buffer is a size
// query.
[[nodiscard]] OB_STATUSCODE CopyAccountName(const std::wstring& name, wchar_t* buffer,
                                            std::uint32_t& size);
