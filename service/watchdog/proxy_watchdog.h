// The proxy watchdog: a client arms it with the proxy text it set; when that client dies without
// disarming, the service switches the user's proxy off if it still holds that text.
#pragma once

#include <windows.h>

#include "service/protocol/request.h"
#include "service/protocol/response.h"

namespace varnelo {

class Caller;

// Pipe commands, named as on the wire.
void set_expected_proxy(Reply& reply, const Caller& caller, const RequestMap& request);
void clear_watchdog(Reply& reply, const Caller& caller, const RequestMap& request);

// After each time-out of the monitor loop's wait on the stop event.
void ProxyWatchdogTick();

// Once after the monitor loop. Service mode restores a still-matching proxy ("service_stop");
// console mode only forgets the client.
void ShutdownProxyWatchdog(bool restoreSettings);

// HKLM\SOFTWARE\Varnelo disable_proxy_watchdog (64-bit view) is REG_DWORD 1, and nothing else.
bool IsProxyWatchdogDisabled();

}  // namespace varnelo
