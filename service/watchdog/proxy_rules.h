// Rules of the proxy watchdog that need no Windows header: when an AutoConfigURL still points at
// the local core and may be removed with the proxy settings the client left behind.
#pragma once

#include <cstdint>
#include <string>

namespace varnelo {

// Ports the local core serves its PAC file on.
constexpr std::uint32_t kCorePacPortFirst = 11719;
constexpr std::uint32_t kCorePacPortLast = 11728;

// True when `url` holds "/commands/pac" (any letter case), or an occurrence of "127.0.0.1:" or
// "localhost:" (any letter case) directly followed by a decimal digit run whose value lies in
// the core's port range. Every occurrence is tried; a digit run too long for any port is outside
// the range, whatever its low digits.
bool IsStaleAutoConfigUrl(const std::wstring& url);

}  // namespace varnelo
