// Accounts as SID text: of a SID, of a security descriptor's owner, of a process's user.
#pragma once

#include <windows.h>

#include <string>

namespace varnelo {

// "S-1-5-..."; empty when the SID is null or cannot be converted.
std::wstring SidText(PSID sid);

// The owner of a security descriptor; empty when it has none.
std::wstring OwnerSidText(PSECURITY_DESCRIPTOR sd);

// The user of a process's token (the process handle needs query rights); empty on any failure.
std::wstring ProcessUserSid(HANDLE process);

}  // namespace varnelo
