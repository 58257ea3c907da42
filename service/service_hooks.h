// The points where the test build of the service (VarneloServiceFaults.exe) can make a step fail,
// pause or see something else, so the tests reach paths no real machine shows on demand. Each
// program links its own definitions: the shipped service's (service/service_hooks.cpp) do the
// real thing and nothing more; the test build's live in tools/service_fault_hooks.cpp.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"
#include "service/trust/caller_rules.h"

namespace varnelo {

class Caller;

// The caller's process reopened with `access` for `purpose` ("log_handle", "job_handle",
// "watch"), only for a trusted caller.
UniqueHandle ReopenCaller(const Caller& caller, DWORD access, const char* purpose);

// Runs right before start_core hands its handles over.
void BeforeHandOver();

// The error the system call `call` is to fail with before it runs, or 0 to run it.
DWORD InjectedFailure(const char* call);

// The identity of the file mapped as the caller's image, for the renamed-image check.
FileIdentity MappedImageIdentity(const Caller& caller);

// The creation time of the caller's process as the connection's check reads it (`created`, read
// just after the process was opened at `openedAt`).
FILETIME CallerCreationTime(const FILETIME& created, const FILETIME& openedAt);

// The owner of the log folder as SID text, from the folder's security descriptor.
std::wstring LogFolderOwner(PSECURITY_DESCRIPTOR sd);

}  // namespace varnelo
