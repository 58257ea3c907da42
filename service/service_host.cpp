#include "service/service_host.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>

#include "common/unique_resource.h"
#include "service/commands.h"
#include "service/core/core_state.h"
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

// One run of the service, in either mode: the stop event (signalled once, never reset), the
// status reported to the control manager, and the state the commands share.
class ServiceHost {
 public:
  explicit ServiceHost(bool service_mode) : service_mode_(service_mode) {}
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // The start and stop order both modes share. Service mode also logs its start and stop,
  // restores an armed client's proxy and ends the tracked core at stop; status reports go
  // nowhere in console mode, where no status handle is registered. Returns 0, or the error of the
  // start step that failed.
  DWORD Run();
  void SignalStop() {
    if (stop_event_) ::SetEvent(stop_event_.get());
  }
  void SetStatusHandle(SERVICE_STATUS_HANDLE handle) { status_handle_ = handle; }
  void ReportStatus(DWORD state, DWORD controls_accepted, DWORD exit_code, DWORD wait_hint);

 private:
  UniqueHandle StartPipeServer();
  UniqueHandle DuplicateStopEvent();
  void RunMonitorLoop();

  const bool service_mode_;
  UniqueHandle stop_event_;
  SERVICE_STATUS_HANDLE status_handle_ = nullptr;
  SERVICE_STATUS status_ = {};
  // Shared with the pipe side, which the stop may give up waiting for.
  const std::shared_ptr<TrackedCore> core_ = std::make_shared<TrackedCore>();
  const std::shared_ptr<ProxyWatchdog> watchdog_ = std::make_shared<ProxyWatchdog>();
};

// The host of this process, for the two entry points the platform calls without a context:
// ServiceMain and the console control handler.
std::atomic<ServiceHost*> g_host{nullptr};

void ServiceHost::ReportStatus(DWORD state, DWORD controls_accepted, DWORD exit_code,
                               DWORD wait_hint) {
  status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status_.dwCurrentState = state;
  status_.dwControlsAccepted = controls_accepted;
  status_.dwWin32ExitCode = exit_code;
  status_.dwServiceSpecificExitCode = 0;
  status_.dwCheckPoint = 0;
  status_.dwWaitHint = wait_hint;
  if (status_handle_ != nullptr) ::SetServiceStatus(status_handle_, &status_);
}

BOOL WINAPI ConsoleCtrlHandler(DWORD /*controlType*/) {
  if (ServiceHost* host = g_host.load()) host->SignalStop();
  return TRUE;
}

UniqueHandle ServiceHost::DuplicateStopEvent() {
  UniqueHandle duplicate;
  const HANDLE self = ::GetCurrentProcess();
  if (!::DuplicateHandle(self, stop_event_.get(), self, duplicate.put(), 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    ServiceLog("stop event DuplicateHandle failed err=%lu", ::GetLastError());
  }
  return duplicate;
}

// Starts PipeServerThread; it and the commands it runs each get their own duplicate of the stop
// event. On failure the last error tells why and no thread runs: a pipe thread without the event
// would never see the stop.
UniqueHandle ServiceHost::StartPipeServer() {
  std::unique_ptr<PipeServerArgs> args(new PipeServerArgs);
  args->stop_event = DuplicateStopEvent();
  UniqueHandle commands_stop = DuplicateStopEvent();
  if (!args->stop_event || !commands_stop) return UniqueHandle();
  const std::shared_ptr<Commands> commands =
      std::make_shared<Commands>(std::move(commands_stop), core_, watchdog_);
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

void ServiceHost::RunMonitorLoop() {
  // Each time-out is a watchdog tick; the stop event (or a failed wait) ends the loop.
  while (::WaitForSingleObject(stop_event_.get(), kMonitorIntervalMs) == WAIT_TIMEOUT) {
    watchdog_->Tick();
  }
}

DWORD ServiceHost::Run() {
  stop_event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop_event_) {
    const DWORD error = ::GetLastError();
    ServiceLog("CreateEvent(stop) failed err=%lu", error);
    return error;
  }
  if (service_mode_) ServiceLog("service starting");
  KillOrphanCores();
  UniqueHandle pipe_thread = StartPipeServer();
  if (!pipe_thread) return ::GetLastError();
  ReportStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0);

  RunMonitorLoop();
  watchdog_->Shutdown(service_mode_);  // a console run never touches the user's proxy at stop
  if (service_mode_) EndTrackedCore(*core_);
  // The pipe side ends its connections as soon as the stop event is set; a handler still running
  // then is waited for up to this bound, after which the thread is left to end with the process.
  ::WaitForSingleObject(pipe_thread.get(), kPipeThreadWaitMs);
  // A start_core that was running when the stop came has finished by now.
  if (service_mode_) {
    EndTrackedCore(*core_);
    ServiceLog("service stopped");
  }
  return 0;
}

void WINAPI ServiceMain(DWORD /*argc*/, wchar_t** /*argv*/) {
  ServiceHost* host = g_host.load();
  const SERVICE_STATUS_HANDLE status =
      ::RegisterServiceCtrlHandlerExW(kServiceName, ServiceCtrlHandler, host);
  if (status == nullptr) return;
  host->SetStatusHandle(status);
  host->ReportStatus(SERVICE_START_PENDING, 0, 0, kStartWaitHintMs);
  const DWORD exit_code = host->Run();
  host->ReportStatus(SERVICE_STOPPED, 0, exit_code, 0);
}

// Makes `host` the process's host for as long as the object lives.
class HostScope {
 public:
  explicit HostScope(ServiceHost* host) { g_host.store(host); }
  ~HostScope() { g_host.store(nullptr); }
  HostScope(const HostScope&) = delete;
  HostScope& operator=(const HostScope&) = delete;
};

}  // namespace

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD /*eventType*/, void* /*eventData*/,
                                void* context) {
  ServiceHost* host = static_cast<ServiceHost*>(context);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      ServiceLog("service stop requested (ctrl=%lu)", control);
      if (host != nullptr) {
        host->ReportStatus(SERVICE_STOP_PENDING, 0, 0, 0);
        host->SignalStop();
      }
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

int RunServiceDispatcher() {
  wchar_t service_name[sizeof(kServiceName) / sizeof(kServiceName[0])];
  std::copy(std::begin(kServiceName), std::end(kServiceName),
            service_name);  // the table wants it writable
  const SERVICE_TABLE_ENTRYW table[] = {{service_name, ServiceMain}, {nullptr, nullptr}};
  // Lives until the dispatcher returns, after the last control.
  ServiceHost host(true);
  const HostScope scope(&host);
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

  ServiceHost host(false);
  const HostScope scope(&host);
  ::SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
  return static_cast<int>(host.Run());
}

}  // namespace varnelo
