#include "service/service_host.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>

#include "common/unique_resource.h"
#include "service/commands.h"
#include "service/core/core_stop.h"
#include "service/log/service_log.h"
#include "service/names.h"
#include "service/pipe/pipe_server.h"
#include "service/setup/console_output.h"
#include "service/watchdog/proxy_watchdog.h"

namespace varnelo {

namespace {

constexpr DWORD kStartWaitHintMs = 5000;
constexpr DWORD kMonitorIntervalMs = 5000;
constexpr DWORD kPipeThreadWaitMs = 5000;

constexpr wchar_t kUsageText[] =
    L"VarneloService.exe is a Windows Service.\n"
    L"Usage:\n"
    L"  VarneloService.exe -install    (admin)\n"
    L"  VarneloService.exe -uninstall  (admin)\n"
    L"  VarneloService.exe -run        (run pipe loop in console)\n";

// Process-wide: the stop event (signalled once, never reset), the status handle and record.
std::atomic<HANDLE> g_stopEvent{nullptr};
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_serviceStatus = {};

void ReportStatus(DWORD state, DWORD controlsAccepted, DWORD exitCode, DWORD waitHint) {
  g_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_serviceStatus.dwCurrentState = state;
  g_serviceStatus.dwControlsAccepted = controlsAccepted;
  g_serviceStatus.dwWin32ExitCode = exitCode;
  g_serviceStatus.dwServiceSpecificExitCode = 0;
  g_serviceStatus.dwCheckPoint = 0;
  g_serviceStatus.dwWaitHint = waitHint;
  if (g_statusHandle != nullptr) ::SetServiceStatus(g_statusHandle, &g_serviceStatus);
}

void SignalStop() {
  const HANDLE stopEvent = g_stopEvent.load();
  if (stopEvent != nullptr) ::SetEvent(stopEvent);
}

BOOL WINAPI ConsoleCtrlHandler(DWORD /*controlType*/) {
  SignalStop();
  return TRUE;
}

// Creates the stop event and publishes it to the control handlers.
bool CreateStopEvent() {
  const HANDLE stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (stopEvent == nullptr) {
    ServiceLog("CreateEvent(stop) failed err=%lu", ::GetLastError());
    return false;
  }
  g_stopEvent.store(stopEvent);
  return true;
}

void CloseStopEvent() {
  const HANDLE stopEvent = g_stopEvent.exchange(nullptr);
  if (stopEvent != nullptr) ::CloseHandle(stopEvent);
}

// Starts PipeServerThread with its own duplicate of the stop event. On failure the last error
// tells why and no thread runs: a pipe thread without the event would never see the stop.
UniqueHandle StartPipeServer() {
  std::unique_ptr<PipeServerArgs> args(new PipeServerArgs);
  const HANDLE self = ::GetCurrentProcess();
  if (!::DuplicateHandle(self, g_stopEvent.load(), self, args->stopEvent.put(), 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    ServiceLog("stop event DuplicateHandle failed err=%lu", ::GetLastError());
    return UniqueHandle();
  }
  UniqueHandle answerStop;
  if (!::DuplicateHandle(self, g_stopEvent.load(), self, answerStop.put(), 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    ServiceLog("stop event DuplicateHandle failed err=%lu", ::GetLastError());
    return UniqueHandle();
  }
  const std::shared_ptr<Commands> commands = std::make_shared<Commands>(std::move(answerStop));
  args->answer = [commands](Reply& reply, const Caller& caller, const RequestMap& request,
                            const std::string& cmd) {
    commands->Answer(reply, caller, request, cmd);
  };
  UniqueHandle thread(::CreateThread(nullptr, 0, PipeServerThread, args.get(), 0, nullptr));
  if (!thread) {
    ServiceLog("CreateThread(pipe server) failed err=%lu", ::GetLastError());
    return thread;
  }
  static_cast<void>(args.release());  // the thread owns it now
  return thread;
}

void RunMonitorLoop() {
  // Each time-out is a watchdog tick; the stop event (or a failed wait) ends the loop.
  while (::WaitForSingleObject(g_stopEvent.load(), kMonitorIntervalMs) == WAIT_TIMEOUT) {
    ProxyWatchdogTick();
  }
}

// The pipe side ends its connections as soon as the stop event is set; a handler still running
// then is waited for up to this bound, after which the thread is left to end with the process.
void WaitForPipeServer(UniqueHandle thread) {
  if (thread) ::WaitForSingleObject(thread.get(), kPipeThreadWaitMs);
}

// The start and stop order both modes share. Service mode also logs its start and stop, restores
// an armed client's proxy and ends the tracked core at stop; status reports go nowhere in console
// mode, where no status handle is registered. Returns 0, or the error of the start step that
// failed.
DWORD RunHost(bool serviceMode) {
  if (!CreateStopEvent()) return ::GetLastError();
  if (serviceMode) {
    ServiceLog("service starting");
  } else {
    ::SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  }
  KillOrphanCores();
  UniqueHandle pipeThread = StartPipeServer();
  if (!pipeThread) {
    const DWORD error = ::GetLastError();
    CloseStopEvent();
    return error;
  }
  ReportStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0);

  RunMonitorLoop();
  ShutdownProxyWatchdog(serviceMode);  // a console run never touches the user's proxy at stop
  if (serviceMode) EndTrackedCore();
  WaitForPipeServer(std::move(pipeThread));
  // A start_core that was running when the stop came has finished by now.
  if (serviceMode) EndTrackedCore();
  CloseStopEvent();
  if (serviceMode) ServiceLog("service stopped");
  return 0;
}

void WINAPI ServiceMain(DWORD /*argc*/, wchar_t** /*argv*/) {
  g_statusHandle = ::RegisterServiceCtrlHandlerExW(kServiceName, ServiceCtrlHandler, nullptr);
  if (g_statusHandle == nullptr) return;
  ReportStatus(SERVICE_START_PENDING, 0, 0, kStartWaitHintMs);
  const DWORD exitCode = RunHost(true);
  ReportStatus(SERVICE_STOPPED, 0, exitCode, 0);
}

}  // namespace

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD /*eventType*/, void* /*eventData*/,
                                void* /*context*/) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      ServiceLog("service stop requested (ctrl=%lu)", control);
      ReportStatus(SERVICE_STOP_PENDING, 0, 0, 0);
      SignalStop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

int RunServiceDispatcher() {
  wchar_t serviceName[sizeof(kServiceName) / sizeof(kServiceName[0])];
  std::copy(std::begin(kServiceName), std::end(kServiceName),
            serviceName);  // the table wants it writable
  const SERVICE_TABLE_ENTRYW table[] = {{serviceName, ServiceMain}, {nullptr, nullptr}};
  if (::StartServiceCtrlDispatcherW(table)) return 0;
  const DWORD error = ::GetLastError();
  if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    PrintConsole(L"%ls", kUsageText);
    return 1;
  }
  return static_cast<int>(error);
}

int RunConsoleMode() {
  PrintConsole(L"VarneloService running in foreground. Ctrl+C to stop.\n");
  PrintConsole(L"Pipe: %ls\n", kPipeName);
  PrintConsole(L"Log:  %%ProgramData%%\\Varnelo\\service.log\n\n");

  return static_cast<int>(RunHost(false));
}

}  // namespace varnelo
