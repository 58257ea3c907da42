// The shipped service's hooks of the core launch: nothing is injected.
#include "service/core/core_hooks.h"

namespace varnelo {

void BeforeHandOver() {}

DWORD InjectedFailure(const char* /*call*/) { return 0; }

}  // namespace varnelo
