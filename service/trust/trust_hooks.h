// The points where the test build of the service (VarneloServiceFaults.exe) can make a step of
// the trust checks and hand-overs fail, pause or see something else, so the tests reach paths no
// real machine shows on demand. Each program links its own definitions: the shipped service's
// (service/trust/trust_hooks.cpp) do the real thing and nothing more; the test build's live in
// tools/service_fault_hooks.cpp.
#pragma once

#include <windows.h>

#include "common/unique_resource.h"
#include "service/trust/caller_rules.h"

namespace varnelo {

class Caller;

// The caller's process reopened with `access` for `purpose` ("log_handle", "job_handle",
// "watch"), only for a trusted caller.
UniqueHandle ReopenCaller(const Caller& caller, DWORD access, const char* purpose);

// The identity of the file mapped as the caller's image, for the renamed-image check.
FileIdentity MappedImageIdentity(const Caller& caller);

}  // namespace varnelo
