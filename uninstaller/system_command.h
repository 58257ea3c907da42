// Programs started hidden: one named by its full path, and fire-and-forget commands of the
// system's command interpreter.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_resource.h"

namespace varnelo {

// Starts the program at the full path `program` with the command line "\"<program>\" <arguments>",
// without a console window (CREATE_NO_WINDOW) and with its first window hidden
// (STARTF_USESHOWWINDOW, SW_HIDE), in `currentDirectory` (this process's current folder when
// null). It inherits exactly `inherited` (inheritable handles, named in a handle list), and
// nothing when that is empty. Returns the process, or an empty handle when it was not started.
UniqueHandle StartHiddenProgram(const std::wstring& program, const std::wstring& arguments,
                                const wchar_t* currentDirectory,
                                const std::vector<HANDLE>& inherited = {});

// Runs "<system directory>\cmd.exe <arguments>" hidden, without waiting, in the system directory.
// The interpreter is named by its full path and started in the system directory because the
// program runs elevated from %TEMP%, where a planted cmd.exe or timeout.exe would otherwise be
// found first (the program's folder and the current folder come before the system directory).
// It inherits exactly `inherited`, and nothing when that is empty.
bool StartHiddenCommand(const std::wstring& arguments, const std::vector<HANDLE>& inherited = {});

}  // namespace varnelo
