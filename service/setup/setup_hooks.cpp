// The shipped service's hooks of the set-up: each only passes the call on.
#include "service/setup/setup_hooks.h"

namespace varnelo {

BOOL ChangeServiceConfiguration(SC_HANDLE service, DWORD info_level, void* info) {
  return ::ChangeServiceConfig2W(service, info_level, info);
}

}  // namespace varnelo
