#include "service/watchdog/proxy_watchdog.h"

#include <sddl.h>

#include <cstdint>

#include "common/account.h"
#include "common/utf8.h"
#include "service/log/service_log.h"
#include "service/protocol/response.h"
#include "service/trust/caller.h"
#include "service/trust/enforcement.h"
#include "service/trust/trust_hooks.h"
#include "service/watchdog/proxy_cleanup.h"

namespace varnelo {

namespace {

constexpr wchar_t kFlagKeyPath[] = L"SOFTWARE\\Varnelo";
constexpr wchar_t kFlagValueName[] = L"disable_proxy_watchdog";
constexpr DWORD kFlagDisabledValue = 1;

constexpr DWORD kClientProcessAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
constexpr char kWatchPurpose[] = "watch";

constexpr char kErrMissingProxyKeys[] = "missing proxy / readback";
constexpr int32_t kCodeMissingProxyKeys = 20;
constexpr char kErrClientPidFailed[] = "GetNamedPipeClientProcessId failed";
constexpr int32_t kCodeClientPidFailed = 21;

constexpr char kDegradedFlagDisabled[] = "feature_flag_disabled";
constexpr char kDegradedOpenProcess[] = "open_process_denied";
constexpr char kDegradedNoSid[] = "sid_lookup_failed";

constexpr char kTriggerClientExit[] = "parent_process_exit";
constexpr char kTriggerServiceStop[] = "service_stop";

void WriteDegradedResponse(Reply& reply, const char* reason) {
  WriteResponse(reply, ResponseMap{{"ok", "0"}, {"degraded", "1"}, {"error", reason}});
}

void WriteOkResponse(Reply& reply) {
  ResponseMap response{{"ok", "1"}};
  AddCapabilityKeys(response);
  WriteResponse(reply, response);
}

// Enables one privilege of the process token for the life of the object, then sets its
// attributes back to 0, so the service runs with it only around a single call.
class ScopedPrivilege {
 public:
  ScopedPrivilege(HANDLE token, const wchar_t* name) : token_(token) {
    privileges_.PrivilegeCount = 1;
    privileges_.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    adjusted_ = ::LookupPrivilegeValueW(nullptr, name, &privileges_.Privileges[0].Luid) &&
                ::AdjustTokenPrivileges(token_, FALSE, &privileges_, 0, nullptr, nullptr);
  }
  ~ScopedPrivilege() {
    if (!adjusted_) return;
    privileges_.Privileges[0].Attributes = 0;
    ::AdjustTokenPrivileges(token_, FALSE, &privileges_, 0, nullptr, nullptr);
  }
  ScopedPrivilege(const ScopedPrivilege&) = delete;
  ScopedPrivilege& operator=(const ScopedPrivilege&) = delete;

 private:
  HANDLE token_;
  TOKEN_PRIVILEGES privileges_ = {};
  bool adjusted_ = false;
};

// The handle the watchdog waits on: the connection's own process handle reopened for waiting and
// querying, so the process watched is the one whose request armed the watchdog, whatever has
// become of its pid. A client of another account or integrity may refuse it: then one retry
// with SeDebugPrivilege enabled around it, for this trusted caller only. The log lines keep the
// texts operators know, which name OpenProcess. Returns an empty handle on failure.
UniqueHandle WatchHandleOf(const Caller& caller) {
  UniqueHandle process = ReopenCaller(caller, kClientProcessAccess, kWatchPurpose);
  if (process) return process;
  DWORD error = ::GetLastError();
  const DWORD pid = caller.pid();
  if (error != ERROR_ACCESS_DENIED) {
    ServiceLog("OpenProcess pid=%lu failed err=%lu (no debug-priv retry)", pid, error);
    return process;
  }
  ServiceLog("OpenProcess pid=%lu access denied, retry with SeDebugPrivilege", pid);
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                          token.put())) {
    ServiceLog("OpenProcessToken self failed err=%lu", ::GetLastError());
    return process;
  }
  {
    const ScopedPrivilege debug(token.get(), SE_DEBUG_NAME);
    process = ReopenCaller(caller, kClientProcessAccess, kWatchPurpose);
    if (!process) error = ::GetLastError();
  }
  if (!process)
    ServiceLog("OpenProcess pid=%lu still failed after SeDebugPrivilege err=%lu", pid, error);
  return process;
}

DWORD ReadSessionId(HANDLE process) {
  UniqueHandle token;
  if (!::OpenProcessToken(process, TOKEN_QUERY, token.put())) return 0;
  DWORD session = 0;
  DWORD size = 0;
  if (!::GetTokenInformation(token.get(), TokenSessionId, &session, sizeof(session), &size))
    return 0;
  return session;
}

