// Who may own the log folder, decided on SID text, free of Windows headers for native tests.
#pragma once

#include <string>

namespace varnelo {

constexpr wchar_t kLocalSystemSid[] = L"S-1-5-18";
constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";

// A log folder that already exists is used only when SYSTEM, Administrators or the account this
// program runs as owns it: the service and -install / -uninstall share the folder, so a folder
// the product made is never foreign. Any other owner may still hold rights the DACL no longer
// shows (an open handle with WRITE_DAC or DELETE), so such a folder is moved aside, not adopted.
// Both arguments are SIDs in string form ("S-1-5-..."); an empty owner is never trusted.
bool IsTrustedLogFolderOwner(const std::wstring& owner_sid, const std::wstring& own_account_sid);

// The name a foreign folder is moved aside to, unique by the time stamp given.
std::wstring MovedAsideLogFolderName(unsigned long long stamp);

}  // namespace varnelo
