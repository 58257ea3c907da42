// Hidden, fire-and-forget commands of the system's command interpreter.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace varnelo {

// Runs "<system directory>\cmd.exe <arguments>" hidden, without waiting, in the system directory.
// The interpreter is named by its full path and started in the system directory because the
// program runs elevated from %TEMP%, where a planted cmd.exe or timeout.exe would otherwise be
// found first (the program's folder and the current folder come before the system directory).
// It inherits exactly `inherited` (inheritable handles), and nothing when that is empty.
bool StartHiddenCommand(const std::wstring& arguments, const std::vector<HANDLE>& inherited = {});

}  // namespace varnelo
