// The proxy watchdog: a client arms it with the proxy text it set; when that client dies without
// disarming, the service switches the user's proxy off if it still holds that text.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

#include "service/protocol/request.h"
#include "service/protocol/response.h"
#include "service/watchdog/watchdog_state.h"

namespace varnelo {

class Caller;

// The one client the service watches, with its lock. The pipe side's commands arm and disarm it;
// the host's monitor loop ticks it and shuts it down.
class ProxyWatchdog {
 public:
  ProxyWatchdog() = default;
  ProxyWatchdog(const ProxyWatchdog&) = delete;
  ProxyWatchdog& operator=(const ProxyWatchdog&) = delete;

  // set_expected_proxy: watch the caller, with the proxy text it set.
  void SetExpectedProxy(Reply& reply, const Caller& caller, const RequestMap& request);
  // clear_watchdog: watch nobody.
  void ClearWatchdog(Reply& reply);

  // After each time-out of the monitor loop's wait on the stop event.
  void Tick();

  // Once after the monitor loop. Service mode restores a still-matching proxy ("service_stop");
  // console mode only forgets the client.
  void Shutdown(bool restore_settings);

 private:
  bool RefreshDisabledFlag(bool* previous);

  std::mutex lock_;  // taken by commands and by the tick; never while the log lock is held
  WatchdogState state_;
  // The flag as last read; exchanged without the lock so the tick can log transitions.
  std::atomic<bool> disabled_{false};
};

}  // namespace varnelo
