#include "service/removal.h"

#include <windows.h>

#include <cwchar>

namespace varnelo {

// Removal arrives with the installation work; until then -uninstall says so and fails.
int UninstallService() {
  std::fwprintf(stdout, L"-uninstall is not available in this build\n");
  return static_cast<int>(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace varnelo
