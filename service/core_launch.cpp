#include "core_launch.h"

#include <cstring>
#include <cwchar>

#include "../common/platform.h"
#include "../common/unique_resource.h"
#include "core_rules.h"
#include "core_state.h"
#include "path_rules.h"
#include "path_validation.h"
#include "pipe_server.h"
#include "service_log.h"
#include "status_commands.h"
#include "trust.h"

namespace varnelo {

namespace {

constexpr size_t kPathReasonSize = 192;
constexpr size_t kCoreReasonSize = 160;
constexpr DWORD kModulePathChars = 520;
constexpr DWORD kOutputPipeSize = 65536;
constexpr wchar_t kCoreFileName[] = L"VarneloCore.exe";
constexpr wchar_t kSkipSafePathVar[] = L"SKIP_SAFE_PATH_CHECK";
constexpr DWORD kJobLimits = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                             JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;

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
};

std::string WithError(const char* text, DWORD error) {
  return std::string(text) + std::to_string(error);
}

// The service's own directory, ending in a backslash; logs and answers on failure.
bool ResolveServiceDirectory(HANDLE pipe, std::wstring* directory) {
  wchar_t modulePath[kModulePathChars] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, modulePath, kModulePathChars);
  // A path that filled the buffer was cut: never compare against a truncated directory.
  if (length == 0 || length >= kModulePathChars) {
    const DWORD error = length == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    ServiceLog("start_core: GetModuleFileNameW failed err=%lu", error);
    WriteErrorResponse(pipe, "GetModuleFileNameW failed", kServiceDirRejected);
    return false;
  }
  *directory = DirectoryWithSeparator(modulePath);
  if (directory->empty()) {
    ServiceLog("start_core: malformed service path %ls", modulePath);
    WriteErrorResponse(pipe, "service image path malformed", kServiceDirRejected);
    return false;
  }
  return true;
}

// Refuses while the tracked core still runs; drops the handles of one that has ended.
bool ReleaseExitedCore(HANDLE pipe) {
  const CoreRunState state = QueryTrackedCore(nullptr);
  if (state == CoreRunState::kRunning) {
    WriteErrorResponse(pipe, "VarneloCore already running, call stop_core first", kAlreadyRunning);
    return false;
  }
  if (state == CoreRunState::kExited) {
    TakeCoreProcess();
    TakeCorePid();
    TakeCoreJob();
  }
  return true;
}

// Fault injection for the hand-over fallback: when the service's environment names a label in
// VARNELO_FAULT_DUP, the caller is opened without PROCESS_DUP_HANDLE, so the real DuplicateHandle
// fails as it would for a caller the service may not write to. A service's environment is set only
// by administrators (its registry key, or the console that runs -run).
DWORD CallerAccessFor(const char* label) {
  char wanted[64] = {};
  const DWORD length = ::GetEnvironmentVariableA("VARNELO_FAULT_DUP", wanted, sizeof(wanted));
  const bool injected = length > 0 && length < sizeof(wanted) && std::strcmp(wanted, label) == 0;
  return injected ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_DUP_HANDLE;
}

// Terminates a created core that could not be put in its job or resumed.
void AbandonCore(const ProcessHandles& core) { ::TerminateProcess(core.process.get(), 1); }

}  // namespace

ScopedEnvVar::ScopedEnvVar(const wchar_t* name, const wchar_t* value) : name_(name ? name : L"") {
  if (name_.empty()) return;
  const DWORD size = ::GetEnvironmentVariableW(name_.c_str(), nullptr, 0);
  if (size != 0) {
    std::wstring buffer(size, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name_.c_str(), &buffer[0], size);
    if (length != 0 && length < size) {
      savedValue_.assign(buffer.c_str(), length);
      hadValue_ = true;
    }
  }
  ::SetEnvironmentVariableW(name_.c_str(), value);
}

ScopedEnvVar::~ScopedEnvVar() {
  if (name_.empty()) return;
  ::SetEnvironmentVariableW(name_.c_str(), hadValue_ ? savedValue_.c_str() : nullptr);
}

