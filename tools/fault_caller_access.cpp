// CallerProcessAccess of the test build of the service: for each label its environment lists in
// VARNELO_FAULT_DUP (comma-separated), the caller is opened without PROCESS_DUP_HANDLE, so the real
// DuplicateHandle of that handle fails.
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

}  // namespace varnelo
