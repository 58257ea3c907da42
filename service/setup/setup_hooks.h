// The points where the test build of the service (VarneloServiceFaults.exe) can see what the set-up
// hands the service control manager, so a test checks what -install passes even where the control
// manager keeps nothing to read back (Wine keeps no failure actions). Each program links its own
// definitions: the shipped service's (service/setup/setup_hooks.cpp) only pass the call on; the
// test build's live in tools/service_fault_hooks.cpp.
#pragma once

#include <windows.h>

namespace varnelo {

// ChangeServiceConfig2W, as -install calls it.
BOOL ChangeServiceConfiguration(SC_HANDLE service, DWORD info_level, void* info);

}  // namespace varnelo
