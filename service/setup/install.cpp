#include "service/setup/install.h"

#include <cwchar>
#include <string>
#include <vector>

#include "common/platform.h"
#include "common/process_list.h"
#include "common/reason.h"
#include "common/unique_resource.h"
#include "common/utf8.h"
#include "service/log/service_log.h"
#include "service/names.h"
#include "service/setup/console_output.h"
#include "service/setup/install_acl.h"
#include "service/setup/service_state.h"
#include "service/setup/setup_hooks.h"

namespace varnelo {

namespace {

const wchar_t kDisplayName[] = L"Varnelo Service";
const wchar_t kDescription[] =
    L"Privileged helper for Varnelo VPN. Launches VarneloCore.exe so the user-mode UI does not "
    L"need administrator rights.";
const wchar_t kClientWindowClass[] = L"CMainWnd";
const wchar_t kClientExeName[] = L"Varnelo.exe";

constexpr DWORD kFailureResetPeriodSeconds = 86400;
constexpr DWORD kRestartDelaysMs[] = {5000, 30000, 60000};
constexpr DWORD kClientExitWaitMs = 8000;
constexpr DWORD kStopWaitMs = 30000;
constexpr DWORD kRunningWaitMs = 15000;
constexpr int kClassNameChars = 64;

struct ClientWindow {
  HWND window = nullptr;
  DWORD pid = 0;
  std::wstring exe_name;
};

// Executable file name of a running process; false when it is not in the process list.
bool FindProcessExeName(DWORD pid, std::wstring* name) {
  std::vector<ProcessEntry> processes;
  if (!ListProcesses(&processes)) return false;
  for (const ProcessEntry& entry : processes) {
    if (entry.pid != pid) continue;
    *name = entry.exe_name;
    return true;
  }
  return false;
}

BOOL CALLBACK FindClientWindow(HWND window, LPARAM context) {
  auto* found = reinterpret_cast<ClientWindow*>(context);
  wchar_t class_name[kClassNameChars] = {};
  if (::GetClassNameW(window, class_name, kClassNameChars) == 0 ||
      _wcsicmp(class_name, kClientWindowClass) != 0) {
    return TRUE;
  }
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  std::wstring exe_name;
  if (pid == 0 || !FindProcessExeName(pid, &exe_name)) {
    ServiceLog("RequestVarneloExitBeforeUpgrade: skip CMainWnd hwnd=%p pid=%lu exe=<unknown>",
               static_cast<void*>(window), pid);
    return TRUE;
  }
  // The uninstaller's window has this class too; only the client's process name tells them apart.
  if (_wcsicmp(exe_name.c_str(), kClientExeName) != 0) {
    ServiceLog("RequestVarneloExitBeforeUpgrade: skip CMainWnd hwnd=%p pid=%lu exe=%ls",
               static_cast<void*>(window), pid, exe_name.c_str());
    return TRUE;
  }
  found->window = window;
  found->pid = pid;
  found->exe_name = exe_name;
  return FALSE;
}

void CheckInstallAcl(const std::wstring& path) {
  Reason reason;
  if (VerifyInstallAcl(path.c_str(), &reason)) return;
  ServiceLog("InstallService WARNING: untrusted ACL accepted for compatibility: %s",
             reason.c_str());
  PrintConsole(L"Warning: untrusted install ACL accepted: %ls\n",
               Utf8ToWide(reason.c_str()).c_str());
}

// The restart-on-failure actions -install hands to the control manager.
class ServiceFailureActions {
 public:
  ServiceFailureActions();
  ServiceFailureActions(const ServiceFailureActions&) = delete;
  ServiceFailureActions& operator=(const ServiceFailureActions&) = delete;
  const SERVICE_FAILURE_ACTIONSW& get() const { return config_; }

