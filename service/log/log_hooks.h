// The points where the test build of the service (VarneloServiceFaults.exe) can make a step of
// the log fail, pause or see something else, so the tests reach paths no real machine shows
// on demand. Each program links its own definitions: the shipped service's
// (service/log/log_hooks.cpp) do the real thing and nothing more; the test build's live in
// tools/service_fault_hooks.cpp.
#pragma once

#include <windows.h>

#include <string>

namespace varnelo {

// The owner of the log folder as SID text, from the folder's security descriptor.
std::wstring LogFolderOwner(PSECURITY_DESCRIPTOR sd);

}  // namespace varnelo
