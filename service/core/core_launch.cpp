#include "service/core/core_launch.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>
#include <vector>

#include "common/inherited_handles.h"
#include "common/platform.h"
#include "common/printf_format.h"
#include "common/reason.h"
#include "common/unique_resource.h"
#include "common/utf8.h"
#include "service/core/core_hooks.h"
#include "service/core/core_rules.h"
#include "service/core/core_state.h"
#include "service/log/service_log.h"
#include "service/names.h"
#include "service/protocol/response.h"
#include "service/trust/caller.h"
#include "service/trust/enforcement.h"
#include "service/trust/path_access.h"
#include "service/trust/path_rules.h"
#include "service/trust/path_validation.h"
#include "service/trust/trust.h"
#include "service/trust/trust_hooks.h"

namespace varnelo {

namespace {

constexpr DWORD kOutputPipeSize = 65536;
constexpr wchar_t kSkipSafePathVar[] = L"SKIP_SAFE_PATH_CHECK";
constexpr DWORD kJobLimits =
    JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;

enum StartCoreError : int32_t {
  kMissingPath = 1,
  kAlreadyRunning = 2,
  kCoreMissing = 3,
  kCreateProcessFailed = 4,
  kCreatePipeFailed = 5,
  kCreateJobFailed = 7,
  kSetJobInfoFailed = 8,
  kAssignFailed = 9,
  kResumeFailed = 10,
  kSignatureRejected = 11,
  kPathRejected = 12,
  kServiceDirRejected = 13,
  kCallerEnded = 14,
};

constexpr DWORD kUnclaimedCoreWaitMs = 3000;

// Logs why start_core refuses ("start_core: " and the printf-style detail; none when
// `log_format` is null) and answers the caller. Returns false, so a step can return it.
bool Refuse(Reply& reply, StartCoreError code, const std::string& answer, const char* log_format,
            ...) VARNELO_PRINTF_FORMAT(4, 5);
bool Refuse(Reply& reply, StartCoreError code, const std::string& answer, const char* log_format,
            ...) {
  if (log_format != nullptr) {
    va_list args;
    va_start(args, log_format);
    ServiceLogV((std::string("start_core: ") + log_format).c_str(), args);
    va_end(args);
  }
  WriteErrorResponse(reply, answer, code);
  return false;
}

// A system call that failed: the log and the answer both carry its error.
bool RefuseFailedCall(Reply& reply, StartCoreError code, const char* call, DWORD error) {
  return Refuse(reply, code, std::string(call) + " failed: " + std::to_string(error),
                "%s failed err=%lu", call, error);
}

struct StartCoreRequest {
  std::wstring app_path;
  std::wstring data_path;
  std::wstring config_path;
  bool debug = false;
};

// The three paths must be present and each pass ValidateRequestPath.
bool ReadStartCoreRequest(Reply& reply, const RequestMap& request, StartCoreRequest* out) {
  out->app_path = Utf8ToWide(GetRequestValue(request, "app_path", ""));
  out->data_path = Utf8ToWide(GetRequestValue(request, "data_path", ""));
  out->config_path = Utf8ToWide(GetRequestValue(request, "config_path", ""));
  out->debug = GetRequestValue(request, "debug", "0") == "1";
  if (out->app_path.empty() || out->data_path.empty() || out->config_path.empty()) {
    return Refuse(reply, kMissingPath, "missing app_path / data_path / config_path", nullptr);
  }
  const struct {
    const char* label;
    const std::wstring* path;
  } paths[] = {{"app_path", &out->app_path},
               {"data_path", &out->data_path},
               {"config_path", &out->config_path}};
  for (const auto& entry : paths) {
    Reason reason;
    if (!ValidateRequestPath(entry.path->c_str(), entry.path->size(), entry.label, &reason)) {
      return Refuse(reply, kPathRejected, reason.c_str(), "%s", reason.c_str());
    }
  }
  return true;
}

// The data folder and the config file (or their nearest existing folders), opened by the
// service and held without delete sharing until the core runs.
struct HeldRequestPaths {
  UniqueHandle data_folder;
  UniqueHandle config_file;
};

// The caller must be able to reach both paths itself, as its own token says; the core runs as
// LocalSystem and would otherwise reach what the caller cannot.
bool CheckCallerPathsAccess(Reply& reply, const Caller& caller, const StartCoreRequest& start,
                            HeldRequestPaths* held) {
  Reason reason;
  DWORD error = ERROR_SUCCESS;
  const UniqueHandle token = OpenCallerToken(caller.process(), &error);
  if (!token) {
    reason.Set("data_path rejected: caller token unavailable err=%lu", error);
    return Refuse(reply, kPathRejected, reason.c_str(), "%s", reason.c_str());
  }
  const struct {
    const char* label;
    const std::wstring* path;
    RequestPathUse use;
    UniqueHandle* held;
  } paths[] = {
      {"data_path", &start.data_path, RequestPathUse::kDataFolder, &held->data_folder},
      {"config_path", &start.config_path, RequestPathUse::kConfigFile, &held->config_file}};
  for (const auto& entry : paths) {
    if (!CheckCallerPathAccess(token.get(), *entry.path, entry.use, entry.label, &reason,
                               entry.held)) {
      return Refuse(reply, kPathRejected, reason.c_str(), "%s", reason.c_str());
    }
  }
  return true;
}

// app_path must name the service's own directory (ASCII case aside).
bool CheckAppPathIsServiceDirectory(Reply& reply, const std::wstring& app_path) {
  const std::wstring module_path = GetOwnModulePath();
  if (module_path.empty()) {
    return Refuse(reply, kServiceDirRejected, "GetModuleFileNameW failed",
                  "GetModuleFileNameW failed err=%lu", ::GetLastError());
  }
  const std::wstring service_directory = DirectoryWithSeparator(module_path);
  if (service_directory.empty()) {
    return Refuse(reply, kServiceDirRejected, "service image path malformed",
                  "malformed service path %ls", module_path.c_str());
  }
  if (!EqualsIgnoringAsciiCase(app_path, service_directory)) {
    return Refuse(reply, kServiceDirRejected, "app_path must equal service install directory",
                  "app_path rejected: %ls != service dir %ls", app_path.c_str(),
                  service_directory.c_str());
  }
  return true;
}

// Refuses while the tracked core still runs; drops the handles of one that has ended.
bool ReleaseExitedCore(Reply& reply, TrackedCore& core) {
  const CoreRunState state = core.Query(nullptr);
  if (state == CoreRunState::kRunning) {
    return Refuse(reply, kAlreadyRunning, "VarneloCore already running, call stop_core first",
                  nullptr);
  }
  if (state == CoreRunState::kExited) {
    core.TakeProcess();
    core.TakePid();
    core.TakeJob();
  }
  return true;
}

// The core file must exist; its signature must pass when the service insists on it.
bool CheckCoreFile(Reply& reply, const std::wstring& core_path) {
  if (::GetFileAttributesW(core_path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return Refuse(reply, kCoreMissing, "VarneloCore.exe not found at app_path", "missing %ls",
                  core_path.c_str());
  }
  Reason reason;
  if (VerifyFileSignature(core_path.c_str(), &reason)) return true;
  if (IsCoreSignatureEnforced()) {
    return Refuse(reply, kSignatureRejected, "VarneloCore.exe signature rejected",
                  "core signature rejected path=%ls reason=%s", core_path.c_str(), reason.c_str());
  }
  ServiceLog("start_core WARNING: core signature check failed but not enforced path=%ls reason=%s",
             core_path.c_str(), reason.c_str());
  return true;
}

// Everything CreateProcessW needs, and the pipe that carries the core's output.
struct CoreLaunch {
  std::wstring core_path;
  std::wstring command_line;
  STARTUPINFOEXW startup = {};
  UniqueHandle read_end;
  UniqueHandle write_end;
  InheritedHandleList inherited;
};

// What the core may inherit: the write end of its output pipe, or in debug mode the service's
// own standard handles, where those are inheritable. Nothing else the service holds.
std::vector<HANDLE> HandlesForCore(bool debug, const CoreLaunch& launch) {
  std::vector<HANDLE> handles;
  if (!debug) {
    handles.push_back(launch.write_end.get());
    return handles;
  }
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = ::GetStdHandle(which);
    DWORD flags = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !::GetHandleInformation(handle, &flags) || !(flags & HANDLE_FLAG_INHERIT)) {
      continue;
    }
    if (std::find(handles.begin(), handles.end(), handle) == handles.end()) {
      handles.push_back(handle);
    }
  }
  return handles;
}

// Without debug the core's standard output and error go into a new pipe for the caller.
bool PrepareOutput(Reply& reply, bool debug, CoreLaunch* launch) {
  STARTUPINFOW& startup = launch->startup.StartupInfo;
  startup.cb = sizeof(launch->startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = debug ? SW_SHOWNORMAL : SW_HIDE;
  if (debug) return true;
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  if (!::CreatePipe(launch->read_end.put(), launch->write_end.put(), &inheritable,
                    kOutputPipeSize)) {
    return Refuse(reply, kCreatePipeFailed, "CreatePipe failed", "CreatePipe failed err=%lu",
                  ::GetLastError());
  }
  ::SetHandleInformation(launch->read_end.get(), HANDLE_FLAG_INHERIT, 0);
  startup.hStdOutput = launch->write_end.get();
  startup.hStdError = launch->write_end.get();
  startup.dwFlags |= STARTF_USESTDHANDLES;
  return true;
}

bool CreateCoreJob(Reply& reply, UniqueHandle* job) {
  job->reset(::CreateJobObjectW(nullptr, nullptr));
  if (!*job) return RefuseFailedCall(reply, kCreateJobFailed, "CreateJobObject", ::GetLastError());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = kJobLimits;
  if (!::SetInformationJobObject(job->get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
    return RefuseFailedCall(reply, kSetJobInfoFailed, "SetInformationJobObject", ::GetLastError());
  }
  return true;
}

// Creates the core suspended. SKIP_SAFE_PATH_CHECK=1 is set in the service's own environment for
// the one call, and the core inherits it with the rest of that environment.
bool CreateSuspendedCore(Reply& reply, bool debug, const std::wstring& app_path, CoreLaunch* launch,
                         ProcessHandles* core) {
  PROCESS_INFORMATION info = {};
  BOOL created = FALSE;
  DWORD error = ERROR_SUCCESS;
  const std::vector<HANDLE> inherited = HandlesForCore(debug, *launch);
  DWORD flags = CREATE_SUSPENDED | (debug ? 0 : CREATE_NO_WINDOW);
  if (!inherited.empty()) {
    if (!launch->inherited.Build(inherited)) error = ::GetLastError();
    launch->startup.lpAttributeList = launch->inherited.list();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  if (error == ERROR_SUCCESS) {
    const ScopedEnvVar skip_safe_path_check(kSkipSafePathVar, L"1");
    error = InjectedFailure("CreateProcessW");
    created = error == ERROR_SUCCESS &&
              ::CreateProcessW(launch->core_path.c_str(), &launch->command_line[0], nullptr,
                               nullptr, inherited.empty() ? FALSE : TRUE, flags, nullptr,
                               app_path.c_str(), &launch->startup.StartupInfo, &info);
    if (!created && error == ERROR_SUCCESS)
      error = ::GetLastError();  // before the variable is put back
  }
  launch->write_end.reset();  // only the core may hold the write end, so the caller sees EOF
  if (!created) {
    return Refuse(reply, kCreateProcessFailed, "CreateProcess failed: " + std::to_string(error),
                  "CreateProcess failed err=%lu path=%ls", error, launch->core_path.c_str());
  }
  core->process.reset(info.hProcess);
  core->thread.reset(info.hThread);
  core->pid = info.dwProcessId;
  return true;
}

// Puts the suspended core in its job and lets it run; ends it when either step fails.
bool RunCoreInJob(Reply& reply, const UniqueHandle& job, const ProcessHandles& core) {
  const char* failed_call = nullptr;
  StartCoreError code = kAssignFailed;
  DWORD error = InjectedFailure("AssignProcessToJobObject");
  if (error != ERROR_SUCCESS || !::AssignProcessToJobObject(job.get(), core.process.get())) {
    failed_call = "AssignProcessToJobObject";
  } else if ((error = InjectedFailure("ResumeThread")) != ERROR_SUCCESS ||
             ::ResumeThread(core.thread.get()) == static_cast<DWORD>(-1)) {
    failed_call = "ResumeThread";
    code = kResumeFailed;
  }
  if (failed_call == nullptr) return true;
  if (error == ERROR_SUCCESS) error = ::GetLastError();
  ::TerminateProcess(core.process.get(), 1);
  return RefuseFailedCall(reply, code, failed_call, error);
}

// Gives the caller the read end of the core's output; DUPLICATE_CLOSE_SOURCE closes it once
// DuplicateHandle has run, whatever its outcome.
std::uint64_t HandOverOutput(const Caller& caller, UniqueHandle read_end) {
  bool attempted = false;
  const std::uint64_t value = DupHandleToCaller(caller, read_end.get(), GENERIC_READ,
                                                DUPLICATE_CLOSE_SOURCE, "log_handle", &attempted);
  if (attempted) static_cast<void>(read_end.release());
  return value;
}

// Gives the caller the job, so the core dies with it; keeps it when that fails.
std::uint64_t HandOverJob(const Caller& caller, UniqueHandle* job) {
  const std::uint64_t value = DupHandleToCaller(caller, job->get(), 0, 0, "job_handle", nullptr);
  if (value != 0) {
    job->reset();  // the caller's handle is now the job's only one
  } else {
    ServiceLog(
        "start_core WARNING: dup job_handle failed -- service retains hJob as fallback, "
        "but Varnelo.exe death will NOT auto-kill VarneloCore (Sprint 1 bug recurs on this "
        "path). KillOrphanCores on next service start will clean up.");
  }
  return value;
}

void* AsPointer(std::uint64_t value) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(value));
}

// A caller that has ended can receive nothing, and a core kept for it would run as LocalSystem
// with nobody to end it: end the core and its job instead. Checked before the hand-over and
// again after it, for a caller that ends in between.
bool EndCoreOfEndedCaller(Reply& reply, const Caller& caller, const UniqueHandle& job,
                          const ProcessHandles& core) {
  if (!caller.HasEnded()) return false;
  if (job) ::TerminateJobObject(job.get(), 0);
  ::TerminateProcess(core.process.get(), 0);
  ::WaitForSingleObject(core.process.get(), kUnclaimedCoreWaitMs);
  Refuse(reply, kCallerEnded, "caller ended before the hand-over",
         "caller pid=%lu ended before the hand-over, core pid=%lu ended", caller.pid(), core.pid);
  return true;
}

// Hands over the output and the job, records the core and answers the caller.
void CompleteStartCore(Reply& reply, const Caller& caller, CoreLaunch* launch, UniqueHandle job,
                       ProcessHandles core, TrackedCore* tracked) {
  BeforeHandOver();
  if (EndCoreOfEndedCaller(reply, caller, job, core)) return;
  const std::uint64_t log_handle = HandOverOutput(caller, std::move(launch->read_end));
  core.thread.reset();
  const std::uint64_t job_handle = HandOverJob(caller, &job);
  if (EndCoreOfEndedCaller(reply, caller, job, core)) return;

  const DWORD pid = core.pid;
  tracked->Store(std::move(core.process), std::move(job), pid);
  ServiceLog("start_core OK pid=%lu loghandle=%p jobhandle=%p cmd=%ls", pid, AsPointer(log_handle),
             AsPointer(job_handle), launch->command_line.c_str());

  ResponseMap response{{"ok", "1"}, {"pid", std::to_string(pid)}};
  AddCapabilityKeys(response);
  if (log_handle != 0) response["log_handle"] = std::to_string(log_handle);
  if (job_handle != 0) response["job_handle"] = std::to_string(job_handle);
  WriteResponse(reply, response);
}

}  // namespace

ScopedEnvVar::ScopedEnvVar(const wchar_t* name, const wchar_t* value) : name_(name ? name : L"") {
  if (name_.empty()) return;
  saved_value_ = ReadEnvironmentVariable(name_.c_str(), &had_value_);
  ::SetEnvironmentVariableW(name_.c_str(), value);
}

ScopedEnvVar::~ScopedEnvVar() {
  if (name_.empty()) return;
  ::SetEnvironmentVariableW(name_.c_str(), had_value_ ? saved_value_.c_str() : nullptr);
}

std::uint64_t DupHandleToCaller(const Caller& caller, HANDLE handle, DWORD access, DWORD options,
                                const char* label, bool* attempted) {
  if (attempted) *attempted = false;
  if (handle == nullptr) return 0;
  if (caller.pid() == 0) {
    ServiceLog("DupHandleToCaller(%s): GetNamedPipeClientProcessId failed err=%lu", label,
               caller.open_error());
    return 0;
  }
  // The connection's process widened to the one right a hand-over needs, for a caller already
  // trusted; made from the connection's handle, never by looking the pid up again. The log text
  // keeps its OpenProcess wording.
  const HANDLE self = ::GetCurrentProcess();
  const UniqueHandle target = ReopenCaller(caller, PROCESS_DUP_HANDLE, label);
  if (!target) {
    ServiceLog("DupHandleToCaller(%s): OpenProcess(caller pid=%lu) failed err=%lu", label,
               caller.pid(), ::GetLastError());
    return 0;
  }
  HANDLE duplicate = nullptr;
  if (attempted) *attempted = true;
  if (!::DuplicateHandle(self, handle, target.get(), &duplicate, access, FALSE, options)) {
    ServiceLog("DupHandleToCaller(%s): DuplicateHandle failed err=%lu", label, ::GetLastError());
    return 0;
  }
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(duplicate));
}

