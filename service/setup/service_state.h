// The service control manager for -install and -uninstall, and waiting for a service to reach a
// state (-install's restart, -uninstall's stop).
#pragma once

#include <windows.h>

#include "common/unique_resource.h"

namespace varnelo {

constexpr DWORD kServiceStatePollMs = 500;

// The service control manager with every right; null after "<who>: OpenSCManager failed err=N" in
// the log and on the console.
UniqueServiceHandle OpenServiceManager(const char* who);

enum class StateWait { kReached, kTimedOut, kQueryFailed };

// Queries the service up to `polls` times, kServiceStatePollMs apart, until it is in
// `targetState`; `status` holds the last state read and `*queryError` a failed query's error.
StateWait PollServiceState(SC_HANDLE service, DWORD targetState, int polls, SERVICE_STATUS* status,
                           DWORD* queryError);

// The same within `timeoutMs`, with its log lines; true when the service reached the state.
bool WaitServiceState(SC_HANDLE service, DWORD targetState, DWORD timeoutMs);

}  // namespace varnelo
