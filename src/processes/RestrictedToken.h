#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "common/WinHandle.h"

// Windows only: the token that the proxy core runs on. Whatever a client sends reaches the core
// (its configuration names the files the core writes, and its clients name the destinations it
// logs), so the core never holds the rights of the local system account that the service has.
namespace halvern {

// A primary token for a child, made from the service's own: the same account, no privilege but
// the bypass of traverse checking that every account holds (DISABLE_MAX_PRIVILEGE), and the low
// integrity level (S-1-16-4096), which denies writes to every file, registry key and process of
// medium integrity or above, and WRITE_RESTRICTED with Everyone, RESTRICTED and WRITE
// RESTRICTED as its restricting SIDs, so that writing anything also needs a grant to one of
// those: the low-labelled folders in users' profiles, which grant SYSTEM and the
// administrators, stay out of its reach. Returns it, or an empty handle with `error` set to the
// last-error code of the call that failed; there is no weaker substitute.
UniqueHandle createRestrictedToken(std::uint32_t& error) noexcept;

// What GetTokenInformation reports of `token` for `kind`, in a buffer aligned for any of its
// records. Pointers in the records point into the buffer: move it, never copy it. Empty, with
// `error` set, when the query fails.
std::vector<std::uint64_t> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                            std::uint32_t& error);

}  // namespace halvern