std::uint64_t DupHandleToCaller(HANDLE pipe, HANDLE handle, DWORD access, DWORD options,
                                const char* label, bool* attempted) {
  if (attempted) *attempted = false;
  if (handle == nullptr) return 0;
  ULONG pid = 0;
  if (!::GetNamedPipeClientProcessId(pipe, &pid) || pid == 0) {
    ServiceLog("DupHandleToCaller(%s): GetNamedPipeClientProcessId failed err=%lu", label,
               ::GetLastError());
    return 0;
  }
  const UniqueHandle caller(::OpenProcess(CallerAccessFor(label), FALSE, pid));
  if (!caller) {
    ServiceLog("DupHandleToCaller(%s): OpenProcess(caller pid=%lu) failed err=%lu", label, pid,
               ::GetLastError());
    return 0;
  }
  HANDLE target = nullptr;
  if (attempted) *attempted = true;
  if (!::DuplicateHandle(::GetCurrentProcess(), handle, caller.get(), &target, access, FALSE,
                         options)) {
    ServiceLog("DupHandleToCaller(%s): DuplicateHandle failed err=%lu", label, ::GetLastError());
    return 0;
  }
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(target));
}

void HandleStartCore(HANDLE pipe, const RequestMap& request) {
  const std::wstring appPath = Utf8ToWide(GetRequestValue(request, "app_path", ""));
  const std::wstring dataPath = Utf8ToWide(GetRequestValue(request, "data_path", ""));
  const std::wstring configPath = Utf8ToWide(GetRequestValue(request, "config_path", ""));
  const bool debug = GetRequestValue(request, "debug", "0") == "1";

  if (appPath.empty() || dataPath.empty() || configPath.empty()) {
    WriteErrorResponse(pipe, "missing app_path / data_path / config_path", kMissingPath);
    return;
  }
  const struct {
    const char* label;
    const std::wstring* path;
  } paths[] = {{"app_path", &appPath}, {"data_path", &dataPath}, {"config_path", &configPath}};
  for (const auto& entry : paths) {
    char reason[kPathReasonSize] = {};
    if (!ValidateRequestPath(entry.path->c_str(), entry.path->size(), entry.label, reason,
                             sizeof(reason))) {
      ServiceLog("start_core: %s", reason);
      WriteErrorResponse(pipe, reason, kPathRejected);
      return;
    }
  }

  std::wstring serviceDirectory;
  if (!ResolveServiceDirectory(pipe, &serviceDirectory)) return;
  if (!EqualsIgnoringAsciiCase(appPath, serviceDirectory)) {
    ServiceLog("start_core: app_path rejected: %ls != service dir %ls", appPath.c_str(),
               serviceDirectory.c_str());
    WriteErrorResponse(pipe, "app_path must equal service install directory", kServiceDirRejected);
    return;
  }
  if (!ReleaseExitedCore(pipe)) return;

  const std::wstring corePath = appPath + kCoreFileName;
  if (::GetFileAttributesW(corePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    ServiceLog("start_core: missing %ls", corePath.c_str());
    WriteErrorResponse(pipe, "VarneloCore.exe not found at app_path", kCoreMissing);
    return;
  }
  char coreReason[kCoreReasonSize] = {};
  if (!VerifyFileSignature(corePath.c_str(), coreReason, sizeof(coreReason))) {
    if (IsCoreSignatureEnforced()) {
      ServiceLog("start_core: core signature rejected path=%ls reason=%s", corePath.c_str(),
                 coreReason);
      WriteErrorResponse(pipe, "VarneloCore.exe signature rejected", kSignatureRejected);
      return;
    }
    ServiceLog("start_core WARNING: core signature check failed but not enforced path=%ls reason=%s",
               corePath.c_str(), coreReason);
  }

  std::wstring commandLine;
  if (!BuildCoreCommandLine(WithoutOneTrailingSeparator(dataPath), configPath, &commandLine)) {
    const char reason[] = "data_path / config_path rejected: invalid character";
    ServiceLog("start_core: %s", reason);
    WriteErrorResponse(pipe, reason, kPathRejected);
    return;
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = debug ? SW_SHOWNORMAL : SW_HIDE;

  UniqueHandle readEnd, writeEnd;
  if (!debug) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, kOutputPipeSize)) {
      ServiceLog("start_core: CreatePipe failed err=%lu", ::GetLastError());
      WriteErrorResponse(pipe, "CreatePipe failed", kCreatePipeFailed);
      return;
    }
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    startup.dwFlags |= STARTF_USESTDHANDLES;
  }

  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) {
    const DWORD error = ::GetLastError();
    ServiceLog("start_core: CreateJobObject failed err=%lu", error);
    WriteErrorResponse(pipe, WithError("CreateJobObject failed: ", error), kCreateJobFailed);
    return;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = kJobLimits;
  if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
    const DWORD error = ::GetLastError();
    ServiceLog("start_core: SetInformationJobObject failed err=%lu", error);
    WriteErrorResponse(pipe, WithError("SetInformationJobObject failed: ", error),
                       kSetJobInfoFailed);
    return;
  }

  ProcessHandles core;
  DWORD createError = 0;
  {
    const ScopedEnvVar skipSafePathCheck(kSkipSafePathVar, L"1");
    PROCESS_INFORMATION info = {};
    const DWORD flags = CREATE_SUSPENDED | (debug ? 0 : CREATE_NO_WINDOW);
    if (::CreateProcessW(corePath.c_str(), &commandLine[0], nullptr, nullptr, TRUE, flags, nullptr,
                         appPath.c_str(), &startup, &info)) {
      core.process.reset(info.hProcess);
      core.thread.reset(info.hThread);
      core.pid = info.dwProcessId;
    } else {
      createError = ::GetLastError();
    }
  }
  writeEnd.reset();  // only the core may hold the write end, so the caller sees EOF when it ends
  if (!core.process) {
    ServiceLog("start_core: CreateProcess failed err=%lu path=%ls", createError, corePath.c_str());
    WriteErrorResponse(pipe, WithError("CreateProcess failed: ", createError),
                       kCreateProcessFailed);
    return;
  }
  if (!::AssignProcessToJobObject(job.get(), core.process.get())) {
    const DWORD error = ::GetLastError();
    ServiceLog("start_core: AssignProcessToJobObject failed err=%lu", error);
    AbandonCore(core);
    WriteErrorResponse(pipe, WithError("AssignProcessToJobObject failed: ", error), kAssignFailed);
    return;
  }
  if (::ResumeThread(core.thread.get()) == static_cast<DWORD>(-1)) {
    const DWORD error = ::GetLastError();
    ServiceLog("start_core: ResumeThread failed err=%lu", error);
    AbandonCore(core);
    WriteErrorResponse(pipe, WithError("ResumeThread failed: ", error), kResumeFailed);
    return;
  }

  bool readEndGiven = false;
  const std::uint64_t logHandle = DupHandleToCaller(pipe, readEnd.get(), GENERIC_READ,
                                                    DUPLICATE_CLOSE_SOURCE, "log_handle",
                                                    &readEndGiven);
  if (readEndGiven) readEnd.release();  // DUPLICATE_CLOSE_SOURCE closed it either way
  readEnd.reset();
  core.thread.reset();

  const std::uint64_t jobHandle = DupHandleToCaller(pipe, job.get(), 0, 0, "job_handle", nullptr);
  if (jobHandle != 0) {
    job.reset();  // the caller's handle is now the job's only one
  } else {
    ServiceLog("start_core WARNING: dup job_handle failed -- service retains hJob as fallback, "
               "but Varnelo.exe death will NOT auto-kill VarneloCore (Sprint 1 bug recurs on this "
               "path). KillOrphanCores on next service start will clean up.");
  }

  const DWORD pid = core.pid;
  StoreCore(std::move(core.process), std::move(job), pid);
  ServiceLog("start_core OK pid=%lu loghandle=%p jobhandle=%p cmd=%ls", pid,
             reinterpret_cast<void*>(static_cast<std::uintptr_t>(logHandle)),
             reinterpret_cast<void*>(static_cast<std::uintptr_t>(jobHandle)), commandLine.c_str());

  ResponseMap response{{"ok", "1"}, {"pid", std::to_string(pid)}};
  AddCapabilityKeys(response);
  if (logHandle != 0) response["log_handle"] = std::to_string(logHandle);
  if (jobHandle != 0) response["job_handle"] = std::to_string(jobHandle);
  WriteResponse(pipe, response);
}

}  // namespace varnelo
