// The hand-over hooks of the test build of the service. CallerProcessAccess: for each label its
// environment lists in VARNELO_FAULT_DUP (comma-separated), the caller's handle lacks
// PROCESS_DUP_HANDLE, so the real DuplicateHandle of that handle fails. BeforeHandOver: waits
// VARNELO_FAULT_HANDOVER_PAUSE_MS milliseconds, so a test can end the caller in between.
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/core_launch.h"

namespace varnelo {

DWORD CallerProcessAccess(const char* label) {
  char listed[128] = ",";
  const DWORD length = ::GetEnvironmentVariableA("VARNELO_FAULT_DUP", listed + 1, sizeof(listed) - 2);
  if (length == 0 || length >= sizeof(listed) - 2) return PROCESS_DUP_HANDLE;
  std::strcat(listed, ",");
  const bool injected = std::strstr(listed, (std::string(",") + label + ",").c_str()) != nullptr;
  return injected ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_DUP_HANDLE;
}

void BeforeHandOver() {
  char pause[16] = {};
  const DWORD length =
      ::GetEnvironmentVariableA("VARNELO_FAULT_HANDOVER_PAUSE_MS", pause, sizeof(pause));
  if (length > 0 && length < sizeof(pause)) ::Sleep(std::strtoul(pause, nullptr, 10));
}

}  // namespace varnelo
