// The hooks of the test build of the service. ReopenCaller: for each purpose its environment lists
// in VARNELO_FAULT_DUP (comma-separated: log_handle, job_handle, watch) the handle lacks what the
// purpose needs, so the hand-over's DuplicateHandle or the watchdog's token read fails (for the
// watchdog it is not a process handle at all: Wine reads a token through any process handle);
// for each listed in VARNELO_FAULT_REOPEN the reopening is refused with access denied.
// BeforeHandOver: waits VARNELO_FAULT_HANDOVER_PAUSE_MS milliseconds, so a test can end the
// caller in between, or stop the service while a handler runs.
// Each switch is read from the environment, or else from the value of that name under
// HKLM\SOFTWARE\Varnelo\TestFaults, for a service that the control manager starts.
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/caller.h"
#include "service/core_launch.h"

namespace varnelo {

namespace {

std::string Switch(const char* name) {
  char value[128] = {};
  DWORD length = ::GetEnvironmentVariableA(name, value, sizeof(value));
  if (length > 0 && length < sizeof(value)) return std::string(value, length);
  length = sizeof(value) - 1;
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varnelo\\TestFaults", name, RRF_RT_REG_SZ, nullptr, value,
                     &length) == ERROR_SUCCESS) {
    return value;
  }
  return std::string();
}

bool Listed(const char* variable, const char* purpose) {
  return (std::string(",") + Switch(variable) + ",").find(std::string(",") + purpose + ",") != std::string::npos;
}

}  // namespace

UniqueHandle ReopenCaller(const Caller& caller, DWORD access, const char* purpose) {
  if (Listed("VARNELO_FAULT_REOPEN", purpose)) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return UniqueHandle();
  }
  if (!Listed("VARNELO_FAULT_DUP", purpose)) return caller.Reopen(access);
  if (std::strcmp(purpose, "watch") == 0) return UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return caller.Reopen(SYNCHRONIZE);
}

void BeforeHandOver() {
  const std::string pause = Switch("VARNELO_FAULT_HANDOVER_PAUSE_MS");
  if (!pause.empty()) ::Sleep(std::strtoul(pause.c_str(), nullptr, 10));
}

}  // namespace varnelo
