// The shipped service's CallerProcessAccess.
#include "service/core_launch.h"

namespace varnelo {

DWORD CallerProcessAccess(const char* /*label*/) { return PROCESS_DUP_HANDLE; }

}  // namespace varnelo
