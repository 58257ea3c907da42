// The points where the test build of the service (VarneloServiceFaults.exe) can make a step of
// the core launch fail, pause or see something else, so the tests reach paths no real machine shows
// on demand. Each program links its own definitions: the shipped service's
// (service/core/core_hooks.cpp) do the real thing and nothing more; the test build's live in
// tools/service_fault_hooks.cpp.
#pragma once

#include <windows.h>

namespace varnelo {

// Runs right before start_core hands its handles over.
void BeforeHandOver();

// The error the system call `call` is to fail with before it runs, or 0 to run it.
DWORD InjectedFailure(const char* call);

}  // namespace varnelo
