// Restoring the watched user's proxy settings after the client is gone.
#pragma once

#include <windows.h>

#include "service/watchdog/watchdog_state.h"

namespace varnelo {

// The caller holds the watchdog lock. Reads `state`, never changes it; every skip is logged.
// True when the settings were restored: the caller then calls BroadcastProxySettingsChange once it
// has released the lock.
bool RunProxyCleanup(const WatchdogState& state, const char* trigger);

// Tells the windows of this session that the Internet settings changed. Takes up to a second
// per slow window, so it is never called under the watchdog lock: a request arriving meanwhile
// would wait for every window.
void BroadcastProxySettingsChange();

}  // namespace varnelo
