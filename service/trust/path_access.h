// Whether the caller of start_core could itself use the data folder and the config file it
// names: judged with the caller's own token, on objects the service has opened and keeps open,
// so the LocalSystem core never reaches a path the caller could not reach.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "common/unique_resource.h"

namespace varnelo {

class Reason;

// The caller's token, duplicated at identification level: enough to judge its access, never to
// act as the caller. Needs no impersonation, so it works whatever level the client allowed.
// Null with `error` set when it cannot be had.
UniqueHandle OpenCallerToken(HANDLE caller_process, DWORD* error);

// Whether `token` would be granted all of `desired` on an object with descriptor `sd`.
// False with `error` set when the check itself fails (`error` 0 means plainly denied).
bool CallerMayAccess(HANDLE token, PSECURITY_DESCRIPTOR sd, ACCESS_MASK desired, DWORD* error);

enum class RequestPathUse { kDataFolder, kConfigFile };

// Opens `path` as the service, or its nearest existing ancestor while it does not exist yet,
// without delete sharing; refuses when the opened object's real path is not the requested one,
// or when the caller may not create in the folder (or its ancestor) or read the config file.
// On success `held` keeps the object open: hold it until the core has been resumed. On refusal
// `reason` gets "<label> rejected: ..." (cut to fit, terminated).
bool CheckCallerPathAccess(HANDLE caller_token, const std::wstring& path, RequestPathUse use,
                           const char* label, Reason* reason, UniqueHandle* held);

}  // namespace varnelo
