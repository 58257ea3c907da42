// The shipped service's hooks of the set-up: each only passes the call on.
#include "service/setup/setup_hooks.h"

namespace varnelo {

BOOL ChangeServiceConfiguration(SC_HANDLE service, DWORD infoLevel, void* info) {
  return ::ChangeServiceConfig2W(service, infoLevel, info);
}

}  // namespace varnelo
