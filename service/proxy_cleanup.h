// Restoring the watched user's proxy settings after the client is gone.
#pragma once

#include <windows.h>

#include "service/proxy_watchdog.h"

namespace varnelo {

// The caller holds the watchdog lock. Reads `state`, never changes it; every skip is logged.
void RunProxyCleanup(const WatchdogState& state, const char* trigger);

// Deletes AutoConfigURL from the open Internet Settings key when it still points at the local
// core; logs either way with `tag`. An absent or empty value is left without a line.
void ClearStaleAutoConfigUrl(HKEY settings, const char* tag);

}  // namespace varnelo