 private:
  SC_ACTION actions_[3] = {};
  SERVICE_FAILURE_ACTIONSW config_ = {};
};

ServiceFailureActions::ServiceFailureActions() {
  static_assert(sizeof(actions_) / sizeof(actions_[0]) ==
                    sizeof(kRestartDelaysMs) / sizeof(kRestartDelaysMs[0]),
                "one action per restart delay");
  for (size_t i = 0; i < sizeof(actions_) / sizeof(actions_[0]); ++i) {
    actions_[i].Type = SC_ACTION_RESTART;
    actions_[i].Delay = kRestartDelaysMs[i];
  }
  config_.dwResetPeriod = kFailureResetPeriodSeconds;
  config_.cActions = static_cast<DWORD>(sizeof(actions_) / sizeof(actions_[0]));
  config_.lpsaActions = actions_;
}

// Sets the description and the restart-on-failure actions; failures are only logged.
void ConfigureServiceMetadata(SC_HANDLE service) {
  if (service == nullptr) return;
  SERVICE_DESCRIPTIONW description = {};
  description.lpDescription = const_cast<wchar_t*>(kDescription);
  BOOL result = ChangeServiceConfiguration(service, SERVICE_CONFIG_DESCRIPTION, &description);
  ServiceLog("ConfigureServiceMetadata: description bRet=%d err=%lu", result,
             result ? 0UL : ::GetLastError());

  ServiceFailureActions failure_actions;
  result =
      ChangeServiceConfiguration(service, SERVICE_CONFIG_FAILURE_ACTIONS,
                                 const_cast<SERVICE_FAILURE_ACTIONSW*>(&failure_actions.get()));
  ServiceLog("ConfigureServiceMetadata: failure_actions bRet=%d err=%lu", result,
             result ? 0UL : ::GetLastError());
}

// A registration just created: its metadata, then its first start.
int StartNewService(SC_HANDLE service) {
  ServiceLog("InstallService: CreateService OK");
  ConfigureServiceMetadata(service);
  const BOOL started = ::StartServiceW(service, 0, nullptr);
  const DWORD error = started ? 0 : ::GetLastError();
  ServiceLog("InstallService: StartService bRet=%d err=%lu", started, error);
  if (started || error == ERROR_SERVICE_ALREADY_RUNNING) {
    PrintConsole(L"Service installed and started.\n");
    return 0;
  }
  PrintConsole(L"Service installed but StartService failed: %lu\n", error);
  return static_cast<int>(error);
}

// Existing registration: point it at this executable, refresh its metadata, restart it.
int RefreshExistingService(SC_HANDLE manager, const std::wstring& image_path,
                           const std::wstring& binary_path) {
  ServiceLog("InstallService: service exists, refreshing ImagePath to %ls", image_path.c_str());
  RequestVarneloExitBeforeUpgrade();

  const UniqueServiceHandle service(
      ::OpenServiceW(manager, kServiceName,
                     SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP));
  if (!service) {
    const DWORD error = ::GetLastError();
    ServiceLog("InstallService: OpenService failed err=%lu", error);
    return static_cast<int>(error);
  }
  const BOOL changed = ::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                              SERVICE_NO_CHANGE, binary_path.c_str(), nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr);
  const DWORD change_error = changed ? 0 : ::GetLastError();
  ServiceLog("InstallService: ChangeServiceConfig bRet=%d err=%lu", changed, change_error);
  if (!changed) {
    PrintConsole(L"ChangeServiceConfig failed: %lu\n", change_error);
    return static_cast<int>(change_error);
  }
  ConfigureServiceMetadata(service.get());
  const bool restarted = RestartExistingServiceAfterUpgrade(service.get());
  ServiceLog("InstallService: existing service restart bRet=%d", restarted ? 1 : 0);
  if (!restarted) {
    PrintConsole(L"Service ImagePath refreshed but restart failed.\n");
    return 1;
  }
  PrintConsole(L"Service already exists, ImagePath refreshed.\n");
  return 0;
}

}  // namespace

