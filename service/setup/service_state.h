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
// `target_state`; `status` holds the last state read and `*queryError` a failed query's error.
StateWait PollServiceState(SC_HANDLE service, DWORD target_state, int polls, SERVICE_STATUS* status,
                           DWORD* query_error);

// The same within `timeout_ms`, with its log lines; true when the service reached the state.
bool WaitServiceState(SC_HANDLE service, DWORD target_state, DWORD timeout_ms);

}  // namespace varnelo
