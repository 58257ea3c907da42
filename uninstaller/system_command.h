// Programs started hidden: one named by its full path, and fire-and-forget commands of the
// system's command interpreter.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_resource.h"

namespace varnelo {

enum class Visibility { kHidden, kShown };

// Starts the program at the full path `program` with the command line "\"<program>\" <arguments>"
// in `currentDirectory` (this process's current folder when null). Hidden: without a console
// window (CREATE_NO_WINDOW) and with its first window hidden (STARTF_USESHOWWINDOW, SW_HIDE);
// shown: as the program itself shows its windows. It inherits exactly `inherited` (inheritable
// handles, named in a handle list), and nothing when that is empty. Returns the process, or an
// empty handle with the last error set when it was not started.
UniqueHandle StartProgram(const std::wstring& program, const std::wstring& arguments,
                          const wchar_t* currentDirectory, const std::vector<HANDLE>& inherited,
                          Visibility visibility);

// StartProgram, hidden.
UniqueHandle StartHiddenProgram(const std::wstring& program, const std::wstring& arguments,
                                const wchar_t* currentDirectory,
                                const std::vector<HANDLE>& inherited = {});

// The system directory (no trailing separator), empty when it cannot be read.
std::wstring SystemDirectory();

// Runs "<system directory>\cmd.exe <arguments>" hidden, without waiting, in the system directory.
// The interpreter is named by its full path and started in the system directory because the
// program runs elevated, and a planted cmd.exe or timeout.exe in its own folder or the current
// folder would otherwise be found first.
bool StartHiddenCommand(const std::wstring& arguments);

}  // namespace varnelo
