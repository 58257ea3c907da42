#include "service/install.h"

#include <windows.h>

#include <cwchar>

namespace varnelo {

// Registration arrives with the installation work; until then -install says so and fails.
int InstallService() {
  std::fwprintf(stdout, L"-install is not available in this build\n");
  return static_cast<int>(ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace varnelo
