#include "service/setup/uninstall_service.h"

#include <windows.h>

#include "common/unique_resource.h"
#include "service/log/service_log.h"
#include "service/names.h"
#include "service/setup/console_output.h"
#include "service/setup/service_state.h"

namespace varnelo {

namespace {

const wchar_t kServiceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\VarneloService";
constexpr int kStopPolls = 60;
constexpr int kKeyPolls = 60;
constexpr DWORD kKeyPollMs = 250;

// Sends a stop unless the service is already stopped, then waits up to about 30 s for it.
void StopServiceAndWait(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  if (!::QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) return;
  const BOOL sent = ::ControlService(service, SERVICE_CONTROL_STOP, &status);
  ServiceLog("UninstallService: ControlService(STOP) bRet=%d err=%lu state=%lu", sent,
             sent ? 0UL : ::GetLastError(), status.dwCurrentState);
  // Polled even when the control failed: a stop may already be under way.
  DWORD query_error = 0;
  PollServiceState(service, SERVICE_STOPPED, kStopPolls, &status, &query_error);
  ServiceLog("UninstallService: state after stop wait: %lu", status.dwCurrentState);
}

// The registration is purged once its key is gone; any other open result, an access error
// included, means it is still there.
bool WaitForServiceKeyGone() {
  for (int poll = 0; poll < kKeyPolls; ++poll) {
    HKEY key = nullptr;
    const LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_READ, &key);
    const UniqueRegKey owner(result == ERROR_SUCCESS ? key : nullptr);
    if (result == ERROR_FILE_NOT_FOUND) {
      ServiceLog("UninstallService: registry key gone after %d polls (~%dms)", poll,
                 poll * static_cast<int>(kKeyPollMs));
      return true;
    }
    ::Sleep(kKeyPollMs);
  }
  return false;
}

}  // namespace

int UninstallService() {
  ServiceLog("UninstallService: begin");
  UniqueServiceHandle manager = OpenServiceManager("UninstallService");
  if (!manager) return 1;
  UniqueServiceHandle service(
      ::OpenServiceW(manager.get(), kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD error = ::GetLastError();
    ServiceLog("UninstallService: OpenService failed err=%lu", error);
    PrintConsole(L"OpenService failed: %lu\n", error);
    return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : 1;
  }

  StopServiceAndWait(service.get());
  const BOOL deleted = ::DeleteService(service.get());
  ServiceLog("UninstallService: DeleteService bRet=%d err=%lu", deleted,
             deleted ? 0UL : ::GetLastError());
  // The deletion completes only once no handle to the service remains, ours included.
  service.reset();
  manager.reset();

  const bool key_gone = WaitForServiceKeyGone();
  if (key_gone) {
    PrintConsole(L"Service deleted and SCM released.\n");
    ServiceLog("UninstallService: success");
  } else {
    PrintConsole(L"Service marked for deletion but SCM still holds reference.\n");
    ServiceLog("UninstallService: timed out waiting for SCM to purge");
  }
  if (!deleted) return 1;
  return key_gone ? 0 : 1;
}

}  // namespace varnelo
