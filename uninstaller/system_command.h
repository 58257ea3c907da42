// Programs started hidden: one named by its full path, and fire-and-forget commands of the
// system's command interpreter.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_resource.h"

namespace varnelo {

enum class Visibility { kHidden, kShown };

// How to start a program.
struct ProgramStart {
  std::wstring program;  // its full path; the command line is "\"<program>\" <arguments>"
  std::wstring arguments;
  const wchar_t* current_directory = nullptr;  // this process's current folder when null
  // Inheritable handles it inherits, named in a handle list; nothing when empty.
  std::vector<HANDLE> inherited;
  // Hidden: without a console window (CREATE_NO_WINDOW) and with its first window hidden
  // (STARTF_USESHOWWINDOW, SW_HIDE); shown: as the program itself shows its windows.
  Visibility visibility = Visibility::kHidden;
  // Its whole environment, a Unicode block; this process's when empty.
  std::wstring environment;
};

// Returns the started process, or an empty handle with the last error set when it was not
// started.
UniqueHandle StartProgram(const ProgramStart& start);

// StartProgram, hidden.
UniqueHandle StartHiddenProgram(const std::wstring& program, const std::wstring& arguments,
                                const wchar_t* current_directory,
                                const std::vector<HANDLE>& inherited = {});

// The system directory (no trailing separator), empty when it cannot be read.
std::wstring SystemDirectory();

// The Windows directory (no trailing separator), empty when it cannot be read.
std::wstring WindowsDirectory();

// Runs "<system directory>\cmd.exe <arguments>" hidden, without waiting, in the system directory,
// with `environment` as its whole environment. The interpreter is named by its full path and
// started in the system directory because the program runs elevated, and a planted cmd.exe in its
// own folder or the current folder would otherwise be found first.
bool StartHiddenCommand(const std::wstring& arguments, const std::wstring& environment);

}  // namespace varnelo
