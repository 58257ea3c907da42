// The hooks of the test build of the service, VarneloServiceFaults.exe. Each switch is read from
// the environment, or else from the value of that name under HKLM\SOFTWARE\Varnelo\TestFaults,
// for a service the control manager starts (Wine gives a service no environment of its own).
//   VARNELO_FAULT_REOPEN=purpose,...   ReopenCaller refuses with access denied.
//   VARNELO_FAULT_DUP=purpose,...      ReopenCaller's handle lacks what the purpose needs, so the
//                                      hand-over's DuplicateHandle or the watchdog's token read
//                                      fails (for "watch" it is not a process handle at all: Wine
//                                      reads a token through any process handle).
//   VARNELO_FAULT_HANDOVER_PAUSE_MS=N  BeforeHandOver waits N ms, so a test can end the caller
//                                      in between, or stop the service while a handler runs.
//   VARNELO_FAULT_FAIL=call,...        InjectedFailure fails each call named with access denied.
//   VARNELO_FAULT_MAPPED_IMAGE=other   the caller's image is reported as another file than the
//                                      one its path names, as after a rename.
//   VARNELO_FAULT_LOG_OWNER=S-1-...    the log folder is reported as owned by that SID.
//   VARNELO_FAULT_CALLER_CREATED=when  the caller's process is reported as created "opened": at
//                                      the moment the service opened it, as a process that took
//                                      an ended opener's pid would be; "later": a minute after
//                                      that, as a client started before the clock was set back.
//   VARNELO_FAULT_RECORD_SCM=file      the failure actions -install hands the control manager
//                                      are written to that file as one line of numbers, since
//                                      Wine keeps nothing of them to read back.
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/account.h"
#include "common/utf8.h"
#include "service/core/core_hooks.h"
#include "service/log/log_hooks.h"
#include "service/setup/setup_hooks.h"
#include "service/trust/caller.h"
#include "service/trust/caller_hooks.h"
#include "service/trust/trust_hooks.h"

namespace varnelo {

namespace {

std::string Switch(const char* name) {
  char value[512] = {};
  DWORD length = ::GetEnvironmentVariableA(name, value, sizeof(value));
  if (length > 0 && length < sizeof(value)) return std::string(value, length);
  length = sizeof(value) - 1;
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varnelo\\TestFaults", name, RRF_RT_REG_SZ,
                     nullptr, value, &length) == ERROR_SUCCESS) {
    return value;
  }
  return std::string();
}

bool Listed(const char* variable, const char* item) {
  return (std::string(",") + Switch(variable) + ",").find(std::string(",") + item + ",") !=
         std::string::npos;
}

// "<reset> <count> <type> <delay>... reboot=<0|1> command=<0|1>".
std::string FailureActionsLine(const SERVICE_FAILURE_ACTIONSW& failure) {
  std::string line = std::to_string(failure.dwResetPeriod) + " " + std::to_string(failure.cActions);
  for (DWORD i = 0; i < failure.cActions && failure.lpsaActions != nullptr; ++i) {
    line += " " + std::to_string(failure.lpsaActions[i].Type) + " " +
            std::to_string(failure.lpsaActions[i].Delay);
  }
  line += std::string(" reboot=") + (failure.lpRebootMsg != nullptr ? "1" : "0");
  line += std::string(" command=") + (failure.lpCommand != nullptr ? "1" : "0");
  return line;
}

}  // namespace

BOOL ChangeServiceConfiguration(SC_HANDLE service, DWORD info_level, void* info) {
  const std::string record = Switch("VARNELO_FAULT_RECORD_SCM");
  if (!record.empty() && info_level == SERVICE_CONFIG_FAILURE_ACTIONS && info != nullptr) {
    const std::string line =
        FailureActionsLine(*static_cast<const SERVICE_FAILURE_ACTIONSW*>(info)) + "\n";
    const UniqueHandle file(::CreateFileW(Utf8ToWide(record).c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file)
      ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  return ::ChangeServiceConfig2W(service, info_level, info);
}

UniqueHandle ReopenCaller(const Caller& caller, DWORD access, const char* purpose) {
  if (Listed("VARNELO_FAULT_REOPEN", purpose)) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return UniqueHandle();
  }
  if (!Listed("VARNELO_FAULT_DUP", purpose)) return caller.Reopen(access);
  if (std::strcmp(purpose, "watch") == 0)
    return UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return caller.Reopen(SYNCHRONIZE);
}

void BeforeHandOver() {
  const std::string pause = Switch("VARNELO_FAULT_HANDOVER_PAUSE_MS");
  if (!pause.empty()) ::Sleep(std::strtoul(pause.c_str(), nullptr, 10));
}

DWORD InjectedFailure(const char* call) {
  return Listed("VARNELO_FAULT_FAIL", call) ? ERROR_ACCESS_DENIED : 0;
}

FileIdentity MappedImageIdentity(const Caller& caller) {
  FileIdentity identity = caller.MappedImageIdentity();
  if (Switch("VARNELO_FAULT_MAPPED_IMAGE") == "other") identity.index ^= 1;
  return identity;
}

FILETIME CallerCreationTime(const FILETIME& created, const FILETIME& opened_at) {
  const std::string when = Switch("VARNELO_FAULT_CALLER_CREATED");
  if (when != "opened" && when != "later") return created;
  constexpr unsigned long long kMinute = 60ull * 1000 * 1000 * 10;  // in 100 ns ticks
  const unsigned long long at = ((static_cast<unsigned long long>(opened_at.dwHighDateTime) << 32) |
                                 opened_at.dwLowDateTime) +
                                (when == "later" ? kMinute : 0);
  return FILETIME{static_cast<DWORD>(at), static_cast<DWORD>(at >> 32)};
}

std::wstring LogFolderOwner(PSECURITY_DESCRIPTOR sd) {
  const std::string planted = Switch("VARNELO_FAULT_LOG_OWNER");
  return planted.empty() ? OwnerSidText(sd) : Utf8ToWide(planted);
}

}  // namespace varnelo
