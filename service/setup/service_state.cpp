#include "service/setup/service_state.h"

#include "service/log/service_log.h"
#include "service/setup/console_output.h"

namespace varnelo {

UniqueServiceHandle OpenServiceManager(const char* who) {
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    const DWORD error = ::GetLastError();
    ServiceLog("%s: OpenSCManager failed err=%lu", who, error);
    PrintConsole(L"OpenSCManager failed: %lu\n", error);
  }
  return manager;
}

StateWait PollServiceState(SC_HANDLE service, DWORD target_state, int polls, SERVICE_STATUS* status,
                           DWORD* query_error) {
  for (int poll = 0;; ++poll) {
    if (!::QueryServiceStatus(service, status)) {
      *query_error = ::GetLastError();
      return StateWait::kQueryFailed;
    }
    if (status->dwCurrentState == target_state) return StateWait::kReached;
    if (poll + 1 >= polls) return StateWait::kTimedOut;
    ::Sleep(kServiceStatePollMs);
  }
}

bool WaitServiceState(SC_HANDLE service, DWORD target_state, DWORD timeout_ms) {
  SERVICE_STATUS status = {};
  DWORD error = 0;
  const int polls = static_cast<int>(timeout_ms / kServiceStatePollMs) + 1;
  switch (PollServiceState(service, target_state, polls, &status, &error)) {
    case StateWait::kReached:
      return true;
    case StateWait::kQueryFailed:
      ServiceLog("WaitServiceState: QueryServiceStatus failed err=%lu", error);
      return false;
    case StateWait::kTimedOut:
      ServiceLog("WaitServiceState: timeout target=%lu current=%lu", target_state,
                 status.dwCurrentState);
      return false;
  }
  return false;
}

}  // namespace varnelo
