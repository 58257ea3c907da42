// Waiting for a service to reach a state, for -install's restart and -uninstall's stop.
#pragma once

#include <windows.h>

namespace varnelo {

constexpr DWORD kServiceStatePollMs = 500;

enum class StateWait { kReached, kTimedOut, kQueryFailed };

// Queries the service up to `polls` times, kServiceStatePollMs apart, until it is in
// `targetState`; `status` holds the last state read and `*queryError` a failed query's error.
StateWait PollServiceState(SC_HANDLE service, DWORD targetState, int polls, SERVICE_STATUS* status,
                           DWORD* queryError);

// The same within `timeoutMs`, with its log lines; true when the service reached the state.
bool WaitServiceState(SC_HANDLE service, DWORD targetState, DWORD timeoutMs);

}  // namespace varnelo
