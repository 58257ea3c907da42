// The shipped service's hand-over hooks: full rights, no pause.
#include "service/core_launch.h"

namespace varnelo {

DWORD CallerProcessAccess(const char* /*label*/) { return PROCESS_DUP_HANDLE; }

void BeforeHandOver() {}

}  // namespace varnelo