// HKLM\SOFTWARE\Varnelo disable_proxy_watchdog (64-bit view) is REG_DWORD 1, and nothing else.
bool IsProxyWatchdogDisabled() {
  UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFlagKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof(data);
  return ::RegQueryValueExW(key.get(), kFlagValueName, nullptr, &type,
                            reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof(data) && data == kFlagDisabledValue;
}

}  // namespace

bool ProxyWatchdog::RefreshDisabledFlag(bool* previous) {
  const bool disabled = IsProxyWatchdogDisabled();
  *previous = disabled_.exchange(disabled);
  return disabled;
}

void ProxyWatchdog::SetExpectedProxy(Reply& reply, const Caller& caller,
                                     const RequestMap& request) {
  bool previous = false;
  if (RefreshDisabledFlag(&previous)) {
    ServiceLog("set_expected_proxy: degraded reason=feature_flag_disabled");
    WriteDegradedResponse(reply, kDegradedFlagDisabled);
    return;
  }
  const auto proxy = request.find("proxy");
  const auto readback = request.find("readback");
  if (proxy == request.end() || readback == request.end()) {
    WriteErrorResponse(reply, kErrMissingProxyKeys, kCodeMissingProxyKeys);
    return;
  }
  const DWORD pid = caller.pid();
  if (pid == 0) {
    WriteErrorResponse(reply, kErrClientPidFailed, kCodeClientPidFailed);
    return;
  }

  UniqueHandle process = WatchHandleOf(caller);
  if (!process) {
    ServiceLog("set_expected_proxy: degraded (open_process_denied) pid=%lu", pid);
    WriteDegradedResponse(reply, kDegradedOpenProcess);
    return;
  }
  WatchdogState armed;
  armed.user_sid = ProcessUserSid(process.get());
  armed.session_id = ReadSessionId(process.get());
  if (armed.user_sid.empty()) {
    ServiceLog("set_expected_proxy: degraded (sid_lookup_failed) pid=%lu", pid);
    WriteDegradedResponse(reply, kDegradedNoSid);
    return;  // `process` closes here; an earlier arming stays
  }
  armed.process = std::move(process);
  armed.pid = pid;
  armed.endpoint = proxy->second;
  armed.expected_proxy_server = Utf8ToWide(readback->second);
  const DWORD session = armed.session_id;
  const std::wstring sid = armed.user_sid;
  {
    const std::lock_guard<std::mutex> lock(lock_);
    state_ = std::move(armed);  // closes the handle of an earlier client
  }
  ServiceLog("set_expected_proxy: armed pid=%lu session=%lu sid=%ls endpoint=%s", pid, session,
             sid.c_str(), proxy->second.c_str());
  WriteOkResponse(reply);
}

void ProxyWatchdog::ClearWatchdog(Reply& reply) {
  DWORD pid = 0;
  {
    const std::lock_guard<std::mutex> lock(lock_);
    pid = state_.pid;
    state_ = WatchdogState();
  }
  if (pid != 0)
    ServiceLog("clear_watchdog: released state for pid=%lu (reason=normal_disconnect)", pid);
  WriteOkResponse(reply);
}

void ProxyWatchdog::Tick() {
  bool previous = false;
  const bool disabled = RefreshDisabledFlag(&previous);
  if (disabled && !previous)
    ServiceLog("ProxyWatchdog: feature flag turned ON -- subsystem disabled");
  if (!disabled && previous)
    ServiceLog("ProxyWatchdog: feature flag turned OFF -- subsystem re-enabled");

  bool restored = false;
  {
    const std::lock_guard<std::mutex> lock(lock_);
    if (!state_.process) return;
    if (disabled) {
      ServiceLog("cleanup skipped: reason=feature_flag_disabled pid=%lu", state_.pid);
      state_ = WatchdogState();
      return;
    }
    // A failed wait keeps the client armed for the next tick.
    if (::WaitForSingleObject(state_.process.get(), 0) != WAIT_OBJECT_0) return;
    restored = RunProxyCleanup(state_, kTriggerClientExit);
    state_ = WatchdogState();
  }
  if (restored) BroadcastProxySettingsChange();
}

void ProxyWatchdog::Shutdown(bool restore_settings) {
  bool restored = false;
  {
    const std::lock_guard<std::mutex> lock(lock_);
    if (restore_settings && state_.pid != 0) {
      ServiceLog("service stop: releasing watchdog state for pid=%lu", state_.pid);
      restored = RunProxyCleanup(state_, kTriggerServiceStop);
    }
    state_ = WatchdogState();
  }
  if (restored) BroadcastProxySettingsChange();
}

}  // namespace varnelo