void RequestVarneloExitBeforeUpgrade() {
  ClientWindow client;
  ::EnumWindows(FindClientWindow, reinterpret_cast<LPARAM>(&client));
  if (client.window == nullptr) {
    ServiceLog("RequestVarneloExitBeforeUpgrade: no Varnelo window found");
    return;
  }
  ServiceLog("RequestVarneloExitBeforeUpgrade: WM_CLOSE -> %ls pid=%lu hwnd=%p",
             client.exe_name.c_str(), client.pid, static_cast<void*>(client.window));
  ::PostMessageW(client.window, WM_CLOSE, 0, 0);

  const UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, client.pid));
  if (!process) {
    ServiceLog("RequestVarneloExitBeforeUpgrade: OpenProcess pid=%lu err=%lu", client.pid,
               ::GetLastError());
    return;
  }
  const DWORD result = ::WaitForSingleObject(process.get(), kClientExitWaitMs);
  ServiceLog("RequestVarneloExitBeforeUpgrade: wait result=0x%lX timeout=%lums", result,
             kClientExitWaitMs);
  if (result != WAIT_OBJECT_0) {
    ServiceLog(
        "RequestVarneloExitBeforeUpgrade: ERROR VARNELO_STILL_RUNNING_DURING_UPGRADE pid=%lu "
        "\xE2\x80\x94 system proxy may be left dirty; installer must handshake Varnelo.exe "
        "shutdown before invoking -install",
        client.pid);
  }
}

bool RestartExistingServiceAfterUpgrade(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  if (!::QueryServiceStatus(service, &status)) {
    ServiceLog("RestartExistingServiceAfterUpgrade: initial QueryServiceStatus failed err=%lu",
               ::GetLastError());
    return false;
  }
  if (status.dwCurrentState != SERVICE_STOPPED) {
    if (status.dwCurrentState != SERVICE_STOP_PENDING) {
      const BOOL sent = ::ControlService(service, SERVICE_CONTROL_STOP, &status);
      const DWORD error = sent ? 0 : ::GetLastError();
      ServiceLog(
          "RestartExistingServiceAfterUpgrade: ControlService(STOP) bRet=%d err=%lu state=%lu",
          sent, error, status.dwCurrentState);
      if (!sent && error != ERROR_SERVICE_NOT_ACTIVE) return false;
    }
    if (!WaitServiceState(service, SERVICE_STOPPED, kStopWaitMs)) return false;
  }
  const BOOL started = ::StartServiceW(service, 0, nullptr);
  const DWORD error = started ? 0 : ::GetLastError();
  ServiceLog("RestartExistingServiceAfterUpgrade: StartService bRet=%d err=%lu", started, error);
  if (!started && error != ERROR_SERVICE_ALREADY_RUNNING) return false;
  return WaitServiceState(service, SERVICE_RUNNING, kRunningWaitMs);
}

int InstallService() {
  ServiceLog("InstallService: begin");
  // Read at the length it needs: a cut path would register a wrong binary and still succeed.
  const std::wstring image_path = GetOwnModulePath();
  if (image_path.empty()) {
    const DWORD error = ::GetLastError();
    ServiceLog("InstallService: GetModuleFileName failed err=%lu", error);
    PrintConsole(L"GetModuleFileName failed: %lu\n", error);
    return 1;
  }
  ServiceLog("InstallService: image=%ls", image_path.c_str());
  const std::wstring install_dir = DirectoryWithSeparator(image_path);
  const std::wstring core_path = install_dir + kCoreFileName;

  CheckInstallAcl(install_dir);
  CheckInstallAcl(image_path);
  if (::GetFileAttributesW(core_path.c_str()) != INVALID_FILE_ATTRIBUTES)
    CheckInstallAcl(core_path);

  const std::wstring binary_path = L"\"" + image_path + L"\"";
  const UniqueServiceHandle manager = OpenServiceManager("InstallService");
  if (!manager) return 1;

  const UniqueServiceHandle service(
      ::CreateServiceW(manager.get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       binary_path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service) return StartNewService(service.get());

  const DWORD error = ::GetLastError();
  ServiceLog("InstallService: CreateService failed err=%lu", error);
  if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
    ServiceLog("InstallService: ghost record from prior uninstall, reboot required");
    PrintConsole(L"VarneloService is marked for delete from a previous uninstall.\n");
    PrintConsole(L"Please reboot the system and reinstall.\n");
    return static_cast<int>(error);
  }
  if (error != ERROR_SERVICE_EXISTS) {
    PrintConsole(L"CreateService failed: %lu\n", error);
    return 1;
  }
  return RefreshExistingService(manager.get(), image_path, binary_path);
}

}  // namespace varnelo