void HandleStartCore(Reply& reply, const Caller& caller, const RequestMap& request,
                     TrackedCore& tracked) {
  StartCoreRequest start;
  if (!ReadStartCoreRequest(reply, request, &start) ||
      !CheckAppPathIsServiceDirectory(reply, start.app_path) ||
      !ReleaseExitedCore(reply, tracked)) {
    return;
  }
  CoreLaunch launch;
  launch.core_path = start.app_path + kCoreFileName;
  if (!CheckCoreFile(reply, launch.core_path)) return;
  if (!BuildCoreCommandLine(WithoutOneTrailingSeparator(start.data_path), start.config_path,
                            &launch.command_line)) {
    const char reason[] = "data_path / config_path rejected: invalid character";
    Refuse(reply, kPathRejected, reason, "%s", reason);
    return;
  }
  HeldRequestPaths held;
  if (!CheckCallerPathsAccess(reply, caller, start, &held)) return;
  UniqueHandle job;
  ProcessHandles core;
  if (!PrepareOutput(reply, start.debug, &launch) || !CreateCoreJob(reply, &job) ||
      !CreateSuspendedCore(reply, start.debug, start.app_path, &launch, &core) ||
      !RunCoreInJob(reply, job, core)) {
    return;
  }
  held = HeldRequestPaths();  // the core runs: from here on it holds what it opened
  CompleteStartCore(reply, caller, &launch, std::move(job), std::move(core), &tracked);
}

}  // namespace varnelo
