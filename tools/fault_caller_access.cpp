// CallerProcessAccess of the test build of the service: when its environment names a label in
// VARNELO_FAULT_DUP, the caller is opened without PROCESS_DUP_HANDLE, so the real DuplicateHandle
// of that handle fails.
#include <cstring>

#include "service/core_launch.h"

namespace varnelo {

DWORD CallerProcessAccess(const char* label) {
  char wanted[64] = {};
  const DWORD length = ::GetEnvironmentVariableA("VARNELO_FAULT_DUP", wanted, sizeof(wanted));
  const bool injected = length > 0 && length < sizeof(wanted) && std::strcmp(wanted, label) == 0;
  return injected ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_DUP_HANDLE;
}

}  // namespace varnelo
