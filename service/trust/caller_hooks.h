// The points where the test build of the service (VarneloServiceFaults.exe) can make a step of
// the caller's identification fail, pause or see something else, so the tests reach paths no real
// machine shows on demand. Each program links its own definitions: the shipped service's
// (service/trust/caller_hooks.cpp) do the real thing and nothing more; the test build's live in
// tools/service_fault_hooks.cpp.
#pragma once

#include <windows.h>

namespace varnelo {

// The creation time of the caller's process as the connection's check reads it (`created`, read
// just after the process was opened at `opened_at`).
FILETIME CallerCreationTime(const FILETIME& created, const FILETIME& opened_at);

}  // namespace varnelo
